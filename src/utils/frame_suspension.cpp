#include "utils/frame_suspension.hpp"

#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030E0000
// From 3.11 the frame's position and its generator's state live in the
// interpreter's frame, whose layout only the internal headers give.
#define Py_BUILD_CORE
#include <internal/pycore_frame.h>
#undef Py_BUILD_CORE
#endif

#include "utils/frame_access.hpp"

#if PY_VERSION_HEX >= 0x030E0000
#include <opcode.h>

#include "utils/error.hpp"
#include "utils/ref.hpp"
#endif

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

// From 3.14 the frame's position comes from PyFrame_GetLasti, and the code
// object's fields read here (co_code_adaptive, _co_firsttraceable) are laid
// out by the CPython-specific public headers: no internal header is needed.

namespace {

// Bytes per code unit (an opcode and its argument): offsets are in bytes,
// instruction indices in code units.
constexpr int code_unit_bytes = 2;

// The instruction a frame is at, as the compiler wrote it. The live bytecode
// holds the instrumented form of a yield or a return while events are
// reported for it; when a tool also asks for the lines or the instructions
// of the code, the instruction there is replaced by a marker whose original
// only the interpreter's private tables keep. Then the code's bytes are read
// without instrumentation: the interpreter computes them once per code object
// and keeps them, so only the first such read allocates.
int compiled_opcode(PyCodeObject* code, int offset) noexcept {
    const int live = static_cast<unsigned char>(code->co_code_adaptive[offset]);
    if (live != INSTRUMENTED_LINE && live != INSTRUMENTED_INSTRUCTION) return live;
    PendingErrorScope keep_pending;  // a failed read says "not a yield"
    Ref bytes = Ref::steal(PyCode_GetCode(code));
    if (!bytes || !PyBytes_Check(bytes.get()) || offset >= PyBytes_GET_SIZE(bytes.get())) return -1;
    return static_cast<unsigned char>(PyBytes_AS_STRING(bytes.get())[offset]);
}

}  // namespace

// The interpreter reports a yield before it marks the generator suspended,
// so that the generator's state reads "running" at a yield as at a return:
// the instruction the frame is at tells them apart. A frame is suspended only
// by a yield (a `yield from` or an await yields from its loop) and finishes
// only by a return, so no other instruction is met at a return event that
// carries a value.
bool frame_is_suspending(PyFrameObject* frame) noexcept {
    // In bytes; a code unit's first byte is its opcode.
    const int offset = PyFrame_GetLasti(frame);
    if (offset < 0) return false;
    const int opcode = compiled_opcode(frame_code(frame), offset);
    return opcode == YIELD_VALUE || opcode == INSTRUMENTED_YIELD_VALUE;
}

// As for 3.11 to 3.13: at its first RESUME when it starts, before it when
// thrown into before it ever ran, past it once it ran. The index of that
// first RESUME is a field of the code object that no function returns.
bool frame_has_started(PyFrameObject* frame) noexcept {
    const int first_traceable = frame_code(frame)->_co_firsttraceable;
    return PyFrame_GetLasti(frame) > first_traceable * code_unit_bytes;
}

#endif

}  // namespace sarn
