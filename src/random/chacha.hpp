#pragma once
// ChaCha block function with a 64-bit block counter and a 64-bit stream
// number (state words 12-13 counter, 14-15 stream, low word first).

#include <cstdint>

namespace spinlattice::random {

inline constexpr unsigned kBlockWords = 16;
inline constexpr unsigned kBlocksPerRefill = 4;
inline constexpr unsigned kBufferWords = kBlockWords * kBlocksPerRefill;  // 64

// Writes blocks counter, counter+1, counter+2, counter+3 (wrapping mod 2^64)
// into out[0..63], block j at out[16j..16j+15]. double_rounds is 6 for ChaCha12.
// Every version of the block function is declared with this one type.
using BlockFunctionType = void(const std::uint32_t key[8], std::uint64_t counter, std::uint64_t stream,
                               unsigned double_rounds, std::uint32_t out[kBufferWords]);
using BlockFunction = BlockFunctionType*;

// The portable definition; every vector version must agree with it word for word.
BlockFunctionType chacha_blocks_scalar;

// The best version this processor supports, chosen once per process.
BlockFunction best_block_function() noexcept;

}  // namespace spinlattice::random
