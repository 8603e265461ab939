// Scalars, and dicts of them, written without the walker.
//
// Most kept frames hold a few ints and short names, which cost less to write
// than to set a walk up for: this writes them straight into the record. The
// bytes and the budgets are the walker's own for a fresh value, and a value
// that is anything else (a container, a text past ASCII or past its budget, an
// int beyond 64 bits, a key that is not plain text) is left to the walker
// whole, with nothing written. Both modules use it: the value serialiser
// before it sets a walk up, and the recording core, which writes a record's
// plain values itself while the built-in serialiser is the one named.
#pragma once

#include <Python.h>

#include "utils/msgpack_writer.hpp"
#include "utils/named_value.hpp"

namespace sarn {

// The cuts, as the Python half of the serialiser defines them.
struct Limits {
    Py_ssize_t max_depth = 0;
    Py_ssize_t max_items = 0;
    Py_ssize_t max_str = 0;
    Py_ssize_t max_bytes = 0;
    Py_ssize_t max_repr = 0;
    Py_ssize_t max_attrs = 0;
    Py_ssize_t max_nodes = 0;
    Py_ssize_t max_values = 0;
    Py_ssize_t max_text = 0;
    Py_ssize_t short_str = 0;
};

// What plain values are written by: the serialiser's budgets and the key
// that marks its tagged maps (a dict with that key is not plain).
struct PlainRules {
    const Limits* limits = nullptr;  // null: the serialiser is not configured
    PyObject* tag = nullptr;
};

// Whether `name` (a str) is `tag`, the key that marks a tagged map.
inline bool is_tag_name(PyObject* tag, PyObject* name) {
    return PyUnicode_GET_LENGTH(name) == PyUnicode_GET_LENGTH(tag) && PyUnicode_Compare(name, tag) == 0;
}

// None, a bool or a float, written as both writers write them; false, with
// nothing written, for any other value.
template <class W>
bool write_fixed_size_scalar(W& w, PyObject* value, PyTypeObject* type) {
    if (value == Py_None) {
        w.nil();
    } else if (type == &PyFloat_Type) {
        w.float64(PyFloat_AS_DOUBLE(value));
    } else if (type == &PyBool_Type) {
        w.boolean(value == Py_True);
    } else {
        return false;
    }
    return true;
}

// Appends `value` as the walker would; false, with nothing written, when the
// value is not a plain scalar.
bool write_plain_scalar(const Limits& limits, PyObject* value, Bytes& out);

// Appends the dict of `entries` as the walker would write it in the full form
// (or in the lightweight one); false, with nothing written, unless every key
// is plain text other than `rules.tag` and every value a plain scalar.
bool write_plain_entries(const PlainRules& rules, const NamedValue* entries, size_t count, bool lightweight,
                         Bytes& out);

}  // namespace sarn
