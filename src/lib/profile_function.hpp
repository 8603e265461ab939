// The profiler called as a Python-level profile function.
//
// `sys.getprofile()` on a recorded thread returns the profiler, and tools
// that save the profile function, change it and put it back
// (`old = sys.getprofile(); sys.setprofile(None); ...; sys.setprofile(old)`)
// make the interpreter call it as `old(frame, event, arg)` from then on. The
// first such call puts the native hook back, so recording goes on where it
// left off; a tool's own profile function that passes its events on to the
// profiler gets them recorded.
#pragma once

#include <Python.h>

#include "utils/error.hpp"

namespace sarn {

// Handles an event the interpreter reports to a Python-level profile
// function (`frame`, the event's name, `arg`) as the native hook would have
// handled it, when the interpreter is dispatching one; otherwise does
// nothing. `self` is a SarnProfiler.
[[nodiscard]] Status pass_on_profile_event(PyObject* self, PyObject* frame, PyObject* event, PyObject* arg);

// tp_call of SarnProfiler: `profiler(frame, event, arg)`, returns None.
PyObject* call_as_profile_function(PyObject* self, PyObject* args, PyObject* kwargs) noexcept;

}  // namespace sarn
