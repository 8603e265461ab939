#include "profiler/suspension.hpp"

#include "profiler/frame_note.hpp"
#include "utils/frame_suspension.hpp"

namespace sarn {

bool frame_switches(PyFrameObject* frame, FrameEvent event, bool unwinding) noexcept {
    // A frame that unwinds ends, even from a yield (a close or a throw).
    if (event == FrameEvent::ret) return !unwinding && frame_is_suspending(frame);
    return frame_has_started(frame);
}

void write_switch(const FrameRecord& record, Bytes& out) {
    out.clear();
    CursorSink sink(out);
    Writer writer(sink);
    if (record.event == FrameEvent::ret) write_frame_note_head(writer, "suspension", record, 4);
    else write_frame_note_head(writer, "resumption", record, 4);
}

}  // namespace sarn
