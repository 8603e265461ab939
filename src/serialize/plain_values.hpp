// Scalars, and dicts of them, written without the walker.
//
// Most kept frames hold a few ints and short names, which cost less to write
// than to set a walk up for: this writes them straight into the record. The
// bytes and the budgets are the walker's own for a fresh value, and a value
// that is anything else (a container, a text past ASCII or past its budget, an
// int beyond 64 bits, a key that is not plain text) is left to the walker
// whole, with nothing written.
#pragma once

#include <Python.h>

#include "serialize/value_writer.hpp"
#include "utils/msgpack_writer.hpp"
#include "utils/named_value.hpp"

namespace sarn::serialize {

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
// is plain text and every value a plain scalar.
bool write_plain_entries(const Host& host, const NamedValue* entries, size_t count, bool lightweight, Bytes& out);

}  // namespace sarn::serialize
