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

// Scoped borrows: test with operator bool; a refused borrow has set RuntimeError.
class SharedBorrow {
public:
    explicit SharedBorrow(BorrowFlag& flag) noexcept : flag_(flag), held_(try_borrow(flag)) {
        if (!held_) [[unlikely]] raise_already_mutably_borrowed();
    }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;
    ~SharedBorrow() { if (held_) release_borrow(flag_); }
    explicit operator bool() const noexcept { return held_; }

private:
    BorrowFlag& flag_;
    bool held_;
};

class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(BorrowFlag& flag) noexcept : flag_(flag), held_(try_borrow_mut(flag)) {
        if (!held_) [[unlikely]] raise_already_borrowed();
    }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
    ~ExclusiveBorrow() { if (held_) release_borrow_mut(flag_); }
    explicit operator bool() const noexcept { return held_; }

private:
    BorrowFlag& flag_;
    bool held_;
};

}  // namespace spinlattice::binding
