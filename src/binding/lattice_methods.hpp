#pragma once
// The wrappers behind the Lattice type's slots, methods and properties.

#include <Python.h>

namespace spinlattice::binding {

PyObject* lattice_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);
void lattice_dealloc(PyObject* self);
PyObject* lattice_repr(PyObject* self);

PyObject* flat_to_idx(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* idx_to_flat(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* get_nearest_neighbors(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* get_energy(PyObject* self, PyObject* unused);
PyObject* get_energy_diff_from_flip(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames);
PyObject* simulation_step(PyObject* self, PyObject* unused);
PyObject* wolff_step(PyObject* self, PyObject* unused);
PyObject* get_total_magnetization(PyObject* self, PyObject* unused);
PyObject* average_magnetization(PyObject* self, PyObject* unused);
PyObject* as_array(PyObject* self, PyObject* unused);

PyObject* get_width(PyObject* self, void* closure);
PyObject* get_height(PyObject* self, void* closure);
PyObject* get_temperature(PyObject* self, void* closure);
int set_temperature(PyObject* self, PyObject* value, void* closure);
PyObject* get_h_z(PyObject* self, void* closure);
int set_h_z(PyObject* self, PyObject* value, void* closure);

}  // namespace spinlattice::binding
