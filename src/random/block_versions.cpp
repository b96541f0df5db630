#include "random/block_versions.hpp"

#include <atomic>

#if defined(__x86_64__)
#include "random/cpu_features.hpp"
#endif

namespace spinlattice::random {
namespace {

constexpr BlockVersion kVersions[] = {
#if defined(__x86_64__)
    {"avx2", kAvx2, chacha_blocks_avx2},
    {"avx", kAvx, chacha_blocks_avx},
    {"sse4.1", kSse41, chacha_blocks_sse41},
    {"ssse3", kSsse3, chacha_blocks_ssse3},
    {"sse2", kSse2, chacha_blocks_sse2},
#elif defined(__aarch64__)
    {"neon", 0, chacha_blocks_neon},
#endif
    {"scalar", 0, chacha_blocks_scalar},
};

// Null until the first refill; every value it takes is a complete function, so relaxed suffices.
std::atomic<BlockFunction> chosen{nullptr};

[[gnu::cold, gnu::noinline]] BlockFunction choose() noexcept {
    BlockFunction best = chacha_blocks_scalar;
    for (const BlockVersion& version : kVersions) {
        if (version.supported()) {
            best = version.function;
            break;
        }
    }
    chosen.store(best, std::memory_order_relaxed);
    return best;
}

}  // namespace

bool BlockVersion::supported() const noexcept {
#if defined(__x86_64__)
    return (cpu_features() & required_features) == required_features;
#else
    return required_features == 0;
#endif
}

std::span<const BlockVersion> block_versions() noexcept { return kVersions; }

BlockFunction best_block_function() noexcept {
    const BlockFunction function = chosen.load(std::memory_order_relaxed);
    if (function != nullptr) [[likely]] return function;
    return choose();
}

const char* chosen_block_version_name() noexcept {
    const BlockFunction function = best_block_function();
    for (const BlockVersion& version : kVersions)
        if (version.function == function) return version.name;
    return "unlisted";
}

void force_block_function(BlockFunction function) noexcept { chosen.store(function, std::memory_order_relaxed); }

void reset_block_function() noexcept { chosen.store(nullptr, std::memory_order_relaxed); }

}  // namespace spinlattice::random
