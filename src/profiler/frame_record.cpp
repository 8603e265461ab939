#include "profiler/frame_record.hpp"

#include <charconv>

#include "utils/frame_locals.hpp"
#include "utils/ids.hpp"
#include "utils/names.hpp"
#include "utils/serialise.hpp"

namespace sarn {

namespace {

// The longest header of a str, and the longest encoded integer.
constexpr size_t str_header_room = 5;
constexpr size_t int_room = 9;

size_t str_room(std::string_view text) { return str_header_room + text.size(); }

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

// The fields before the frame id: map header, "path", "co_name",
// "qualname", "event", and the key "frame_id".
void write_head(const FrameRecord& record, Bytes& out) {
    const size_t most = 1 + 5 + str_room(record.relative_file) + 12 + 8 + str_room(record.co_name) + 9 +
                        (record.qualname ? str_room(*record.qualname) : 1) + 6 + 7 + 9;
    append_bounded(out, most, [&](auto& writer) {
        writer.map_header(12);
        write_path_field(writer, record.relative_file, record.line);
        write_str_field(writer, "co_name", record.co_name);
        writer.str("qualname");
        if (record.qualname) writer.str(*record.qualname);
        else writer.nil();
        write_str_field(writer, "event", event_text(record.event));
        writer.str("frame_id");
    });
}

// `head` (the remembered first fields, or nothing), the frame id and the
// key "arg" (with nil values for both "arg" and "locals" when the record has
// none), in one write.
void write_frame_id(const FrameRecord& record, std::string_view head, Bytes& out) {
    append_bounded(out, head.size() + 1 + FrameId::length + 4 + 1 + 7 + 1, [&](auto& writer) {
        writer.raw(head);
        if (record.frame_id) writer.str(record.frame_id->view());
        else writer.nil();
        writer.str("arg");
        if (!record.with_values) {
            writer.nil();
            writer.str("locals");
            writer.nil();
        }
    });
}

}  // namespace

Status begin_frame_record(const FrameRecord& record, Bytes& out) {
    out.clear();
    if (record.head.empty()) {
        write_head(record, out);
        if (record.heads != nullptr) record.heads->remember(record.head_key, out);
    }
    write_frame_id(record, record.head, out);
    if (!record.with_values) return {};
    // One serialiser for both values: the argument and the locals often
    // share a value, whose repr is then taken once.
    RecordSerialiser serialiser;
    if (auto bound = serialiser.bind(record.lightweight_repr, record.serialisers); !bound) return bound;
    if (auto arg = serialiser.append(record.arg, out); !arg) return arg;
    out.append("\xa6locals", 7);
    if (auto locals = serialiser.append(*record.locals, out); !locals) return locals;
    return {};
}

Status finish_frame_record(const FrameRecord& record, Bytes& out) {
    if (record.clock.tv_sec < 0) [[unlikely]] {
        return fail(Error::raise(PyExc_ValueError, "System time is before unix epoch"));
    }
    const size_t most = record.thread->encoded_fields.size() + 10 + int_room + 5 + 6 + 20 +
                        (record.call_site ? 1 + 14 + 1 + FrameId::length + 12 + int_room : 1);
    append_bounded(out, most, [&](auto& writer) {
        writer.raw(record.thread->encoded_fields);
        write_timestamp_field(writer, timestamp_from(record.clock));
        write_str_field(writer, "type", "frame");
        writer.str("user_code_call_site");
        if (record.call_site) write_call_site(writer, *record.call_site);
        else writer.nil();
    });
    return {};
}

}  // namespace sarn
