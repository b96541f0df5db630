#pragma once
// An owned reference: released when the handle goes out of scope.

#include <Python.h>

#include <utility>

namespace spinlattice::binding {

class PyRef {
public:
    PyRef() = default;
    explicit PyRef(PyObject* owned) noexcept : ptr_(owned) {}
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) { Py_XDECREF(ptr_); ptr_ = std::exchange(other.ptr_, nullptr); }
        return *this;
    }
    ~PyRef() { Py_XDECREF(ptr_); }

    PyObject* get() const noexcept { return ptr_; }
    PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

private:
    PyObject* ptr_ = nullptr;
};

}  // namespace spinlattice::binding
