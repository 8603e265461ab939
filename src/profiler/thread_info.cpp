#include "profiler/thread_info.hpp"

#include "utils/convert.hpp"
#include "utils/host_import.hpp"
#include "utils/msgpack_writer.hpp"
#include "utils/names.hpp"

namespace sarn {

namespace {

ThreadInfo with_encoded_fields(ThreadInfo info) {
    StringSink sink(info.encoded_fields);
    Writer writer(sink);
    write_str_field(writer, "thread", info.name);
    write_opt_uint_field(writer, "thread_native_id", info.native_id);
    return info;
}

}  // namespace

Result<ThreadInfo> current_thread_info() {
    const Names* interned = names();
    if (interned == nullptr) return fail_fetch();
    auto current_thread = import_attribute(interned->threading, interned->current_thread);
    if (!current_thread) return fail(std::move(current_thread.error()));
    auto thread = checked(PyObject_CallObject(current_thread->get(), nullptr));
    if (!thread) return fail(std::move(thread.error()));
    auto name_obj = checked(PyObject_GetAttr(thread->get(), interned->name));
    if (!name_obj) return fail(std::move(name_obj.error()));
    auto name = to_text(name_obj->get());
    if (!name) return fail(std::move(name.error()));

    ThreadInfo info{std::move(*name), std::nullopt, {}};
    Ref native_id = Ref::steal(PyObject_GetAttr(thread->get(), interned->native_id));
    if (!native_id) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return fail_fetch();
        PyErr_Clear();
        return with_encoded_fields(std::move(info));
    }
    auto id = to_optional_unsigned(native_id.get());
    if (!id) return fail(std::move(id.error()));
    info.native_id = *id;
    return with_encoded_fields(std::move(info));
}

Status ask_thread_info(ThreadCache& cache) {
    auto info = current_thread_info();
    if (!info) return fail(std::move(info.error()));
    cache.thread_info = std::move(*info);
    return {};
}

}  // namespace sarn
