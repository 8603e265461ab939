#include "serialize/record_reader.hpp"

#include <cstring>
#include <iterator>
#include <new>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "lib/entry_point.hpp"
#include "serialize/msgpack_cursor.hpp"
#include "utils/error.hpp"
#include "utils/ref.hpp"

namespace sarn::serialize {

namespace {

// Deeper values are left to the Python reader, which has its own limit.
constexpr int max_depth = 512;
// Texts up to this size are decoded once per call and shared: map keys,
// types, events, names and paths repeat in every record.
constexpr size_t memo_size = 64;

// A value decoded, or nothing: the value is left to the Python reader (no
// exception is pending then). An Error is a failure of the interpreter
// (memory).
using Decoded = Result<Ref>;

// A text as the Python reader decodes it (errors replaced).
Decoded decode_text(std::string_view bytes) {
    return checked(PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "replace"));
}

class Decoder {
public:
    explicit Decoder(std::string_view data) : cursor_(data), end_(data.data() + data.size()) {}

    [[nodiscard]] const char* position() const noexcept { return cursor_.position(); }

    // Shares the texts through `memo` (bounded) rather than per call.
    void share(TextMemo* memo) { shared_ = memo; }

    Decoded value(int depth) {
        if (depth > max_depth) return Ref();
        Head head = cursor_.next();
        if (cursor_.failed()) return Ref();
        switch (head.kind) {
            case Kind::nil: return Ref::borrow(Py_None);
            case Kind::boolean: return Ref::borrow(head.uint_value ? Py_True : Py_False);
            case Kind::uint: return checked(PyLong_FromUnsignedLongLong(head.uint_value));
            case Kind::sint: return checked(PyLong_FromLongLong(head.sint_value));
            case Kind::real: {
                double number;
                std::memcpy(&number, &head.uint_value, sizeof number);
                return checked(PyFloat_FromDouble(number));
            }
            case Kind::str: return text(head.data);
            case Kind::bin:
                return checked(PyBytes_FromStringAndSize(head.data.data(), static_cast<Py_ssize_t>(head.data.size())));
            case Kind::array: return array(head.items, depth);
            case Kind::map: return map(head.items, depth);
            default: return Ref();  // an extension type, or damage
        }
    }

private:
    // A count of items that the bytes left cannot hold is damage.
    [[nodiscard]] bool fits(uint64_t items) const noexcept {
        return items <= static_cast<uint64_t>(end_ - cursor_.position());
    }

    Decoded text(std::string_view bytes) {
        if (bytes.size() > memo_size) return decode_text(bytes);
        if (shared_ != nullptr) {
            auto found = shared_->texts.find(bytes);
            if (found != shared_->texts.end()) return found->second.dup();
            Decoded decoded = decode_text(bytes);
            if (decoded && *decoded && shared_->texts.size() < shared_limit) {
                shared_->texts.emplace(std::string(bytes), decoded->dup());
            }
            return decoded;
        }
        auto found = texts_.find(bytes);
        if (found != texts_.end()) return found->second.dup();
        Decoded decoded = decode_text(bytes);
        if (decoded && *decoded) texts_.emplace(bytes, decoded->dup());
        return decoded;
    }


    Decoded array(uint64_t items, int depth) {
        if (!fits(items)) return Ref();
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(items)));
        if (!list) return fail_fetch();
        for (uint64_t i = 0; i < items; ++i) {
            Decoded item = value(depth + 1);
            if (!item || !*item) return item;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item->release());
        }
        return list;
    }

    Decoded map(uint64_t items, int depth) {
        if (!fits(items)) return Ref();
        Ref dict = Ref::steal(PyDict_New());
        if (!dict) return fail_fetch();
        for (uint64_t i = 0; i < items; ++i) {
            Decoded key = value(depth + 1);
            if (!key || !*key) return key;
            // An unhashable key fails as the Python reader says.
            if (PyList_CheckExact(key->get()) || PyDict_CheckExact(key->get())) return Ref();
            Decoded item = value(depth + 1);
            if (!item || !*item) return item;
            if (PyDict_SetItem(dict.get(), key->get(), item->get()) < 0) return fail_fetch();
        }
        return dict;
    }

    static constexpr size_t shared_limit = 1 << 16;

    Cursor cursor_;
    const char* end_;
    std::unordered_map<std::string_view, Ref> texts_;
    TextMemo* shared_ = nullptr;
};

// The types each field may have besides None, as the Python reader checks
// them (a bool is not an integer there).
enum class Want { text, integer, number, map };

bool has_type(PyObject* value, Want want) {
    switch (want) {
        case Want::text: return PyUnicode_CheckExact(value);
        case Want::integer: return PyLong_CheckExact(value);
        case Want::number: return PyLong_CheckExact(value) || PyFloat_CheckExact(value);
        case Want::map: return PyDict_CheckExact(value);
    }
    return false;
}

struct Field {
    const char* name;
    Want want;
};

constexpr Field record_fields[] = {{"type", Want::text},     {"frame_id", Want::text},
                                   {"thread", Want::text},   {"thread_native_id", Want::integer},
                                   {"timestamp", Want::number}, {"user_code_call_site", Want::map}};
constexpr Field frame_fields[] = {{"event", Want::text}, {"qualname", Want::text}, {"co_name", Want::text},
                                  {"path", Want::text}};
constexpr Field site_fields[] = {{"call_frame_id", Want::text}, {"line_number", Want::integer}};

// The fields' names as Python texts, made once per call: a lookup by a text
// whose hash is known is what makes the check cheap.
template <size_t N>
struct Keys {
    Ref names[N];

    bool make(const Field (&fields)[N]) {
        for (size_t i = 0; i < N; ++i) {
            names[i] = Ref::steal(PyUnicode_InternFromString(fields[i].name));
            if (!names[i]) return false;
        }
        return true;
    }
};

class ShapeCheck {
public:
    Status make() {
        frame_ = Ref::steal(PyUnicode_InternFromString("frame"));
        if (!frame_ || !record_.make(record_fields) || !frame_keys_.make(frame_fields) || !site_.make(site_fields)) {
            return fail_fetch();
        }
        return {};
    }

    // The shape the Python reader checks; a record that fails it is left to
    // that reader, which says what is wrong where.
    Result<bool> fits(PyObject* record) const {
        if (!PyDict_CheckExact(record)) return false;
        Result<bool> fields = fields_fit(record, record_fields, record_);
        if (!fields || !*fields) return fields;
        PyObject* type = PyDict_GetItemWithError(record, record_.names[0].get());
        if (type != nullptr && PyUnicode_CheckExact(type) && PyUnicode_Compare(type, frame_.get()) == 0) {
            fields = fields_fit(record, frame_fields, frame_keys_);
            if (!fields || !*fields) return fields;
        }
        if (PyErr_Occurred()) return fail_fetch();
        PyObject* site = PyDict_GetItemWithError(record, record_.names[5].get());
        if (site == nullptr || site == Py_None) return PyErr_Occurred() ? Result<bool>(fail_fetch()) : true;
        return fields_fit(site, site_fields, site_);
    }

private:
    // Whether the fields are None, absent or of their type.
    template <size_t N>
    static Result<bool> fields_fit(PyObject* dict, const Field (&fields)[N], const Keys<N>& keys) {
        for (size_t i = 0; i < N; ++i) {
            PyObject* value = PyDict_GetItemWithError(dict, keys.names[i].get());
            if (value == nullptr && PyErr_Occurred()) return fail_fetch();
            if (value != nullptr && value != Py_None && !has_type(value, fields[i].want)) return false;
        }
        return true;
    }

    Ref frame_;
    Keys<std::size(record_fields)> record_;
    Keys<std::size(frame_fields)> frame_keys_;
    Keys<std::size(site_fields)> site_;
};

Result<Ref> unpack_records(std::string_view data, Py_ssize_t start, Py_ssize_t count) {
    Ref records = Ref::steal(PyList_New(0));
    if (!records) return fail_fetch();
    if (start < 0 || static_cast<size_t>(start) > data.size()) {
        return fail(Error::raise(PyExc_ValueError, "start out of range"));
    }
    ShapeCheck shape;
    if (Status made = shape.make(); !made) return fail(std::move(made.error()));
    Decoder decoder(data.substr(static_cast<size_t>(start)));
    const char* end = decoder.position();
    for (Py_ssize_t i = 0; i < count; ++i) {
        Decoded record = decoder.value(0);
        if (!record) return fail(std::move(record.error()));
        if (!*record) break;
        Result<bool> fits = shape.fits(record->get());
        if (!fits) return fail(std::move(fits.error()));
        if (!*fits) break;
        if (PyList_Append(records.get(), record->get()) < 0) return fail_fetch();
        end = decoder.position();
    }
    return checked(Py_BuildValue("(On)", records.get(), static_cast<Py_ssize_t>(end - data.data())));
}

// --------------------------------------------------------------------------
// Calls: the fields a comparison or a search reads, values left as bytes

// The keys of a record read into the tuple of a frame record, by slot.
enum Slot : size_t {
    slot_event,
    slot_frame_id,
    slot_qualname,
    slot_co_name,
    slot_path,
    slot_thread,
    slot_native_id,
    slot_timestamp,
    slot_site,
    slot_locals,
    slot_arg,
    slot_type,
    slot_count
};
constexpr std::string_view slot_keys[slot_count] = {
    "event", "frame_id", "qualname", "co_name", "path", "thread", "thread_native_id", "timestamp",
    "user_code_call_site", "locals", "arg", "type"};

// Reads records as unpack_calls describes them. A field is read from its
// value's bytes only once the record is known to be a frame record, so that
// the keys of other records keep whatever types their plugins gave them.
class CallReader {
public:
    CallReader(std::string_view data, std::string_view tag) : cursor_(data), tag_(tag) {}

    [[nodiscard]] const char* position() const noexcept { return cursor_.position(); }

    Decoded record(const ShapeCheck& shape) {
        const char* start = cursor_.position();
        Head head = cursor_.next();
        if (cursor_.failed() || head.kind != Kind::map) return Ref();
        std::string_view spans[slot_count] = {};
        for (uint64_t i = 0; i < head.items; ++i) {
            Head key = cursor_.next();
            // Other keys are judged by the Python reader (an unhashable one is damage).
            if (cursor_.failed() || key.kind != Kind::str) return Ref();
            const char* value = cursor_.position();
            cursor_.skip();
            if (cursor_.failed()) return Ref();
            for (size_t slot = 0; slot < slot_count; ++slot) {
                if (key.data == slot_keys[slot]) {
                    spans[slot] = std::string_view(value, static_cast<size_t>(cursor_.position() - value));
                    break;
                }
            }
        }
        std::string_view whole(start, static_cast<size_t>(cursor_.position() - start));
        Head type = peek(spans[slot_type]);
        if (type.kind == Kind::str && type.data == "frame") return frame(spans);
        return other(whole, shape);
    }

private:
    static Head peek(std::string_view span) {
        if (span.data() == nullptr) return Head{};
        Cursor cursor(span);
        return cursor.next();
    }

    // A record of another type, decoded whole and checked as unpack_records does.
    static Decoded other(std::string_view whole, const ShapeCheck& shape) {
        Decoder decoder(whole);
        Decoded record = decoder.value(0);
        if (!record || !*record) return record;
        Result<bool> fits = shape.fits(record->get());
        if (!fits) return fail(std::move(fits.error()));
        if (!*fits) return Ref();
        return record;
    }

    Decoded frame(const std::string_view (&spans)[slot_count]) {
        Ref tuple = Ref::steal(PyTuple_New(12));
        if (!tuple) return fail_fetch();
        // The tuple's slots, in order: the text fields, the native id, the
        // timestamp, the call site's two fields, locals and arg.
        constexpr Slot texts[] = {slot_event, slot_frame_id, slot_qualname, slot_co_name, slot_path, slot_thread};
        Py_ssize_t at = 0;
        for (Slot slot : texts) {
            Decoded field = text_field(spans[slot]);
            if (!field || !*field) return field;
            PyTuple_SET_ITEM(tuple.get(), at++, field->release());
        }
        Decoded native_id = number_field(spans[slot_native_id], false);
        if (!native_id || !*native_id) return native_id;
        PyTuple_SET_ITEM(tuple.get(), at++, native_id->release());
        Decoded timestamp = number_field(spans[slot_timestamp], true);
        if (!timestamp || !*timestamp) return timestamp;
        PyTuple_SET_ITEM(tuple.get(), at++, timestamp->release());
        Ref caller = Ref::borrow(Py_None);
        Ref line = Ref::borrow(Py_None);
        if (Head site = peek(spans[slot_site]); site.kind != Kind::nil && spans[slot_site].data() != nullptr) {
            if (site.kind != Kind::map) return Ref();
            Status read = read_site(spans[slot_site], caller, line);
            if (!read) return fail(std::move(read.error()));
            if (!caller || !line) return Ref();
        }
        PyTuple_SET_ITEM(tuple.get(), at++, caller.release());
        PyTuple_SET_ITEM(tuple.get(), at++, line.release());
        Decoded locals = locals_field(spans[slot_locals]);
        if (!locals || !*locals) return locals;
        PyTuple_SET_ITEM(tuple.get(), at++, locals->release());
        Decoded arg = spans[slot_arg].data() == nullptr ? Decoded(Ref::borrow(Py_None)) : bytes(spans[slot_arg]);
        if (!arg || !*arg) return arg;
        PyTuple_SET_ITEM(tuple.get(), at++, arg->release());
        return tuple;
    }

    // A text or nil (None); another type is left to the Python reader.
    Decoded text_field(std::string_view span) {
        if (span.data() == nullptr) return Ref::borrow(Py_None);
        Head head = peek(span);
        if (head.kind == Kind::nil) return Ref::borrow(Py_None);
        if (head.kind != Kind::str) return Ref();
        return text(head.data);
    }

    // An integer (or, with `real`, a number) or nil; a boolean is neither.
    static Decoded number_field(std::string_view span, bool real) {
        if (span.data() == nullptr) return Ref::borrow(Py_None);
        Head head = peek(span);
        switch (head.kind) {
            case Kind::nil: return Ref::borrow(Py_None);
            case Kind::uint: return checked(PyLong_FromUnsignedLongLong(head.uint_value));
            case Kind::sint: return checked(PyLong_FromLongLong(head.sint_value));
            case Kind::real: {
                if (!real) return Ref();
                double number;
                std::memcpy(&number, &head.uint_value, sizeof number);
                return checked(PyFloat_FromDouble(number));
            }
            default: return Ref();
        }
    }

    // The call site's caller frame id and line; either is left null when
    // the Python reader must judge the site.
    Status read_site(std::string_view span, Ref& caller, Ref& line) {
        Cursor cursor(span);
        Head head = cursor.next();
        for (uint64_t i = 0; i < head.items; ++i) {
            Head key = cursor.next();
            if (cursor.failed() || key.kind != Kind::str) {
                caller = Ref();
                return {};
            }
            const char* value = cursor.position();
            cursor.skip();
            std::string_view field(value, static_cast<size_t>(cursor.position() - value));
            if (key.data == "call_frame_id") {
                Decoded read = text_field(field);
                if (!read) return fail(std::move(read.error()));
                caller = std::move(*read);
            } else if (key.data == "line_number") {
                Decoded read = number_field(field, false);
                if (!read) return fail(std::move(read.error()));
                line = std::move(*read);
            }
            if (!caller || !line) return {};
        }
        return {};
    }

    // Plain locals as ((name, value bytes), ...); None when nil or absent;
    // anything else (a tagged map, other keys, not a map) as its bytes whole.
    Decoded locals_field(std::string_view span) {
        if (span.data() == nullptr) return Ref::borrow(Py_None);
        Cursor cursor(span);
        Head head = cursor.next();
        if (head.kind == Kind::nil) return Ref::borrow(Py_None);
        if (head.kind != Kind::map || !fits(head.items, span)) return bytes(span);
        Ref pairs = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(head.items)));
        if (!pairs) return fail_fetch();
        for (uint64_t i = 0; i < head.items; ++i) {
            Head key = cursor.next();
            if (cursor.failed() || key.kind != Kind::str || key.data == tag_) return bytes(span);
            const char* value = cursor.position();
            cursor.skip();
            if (cursor.failed()) return bytes(span);
            Decoded name = text(key.data);
            if (!name || !*name) return name;
            Decoded item = value_bytes(key.data, std::string_view(value, static_cast<size_t>(cursor.position() - value)));
            if (!item || !*item) return item;
            Ref pair = Ref::steal(PyTuple_Pack(2, name->get(), item->get()));
            if (!pair) return fail_fetch();
            PyTuple_SET_ITEM(pairs.get(), static_cast<Py_ssize_t>(i), pair.release());
        }
        return pairs;
    }

    static bool fits(uint64_t items, std::string_view span) noexcept { return items <= span.size(); }

    // A long value passed in `name` again (a loop's constant argument) is
    // the bytes object made for it last time: no copy, and its readers
    // compare it by identity and keep its hash.
    Decoded value_bytes(std::string_view name, std::string_view span) {
        if (span.size() <= shared_value_size) return bytes(span);
        auto [found, added] = last_values_.try_emplace(name);
        if (!added && found->second.first == span) return found->second.second.dup();
        Decoded made = bytes(span);
        if (made && *made) found->second = {span, made->dup()};
        return made;
    }

    static Decoded bytes(std::string_view span) {
        return checked(PyBytes_FromStringAndSize(span.data(), static_cast<Py_ssize_t>(span.size())));
    }

    Decoded text(std::string_view bytes) {
        if (bytes.size() > memo_size) return decode_text(bytes);
        auto found = texts_.find(bytes);
        if (found != texts_.end()) return found->second.dup();
        Decoded decoded = decode_text(bytes);
        if (decoded && *decoded) texts_.emplace(bytes, decoded->dup());
        return decoded;
    }


    // Values up to this size are cheaper to copy than to compare.
    static constexpr size_t shared_value_size = 64;

    Cursor cursor_;
    std::string_view tag_;
    std::unordered_map<std::string_view, Ref> texts_;
    // Per argument name, the last long value's bytes and the object made of them.
    std::unordered_map<std::string_view, std::pair<std::string_view, Ref>> last_values_;
};

Result<Ref> unpack_calls(std::string_view data, Py_ssize_t start, Py_ssize_t count, std::string_view tag) {
    Ref records = Ref::steal(PyList_New(0));
    if (!records) return fail_fetch();
    if (start < 0 || static_cast<size_t>(start) > data.size()) {
        return fail(Error::raise(PyExc_ValueError, "start out of range"));
    }
    ShapeCheck shape;
    if (Status made = shape.make(); !made) return fail(std::move(made.error()));
    CallReader reader(data.substr(static_cast<size_t>(start)), tag);
    const char* end = reader.position();
    for (Py_ssize_t i = 0; i < count; ++i) {
        Decoded record = reader.record(shape);
        if (!record) return fail(std::move(record.error()));
        if (!*record) break;
        if (PyList_Append(records.get(), record->get()) < 0) return fail_fetch();
        end = reader.position();
    }
    return checked(Py_BuildValue("(On)", records.get(), static_cast<Py_ssize_t>(end - data.data())));
}

}  // namespace

Result<Ref> decode_value(std::string_view data, TextMemo& memo) {
    Decoder decoder(data);
    decoder.share(&memo);
    return decoder.value(0);
}

Result<Ref> decode_fields(std::string_view data, TextMemo& memo, const std::vector<WantedField>& fields,
                          int depth) {
    Cursor cursor(data);
    Head head = cursor.next();
    if (cursor.failed() || head.kind != Kind::map) return Ref();
    Ref record = Ref::steal(PyDict_New());
    if (!record) return fail_fetch();
    for (uint64_t i = 0; i < head.items; ++i) {
        Head key = cursor.next();
        if (cursor.failed()) return Ref();
        const WantedField* wanted = nullptr;
        if (key.kind == Kind::str) {
            for (const WantedField& field : fields) {
                if (field.name == key.data) {
                    wanted = &field;
                    break;
                }
            }
        } else {
            cursor.skip_items(key);
        }
        const char* start = cursor.position();
        Head value_head = cursor.next();
        cursor.skip_items(value_head);
        if (cursor.failed()) return Ref();
        if (wanted == nullptr) continue;
        std::string_view bytes(start, static_cast<size_t>(cursor.position() - start));
        Decoded value;
        if (wanted->only != nullptr && value_head.kind == Kind::map) {
            value = decode_fields(bytes, memo, *wanted->only, depth + 1);
        } else {
            Decoder decoder(bytes);
            decoder.share(&memo);
            value = decoder.value(depth + 1);
        }
        if (!value || !*value) return value;
        if (PyDict_SetItem(record.get(), wanted->key, value->get()) < 0) return fail_fetch();
    }
    return record;
}

PyObject* unpack_records_function(PyObject*, PyObject* args) noexcept {
    Py_buffer view;
    Py_ssize_t start = 0;
    Py_ssize_t count = 0;
    if (!PyArg_ParseTuple(args, "y*nn", &view, &start, &count)) return nullptr;
    PyObject* result = entry_point([&] {
        return unpack_records(std::string_view(static_cast<const char*>(view.buf), static_cast<size_t>(view.len)),
                              start, count);
    });
    PyBuffer_Release(&view);
    return result;
}

}  // namespace sarn::serialize

namespace sarn::serialize {

PyObject* unpack_calls_function(PyObject*, PyObject* args) noexcept {
    Py_buffer view;
    Py_ssize_t start = 0;
    Py_ssize_t count = 0;
    PyObject* tag_text = nullptr;
    if (!PyArg_ParseTuple(args, "y*nnU", &view, &start, &count, &tag_text)) return nullptr;
    Py_ssize_t tag_size = 0;
    const char* tag = PyUnicode_AsUTF8AndSize(tag_text, &tag_size);
    if (tag == nullptr) {
        PyBuffer_Release(&view);
        return nullptr;
    }
    PyObject* result = entry_point([&] {
        return unpack_calls(std::string_view(static_cast<const char*>(view.buf), static_cast<size_t>(view.len)),
                            start, count, std::string_view(tag, static_cast<size_t>(tag_size)));
    });
    PyBuffer_Release(&view);
    return result;
}

}  // namespace sarn::serialize
