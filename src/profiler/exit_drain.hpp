#pragma once

#include <Python.h>

#include <atomic>

#include "utils/error.hpp"

namespace sarn::exit_drain {

// Until Python 3.14, a thread that wants the interpreter lock once the
// interpreter has begun to finalise (a daemon thread still running) is ended
// where it waits, by unwinding its stack: inside the recorder's own frames
// that ends the process ("terminate called"), and the recorder's clean-ups
// would run without the lock. So at exit, before finalising, the recorder
// stops doing work and lets the threads that are in the middle of some
// leave it.

// Set at exit: from then on no thread starts the recorder's work.
inline std::atomic<bool> exiting{false};
// Threads in the middle of the recorder's work for an event.
inline std::atomic<int> busy{0};

// Marks the calling thread as doing the recorder's work while it lives.
// A thread counts itself first and reads `exiting` after (`started`), while
// the drain sets `exiting` first and reads the count after, all sequentially
// consistent: one of the two sees the other, so no thread starts work that
// the drain misses. Where threads run in parallel (a free-threaded
// interpreter) plain loads and stores could each see the old value. The
// release at the end pairs with the drain's load: what the thread did is
// done before the exit goes on to tear the recorder down.
class BusyScope {
public:
    BusyScope() noexcept { busy.fetch_add(1, std::memory_order_seq_cst); }
    ~BusyScope() { busy.fetch_sub(1, std::memory_order_release); }
    // Whether the work may go on: false once the exit has begun.
    [[nodiscard]] bool started() const noexcept { return !exiting.load(std::memory_order_seq_cst); }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;
};

// Registers the drain to run at exit (atexit: before finalisation begins).
[[nodiscard]] Status register_at_exit(PyObject* module);

}  // namespace sarn::exit_drain
