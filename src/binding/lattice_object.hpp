#pragma once
// The Python object: the header, the lattice record by value, the borrow flag.

#include <Python.h>

#include "binding/borrow.hpp"
#include "model/lattice.hpp"

namespace spinlattice::binding {

struct LatticeObject {
    PyObject_HEAD
    model::Lattice lattice;
    BorrowFlag borrow;
};

inline LatticeObject& as_lattice_object(PyObject* self) noexcept {
    return *reinterpret_cast<LatticeObject*>(self);
}

}  // namespace spinlattice::binding
