#pragma once
// The vector ChaCha kernel shared by the per-processor block functions. Each
// block's state is four rows of four words (a, b, c, d): a column round is one
// quarter-round on whole rows, and a diagonal round is the same after turning
// rows b, c and d by one, two and three words.
//
// A row policy V supplies the vector type and add, xor_, rotl<bits> and
// turn<words> on it; 128-bit policies also load, store and build the constant
// and counter rows. Everything here has internal linkage on purpose: each
// per-ISA file compiles its own copy for its own target, so the linker can
// never hand a wider target's copy to a narrower file.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "random/chacha.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace spinlattice::random {
namespace {

// "expand 32-byte k" as little-endian words.
inline constexpr std::uint32_t kConstantWords[4] = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};

// N independent states, row by row; V is one of the row policies.
template <class V, unsigned N>
struct States {
    typename V::Vec a[N], b[N], c[N], d[N];
};

// One line of a quarter-round on all N states: x += y; z = (z ^ x) <<< bits.
template <int bits, class V, unsigned N>
inline void add_xor_rotate(typename V::Vec (&x)[N], const typename V::Vec (&y)[N], typename V::Vec (&z)[N]) {
#pragma GCC unroll 8
    for (unsigned i = 0; i < N; ++i) {
        x[i] = V::add(x[i], y[i]);
        z[i] = V::template rotl<bits>(V::xor_(z[i], x[i]));
    }
}

// The four quarter-rounds of a column round, all N states step by step.
template <class V, unsigned N>
inline void quarter_round_rows(States<V, N>& s) {
    add_xor_rotate<16, V>(s.a, s.b, s.d);
    add_xor_rotate<12, V>(s.c, s.d, s.b);
    add_xor_rotate<8, V>(s.a, s.b, s.d);
    add_xor_rotate<7, V>(s.c, s.d, s.b);
}

// Turns rows b, c and d left by WordsB, WordsC and WordsD words.
template <int WordsB, int WordsC, int WordsD, class V, unsigned N>
inline void turn_rows(States<V, N>& s) {
#pragma GCC unroll 8
    for (unsigned i = 0; i < N; ++i) {
        s.b[i] = V::template turn<WordsB>(s.b[i]);
        s.c[i] = V::template turn<WordsC>(s.c[i]);
        s.d[i] = V::template turn<WordsD>(s.d[i]);
    }
}

template <class V, unsigned N>
inline void run_double_rounds(States<V, N>& s, unsigned double_rounds) {
    for (unsigned r = 0; r < double_rounds; ++r) {
        quarter_round_rows(s);
        turn_rows<1, 2, 3>(s);  // diagonals into columns
        quarter_round_rows(s);
        turn_rows<3, 2, 1>(s);  // and back
    }
}

// N blocks from the shared constant and key rows and each state's counter row
// d_row(i): the rounds, then each state's input added back, so that s ends
// holding the finished blocks.
template <class V, unsigned N, class CounterRow>
inline void run_blocks(States<V, N>& s, typename V::Vec a0, typename V::Vec b0, typename V::Vec c0,
                       CounterRow d_row, unsigned double_rounds) {
#pragma GCC unroll 8
    for (unsigned i = 0; i < N; ++i) {
        s.a[i] = a0;
        s.b[i] = b0;
        s.c[i] = c0;
        s.d[i] = d_row(i);
    }
    run_double_rounds(s, double_rounds);
#pragma GCC unroll 8
    for (unsigned i = 0; i < N; ++i) {
        s.a[i] = V::add(s.a[i], a0);
        s.b[i] = V::add(s.b[i], b0);
        s.c[i] = V::add(s.c[i], c0);
        s.d[i] = V::add(s.d[i], d_row(i));
    }
}

// The four blocks of a refill on 128-bit rows, one state per block.
template <class V>
inline void chacha_blocks_128(const std::uint32_t key[8], std::uint64_t counter, std::uint64_t stream,
                              unsigned double_rounds, std::uint32_t out[kBufferWords]) {
    States<V, kBlocksPerRefill> s;
    run_blocks(s, V::constant_row(), V::load(key), V::load(key + 4),
               [&](unsigned j) { return V::counter_row(counter + j, stream); }, double_rounds);
#pragma GCC unroll 8
    for (unsigned j = 0; j < kBlocksPerRefill; ++j) {
        std::uint32_t* block = out + kBlockWords * j;
        V::store(block, s.a[j]);
        V::store(block + 4, s.b[j]);
        V::store(block + 8, s.c[j]);
        V::store(block + 12, s.d[j]);
    }
}

// The compiler's vector of four 32-bit lanes: + ^ << >> work lane by lane on every processor.
typedef std::uint32_t U32x4 __attribute__((vector_size(16)));

// What the 128-bit row policies (SSE2, SSSE3, NEON) share, written once on a vector of 32-bit lanes:
// additions, xors, rotations by two shifts, turning each group of four words
// (one block's row) left by whole words, and the rows' loads, stores and inputs.
template <class Lanes>
struct LaneRows {
    using Vec = Lanes;
    static Vec add(Vec x, Vec y) { return x + y; }
    static Vec xor_(Vec x, Vec y) { return x ^ y; }
    template <int n>
    static Vec shift_rotl(Vec x) { return x << n | x >> (32 - n); }
    template <int words>
    static Vec turn(Vec x) { return turn_groups<words>(x, std::make_index_sequence<sizeof(Vec) / 4>()); }

    static Vec load(const std::uint32_t* words) {
        Vec x;
        std::memcpy(&x, words, sizeof x);
        return x;
    }
    static void store(std::uint32_t* words, Vec x) { std::memcpy(words, &x, sizeof x); }
    static Vec constant_row() { return Vec{kConstantWords[0], kConstantWords[1], kConstantWords[2], kConstantWords[3]}; }
    // Counter (low word first) then stream: state words 12-15 of one block;
    // two 64-bit lanes where that is the memory order.
    static Vec counter_row(std::uint64_t counter, std::uint64_t stream) {
        if constexpr (std::endian::native == std::endian::little) {
            typedef std::uint64_t U64x2 __attribute__((vector_size(16)));
            const U64x2 halves = {counter, stream};
            Vec x;
            std::memcpy(&x, &halves, sizeof x);
            return x;
        }
        return Vec{std::uint32_t(counter), std::uint32_t(counter >> 32), std::uint32_t(stream), std::uint32_t(stream >> 32)};
    }

private:
    template <int words, std::size_t... I>
    static Vec turn_groups(Vec x, std::index_sequence<I...>) {
#if defined(__clang__)
        return __builtin_shufflevector(x, x, int((I & ~3u) | ((I + words) & 3u))...);
#else  // g++ 11 has only its own form
        return __builtin_shuffle(x, Vec{std::uint32_t((I & ~3u) | ((I + words) & 3u))...});
#endif
    }
};

#if defined(__x86_64__)

// Rows of 128 bits with SSE2 only: rotations are shifts, except 16 which swaps halves.
// Intrinsics take __m128i; the rows are the same bits as 32-bit lanes.
struct Sse2Rows : LaneRows<U32x4> {
    template <int n>
    static Vec rotl(Vec x) {
        if constexpr (n == 16) return Vec(_mm_shufflehi_epi16(_mm_shufflelo_epi16(__m128i(x), 0xB1), 0xB1));
        else return shift_rotl<n>(x);
    }
};

// Byte i of the pshufb mask that rotates each 32-bit word left by n bits (a multiple of 8);
// it repeats every 16 bytes, as pshufb works within 128-bit lanes.
template <int n>
constexpr char rotate_byte(unsigned i) {
    return static_cast<char>((i & 12u) | ((i - n / 8) & 3u));
}

#ifdef __SSSE3__
template <int n, std::size_t... I>
inline __m128i rotate_mask_128(std::index_sequence<I...>) { return _mm_setr_epi8(rotate_byte<n>(I)...); }

// Rotations by whole bytes become one byte shuffle.
struct ByteShuffleRows : Sse2Rows {
    template <int n>
    static Vec rotl(Vec x) {
        if constexpr (n % 8 == 0) return Vec(_mm_shuffle_epi8(__m128i(x), rotate_mask_128<n>(std::make_index_sequence<16>())));
        else return shift_rotl<n>(x);
    }
};
#endif

#endif  // __x86_64__

}  // namespace
}  // namespace spinlattice::random
