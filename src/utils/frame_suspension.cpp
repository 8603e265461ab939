#include "utils/frame_suspension.hpp"

#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030E0000
// From 3.11 the frame's position and its generator's state live in the
// interpreter's frame, whose layout only the internal headers give.
#define Py_BUILD_CORE
#include <internal/pycore_frame.h>
#undef Py_BUILD_CORE
#endif

#include "utils/frame_access.hpp"

namespace sarn {

#if PY_VERSION_HEX < 0x030A0000

// A yield keeps the value stack for the resumption; a return empties it.
bool frame_is_suspending(PyFrameObject* frame) noexcept { return frame->f_stacktop != nullptr; }

bool frame_has_started(PyFrameObject* frame) noexcept { return frame->f_lasti != -1; }

#elif PY_VERSION_HEX < 0x030B0000

bool frame_is_suspending(PyFrameObject* frame) noexcept { return frame->f_state == FRAME_SUSPENDED; }

bool frame_has_started(PyFrameObject* frame) noexcept { return frame->f_lasti != -1; }

#elif PY_VERSION_HEX < 0x030E0000

// The generator is marked suspended before the interpreter reports the yield.
bool frame_is_suspending(PyFrameObject* frame_object) noexcept {
    _PyInterpreterFrame* frame = frame_object->f_frame;
    if (frame->owner != FRAME_OWNED_BY_GENERATOR) return false;
    const int state = _PyFrame_GetGenerator(frame)->gi_frame_state;
#if PY_VERSION_HEX >= 0x030D0000
    return FRAME_STATE_SUSPENDED(state);
#else
    return state == FRAME_SUSPENDED;
#endif
}

// A frame is at its first RESUME when it starts, and before it (at the
// generator's prologue) when it is thrown into before it ever ran; past it
// once it ran.
bool frame_has_started(PyFrameObject* frame_object) noexcept {
    return _PyInterpreterFrame_LASTI(frame_object->f_frame) > frame_code(frame_object)->_co_firsttraceable;
}

#else

bool frame_is_suspending(PyFrameObject*) noexcept { return false; }
bool frame_has_started(PyFrameObject*) noexcept { return false; }

#endif

}  // namespace sarn
