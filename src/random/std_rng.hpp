#pragma once
// A lattice's generator and its draws: the index draw, the unit draw, the
// coin draw and a batch of coins. Nothing here knows what the draws are for.
// The model uses these and the in-place reading of draw_cursor.hpp, nothing
// beneath them; the words come from block_rng.hpp.

#include <cstdint>

#include "fixed_texts.hpp"
#include "random/block_rng.hpp"
#include "stop.hpp"

namespace spinlattice::random {

// "p > u" for a unit draw u = (v >> 11) * 2^-53, as the integer test
// (v >> 11) < bound: u is k * 2^-53 for an integer k, so p > u exactly when
// k < ceil(p * 2^53) (the product is exact: a power of two). NaN and p <= 0
// give 0 (never), p >= 1 gives 2^53 (always).
class UnitBound {
public:
    constexpr UnitBound() noexcept = default;
    explicit UnitBound(double p) noexcept {
        if (!(p > 0.0)) return;
        if (p >= 1.0) {
            k_ = std::uint64_t(1) << 53;
            return;
        }
        const double x = p * 0x1.0p53;  // in (0, 2^53)
        k_ = std::uint64_t(x);
        if (double(k_) < x) ++k_;
    }
    // Whether the unit draw made from the wide value v lies below the probability.
    bool admits(std::uint64_t v) const noexcept { return (v >> 11) < k_; }
    // p >= 1: every draw lies below. Otherwise admits(v) is v < wide_limit(),
    // a comparison of the wide value itself (its low 11 bits cannot tip it).
    bool certain() const noexcept { return (k_ >> 53) != 0; }
    std::uint64_t wide_limit() const noexcept { return k_ << 11; }
    // The integer bound itself, 0..2^53.
    std::uint64_t limit() const noexcept { return k_; }

private:
    std::uint64_t k_ = 0;
};

// The index draw for 0 < n < 2^32 on the words next_word() hands out (see
// StdRng::random_range), handed to plain(index, first word) or, when the
// correction draw was taken, to corrected(index): each caller's two ends stay
// straight-line code.
template <class NextWord, class Plain, class Corrected>
std::uint64_t narrow_index(std::uint32_t n, NextWord&& next_word, Plain&& plain, Corrected&& corrected) noexcept {
    const std::uint32_t first = next_word();
    const std::uint64_t m = std::uint64_t(first) * n;
    const std::uint32_t lo = std::uint32_t(m);
    // lo above 2^32 - n, tested as a carry out of lo + (n - 1): the second word may carry
    if (std::uint32_t(lo + (n - 1)) < lo) [[unlikely]] {
        const std::uint64_t h2 = (std::uint64_t(next_word()) * n) >> 32;
        return corrected((m >> 32) + ((lo + h2) >> 32));
    }
    return plain(m >> 32, first);
}
template <class NextWord>
std::uint64_t narrow_index(std::uint32_t n, NextWord&& next_word) noexcept {
    return narrow_index(n, next_word, [](std::uint64_t i, std::uint32_t) { return i; }, [](std::uint64_t i) { return i; });
}

class StdRng {
public:
    static StdRng from_seed(const Seed& seed) noexcept { return StdRng(seed); }
    // Seeds from the operating system; stops with "from_os_rng failed: ..." on failure.
    static StdRng from_os_rng();

    std::uint64_t index() const noexcept { return words().index(); }

    std::uint32_t next_u32() noexcept { return words().next_u32(); }
    std::uint64_t next_u64() noexcept { return words().next_u64(); }

    // The index draw, uniform in [0, n): Canon's widening multiply with at most
    // one correction draw. With w, w2 the two draws, the result is exactly
    // floor(n * (w * 2^32 + w2) / 2^64), and w2 can only carry into it when the
    // low half lo of n * w exceeds 2^32 - n, so the second draw is taken only
    // then. Every result has floor or ceil of 2^64 / n of the 2^64 word pairs
    // behind it: unbiased up to 2^-64. n >= 2^32 does the same with wide draws.
    std::uint64_t random_range(std::uint64_t n) {
        if (n == 0) [[unlikely]] stop(fixed::kEmptyRange);
        if (n <= 0xFFFFFFFFu) [[likely]] return narrow_index(std::uint32_t(n), [this] { return next_u32(); });
        return random_range_wide(n);
    }

    // The unit draw: (v >> 11) * 2^-53, exact, in [0, 1 - 2^-53].
    double unit() noexcept { return double(next_u64() >> 11) * 0x1.0p-53; }

    // The coin draw: true when the wide value is below 2^63.
    bool coin() noexcept { return next_u64() < (std::uint64_t(1) << 63); }

    // `count` coin draws in order, heads(bool) called for each; whole pairs
    // are read straight from the buffer between refills.
    template <class Heads>
    void coins(std::uint64_t count, Heads&& heads) noexcept {
        while (count > 0) {
            if (words().words_left() < 2) {  // a pair that straddles or needs a refill
                heads(coin());
                --count;
                continue;
            }
            const std::uint64_t avail = words().words_left() / 2;
            const std::uint64_t run = count < avail ? count : avail;
            const std::uint64_t first = words().position();
            for (std::uint64_t k = 0; k < run; ++k)
                heads((words().buffer()[first + 2 * k + 1] >> 31) == 0);  // top bit of the high word
            words().advance(2 * run);
            count -= run;
        }
    }

private:
    friend class DrawCursor;  // reads the buffer in place (draw_cursor.hpp)
    explicit StdRng(const Seed& seed) noexcept : keystream_(seed) {}

    [[gnu::noinline]] std::uint64_t random_range_wide(std::uint64_t n) noexcept {
        using u128 = unsigned __int128;
        const u128 m = u128(next_u64()) * n;
        std::uint64_t hi = std::uint64_t(m >> 64);
        const std::uint64_t lo = std::uint64_t(m);
        const std::uint64_t threshold = 0 - n;  // 2^64 - n
        if (lo > threshold) {
            const std::uint64_t h2 = std::uint64_t((u128(next_u64()) * n) >> 64);
            if (lo + h2 < lo) ++hi;  // lo + h2 >= 2^64
        }
        return hi;
    }

    BlockRng& words() noexcept { return keystream_; }
    const BlockRng& words() const noexcept { return keystream_; }

    BlockRng keystream_;
};

}  // namespace spinlattice::random
