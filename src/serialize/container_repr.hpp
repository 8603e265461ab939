// The short repr of a built-in container, as the Python half's reprlib
// settings write it (its first items, nested containers to a few levels,
// long strings and numbers cut in the middle), made without running Python
// code. Containers are shown at every event of a frame that holds them (in
// the lightweight form, every one is), and the Python reprlib is slow.
//
// Only shapes whose every part is shown the same way here and in Python are
// made: exact built-in containers holding strings, numbers, None, booleans,
// classes, containers of the same kinds, and objects the writer shows in
// object's own form. Anything else is left to the Python half.
#pragma once

#include <Python.h>

#include <string>

#include "serialize/repr_text.hpp"
#include "utils/ref.hpp"

namespace sarn::serialize {

// reprlib's settings, as the Python half gives them.
struct ReprSettings {
    Py_ssize_t maxlevel = 0;
    Py_ssize_t maxtuple = 0;
    Py_ssize_t maxlist = 0;
    Py_ssize_t maxdict = 0;
    Py_ssize_t maxset = 0;
    Py_ssize_t maxfrozenset = 0;
    Py_ssize_t maxdeque = 0;
    Py_ssize_t maxstring = 0;
    Py_ssize_t maxlong = 0;
    Py_ssize_t maxother = 0;
};

// Appends how an object that is not a container is shown inside one, when
// it is shown in object's own form; false (nothing set) otherwise.
class ObjectShower {
public:
    virtual bool show(PyObject* value, ReprText& out) = 0;

protected:
    ~ObjectShower() = default;
};

// Appends the repr to `out` as UTF-8; false (nothing set, `out` then
// holding a partial text) when the shape is not one made here. Once `out`
// holds `enough` bytes no more items are shown: a text that long is cut
// anyway, and what comes later cannot change its start. `shown` counts the
// items looked at.
bool container_repr_text(PyObject* value, const ReprSettings& settings, ObjectShower& objects, size_t enough,
                         ReprText& out, Py_ssize_t& shown);

// UTF-8 `text` cut to its first `limit` characters and "..." when longer.
void cut_to_characters(std::string& text, Py_ssize_t limit);

// Exactly list, tuple, dict, set or frozenset: what the short reprs read
// with the interpreter's own item access.
inline bool is_builtin_container(PyTypeObject* type) noexcept {
    return type == &PyList_Type || type == &PyTuple_Type || type == &PyDict_Type || type == &PySet_Type ||
           type == &PyFrozenSet_Type;
}

// The items of a list, tuple, dict, set or frozenset, read as `base`, and
// how many of them its short repr shows at its first level (reprlib's limit
// for the base; `shown_items` counts more when they hold containers);
// nothing of any other base (a deque is read by its iterator).
struct FirstLevel {
    Py_ssize_t size = 0;
    Py_ssize_t shown = 0;
};
inline FirstLevel first_level(PyObject* value, PyTypeObject* base, const ReprSettings& reprs) noexcept {
    auto of = [](Py_ssize_t size, Py_ssize_t limit) { return FirstLevel{size, size < limit ? size : limit}; };
    if (base == &PyList_Type) return of(PyList_GET_SIZE(value), reprs.maxlist);
    if (base == &PyTuple_Type) return of(PyTuple_GET_SIZE(value), reprs.maxtuple);
    if (base == &PyDict_Type) return of(PyDict_GET_SIZE(value), reprs.maxdict);
    if (base == &PySet_Type) return of(PySet_GET_SIZE(value), reprs.maxset);
    if (base == &PyFrozenSet_Type) return of(PySet_GET_SIZE(value), reprs.maxfrozenset);
    return {};
}

#ifndef Py_GIL_DISABLED
// Calls `visit` with each of the first `limit` items of a set or frozenset,
// in the order its iterator gives them, read in place from its table. Only
// under the interpreter lock, and only while no Python code runs: the table
// is not held. A removed key leaves a slot whose hash is -1, which no key
// has.
template <class Visit>
void visit_first_set_items(PyObject* set, Py_ssize_t limit, Visit&& visit) {
    auto* object = reinterpret_cast<PySetObject*>(set);
    Py_ssize_t seen = 0;
    for (Py_ssize_t i = 0; i <= object->mask && seen < limit; ++i) {
        const setentry& entry = object->table[i];
        if (entry.key == nullptr || entry.hash == -1) continue;
        visit(entry.key);
        ++seen;
    }
}
#endif

}  // namespace sarn::serialize
