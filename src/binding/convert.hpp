#pragma once
// Argument conversions. Each returns false with the interpreter's error set.

#include <Python.h>

#include <cstdint>

#include "binding/py_ref.hpp"

namespace spinlattice::binding {

// int (or anything with __index__) to unsigned 64-bit; negative or too large is OverflowError.
inline bool to_u64(PyObject* obj, std::uint64_t& out) noexcept {
    if (PyLong_Check(obj)) [[likely]] {
        out = PyLong_AsUnsignedLongLong(obj);
        return !(out == ~std::uint64_t(0) && PyErr_Occurred());
    }
    PyRef index(PyNumber_Index(obj));
    if (!index) return false;
    out = PyLong_AsUnsignedLongLong(index.get());
    return !(out == ~std::uint64_t(0) && PyErr_Occurred());
}

// float, or anything PyFloat_AsDouble accepts (int, __float__, __index__), to double.
inline bool to_double(PyObject* obj, double& out) noexcept {
    if (PyFloat_CheckExact(obj)) [[likely]] {
        out = PyFloat_AS_DOUBLE(obj);
        return true;
    }
    out = PyFloat_AsDouble(obj);
    return !(out == -1.0 && PyErr_Occurred());
}

}  // namespace spinlattice::binding
