#pragma once
// How failures become Python exceptions: stops as PanicException, memory
// exhaustion as MemoryError, conversion errors with a note naming the argument.

#include <Python.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

namespace spinlattice::binding {

// The PanicException class (borrowed), created on first need; nullptr with an error set on failure.
PyObject* panic_exception_type() noexcept;

// Sets PanicException(message) as the current exception.
void raise_panic(const std::string& message) noexcept;

// Inside a catch block: turns the exception in flight into a Python exception.
void raise_active_exception() noexcept;

// Runs body and converts anything it throws; no C++ exception leaves a wrapper.
template <class Body>
inline auto guarded(Body&& body) noexcept -> decltype(body()) {
    try {
        return body();
    } catch (...) {
        raise_active_exception();
        using Result = decltype(body());
        if constexpr (std::is_pointer_v<Result>) return nullptr;
        else return Result(-1);
    }
}

// Helpers below set the Python exception and return nothing; their callers
// return their own failure value (nullptr or -1).

// Leaves the interpreter's current error set. A PanicException that came back
// out of Python code is reported instead and its stop resumed (thrown as Stop).
void keep_error_resuming_stop();

// The current error is the failed conversion of argument `name`: adds the note
// "while processing '<name>'" (or resumes a stop) and leaves it set.
void note_failed_argument(std::string_view name);

// The current error ended a run of updates part way: adds the note "<caller>
// was stopped after <made> of <count> updates, for which it would have
// returned <total>" and leaves it set.
void note_stopped_run(const char* caller, std::uint64_t made, std::uint64_t count, std::uint64_t total) noexcept;

// Borrow refusals: RuntimeError with the fixed messages.
void raise_already_borrowed() noexcept;
void raise_already_mutably_borrowed() noexcept;

}  // namespace spinlattice::binding
