// One wrapper per convention, instantiated for each row of the surface table:
// bind the arguments, convert them in order and take the row's borrow (a
// reading call borrows before converting, a changing one after), run the
// row's operation (a batch in slices, run_in_slices.hpp), convert the result;
// the borrow is released on every way out and nothing is thrown past a
// wrapper. The method and property tables and the type's slots are built here.

#include "binding/lattice_methods.hpp"

#include <array>
#include <cstdint>
#include <new>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "binding/binder.hpp"
#include "binding/bulk_spins.hpp"
#include "binding/convert.hpp"
#include "binding/errors.hpp"
#include "binding/lattice_object.hpp"
#include "binding/lattice_surface.hpp"
#include "binding/py_ref.hpp"
#include "binding/run_in_slices.hpp"
#include "fixed_texts.hpp"

namespace spinlattice::binding {
namespace {

BorrowFlag& flag_of(PyObject* self) noexcept { return as_lattice_object(self).borrow; }

// The borrow a wrapper holds; under a shared one the operation sees a const lattice.
template <Borrow B>
struct Held;
template <>
struct Held<Borrow::shared> {
    using Guard = SharedBorrow;
    static const model::Lattice& lattice(PyObject* self) noexcept { return as_lattice_object(self).lattice; }
};
template <>
struct Held<Borrow::exclusive> {
    using Guard = ExclusiveBorrow;
    static model::Lattice& lattice(PyObject* self) noexcept { return as_lattice_object(self).lattice; }
};

// What a conversion may need besides the object: the lattice the call is on
// (none for the constructor) and the call's full name for messages.
struct CallContext {
    PyObject* self;
    const char* full_name;
};

// The argument conversion a parameter's annotation names.
template <Annotation A>
struct Argument;
template <>
struct Argument<Annotation::Int> {
    using type = std::uint64_t;
    static bool convert(PyObject* obj, type& out, const CallContext&) noexcept { return to_u64(obj, out); }
};
template <>
struct Argument<Annotation::Float> {
    using type = double;
    static bool convert(PyObject* obj, type& out, const CallContext&) noexcept { return to_double(obj, out); }
};
// One spin per site. The sizes never change after construction, so they are
// read without a borrow (the spin storage itself may be replaced meanwhile).
template <>
struct Argument<Annotation::Spins> {
    using type = model::SpinField;
    static bool convert(PyObject* obj, type& out, const CallContext& call) {
        const model::Lattice& lattice = as_lattice_object(call.self).lattice;
        return to_spin_field(obj, lattice.width * lattice.height, call.full_name, out);
    }
};

template <std::size_t I, class Indices = std::make_index_sequence<row_at<I>.parameters.size()>>
struct ArgumentsOf;
template <std::size_t I, std::size_t... K>
struct ArgumentsOf<I, std::index_sequence<K...>> {
    using type = std::tuple<typename Argument<row_at<I>.parameters[K].annotation>::type...>;
};
template <std::size_t I>
using Arguments = typename ArgumentsOf<I>::type;

// The steps of a call are inlined into its wrapper whatever the optimiser estimates: calls cost per call.
#define SPINLATTICE_INLINE [[gnu::always_inline]] inline

// Converts one argument; a failure gets the note naming `note_name` and ends the conversions.
template <Annotation A>
SPINLATTICE_INLINE bool convert_argument(PyObject* obj, typename Argument<A>::type& out, std::string_view note_name,
                                         const CallContext& call) {
    if (Argument<A>::convert(obj, out, call)) [[likely]] return true;
    note_failed_argument(note_name);
    return false;
}

// Converts bound[0..N) in parameter order, stopping at the first failure.
template <std::size_t I>
SPINLATTICE_INLINE bool convert_arguments(PyObject* const* bound, Arguments<I>& values, PyObject* self) {
    const CallContext call{self, full_name<I>.c_str()};
    return [&]<std::size_t... K>(std::index_sequence<K...>) {
        return (convert_argument<row_at<I>.parameters[K].annotation>(bound[K], std::get<K>(values),
                                                                     row_at<I>.parameters[K].name, call) &&
                ...);
    }(std::make_index_sequence<row_at<I>.parameters.size()>());
}

template <std::size_t N>
SPINLATTICE_INLINE PyObject* int_list(const std::array<std::uint64_t, N>& values) {
    PyRef list(PyList_New(Py_ssize_t(N)));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < N; ++i) {
        PyObject* item = PyLong_FromUnsignedLongLong(values[i]);
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), Py_ssize_t(i), item);
    }
    return list.release();
}

// Every spin is +1 or -1: the list shares two int objects.
PyObject* int_list(const model::SpinField& spins) {
    const std::uint64_t n = spins.size();
    PyRef list(PyList_New(Py_ssize_t(n)));
    if (!list) return nullptr;
    PyRef plus(PyLong_FromLong(1)), minus(PyLong_FromLong(-1));
    if (!plus || !minus) return nullptr;
    const model::Spin* s = spins.data();
    for (std::uint64_t i = 0; i < n; ++i) {
        PyObject* item = s[i] < 0 ? minus.get() : plus.get();
        Py_INCREF(item);
        PyList_SET_ITEM(list.get(), Py_ssize_t(i), item);
    }
    return list.release();
}

// Runs the operation and converts its result as the return annotation names.
template <Annotation A, class Run>
SPINLATTICE_INLINE PyObject* run_and_convert(Run&& run) {
    if constexpr (A == Annotation::None) {
        run();
        Py_RETURN_NONE;
    } else {
        decltype(auto) value = run();
        using T = std::remove_cvref_t<decltype(value)>;
        if constexpr (A == Annotation::Int) {
            static_assert(std::is_same_v<T, std::uint64_t>);
            return PyLong_FromUnsignedLongLong(value);
        } else if constexpr (A == Annotation::Float) {
            static_assert(std::is_same_v<T, double>);
            return PyFloat_FromDouble(value);
        } else if constexpr (A == Annotation::Str) {
            static_assert(std::is_same_v<T, std::string>);
            return PyUnicode_FromStringAndSize(value.data(), Py_ssize_t(value.size()));
        } else if constexpr (A == Annotation::Bytes) {
            static_assert(std::is_same_v<T, model::SpinField>);
            return spin_bytes(value);
        } else {
            static_assert(A == Annotation::ListOfInt);
            return int_list(value);
        }
    }
}

template <std::size_t I>
inline constexpr FunctionDescription description = [] {
    static_assert(row_at<I>.parameters.size() <= kMaxParameters);
    FunctionDescription d{full_name<I>.c_str(), {}, row_at<I>.parameters.size()};
    for (std::size_t i = 0; i < d.parameter_count; ++i) d.parameters[i] = row_at<I>.parameters[i].name;
    return d;
}();

// Methods without arguments, __repr__ and getters. The hottest calls come
// here: the borrow is held around the guarded operation rather than inside
// it, so the fast path keeps no unwinding state.
template <std::size_t I>
PyObject* call_without_arguments(PyObject* self) {
    using H = Held<row_at<I>.borrow>;
    typename H::Guard borrow(flag_of(self));
    if (!borrow) [[unlikely]] return nullptr;
    return guarded([&]() -> PyObject* {
        return run_and_convert<row_at<I>.returns>([&]() -> decltype(auto) { return row_at<I>.operation(H::lattice(self)); });
    });
}

template <std::size_t I>
PyObject* no_arguments(PyObject* self, PyObject*) {
    return call_without_arguments<I>(self);
}

template <std::size_t I>
PyObject* get_property(PyObject* self, void*) {
    return call_without_arguments<I>(self);
}

// A reading call takes its borrow after binding and before conversion; a
// changing one converts first, as the setters do.
template <std::size_t I>
PyObject* fast_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    using H = Held<row_at<I>.borrow>;
    constexpr bool convert_first = row_at<I>.borrow == Borrow::exclusive;
    return guarded([&]() -> PyObject* {
        PyObject* bound[row_at<I>.parameters.size()];
        if (!bind_fastcall(description<I>, args, nargs, kwnames, bound)) return nullptr;
        Arguments<I> values;
        if (convert_first && !convert_arguments<I>(bound, values, self)) return nullptr;
        typename H::Guard borrow(flag_of(self));
        if (!borrow) return nullptr;
        if (!convert_first && !convert_arguments<I>(bound, values, self)) return nullptr;
        return run_and_convert<row_at<I>.returns>([&]() -> decltype(auto) {
            return std::apply(
                [&](auto&... v) -> decltype(auto) { return row_at<I>.operation(H::lattice(self), std::move(v)...); },
                values);
        });
    });
}

// A run of updates: the count is converted before the exclusive borrow is
// taken; the run is made in slices (run_in_slices.hpp). When a signal handler
// or an update stops it part way, the lattice is left after its last whole
// update and the exception says how far the run came.
template <std::size_t I>
PyObject* batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static_assert(row_at<I>.borrow == Borrow::exclusive && row_at<I>.returns == Annotation::Int);
    return guarded([&]() -> PyObject* {
        PyObject* bound[1];
        if (!bind_fastcall(description<I>, args, nargs, kwnames, bound)) return nullptr;
        Arguments<I> values;
        if (!convert_arguments<I>(bound, values, self)) return nullptr;
        ExclusiveBorrow borrow(flag_of(self));
        if (!borrow) return nullptr;
        model::Lattice& lattice = as_lattice_object(self).lattice;
        const std::uint64_t count = std::get<0>(values);
        model::RunTally tally;
        const int finished = guarded([&]() -> int {
            const auto slice = [&lattice](std::uint64_t left, std::uint64_t work, model::RunTally& t) {
                row_at<I>.operation(lattice, left, work, t);
            };
            if (run_in_slices(count, lattice.site_count(), tally, slice)) return 0;
            keep_error_resuming_stop();
            return -1;
        });
        if (finished != 0) {
            note_stopped_run(full_name<I>.c_str(), tally.updates, count, tally.total);
            return nullptr;
        }
        return PyLong_FromUnsignedLongLong(tally.total);
    });
}

// The value is converted before the borrow is taken; its note names the property.
template <std::size_t I>
int set_property(PyObject* self, PyObject* value, void*) {
    static_assert(row_at<I>.parameters.size() == 1);
    using H = Held<row_at<I>.borrow>;
    return guarded([&]() -> int {
        if (!value) {
            PyErr_SetString(PyExc_AttributeError, fixed::kNoDeleter);
            return -1;
        }
        typename Argument<row_at<I>.parameters[0].annotation>::type converted;
        if (!convert_argument<row_at<I>.parameters[0].annotation>(value, converted, row_at<I>.name,
                                                                   CallContext{self, full_name<I>.c_str()}))
            return -1;
        typename H::Guard borrow(flag_of(self));
        if (!borrow) return -1;
        row_at<I>.operation(H::lattice(self), converted);
        return 0;
    });
}

template <std::size_t I>
PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* bound[row_at<I>.parameters.size()];
        if (!extract_arguments_tuple_dict(description<I>, args, kwargs, bound)) return nullptr;
        Arguments<I> values;
        if (!convert_arguments<I>(bound, values, nullptr)) return nullptr;
        model::Lattice record = std::apply(row_at<I>.operation, values);
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

template <std::size_t I>
PyMethodDef method_entry() {
    constexpr const auto& r = row_at<I>;
    if constexpr (r.convention == Convention::fast_call) {
        return {r.name.data(), reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fast_call<I>)),
                METH_FASTCALL | METH_KEYWORDS, docstring<I>.c_str()};
    } else if constexpr (r.convention == Convention::batch) {
        return {r.name.data(), reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(batch<I>)),
                METH_FASTCALL | METH_KEYWORDS, docstring<I>.c_str()};
    } else {
        static_assert(r.convention == Convention::no_arguments);
        return {r.name.data(), no_arguments<I>, METH_NOARGS, docstring<I>.c_str()};
    }
}

template <std::size_t I>
PyGetSetDef property_entry() {
    constexpr std::size_t setter = setter_of(row_at<I>.name);
    if constexpr (setter < kCallableCount) return {row_at<I>.name.data(), get_property<I>, set_property<setter>, nullptr, nullptr};
    else return {row_at<I>.name.data(), get_property<I>, nullptr, nullptr, nullptr};
}

constexpr auto kMethodRows = rows_where([](Convention c) {
    return c == Convention::fast_call || c == Convention::no_arguments || c == Convention::batch;
});
constexpr auto kPropertyRows = rows_where([](Convention c) { return c == Convention::getter; });

auto method_table = []<std::size_t... J>(std::index_sequence<J...>) {
    return std::array{method_entry<kMethodRows[J]>()..., PyMethodDef{nullptr, nullptr, 0, nullptr}};
}(std::make_index_sequence<kMethodRows.size()>());

auto property_table = []<std::size_t... J>(std::index_sequence<J...>) {
    return std::array{property_entry<kPropertyRows[J]>()..., PyGetSetDef{nullptr, nullptr, nullptr, nullptr, nullptr}};
}(std::make_index_sequence<kPropertyRows.size()>());

constexpr std::size_t kNewRow = only_row<Convention::constructor>();
constexpr std::size_t kReprRow = only_row<Convention::representation>();

}  // namespace

PyType_Slot lattice_slots[] = {
    {Py_tp_doc, const_cast<char*>(docstring<kNewRow>.c_str())},
    {Py_tp_new, reinterpret_cast<void*>(construct<kNewRow>)},
    {Py_tp_repr, reinterpret_cast<void*>(call_without_arguments<kReprRow>)},
    {Py_tp_methods, method_table.data()},
    {Py_tp_getset, property_table.data()},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(lattice_dealloc)},
    {0, nullptr},
};

}  // namespace spinlattice::binding
