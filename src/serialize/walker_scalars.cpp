// The walker: scalars, and the heads of tagged maps.
#include "utils/plain_values.hpp"
#include "serialize/walker.hpp"
#include "utils/compact_int.hpp"

namespace sarn::serialize::walker {

bool ValueWriter::scalar(PyObject* value, PyTypeObject* type) {
    if (type == &PyUnicode_Type) {
        // `_str`: whole while it fits MAX_STR and the text left (or is short).
        const Py_ssize_t length = PyUnicode_GET_LENGTH(value);
        const Py_ssize_t left = text_left_;
        if (length <= limits_.max_str && (length <= left || length <= limits_.short_str)) {
            text_left_ = left - length;
            return text(value);
        }
        const Py_ssize_t kept = std::min(limits_.max_str, std::max<Py_ssize_t>(left, 0));
        text_left_ = left - kept;
        Ref prefix = Ref::steal(PyUnicode_Substring(value, 0, kept));
        if (!prefix) return false;
        w_.map_header(4);
        tag("str");
        type_field("str");
        w_.str("value");
        if (!text(prefix.get())) return false;
        w_.str("len");
        w_.sint(length);
        return true;
    }
    if (type == &PyLong_Type) return integer(value);
    if (write_fixed_size_scalar(w_, value, type)) return true;
    const Py_ssize_t size = PyBytes_GET_SIZE(value);
    const std::string_view data(PyBytes_AS_STRING(value), static_cast<size_t>(size));
    if (size <= limits_.max_bytes) {
        w_.bin(data);
        return true;
    }
    w_.map_header(4);
    tag("bytes");
    type_field("bytes");
    w_.str("value");
    w_.bin(data.substr(0, static_cast<size_t>(limits_.max_bytes)));
    w_.str("len");
    w_.sint(size);
    return true;
}

bool ValueWriter::integer(PyObject* value) {
    if (long long small = 0; compact_int_value(value, small)) {
        w_.sint(small);
        return true;
    }
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow == 0) {
        if (number == -1 && PyErr_Occurred()) return false;
        w_.sint(number);
        return true;
    }
    if (overflow > 0) {
        const unsigned long long big = PyLong_AsUnsignedLongLong(value);
        if (!(big == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
            w_.uint(big);
            return true;
        }
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
        PyErr_Clear();
    }
    Ref repr = Ref::steal(PyObject_CallFunctionObjArgs(host_.big_int_repr.get(), value, nullptr));
    Text repr_text;
    if (!repr || !PyUnicode_Check(repr.get()) || !repr_text.load(repr.get())) {
        if (repr && !PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "_big_int_repr did not return a str");
        return false;
    }
    object_form("int", repr_text.view());
    return true;
}

bool ValueWriter::text(PyObject* str) {
    if (auto ascii = ascii_text(str)) {  // the commonest: written in place, no Text made
        w_.str(*ascii);
        return true;
    }
    Text utf8;
    if (!utf8.load(str)) return false;
    w_.str(utf8.view());
    return true;
}

// A str of more than max_str characters is cut and marked (keys and
// attribute names).
bool ValueWriter::text_cut_with_mark(PyObject* str) {
    if (PyUnicode_GET_LENGTH(str) <= limits_.max_str) {
        text_left_ -= PyUnicode_GET_LENGTH(str);
        return text(str);
    }
    text_left_ -= limits_.max_str + static_cast<Py_ssize_t>(kCutMark.size());
    Ref prefix = Ref::steal(PyUnicode_Substring(str, 0, limits_.max_str));
    Text utf8;
    if (!prefix || !utf8.load(prefix.get())) return false;
    std::string marked(utf8.view());
    marked += kCutMark;
    w_.str(marked);
    return true;
}

void ValueWriter::object_form(std::string_view name, std::string_view repr) {
    w_.raw(host_.object_head);
    w_.str(name);
    w_.str("repr");
    w_.str(repr);
}

// What every object has: its tag and type, then its repr, or its id when
// its __repr__ is not run (no `repr`); `extra_entries` more follow.
void ValueWriter::object_head(std::string_view name, PyObject* value, const Text* repr, uint32_t extra_entries) {
    const size_t head_at = sink_.position();
    w_.raw(host_.object_head);
    if (extra_entries != 0) set_fixmap_size(head_at, 3 + extra_entries);
    w_.str(name);
    object_tail(value, repr);
}

// The same from the head kept for the class, copied whole (its padding
// lands in the sink's spare bytes, past the cursor): with a short repr, the
// whole head is written through one pointer after one bounds check.
bool ValueWriter::object_head(const TypeInfo& info, PyObject* value, const Text* repr, uint32_t extra_entries) {
    if (info.head == nullptr) [[unlikely]] return object_head_by_name(info, value, repr, extra_entries);
    const std::string_view text = repr != nullptr ? repr->view() : std::string_view();
    const bool short_repr = repr != nullptr && text.size() < 32;
    char* at = sink_.room(kHeadRoom + 5 + 1 + 31);
    std::memcpy(at, info.head, kHeadRoom);
    if (extra_entries != 0) at[0] = static_cast<char>(0x80 | (3 + extra_entries));
    if (!short_repr) {
        sink_.advance(info.head_size);
        object_tail(value, repr);
        return true;
    }
    at += info.head_size;
    std::memcpy(at, "\xa4repr", 5);
    at[5] = static_cast<char>(0xa0 | text.size());
    std::memcpy(at + 6, text.data(), text.size());
    sink_.advance(info.head_size + 6 + text.size());
    return true;
}

bool ValueWriter::object_head_by_name(const TypeInfo& info, PyObject* value, const Text* repr,
                                      uint32_t extra_entries) {
    Text name;
    if (!name.load(info.name)) return false;
    object_head(name.view(), value, repr, extra_entries);
    return true;
}

// The repr, or the id when its __repr__ is not run.
void ValueWriter::object_tail(PyObject* value, const Text* repr) {
    if (repr != nullptr) {
        w_.str("repr");
        w_.str(repr->view());
    } else {
        w_.str("id");
        w_.uint(reinterpret_cast<uintptr_t>(value));
    }
}

void ValueWriter::cycle(std::string_view name) {
    w_.map_header(2);
    tag("cycle");
    type_field(name);
}

// The entry into a tagged container. One cut by depth or by the node budget,
// or met again inside itself, is written at once (false); otherwise it takes
// one node of the budget (true) and the caller writes it.
bool ValueWriter::enter(std::string_view kind, std::string_view name, Py_ssize_t total, Py_ssize_t depth,
                        PyObject* value) {
    if (!has_room(depth)) {
        cut_container(kind, name, total);
        return false;
    }
    if (on_path(value)) {
        cycle(name);
        return false;
    }
    --budget_;
    return true;
}

// A tagged container cut by depth or by the node budget: no items, and its
// full length.
void ValueWriter::cut_container(std::string_view kind, std::string_view name, Py_ssize_t total) {
    w_.map_header(4);
    tag(kind);
    type_field(name);
    w_.str("items");
    w_.array_header(0);
    w_.str("len");
    w_.sint(total);
}

// A tagged container keeping `kept` of its `total` items: the head, then the
// items, then the tail, which gives the full length when some were left out.
void ValueWriter::tagged_head(std::string_view kind, std::string_view name, Py_ssize_t kept, Py_ssize_t total) {
    w_.map_header(total > kept ? 4 : 3);
    tag(kind);
    type_field(name);
    w_.str("items");
    w_.array_header(static_cast<uint32_t>(kept));
}

void ValueWriter::tagged_tail(Py_ssize_t kept, Py_ssize_t total) {
    if (total <= kept) return;
    w_.str("len");
    w_.sint(total);
}

}  // namespace sarn::serialize::walker
