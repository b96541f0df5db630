#pragma once
// Argument conversions. Each returns false with the interpreter's error set.

#include <Python.h>

#include <cstdint>

#include "binding/py_ref.hpp"

namespace spinlattice::binding {

// int (or anything with __index__) to unsigned 64-bit; negative or too large is OverflowError.
// Small non-negative ints are read straight from the object; false when not such an int.
inline bool small_int_value(PyObject* obj, std::uint64_t& out) noexcept {
    if (!PyLong_CheckExact(obj)) return false;
#if PY_VERSION_HEX >= 0x030C0000
    auto* number = reinterpret_cast<PyLongObject*>(obj);
    if (!PyUnstable_Long_IsCompact(number)) return false;
    const Py_ssize_t value = PyUnstable_Long_CompactValue(number);
    if (value < 0) return false;
    out = std::uint64_t(value);
    return true;
#else
    const Py_ssize_t size = Py_SIZE(obj);  // sign times the number of 30-bit digits
    if (size != 0 && size != 1) return false;
    out = size == 0 ? 0 : reinterpret_cast<PyLongObject*>(obj)->ob_digit[0];
    return true;
#endif
}

inline bool to_u64(PyObject* obj, std::uint64_t& out) noexcept {
    if (small_int_value(obj, out)) [[likely]] return true;
    if (PyLong_Check(obj)) {
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
