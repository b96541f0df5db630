#pragma once
// The versions of the block function, best first, and the choice among them.
// The list, the name of the choice and forcing a version are for C++ tests and
// benchmarks; the generator only calls best_block_function().

#include <span>

#include "random/chacha.hpp"

namespace spinlattice::random {

#if defined(__x86_64__)
// Each compiled for its own instruction set; call only when the processor has it.
BlockFunctionType chacha_blocks_avx2, chacha_blocks_avx, chacha_blocks_sse41, chacha_blocks_ssse3,
    chacha_blocks_sse2;
#elif defined(__aarch64__)
// Advanced SIMD is always there on aarch64.
BlockFunctionType chacha_blocks_neon;
#endif

struct BlockVersion {
    const char* name;
    unsigned required_features;  // CpuFeature bits; 0 where nothing is detected
    BlockFunction function;

    bool supported() const noexcept;
};

// x86-64: AVX2, AVX, SSE4.1, SSSE3, SSE2; aarch64: NEON; then everywhere the
// scalar definition (always supported).
std::span<const BlockVersion> block_versions() noexcept;

// Name of the version best_block_function() returns now.
const char* chosen_block_version_name() noexcept;

// Makes best_block_function() return `function` until reset_block_function().
void force_block_function(BlockFunction function) noexcept;
void reset_block_function() noexcept;

}  // namespace spinlattice::random
