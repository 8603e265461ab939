// Importing host modules at the point of use.
//
// Modules are looked up on every use, never cached by the core, so a host that
// replaces or reloads a module is seen at once. A module already in
// `sys.modules` is taken from there without the full import machinery.
#pragma once

#include <Python.h>

#include "utils/error.hpp"

namespace sarn {

inline Result<Ref> import_module(PyObject* name) {
    if (PyObject* found = PyImport_GetModule(name)) {
        // None in sys.modules blocks the import: the import function raises for it.
        if (found != Py_None) return Ref::steal(found);
        Py_DECREF(found);
    }
    if (PyErr_Occurred()) return fail_fetch();
    return checked(PyImport_Import(name));
}

inline Result<Ref> import_module(const char* name) {
    Ref name_obj = Ref::steal(PyUnicode_InternFromString(name));
    if (!name_obj) return fail_fetch();
    return import_module(name_obj.get());
}

// getattr(import_module(module), attribute), for names made once.
inline Result<Ref> import_attribute(PyObject* module, PyObject* attribute) {
    auto imported = import_module(module);
    if (!imported) return fail(std::move(imported.error()));
    return checked(PyObject_GetAttr(imported->get(), attribute));
}

inline Result<Ref> import_attribute(const char* module, const char* attribute) {
    auto imported = import_module(module);
    if (!imported) return fail(std::move(imported.error()));
    return checked(PyObject_GetAttrString(imported->get(), attribute));
}

}  // namespace sarn
