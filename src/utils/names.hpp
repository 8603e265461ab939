// Interned attribute and key names, made once and reused on every event.
#pragma once

#include <Python.h>

#include <atomic>

namespace sarn {

#define SARN_NAMES(X)                                                                                        \
    X(f_back) X(f_code) X(f_globals) X(f_locals) X(co_name) X(co_qualname) X(fget) X(name) X(native_id)       \
    X(self) X(cls) X(__builtins__) X(__module__) X(__name__) X(__qualname__) X(getattr_static) X(property)   \
    X(current_thread) X(dump_msgpack) X(dump_msgpack_lightweight_repr) X(getLogger) X(warning) X(Mapping)     \
    X(type)

struct Names {
#define SARN_DECLARE_NAME(id) PyObject* id = nullptr;
    SARN_NAMES(SARN_DECLARE_NAME)
#undef SARN_DECLARE_NAME
    PyObject* wrapped_function = nullptr;  // "__func__" (a reserved identifier in C++)
    PyObject* inspect = nullptr;
    PyObject* builtins = nullptr;
    PyObject* threading = nullptr;
    PyObject* logging = nullptr;
    PyObject* collections_abc = nullptr;
    PyObject* sarn_serialize = nullptr;
    PyObject* module_code_name = nullptr;  // "<module>"
};

// Whether `key` (a name of a code object or a namespace's key) is the str
// `name`: the same object, or an equal str.
inline bool same_name(PyObject* key, PyObject* name) {
    return key == name || (PyUnicode_Check(key) && PyUnicode_GET_LENGTH(key) == PyUnicode_GET_LENGTH(name) &&
                           PyUnicode_Compare(key, name) == 0);
}

namespace name_table_state {
// Made at the module's creation, before any other thread can ask; the flag
// is atomic for the threads that read the table afterwards.
inline Names made;
inline std::atomic<bool> ready{false};
const Names* make_names();
}  // namespace name_table_state

// Made on first use, with the interpreter lock held; they live for the
// process. Null only if memory ran out, with the error set. Inline: asked
// several times at every kept event.
inline const Names* names() {
    if (name_table_state::ready.load(std::memory_order_acquire)) [[likely]] return &name_table_state::made;
    return name_table_state::make_names();
}

}  // namespace sarn
