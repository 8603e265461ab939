// Errors as values.
//
// An `Error` is either a Python exception taken out of the interpreter's error
// state, or an internal failure: a broken invariant with a fixed text, plus the
// description of the exception that caused it, if any. `Result<T>` carries a
// value or an `Error`; nothing in the core throws across the interpreter.
#pragma once

#include <Python.h>

#include <expected>
#include <string>
#include <variant>

#include "utils/ref.hpp"

namespace sarn {

class Error {
public:
    // Takes the interpreter's pending exception (a SystemError if none is set).
    [[nodiscard]] static Error fetch();
    // A broken invariant with a fixed text.
    [[nodiscard]] static Error internal(std::string text);
    // A broken invariant caused by the pending exception, which is consumed:
    // the text becomes "<text>: <description of the exception>".
    [[nodiscard]] static Error internal_from_pending(std::string text);
    // Raises `type(message)` in the interpreter and fetches it back.
    [[nodiscard]] static Error raise(PyObject* type, const std::string& message);

    [[nodiscard]] bool is_internal() const { return std::holds_alternative<std::string>(state_); }
    // The failure text of an internal failure, or the exception's description.
    [[nodiscard]] std::string description() const;
    // The exception instance with its traceback attached; internal failures
    // become an instance of the internal-failure class.
    [[nodiscard]] Ref exception() const;
    // True for an exception that the user's program must see even when it
    // arose in the recorder's own work: one that is not an Exception
    // (KeyboardInterrupt from a signal handler, SystemExit, GeneratorExit,
    // an asynchronous exception of such a class), other than the core's
    // internal failure.
    [[nodiscard]] bool reaches_program() const;
    // Whether the error is an exception of exactly this class.
    [[nodiscard]] bool is_exactly(PyObject* type) const;

    // Makes this error the interpreter's current exception, as an entry point
    // called by the host does: internal failures are also written to stderr.
    void raise_in_host() &&;

private:
    struct Exception {
        Ref type, value, traceback;
    };
    explicit Error(Exception exc) : state_(std::move(exc)) {}
    explicit Error(std::string text) : state_(std::move(text)) {}

    std::variant<Exception, std::string> state_;
};

template <class T>
using Result = std::expected<T, Error>;
using Status = Result<void>;

inline std::unexpected<Error> fail(Error error) { return std::unexpected<Error>(std::move(error)); }
inline std::unexpected<Error> fail_fetch() { return fail(Error::fetch()); }
inline std::unexpected<Error> fail_internal(std::string text) { return fail(Error::internal(std::move(text))); }

// The class of internal failures: derived directly from BaseException so that
// `except Exception` in host code does not swallow it. Created on first use.
PyObject* internal_failure_class();

// Wraps a new reference: a null result becomes the pending exception.
inline Result<Ref> checked(PyObject* obj) {
    if (obj == nullptr) return fail_fetch();
    return Ref::steal(obj);
}

// The calling thread's state, or null when it has none.
inline PyThreadState* current_thread_state() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked();
#else
    return _PyThreadState_UncheckedGet();
#endif
}

// Whether `thread` (the calling thread's state, or null) has an exception
// set: what PyErr_Occurred tells, without finding the thread's state again,
// which is a call into the interpreter's thread-local storage.
inline bool error_pending(PyThreadState* thread) noexcept {
    if (thread == nullptr) return false;
#if PY_VERSION_HEX >= 0x030C0000
    return thread->current_exception != nullptr;
#else
    return thread->curexc_type != nullptr;
#endif
}

// Saves the interpreter's pending exception for the lifetime of the scope and
// puts it back at the end, so that work done in between (for example inside
// the profile hook around a generator's throw) leaves the error state as found.
class PendingErrorScope {
public:
    PendingErrorScope() noexcept : PendingErrorScope(current_thread_state()) {}
    // For a caller that has the calling thread's state at hand.
    explicit PendingErrorScope(PyThreadState* thread) noexcept : thread_(thread) {
        if (error_pending(thread_)) PyErr_Fetch(&type_, &value_, &traceback_);
    }
    ~PendingErrorScope() {
        // Anything left behind by the work in this scope is not the user's.
        // (Most scopes find nothing pending and leave nothing: two reads.)
        if (error_pending(thread_)) PyErr_Clear();
        if (type_ != nullptr) PyErr_Restore(type_, value_, traceback_);
    }
    PendingErrorScope(const PendingErrorScope&) = delete;
    PendingErrorScope& operator=(const PendingErrorScope&) = delete;

private:
    PyThreadState* thread_;
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
};

}  // namespace sarn
