#pragma once
// The Wolff update's working lists for one call: the pending sites (each with
// its column, so that its neighbours need no division) and every joined site
// in joining order. Both share one capacity, checked once per expanded site
// rather than at every push; the first entries live inline, so the small
// clusters of most calls never touch the heap.

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

namespace spinlattice::model {

struct PendingSite {
    std::uint64_t site;
    std::uint64_t column;
};

class ClusterLists {
public:
    ClusterLists() = default;
    ClusterLists(const ClusterLists&) = delete;
    ClusterLists& operator=(const ClusterLists&) = delete;

    // Whether `count` more sites can join without growing.
    bool has_room(std::uint64_t count) const noexcept { return capacity_ - joined_size_ >= count; }
    // Doubles the capacity; throws std::bad_alloc and leaves the lists unchanged when it can't.
    [[gnu::noinline]] void grow() {
        const std::uint64_t capacity = capacity_ * 2;
        auto pending = std::unique_ptr<PendingSite[]>(new PendingSite[capacity]);
        auto joined = std::unique_ptr<std::uint64_t[]>(new std::uint64_t[capacity]);
        std::memcpy(pending.get(), pending_, pending_size_ * sizeof(PendingSite));
        std::memcpy(joined.get(), joined_, joined_size_ * sizeof(std::uint64_t));
        pending_heap_ = std::move(pending);
        joined_heap_ = std::move(joined);
        pending_ = pending_heap_.get();
        joined_ = joined_heap_.get();
        capacity_ = capacity;
    }

    bool pending_empty() const noexcept { return pending_size_ == 0; }
    PendingSite pop() noexcept { return pending_[--pending_size_]; }
    // Writes the entry and keeps it only when `keep`, without a branch (needs has_room).
    void join_if(bool keep, std::uint64_t site, std::uint64_t column) noexcept {
        pending_[pending_size_] = {site, column};
        joined_[joined_size_] = site;
        pending_size_ += keep;
        joined_size_ += keep;
    }

    const std::uint64_t* joined_begin() const noexcept { return joined_; }
    const std::uint64_t* joined_end() const noexcept { return joined_ + joined_size_; }

private:
    static constexpr std::uint64_t kInline = 256;

    PendingSite pending_inline_[kInline];
    std::uint64_t joined_inline_[kInline];
    std::unique_ptr<PendingSite[]> pending_heap_;
    std::unique_ptr<std::uint64_t[]> joined_heap_;
    PendingSite* pending_ = pending_inline_;
    std::uint64_t* joined_ = joined_inline_;
    std::uint64_t pending_size_ = 0;
    std::uint64_t joined_size_ = 0;
    std::uint64_t capacity_ = kInline;
};

}  // namespace spinlattice::model
