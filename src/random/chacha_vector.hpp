#pragma once
// The vector ChaCha kernel shared by the per-ISA block functions. Each block's
// state is four rows of four words (a, b, c, d): a column round is one
// quarter-round on whole rows, and a diagonal round is the same after turning
// rows b, c and d by one, two and three words.
//
// Everything here has internal linkage on purpose: each per-ISA file compiles
// its own copy for its own target, so the linker can never hand a wider
// target's copy to a narrower file.

#include <immintrin.h>

#include <cstdint>

#include "random/chacha.hpp"

namespace spinlattice::random {
namespace {

// Rows of 128 bits with SSE2 only: rotations are shifts, except 16 which swaps halves.
struct Sse2Rows {
    using Vec = __m128i;
    static Vec add(Vec x, Vec y) { return _mm_add_epi32(x, y); }
    static Vec xor_(Vec x, Vec y) { return _mm_xor_si128(x, y); }
    template <int n>
    static Vec rotl(Vec x) {
        if constexpr (n == 16) return _mm_shufflehi_epi16(_mm_shufflelo_epi16(x, 0xB1), 0xB1);
        else return _mm_or_si128(_mm_slli_epi32(x, n), _mm_srli_epi32(x, 32 - n));
    }
    template <int order>
    static Vec turn(Vec x) { return _mm_shuffle_epi32(x, order); }
};

#ifdef __SSSE3__
// Rotations by whole bytes become one byte shuffle.
struct ByteShuffleRows : Sse2Rows {
    template <int n>
    static Vec rotl(Vec x) {
        if constexpr (n == 16)
            return _mm_shuffle_epi8(x, _mm_setr_epi8(2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13));
        else if constexpr (n == 8)
            return _mm_shuffle_epi8(x, _mm_setr_epi8(3, 0, 1, 2, 7, 4, 5, 6, 11, 8, 9, 10, 15, 12, 13, 14));
        else return Sse2Rows::rotl<n>(x);
    }
};
#endif

// N independent states, row by row; V is one of the row policies.
template <class V, unsigned N>
struct States {
    typename V::Vec a[N], b[N], c[N], d[N];
};

// The four quarter-rounds of a column round, all N states step by step.
template <class V, unsigned N>
inline void quarter_round_rows(States<V, N>& s) {
#pragma GCC unroll 8
    for (unsigned i = 0; i < N; ++i) {
        s.a[i] = V::add(s.a[i], s.b[i]);
        s.d[i] = V::template rotl<16>(V::xor_(s.d[i], s.a[i]));
    }
#pragma GCC unroll 8
    for (unsigned i = 0; i < N; ++i) {
        s.c[i] = V::add(s.c[i], s.d[i]);
        s.b[i] = V::template rotl<12>(V::xor_(s.b[i], s.c[i]));
    }
#pragma GCC unroll 8
    for (unsigned i = 0; i < N; ++i) {
        s.a[i] = V::add(s.a[i], s.b[i]);
        s.d[i] = V::template rotl<8>(V::xor_(s.d[i], s.a[i]));
    }
#pragma GCC unroll 8
    for (unsigned i = 0; i < N; ++i) {
        s.c[i] = V::add(s.c[i], s.d[i]);
        s.b[i] = V::template rotl<7>(V::xor_(s.b[i], s.c[i]));
    }
}

template <int OrderB, int OrderC, int OrderD, class V, unsigned N>
inline void turn_rows(States<V, N>& s) {
#pragma GCC unroll 8
    for (unsigned i = 0; i < N; ++i) {
        s.b[i] = V::template turn<OrderB>(s.b[i]);
        s.c[i] = V::template turn<OrderC>(s.c[i]);
        s.d[i] = V::template turn<OrderD>(s.d[i]);
    }
}

template <class V, unsigned N>
inline void run_double_rounds(States<V, N>& s, unsigned double_rounds) {
    for (unsigned r = 0; r < double_rounds; ++r) {
        quarter_round_rows(s);
        turn_rows<0x39, 0x4E, 0x93>(s);  // diagonals into columns
        quarter_round_rows(s);
        turn_rows<0x93, 0x4E, 0x39>(s);  // and back
    }
}

// "expand 32-byte k" as little-endian words.
inline __m128i constant_row() { return _mm_setr_epi32(0x61707865, 0x3320646e, 0x79622d32, 0x6b206574); }

// Counter (low word first) then stream: state words 12-15 of one block.
inline __m128i counter_row(std::uint64_t counter, std::uint64_t stream) {
    return _mm_set_epi64x(static_cast<long long>(stream), static_cast<long long>(counter));
}

// The four blocks of a refill on 128-bit rows, one state per block.
template <class V>
inline void chacha_blocks_128(const std::uint32_t key[8], std::uint64_t counter, std::uint64_t stream,
                              unsigned double_rounds, std::uint32_t out[kBufferWords]) {
    const __m128i a0 = constant_row();
    const __m128i b0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(key));
    const __m128i c0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(key + 4));
    States<V, kBlocksPerRefill> s;
#pragma GCC unroll 8
    for (unsigned j = 0; j < kBlocksPerRefill; ++j) {
        s.a[j] = a0;
        s.b[j] = b0;
        s.c[j] = c0;
        s.d[j] = counter_row(counter + j, stream);
    }
    run_double_rounds(s, double_rounds);
    auto* rows = reinterpret_cast<__m128i*>(out);
#pragma GCC unroll 8
    for (unsigned j = 0; j < kBlocksPerRefill; ++j) {
        _mm_storeu_si128(rows + 4 * j, V::add(s.a[j], a0));
        _mm_storeu_si128(rows + 4 * j + 1, V::add(s.b[j], b0));
        _mm_storeu_si128(rows + 4 * j + 2, V::add(s.c[j], c0));
        _mm_storeu_si128(rows + 4 * j + 3, V::add(s.d[j], counter_row(counter + j, stream)));
    }
}

}  // namespace
}  // namespace spinlattice::random
