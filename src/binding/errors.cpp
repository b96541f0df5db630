#include "binding/errors.hpp"

#include <exception>
#include <new>

#include "binding/compat.hpp"
#include "binding/once.hpp"
#include "binding/py_ref.hpp"
#include "fixed_texts.hpp"
#include "stop.hpp"

namespace spinlattice::binding {
namespace {

OnceObject panic_type;

constexpr const char* kPanicDoc =
    "Raised when native code called from Python stops on an internal failure.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it\n"
    "usually propagates all the way up and ends the interpreter instead of being caught\n"
    "by a handler meant for ordinary errors.";

// "while processing '<name>'", a fixed text (fixed_texts.hpp); nullptr with an error set on failure.
PyObject* argument_note(std::string_view name) {
#if PY_VERSION_HEX >= 0x030E0000
    constexpr std::string_view start = "while processing '";
    PyUnicodeWriter* writer = PyUnicodeWriter_Create(Py_ssize_t(start.size() + name.size() + 1));
    if (!writer) return nullptr;
    if (PyUnicodeWriter_WriteUTF8(writer, start.data(), Py_ssize_t(start.size())) < 0 ||
        PyUnicodeWriter_WriteUTF8(writer, name.data(), Py_ssize_t(name.size())) < 0 ||
        PyUnicodeWriter_WriteUTF8(writer, "'", 1) < 0) {
        PyUnicodeWriter_Discard(writer);
        return nullptr;
    }
    return PyUnicodeWriter_Finish(writer);
#else
    PyRef text(PyUnicode_DecodeUTF8(name.data(), Py_ssize_t(name.size()), "strict"));
    if (!text) return nullptr;
    return PyUnicode_FromFormat("while processing '%U'", text.get());
#endif
}

// Takes the interpreter's current error and returns it (owned, never null). A
// PanicException that came back out of Python code is reported instead and its
// stop resumed (thrown as Stop).
PyObject* fetch_error_resuming_stop() {
    PyObject* exc = fetch_raised_exception();
    if (!exc) {  // a failure reported without an exception: make one rather than crash
        PyErr_SetString(PyExc_SystemError, "error return without exception set");
        exc = fetch_raised_exception();
    }
    PyObject* panic = panic_exception_type();
    if (!panic) {  // can't compare; keep the original error
        PyErr_Clear();
        return exc;
    }
    if (reinterpret_cast<PyObject*>(Py_TYPE(exc)) != panic) return exc;

    std::string message = fixed::kUnwrappedPanic;
    if (PyRef text{PyObject_Str(exc)}) {
        Py_ssize_t size;
        if (const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size)) message.assign(utf8, size);
        else PyErr_Clear();
    } else {
        PyErr_Clear();
    }
    PySys_WriteStderr("spinlattice: a PanicException was raised by Python code called from the module.\n");
    PySys_WriteStderr("Its traceback follows; the call is stopped with the same message.\n");
    restore_raised_exception(exc);
    PyErr_PrintEx(0);
    throw Stop(std::move(message));
}

}  // namespace

PyObject* panic_exception_type() noexcept {
    return panic_type.get([] {
        return PyErr_NewExceptionWithDoc(fixed::kPanicName, kPanicDoc,
                                         PyExc_BaseException, nullptr);
    });
}

void raise_panic(const std::string& message) noexcept {
    PyObject* type = panic_exception_type();
    if (!type) return;  // the creation error is set instead
    PyRef text(PyUnicode_DecodeUTF8(message.data(), Py_ssize_t(message.size()), "replace"));
    if (!text) return;
    PyErr_SetObject(type, text.get());
}

void raise_active_exception() noexcept {
    try {
        throw;
    } catch (const Stop& s) {
        raise_panic(s.message());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_panic(e.what());
    } catch (...) {
        raise_panic("unknown native failure");
    }
}

void keep_error_resuming_stop() { restore_raised_exception(fetch_error_resuming_stop()); }

namespace {
// Adds `note` (owned; nullptr when it could not be built) to exc; a failure to add it is discarded.
void add_note(PyObject* exc, PyRef note) noexcept {
    if (note) {
        PyRef ok(PyObject_CallMethod(exc, "add_note", "O", note.get()));
        if (!ok) PyErr_Clear();
    } else {
        PyErr_Clear();
    }
}
}  // namespace

void note_failed_argument(std::string_view name) {
    PyRef exc(fetch_error_resuming_stop());
    add_note(exc.get(), PyRef(argument_note(name)));
    restore_raised_exception(exc.release());
}

// Fixed text (fixed_texts.hpp).
void note_stopped_run(const char* caller, std::uint64_t made, std::uint64_t count, std::uint64_t total) noexcept {
    PyObject* exc = fetch_raised_exception();
    if (!exc) return;
    add_note(exc, PyRef(PyUnicode_FromFormat("%s was stopped after %llu of %llu updates, for which it would have "
                                             "returned %llu",
                                             caller, static_cast<unsigned long long>(made),
                                             static_cast<unsigned long long>(count),
                                             static_cast<unsigned long long>(total))));
    restore_raised_exception(exc);
}

void raise_already_borrowed() noexcept { PyErr_SetString(PyExc_RuntimeError, fixed::kAlreadyBorrowed); }

void raise_already_mutably_borrowed() noexcept {
    PyErr_SetString(PyExc_RuntimeError, fixed::kAlreadyMutablyBorrowed);
}

}  // namespace spinlattice::binding
