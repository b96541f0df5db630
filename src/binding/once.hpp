#pragma once
// A process-wide object created once on first need. A thread that finds the
// creation in progress on another thread waits with the interpreter released,
// so the creating thread can finish even if it needs the interpreter.

#include <Python.h>

#include <atomic>
#include <mutex>

namespace spinlattice::binding {

class OnceObject {
public:
    // Returns the object (borrowed), or nullptr with an exception set when create failed;
    // a failed creation is not cached, so the next use tries again.
    template <class Create>
    PyObject* get(Create&& create) {
        if (PyObject* ready = value_.load(std::memory_order_acquire)) [[likely]] return ready;
        return get_slow(create);
    }

private:
    template <class Create>
    [[gnu::noinline]] PyObject* get_slow(Create& create) {
        if (!mutex_.try_lock()) {
            Py_BEGIN_ALLOW_THREADS
            mutex_.lock();
            Py_END_ALLOW_THREADS
        }
        std::lock_guard<std::mutex> held(mutex_, std::adopt_lock);
        if (PyObject* ready = value_.load(std::memory_order_acquire)) return ready;
        PyObject* created = create();
        if (created) value_.store(created, std::memory_order_release);
        return created;
    }

    std::atomic<PyObject*> value_{nullptr};
    std::mutex mutex_;
};

}  // namespace spinlattice::binding
