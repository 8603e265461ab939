// One entry of a frame's locals read straight from its slots: the variable's
// name (held by the code object) and its value.
#pragma once

#include <Python.h>

namespace sarn {

struct NamedValue {
    PyObject* name;
    PyObject* value;
};

// How an attempt to write entries as a dict went.
enum class EntriesWritten {
    written,         // the bytes are appended
    not_applicable,  // a key the dict form would tag, or too many: write a real dict instead
    failed,          // an exception is set, as the dump of a real dict would have raised
};

}  // namespace sarn
