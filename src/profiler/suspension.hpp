// The records that tell a generator's suspension and resumption from a
// return and a call.
//
// A frame of a generator, coroutine or async generator is reported as left
// at each suspension (a "return" record carrying the yielded value) and as
// entered at each resumption (a "call" record under a new frame id), with
// records exactly like those of a real return and a first call. A record of
// its own, filed right after the frame record, says which it was:
// {"type": "suspension", "frame_id", "thread", "thread_native_id"} after the
// return record of a yield (or of an await or `yield from` that suspends),
// {"type": "resumption", ...} after the call record of a next, send or throw
// that resumes a suspended frame. A close or a throw that ends the frame at
// its yield is an exit by an exception: no suspension is noted.
#pragma once

#include <Python.h>
#include <frameobject.h>

#include <cstdint>

#include "profiler/batch.hpp"
#include "profiler/frame_record.hpp"

namespace sarn {

// A switch is a return that suspends the frame or a call that resumes it.
// What an engine says of an event: that it is one (sys.monitoring's
// PY_YIELD and PY_RESUME), that it is not, or nothing, so that the frame is
// asked.
enum class Switch : uint8_t { no, yes, ask_frame };

// Whether the event of a frame of suspendable code suspends or resumes it,
// as the frame tells.
[[nodiscard]] bool frame_switches(PyFrameObject* frame, FrameEvent event, bool unwinding) noexcept;

// The type of the record that notes a switch at `event`.
inline const char* switch_type(FrameEvent event) noexcept {
    return event == FrameEvent::ret ? "suspension" : "resumption";
}

// Writes the suspension record (for a return) or the resumption record (for
// a call) of `record`'s frame into `out` (emptied first).
void write_switch(const FrameRecord& record, Bytes& out);

}  // namespace sarn
