#include "random/chacha.hpp"

namespace spinlattice::random {
namespace {

constexpr std::uint32_t rotl(std::uint32_t v, int c) { return (v << c) | (v >> (32 - c)); }

inline void quarter_round(std::uint32_t& a, std::uint32_t& b, std::uint32_t& c, std::uint32_t& d) {
    a += b; d ^= a; d = rotl(d, 16);
    c += d; b ^= c; b = rotl(b, 12);
    a += b; d ^= a; d = rotl(d, 8);
    c += d; b ^= c; b = rotl(b, 7);
}

void one_block(const std::uint32_t key[8], std::uint64_t counter, std::uint64_t stream,
               unsigned double_rounds, std::uint32_t out[kBlockWords]) {
    // "expand 32-byte k" as little-endian words.
    const std::uint32_t input[kBlockWords] = {
        0x61707865u, 0x3320646eu, 0x79622d32u, 0x6b206574u,
        key[0], key[1], key[2], key[3], key[4], key[5], key[6], key[7],
        static_cast<std::uint32_t>(counter), static_cast<std::uint32_t>(counter >> 32),
        static_cast<std::uint32_t>(stream), static_cast<std::uint32_t>(stream >> 32),
    };
    std::uint32_t x[kBlockWords];
    for (unsigned i = 0; i < kBlockWords; ++i) x[i] = input[i];
    for (unsigned r = 0; r < double_rounds; ++r) {
        quarter_round(x[0], x[4], x[8], x[12]);
        quarter_round(x[1], x[5], x[9], x[13]);
        quarter_round(x[2], x[6], x[10], x[14]);
        quarter_round(x[3], x[7], x[11], x[15]);
        quarter_round(x[0], x[5], x[10], x[15]);
        quarter_round(x[1], x[6], x[11], x[12]);
        quarter_round(x[2], x[7], x[8], x[13]);
        quarter_round(x[3], x[4], x[9], x[14]);
    }
    for (unsigned i = 0; i < kBlockWords; ++i) out[i] = x[i] + input[i];
}

}  // namespace

void chacha_blocks_scalar(const std::uint32_t key[8], std::uint64_t counter, std::uint64_t stream,
                          unsigned double_rounds, std::uint32_t out[kBufferWords]) {
    for (unsigned j = 0; j < kBlocksPerRefill; ++j)
        one_block(key, counter + j, stream, double_rounds, out + kBlockWords * j);
}

}  // namespace spinlattice::random
