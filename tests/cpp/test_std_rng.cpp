// The generator against an independent ChaCha12 and a model of how draws
// consume the keystream: which words each draw takes, in which order, and
// where the buffer position ends up.

#include <array>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "chacha_reference.hpp"
#include "check.hpp"
#include "random/draw_cursor.hpp"
#include "random/std_rng.hpp"
#include "stop.hpp"

using spinlattice::random::BlockRng;
using spinlattice::random::DrawCursor;
using spinlattice::random::Seed;
using spinlattice::random::StdRng;
using spinlattice::random::UnitBound;
using u128 = unsigned __int128;
using Words = std::vector<std::uint32_t>;

namespace {

Words key_stream(const Seed& seed, std::uint64_t blocks) {
    return reference::chacha12_words(reference::key_from_bytes(seed.data()), 0, blocks);
}

Words buffer_of(const BlockRng& g) {
    const std::uint32_t* w = g.buffer() + BlockRng::carry_len;  // the current block
    return Words(w, w + 64);
}

Seed counting_seed() {
    Seed seed{};
    for (int i = 0; i < 32; ++i) seed[i] = std::uint8_t(i * 29 + 7);
    return seed;
}

// The keystream as the draws should see it: position p counts words taken.
struct StreamModel {
    Words ks;
    std::uint64_t p = 0;

    std::uint32_t word() { return ks.at(p++); }
    std::uint64_t wide() {
        const std::uint64_t low = word();
        return low | std::uint64_t(word()) << 32;
    }
    std::uint64_t index() const { return p == 0 ? 64 : (p - 1) % 64 + 1; }

    // Widening multiply with at most one correction draw, in exact 128-bit arithmetic.
    int branch = 0;  // 0: no correction; 1: correction without carry; 2: with carry
    std::uint64_t range(std::uint64_t n) {
        const bool narrow = n < (u128(1) << 32);
        const unsigned bits = narrow ? 32 : 64;
        const u128 one = u128(1) << bits;
        const u128 m = u128(narrow ? word() : wide()) * n;
        const u128 hi = m >> bits, lo = m & (one - 1);
        if (lo <= one - n) { branch = 0; return std::uint64_t(hi); }
        const u128 h2 = (u128(narrow ? word() : wide()) * n) >> bits;
        branch = lo + h2 >= one ? 2 : 1;
        return std::uint64_t(hi + (branch == 2));
    }
};

// Deterministic choices for the mixed-draw runs.
struct Lcg {
    std::uint64_t s;
    std::uint64_t next() { s = s * 6364136223846793005u + 1442695040888963407u; return s >> 33; }
};

void test_known_answer_and_refills() {
    // Published ChaCha12 keystream of the all-zero key and nonce, blocks 0 and 1.
    const char* published =
        "9bf49a6a0755f953811fce125f2683d50429c3bb49e074147e0089a52eae155f"
        "0564f879d27ae3c02ce82834acfa8c793a629f2ca0de6919610be82f411326be"
        "0bd58841203e74fe86fc71338ce0173dc628ebb719bdcbcc151585214cc089b4"
        "42258dcda14cf111c602b8971b8cc843e91e46ca905151c02744a6b017e69316";
    Words expected;
    for (int w = 0; w < 32; ++w) {
        std::uint32_t v = 0;
        for (int b = 0; b < 4; ++b)
            v |= std::uint32_t(std::stoul(std::string(published + 8 * w + 2 * b, 2), nullptr, 16)) << (8 * b);
        expected.push_back(v);
    }
    CHECK_EQ(expected[0], 0x6a9af49bu);  // the bytes read little-endian

    // The reference itself must reproduce them, and RFC 8439's 20-round block.
    const Words ref = key_stream(Seed{}, 4);
    CHECK(Words(ref.begin(), ref.begin() + 32) == expected);
    std::uint8_t rfc_key[32];
    for (int i = 0; i < 32; ++i) rfc_key[i] = std::uint8_t(i);
    const reference::Block rfc =
        reference::block(reference::key_from_bytes(rfc_key), {1, 0x09000000, 0x4a000000, 0}, 20);
    CHECK_EQ(rfc[0], 0xe4e7f110u);
    CHECK_EQ(rfc[15], 0x4e3c50a2u);

    // A fresh generator shows index 64 and a zero buffer; the first word draw refills.
    BlockRng g(Seed{});
    CHECK_EQ(g.index(), 64u);
    CHECK(buffer_of(g) == Words(64, 0));
    Words drawn;
    for (int i = 0; i < 64; ++i) {
        drawn.push_back(g.next_u32());
        if (i == 0) CHECK_EQ(g.index(), 1u);
    }
    CHECK(Words(drawn.begin(), drawn.begin() + 32) == expected);
    CHECK(drawn == ref);

    // All 64 words taken: index 64 and the old blocks stay until the next draw.
    CHECK_EQ(g.index(), 64u);
    CHECK(buffer_of(g) == ref);
    const Words ks = key_stream(Seed{}, 12);
    CHECK_EQ(g.next_u32(), ks[64]);
    CHECK_EQ(g.index(), 1u);
    CHECK(buffer_of(g) == Words(ks.begin() + 64, ks.begin() + 128));
    for (int i = 65; i < 192; ++i) CHECK_EQ(g.next_u32(), ks[i]);  // third refill: counter 8..11

    // A first wide draw refills too, and leaves index 2.
    StdRng w = StdRng::from_seed(Seed{});
    CHECK_EQ(w.next_u64(), std::uint64_t(ks[0]) | std::uint64_t(ks[1]) << 32);
    CHECK_EQ(w.index(), 2u);
}

void test_key_byte_order() {
    // Every key byte distinct and non-zero: a swapped, shifted or ignored byte shows.
    const Seed seed = counting_seed();
    StdRng g = StdRng::from_seed(seed);
    std::array<std::uint32_t, 8> key{};
    for (int w = 0; w < 8; ++w)
        key[w] = seed[4 * w] + 256u * (seed[4 * w + 1] + 256u * (seed[4 * w + 2] + 256u * seed[4 * w + 3]));
    const Words ks = reference::chacha12_words(key, 0, 8);
    bool same = true;
    for (int i = 0; i < 128; ++i) same &= g.next_u32() == ks[i];
    CHECK(same);
}

void test_interleaved_draws_follow_the_stream() {
    const Seed seed = counting_seed();

    // Long mixed runs of every draw kind; many land at odd positions, so wide draws
    // straddle refills (low half old word 63, high half new word 0). Refills ahead
    // of need and in-place runs are mixed in: neither may change a word or the index.
    for (std::uint64_t run = 0; run < 4; ++run) {
        StreamModel m{key_stream(seed, 400)};
        StdRng g = StdRng::from_seed(seed);
        Lcg lcg{run};
        int mismatches = 0, index_mismatches = 0, splits = 0, ahead = 0;
        while (m.p + 8 < m.ks.size()) {
            const std::uint64_t before = g.index();
            switch (lcg.next() % 7) {
                case 5:
                    if (!DrawCursor::has_room(g, BlockRng::carry_len)) {
                        DrawCursor(g).refill();
                        ahead += before != 64;  // some words were carried
                    }
                    break;
                case 6: {
                    DrawCursor units(g);
                    for (std::uint64_t k = lcg.next() % 4; k > 0 && units.has_room(2); --k) {
                        const bool draw = lcg.next() & 1;
                        mismatches += draw && units.wide() != m.wide();
                        units.take(2 * draw);
                    }
                    break;
                }
                case 0: mismatches += g.next_u32() != m.word(); break;
                case 1: mismatches += g.next_u64() != m.wide(); break;
                case 2: {
                    const std::uint64_t v = m.wide();
                    mismatches += g.unit() != std::ldexp(double(v >> 11), -53);  // exact, below 1
                    break;
                }
                case 3: mismatches += g.coin() != ((m.wide() >> 63) == 0); break;
                case 4: {
                    const std::uint64_t n = 1 + lcg.next() % 1000;
                    mismatches += g.random_range(n) != m.range(n);
                    break;
                }
            }
            splits += before == 63 && g.index() == 1;
            index_mismatches += g.index() != m.index();
        }
        CHECK_EQ(mismatches, 0);
        CHECK_EQ(index_mismatches, 0);
        CHECK(splits > 0);
        CHECK(ahead > 0);
    }
}

void test_batched_coins_match_single_draws() {
    const Seed seed = counting_seed();
    for (std::uint64_t start : {0, 1, 2, 62, 63, 64, 65, 127}) {
        for (std::uint64_t count : {0, 1, 31, 32, 33, 64, 100}) {
            StreamModel m{key_stream(seed, 32)};
            StdRng g = StdRng::from_seed(seed);
            for (std::uint64_t i = 0; i < start; ++i) CHECK_EQ(g.next_u32(), m.word());
            int mismatches = 0;
            std::uint64_t taken = 0;
            g.coins(count, [&](bool heads) {
                mismatches += heads != (m.wide() < (std::uint64_t(1) << 63));
                ++taken;
            });
            CHECK_EQ(mismatches, 0);
            CHECK_EQ(taken, count);
            CHECK_EQ(g.index(), m.index());
            CHECK_EQ(g.next_u32(), m.word());  // nothing skipped after the run
        }
    }
}

// The integer test against p > unit draw, at the values where they could part:
// ties, the neighbours of each multiple of 2^-53, and the special values.
void test_unit_bound_matches_the_comparison() {
    std::vector<double> ps = {0.0, -0.0, -1.0, 1.0, 1.5, 0x1.0p-53, 0x1.0p-60, 0x1.0p-1074, 1.0 - 0x1.0p-53,
                              1.0 - 0x1.0p-54, 0.5, NAN, INFINITY, -INFINITY};
    for (double p : {0.3, 0.5 + 0x1.0p-53, 0.7310585786300049, 0.123456789})
        for (double q : {std::nextafter(p, 0.0), p, std::nextafter(p, 1.0)}) ps.push_back(q);
    std::vector<std::uint64_t> ks = {0, 1, 2, (std::uint64_t(1) << 53) - 1, std::uint64_t(1) << 52};
    for (double p : ps)
        if (p > 0 && p < 1) {
            const double x = std::ldexp(p, 53);
            const std::uint64_t k = std::uint64_t(x);
            for (std::uint64_t d : {k - 1, k, k + 1, k + 2})
                if (d < (std::uint64_t(1) << 53)) ks.push_back(d);
        }
    int mismatches = 0;
    for (double p : ps) {
        const UnitBound bound(p);
        for (std::uint64_t k : ks)
            for (std::uint64_t low : {std::uint64_t(0), std::uint64_t(0x7FF)}) {
                const std::uint64_t v = k << 11 | low;
                mismatches += bound.admits(v) != (p > std::ldexp(double(v >> 11), -53));
                mismatches += bound.admits(v) != (bound.certain() || v < bound.wide_limit());
            }
    }
    CHECK_EQ(mismatches, 0);
}

// A cursor's draws take exactly the words that index and unit draws would, at
// every position a run can start from, and stop being offered before word 64.
void test_cursor_draws_follow_the_stream() {
    const Seed seed = counting_seed();
    for (std::uint64_t start = 0; start <= 130; ++start) {
        StreamModel m{key_stream(seed, 16)};
        StdRng g = StdRng::from_seed(seed);
        for (std::uint64_t i = 0; i < start; ++i) CHECK_EQ(g.next_u32(), m.word());
        Lcg lcg{start};
        const std::uint64_t before = g.index();
        int mismatches = 0, tests = 0;
        {
            DrawCursor units(g);
            const std::uint32_t bounds[] = {1, 7, 3u << 30, 0xFFFFFFFFu, 2969686940u};
            while (units.has_room(2)) {
                const std::uint64_t choice = lcg.next();
                if (choice % 3 == 0) {  // an index draw, one or two words
                    const std::uint32_t n = bounds[choice / 3 % 5];
                    const std::uint64_t at = units.words_left();
                    bool corrected = false;
                    const std::uint64_t i = units.index(
                        n, [](std::uint64_t k, std::uint32_t) { return k; },
                        [&corrected](std::uint64_t k) { corrected = true; return k; });
                    mismatches += i != m.range(n) || corrected != (at - units.words_left() == 2);
                    ++tests;
                    continue;
                }
                const bool draw = choice & 1;
                mismatches += draw && units.wide() != m.wide();
                units.take(2 * draw);  // a refused draw takes nothing
                ++tests;
            }
        }
        CHECK_EQ(mismatches, 0);
        CHECK_EQ(g.index(), m.index());
        CHECK(g.index() >= 63);
        CHECK_EQ(g.next_u32(), m.word());
        CHECK(tests > 0 || before >= 63);
    }
}

void test_random_range() {
    const Seed seed = counting_seed();
    const Words ks = key_stream(seed, 64);

    // n = 0 stops before taking a word, fresh or mid-buffer.
    {
        StdRng g = StdRng::from_seed(seed);
        std::string message;
        try { g.random_range(0); } catch (const spinlattice::Stop& s) { message = s.message(); }
        CHECK(message == "cannot sample empty range");
        CHECK_EQ(g.index(), 64u);
        CHECK_EQ(g.next_u32(), ks[0]);  // nothing was generated: the first refill is still block 0
        for (int i = 1; i < 5; ++i) g.next_u32();
        message.clear();
        try { g.random_range(0); } catch (const spinlattice::Stop& s) { message = s.message(); }
        CHECK(message == "cannot sample empty range");
        CHECK_EQ(g.index(), 5u);
        CHECK_EQ(g.next_u32(), ks[5]);
    }

    // n = 1 is always 0 and takes exactly one word.
    {
        StdRng g = StdRng::from_seed(seed);
        bool ok = true;
        for (std::uint64_t i = 1; i <= 200; ++i) ok &= g.random_range(1) == 0 && g.index() == (i - 1) % 64 + 1;
        CHECK(ok);
    }

    // Draws at chosen stream positions p: the generator first takes p words.
    auto draw_at = [&](std::uint64_t p, std::uint64_t n, std::uint64_t& words_taken) {
        StdRng g = StdRng::from_seed(seed);
        for (std::uint64_t i = 0; i < p; ++i) g.next_u32();
        const std::uint64_t r = g.random_range(n);
        // Words taken: the count that puts both the index and the next word in place.
        words_taken = ~0ull;
        for (std::uint64_t k = 0; k <= 4; ++k)
            if ((p + k == 0 ? 64 : (p + k - 1) % 64 + 1) == g.index()) words_taken = k;
        if (words_taken != ~0ull && g.next_u32() != ks[p + words_taken]) words_taken = ~0ull;
        return r;
    };

    // n = 3 * 2^30: the threshold is 2^30 and lo = (w mod 4) * 3 * 2^30 mod 2^32, so
    // w = 3 mod 4 gives lo exactly at the threshold, w = 1 or 2 mod 4 lies above it.
    // The same holds one size up for n = 3 * 2^62 with 64-bit values.
    for (int wide = 0; wide <= 1; ++wide) {
        const unsigned bits = wide ? 64 : 32;
        const std::uint64_t n = wide ? 3ull << 62 : 3ull << 30;
        const std::uint64_t step = wide ? 2 : 1;
        auto value = [&](std::uint64_t p) {
            return wide ? u128(ks[p]) | u128(ks[p + 1]) << 32 : u128(ks[p]);
        };
        bool seen_equal = false, seen_carry = false, seen_no_carry = false;
        for (std::uint64_t p = 0; p + 4 < ks.size() && !(seen_equal && seen_carry && seen_no_carry); ++p) {
            const u128 v = value(p), v2 = value(p + step);
            const u128 hi = (v * 3) >> 2;  // floor(v * n / 2^bits)
            std::uint64_t taken = 0;
            if (v % 4 == 3 && !seen_equal) {
                seen_equal = true;
                CHECK(((v * n) & ((u128(1) << bits) - 1)) == (u128(1) << bits) - n);
                CHECK(draw_at(p, n, taken) == hi);
                CHECK_EQ(taken, step);
            } else if (v % 4 == 1 || v % 4 == 2) {
                // lo is 3 * 2^(bits-2) or 2^(bits-1); the carry needs h2 to reach 2^bits - lo.
                const u128 lo_gap = v % 4 == 1 ? u128(1) << (bits - 2) : u128(1) << (bits - 1);
                const bool carry = ((v2 * 3) >> 2) >= lo_gap;
                if (carry ? seen_carry : seen_no_carry) continue;
                (carry ? seen_carry : seen_no_carry) = true;
                CHECK(draw_at(p, n, taken) == hi + carry);
                CHECK_EQ(taken, 2 * step);
            }
        }
        CHECK(seen_equal && seen_carry && seen_no_carry);
    }

    // lo + h2 exactly 2^32 still carries. These bounds come from a search over every
    // 32-bit n at stream positions 4 and 5 of this seed.
    for (const auto& [p, n] : {std::pair<std::uint64_t, std::uint64_t>{4, 2969686940u}, {5, 2928295849u}}) {
        const u128 m = u128(ks[p]) * n, lo = m & 0xFFFFFFFFu;
        CHECK(lo > (u128(1) << 32) - n);
        CHECK(lo + ((u128(ks[p + 1]) * n) >> 32) == u128(1) << 32);
        std::uint64_t taken = 0;
        CHECK_EQ(draw_at(p, n, taken), std::uint64_t(m >> 32) + 1);
        CHECK_EQ(taken, 2u);
    }

    // n = 2^32 - 1 stays narrow: result w - 1 + [w2 > w] (two words, w not 0 or max).
    // n = 2^32 is wide and never corrects: the result is the second word of the pair.
    // n = 2^64 - 1 is like the first, one size up.
    for (std::uint64_t p : {0, 1, 2, 5, 62, 63, 64, 101}) {
        std::uint64_t taken = 0;
        const std::uint32_t w = ks[p], w2 = ks[p + 1];
        CHECK_EQ(draw_at(p, 0xFFFFFFFFull, taken), std::uint64_t(w) - 1 + (w2 > w));
        CHECK_EQ(taken, 2u);
        CHECK_EQ(draw_at(p, 1ull << 32, taken), ks[p + 1]);
        CHECK_EQ(taken, 2u);
        const std::uint64_t v = std::uint64_t(ks[p]) | std::uint64_t(ks[p + 1]) << 32;
        const std::uint64_t v2 = std::uint64_t(ks[p + 2]) | std::uint64_t(ks[p + 3]) << 32;
        CHECK_EQ(draw_at(p, ~0ull, taken), v - 1 + (v2 > v));
        CHECK_EQ(taken, 4u);
    }

    // Many bounds of every size, against the model: same results, same positions, all below n.
    {
        StreamModel m{ks};
        StdRng g = StdRng::from_seed(seed);
        Lcg lcg{42};
        const std::uint64_t fixed[] = {1, 2, 3, 7, 10, 1000, 1u << 31, 3u << 30, 0xFFFFFFFFull,
                                       1ull << 32, (1ull << 32) + 1, (1ull << 33) - 1,
                                       3ull << 62, 1ull << 63, ~0ull};
        int hits[2][3] = {};
        int mismatches = 0, out_of_range = 0;
        for (int i = 0; m.p + 8 < m.ks.size(); ++i) {
            std::uint64_t n = i % 2 ? fixed[i / 2 % std::size(fixed)]
                                    : (lcg.next() << 33 ^ lcg.next() << 2 ^ lcg.next()) >> (lcg.next() % 64);
            if (n == 0) n = 1;
            const std::uint64_t r = g.random_range(n);
            mismatches += r != m.range(n) || g.index() != m.index();
            out_of_range += r >= n;
            ++hits[n >= (1ull << 32)][m.branch];
        }
        CHECK_EQ(mismatches, 0);
        CHECK_EQ(out_of_range, 0);
        for (auto& width : hits)
            for (int h : width) CHECK(h > 0);
    }
}

// Index after N coins from a fresh generator, as the lattice constructor leaves it.
void test_coin_index() {
    const Seed seed = counting_seed();
    for (std::uint64_t n = 0; n <= 200; ++n) {
        StdRng f = StdRng::from_seed(seed);
        for (std::uint64_t i = 0; i < n; ++i) f.coin();
        CHECK_EQ(f.index(), n == 0 ? 64 : 2 * ((n - 1) % 32 + 1));
    }
}

}  // namespace

int main() {
    test_known_answer_and_refills();
    test_key_byte_order();
    test_interleaved_draws_follow_the_stream();
    test_batched_coins_match_single_draws();
    test_unit_bound_matches_the_comparison();
    test_cursor_draws_follow_the_stream();
    test_random_range();
    test_coin_index();
    return check::finish("test_std_rng");
}
