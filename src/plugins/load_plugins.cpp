#include <utility>

#include "plugins/plugin_table.hpp"
#include "utils/convert.hpp"

namespace sarn {

namespace {

// spec[key] for a required key (a missing key is a KeyError).
Result<Ref> required_item(PyObject* spec, const char* key) {
    Ref key_obj = Ref::steal(PyUnicode_FromString(key));
    if (!key_obj) return fail_fetch();
    return checked(PyObject_GetItem(spec, key_obj.get()));
}

Result<std::string> required_text(PyObject* spec, const char* key) {
    auto value = required_item(spec, key);
    if (!value) return fail(std::move(value.error()));
    return to_text(value->get());
}

// An optional key: missing gives null. A raising lookup with a text key
// cannot happen with a dict.
Result<PyObject*> optional_item(PyObject* spec, const char* key) {
    auto found = dict_lookup(spec, key);
    if (!found) return fail(Error::internal("a string is always a valid dict key: " + found.error().description()));
    return *found;
}

// An optional callable: missing or None gives nothing.
Result<Ref> optional_callable(PyObject* spec, const char* key) {
    auto found = optional_item(spec, key);
    if (!found) return fail(std::move(found.error()));
    if (*found == nullptr || *found == Py_None) return Ref();
    return Ref::borrow(*found);
}

Result<Ref> build_context(PyObject* spec, PyObject* config) {
    auto builder = optional_callable(spec, "build_context");
    if (!builder) return fail(std::move(builder.error()));
    if (!*builder) return checked(PyDict_New());
    auto context = checked(PyObject_CallFunctionObjArgs(builder->get(), config, nullptr));
    if (!context) return fail(std::move(context.error()));
    if (!PyDict_Check(context->get())) return fail(conversion_error(context->get(), "PyDict"));
    return context;
}

// One record per watched name; every key is read again for each name.
Result<PluginRecord> make_record(PyObject* spec, const Ref& context) {
    PluginRecord record;
    auto fragment = required_text(spec, "path_fragment");
    if (!fragment) return fail(std::move(fragment.error()));
    record.path_fragment = SubstringSearcher(to_native_separators(*fragment));
    auto call_type = required_text(spec, "call_type");
    if (!call_type) return fail(std::move(call_type.error()));
    record.call_type = std::move(*call_type);
    auto return_type = required_text(spec, "return_type");
    if (!return_type) return fail(std::move(return_type.error()));
    record.return_type = std::move(*return_type);

    auto subtype = optional_item(spec, "subtype");
    if (!subtype) return fail(std::move(subtype.error()));
    if (*subtype != nullptr) {
        auto text = to_text(*subtype);
        if (!text) return fail(std::move(text.error()));
        record.subtype = std::move(*text);
    }
    auto call = optional_callable(spec, "call");
    if (!call) return fail(std::move(call.error()));
    record.call = std::move(*call);
    auto process = optional_callable(spec, "process");
    if (!process) return fail(std::move(process.error()));
    record.process = std::move(*process);

    auto events = optional_item(spec, "events");
    if (!events) return fail(std::move(events.error()));
    if (*events != nullptr && *events != Py_None) {
        auto names = to_text_list(*events);
        if (!names) return fail(std::move(names.error()));
        record.events = std::move(*names);
    }
    record.context = context.dup();
    return record;
}

Status add_specification(PluginTable& table, PyObject* spec, PyObject* config) {
    if (!PyDict_Check(spec)) return fail(conversion_error(spec, "PyDict"));
    auto co_names = required_item(spec, "co_names");
    if (!co_names) return fail(std::move(co_names.error()));
    auto context = build_context(spec, config);
    if (!context) return fail(std::move(context.error()));
    auto iterator = checked(PyObject_GetIter(co_names->get()));
    if (!iterator) return fail(std::move(iterator.error()));
    while (Ref item = Ref::steal(PyIter_Next(iterator->get()))) {
        auto name = to_text(item.get());
        if (!name) return fail(std::move(name.error()));
        auto record = make_record(spec, *context);
        if (!record) return fail(std::move(record.error()));
        table.by_name[std::move(*name)].push_back(std::move(*record));
    }
    if (PyErr_Occurred()) return fail_fetch();
    return {};
}

Result<Ref> plugin_data(PyObject* config) {
    Ref module = Ref::steal(PyImport_ImportModule("sarn.plugins"));
    if (!module) return fail(Error::internal_from_pending("sarn.plugins should always be importable"));
    Ref loader = Ref::steal(PyObject_GetAttrString(module.get(), "load_plugin_data"));
    if (!loader) return fail(Error::internal_from_pending("load_plugin_data should exist"));
    Ref data = Ref::steal(PyObject_CallFunctionObjArgs(loader.get(), config, nullptr));
    if (!data) return fail(Error::internal_from_pending("load_plugin_data should be callable"));
    if (!PyList_Check(data.get())) {
        return fail(Error::internal(std::string("load_plugin_data should return a list: got ") +
                                    Py_TYPE(data.get())->tp_name));
    }
    return data;
}

}  // namespace

Result<PluginTable> load_plugins(PyObject* config) {
    auto data = plugin_data(config);
    if (!data) return fail(std::move(data.error()));
    PluginTable table;
    Py_ssize_t initial = PyList_GET_SIZE(data->get());
    table.by_name.reserve(static_cast<size_t>(initial));
    // The list is read again before each step: a build_context may change it.
    for (Py_ssize_t i = 0; i < initial && i < PyList_GET_SIZE(data->get()); ++i) {
        Ref spec = Ref::borrow(PyList_GET_ITEM(data->get(), i));
        auto added = add_specification(table, spec.get(), config);
        if (!added) return fail(std::move(added.error()));
    }
    return table;
}

std::unordered_set<std::string> watched_names(const PluginTable& table) {
    std::unordered_set<std::string> names;
    for (const auto& [name, records] : table.by_name) names.insert(name);
    return names;
}

}  // namespace sarn
