#include "utils/plain_values.hpp"

#include <algorithm>
#include <string_view>

#include "utils/compact_int.hpp"

namespace sarn {

namespace {

std::string_view plain_ascii_view(PyObject* str) {
    return {static_cast<const char*>(PyUnicode_DATA(str)), static_cast<size_t>(PyUnicode_GET_LENGTH(str))};
}

// The most bytes a plain scalar takes, or 0 when `value` cannot be one. Its
// text must be ASCII, whose length is its size.
size_t plain_scalar_room(PyObject* value) {
    PyTypeObject* type = Py_TYPE(value);
    if (type == &PyUnicode_Type) {
        return PyUnicode_IS_COMPACT_ASCII(value) ? 5 + static_cast<size_t>(PyUnicode_GET_LENGTH(value)) : 0;
    }
    if (type == &PyLong_Type || type == &PyFloat_Type || type == &PyBool_Type || value == Py_None) return 9;
    if (type == &PyBytes_Type) return 5 + static_cast<size_t>(PyBytes_GET_SIZE(value));
    return 0;
}

// Writes `value` as the walker's scalar form does with `text_left` of the
// text budget; false when the walker would not write it whole as itself (a
// text cut, an int beyond 64 bits, bytes cut).
template <class W>
bool put_plain_scalar(W& w, const Limits& limits, PyObject* value, Py_ssize_t& text_left) {
    PyTypeObject* type = Py_TYPE(value);
    if (type == &PyUnicode_Type) {
        const Py_ssize_t length = PyUnicode_GET_LENGTH(value);
        if (length > limits.max_str || (length > text_left && length > limits.short_str)) return false;
        text_left -= length;
        w.str(plain_ascii_view(value));
        return true;
    }
    if (type == &PyLong_Type) {
        long long number = 0;
        if (!int64_value(value, number)) return false;
        w.sint(number);
        return true;
    }
    if (write_fixed_size_scalar(w, value, type)) return true;
    const Py_ssize_t size = PyBytes_GET_SIZE(value);
    if (size > limits.max_bytes) return false;
    w.bin(std::string_view(PyBytes_AS_STRING(value), static_cast<size_t>(size)));
    return true;
}

}  // namespace

bool write_plain_scalar(const Limits& limits, PyObject* value, Bytes& out) {
    const size_t room = plain_scalar_room(value);
    if (room == 0) return false;
    return append_bounded(out, room, [&](auto& w) {
        Py_ssize_t text_left = limits.max_text;
        return put_plain_scalar(w, limits, value, text_left);
    });
}

bool write_plain_entries(const PlainRules& rules, const NamedValue* entries, size_t count, bool lightweight,
                         Bytes& out) {
    const Limits& limits = *rules.limits;
    if (lightweight) {
        // The lightweight form keeps the first entries.
        count = std::min(count, static_cast<size_t>(std::max<Py_ssize_t>(limits.max_items, 0)));
    } else {
        // The full form writes a dict past the item limit otherwise, and one
        // without room as cut.
        const auto total = static_cast<Py_ssize_t>(count);
        if (total > std::min(limits.max_items, limits.max_values)) return false;
        if (limits.max_depth <= 0 || limits.max_nodes <= 0 || limits.max_values <= 0) return false;
    }
    size_t most = 5;
    for (size_t i = 0; i < count; ++i) {
        PyObject* name = entries[i].name;
        if (!PyUnicode_CheckExact(name) || !PyUnicode_IS_COMPACT_ASCII(name) ||
            PyUnicode_GET_LENGTH(name) > limits.max_str || is_tag_name(rules.tag, name)) {
            return false;
        }
        const size_t value_room = plain_scalar_room(entries[i].value);
        if (value_room == 0) return false;
        most += 5 + static_cast<size_t>(PyUnicode_GET_LENGTH(name)) + value_room;
    }
    return append_bounded(out, most, [&](auto& w) {
        Py_ssize_t text_left = limits.max_text;
        w.map_header(static_cast<uint32_t>(count));
        for (size_t i = 0; i < count; ++i) {
            text_left -= PyUnicode_GET_LENGTH(entries[i].name);
            w.str(plain_ascii_view(entries[i].name));
            if (!put_plain_scalar(w, limits, entries[i].value, text_left)) return false;
        }
        return true;
    });
}

}  // namespace sarn
