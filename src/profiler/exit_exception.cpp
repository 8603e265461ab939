#include "profiler/exit_exception.hpp"

#include "profiler/frame_note.hpp"
#include "utils/serialise.hpp"

namespace sarn {

thread_local PyObject* UnwindingException::current_ = nullptr;

Status write_exit_exception(const FrameRecord& record, Bytes& out) {
    out.clear();
    {
        CursorSink sink(out);
        Writer writer(sink);
        write_frame_note_head(writer, "exception", record, 5);
        writer.str("exception");
    }
    PyObject* exception = UnwindingException::current();
    if (exception == nullptr || !record.with_values) {
        CursorSink sink(out);
        Writer writer(sink);
        writer.nil();
    } else {
        RecordSerialiser serialiser;
        if (auto bound = serialiser.bind(record.lightweight_repr, record.serialisers); !bound) return bound;
        if (auto written = serialiser.append(exception, out); !written) return written;
    }
    return {};
}

}  // namespace sarn
