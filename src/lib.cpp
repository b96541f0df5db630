// The module's face towards the interpreter: the entry point, the single
// execution step, and the Lattice class with its slots and tables.

#include <Python.h>

#include <atomic>
#include <cstdint>

#include "binding/compat.hpp"
#include "binding/errors.hpp"
#include "binding/lattice_methods.hpp"
#include "binding/lattice_object.hpp"
#include "binding/once.hpp"
#include "binding/py_ref.hpp"
#include "stop.hpp"

namespace spinlattice::binding {
namespace {

constexpr int kFastCall = METH_FASTCALL | METH_KEYWORDS;

template <class F>
constexpr PyCFunction method(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef lattice_methods[] = {
    {"flat_to_idx", method(flat_to_idx), kFastCall, "flat_to_idx($self, flat_idx)\n--\n\n"},
    {"idx_to_flat", method(idx_to_flat), kFastCall, "idx_to_flat($self, row, col)\n--\n\n"},
    {"get_nearest_neighbors", method(get_nearest_neighbors), kFastCall,
     "get_nearest_neighbors($self, flat_idx)\n--\n\n"},
    {"get_energy", method(get_energy), METH_NOARGS, "get_energy($self)\n--\n\n"},
    {"get_energy_diff_from_flip", method(get_energy_diff_from_flip), kFastCall,
     "get_energy_diff_from_flip($self, flat_idx)\n--\n\n"},
    {"simulation_step", method(simulation_step), METH_NOARGS, "simulation_step($self)\n--\n\n"},
    {"wolff_step", method(wolff_step), METH_NOARGS, "wolff_step($self)\n--\n\n"},
    {"get_total_magnetization", method(get_total_magnetization), METH_NOARGS,
     "get_total_magnetization($self)\n--\n\n"},
    {"average_magnetization", method(average_magnetization), METH_NOARGS,
     "average_magnetization($self)\n--\n\n"},
    {"as_array", method(as_array), METH_NOARGS, "as_array($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef lattice_properties[] = {
    {"width", get_width, nullptr, nullptr, nullptr},
    {"height", get_height, nullptr, nullptr, nullptr},
    {"temperature", get_temperature, set_temperature, nullptr, nullptr},
    {"h_z", get_h_z, set_h_z, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot lattice_slots[] = {
    {Py_tp_doc, const_cast<char*>("Lattice(width, height, temperature, h_z)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(lattice_new)},
    {Py_tp_repr, reinterpret_cast<void*>(lattice_repr)},
    {Py_tp_methods, lattice_methods},
    {Py_tp_getset, lattice_properties},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(lattice_dealloc)},
    {0, nullptr},
};

// No flags: final, no __dict__, no weak references, not tracked by the collector.
PyType_Spec lattice_spec = {
    "builtins.Lattice",
    int(sizeof(LatticeObject)),
    0,
    0,
    lattice_slots,
};

OnceObject lattice_type;

PyObject* create_lattice_type() {
    PyObject* type = PyType_FromSpec(&lattice_spec);
    if (type) return type;
    PyObject* cause = fetch_raised_exception();
    PyErr_SetString(PyExc_RuntimeError, "An error occurred while initializing class Lattice");
    PyObject* error = fetch_raised_exception();
    PyException_SetCause(error, cause);  // steals cause
    restore_raised_exception(error);
    return nullptr;
}

// "'<type>' object is not an instance of '<expected>'"
int cast_error(PyObject* obj, const char* expected) {
    if (obj == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
    } else {
        PyRef qualname(PyType_GetQualName(Py_TYPE(obj)));
        if (qualname)
            PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", qualname.get(), expected);
    }
    return -1;
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

// A failed lookup, assignment or allocation of the interpreter's, taken over as it is.
int pass_on_error() {
    restore_raised_exception(take_over_error());
    return -1;
}

int module_exec(PyObject* module) {
    return guarded([&]() -> int {
        if (!PyModule_Check(module)) return cast_error(module, "PyModule");
        if (!check_interpreter()) return -1;
        PyObject* type = lattice_type.get(create_lattice_type);
        if (!type) return pass_on_error();

        PyRef all(PyObject_GetAttrString(module, "__all__"));
        if (!all) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return pass_on_error();
            PyErr_Clear();
            all = PyRef(PyList_New(0));
            if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return pass_on_error();
        } else if (!PyList_Check(all.get())) {
            return cast_error(all.get(), "PyList");
        }
        PyRef name(PyUnicode_FromString("Lattice"));
        if (!name || PyList_Append(all.get(), name.get()) < 0) {
            PyErr_Clear();
            stop("could not append __name__ to __all__");
        }
        if (PyObject_SetAttrString(module, "Lattice", type) < 0) return pass_on_error();
        return 0;
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "spinlattice",
    "",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace spinlattice::binding

PyMODINIT_FUNC PyInit_spinlattice() { return PyModuleDef_Init(&spinlattice::binding::module_def); }
