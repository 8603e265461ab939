// What happens each time a recorded thread enters or leaves a Python function.
#pragma once

#include <Python.h>
#include <frameobject.h>

#include "profiler/batch.hpp"
#include "profiler/suspension.hpp"

namespace sarn {

// 0 for every event, failed ones included (they are reported on the "sarn"
// logger); -1 with an exception set only when the inputs are unusable.
// `told` says whether the event suspends or resumes a generator's frame, as
// far as the engine knows.
int process_event(PyObject* registered, PyFrameObject* frame, FrameEvent event, PyObject* arg,
                  Switch told) noexcept;

// The same for a caller that has not found the code skipped outright in the
// memo (or not looked): `skipped` is set when the memo says so now.
int process_unskipped(PyObject* profiler, PyFrameObject* frame, FrameEvent event, PyObject* arg, Switch told,
                      bool& skipped) noexcept;

}  // namespace sarn
