// How far the calling thread is from the interpreter's recursion limit.
//
// Code that recurses to the limit and catches the RecursionError is common.
// Near the limit the interpreter allows only a few more calls while it
// handles the error, and aborts the process past them: the recorder must
// then run no Python code and no checked C API call of its own.
#pragma once

#include <Python.h>

#include <cstdint>

#if PY_VERSION_HEX >= 0x030E0000
// From 3.14 the interpreter guards the C stack by address; its limits live
// in the thread state's internal part.
#define Py_BUILD_CORE
#include <internal/pycore_tstate.h>
#undef Py_BUILD_CORE
#endif

namespace sarn {

#if PY_VERSION_HEX >= 0x030E0000
// What one call through C takes of the machine stack, generously: the C
// stack's headroom is counted in calls of this size.
inline constexpr long c_stack_bytes_per_call = 2048;

// Calls through C left before the interpreter raises RecursionError for the
// machine stack (negative past that point).
inline long c_stack_headroom(PyThreadState* thread) noexcept {
    const auto* impl = reinterpret_cast<const _PyThreadStateImpl*>(thread);
    if (impl->c_stack_soft_limit == 0) return 1L << 20;  // not measured yet: nothing to guard
    const auto here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    // The stack grows down on every platform this builds for.
    return static_cast<long>(static_cast<intptr_t>(here - impl->c_stack_soft_limit) / c_stack_bytes_per_call);
}
#endif

// Calls left before the limit (negative past it) on `thread`, the calling
// thread's state. From 3.12 on, Python and C calls have separate budgets;
// the smaller one counts.
inline int recursion_headroom(PyThreadState* thread) noexcept {
#if PY_VERSION_HEX >= 0x030E0000
    const long c_calls = c_stack_headroom(thread);
    return c_calls < thread->py_recursion_remaining ? static_cast<int>(c_calls) : thread->py_recursion_remaining;
#elif PY_VERSION_HEX >= 0x030C0000
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

inline bool near_recursion_limit(PyThreadState* thread) noexcept { return recursion_headroom(thread) < recursion_margin; }

}  // namespace sarn
