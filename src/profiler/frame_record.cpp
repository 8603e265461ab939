#include "profiler/frame_record.hpp"

#include <charconv>

#include "utils/frame_locals.hpp"
#include "utils/ids.hpp"
#include "utils/names.hpp"
#include "utils/serialise.hpp"

namespace sarn {

namespace {

// "path": the relative file name, ":", the line, as one string.
template <class S>
void write_path_field(Writer<S>& writer, std::string_view file, int line) {
    char digits[16];
    auto [end, error] = std::to_chars(digits, digits + sizeof digits, line);
    const std::string_view number(digits, static_cast<size_t>(end - digits));
    writer.str("path");
    writer.str_header(static_cast<uint32_t>(file.size() + 1 + number.size()));
    writer.raw(file);
    writer.raw(":");
    writer.raw(number);
}

}  // namespace

Status begin_frame_record(const FrameRecord& record, Bytes& out) {
    out.clear();
    {
        CursorSink sink(out);
        Writer writer(sink);
        writer.map_header(12);
        write_path_field(writer, record.relative_file, record.line);
        write_str_field(writer, "co_name", record.co_name);
        writer.str("qualname");
        if (record.qualname) writer.str(*record.qualname);
        else writer.nil();
        write_str_field(writer, "event", event_text(record.event));
        writer.str("frame_id");
        if (record.frame_id) writer.str(record.frame_id->view());
        else writer.nil();
        writer.str("arg");
        if (!record.with_values) {
            writer.nil();
            writer.str("locals");
            writer.nil();
            return {};
        }
    }
    // One serialiser for both values: the argument and the locals often
    // share a value, whose repr is then taken once.
    auto serialiser = RecordSerialiser::current(record.lightweight_repr);
    if (!serialiser) return fail(std::move(serialiser.error()));
    if (auto arg = serialiser->append(record.arg, out); !arg) return arg;
    {
        CursorSink sink(out);
        Writer writer(sink);
        writer.str("locals");
    }
    if (auto locals = serialiser->append(*record.locals, out); !locals) return locals;
    return {};
}

Status finish_frame_record(const FrameRecord& record, Bytes& out) {
    CursorSink sink(out);
    Writer writer(sink);
    write_str_field(writer, "thread", record.thread->name);
    write_opt_uint_field(writer, "thread_native_id", record.thread->native_id);
    auto timestamp = current_timestamp();
    if (!timestamp) return fail(Error::raise(PyExc_ValueError, timestamp.error()));
    write_timestamp_field(writer, *timestamp);
    write_str_field(writer, "type", "frame");
    writer.str("user_code_call_site");
    if (record.call_site) write_call_site(writer, *record.call_site);
    else writer.nil();
    return {};
}

}  // namespace sarn
