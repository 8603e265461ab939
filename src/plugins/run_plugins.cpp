#include "plugins/run_plugins.hpp"

#include <algorithm>
#include <string>

#include "profiler/call_site.hpp"
#include "profiler/frame_ids.hpp"
#include "profiler/thread_info.hpp"
#include "utils/convert.hpp"
#include "utils/frame_access.hpp"
#include "utils/host_import.hpp"
#include "utils/names.hpp"
#include "utils/ids.hpp"
#include "utils/serialise.hpp"

namespace sarn {

namespace {

Result<Ref> call_plugin(PyObject* callable, const PluginEvent& event, PyObject* context) {
    auto event_name = checked(PyUnicode_FromString(event_text(event.site.event)));
    if (!event_name) return fail(std::move(event_name.error()));
    return checked(PyObject_CallFunctionObjArgs(callable, as_object(event.site.frame), event_name->get(), event.arg,
                                                context, nullptr));
}

PyObject* new_str(std::string_view text) {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* optional_uint(std::optional<uint64_t> value) {
    if (!value) Py_RETURN_NONE;
    return PyLong_FromUnsignedLongLong(*value);
}

Result<Ref> call_site_dict(ThreadCache& thread, const std::string& frame_id) {
    std::optional<UserCodeCallSite> site;
    if (auto found = find_user_code_call_site(thread.call_frames, FrameId::from(frame_id), thread.lines, site); !found) {
        return fail(std::move(found.error()));
    }
    if (!site) return Ref::borrow(Py_None);
    return checked(Py_BuildValue("{s:s#,s:i}", "call_frame_id", site->call_frame_id.view().data(),
                                 static_cast<Py_ssize_t>(FrameId::length), "line_number", site->line_number));
}

// The identifier this plugin gives the event's frame: a return whose call it
// did not see gets a new one, not remembered.
std::string payload_frame_id(PluginRecord& record, const PluginEvent& event) {
    auto remembered = frame_id_for_event(record.frame_ids, event.site.frame, event.site.event);
    return remembered ? remembered->text() : new_frame_id();
}

Result<bool> is_mapping(PyObject* obj) {
    if (PyDict_Check(obj)) return true;
    const Names* name = names();
    if (name == nullptr) return fail_fetch();
    auto mapping = import_attribute(name->collections_abc, name->Mapping);
    if (!mapping) {
        std::move(mapping.error()).raise_in_host();
        PyErr_WriteUnraisable(obj);
        return false;
    }
    int result = PyObject_IsInstance(obj, mapping->get());
    if (result < 0) return fail_fetch();
    return result == 1;
}

Result<Ref> build_payload(PluginRecord& record, ThreadCache& thread, const PluginEvent& event) {
    auto payload = checked(PyDict_New());
    if (!payload) return fail(std::move(payload.error()));
    PyObject* dict = payload->get();
    std::string frame_id = payload_frame_id(record, event);
    auto timestamp = current_timestamp();
    if (!timestamp) return fail(Error::raise(PyExc_ValueError, timestamp.error()));
    auto info = current_thread_info();
    if (!info) return fail(std::move(info.error()));
    auto site = call_site_dict(thread, frame_id);
    if (!site) return fail(std::move(site.error()));
    const std::string& type = event.site.event == FrameEvent::call ? record.call_type : record.return_type;

    std::pair<const char*, Ref> items[] = {
        {"frame_id", Ref::steal(new_str(frame_id))},
        {"timestamp", Ref::steal(PyFloat_FromDouble(*timestamp))},
        {"thread", Ref::steal(new_str(info->name))},
        {"thread_native_id", Ref::steal(optional_uint(info->native_id))},
        {"user_code_call_site", std::move(*site)},
        {"type", Ref::steal(new_str(type))},
        {"subtype", record.subtype ? Ref::steal(new_str(*record.subtype)) : Ref()},
    };
    for (auto& [key, value] : items) {
        if (!value) {
            if (PyErr_Occurred()) return fail_fetch();
            continue;  // no subtype
        }
        if (PyDict_SetItemString(dict, key, value.get()) < 0) {
            return fail(Error::internal_from_pending("a string is always a valid dict key"));
        }
    }
    return payload;
}

Status merge_process_result(const PluginRecord& record, const PluginEvent& event, PyObject* payload) {
    auto result = call_plugin(record.process.get(), event, record.context.get());
    if (!result) return fail(std::move(result.error()));
    auto mapping = is_mapping(result->get());
    if (!mapping) return fail(std::move(mapping.error()));
    if (!*mapping) return fail(conversion_error(result->get(), "Mapping"));
    if (PyDict_Merge(payload, result->get(), 1) < 0) return fail_fetch();
    return {};
}

// One matching plugin: its payload, or why it has none. `nullopt` means the
// plugin does not match this event.
Result<std::optional<std::pair<std::string, Bytes>>> run_plugin(PluginRecord& record, ThreadCache& thread,
                                                                 const PluginEvent& event, bool lightweight_repr) {
    using Payload = std::optional<std::pair<std::string, Bytes>>;
    if (!record.path_fragment.found_in(event.filename)) return Payload();
    if (record.call) {
        auto keep = call_plugin(record.call.get(), event, record.context.get());
        if (!keep) return fail(std::move(keep.error()));
        if (!PyBool_Check(keep->get())) return fail(conversion_error(keep->get(), "PyBool"));
        if (keep->get() == Py_False) return Payload();
    }
    if (record.events) {
        const auto& events = *record.events;
        if (std::find(events.begin(), events.end(), event_text(event.site.event)) == events.end()) return Payload();
    }
    auto payload = build_payload(record, thread, event);
    if (!payload) return fail(std::move(payload.error()));
    if (record.process) {
        auto merged = merge_process_result(record, event, payload->get());
        if (!merged) return fail(std::move(merged.error()));
    }
    const Names* name = names();
    if (name == nullptr) return fail_fetch();
    PyObject* type = PyDict_GetItemWithError(payload->get(), name->type);
    if (type == nullptr && PyErr_Occurred()) return fail(Error::internal_from_pending("data[\"type\"] should not raise."));
    if (type == nullptr) return fail_internal("data[\"type\"] should not be missing.");
    auto type_text = to_text(type);
    if (!type_text) return fail(std::move(type_text.error()));
    auto bytes = serialise_value(payload->get(), lightweight_repr);
    if (!bytes) return fail(std::move(bytes.error()));
    return Payload(std::pair{std::move(*type_text), std::move(*bytes)});
}

}  // namespace

void run_plugins(ProfilerState& state, ThreadCache& thread, const PluginEvent& event, Batch& batch) {
    auto table = state.plugins.lock_releasing_interpreter("plugin table");
    if (!table) {
        report_unexpected_error(std::move(table.error()), event.site, thread.interrupt);
        return;
    }
    auto entry = (*table)->by_name.find(std::string(event.name));
    if (entry == (*table)->by_name.end()) return;
    for (PluginRecord& record : entry->second) {
        auto payload = run_plugin(record, thread, event, state.lightweight_repr);
        if (!payload) {
            report_unexpected_error(std::move(payload.error()), event.site, thread.interrupt);
        } else if (*payload) {
            batch.append(std::move((*payload)->first), std::move((*payload)->second));
        }
    }
}

}  // namespace sarn
