#pragma once
// Spins in and out in bulk: the spin field as bytes, and a spin field read
// from any buffer of integers or any sequence of ints.

#include <Python.h>

#include <cstdint>

#include "model/spin_field.hpp"

namespace spinlattice::binding {

// bytes holding one signed byte per spin (0x01, 0xff); nullptr with MemoryError set.
PyObject* spin_bytes(const model::SpinField& spins) noexcept;

// Reads exactly `count` spins from `obj` into a new field: a buffer of
// integers of any width and byte order (copied out in C order before it is
// looked at, so that a writer elsewhere can't change what is checked), or a
// sequence of ints (copied to a tuple first). 1 is +1; -1, or the all-ones
// pattern of an unsigned item, is -1. False with the error set: TypeError for
// a wrong kind of object or item, ValueError for a wrong count or value.
// `caller` ("Lattice.set_spins()") begins the messages.
bool to_spin_field(PyObject* obj, std::uint64_t count, const char* caller, model::SpinField& out);

}  // namespace spinlattice::binding
