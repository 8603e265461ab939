// The Python side of a native pass over a document's records: the object
// that holds the pass, its deallocation, and its `feed` method, shared by
// the passes (each gives its own `__init__` and other methods).
#pragma once

#include <Python.h>

#include <string_view>

#include "lib/entry_point.hpp"
#include "utils/error.hpp"
#include "utils/ref.hpp"

namespace sarn::serialize::pass_type {

template <class Pass>
struct Object {
    PyObject_HEAD
    Pass* pass;
};

// The pass of `self`, or null with RuntimeError raised when __init__ has
// not set it up or the pass has finished.
template <class Pass>
Pass* pass_of(PyObject* self) {
    Pass* pass = reinterpret_cast<Object<Pass>*>(self)->pass;
    if (pass == nullptr) PyErr_SetString(PyExc_RuntimeError, "the pass is not set up, or finished");
    return pass;
}

// Replaces the pass of `self` by a new one made by `make()`; -1 with the
// error raised when that fails.
template <class Pass, class Make>
int replace(PyObject* self, Make&& make) {
    auto* object = reinterpret_cast<Object<Pass>*>(self);
    try {
        delete object->pass;
        object->pass = nullptr;
        object->pass = make();
    } catch (...) {
        object->pass = nullptr;
        raise_unexpected_exception();
        return -1;
    }
    return object->pass != nullptr ? 0 : -1;
}

// Ends the pass of `self` (it is not used again).
template <class Pass>
void drop(PyObject* self) {
    auto* object = reinterpret_cast<Object<Pass>*>(self);
    delete object->pass;
    object->pass = nullptr;
}

template <class Pass>
void dealloc(PyObject* self) {
    auto* object = reinterpret_cast<Object<Pass>*>(self);
    delete object->pass;
    object->pass = nullptr;
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// feed(data, start, count, fallback, lenient) -> (records taken, end), by
// Pass::feed(bytes, start, count, fallback, lenient).
template <class Pass>
PyObject* feed(PyObject* self, PyObject* args) {
    Pass* pass = pass_of<Pass>(self);
    if (pass == nullptr) return nullptr;
    Py_buffer view;
    Py_ssize_t start = 0, count = 0;
    PyObject* fallback;
    int lenient = 0;
    if (!PyArg_ParseTuple(args, "y*nnOp", &view, &start, &count, &fallback, &lenient)) return nullptr;
    PyObject* result = entry_point([&] {
        return pass->feed(std::string_view(static_cast<const char*>(view.buf), static_cast<size_t>(view.len)), start,
                          count, fallback, lenient != 0);
    });
    PyBuffer_Release(&view);
    return result;
}

// The Python type of a pass: its name (a literal, which the type keeps),
// its __init__, its methods (a static table) and its docstring.
template <class Pass>
PyTypeObject* make_type(const char* name, initproc init, PyMethodDef* methods, const char* doc) {
    PyType_Slot slots[] = {
        {Py_tp_init, reinterpret_cast<void*>(init)},
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<Pass>)},
        {Py_tp_methods, methods},
        {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
        {Py_tp_doc, const_cast<char*>(doc)},
        {0, nullptr},
    };
    PyType_Spec spec = {name, sizeof(Object<Pass>), 0, Py_TPFLAGS_DEFAULT, slots};
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

}  // namespace sarn::serialize::pass_type
