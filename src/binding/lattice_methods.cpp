// Each wrapper: bind, borrow, convert, run the model operation, convert the
// result; the borrow is released on every way out and nothing is thrown past
// the wrapper.

#include "binding/lattice_methods.hpp"

#include <new>
#include <utility>

#include "binding/binder.hpp"
#include "binding/convert.hpp"
#include "binding/errors.hpp"
#include "binding/lattice_object.hpp"
#include "binding/py_ref.hpp"
#include "binding/repr.hpp"
#include "model/metropolis.hpp"
#include "model/observables.hpp"
#include "model/wolff.hpp"

namespace spinlattice::binding {
namespace {

constexpr FunctionDescription kNew{"Lattice.__new__()", {"width", "height", "temperature", "h_z"}, 4};
constexpr FunctionDescription kFlatToIdx{"Lattice.flat_to_idx()", {"flat_idx"}, 1};
constexpr FunctionDescription kIdxToFlat{"Lattice.idx_to_flat()", {"row", "col"}, 2};
constexpr FunctionDescription kNeighbours{"Lattice.get_nearest_neighbors()", {"flat_idx"}, 1};
constexpr FunctionDescription kFlipDiff{"Lattice.get_energy_diff_from_flip()", {"flat_idx"}, 1};

model::Lattice& lattice_of(PyObject* self) noexcept { return as_lattice_object(self).lattice; }
BorrowFlag& flag_of(PyObject* self) noexcept { return as_lattice_object(self).borrow; }

template <std::size_t N>
PyObject* index_list(const std::array<std::uint64_t, N>& values) {
    PyRef list(PyList_New(Py_ssize_t(N)));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < N; ++i) {
        PyObject* item = PyLong_FromUnsignedLongLong(values[i]);
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), Py_ssize_t(i), item);
    }
    return list.release();
}

// A shared-borrow method of one index argument `flat_idx`.
template <class Operation>
PyObject* with_flat_idx(const FunctionDescription& desc, PyObject* self, PyObject* const* args,
                        Py_ssize_t nargs, PyObject* kwnames, Operation&& operation) {
    return guarded([&]() -> PyObject* {
        PyObject* bound[1];
        if (!bind_fastcall(desc, args, nargs, kwnames, bound)) return nullptr;
        SharedBorrow borrow(flag_of(self));
        if (!borrow) return nullptr;
        std::uint64_t flat_idx;
        if (!to_u64(bound[0], flat_idx)) return argument_error("flat_idx");
        return operation(lattice_of(self), flat_idx);
    });
}

// A shared-borrow reader without arguments.
template <class Operation>
PyObject* read(PyObject* self, Operation&& operation) {
    return guarded([&]() -> PyObject* {
        SharedBorrow borrow(flag_of(self));
        if (!borrow) return nullptr;
        return operation(std::as_const(lattice_of(self)));
    });
}

// An exclusive-borrow update without arguments.
template <class Operation>
PyObject* update(PyObject* self, Operation&& operation) {
    return guarded([&]() -> PyObject* {
        ExclusiveBorrow borrow(flag_of(self));
        if (!borrow) return nullptr;
        operation(lattice_of(self));
        Py_RETURN_NONE;
    });
}

// Setter of a double field: convert, then take the exclusive borrow.
int set_double(PyObject* self, PyObject* value, const char* name, double model::Lattice::*field) {
    return guarded([&]() -> int {
        if (!value) {
            PyErr_SetString(PyExc_AttributeError, "property has no deleter");
            return -1;
        }
        double converted;
        if (!to_double(value, converted)) return argument_error(name), -1;
        ExclusiveBorrow borrow(flag_of(self));
        if (!borrow) return -1;
        lattice_of(self).*field = converted;
        return 0;
    });
}

}  // namespace

PyObject* lattice_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* bound[4];
        if (!extract_arguments_tuple_dict(kNew, args, kwargs, bound)) return nullptr;
        std::uint64_t width, height;
        double temperature, h_z;
        if (!to_u64(bound[0], width)) return argument_error("width");
        if (!to_u64(bound[1], height)) return argument_error("height");
        if (!to_double(bound[2], temperature)) return argument_error("temperature");
        if (!to_double(bound[3], h_z)) return argument_error("h_z");

        model::Lattice record = model::Lattice::create(width, height, temperature, h_z);
        PyRef empty(PyTuple_New(0));
        if (!empty) return nullptr;
        PyObject* self = PyBaseObject_Type.tp_new(type, empty.get(), nullptr);
        if (!self) return nullptr;  // the record and its spins are dropped here
        LatticeObject& object = as_lattice_object(self);
        new (&object.lattice) model::Lattice(std::move(record));
        new (&object.borrow) BorrowFlag(0);
        return self;
    });
}

void lattice_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    LatticeObject& object = as_lattice_object(self);
    object.lattice.~Lattice();
    object.borrow.~BorrowFlag();
    type->tp_free(self);
    Py_DECREF(type);  // instances of a heap type hold a reference to it
}

PyObject* lattice_repr(PyObject* self) {
    return read(self, [](const model::Lattice& lattice) -> PyObject* {
        const std::string text = lattice_text(lattice);
        return PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size()));
    });
}

PyObject* flat_to_idx(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return with_flat_idx(kFlatToIdx, self, args, nargs, kwnames,
                         [](const model::Lattice& lattice, std::uint64_t k) {
                             return index_list(lattice.flat_to_idx(k));
                         });
}

PyObject* idx_to_flat(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* bound[2];
        if (!bind_fastcall(kIdxToFlat, args, nargs, kwnames, bound)) return nullptr;
        SharedBorrow borrow(flag_of(self));
        if (!borrow) return nullptr;
        std::uint64_t row, col;
        if (!to_u64(bound[0], row)) return argument_error("row");
        if (!to_u64(bound[1], col)) return argument_error("col");
        return PyLong_FromUnsignedLongLong(lattice_of(self).idx_to_flat(row, col));
    });
}

PyObject* get_nearest_neighbors(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return with_flat_idx(kNeighbours, self, args, nargs, kwnames,
                         [](const model::Lattice& lattice, std::uint64_t k) {
                             return index_list(lattice.neighbour_list(k));
                         });
}

PyObject* get_energy_diff_from_flip(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    return with_flat_idx(kFlipDiff, self, args, nargs, kwnames,
                         [](const model::Lattice& lattice, std::uint64_t k) {
                             return PyFloat_FromDouble(model::flip_energy_difference(lattice, k));
                         });
}

PyObject* get_energy(PyObject* self, PyObject*) {
    return read(self, [](const model::Lattice& l) { return PyFloat_FromDouble(model::energy(l)); });
}

PyObject* get_total_magnetization(PyObject* self, PyObject*) {
    return read(self, [](const model::Lattice& l) { return PyFloat_FromDouble(model::total_magnetization(l)); });
}

PyObject* average_magnetization(PyObject* self, PyObject*) {
    return read(self, [](const model::Lattice& l) { return PyFloat_FromDouble(model::average_magnetization(l)); });
}

PyObject* as_array(PyObject* self, PyObject*) {
    return read(self, [](const model::Lattice& lattice) -> PyObject* {
        const std::uint64_t n = lattice.site_count();
        PyRef list(PyList_New(Py_ssize_t(n)));
        if (!list) return nullptr;
        PyRef plus(PyLong_FromLong(1)), minus(PyLong_FromLong(-1));
        if (!plus || !minus) return nullptr;
        const model::Spin* s = lattice.sites.data();
        for (std::uint64_t i = 0; i < n; ++i) {
            PyObject* item = s[i] < 0 ? minus.get() : plus.get();
            Py_INCREF(item);
            PyList_SET_ITEM(list.get(), Py_ssize_t(i), item);
        }
        return list.release();
    });
}

PyObject* simulation_step(PyObject* self, PyObject*) {
    return update(self, [](model::Lattice& l) { model::simulation_step(l); });
}

PyObject* wolff_step(PyObject* self, PyObject*) {
    return update(self, [](model::Lattice& l) { model::wolff_step(l); });
}

PyObject* get_width(PyObject* self, void*) {
    return read(self, [](const model::Lattice& l) { return PyLong_FromUnsignedLongLong(l.width); });
}

PyObject* get_height(PyObject* self, void*) {
    return read(self, [](const model::Lattice& l) { return PyLong_FromUnsignedLongLong(l.height); });
}

PyObject* get_temperature(PyObject* self, void*) {
    return read(self, [](const model::Lattice& l) { return PyFloat_FromDouble(l.temperature); });
}

PyObject* get_h_z(PyObject* self, void*) {
    return read(self, [](const model::Lattice& l) { return PyFloat_FromDouble(l.h_z); });
}

int set_temperature(PyObject* self, PyObject* value, void*) {
    return set_double(self, value, "temperature", &model::Lattice::temperature);
}

int set_h_z(PyObject* self, PyObject* value, void*) {
    return set_double(self, value, "h_z", &model::Lattice::h_z);
}

}  // namespace spinlattice::binding
