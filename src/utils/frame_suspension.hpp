// Whether a generator's, coroutine's or async generator's frame is being
// suspended or resumed, read from the interpreter's frame.
//
// The profile function is told a return at each yield (and at each await
// that suspends) and a call at each resumption, as at a real return and a
// first call. Only the frame says which it was. Both tests are meant for
// frames whose code has CO_GENERATOR, CO_COROUTINE or CO_ASYNC_GENERATOR.
#pragma once

#include <Python.h>
#include <frameobject.h>

namespace sarn {

inline constexpr int suspendable_code_flags = CO_GENERATOR | CO_COROUTINE | CO_ASYNC_GENERATOR;

// At a return event that carries a value: whether the frame is left
// suspended (a yield, or a `yield from` or await handing a value up) rather
// than finished.
[[nodiscard]] bool frame_is_suspending(PyFrameObject* frame) noexcept;

// At a call event: whether the frame ran before, so that this call resumes
// it (a next, send or throw after a suspension) rather than starts it.
[[nodiscard]] bool frame_has_started(PyFrameObject* frame) noexcept;

}  // namespace sarn
