#pragma once
// Reading a generator's words in place: the one way the model's hot loops
// draw without a call per draw. The model reads the keystream through this
// and through StdRng's draws (std_rng.hpp), and nothing else.
//
// The contract:
// - Opening. DrawCursor(rng) points at rng's next unread word. While it is
//   open, rng is drawn from through it alone.
// - Room. words_left() is how many words can be read before the buffer's end,
//   and has_room(k) whether k can. Every read below takes its words from that
//   room, which the caller makes sure of first (a loop once for the most its
//   step can take): nothing here refills on its own.
// - Words taken. word() takes one word; index() takes one, or two when the
//   index draw needs its correction; wide() looks at the next two (the first
//   as the low half) without taking them, and take(k) takes k, so that a
//   caller can decide from a value and take its words or not without a branch.
// - Refill. When fewer than BlockRng::carry_len words are left, refill() makes
//   the next blocks now, keeping the words left in front of them: the words
//   come in the same order as when every refill waits until a word is needed.
// - Closing. The cursor hands its position back to rng when it goes out of
//   scope (also when an exception passes), so that rng's index, and with it
//   the lattice's repr, reads as if every word had been drawn one by one.

#include <cstdint>

#include "random/std_rng.hpp"

namespace spinlattice::random {

class DrawCursor {
public:
    explicit DrawCursor(StdRng& rng) noexcept
        : rng_(rng), words_(rng.words().buffer()), next_(words_ + rng.words().position()) {}
    DrawCursor(const DrawCursor&) = delete;
    DrawCursor& operator=(const DrawCursor&) = delete;
    ~DrawCursor() { rng_.words().advance(std::uint64_t(next_ - words_) - rng_.words().position()); }

    // Whether `count` words can be read from rng in place, asked before opening a cursor on it.
    static bool has_room(const StdRng& rng, unsigned count) noexcept {
        return rng.words().position() <= BlockRng::buffer_len - count;
    }

    std::uint64_t words_left() const noexcept { return std::uint64_t(words_ + BlockRng::buffer_len - next_); }
    bool has_room(unsigned count) const noexcept { return next_ + count <= words_ + BlockRng::buffer_len; }

    // The word draw.
    std::uint32_t word() noexcept { return *next_++; }

    // The index draw over [0, n) for 0 < n < 2^32 (StdRng::random_range),
    // handed to plain(index, first word) or, when it took the correction word,
    // to corrected(index), each of whose results it returns: each caller's two
    // ends stay straight-line code.
    template <class Plain, class Corrected>
    std::uint64_t index(std::uint32_t n, Plain&& plain, Corrected&& corrected) noexcept {
        return narrow_index(n, [this] { return word(); }, plain, corrected);
    }

    // The wide value of the next two words, not yet taken.
    std::uint64_t wide() const noexcept { return wide_at(next_); }
    void take(std::uint64_t words) noexcept { next_ += words; }

    // See the contract above: needs fewer than BlockRng::carry_len words left.
    void refill() noexcept {
        rng_.words().advance(std::uint64_t(next_ - words_) - rng_.words().position());
        rng_.words().refill_ahead();
        next_ = words_ + rng_.words().position();
    }

private:
    StdRng& rng_;
    const std::uint32_t* words_;
    const std::uint32_t* next_;  // a cursor rather than an index: one register less in the loops that use it
};

}  // namespace spinlattice::random
