// The module's entry points and its single execution step: the step creates
// the Lattice class from the slots lattice_methods.cpp builds (once per
// process, for one interpreter) and publishes it as the module's only name.

#include <Python.h>

#include <atomic>
#include <cstdint>

#include "binding/compat.hpp"
#include "binding/errors.hpp"
#include "binding/lattice_methods.hpp"
#include "binding/lattice_surface.hpp"
#include "binding/lattice_object.hpp"
#include "binding/once.hpp"
#include "binding/py_ref.hpp"
#include "stop.hpp"

namespace spinlattice::binding {
namespace {

// "builtins.Lattice": the class reports __module__ "builtins" and __name__ "Lattice".
constexpr auto kQualifiedClassName = build_text([](auto& put) {
    put(kClassModule);
    put(".");
    put(kClassName);
});

// No type flags: final, no __dict__, no weak references, not tracked by the collector.
#if PY_VERSION_HEX >= 0x030F0000
PySlot lattice_type_slots[] = {
    data_slot(Py_tp_name, PySlot_INTPTR, kQualifiedClassName.c_str()),
    uint64_slot(Py_tp_flags, 0),
    data_slot(Py_tp_slots, PySlot_INTPTR, lattice_slots),
    size_slot(Py_tp_basicsize, Py_ssize_t(sizeof(LatticeObject))),
    PySlot_END,
};

PyObject* new_lattice_type() { return PyType_FromSlots(lattice_type_slots); }
#else
PyType_Spec lattice_spec = {
    kQualifiedClassName.c_str(),
    int(sizeof(LatticeObject)),
    0,
    0,
    lattice_slots,
};

PyObject* new_lattice_type() { return PyType_FromSpec(&lattice_spec); }
#endif

OnceObject lattice_type;

// The type, or nullptr with RuntimeError set whose cause is the interpreter's refusal.
PyObject* create_lattice_type() {
    PyObject* type = new_lattice_type();
    if (type) return type;
    PyObject* cause = fetch_raised_exception();
    PyErr_Format(PyExc_RuntimeError, "An error occurred while initializing class %s", kClassName.data());
    PyObject* error = fetch_raised_exception();
    PyException_SetCause(error, cause);  // steals cause
    restore_raised_exception(error);
    return nullptr;
}

// "'<type>' object is not an instance of '<expected>'"
void raise_cast_error(PyObject* obj, const char* expected) {
    if (obj == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
    } else {
        PyRef qualname(PyType_GetQualName(Py_TYPE(obj)));
        if (qualname)
            PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", qualname.get(), expected);
    }
}

// The class is shared by every module object of the process, which is only
// sound within one interpreter: others are refused rather than handed it.
std::atomic<std::int64_t> owning_interpreter{-1};

bool check_interpreter() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    std::int64_t expected = -1;
    if (owning_interpreter.compare_exchange_strong(expected, id) || expected == id) return true;
    PyErr_SetString(PyExc_ImportError,
                    "spinlattice can be imported in one interpreter per process only");
    return false;
}

// Appends the class name to __all__ and sets the module attribute; 0, or -1 with an error set.
int publish(PyObject* module, PyObject* type, PyObject* all) {
    PyRef name(PyUnicode_FromStringAndSize(kClassName.data(), Py_ssize_t(kClassName.size())));
    if (!name || PyList_Append(all, name.get()) < 0) {
        PyErr_Clear();
        // Fixed for compatibility: the message names the attribute as "__name__".
        stop("could not append __name__ to __all__");
    }
    if (PyObject_SetAttr(module, name.get(), type) == 0) return 0;
    keep_error_resuming_stop();
    return -1;
}

int module_exec(PyObject* module) {
    return guarded([&]() -> int {
        if (!PyModule_Check(module)) {
            raise_cast_error(module, "PyModule");
            return -1;
        }
        if (!check_interpreter()) return -1;
        // Failed lookups, assignments and allocations of the interpreter's are passed on as they are.
        PyObject* type = lattice_type.get(create_lattice_type);
        if (!type) {
            keep_error_resuming_stop();
            return -1;
        }
        PyRef all(PyObject_GetAttrString(module, "__all__"));
        if (!all && PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            all = PyRef(PyList_New(0));
            if (all && PyObject_SetAttrString(module, "__all__", all.get()) < 0) all = PyRef();
        }
        if (!all) {
            keep_error_resuming_stop();
            return -1;
        }
        if (!PyList_Check(all.get())) {
            raise_cast_error(all.get(), "PyList");
            return -1;
        }
        return publish(module, type, all.get());
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

constexpr const char* kModuleName = "spinlattice";
constexpr const char* kModuleDoc = "";

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    kModuleName,
    kModuleDoc,
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

#if PY_VERSION_HEX >= 0x030F0000
// Built for the interpreter that has the global lock, with its full API.
PyABIInfo abi_info = {1, 0, PyABIInfo_DEFAULT_FLAGS, 0, 0};

// What the export hook hands the interpreter: the same module as module_def describes.
PySlot module_export_slots[] = {
    function_slot(Py_mod_exec, module_exec),
    data_slot(Py_mod_abi, PySlot_STATIC, &abi_info),
    data_slot(Py_mod_gil, PySlot_INTPTR, Py_MOD_GIL_NOT_USED),
    data_slot(Py_mod_name, PySlot_STATIC, kModuleName),
    data_slot(Py_mod_doc, PySlot_STATIC, kModuleDoc),
    PySlot_END,
};
#endif

}  // namespace
}  // namespace spinlattice::binding

#if PY_VERSION_HEX >= 0x030F0000
PyMODEXPORT_FUNC PyModExport_spinlattice() { return spinlattice::binding::module_export_slots; }
#endif

PyMODINIT_FUNC PyInit_spinlattice() { return PyModuleDef_Init(&spinlattice::binding::module_def); }
