// The frame event record: one MessagePack map of twelve entries per kept call
// or return, encoded once at the moment of the event.
#pragma once

#include <Python.h>
#include <frameobject.h>

#include <optional>
#include <string>
#include <string_view>

#include "profiler/batch.hpp"
#include "profiler/call_site.hpp"
#include "profiler/record_heads.hpp"
#include "profiler/thread_caches.hpp"
#include "utils/error.hpp"
#include "utils/frame_locals.hpp"
#include "utils/msgpack_writer.hpp"

namespace sarn {

// Made at every kept event: the fields that every path sets are left
// uninitialised here.
struct FrameRecord {
    // The record's first fields as the thread wrote them last for the same
    // key, or empty; then they are written, and remembered under the key.
    std::string_view head;
    RecordHeads* heads;  // the thread's
    RecordHeads::Key head_key;
    std::string_view relative_file;  // the file name relative to the current directory; unread with `head`
    int line;
    std::string_view co_name;
    const std::string* qualname = nullptr;  // null when the frame has no name; may be a memo's text
    FrameEvent event;
    std::optional<FrameId> frame_id;
    PyObject* arg;  // borrowed; serialised by the host
    const FrameLocals* locals = nullptr;  // serialised by the host
    bool lightweight_repr;
    // False near the recursion limit: "arg" and "locals" are then written as
    // nil, since serialising them could run Python code.
    bool with_values = true;
    const ThreadInfo* thread = nullptr;
    std::optional<UserCodeCallSite> call_site;
    SerialiserCache* serialisers;  // the thread's
    timespec clock;  // the event's reading of the wall clock: the record's timestamp
};

// The record is written in two steps. The first writes the fields up to the
// locals, serialising the argument and then the locals straight into the
// record; it fails if either serialisation fails.
// `out` is emptied first.
[[nodiscard]] Status begin_frame_record(const FrameRecord& record, Bytes& out);

// The second writes the rest. Fails when the clock read before the epoch.
[[nodiscard]] Status finish_frame_record(const FrameRecord& record, Bytes& out);

}  // namespace sarn
