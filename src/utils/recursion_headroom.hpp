// How far the calling thread is from the interpreter's recursion limit.
//
// Code that recurses to the limit and catches the RecursionError is common.
// Near the limit the interpreter allows only a few more calls while it
// handles the error, and aborts the process past them: the recorder must
// then run no Python code and no checked C API call of its own.
#pragma once

#include <Python.h>

namespace sarn {

// Calls left before the limit (negative past it). From 3.12 on, Python and
// C calls have separate budgets; the smaller one counts.
inline int recursion_headroom() noexcept {
    PyThreadState* thread = PyThreadState_Get();
#if PY_VERSION_HEX >= 0x030C0000
    return thread->py_recursion_remaining < thread->c_recursion_remaining ? thread->py_recursion_remaining
                                                                           : thread->c_recursion_remaining;
#elif PY_VERSION_HEX >= 0x030B0000
    return thread->recursion_remaining;
#else
    return Py_GetRecursionLimit() - thread->recursion_depth;
#endif
}

// Below this headroom a kept frame is recorded with what needs no Python
// call (no values, no qualified name), and no plugin or report runs. It is
// more than the deepest Python work of the recorder (a failure report
// through logging, a value's repr) needs.
constexpr int recursion_margin = 100;

inline bool near_recursion_limit() noexcept { return recursion_headroom() < recursion_margin; }

}  // namespace sarn
