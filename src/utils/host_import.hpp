// Importing host modules at the point of use.
//
// Modules are looked up on every use, never cached by the core, so a host that
// replaces or reloads a module is seen at once. A module already in
// `sys.modules` is taken from there without the full import machinery.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

#include "utils/error.hpp"
#include "utils/free_threading.hpp"
#include "utils/version_tags.hpp"

namespace sarn {

// A module found in the interpreter's table of modules is used as it is.
// (From 3.12 on, PyImport_GetModule also asks the module's spec whether it
// is still being initialised, which costs more than the rest of a kept
// event; the core only ever uses modules that are complete.)
inline Result<Ref> import_module(PyObject* name) {
    PyObject* modules = PyImport_GetModuleDict();
    Ref found = modules != nullptr && PyDict_CheckExact(modules) ? dict_item(modules, name) : Ref();
    // None in sys.modules blocks the import: the import function raises for it.
    if (found && found.get() != Py_None) return found;
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

#if PY_VERSION_HEX >= 0x030D0000
// From 3.13 dicts keep no version tags: a dict watcher counts every change
// of the dicts that remembered answers depend on instead.
namespace dict_changes {

inline std::atomic<uint64_t> count{1};
inline std::atomic<int> watcher{-1};

inline int on_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
    count.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

// Whether the dict's changes are counted from now on.
inline bool watch(PyObject* dict) noexcept {
    int id = watcher.load(std::memory_order_acquire);
    if (id < 0) {
        // Threads that ask at the same time agree on one watcher.
        const int added = PyDict_AddWatcher(on_change);
        if (added >= 0 && !watcher.compare_exchange_strong(id, added)) (void)PyDict_ClearWatcher(added);
        id = watcher.load(std::memory_order_acquire);
    }
    if (id >= 0 && PyDict_Watch(id, dict) == 0) return true;
    PyErr_Clear();
    return false;
}

}  // namespace dict_changes
#endif

// import_attribute for a call site on the hot path, which remembers its
// answer while it must be the same: as long as neither `sys.modules` nor
// the module's namespace has changed (their dict version tags, or from 3.13
// a dict watcher, say so), the two lookups find the same objects, which
// those dicts keep alive.
class HostAttribute {
public:
    Result<Ref> get(PyObject* module, PyObject* attribute) {
        // Threads running in parallel would share the remembered answer,
        // which holds no reference: each looks it up afresh.
        if constexpr (free_threaded) return import_attribute(module, attribute);
        PyObject* modules = PyImport_GetModuleDict();
        if (value_ != nullptr && modules == modules_ && unchanged()) return Ref::borrow(value_);
        auto found = import_attribute(module, attribute);
        if (found) remember(modules, module, attribute, found->get());
        return found;
    }

    // Whether the answer found last is `value`, and neither `sys.modules`
    // nor the namespace it was read from has changed since.
    bool still(PyObject* value) const noexcept {
        if constexpr (free_threaded) return false;
        return value_ != nullptr && value_ == value && PyImport_GetModuleDict() == modules_ && unchanged();
    }

private:
    // Only for a plain module whose namespace holds exactly what was found.
    void remember(PyObject* modules, PyObject* module_name, PyObject* attribute, PyObject* value) noexcept {
        value_ = nullptr;
        if (modules == nullptr || !PyDict_CheckExact(modules)) return;
#if PY_VERSION_HEX >= 0x030D0000
        // Watched first: a change from here on is counted.
        if (!dict_changes::watch(modules)) return;
#endif
        PyObject* module = PyDict_GetItemWithError(modules, module_name);
        if (module == nullptr || !PyModule_CheckExact(module)) return PyErr_Clear();
        PyObject* names = PyModule_GetDict(module);
        if (names == nullptr || !PyDict_CheckExact(names)) return;
#if PY_VERSION_HEX >= 0x030D0000
        if (!dict_changes::watch(names)) return;
        changes_ = dict_changes::count;
#endif
        if (PyDict_GetItemWithError(names, attribute) != value) return PyErr_Clear();
        modules_ = modules;
        modules_version_ = dict_version(modules);
        namespace_ = names;
        namespace_version_ = dict_version(names);
        value_ = value;
    }

    bool unchanged() const noexcept {
#if PY_VERSION_HEX >= 0x030D0000
        return dict_changes::count == changes_;
#else
        return dict_version(modules_) == modules_version_ && dict_version(namespace_) == namespace_version_;
#endif
    }

    PyObject* modules_ = nullptr;  // all borrowed, and only used while the versions match
    uint64_t modules_version_ = 0;
    PyObject* namespace_ = nullptr;
    uint64_t namespace_version_ = 0;
    PyObject* value_ = nullptr;
    uint64_t changes_ = 0;
};

inline Result<Ref> import_attribute(const char* module, const char* attribute) {
    auto imported = import_module(module);
    if (!imported) return fail(std::move(imported.error()));
    return checked(PyObject_GetAttrString(imported->get(), attribute));
}

}  // namespace sarn
