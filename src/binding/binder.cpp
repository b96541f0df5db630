#include "binding/binder.hpp"

#include <string>

#include "binding/py_ref.hpp"

namespace spinlattice::binding {
namespace {

// The messages are fixed texts (fixed_texts.hpp): those CPython gives for its own functions.
[[gnu::cold]] void too_many_positional(const FunctionDescription& desc, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given", desc.full_name,
                 desc.parameter_count, given, given == 1 ? "was" : "were");
}

constexpr const char* kUnexpectedKeyword = "%s got an unexpected keyword argument '%U'";
constexpr const char* kMultipleValues = "%s got multiple values for argument '%U'";

// The name is shown as str() gives it; an exception raised by its __str__ is kept instead.
[[gnu::cold]] void keyword_error(const char* format, const FunctionDescription& desc, PyObject* name) {
    PyRef text(PyObject_Str(name));
    if (text) PyErr_Format(PyExc_TypeError, format, desc.full_name, text.get());
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
[[gnu::cold]] void missing_arguments(const FunctionDescription& desc, PyObject* const* out) {
    std::string_view missing[kMaxParameters];
    std::size_t count = 0;
    for (std::size_t i = 0; i < desc.parameter_count; ++i)
        if (!out[i]) missing[count++] = desc.parameters[i];
    try {
        std::string list;
        for (std::size_t i = 0; i < count; ++i) {
            if (i > 0) {
                if (count > 2) list += ',';
                list += i + 1 == count ? " and " : " ";
            }
            list += '\'';
            list += missing[i];
            list += '\'';
        }
        PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", desc.full_name, count,
                     count == 1 ? "argument" : "arguments", list.c_str());
    } catch (...) {
        PyErr_NoMemory();
    }
}

// The parameter slot named by keyword `name`, or -1. A name that can't be read as text matches nothing.
Py_ssize_t find_parameter(const FunctionDescription& desc, PyObject* name) {
    Py_ssize_t size;
    const char* text = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
    if (!text) {
        PyErr_Clear();
        return -1;
    }
    const std::string_view key(text, std::size_t(size));
    for (std::size_t i = 0; i < desc.parameter_count; ++i)
        if (desc.parameters[i] == key) return Py_ssize_t(i);
    return -1;
}

bool bind_keyword(const FunctionDescription& desc, PyObject* name, PyObject* value, PyObject** out) {
    const Py_ssize_t slot = find_parameter(desc, name);
    if (slot < 0) {
        keyword_error(kUnexpectedKeyword, desc, name);
        return false;
    }
    if (out[slot]) {
        keyword_error(kMultipleValues, desc, name);
        return false;
    }
    out[slot] = value;
    return true;
}

// Steps shared by both forms: positional arguments first.
bool bind_positional(const FunctionDescription& desc, PyObject* const* args, Py_ssize_t nargs,
                     PyObject** out) {
    const auto count = Py_ssize_t(desc.parameter_count);
    for (Py_ssize_t i = 0; i < count; ++i) out[i] = i < nargs ? args[i] : nullptr;
    if (nargs <= count) [[likely]] return true;
    too_many_positional(desc, nargs);
    return false;
}

bool check_complete(const FunctionDescription& desc, PyObject* const* out) {
    for (std::size_t i = 0; i < desc.parameter_count; ++i) {
        if (!out[i]) [[unlikely]] {
            missing_arguments(desc, out);
            return false;
        }
    }
    return true;
}

}  // namespace

bool extract_arguments_fastcall(const FunctionDescription& desc, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames, PyObject** out) noexcept {
    if (!bind_positional(desc, args, nargs, out)) return false;
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k)
            if (!bind_keyword(desc, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) return false;
    }
    return check_complete(desc, out);
}

bool extract_arguments_tuple_dict(const FunctionDescription& desc, PyObject* args, PyObject* kwargs,
                                  PyObject** out) noexcept {
    if (!bind_positional(desc, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), out)) return false;
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *name, *value;
        while (PyDict_Next(kwargs, &pos, &name, &value))
            if (!bind_keyword(desc, name, value, out)) return false;
    }
    return check_complete(desc, out);
}

}  // namespace spinlattice::binding
