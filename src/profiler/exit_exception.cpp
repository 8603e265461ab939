#include "profiler/exit_exception.hpp"

#include "utils/serialise.hpp"

namespace sarn {

thread_local PyObject* UnwindingException::current_ = nullptr;

Status append_exit_exception(Batch& batch, const FrameRecord& record) {
    Bytes out;
    {
        CursorSink sink(out);
        Writer writer(sink);
        writer.map_header(5);
        write_str_field(writer, "type", "exception");
        writer.str("frame_id");
        if (record.frame_id) writer.str(record.frame_id->view());
        else writer.nil();
        write_str_field(writer, "thread", record.thread->name);
        write_opt_uint_field(writer, "thread_native_id", record.thread->native_id);
        writer.str("exception");
    }
    PyObject* exception = UnwindingException::current();
    if (exception == nullptr || !record.with_values) {
        CursorSink sink(out);
        Writer writer(sink);
        writer.nil();
    } else {
        auto serialiser = RecordSerialiser::current(record.lightweight_repr);
        if (!serialiser) return fail(std::move(serialiser.error()));
        if (auto written = serialiser->append(exception, out); !written) return written;
    }
    batch.append("exception", std::move(out));
    return {};
}

}  // namespace sarn
