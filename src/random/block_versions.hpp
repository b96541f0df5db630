#pragma once
// The versions of the block function, best first, and the choice among them.
// The list, the name of the choice and forcing a version are for C++ tests and
// benchmarks; the generator only calls best_block_function().

#include <span>

#include "random/chacha.hpp"

namespace spinlattice::random {

// Each compiled for its own instruction set; call only when the processor has it.
void chacha_blocks_avx2(const std::uint32_t key[8], std::uint64_t counter, std::uint64_t stream,
                        unsigned double_rounds, std::uint32_t out[kBufferWords]);
void chacha_blocks_avx(const std::uint32_t key[8], std::uint64_t counter, std::uint64_t stream,
                       unsigned double_rounds, std::uint32_t out[kBufferWords]);
void chacha_blocks_sse41(const std::uint32_t key[8], std::uint64_t counter, std::uint64_t stream,
                         unsigned double_rounds, std::uint32_t out[kBufferWords]);
void chacha_blocks_ssse3(const std::uint32_t key[8], std::uint64_t counter, std::uint64_t stream,
                         unsigned double_rounds, std::uint32_t out[kBufferWords]);
void chacha_blocks_sse2(const std::uint32_t key[8], std::uint64_t counter, std::uint64_t stream,
                        unsigned double_rounds, std::uint32_t out[kBufferWords]);

struct BlockVersion {
    const char* name;
    unsigned required_features;  // CpuFeature bits
    BlockFunction function;

    bool supported() const noexcept;
};

// AVX2, AVX, SSE4.1, SSSE3, SSE2, then the scalar definition (always supported).
std::span<const BlockVersion> block_versions() noexcept;

// Name of the version best_block_function() returns now.
const char* chosen_block_version_name() noexcept;

// Makes best_block_function() return `function` until reset_block_function().
void force_block_function(BlockFunction function) noexcept;
void reset_block_function() noexcept;

}  // namespace spinlattice::random
