#include "serialize/document_facts.hpp"

#include <unordered_map>
#include <unordered_set>

#include "serialize/msgpack_cursor.hpp"

namespace sarn::serialize {

namespace {

class Scan {
public:
    explicit Scan(std::string_view document) : cursor_(document) {}

    std::optional<DocumentFacts> run() {
        Head top = cursor_.next();
        if (top.kind != Kind::map) return std::nullopt;
        for (uint64_t i = 0; i < top.items && !cursor_.failed(); ++i) {
            Head key = cursor_.next();
            if (key.kind != Kind::str) {
                cursor_.skip_items(key);
                cursor_.skip();
                continue;
            }
            top_level_entry(key.data);
        }
        if (cursor_.failed()) return std::nullopt;
        facts_.thread_count = threads_.size();
        return std::move(facts_);
    }

private:
    void top_level_entry(std::string_view key) {
        if (key == "frames_of_interest") {
            records();
        } else if (key == "frames") {
            Head map = cursor_.next();
            if (map.kind != Kind::map) return cursor_.skip_items(map);
            for (uint64_t i = 0; i < map.items && !cursor_.failed(); ++i) {
                cursor_.skip();  // the thread's native id
                records();
            }
        } else if (key == "timestamp") {
            Head value = cursor_.next();
            facts_.started = number_of(value);
            cursor_.skip_items(value);
        } else if (key == "meta") {
            Head map = cursor_.next();
            if (map.kind != Kind::map) return cursor_.skip_items(map);
            for (uint64_t i = 0; i < map.items && !cursor_.failed(); ++i) {
                Head name = cursor_.next();
                cursor_.skip_items(name);
                Head value = cursor_.next();
                if (name.kind == Kind::str && name.data == "source" && value.kind == Kind::str) {
                    facts_.source = std::string(value.data);
                }
                cursor_.skip_items(value);
            }
        } else if (key == "command_line_args") {
            Head array = cursor_.next();
            if (array.kind != Kind::array) return cursor_.skip_items(array);
            for (uint64_t i = 0; i < array.items && !cursor_.failed(); ++i) {
                Head item = cursor_.next();
                if (item.kind == Kind::str) facts_.argv.emplace_back(item.data);
                cursor_.skip_items(item);
            }
        } else {
            cursor_.skip();
        }
    }

    // An array of records; anything else in its place is skipped.
    void records() {
        Head array = cursor_.next();
        if (array.kind != Kind::array) return cursor_.skip_items(array);
        for (uint64_t i = 0; i < array.items && !cursor_.failed(); ++i) {
            ++facts_.record_count;
            record();
        }
    }

    void record() {
        Head map = cursor_.next();
        if (map.kind != Kind::map) return cursor_.skip_items(map);
        std::string_view type, event, test_name, frame_id;
        bool has_type = false, has_test_name = false;
        std::string_view thread;
        std::optional<double> timestamp;
        for (uint64_t i = 0; i < map.items && !cursor_.failed(); ++i) {
            Head key = cursor_.next();
            cursor_.skip_items(key);
            const char* value_start = cursor_.position();
            Head value = cursor_.next();
            cursor_.skip_items(value);
            if (key.kind != Kind::str) continue;
            if (key.data == "type" && value.kind == Kind::str) {
                type = value.data;
                has_type = true;
            } else if (key.data == "event" && value.kind == Kind::str) {
                event = value.data;
            } else if (key.data == "thread_native_id") {
                // Equal ids have equal encodings: the core writes the smallest form.
                thread = std::string_view(value_start, static_cast<size_t>(cursor_.position() - value_start));
            } else if (key.data == "test_name" && value.kind == Kind::str) {
                test_name = value.data;
                has_test_name = true;
            } else if (key.data == "frame_id" && value.kind == Kind::str) {
                frame_id = value.data;
            } else if (key.data == "timestamp") {
                timestamp = number_of(value);
            }
        }
        if (cursor_.failed() || !has_type) return;
        if (type == "frame") {
            // A record without the key counts as nil, like a record that says nil.
            threads_.emplace(thread.empty() ? std::string_view("\xc0", 1) : thread);
            if (event == "call") ++facts_.frame_count;
            return;
        }
        // A resumption's call record (just before it) was not a new frame.
        if (type == "resumption" && facts_.frame_count > 0) --facts_.frame_count;
        ++facts_.other_types[std::string(type)];
        if (type == "start_test" && has_test_name && !facts_.test_name) facts_.test_name = std::string(test_name);
        if (type == "sql_query" && !frame_id.empty() && timestamp) {
            query_starts_[frame_id] = *timestamp;
        } else if (type == "sql_query_end" && timestamp) {
            // A query's time: its end record's timestamp less its call record's (same frame id).
            auto start = query_starts_.find(frame_id);
            if (start != query_starts_.end()) {
                if (*timestamp > start->second) facts_.sql_time += *timestamp - start->second;
                query_starts_.erase(start);
            }
        }
    }

    Cursor cursor_;
    DocumentFacts facts_;
    std::unordered_set<std::string_view> threads_;
    std::unordered_map<std::string_view, double> query_starts_;  // SQL queries waiting for their end
};

}  // namespace

std::optional<DocumentFacts> read_document_facts(std::string_view document) { return Scan(document).run(); }

}  // namespace sarn::serialize

#include "utils/interpreter_lock.hpp"
#include "utils/ref.hpp"

namespace sarn::serialize {

namespace {

PyObject* none() {
    Py_INCREF(Py_None);
    return Py_None;
}

// Sets `value` (a new reference, may be null after a failure) under `key`.
bool put(PyObject* dict, const char* key, PyObject* value) {
    Ref owned = Ref::steal(value);
    return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

PyObject* text(const std::string& value) {
    return PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()), "replace");
}

PyObject* optional_text(const std::optional<std::string>& value) {
    if (!value) return none();
    return text(*value);
}

Ref facts_dict(const DocumentFacts& facts) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return dict;
    Ref argv = Ref::steal(PyList_New(0));
    Ref types = Ref::steal(PyDict_New());
    if (!argv || !types) return Ref();
    for (const std::string& arg : facts.argv) {
        Ref item = Ref::steal(text(arg));
        if (!item || PyList_Append(argv.get(), item.get()) < 0) return Ref();
    }
    for (const auto& [type, count] : facts.other_types) {
        Ref count_object = Ref::steal(PyLong_FromUnsignedLongLong(count));
        if (!count_object || PyDict_SetItemString(types.get(), type.c_str(), count_object.get()) < 0) return Ref();
    }
    PyObject* d = dict.get();
    bool ok = put(d, "started", facts.started ? PyFloat_FromDouble(*facts.started) : none()) &&
              put(d, "source", optional_text(facts.source)) && put(d, "test_name", optional_text(facts.test_name)) &&
              put(d, "argv", argv.release()) && put(d, "other_types", types.release()) &&
              put(d, "frame_count", PyLong_FromUnsignedLongLong(facts.frame_count)) &&
              put(d, "record_count", PyLong_FromUnsignedLongLong(facts.record_count)) &&
              put(d, "thread_count", PyLong_FromUnsignedLongLong(facts.thread_count)) &&
              put(d, "sql_time", PyFloat_FromDouble(facts.sql_time));
    if (!ok) return Ref();
    return dict;
}

}  // namespace

PyObject* document_facts_function(PyObject*, PyObject* data) noexcept {
    Py_buffer view;
    if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) < 0) return nullptr;
    try {
        std::optional<DocumentFacts> facts;
        {
            WithoutInterpreterLock released;
            facts = read_document_facts(
                std::string_view(static_cast<const char*>(view.buf), static_cast<size_t>(view.len)));
        }
        PyBuffer_Release(&view);
        if (!facts) return none();
        return facts_dict(*facts).release();
    } catch (const std::bad_alloc&) {
        PyBuffer_Release(&view);
        return PyErr_NoMemory();
    }
}

}  // namespace sarn::serialize
