// The interpreter's profile function and its installation on a thread.
#pragma once

#include <Python.h>
#include <frameobject.h>

namespace sarn {

// Passes Python calls and returns to the event pipeline; every other event
// returns at once.
int profile_callback(PyObject* registered, PyFrameObject* frame, int what, PyObject* arg) noexcept;

// Ignores everything.
int noop_profile_hook(PyObject*, PyFrameObject*, int, PyObject*) noexcept;

// Makes `profiler` the calling thread's profile function argument.
void install_profile_hook(PyObject* profiler) noexcept;

// Removes the calling thread's profile function if it is `profile_callback`.
void remove_profile_hook() noexcept;

}  // namespace sarn
