// Compiled with -mavx2: two blocks per 256-bit row, block 2p in the low lane
// and block 2p+1 in the high lane, so the four blocks are two states.
#include "random/block_versions.hpp"
#include "random/chacha_vector.hpp"

namespace spinlattice::random {
namespace {

template <int n, std::size_t... I>
inline __m256i rotate_mask_256(std::index_sequence<I...>) { return _mm256_setr_epi8(rotate_byte<n>(I)...); }

// The vpshufd order that turns each lane's four words left by `words`.
constexpr int turn_order(int words) {
    return words | ((words + 1) & 3) << 2 | ((words + 2) & 3) << 4 | ((words + 3) & 3) << 6;
}

// Plain intrinsics here rather than LaneRows: on this width the compiler
// schedules the lane-vector form about 3% slower (bench_blocks). Turns stay
// within each 128-bit lane, that is within each block.
struct Avx2Rows {
    using Vec = __m256i;
    static Vec add(Vec x, Vec y) { return _mm256_add_epi32(x, y); }
    static Vec xor_(Vec x, Vec y) { return _mm256_xor_si256(x, y); }
    template <int n>
    static Vec rotl(Vec x) {
        if constexpr (n % 8 == 0) return _mm256_shuffle_epi8(x, rotate_mask_256<n>(std::make_index_sequence<32>()));
        else return _mm256_or_si256(_mm256_slli_epi32(x, n), _mm256_srli_epi32(x, 32 - n));
    }
    template <int words>
    static Vec turn(Vec x) { return _mm256_shuffle_epi32(x, turn_order(words)); }
};

constexpr unsigned kPairs = kBlocksPerRefill / 2;

__m256i counter_rows(std::uint64_t counter, std::uint64_t stream) {
    return _mm256_set_m128i(__m128i(Sse2Rows::counter_row(counter + 1, stream)),
                            __m128i(Sse2Rows::counter_row(counter, stream)));
}

__m256i both_lanes(U32x4 row) { return _mm256_broadcastsi128_si256(__m128i(row)); }

}  // namespace

void chacha_blocks_avx2(const std::uint32_t key[8], std::uint64_t counter, std::uint64_t stream,
                        unsigned double_rounds, std::uint32_t out[kBufferWords]) {
    States<Avx2Rows, kPairs> s;
    run_blocks(s, both_lanes(Sse2Rows::constant_row()), both_lanes(Sse2Rows::load(key)),
               both_lanes(Sse2Rows::load(key + 4)), [&](unsigned p) { return counter_rows(counter + 2 * p, stream); },
               double_rounds);
    auto* halves = reinterpret_cast<__m256i*>(out);
#pragma GCC unroll 8
    for (unsigned p = 0; p < kPairs; ++p) {
        const __m256i a = s.a[p], b = s.b[p], c = s.c[p], d = s.d[p];
        // Low lanes make block 2p, high lanes block 2p+1.
        _mm256_storeu_si256(halves + 4 * p, _mm256_permute2x128_si256(a, b, 0x20));
        _mm256_storeu_si256(halves + 4 * p + 1, _mm256_permute2x128_si256(c, d, 0x20));
        _mm256_storeu_si256(halves + 4 * p + 2, _mm256_permute2x128_si256(a, b, 0x31));
        _mm256_storeu_si256(halves + 4 * p + 3, _mm256_permute2x128_si256(c, d, 0x31));
    }
}

}  // namespace spinlattice::random
