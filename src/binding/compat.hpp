#pragma once
// Interpreter-version differences, kept in one place.

#include <Python.h>

#include <cstdint>

namespace spinlattice::binding {

// Takes the current exception (normalised, with its traceback); nullptr if none.
inline PyObject* fetch_raised_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (!type) return nullptr;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
#endif
}

// Makes exc (a reference that is stolen) the current exception again.
inline void restore_raised_exception(PyObject* exc) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
    Py_INCREF(type);
    PyErr_Restore(type, exc, PyException_GetTraceback(exc));
#endif
}

#if PY_VERSION_HEX >= 0x030F0000
// Unified slot records (3.15), for the export hook and PyType_FromSlots. Filled
// in by hand: the header's PySlot_* initializer macros name only some fields,
// which -Wmissing-field-initializers rejects in C++.
using SlotFunction = decltype(PySlot{}.sl_func);

inline PySlot data_slot(std::uint16_t id, std::uint16_t flags, const void* value) {
    PySlot slot{};
    slot.sl_id = id;
    slot.sl_flags = flags;
    slot.sl_ptr = const_cast<void*>(value);
    return slot;
}

template <class F>
inline PySlot function_slot(std::uint16_t id, F* function) {
    PySlot slot{};
    slot.sl_id = id;
    slot.sl_func = reinterpret_cast<SlotFunction>(function);
    return slot;
}

inline PySlot size_slot(std::uint16_t id, Py_ssize_t size) {
    PySlot slot{};
    slot.sl_id = id;
    slot.sl_size = size;
    return slot;
}

inline PySlot uint64_slot(std::uint16_t id, std::uint64_t value) {
    PySlot slot{};
    slot.sl_id = id;
    slot.sl_uint64 = value;
    return slot;
}
#endif

}  // namespace spinlattice::binding
