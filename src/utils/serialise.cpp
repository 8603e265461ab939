#include "utils/serialise.hpp"

#include <atomic>

#include "utils/convert.hpp"
#include "utils/host_import.hpp"
#include "utils/names.hpp"
#include "utils/serializer_api.hpp"

namespace sarn {

namespace {

Status append_bytes(PyObject* result, Bytes& out) {
    if (PyBytes_Check(result)) {
        out.append(PyBytes_AS_STRING(result), static_cast<size_t>(PyBytes_GET_SIZE(result)));
        return {};
    }
    if (PyByteArray_Check(result)) {
        out.append(PyByteArray_AS_STRING(result), static_cast<size_t>(PyByteArray_GET_SIZE(result)));
        return {};
    }
    if (PyUnicode_Check(result)) return fail(Error::raise(PyExc_TypeError, "Can't extract `str` to `Vec`"));
    if (!PySequence_Check(result)) return fail(conversion_error(result, "Sequence"));
    auto iterator = checked(PyObject_GetIter(result));
    if (!iterator) return fail(std::move(iterator.error()));
    while (Ref item = Ref::steal(PyIter_Next(iterator->get()))) {
        // Integers only: CPython 3.8's PyLong_AsLong would truncate a float.
        Ref index = Ref::steal(PyNumber_Index(item.get()));
        if (!index) return fail_fetch();
        long value = PyLong_AsLong(index.get());
        if (value == -1 && PyErr_Occurred()) return fail_fetch();
        if (value < 0 || value > 255) {
            return fail(Error::raise(PyExc_OverflowError, "a serialised byte must be in range(0, 256)"));
        }
        out.push_back(static_cast<char>(value));
    }
    if (PyErr_Occurred()) return fail_fetch();
    return {};
}

// sarn._serialize's native entry when `function` is one of its two
// built-ins; null otherwise (and when that module gives no entry of this
// build's version, which is then looked for only once).
const SerializerApi* native_serializer(PyObject* function) {
    if (!PyCFunction_Check(function)) return nullptr;
    // Not a guarded initialiser: the import may let another thread run,
    // which must not wait on a guard. Threads that look at the same time
    // find the same entry.
    static std::atomic<const SerializerApi*> entry{nullptr};
    static std::atomic<bool> looked{false};
    if (!looked.load(std::memory_order_acquire)) {
        PendingErrorScope keep_pending;  // a failed import leaves nothing behind
        auto* found = static_cast<const SerializerApi*>(PyCapsule_Import(SerializerApi::capsule_name, 0));
        if (found != nullptr && found->version == SerializerApi::current_version) {
            entry.store(found, std::memory_order_relaxed);
        }
        looked.store(true, std::memory_order_release);
    }
    const SerializerApi* api = entry.load(std::memory_order_relaxed);
    if (api == nullptr) return nullptr;
    PyCFunction c_function = PyCFunction_GET_FUNCTION(function);
    return c_function == api->full || c_function == api->lightweight ? api : nullptr;
}

// The serialiser function that the host names now.
Result<Ref> serialiser(bool lightweight_repr) {
    const Names* name = names();
    if (name == nullptr) return fail_fetch();
    constinit static HostAttribute full, lightweight;
    return (lightweight_repr ? lightweight : full)
        .get(name->sarn_serialize, lightweight_repr ? name->dump_msgpack_lightweight_repr : name->dump_msgpack);
}

}  // namespace

Result<SerialiserCache::Found> SerialiserCache::get(bool lightweight_repr) {
#if PY_VERSION_HEX >= 0x030D0000
    Entry& entry = entries_[lightweight_repr ? 1 : 0];
    if (entry.function && entry.changes == dict_changes::count.load(std::memory_order_acquire)) {
        return Found{entry.function.get(), entry.api};
    }
    // Both dicts are watched before the count is read and the function
    // looked up: a change made after that reading is counted.
    const Names* name = names();
    if (name == nullptr) return fail_fetch();
    PyObject* modules = PyImport_GetModuleDict();
    bool watched = modules != nullptr && PyDict_CheckExact(modules) && dict_changes::watch(modules);
    if (watched) {
        Ref module = dict_item(modules, name->sarn_serialize);
        PyErr_Clear();
        watched = module && PyModule_CheckExact(module.get()) && dict_changes::watch(PyModule_GetDict(module.get()));
    }
    const uint64_t changes = dict_changes::count.load(std::memory_order_acquire);
    auto function = serialiser(lightweight_repr);
    if (!function) return fail(std::move(function.error()));
    entry.function = std::move(*function);
    entry.api = native_serializer(entry.function.get());
    entry.changes = watched ? changes : 0;
    return Found{entry.function.get(), entry.api};
#else
    Entry& entry = entries_[lightweight_repr ? 1 : 0];
    if (entry.function && entry.lookup.still(entry.function.get())) return Found{entry.function.get(), entry.api};
    const Names* name = names();
    if (name == nullptr) return fail_fetch();
    auto function = entry.lookup.get(name->sarn_serialize,
                                     lightweight_repr ? name->dump_msgpack_lightweight_repr : name->dump_msgpack);
    if (!function) return fail(std::move(function.error()));
    entry.function = std::move(*function);
    entry.api = native_serializer(entry.function.get());
    return Found{entry.function.get(), entry.api};
#endif
}

Status RecordSerialiser::bind(bool lightweight_repr, SerialiserCache* cache) {
    if (cache != nullptr) {
        auto found = cache->get(lightweight_repr);
        if (!found) return fail(std::move(found.error()));
        function_ = found->function;
        api_ = found->api;
    } else {
        auto function = serialiser(lightweight_repr);
        if (!function) return fail(std::move(function.error()));
        owned_ = std::move(*function);
        function_ = owned_.get();
        api_ = native_serializer(function_);
    }
    // The form is the function's: either built-in may be named for either.
    if (api_ != nullptr) lightweight_ = PyCFunction_GET_FUNCTION(function_) == api_->lightweight;
    return {};
}

Status RecordSerialiser::append(PyObject* value, Bytes& out) {
    if (api_ != nullptr) {
        // The built-in serialisers write None as nil: the argument of every
        // call event, written here without crossing into their module.
        if (value == Py_None) {
            out.push_back('\xc0');
            return {};
        }
        // The rules are asked for at each value: Python code run for the one
        // before may have configured the module anew.
        if (const PlainRules rules = api_->plain_rules(function_);
            rules.limits != nullptr && write_plain_scalar(*rules.limits, value, out)) {
            return {};
        }
        if (!api_->append(function_, value, out, memo_)) return fail_fetch();
        return {};
    }
    auto result = checked(PyObject_CallFunctionObjArgs(function_, value, nullptr));
    if (!result) return fail(std::move(result.error()));
    return append_bytes(result->get(), out);
}

Status RecordSerialiser::append(const FrameLocals& locals, Bytes& out) {
    if (locals.dict() == nullptr && api_ != nullptr) {
        if (const PlainRules rules = api_->plain_rules(function_);
            rules.limits != nullptr && write_plain_entries(rules, locals.entries(), locals.size(), lightweight_, out)) {
            return {};
        }
        switch (api_->append_entries(function_, locals.entries(), locals.size(), out, memo_)) {
            case EntriesWritten::written: return {};
            case EntriesWritten::failed: return fail_fetch();
            case EntriesWritten::not_applicable: break;
        }
    }
    auto dict = locals.as_dict();
    if (!dict) return fail(std::move(dict.error()));
    return append(dict->get(), out);
}

Result<Bytes> serialise_value(PyObject* value, bool lightweight_repr) {
    RecordSerialiser serialiser;
    if (auto bound = serialiser.bind(lightweight_repr); !bound) return fail(std::move(bound.error()));
    Bytes out;
    if (auto appended = serialiser.append(value, out); !appended) return fail(std::move(appended.error()));
    return out;
}

}  // namespace sarn
