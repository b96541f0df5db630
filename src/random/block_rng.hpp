#pragma once
// The ChaCha12 keystream (stream 0) handed out as 32-bit words from a 64-word
// buffer that is refilled four blocks at a time, only when a word is needed.
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

    explicit BlockRng(const Seed& seed) noexcept : core_(seed) {}

    // Position of the next unread word, 0..64; 64 when none is left.
    std::uint64_t index() const noexcept { return index_; }
    std::uint64_t words_left() const noexcept { return result_len - index_; }
    // The buffer, for draws that read whole runs of words without a refill.
    const std::uint32_t* results() const noexcept { return results_; }
    // Marks `count` words read through results() as taken (count <= words_left()).
    void advance(std::uint64_t count) noexcept { index_ += count; }

    // The word draw.
    std::uint32_t next_u32() noexcept {
        if (index_ >= result_len) [[unlikely]] refill(0);
        return results_[index_++];
    }

    // The wide draw: two words, the first as the low half; at index 63 the
    // pair straddles a refill.
    std::uint64_t next_u64() noexcept {
        const std::uint64_t i = index_;
        if (i < result_len - 1) [[likely]] {
            index_ = i + 2;
            return wide_at(results_ + i);
        }
        if (i == result_len - 1) {
            const std::uint64_t low = results_[result_len - 1];
            refill(1);
            return low | std::uint64_t(results_[0]) << 32;
        }
        refill(2);
        return wide_at(results_);
    }

private:
    [[gnu::noinline]] void refill(std::uint64_t new_index) noexcept {
        core_.refill_wide(ChaCha12Core::kDoubleRounds, results_);
        index_ = new_index;
    }

    ChaCha12Core core_;
    std::uint32_t results_[kBufferWords] = {};
    std::uint64_t index_ = result_len;
};

struct ChaCha12Rng {
    BlockRng rng;
};

}  // namespace spinlattice::random
