#pragma once
// The ChaCha12 keystream (stream 0) handed out as 32-bit words from a 64-word
// buffer that is refilled four blocks at a time when a word is needed, or
// ahead of need with the few unread words kept in front of the fresh ones.
// The draws built on these words live in std_rng.hpp.

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#include "random/chacha.hpp"

namespace spinlattice::random {

using Seed = std::array<std::uint8_t, 32>;

// The wide value of two consecutive words, the first as the low half: one
// 64-bit load where that is the memory order.
inline std::uint64_t wide_at(const std::uint32_t* w) noexcept {
    if constexpr (std::endian::native == std::endian::little) {
        std::uint64_t v;
        std::memcpy(&v, w, sizeof v);
        return v;
    }
    return std::uint64_t(w[0]) | std::uint64_t(w[1]) << 32;
}

struct ChaCha12Core {
    std::uint32_t key[8] = {};
    std::uint64_t counter = 0;
    std::uint64_t stream = 0;

    static constexpr unsigned kDoubleRounds = 6;

    explicit ChaCha12Core(const Seed& seed) noexcept {
        for (unsigned i = 0; i < 8; ++i)
            key[i] = std::uint32_t(seed[4 * i]) | std::uint32_t(seed[4 * i + 1]) << 8 |
                     std::uint32_t(seed[4 * i + 2]) << 16 | std::uint32_t(seed[4 * i + 3]) << 24;
    }

    // Blocks counter..counter+3 into the buffer; the counter advances by 4.
    void refill_wide(unsigned double_rounds, std::uint32_t out[kBufferWords]) noexcept {
        best_block_function()(key, counter, stream, double_rounds, out);
        counter += kBlocksPerRefill;
    }
};

class BlockRng {
public:
    static constexpr std::uint64_t result_len = kBufferWords;
    // refill_ahead() keeps fewer than this many unread words, in front of the fresh block.
    static constexpr std::uint64_t carry_len = 8;
    // Words in the buffer as laid out: the carried ones, then the block.
    static constexpr std::uint64_t buffer_len = carry_len + result_len;

    explicit BlockRng(const Seed& seed) noexcept : core_(seed) {}

    // Position of the next unread word in its block, 1..64, 64 when none is
    // left: the same as if every refill waited until a word was needed (a
    // carried word is still in the old block; a fresh block nothing was read
    // from is not yet made, since a refill when needed reads a word at once).
    std::uint64_t index() const noexcept { return next_ > carry_len ? next_ - carry_len : next_ + result_len - carry_len; }
    std::uint64_t words_left() const noexcept { return buffer_len - next_; }
    // The buffer, for draws that read whole runs of words in place from
    // buffer() + position() up to buffer() + buffer_len without a refill.
    const std::uint32_t* buffer() const noexcept { return words_; }
    std::uint64_t position() const noexcept { return next_; }
    // Marks `count` words read in place as taken (count <= words_left()).
    void advance(std::uint64_t count) noexcept { next_ += count; }

    // The word draw.
    std::uint32_t next_u32() noexcept {
        if (next_ >= buffer_len) [[unlikely]] refill(0);
        return words_[next_++];
    }

    // The wide draw: two words, the first as the low half; with one word
    // left the pair straddles a refill.
    std::uint64_t next_u64() noexcept {
        const std::uint64_t i = next_;
        if (i < buffer_len - 1) [[likely]] {
            next_ = i + 2;
            return wide_at(words_ + i);
        }
        if (i == buffer_len - 1) {
            const std::uint64_t low = words_[buffer_len - 1];
            refill(1);
            return low | std::uint64_t(words_[carry_len]) << 32;
        }
        refill(2);
        return wide_at(words_ + carry_len);
    }

    // Makes the next block now, keeping the unread words (fewer than
    // carry_len) just in front of it, so that in-place readers see one run.
    // The words drawn stay the same and in the same order.
    [[gnu::noinline]] void refill_ahead() noexcept {
        std::memcpy(words_, words_ + result_len, carry_len * sizeof(std::uint32_t));
        core_.refill_wide(ChaCha12Core::kDoubleRounds, words_ + carry_len);
        next_ -= result_len;
    }

private:
    [[gnu::noinline]] void refill(std::uint64_t taken) noexcept {
        core_.refill_wide(ChaCha12Core::kDoubleRounds, words_ + carry_len);
        next_ = carry_len + taken;
    }

    ChaCha12Core core_;
    std::uint64_t next_ = buffer_len;
    std::uint32_t words_[buffer_len] = {};
};

}  // namespace spinlattice::random
