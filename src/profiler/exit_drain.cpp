#include "profiler/exit_drain.hpp"

#include <time.h>

#include "utils/host_import.hpp"

namespace sarn::exit_drain {

namespace {

// How long the exit waits at most for threads to finish an event's work (a
// repr that waits for a lock might never finish).
constexpr int wait_steps = 200;
constexpr long step_nanoseconds = 5'000'000;

// Stops the recorder's work and waits, without the interpreter lock, until
// no thread is in the middle of some.
PyObject* drain(PyObject*, PyObject*) {
    exiting.store(true, std::memory_order_seq_cst);
    for (int step = 0; step < wait_steps && busy.load(std::memory_order_seq_cst) > 0; ++step) {
        Py_BEGIN_ALLOW_THREADS
        const timespec pause{0, step_nanoseconds};
        nanosleep(&pause, nullptr);
        Py_END_ALLOW_THREADS
    }
    Py_RETURN_NONE;
}

PyMethodDef drain_def = {"_drain_at_exit", drain, METH_NOARGS, "_drain_at_exit()\n--\n\n"};

}  // namespace

Status register_at_exit(PyObject* module) {
    auto function = checked(PyCFunction_NewEx(&drain_def, module, nullptr));
    if (!function) return fail(std::move(function.error()));
    auto registrar = import_attribute("atexit", "register");
    if (!registrar) return fail(std::move(registrar.error()));
    auto registered = checked(PyObject_CallFunctionObjArgs(registrar->get(), function->get(), nullptr));
    if (!registered) return fail(std::move(registered.error()));
    return {};
}

}  // namespace sarn::exit_drain
