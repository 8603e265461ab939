#include "lib/profile_function.hpp"

#include <frameobject.h>

#include "lib/entry_point.hpp"
#include "lib/hook.hpp"
#include "lib/profiler_type.hpp"
#include "utils/frame_access.hpp"

namespace sarn {

namespace {

// The interpreter's event code for the names it gives Python-level profile
// functions (PyTrace_CALL is 0, and so on); -1 for anything else.
int event_code(PyObject* event) noexcept {
    static constexpr const char* names[] = {"call",        "exception", "line",     "return",
                                            "c_call",      "c_exception", "c_return", "opcode"};
    if (!PyUnicode_Check(event)) return -1;
    for (int code = 0; code < 8; ++code) {
        if (PyUnicode_CompareWithASCIIString(event, names[code]) == 0) return code;
    }
    return -1;
}

Result<Ref> handle_call(PyObject* self, PyObject* frame, PyObject* event, PyObject* arg) {
    if (!is_sarn_profiler(self)) return fail(not_a_sarn_profiler(self));
    // Put back as this thread's profile function: the native hook takes
    // over again from this event on.
    if (PyThreadState_Get()->c_profileobj == self) install_profile_hook(self);
    if (auto passed = pass_on_profile_event(self, frame, event, arg); !passed) return fail(std::move(passed.error()));
    return none();
}

}  // namespace

Status pass_on_profile_event(PyObject* self, PyObject* frame, PyObject* event, PyObject* arg) {
    // Only while the interpreter is dispatching a profile event: it reports
    // no events for the code the pipeline runs then. Called from anywhere
    // else, the pipeline's own Python code would re-enter it.
    const int code = event_code(event);
    if (PyThreadState_Get()->tracing > 0 && code >= 0 && PyFrame_Check(frame)) {
        if (profile_callback(self, as_frame(frame), code, arg) < 0) return fail_fetch();
    }
    return {};
}

PyObject* call_as_profile_function(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    static const char* keywords[] = {"frame", "event", "arg", nullptr};
    PyObject *frame = nullptr, *event = nullptr, *arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:SarnProfiler", const_cast<char**>(keywords), &frame, &event,
                                     &arg)) {
        return nullptr;
    }
    return entry_point([&] { return handle_call(self, frame, event, arg); });
}

}  // namespace sarn
