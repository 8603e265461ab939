// Importing host modules at the point of use.
//
// Modules are looked up on every use, never cached by the core, so a host that
// replaces or reloads a module is seen at once. A module already in
// `sys.modules` is taken from there without the full import machinery.
#pragma once

#include <Python.h>

#include "utils/error.hpp"
#include "utils/version_tags.hpp"

namespace sarn {

// A module found in the interpreter's table of modules is used as it is.
// (From 3.12 on, PyImport_GetModule also asks the module's spec whether it
// is still being initialised, which costs more than the rest of a kept
// event; the core only ever uses modules that are complete.)
inline Result<Ref> import_module(PyObject* name) {
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* found = modules != nullptr && PyDict_CheckExact(modules) ? PyDict_GetItemWithError(modules, name) : nullptr;
    // None in sys.modules blocks the import: the import function raises for it.
    if (found != nullptr && found != Py_None) return Ref::borrow(found);
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

// import_attribute for a call site on the hot path, which remembers its
// answer while it must be the same: as long as neither `sys.modules` nor
// the module's namespace has changed (their dict version tags say so), the
// two lookups find the same objects, which those dicts keep alive. Where
// the interpreter keeps no dict tags, every use looks up afresh.
class HostAttribute {
public:
    Result<Ref> get(PyObject* module, PyObject* attribute) {
        if constexpr (!has_dict_versions) return import_attribute(module, attribute);
        PyObject* modules = PyImport_GetModuleDict();
        if (value_ != nullptr && modules == modules_ && dict_version(modules) == modules_version_ &&
            dict_version(namespace_) == namespace_version_) {
            return Ref::borrow(value_);
        }
        auto found = import_attribute(module, attribute);
        if (found) remember(modules, module, attribute, found->get());
        return found;
    }

private:
    // Only for a plain module whose namespace holds exactly what was found.
    void remember(PyObject* modules, PyObject* module_name, PyObject* attribute, PyObject* value) noexcept {
        value_ = nullptr;
        if (modules == nullptr || !PyDict_CheckExact(modules)) return;
        PyObject* module = PyDict_GetItemWithError(modules, module_name);
        if (module == nullptr || !PyModule_CheckExact(module)) return PyErr_Clear();
        PyObject* names = PyModule_GetDict(module);
        if (names == nullptr || !PyDict_CheckExact(names) || PyDict_GetItemWithError(names, attribute) != value) {
            return PyErr_Clear();
        }
        modules_ = modules;
        modules_version_ = dict_version(modules);
        namespace_ = names;
        namespace_version_ = dict_version(names);
        value_ = value;
    }

    PyObject* modules_ = nullptr;  // all borrowed, and only used while the versions match
    uint64_t modules_version_ = 0;
    PyObject* namespace_ = nullptr;
    uint64_t namespace_version_ = 0;
    PyObject* value_ = nullptr;
};

inline Result<Ref> import_attribute(const char* module, const char* attribute) {
    auto imported = import_module(module);
    if (!imported) return fail(std::move(imported.error()));
    return checked(PyObject_GetAttrString(imported->get(), attribute));
}

}  // namespace sarn
