#include "lib/trace_document_type.hpp"

#include <algorithm>
#include <atomic>
#include <memory>
#include <new>

#include "lib/entry_point.hpp"

namespace sarn {

namespace {

struct TraceDocumentObject {
    PyObject_HEAD
    TraceDocument* document;  // null once closed
    // Pieces handed out as buffers and still alive (freed on any thread).
    std::atomic<Py_ssize_t> exports;
};

PyTypeObject* document_type = nullptr;

// One in-memory piece of a document, lent out as a read-only buffer; it
// keeps the document open while it lives.
struct PieceObject {
    PyObject_HEAD
    PyObject* document;
    const char* data;
    Py_ssize_t size;
};

PyTypeObject* piece_type = nullptr;

void piece_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto* piece = reinterpret_cast<PieceObject*>(self);
    if (piece->document != nullptr) {
        reinterpret_cast<TraceDocumentObject*>(piece->document)->exports.fetch_sub(1, std::memory_order_relaxed);
        Py_CLEAR(piece->document);
    }
    type->tp_free(self);
    Py_DECREF(type);
}

int piece_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    auto* piece = reinterpret_cast<PieceObject*>(self);
    return PyBuffer_FillInfo(view, self, const_cast<char*>(piece->data), piece->size, 1, flags);
}

PyType_Slot piece_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(piece_dealloc)},
    {0, nullptr},
};

PyType_Spec piece_type_def = {
    "sarn._sarn.TraceDocumentPiece",
    sizeof(PieceObject),
    0,
    Py_TPFLAGS_DEFAULT,
    piece_slots,
};

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
    if (reinterpret_cast<TraceDocumentObject*>(self)->exports.load(std::memory_order_relaxed) > 0) {
        PyErr_SetString(PyExc_BufferError, "the trace document's pieces are still in use");
        return nullptr;
    }
    delete std::exchange(reinterpret_cast<TraceDocumentObject*>(self)->document, nullptr);
    Py_RETURN_NONE;
}

// A memoryview of one piece, which keeps the document open.
Result<Ref> piece_view(PyObject* self, const RecordChunk& chunk) {
    if (piece_type == nullptr) {
        PyObject* type = PyType_FromSpec(&piece_type_def);
        if (type == nullptr) return fail(Error::internal_from_pending("failed to create type object for a piece"));
        piece_type = reinterpret_cast<PyTypeObject*>(type);
        // Set here rather than as a slot: CPython 3.8 takes no buffer slot in a spec.
        piece_type->tp_as_buffer->bf_getbuffer = piece_getbuffer;
    }
    Ref piece = Ref::steal(piece_type->tp_alloc(piece_type, 0));
    if (!piece) return fail_fetch();
    auto* object = reinterpret_cast<PieceObject*>(piece.get());
    object->document = Ref::borrow(self).release();
    reinterpret_cast<TraceDocumentObject*>(self)->exports.fetch_add(1, std::memory_order_relaxed);
    object->data = chunk.bytes.data();
    object->size = static_cast<Py_ssize_t>(chunk.size);
    return checked(PyMemoryView_FromObject(piece.get()));
}

// pieces(): the document as read-only memoryviews of its pieces in memory,
// in order, read without a copy (the document cannot be closed while one
// lives); None when some of its records are in a spill file.
PyObject* pieces_method(PyObject* self, PyObject*) {
    return entry_point([&]() -> Result<Ref> {
        auto document = open_document(self);
        if (!document) return fail(std::move(document.error()));
        const std::vector<RecordChunk>& pieces = (*document)->pieces();
        if (std::any_of(pieces.begin(), pieces.end(), [](const RecordChunk& piece) { return piece.spilled(); })) {
            return none();
        }
        Ref views = Ref::steal(PyList_New(0));
        if (!views) return fail_fetch();
        for (const RecordChunk& piece : pieces) {
            if (piece.size == 0) continue;
            auto view = piece_view(self, piece);
            if (!view) return view;
            if (PyList_Append(views.get(), view->get()) < 0) return fail_fetch();
        }
        return views;
    });
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
    {"pieces", pieces_method, METH_NOARGS, "pieces($self)\n--\n\n"},
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
    new (&reinterpret_cast<TraceDocumentObject*>(instance.get())->exports) std::atomic<Py_ssize_t>(0);
    return instance;
}

}  // namespace sarn
