#pragma once
// The per-object borrow flag: 0 free, n > 0 shared borrows, -1 one exclusive
// borrow. A conflicting request fails at once; nothing waits.

#include <Python.h>

#include <atomic>
#include <cstdint>

#include "binding/errors.hpp"

namespace spinlattice::binding {

using BorrowFlag = std::atomic<std::int64_t>;

#ifdef Py_GIL_DISABLED
inline bool try_borrow(BorrowFlag& flag) noexcept {
    std::int64_t seen = flag.load();
    while (seen != -1) {
        if (flag.compare_exchange_weak(seen, seen + 1)) return true;
    }
    return false;
}
inline void release_borrow(BorrowFlag& flag) noexcept { flag.fetch_sub(1); }

inline bool try_borrow_mut(BorrowFlag& flag) noexcept {
    std::int64_t expected = 0;
    return flag.compare_exchange_strong(expected, -1);
}
inline void release_borrow_mut(BorrowFlag& flag) noexcept { flag.store(0, std::memory_order_release); }
#else
// With a global interpreter lock every access happens while holding it and no
// Python code runs between a load and its store, so no other thread can come
// in between: plain loads and stores keep the same outcomes without a locked
// instruction per call (handing the lock over orders them between threads).
inline bool try_borrow(BorrowFlag& flag) noexcept {
    const std::int64_t seen = flag.load(std::memory_order_relaxed);
    if (seen == -1) return false;
    flag.store(seen + 1, std::memory_order_relaxed);
    return true;
}
inline void release_borrow(BorrowFlag& flag) noexcept {
    flag.store(flag.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
}

inline bool try_borrow_mut(BorrowFlag& flag) noexcept {
    if (flag.load(std::memory_order_relaxed) != 0) return false;
    flag.store(-1, std::memory_order_relaxed);
    return true;
}
inline void release_borrow_mut(BorrowFlag& flag) noexcept { flag.store(0, std::memory_order_relaxed); }
#endif

// A borrow held for one scope: test with operator bool; a refused borrow has set RuntimeError.
template <bool (*take)(BorrowFlag&) noexcept, void (*release)(BorrowFlag&) noexcept, void (*refuse)() noexcept>
class ScopedBorrow {
public:
    explicit ScopedBorrow(BorrowFlag& flag) noexcept : flag_(flag), held_(take(flag)) {
        if (!held_) [[unlikely]] refuse();
    }
    ScopedBorrow(const ScopedBorrow&) = delete;
    ScopedBorrow& operator=(const ScopedBorrow&) = delete;
    ~ScopedBorrow() { if (held_) release(flag_); }
    explicit operator bool() const noexcept { return held_; }

private:
    BorrowFlag& flag_;
    bool held_;
};

using SharedBorrow = ScopedBorrow<try_borrow, release_borrow, raise_already_mutably_borrowed>;
using ExclusiveBorrow = ScopedBorrow<try_borrow_mut, release_borrow_mut, raise_already_borrowed>;

}  // namespace spinlattice::binding
