// Compiled with -mavx2: two blocks per 256-bit row, block 2p in the low lane
// and block 2p+1 in the high lane, so the four blocks are two states.
#include "random/block_versions.hpp"
#include "random/chacha_vector.hpp"

namespace spinlattice::random {
namespace {

struct Avx2Rows {
    using Vec = __m256i;
    static Vec add(Vec x, Vec y) { return _mm256_add_epi32(x, y); }
    static Vec xor_(Vec x, Vec y) { return _mm256_xor_si256(x, y); }
    template <int n>
    static Vec rotl(Vec x) {
        if constexpr (n == 16)
            return _mm256_shuffle_epi8(x, _mm256_setr_epi8(2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13,
                                                           2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13));
        else if constexpr (n == 8)
            return _mm256_shuffle_epi8(x, _mm256_setr_epi8(3, 0, 1, 2, 7, 4, 5, 6, 11, 8, 9, 10, 15, 12, 13, 14,
                                                           3, 0, 1, 2, 7, 4, 5, 6, 11, 8, 9, 10, 15, 12, 13, 14));
        else return _mm256_or_si256(_mm256_slli_epi32(x, n), _mm256_srli_epi32(x, 32 - n));
    }
    // Turns words within each 128-bit lane, that is within each block.
    template <int order>
    static Vec turn(Vec x) { return _mm256_shuffle_epi32(x, order); }
};

constexpr unsigned kPairs = kBlocksPerRefill / 2;

__m256i counter_rows(std::uint64_t counter, std::uint64_t stream) {
    return _mm256_set_m128i(counter_row(counter + 1, stream), counter_row(counter, stream));
}

}  // namespace

void chacha_blocks_avx2(const std::uint32_t key[8], std::uint64_t counter, std::uint64_t stream,
                        unsigned double_rounds, std::uint32_t out[kBufferWords]) {
    const __m256i a0 = _mm256_broadcastsi128_si256(constant_row());
    const __m256i b0 = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(key)));
    const __m256i c0 = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(key + 4)));
    States<Avx2Rows, kPairs> s;
#pragma GCC unroll 8
    for (unsigned p = 0; p < kPairs; ++p) {
        s.a[p] = a0;
        s.b[p] = b0;
        s.c[p] = c0;
        s.d[p] = counter_rows(counter + 2 * p, stream);
    }
    run_double_rounds(s, double_rounds);
    auto* halves = reinterpret_cast<__m256i*>(out);
#pragma GCC unroll 8
    for (unsigned p = 0; p < kPairs; ++p) {
        const __m256i a = Avx2Rows::add(s.a[p], a0);
        const __m256i b = Avx2Rows::add(s.b[p], b0);
        const __m256i c = Avx2Rows::add(s.c[p], c0);
        const __m256i d = Avx2Rows::add(s.d[p], counter_rows(counter + 2 * p, stream));
        // Low lanes make block 2p, high lanes block 2p+1.
        _mm256_storeu_si256(halves + 4 * p, _mm256_permute2x128_si256(a, b, 0x20));
        _mm256_storeu_si256(halves + 4 * p + 1, _mm256_permute2x128_si256(c, d, 0x20));
        _mm256_storeu_si256(halves + 4 * p + 2, _mm256_permute2x128_si256(a, b, 0x31));
        _mm256_storeu_si256(halves + 4 * p + 3, _mm256_permute2x128_si256(c, d, 0x31));
    }
}

}  // namespace spinlattice::random
