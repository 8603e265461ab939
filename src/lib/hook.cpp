#include "lib/hook.hpp"

#include "profiler/directory_memo.hpp"
#include "profiler/pipeline.hpp"

namespace sarn {

int profile_callback(PyObject* registered, PyFrameObject* frame, int what, PyObject* arg) noexcept {
    // Calls into C functions are most events; their codes all follow
    // PyTrace_RETURN, so one comparison sends them away.
    if (what > PyTrace_RETURN) {
        // Their argument is the C function: a call into os.chdir or
        // os.fchdir (noted at its call and return alike) makes the working
        // directory be read again.
        directory_changes::note_c_function(arg);
        return 0;
    }
    // Only the frame says whether a call resumes it or a return suspends it.
    if (what == PyTrace_CALL) return process_event(registered, frame, FrameEvent::call, arg, Switch::ask_frame);
    if (what == PyTrace_RETURN) return process_event(registered, frame, FrameEvent::ret, arg, Switch::ask_frame);
    return 0;
}

int noop_profile_hook(PyObject*, PyFrameObject*, int, PyObject*) noexcept { return 0; }

void install_profile_hook(PyObject* profiler) noexcept { PyEval_SetProfile(profile_callback, profiler); }

void remove_profile_hook() noexcept {
    if (PyThreadState_Get()->c_profilefunc == profile_callback) PyEval_SetProfile(nullptr, nullptr);
}

}  // namespace sarn
