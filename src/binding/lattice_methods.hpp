#pragma once
// The Lattice type's classic slots: docstring, creation, repr, method and
// property tables, base and deallocation, all built from the surface table.

#include <Python.h>

namespace spinlattice::binding {

extern PyType_Slot lattice_slots[];

}  // namespace spinlattice::binding
