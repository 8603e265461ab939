#include "lib/trace_document_type.hpp"

#include <memory>
#include <new>

#include "lib/entry_point.hpp"

namespace sarn {

namespace {

struct TraceDocumentObject {
    PyObject_HEAD
    TraceDocument* document;  // null once closed
};

PyTypeObject* document_type = nullptr;

TraceDocument* document_of(PyObject* self) { return reinterpret_cast<TraceDocumentObject*>(self)->document; }

PyObject* refuse_document_construction(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "No constructor defined");
    return nullptr;
}

void document_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete std::exchange(reinterpret_cast<TraceDocumentObject*>(self)->document, nullptr);
    type->tp_free(self);
    Py_DECREF(type);
}

Result<TraceDocument*> open_document(PyObject* self) {
    TraceDocument* document = document_of(self);
    if (document == nullptr) return fail(Error::raise(PyExc_ValueError, "the trace document is closed"));
    return document;
}

// read(size=-1): the next `size` bytes (all that are left when negative),
// b"" at the end.
PyObject* read_method(PyObject* self, PyObject* args) {
    Py_ssize_t wanted = -1;
    if (!PyArg_ParseTuple(args, "|n:read", &wanted)) return nullptr;
    return entry_point([&]() -> Result<Ref> {
        auto document = open_document(self);
        if (!document) return fail(std::move(document.error()));
        const uint64_t left = (*document)->size() - (*document)->position();
        const uint64_t size = wanted < 0 ? left : std::min(left, static_cast<uint64_t>(wanted));
        Ref bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
        if (!bytes) return fail_fetch();
        auto read = (*document)->read(PyBytes_AS_STRING(bytes.get()), size);
        if (!read) return fail(std::move(read.error()));
        if (*read != size) return fail_internal("the trace document is shorter than its size");
        return bytes;
    });
}

PyObject* rewind_method(PyObject* self, PyObject*) {
    return entry_point([&]() -> Result<Ref> {
        auto document = open_document(self);
        if (!document) return fail(std::move(document.error()));
        (*document)->rewind();
        return none();
    });
}

// Frees the records; reading afterwards is an error.
PyObject* close_method(PyObject* self, PyObject*) {
    delete std::exchange(reinterpret_cast<TraceDocumentObject*>(self)->document, nullptr);
    Py_RETURN_NONE;
}

PyObject* size_getter(PyObject* self, void*) {
    return entry_point([&]() -> Result<Ref> {
        auto document = open_document(self);
        if (!document) return fail(std::move(document.error()));
        return checked(PyLong_FromUnsignedLongLong((*document)->size()));
    });
}

bool put(PyObject* dict, const char* key, PyObject* value) {
    Ref owned = Ref::steal(value);
    return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

PyObject* text(const std::string& value) {
    return PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()), "replace");
}

Result<Ref> facts_dict(const DocumentFacts& facts) {
    Ref argv = Ref::steal(PyList_New(0));
    if (!argv) return fail_fetch();
    for (const std::string& arg : facts.argv) {
        Ref item = Ref::steal(text(arg));
        if (!item || PyList_Append(argv.get(), item.get()) < 0) return fail_fetch();
    }
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return fail_fetch();
    PyObject* d = dict.get();
    PyObject* test_record = facts.test_record
        ? PyBytes_FromStringAndSize(facts.test_record->data(), static_cast<Py_ssize_t>(facts.test_record->size()))
        : (Py_INCREF(Py_None), Py_None);
    bool ok = put(d, "started", PyFloat_FromDouble(facts.started)) && put(d, "source", text(facts.source)) &&
              put(d, "argv", argv.release()) && put(d, "test_record", test_record) &&
              put(d, "frame_count", PyLong_FromUnsignedLongLong(facts.counts.calls)) &&
              put(d, "record_count", PyLong_FromUnsignedLongLong(facts.counts.records)) &&
              put(d, "thread_count", PyLong_FromUnsignedLongLong(facts.counts.threads.size())) &&
              put(d, "sql_count", PyLong_FromUnsignedLongLong(facts.sql.queries)) &&
              put(d, "sql_time", PyFloat_FromDouble(facts.sql.time)) &&
              put(d, "unrecorded_threads", PyLong_FromUnsignedLongLong(facts.unrecorded_threads));
    if (!ok) return fail_fetch();
    return dict;
}

PyObject* facts_getter(PyObject* self, void*) {
    return entry_point([&]() -> Result<Ref> {
        auto document = open_document(self);
        if (!document) return fail(std::move(document.error()));
        return facts_dict((*document)->facts());
    });
}

PyMethodDef document_methods[] = {
    {"read", read_method, METH_VARARGS, "read($self, size=-1, /)\n--\n\n"},
    {"rewind", rewind_method, METH_NOARGS, "rewind($self)\n--\n\n"},
    {"close", close_method, METH_NOARGS, "close($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef document_getters[] = {
    {"size", size_getter, nullptr, "the document's length in bytes", nullptr},
    {"facts", facts_getter, nullptr, "started, source, argv, test_record, unrecorded_threads, the record counts and the SQL queries' count and time", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot document_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(refuse_document_construction)},
    {Py_tp_dealloc, reinterpret_cast<void*>(document_dealloc)},
    {Py_tp_methods, document_methods},
    {Py_tp_getset, document_getters},
    {0, nullptr},
};

PyType_Spec document_type_def = {
    "sarn._sarn.TraceDocument",
    sizeof(TraceDocumentObject),
    0,
    Py_TPFLAGS_DEFAULT,
    document_slots,
};

}  // namespace

Result<Ref> new_trace_document(TraceDocument&& document) {
    if (document_type == nullptr) {
        PyObject* type = PyType_FromSpec(&document_type_def);
        if (type == nullptr) return fail(Error::internal_from_pending("failed to create type object for TraceDocument"));
        document_type = reinterpret_cast<PyTypeObject*>(type);
    }
    auto owned = std::make_unique<TraceDocument>(std::move(document));
    Ref instance = Ref::steal(document_type->tp_alloc(document_type, 0));
    if (!instance) return fail_fetch();
    reinterpret_cast<TraceDocumentObject*>(instance.get())->document = owned.release();
    return instance;
}

}  // namespace sarn
