// The record that says a kept frame ended by an exception.
//
// A frame event record has a fixed set of entries, and the return record of a
// frame that ended by an exception stays exactly as a return of None would
// be. The exception travels in a record of its own, filed right after that
// return record: {"type": "exception", "frame_id", "thread",
// "thread_native_id", "exception"}, where "exception" is the exception as the
// host serialiser writes it, or nil when the interpreter does not say which
// exception it was (the profile function is told only that the frame is
// unwinding).
#pragma once

#include <Python.h>

#include "profiler/frame_record.hpp"
#include "utils/error.hpp"

namespace sarn {

// The exception of the frame that is unwinding on this thread, while an
// engine that knows it (sys.monitoring's PY_UNWIND) hands the event on.
class UnwindingException {
public:
    explicit UnwindingException(PyObject* exception) noexcept : previous_(current_) { current_ = exception; }
    ~UnwindingException() { current_ = previous_; }
    UnwindingException(const UnwindingException&) = delete;
    UnwindingException& operator=(const UnwindingException&) = delete;

    // Borrowed; null when not known.
    [[nodiscard]] static PyObject* current() noexcept { return current_; }

private:
    static thread_local PyObject* current_;
    PyObject* previous_;
};

// Writes the exception record of `record`'s frame into `out` (emptied
// first). Near the recursion limit (`with_values` false in the record) the
// exception is written as nil: serialising it could run Python code.
[[nodiscard]] Status write_exit_exception(const FrameRecord& record, Bytes& out);

}  // namespace sarn
