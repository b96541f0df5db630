#pragma once
// Storage for the Wolff update's two lists, for one call: the pending sites
// (each with its column, so that its neighbours need no division) and every
// joined site in joining order, kept until the pending list has room for
// every site. Both share one capacity; the first entries live inline, so the
// small clusters of most calls never touch the heap.

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "model/geometry.hpp"

namespace spinlattice::model {

template <class Index>
class ClusterStorage {
public:
    using Entry = typename ClusterGeometry<Index>::Entry;

    ClusterStorage() = default;
    ClusterStorage(const ClusterStorage&) = delete;
    ClusterStorage& operator=(const ClusterStorage&) = delete;

    Entry* pending() noexcept { return pending_; }
    Index* joined() noexcept { return joined_; }
    std::uint64_t capacity() const noexcept { return capacity_; }

    // Moves the first `pending` entries to room for `limit` of them, the
    // most the cluster can need, leaving the joined list behind; false, with
    // nothing changed, when that memory can't be had.
    [[gnu::noinline]] bool take_all(std::uint64_t pending, std::uint64_t limit) noexcept {
        auto all = std::unique_ptr<Entry[]>(new (std::nothrow) Entry[limit]);
        if (!all) return false;
        std::memcpy(all.get(), pending_, pending * sizeof(Entry));
        pending_heap_ = std::move(all);
        pending_ = pending_heap_.get();
        return true;
    }

    // Grows eightfold, but never past `limit` (the site count and the slack
    // of one expansion), keeping the first `pending` and `joined` entries:
    // few copies per call, and no more memory than the lattice can use.
    // Throws std::bad_alloc and leaves everything unchanged when it can't.
    [[gnu::noinline]] void grow(std::uint64_t pending, std::uint64_t joined, std::uint64_t limit) {
        const std::uint64_t capacity = capacity_ < limit / 8 ? capacity_ * 8 : limit;
        auto more_pending = std::unique_ptr<Entry[]>(new Entry[capacity]);
        auto more_joined = std::unique_ptr<Index[]>(new Index[capacity]);
        std::memcpy(more_pending.get(), pending_, pending * sizeof(Entry));
        std::memcpy(more_joined.get(), joined_, joined * sizeof(Index));
        pending_heap_ = std::move(more_pending);
        joined_heap_ = std::move(more_joined);
        pending_ = pending_heap_.get();
        joined_ = joined_heap_.get();
        capacity_ = capacity;
    }

private:
    static constexpr std::uint64_t kInline = 512;

    Entry pending_inline_[kInline];
    Index joined_inline_[kInline];
    std::unique_ptr<Entry[]> pending_heap_;
    std::unique_ptr<Index[]> joined_heap_;
    Entry* pending_ = pending_inline_;
    Index* joined_ = joined_inline_;
    std::uint64_t capacity_ = kInline;
};

}  // namespace spinlattice::model
