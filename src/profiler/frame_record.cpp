#include "profiler/frame_record.hpp"

#include "utils/frame_access.hpp"
#include "utils/ids.hpp"
#include "utils/names.hpp"
#include "utils/relative_path.hpp"
#include "utils/serialise.hpp"

namespace sarn {

std::string frame_path(PyFrameObject* frame, std::string_view filename) {
    std::optional<std::string> cwd = current_directory();
    std::string path = cwd ? relative_to(filename, *cwd) : std::string(filename);
    path += ':';
    path += std::to_string(frame_line(frame));
    return path;
}

Result<Ref> locals_mapping(PyFrameObject* frame) {
    const Names* name = names();
    if (name == nullptr) return fail_fetch();
    auto locals = checked(PyObject_GetAttr(as_object(frame), name->f_locals));
    if (!locals) return fail(std::move(locals.error()));
    if (!PyDict_Check(locals->get())) {
        // Newer interpreters give a write-through proxy: take a dict copy.
        auto copy = checked(PyDict_New());
        if (!copy) return fail(std::move(copy.error()));
        if (PyDict_Update(copy->get(), locals->get()) < 0) return fail_fetch();
        locals = std::move(copy);
    }
    int has_builtins = PyDict_Contains(locals->get(), name->__builtins__);
    if (has_builtins < 0) return fail(Error::internal_from_pending("locals.get(\"__builtins__\") should not raise."));
    if (has_builtins == 0) return locals;
    auto copy = checked(PyDict_Copy(locals->get()));
    if (!copy) return fail(std::move(copy.error()));
    if (PyDict_DelItem(copy->get(), name->__builtins__) < 0) return fail_fetch();
    return copy;
}

Result<Bytes> begin_frame_record(const FrameRecord& record) {
    Bytes out;
    out.reserve(512);
    StringSink sink(out);
    Writer writer(sink);
    writer.map_header(12);
    write_str_field(writer, "path", record.path);
    write_str_field(writer, "co_name", record.co_name);
    write_opt_str_field(writer, "qualname", record.qualname);
    write_str_field(writer, "event", event_text(record.event));
    write_opt_str_field(writer, "frame_id", record.frame_id);
    writer.str("arg");
    if (auto arg = append_serialised(record.arg, record.lightweight_repr, out); !arg) return fail(std::move(arg.error()));
    writer.str("locals");
    if (auto locals = append_serialised(record.locals, record.lightweight_repr, out); !locals) {
        return fail(std::move(locals.error()));
    }
    return out;
}

Status finish_frame_record(const FrameRecord& record, Bytes& out) {
    StringSink sink(out);
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
