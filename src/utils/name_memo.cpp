#include "utils/name_memo.hpp"

#include <optional>

#include "utils/host_import.hpp"

namespace sarn {

namespace {

// The entry of `key`, trying the one found last first (`last` is then set
// to the one found). Entries of these maps stay in place until cleared.
template <class Map>
const typename Map::value_type* find_from_last(const Map& entries, const typename Map::key_type& key,
                                               const typename Map::value_type*& last) noexcept {
    if (last == nullptr || !(last->first == key)) {
        auto found = entries.find(key);
        if (found == entries.end()) return nullptr;
        last = &*found;
    }
    return last;
}

// Empties a map that holds too many entries, with the entry found last.
template <class Map, class Last>
void empty_when_full(Map& entries, size_t most, Last& last) noexcept {
    if (entries.size() < most) return;
    entries.clear();
    last = nullptr;
}

}  // namespace

PyObject* AttributeMemo::find(PyTypeObject* type, PyObject* name, bool through_instance) const noexcept {
    auto found = entries_.find(Key{type, name, through_instance});
    if (found == entries_.end()) return nullptr;
    const Entry& entry = found->second;
    PyTypeObject* meta = Py_TYPE(type);
    if (!has_type_version(type) || type_version(type) != entry.type_version) return nullptr;
    if (!has_type_version(meta) || type_version(meta) != entry.meta_version) return nullptr;
    return entry.found;
}

void AttributeMemo::remember(PyTypeObject* type, PyObject* name, bool through_instance, PyObject* found) {
    // The metaclass decides how a class's dictionary is read: only the
    // interpreter's own way is known to give the dictionaries' content.
    PyTypeObject* meta = Py_TYPE(type);
    if (meta->tp_getattro != PyType_Type.tp_getattro || !PyUnicode_CheckExact(name)) return;
    // These lookups also give both classes a version tag where they have none.
    if (_PyType_Lookup(type, name) != found) return;
    (void)_PyType_Lookup(meta, name);
    if (!has_type_version(type) || !has_type_version(meta)) return;
    if (entries_.size() >= max_entries) entries_.clear();
    Entry entry{Ref::borrow(name), type_version(type), type_version(meta), found};
#ifdef Py_GIL_DISABLED
    entry.held = Ref::borrow(found);
#endif
    entries_.insert_or_assign(Key{type, name, through_instance}, std::move(entry));
}

void AttributeMemo::use_lookup(PyObject* lookup) {
    if (lookup_.get() == lookup) return;
    entries_.clear();
    lookup_ = Ref::borrow(lookup);
}

// Code objects carry their qualified name from 3.11 on; before, nothing is
// remembered here. The globals' state is their version tag up to 3.12; from
// 3.13 the count of changes of the dicts watched, which counts their freeing
// too, so that another dict at the same address is never taken for them.
namespace {

std::optional<uint64_t> globals_state(PyObject* globals, bool watch) noexcept {
    if (!PyDict_CheckExact(globals)) return std::nullopt;
#if PY_VERSION_HEX >= 0x030D0000
    if (watch && !dict_changes::watch(globals)) return std::nullopt;
    return dict_changes::count.load(std::memory_order_acquire);
#else
    (void)watch;
    return dict_version(globals);
#endif
}

}  // namespace

const std::string* CodeNameMemo::find(PyObject* code, PyObject* globals) const noexcept {
    if (entries_.empty()) return nullptr;
    const auto* found = find_from_last(entries_, code, last_);
    if (found == nullptr) return nullptr;
    const Entry& entry = found->second;
    if (entry.globals != globals || globals_state(globals, false) != entry.globals_version) return nullptr;
    return &entry.text;
}

void CodeNameMemo::remember(PyObject* code, PyObject* globals, const std::string& text) {
    // Watched before the state is read: a change from here on is counted.
    const std::optional<uint64_t> state = globals_state(globals, true);
    if (!state) return;
    empty_when_full(entries_, max_entries, last_);
    entries_.insert_or_assign(code, Entry{Ref::borrow(code), globals, *state, text});
}

const std::string* GlobalFunctionMemo::find(PyObject* code, PyObject* caller_code, PyObject* globals) const noexcept {
    if (!has_dict_versions || entries_.empty()) return nullptr;
    const auto* found = find_from_last(entries_, ObjectPair{code, caller_code}, last_);
    if (found == nullptr) return nullptr;
    const Entry& entry = found->second;
    if (entry.globals != globals || entry.globals_version != dict_version(globals)) return nullptr;
    auto* function = reinterpret_cast<PyFunctionObject*>(entry.function);
    if (function->func_module != entry.module.get() || function->func_qualname != entry.qualname.get()) return nullptr;
    return &entry.text;
}

void GlobalFunctionMemo::remember(PyObject* code, PyObject* caller_code, PyObject* globals, PyObject* function,
                                  const std::string& text) {
    if (!has_dict_versions || !PyDict_CheckExact(globals) || !PyFunction_Check(function)) return;
    empty_when_full(entries_, max_entries, last_);
    auto* plain = reinterpret_cast<PyFunctionObject*>(function);
    entries_.insert_or_assign(ObjectPair{code, caller_code},
                              Entry{Ref::borrow(code), Ref::borrow(caller_code), globals, dict_version(globals),
                                    function, Ref::borrow(plain->func_module), Ref::borrow(plain->func_qualname),
                                    text});
}

const std::string* MethodMemo::find(PyObject* code, PyObject* caller_code, PyTypeObject* type,
                                    PyObject* lookup) const noexcept {
    if (entries_.empty()) return nullptr;
    const auto* found = find_from_last(entries_, Key{code, caller_code, type}, last_);
    if (found == nullptr) return nullptr;
    const Entry& entry = found->second;
    PyTypeObject* meta = Py_TYPE(type);
    if (!has_type_version(type) || type_version(type) != entry.type_version) return nullptr;
    if (!has_type_version(meta) || type_version(meta) != entry.meta_version) return nullptr;
    if (entry.lookup != lookup) return nullptr;
    auto* function = reinterpret_cast<PyFunctionObject*>(entry.function);
    if (function->func_module != entry.module.get() || function->func_qualname != entry.qualname.get()) return nullptr;
    return &entry.text;
}

void MethodMemo::remember(PyObject* code, PyObject* caller_code, PyTypeObject* type, PyObject* lookup,
                          PyObject* function, const std::string& text) {
    PyTypeObject* meta = Py_TYPE(type);
    if (!PyFunction_Check(function) || !has_type_version(type) || !has_type_version(meta)) return;
    empty_when_full(entries_, max_entries, last_);
    auto* plain = reinterpret_cast<PyFunctionObject*>(function);
    entries_.insert_or_assign(Key{code, caller_code, type},
                              Entry{Ref::borrow(code), Ref::borrow(caller_code), type_version(type), type_version(meta),
                                    lookup, function, Ref::borrow(plain->func_module),
                                    Ref::borrow(plain->func_qualname), text});
}

const std::string* JoinMemo::find(PyObject* left, PyObject* right) const noexcept {
    auto found = entries_.find(ObjectPair{left, right});
    return found == entries_.end() ? nullptr : &found->second.text;
}

void JoinMemo::remember(PyObject* left, PyObject* right, const std::string& text) {
    if (entries_.size() >= max_entries) entries_.clear();
    entries_.insert_or_assign(ObjectPair{left, right}, Entry{Ref::borrow(left), Ref::borrow(right), text});
}

}  // namespace sarn
