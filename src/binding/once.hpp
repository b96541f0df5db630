#pragma once
// A process-wide object created once on first need. A thread that finds the
// creation in progress on another thread waits with the interpreter released,
// so the creating thread can finish even if it needs the interpreter.

#include <Python.h>

#include <atomic>
#include <mutex>
#include <thread>

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
        if (creator_.load() == std::this_thread::get_id()) {
            // Re-entered from code run by create() on this thread: waiting would never end.
            PyErr_SetString(PyExc_RuntimeError, "recursive initialisation of a spinlattice object");
            return nullptr;
        }
        if (!mutex_.try_lock()) {
            Py_BEGIN_ALLOW_THREADS
            mutex_.lock();
            Py_END_ALLOW_THREADS
        }
        std::lock_guard<std::mutex> held(mutex_, std::adopt_lock);
        if (PyObject* ready = value_.load(std::memory_order_acquire)) return ready;
        struct Creating {
            std::atomic<std::thread::id>& creator;
            ~Creating() { creator.store(std::thread::id()); }
        } creating{creator_};
        creator_.store(std::this_thread::get_id());
        PyObject* created = create();
        if (created) value_.store(created, std::memory_order_release);
        return created;
    }

    std::atomic<PyObject*> value_{nullptr};
    std::mutex mutex_;
    std::atomic<std::thread::id> creator_{};
};

}  // namespace spinlattice::binding
