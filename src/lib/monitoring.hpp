// Recording through sys.monitoring (CPython 3.12 and later).
//
// sys.monitoring is process-wide: one session holds a tool id and native
// callbacks for the events of Python frames, and each thread records only
// when it is followed (a thread-local mark naming the profiler it records
// into). Events of a code object that the filter skips outright are
// disabled for the tool after their first sighting, so library code costs
// nothing once seen.
#pragma once

#include <Python.h>

#include "utils/error.hpp"

namespace sarn::monitoring {

// Whether this interpreter has sys.monitoring.
inline constexpr bool available = PY_VERSION_HEX >= 0x030C0000;

// Records the calling thread into `profiler` (a SarnProfiler), starting the
// session when none runs. The calling thread becomes the one whose stop ends
// the session.
[[nodiscard]] Status start_on_calling_thread(PyObject* profiler);

// Records the calling thread into `profiler` if a session runs (a new thread
// announcing itself); otherwise does nothing.
[[nodiscard]] Status join_on_calling_thread(PyObject* profiler);

// Stops recording the calling thread; when it is the thread that started the
// session, ends the session: callbacks unregistered, events off, tool id
// freed. False when the calling thread was not followed.
[[nodiscard]] Result<bool> stop_on_calling_thread();

// Stops recording the calling thread's events for a while, leaving the
// session as it is; the token (0: the thread was not recorded) resumes it.
uint64_t pause_calling_thread() noexcept;

// Records the calling thread's events again if the paused session still runs.
void resume_calling_thread(uint64_t token) noexcept;

}  // namespace sarn::monitoring
