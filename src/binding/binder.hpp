#pragma once
// Binds call arguments to the parameters of a callable. Every parameter is
// positional-or-keyword and required; there are no defaults and no extras.

#include <Python.h>

#include <cstddef>
#include <string_view>

namespace spinlattice::binding {

inline constexpr std::size_t kMaxParameters = 4;

struct FunctionDescription {
    const char* full_name;  // "Lattice.<name>()", the prefix of every binder message
    std::string_view parameters[kMaxParameters];
    std::size_t parameter_count;
};

// Fill out[0..parameter_count) with borrowed references, or return false with TypeError set.
bool extract_arguments_fastcall(const FunctionDescription& desc, PyObject* const* args,
                                Py_ssize_t nargs, PyObject* kwnames, PyObject** out) noexcept;
// The common case inline: exactly the parameters, all positional.
inline bool bind_fastcall(const FunctionDescription& desc, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames, PyObject** out) noexcept {
    if (kwnames == nullptr && std::size_t(nargs) == desc.parameter_count) [[likely]] {
        for (std::size_t i = 0; i < desc.parameter_count; ++i) out[i] = args[i];
        return true;
    }
    return extract_arguments_fastcall(desc, args, nargs, kwnames, out);
}

bool extract_arguments_tuple_dict(const FunctionDescription& desc, PyObject* args, PyObject* kwargs,
                                  PyObject** out) noexcept;

}  // namespace spinlattice::binding
