// The module `sarn._serialize`: the native walker of `sarn.serialize`.
//
//   configure(module)                       lends it the Python half
//   dump_msgpack(value) -> bytes            the full form
//   dump_msgpack_lightweight_repr(value)    the lightweight form
//   skips_file(filename) -> bool            the frame filter's fixed test
//                                           of a file name, for the Python
//                                           half to tell library classes
//   task_keys(data) -> [bytes]              the asyncio task keys named in a
//                                           block of a document
//   document_facts(data) -> dict | None     what the trace listing keeps of a
//                                           trace document, read without
//                                           decoding it
//   unpack_records(data, start, count)      records of a stored document
//       -> (records, end)                   decoded into dicts, many a call
//   ShowPass                                `sarn show`'s pass over the
//                                           records (show_pass.hpp)
//   unpack_calls(data, start, count, tag)   the same, frame records as tuples
//       -> (records, end)                   of the fields calls are compared
//                                           by, values as MessagePack bytes
//   JsonPass                                the records as JSON text, for
//                                           `sarn export --json` (json_pass.hpp)
//   ChromePass                              the records as Trace Event Format
//                                           events (chrome_pass.hpp)
//   call_index(data, tag, text_limit)       the call index of a document, read
//       -> (names, exceptions) | None       in one pass (call_index.hpp)
//
// Like their Python counterparts the two functions never raise once
// configured: a value that cannot be written at all is handed, with the
// exception, to the Python half's `_failure`.
#include <Python.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <new>
#include <string_view>
#include <utility>
#include <vector>

#include "filters/fragments.hpp"
#include "serialize/call_index.hpp"
#include "serialize/document_facts.hpp"
#include "serialize/task_keys.hpp"
#include "serialize/record_reader.hpp"
#include "serialize/chrome_pass.hpp"
#include "serialize/json_pass.hpp"
#include "serialize/show_pass.hpp"
#include "serialize/value_writer.hpp"
#include "utils/free_threading.hpp"
#include "utils/serializer_api.hpp"

namespace sarn::serialize {

namespace {

// What `configure` lent.
struct Configuration {
    Host host;
    Ref failure;  // _failure(value, error) -> bytes
};

// A second `configure` (a new recording, a reloaded sarn.serialize) must not
// release the helpers while a dump that runs Python code (a repr) is still
// using them: a configuration replaced while dumps are running is retired,
// and freed by a later `configure` that finds none running. Dumps count
// themselves instead of sharing ownership, which would cost two atomic
// operations per value.
//
// On a free-threaded interpreter dumps run in parallel with `configure`:
// there a replaced configuration is kept until the module goes (a module is
// configured once per import), and dumps read the current one atomically.
struct State {
    std::shared_ptr<const Configuration> configuration;
    std::vector<std::shared_ptr<const Configuration>> retired;
#ifdef Py_GIL_DISABLED
    std::atomic<const Configuration*> current{nullptr};
    InterpreterMutex replacing;

    void replace(std::shared_ptr<const Configuration> next) {
        std::lock_guard<InterpreterMutex> hold(replacing);
        current.store(next.get(), std::memory_order_release);
        retired.push_back(std::exchange(configuration, std::move(next)));
    }
    const Configuration* enter() noexcept { return current.load(std::memory_order_acquire); }
    void leave() noexcept {}
#else
    int dumps_running = 0;

    void replace(std::shared_ptr<const Configuration> next) {
        if (dumps_running > 0) retired.push_back(std::move(configuration));
        else retired.clear();
        configuration = std::move(next);
    }
    const Configuration* enter() noexcept {
        ++dumps_running;
        return configuration.get();
    }
    void leave() noexcept { --dumps_running; }
#endif
};

State& state_of(PyObject* module) { return *static_cast<State*>(PyModule_GetState(module)); }

// The configuration in use, for as long as this dump runs.
class RunningDump {
public:
    explicit RunningDump(State& state) noexcept : state_(state), configuration_(state.enter()) {}
    ~RunningDump() { state_.leave(); }
    RunningDump(const RunningDump&) = delete;
    RunningDump& operator=(const RunningDump&) = delete;
    const Configuration* configuration() const noexcept { return configuration_; }

private:
    State& state_;
    const Configuration* configuration_;
};

bool read_limit(PyObject* source, const char* name, Py_ssize_t& limit) {
    Ref value = Ref::steal(PyObject_GetAttrString(source, name));
    if (!value) return false;
    limit = PyLong_AsSsize_t(value.get());
    return !(limit == -1 && PyErr_Occurred());
}

bool read_attribute(PyObject* source, const char* name, Ref& into) {
    into = Ref::steal(PyObject_GetAttrString(source, name));
    return static_cast<bool>(into);
}

bool intern(const char* text, Ref& into) {
    into = Ref::steal(PyUnicode_InternFromString(text));
    return static_cast<bool>(into);
}

bool configure_from(PyObject* source, State& state) {
    auto configuration = std::make_shared<Configuration>();
    Host& host = configuration->host;
    Ref& failure = configuration->failure;
    Limits& limits = host.limits;
    if (!read_attribute(source, "_info", host.type_info) || !read_attribute(source, "_bounded_repr", host.bounded_repr) ||
        !read_attribute(source, "_big_int_repr", host.big_int_repr) || !read_attribute(source, "deque", host.deque_type) ||
        !read_attribute(source, "partial", host.partial_type) ||
        !read_attribute(source, "_REPRLIB_TYPE_NAMES", host.reprlib_names) ||
        !read_attribute(source, "TAG", host.tag) || !read_attribute(source, "_failure", failure) ||
        !read_limit(source, "MAX_DEPTH", limits.max_depth) || !read_limit(source, "MAX_ITEMS", limits.max_items) ||
        !read_limit(source, "MAX_STR", limits.max_str) || !read_limit(source, "MAX_BYTES", limits.max_bytes) || !read_limit(source, "MAX_REPR", limits.max_repr) ||
        !read_limit(source, "MAX_ATTRS", limits.max_attrs) || !read_limit(source, "MAX_NODES", limits.max_nodes) ||
        !read_limit(source, "MAX_VALUES", limits.max_values) || !read_limit(source, "MAX_TEXT", limits.max_text) ||
        !read_limit(source, "SHORT_STR", limits.short_str) ||
        !intern("__dict__", host.dict_name) || !intern("__get__", host.get_name) ||
        !intern("_fields", host.fields_name) || !intern("__module__", host.module_name)) {
        return false;
    }
    Ref repr_source;
    ReprSettings& reprs = host.reprs;
    if (!read_attribute(source, "_reprlib", repr_source) || !read_limit(repr_source.get(), "maxlevel", reprs.maxlevel) ||
        !read_limit(repr_source.get(), "maxtuple", reprs.maxtuple) ||
        !read_limit(repr_source.get(), "maxlist", reprs.maxlist) ||
        !read_limit(repr_source.get(), "maxdict", reprs.maxdict) ||
        !read_limit(repr_source.get(), "maxset", reprs.maxset) ||
        !read_limit(repr_source.get(), "maxfrozenset", reprs.maxfrozenset) ||
        !read_limit(repr_source.get(), "maxdeque", reprs.maxdeque) ||
        !read_limit(repr_source.get(), "maxstring", reprs.maxstring) ||
        !read_limit(repr_source.get(), "maxlong", reprs.maxlong) ||
        !read_limit(repr_source.get(), "maxother", reprs.maxother)) {
        return false;
    }
    if (!PyUnicode_CheckExact(host.tag.get()) || !PyType_Check(host.deque_type.get()) ||
        !PyType_Check(host.partial_type.get()) || !PyFrozenSet_CheckExact(host.reprlib_names.get())) {
        PyErr_SetString(PyExc_TypeError,
                        "TAG must be a str, deque and partial types, and _REPRLIB_TYPE_NAMES a frozenset");
        return false;
    }
    auto* deque = reinterpret_cast<PyTypeObject*>(host.deque_type.get());
    if (deque->tp_iter == nullptr || deque->tp_as_sequence == nullptr || deque->tp_as_sequence->sq_length == nullptr) {
        PyErr_SetString(PyExc_TypeError, "deque must be iterable and sized");
        return false;
    }
    Py_ssize_t size = 0;
    const char* tag = PyUnicode_AsUTF8AndSize(host.tag.get(), &size);
    if (tag == nullptr) return false;
    host.tag_utf8.assign(tag, static_cast<size_t>(size));
    {
        StringSink sink(host.object_head);
        Writer<StringSink> writer(sink);
        writer.map_header(3);
        writer.str(host.tag_utf8);
        writer.str("object");
        writer.str("type");
    }
    for (const EmptyContainer& empty : kEmptyContainers) {
        std::string& form = host.empty_forms[static_cast<size_t>(&empty - kEmptyContainers.data())];
        form = host.object_head;
        StringSink sink(form);
        Writer<StringSink> writer(sink);
        writer.str(empty.type->tp_name);
        writer.str("repr");
        writer.str(empty.repr);
    }
    state.replace(std::move(configuration));
    return true;
}

PyObject* configure(PyObject* module, PyObject* source) noexcept {
    try {
        if (!configure_from(source, state_of(module))) return nullptr;
        Py_RETURN_NONE;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

// The pending exception and `value` go to `_failure`, which describes them.
PyObject* describe_failure(const Configuration& configuration, PyObject* value) noexcept {
    if (pending_error_reaches_program()) return nullptr;  // raised out of the dump
    const TakenError error = TakenError::take();
    if (error.value() == nullptr) return nullptr;
    return PyObject_CallFunctionObjArgs(configuration.failure.get(), value, error.value(), nullptr);
}

using WriteFunction = bool (*)(const Host&, PyObject*, Bytes&, ReprMemo&);

// Appends the bytes a dump returns to `out`. False with an exception set
// only when there are none (not configured, or `_failure` itself failed).
bool dump_into(PyObject* module, PyObject* value, WriteFunction write, Bytes& out, ReprMemo& memo) noexcept {
    const RunningDump running(state_of(module));
    const Configuration* configuration = running.configuration();
    if (!configuration) {
        PyErr_SetString(PyExc_RuntimeError, "sarn._serialize is not configured");
        return false;
    }
    const size_t start = out.size();
    try {
        if (value == Py_None) {
            out.push_back('\xc0');
            return true;
        }
        if (write(configuration->host, value, out, memo)) return true;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in sarn._serialize");
    }
    try {
        out.resize(start);
        Ref described = Ref::steal(describe_failure(*configuration, value));
        if (!described) return false;
        char* data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(described.get(), &data, &size) < 0) return false;
        out.append(data, static_cast<size_t>(size));
        return true;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
}

PyObject* dump(PyObject* module, PyObject* value, WriteFunction write) noexcept {
    try {
        Bytes out;
        out.reserve(256);
        ReprMemo memo;
        if (!dump_into(module, value, write, out, memo)) return nullptr;
        return PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyObject* dump_full(PyObject* module, PyObject* value) noexcept { return dump(module, value, write_full); }

// `visits(value, lightweight)`
PyObject* visits(PyObject* module, PyObject* const* args, Py_ssize_t count) noexcept {
    if (count != 2) {
        PyErr_SetString(PyExc_TypeError, "visits expects a value and whether to write the lightweight form");
        return nullptr;
    }
    const int lightweight = PyObject_IsTrue(args[1]);
    if (lightweight < 0) return nullptr;
    const RunningDump running(state_of(module));
    if (!running.configuration()) {
        PyErr_SetString(PyExc_RuntimeError, "sarn._serialize is not configured");
        return nullptr;
    }
    try {
        ReprMemo memo;
        const Py_ssize_t seen = count_visits(running.configuration()->host, args[0], lightweight != 0, memo);
        return seen < 0 ? nullptr : PyLong_FromSsize_t(seen);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyObject* dump_lightweight(PyObject* module, PyObject* value) noexcept {
    return dump(module, value, write_lightweight);
}

// For the core: the same bytes as calling `function`, appended to `out`.
bool append_dump(PyObject* function, PyObject* value, Bytes& out, ReprMemo& memo) noexcept {
    PyObject* module = PyCFunction_GET_SELF(function);
    const bool full = PyCFunction_GET_FUNCTION(function) == dump_full;
    return dump_into(module, value, full ? write_full : write_lightweight, out, memo);
}

using WriteEntries = EntriesWritten (*)(const Host&, const NamedValue*, size_t, Bytes&, ReprMemo&);

// A dict of the entries, made only when they cannot be written: `_failure`
// describes the value it was given.
Ref dict_of(const NamedValue* entries, size_t count) {
    Ref dict = Ref::steal(PyDict_New());
    for (size_t i = 0; dict && i < count; ++i) {
        if (PyDict_SetItem(dict.get(), entries[i].name, entries[i].value) < 0) dict = Ref();
    }
    return dict;
}

// For the core: the same bytes as calling `function` on a dict of the
// entries, appended to `out`; `not_applicable` when a real dict must be made.
EntriesWritten append_entries(PyObject* function, const NamedValue* entries, size_t count, Bytes& out,
                              ReprMemo& memo) noexcept {
    PyObject* module = PyCFunction_GET_SELF(function);
    const RunningDump running(state_of(module));
    const Configuration* configuration = running.configuration();
    if (!configuration) return EntriesWritten::not_applicable;  // the dump of the dict says why
    const bool full = PyCFunction_GET_FUNCTION(function) == dump_full;
    const WriteEntries write = full ? write_full_entries : write_lightweight_entries;
    const size_t start = out.size();
    try {
        const EntriesWritten outcome = write(configuration->host, entries, count, out, memo);
        if (outcome != EntriesWritten::failed) return outcome;
        out.resize(start);
        if (pending_error_reaches_program()) return EntriesWritten::failed;
        // Written again as a real dict, whose dump describes the failure (the
        // memo spares the reprs already taken).
        PyErr_Clear();
        Ref dict = dict_of(entries, count);
        if (!dict) return EntriesWritten::failed;
        return dump_into(module, dict.get(), full ? write_full : write_lightweight, out, memo)
                   ? EntriesWritten::written
                   : EntriesWritten::failed;
    } catch (const std::bad_alloc&) {
        out.resize(start);
        PyErr_NoMemory();
        return EntriesWritten::failed;
    }
}

PyObject* skips_file(PyObject*, PyObject* filename) noexcept {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_Check(filename) ? PyUnicode_AsUTF8AndSize(filename, &size) : nullptr;
    if (text == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "skips_file expects a str");
        return nullptr;
    }
    try {
        return PyBool_FromLong(is_skipped_file(std::string_view(text, static_cast<size_t>(size))));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

// For the core: the rules of the configuration in use now.
PlainRules rules_of(PyObject* function) noexcept {
    const RunningDump running(state_of(PyCFunction_GET_SELF(function)));
    return running.configuration() != nullptr ? plain_rules(running.configuration()->host) : PlainRules{};
}

constinit const SerializerApi native_api{SerializerApi::current_version, dump_full, dump_lightweight, append_dump,
                                         append_entries, rules_of};

int traverse_configuration(const Configuration* configuration, visitproc visit, void* arg) {
    if (configuration == nullptr) return 0;
    const Host& host = configuration->host;
    for (const Ref* ref : {&host.type_info, &host.bounded_repr, &host.big_int_repr, &host.deque_type, &host.partial_type,
                           &configuration->failure}) {
        Py_VISIT(ref->get());
    }
    return 0;
}

int traverse(PyObject* module, visitproc visit, void* arg) {
    const State& state = state_of(module);
    if (int found = traverse_configuration(state.configuration.get(), visit, arg)) return found;
    for (const auto& retired : state.retired) {
        if (int found = traverse_configuration(retired.get(), visit, arg)) return found;
    }
    return 0;
}

int clear(PyObject* module) {
    // The helpers of a dump still running stay until it is done.
    state_of(module).replace(nullptr);
#ifdef Py_GIL_DISABLED
    // A running dump holds the module through its function: an unreachable
    // module has none.
    state_of(module).retired.clear();
#endif
    return 0;
}

void free_state(void* module) {
    if (void* memory = PyModule_GetState(static_cast<PyObject*>(module))) static_cast<State*>(memory)->~State();
}

PyMethodDef methods[] = {
    {"configure", configure, METH_O, "Lend the walker the helpers, tag and limits of a sarn.serialize module."},
    {"dump_msgpack", dump_full, METH_O, "The full MessagePack form of a value. Never raises once configured."},
    {"dump_msgpack_lightweight_repr", dump_lightweight, METH_O,
     "The lightweight MessagePack form of a value. Never raises once configured."},
    {"visits", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(visits)), METH_FASTCALL,
     "How many values one dump of a value looks at (items, attributes, items of short reprs), for tests."},
    {"skips_file", skips_file, METH_O, "Whether the frame filter's fixed tests skip code of this file."},
    {"task_keys", task_keys_function, METH_O, "The values of the task entries found in a block of a document."},
    {"document_facts", document_facts_function, METH_O,
     "Counts and labels of a trace document, read without decoding it; None when it is not one."},
    {"unpack_records", unpack_records_function, METH_VARARGS,
     "(records, end): up to count records decoded from byte start on, stopping before one left to Python."},
    {"unpack_calls", unpack_calls_function, METH_VARARGS,
     "(records, end): as unpack_records, frame records as tuples of their call fields, values as bytes."},
    {"call_index", call_index_function, METH_VARARGS,
     "(names, exceptions): the call index of a trace document, or None when the Python reader must read it."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "sarn._serialize",
    "The native walker of sarn.serialize.",
    sizeof(State),
    methods,
    nullptr,
    traverse,
    clear,
    free_state,
};

}  // namespace

}  // namespace sarn::serialize

PyMODINIT_FUNC PyInit__serialize() {
    PyObject* module = PyModule_Create(&sarn::serialize::module_def);
    if (module == nullptr) return nullptr;
#ifdef Py_GIL_DISABLED
    // Each walk keeps its own state, and what it reads of shared objects it
    // reads under their locks.
    if (PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
#endif
    // Module state starts as zeroed memory; give it a constructed State.
    new (PyModule_GetState(module)) sarn::serialize::State();
    PyObject* api = PyCapsule_New(const_cast<sarn::SerializerApi*>(&sarn::serialize::native_api),
                                  sarn::SerializerApi::capsule_name, nullptr);
    if (api == nullptr || PyModule_AddObject(module, "_native_api", api) < 0) {
        Py_XDECREF(api);
        Py_DECREF(module);
        return nullptr;
    }
    PyTypeObject* show_pass = sarn::serialize::show_pass_type();
    if (show_pass == nullptr || PyModule_AddObject(module, "ShowPass", reinterpret_cast<PyObject*>(show_pass)) < 0) {
        Py_XDECREF(show_pass);
        Py_DECREF(module);
        return nullptr;
    }
    PyTypeObject* json_pass = sarn::serialize::json_pass_type();
    if (json_pass == nullptr || PyModule_AddObject(module, "JsonPass", reinterpret_cast<PyObject*>(json_pass)) < 0) {
        Py_XDECREF(json_pass);
        Py_DECREF(module);
        return nullptr;
    }
    PyTypeObject* chrome_pass = sarn::serialize::chrome_pass_type();
    if (chrome_pass == nullptr ||
        PyModule_AddObject(module, "ChromePass", reinterpret_cast<PyObject*>(chrome_pass)) < 0) {
        Py_XDECREF(chrome_pass);
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
