#pragma once
// A lattice's generator: the ChaCha12 keystream (stream 0) handed out as
// 32-bit words from a 64-word buffer that is refilled four blocks at a time,
// and the draws the model takes from it.

#include <array>
#include <cstdint>

#include "random/chacha.hpp"
#include "stop.hpp"

namespace spinlattice::random {

using Seed = std::array<std::uint8_t, 32>;

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

    std::uint64_t index() const noexcept { return index_; }
    const std::uint32_t* results() const noexcept { return results_; }

    // The next wide draw without taking it, when both its words are in the buffer.
    bool peek_u64(std::uint64_t& out) const noexcept {
        const std::uint64_t i = index_;
        if (i >= result_len - 1) return false;
        out = std::uint64_t(results_[i]) | std::uint64_t(results_[i + 1]) << 32;
        return true;
    }
    // Takes the peeked wide draw when `take`, else leaves it for the next draw.
    void take_peeked(bool take) noexcept { index_ += 2 * std::uint64_t(take); }

    std::uint32_t next_u32() noexcept {
        if (index_ >= result_len) [[unlikely]] refill(0);
        return results_[index_++];
    }

    // Two words, the first as the low half; at index 63 the pair straddles a refill.
    std::uint64_t next_u64() noexcept {
        const std::uint64_t i = index_;
        if (i < result_len - 1) [[likely]] {
            index_ = i + 2;
            return std::uint64_t(results_[i]) | std::uint64_t(results_[i + 1]) << 32;
        }
        if (i == result_len - 1) {
            const std::uint64_t low = results_[result_len - 1];
            refill(1);
            return low | std::uint64_t(results_[0]) << 32;
        }
        refill(2);
        return std::uint64_t(results_[0]) | std::uint64_t(results_[1]) << 32;
    }

    // Hands out whole pairs straight from the buffer: calls take(pair) for up
    // to `count` wide draws, exactly as `count` calls of next_u64 would.
    template <class Take>
    void for_each_u64(std::uint64_t count, Take&& take) noexcept {
        while (count > 0) {
            if (index_ & 1) {  // odd position: the pair may straddle a refill
                take(next_u64());
                --count;
                continue;
            }
            if (index_ >= result_len) refill(0);
            std::uint64_t avail = (result_len - index_) / 2;
            std::uint64_t run = count < avail ? count : avail;
            const std::uint32_t* w = results_ + index_;
            for (std::uint64_t k = 0; k < run; ++k)
                take(std::uint64_t(w[2 * k]) | std::uint64_t(w[2 * k + 1]) << 32);
            index_ += 2 * run;
            count -= run;
        }
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

class StdRng {
public:
    static StdRng from_seed(const Seed& seed) noexcept { return StdRng(seed); }
    // Seeds from the operating system; stops with "from_os_rng failed: ..." on failure.
    static StdRng from_os_rng();

    std::uint64_t index() const noexcept { return inner_.rng.index(); }
    BlockRng& block_rng() noexcept { return inner_.rng; }

    std::uint32_t next_u32() noexcept { return inner_.rng.next_u32(); }
    std::uint64_t next_u64() noexcept { return inner_.rng.next_u64(); }

    // Uniform in [0, n): widening multiply with at most one correction draw.
    std::uint64_t random_range(std::uint64_t n) {
        if (n == 0) [[unlikely]] stop("cannot sample empty range");
        if (n <= 0xFFFFFFFFu) [[likely]] {
            const std::uint64_t m = std::uint64_t(next_u32()) * n;
            std::uint64_t hi = m >> 32;
            const std::uint32_t lo = std::uint32_t(m);
            const std::uint32_t threshold = std::uint32_t(0u - std::uint32_t(n));  // 2^32 - n
            if (lo > threshold) [[unlikely]] {
                const std::uint32_t h2 = std::uint32_t((std::uint64_t(next_u32()) * n) >> 32);
                if (std::uint64_t(lo) + h2 >= (std::uint64_t(1) << 32)) ++hi;
            }
            return hi;
        }
        return random_range_wide(n);
    }

    // (v >> 11) * 2^-53: exact, in [0, 1 - 2^-53].
    static double unit_from(std::uint64_t v) noexcept { return double(v >> 11) * 0x1.0p-53; }
    double unit() noexcept { return unit_from(next_u64()); }

    bool coin() noexcept { return next_u64() < (std::uint64_t(1) << 63); }

private:
    explicit StdRng(const Seed& seed) noexcept : inner_{BlockRng(seed)} {}

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

    ChaCha12Rng inner_;
};

}  // namespace spinlattice::random
