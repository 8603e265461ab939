// Direct access to frame and code fields across interpreter versions.
//
// These return exactly what the attributes `f_code`, `f_back`, `f_lineno`,
// `co_filename` and `co_name` return, without an attribute lookup.
#pragma once

#include <Python.h>
#include <frameobject.h>

#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030F0000
// From 3.11 a frame object's code and globals are fields of its interpreter
// frame, laid out only by the internal headers; they are read there. The
// new reference that PyFrame_GetCode and PyFrame_GetGlobals return costs a
// call, an increment and a decrement at each use, several times an event;
// on a free-threaded interpreter these are atomic operations on an object
// that every thread running the same code shares, and slow each other down.
#define Py_BUILD_CORE
#include <internal/pycore_frame.h>
#if PY_VERSION_HEX >= 0x030E0000
#include <internal/pycore_interpframe.h>
#endif
#undef Py_BUILD_CORE
#define SARN_FRAME_FIELDS 1
#endif

#include "utils/ref.hpp"

namespace sarn {

// Borrowed: the frame keeps its code object alive.
inline PyCodeObject* frame_code(PyFrameObject* frame) noexcept {
#if defined(SARN_FRAME_FIELDS) && PY_VERSION_HEX >= 0x030D0000
    return _PyFrame_GetCode(frame->f_frame);
#elif defined(SARN_FRAME_FIELDS)
    return frame->f_frame->f_code;
#elif PY_VERSION_HEX >= 0x03090000
    PyCodeObject* code = PyFrame_GetCode(frame);
    Py_DECREF(code);
    return code;
#else
    return frame->f_code;
#endif
}

inline Ref frame_back(PyFrameObject* frame) noexcept {
#if PY_VERSION_HEX >= 0x03090000
    return Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetBack(frame)));
#else
    return Ref::borrow(reinterpret_cast<PyObject*>(frame->f_back));
#endif
}

// Borrowed, like f_code.
inline PyObject* frame_globals(PyFrameObject* frame) noexcept {
#if defined(SARN_FRAME_FIELDS)
    return frame->f_frame->f_globals;
#elif PY_VERSION_HEX >= 0x030B0000
    PyObject* globals = PyFrame_GetGlobals(frame);
    Py_DECREF(globals);
    return globals;
#else
    return frame->f_globals;
#endif
}

// A new reference to what `frame.f_locals` gives (the refreshed locals
// dictionary; from 3.13 a proxy for a function's frame), without the
// attribute lookup.
inline PyObject* frame_locals(PyFrameObject* frame) noexcept {
#if PY_VERSION_HEX >= 0x030B0000
    return PyFrame_GetLocals(frame);
#else
    if (PyFrame_FastToLocalsWithError(frame) < 0) return nullptr;
    Py_XINCREF(frame->f_locals);
    return frame->f_locals;
#endif
}

inline int frame_line(PyFrameObject* frame) noexcept { return PyFrame_GetLineNumber(frame); }

// The frame's last instruction, as a number that tells it from the code's
// other instructions (an index from 3.11 to 3.14, an offset otherwise);
// negative before the first one.
inline int frame_last_instruction(PyFrameObject* frame) noexcept {
#if defined(SARN_FRAME_FIELDS)
    return _PyInterpreterFrame_LASTI(frame->f_frame);
#elif PY_VERSION_HEX >= 0x030B0000
    return PyFrame_GetLasti(frame);
#else
    return frame->f_lasti;
#endif
}

inline PyObject* code_filename(PyCodeObject* code) noexcept { return code->co_filename; }
inline PyObject* code_name(PyCodeObject* code) noexcept { return code->co_name; }

inline PyFrameObject* as_frame(PyObject* obj) noexcept { return reinterpret_cast<PyFrameObject*>(obj); }
inline PyObject* as_object(PyFrameObject* frame) noexcept { return reinterpret_cast<PyObject*>(frame); }

// The code of the frame's caller, what `frame.f_back.f_code` gives (null at
// the outermost frame), without making the caller's frame object, which from
// 3.11 on may not exist yet. Borrowed: the caller is running.
inline PyCodeObject* caller_code(PyFrameObject* frame) noexcept {
#if defined(SARN_FRAME_FIELDS)
    if (frame->f_back != nullptr) return frame_code(frame->f_back);
    _PyInterpreterFrame* previous = frame->f_frame->previous;
    while (previous != nullptr && _PyFrame_IsIncomplete(previous)) previous = previous->previous;
    if (previous == nullptr) return nullptr;
#if PY_VERSION_HEX >= 0x030D0000
    return _PyFrame_GetCode(previous);
#else
    return previous->f_code;
#endif
#else
    Ref back = frame_back(frame);
    return back ? frame_code(as_frame(back.get())) : nullptr;
#endif
}

}  // namespace sarn
