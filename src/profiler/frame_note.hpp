// The records filed right after a kept frame's record, saying more about
// that event than the record's fixed entries can: that the frame ended by an
// exception, was suspended or was resumed. Each names its frame as the
// frame record does.
#pragma once

#include <cstdint>

#include "profiler/frame_record.hpp"
#include "utils/msgpack_writer.hpp"

namespace sarn {

// Writes the map header for `entries` entries and the first four:
// "type", "frame_id", "thread" and "thread_native_id".
template <class S, size_t K>
void write_frame_note_head(Writer<S>& writer, const char (&type)[K], const FrameRecord& record, uint32_t entries) {
    writer.map_header(entries);
    writer.str("type");
    writer.str(type);
    writer.str("frame_id");
    if (record.frame_id) writer.str(record.frame_id->view());
    else writer.nil();
    writer.raw(record.thread->encoded_fields);  // "thread" and "thread_native_id"
}

}  // namespace sarn
