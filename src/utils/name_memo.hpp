// Memos that let a kept frame's qualified name be found without running
// Python code in the common cases, with the same answer as the full lookup.
//
// `AttributeMemo` remembers what `inspect.getattr_static` found on a class.
// The answer depends only on the class's and its metaclass's dictionaries
// (and, through an instance, on the instance's own dictionary, which is
// checked on every use). Every change to a class dictionary, or to one of
// its bases, gives the class a new version tag; an entry is used only while
// both tags are those it was made under. Like the interpreter's own method
// cache, an entry holds no reference to the class or the attribute: while
// the tag is unchanged the class's dictionary keeps the attribute alive, and
// a class freed and replaced at the same address never has the old tag.
//
// `JoinMemo` remembers "module.qualname" texts for pairs of str objects,
// which it holds, so that a pair seen again is known by identity.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>
#include <unordered_map>

#include "utils/ref.hpp"
#include "utils/version_tags.hpp"

namespace sarn {

class AttributeMemo {
public:
    // The attribute `name` of `type`, as remembered, or null. `through_instance`
    // tells whether it was looked up for an instance of `type` (the caller
    // then checks that instance's own dictionary) or for `type` itself.
    [[nodiscard]] PyObject* find(PyTypeObject* type, PyObject* name, bool through_instance) const noexcept;

    // Remembers that the lookup found `found`, when that is what the class's
    // dictionaries alone give. Needs no pending exception.
    void remember(PyTypeObject* type, PyObject* name, bool through_instance, PyObject* found);

    // The lookup function the entries came from; a different one empties the memo.
    void use_lookup(PyObject* lookup);
    [[nodiscard]] PyObject* lookup() const noexcept { return lookup_.get(); }  // for the cycle collector

private:
    struct Key {
        PyTypeObject* type;
        PyObject* name;
        bool through_instance;
        bool operator==(const Key&) const = default;
    };
    struct KeyHash {
        size_t operator()(const Key& key) const noexcept {
            auto mix = reinterpret_cast<uintptr_t>(key.type) * 0x9E3779B97F4A7C15u;
            return static_cast<size_t>(mix ^ reinterpret_cast<uintptr_t>(key.name) ^ key.through_instance);
        }
    };
    struct Entry {
        Ref name;  // keeps the key's name from being replaced at its address
        unsigned int type_version;
        unsigned int meta_version;
        PyObject* found;  // borrowed: alive while the versions match
#ifdef Py_GIL_DISABLED
        // Another thread may change the class between the test of the tags
        // and the use of the answer: it is kept alive by the entry.
        Ref held;
#endif
    };
    static constexpr size_t max_entries = 1 << 14;

    Ref lookup_;
    std::unordered_map<Key, Entry, KeyHash> entries_;
};

// Two objects known by identity, as the key of a memo.
struct ObjectPair {
    PyObject* first;
    PyObject* second;
    bool operator==(const ObjectPair&) const = default;
};
struct ObjectPairHash {
    size_t operator()(const ObjectPair& key) const noexcept {
        return static_cast<size_t>(reinterpret_cast<uintptr_t>(key.first) * 0x9E3779B97F4A7C15u ^
                                   reinterpret_cast<uintptr_t>(key.second));
    }
};

class JoinMemo {
public:
    // "left.right" for two exact str objects.
    [[nodiscard]] const std::string* find(PyObject* left, PyObject* right) const noexcept;
    void remember(PyObject* left, PyObject* right, const std::string& text);

private:
    struct Entry {
        Ref left;
        Ref right;
        std::string text;
    };
    static constexpr size_t max_entries = 1 << 14;

    std::unordered_map<ObjectPair, Entry, ObjectPairHash> entries_;  // (left, right)
};

// The name of a code object that carries its qualified name, while the
// module globals it was read from are unchanged (so is "__name__"): the same
// version tag, or from 3.13 no change counted by the dict watcher.
class CodeNameMemo {
public:
    [[nodiscard]] const std::string* find(PyObject* code, PyObject* globals) const noexcept;
    void remember(PyObject* code, PyObject* globals, const std::string& text);

private:
    struct Entry {
        Ref code;            // keeps the key's code object from being replaced at its address
        PyObject* globals;   // borrowed: only compared, with its version
        uint64_t globals_version;
        std::string text;
    };
    static constexpr size_t max_entries = 1 << 14;
    std::unordered_map<PyObject*, Entry> entries_;
    // The entry found last, tried first: a recursion or a loop asks for the
    // same one at every event. (Entries stay in place until the memo empties.)
    mutable const std::pair<PyObject* const, Entry>* last_ = nullptr;
};

// The name of a module-level function found through its globals, for a
// code object and the code of its caller that cannot hold any of the names
// looked at before the globals (the caller's local of the function's name;
// `self`, `cls`, `__qualname__`). It holds while the globals keep their
// version tag (the same function object is found) and that function keeps
// its `__module__` and `__qualname__` objects (held here, so that none can
// be replaced at the same address).
class GlobalFunctionMemo {
public:
    [[nodiscard]] const std::string* find(PyObject* code, PyObject* caller_code, PyObject* globals) const noexcept;
    void remember(PyObject* code, PyObject* caller_code, PyObject* globals, PyObject* function,
                  const std::string& text);

private:
    struct Entry {
        Ref code;         // keep the key's code objects from being replaced at their addresses
        Ref caller_code;
        PyObject* globals;   // borrowed: only compared, with its version
        uint64_t globals_version;
        PyObject* function;  // borrowed: the globals hold it while their version is unchanged
        Ref module;
        Ref qualname;
        std::string text;
    };
    static constexpr size_t max_entries = 1 << 14;
    std::unordered_map<ObjectPair, Entry, ObjectPairHash> entries_;  // (code, caller code)
    mutable const std::pair<const ObjectPair, Entry>* last_ = nullptr;  // as in CodeNameMemo
};

// The name of a method found through `self`, for a code object, the code
// of its caller (which cannot hold a local of the method's name) and the
// class of `self`. It holds while the class and its metaclass keep their
// version tags (the same function is found on the class), that function
// keeps its `__module__` and `__qualname__` objects, and the lookup
// function is the one it was found with; the instance's own dictionary is
// checked at each use.
class MethodMemo {
public:
    [[nodiscard]] const std::string* find(PyObject* code, PyObject* caller_code, PyTypeObject* type,
                                          PyObject* lookup) const noexcept;
    void remember(PyObject* code, PyObject* caller_code, PyTypeObject* type, PyObject* lookup, PyObject* function,
                  const std::string& text);

private:
    struct Key {
        PyObject* code;
        PyObject* caller_code;
        PyTypeObject* type;
        bool operator==(const Key&) const = default;
    };
    struct KeyHash {
        size_t operator()(const Key& key) const noexcept {
            return ObjectPairHash{}(ObjectPair{key.code, key.caller_code}) ^
                   reinterpret_cast<uintptr_t>(key.type) * 0x9E3779B1u;
        }
    };
    struct Entry {
        Ref code;  // keep the key's code objects from being replaced at their addresses
        Ref caller_code;
        unsigned int type_version;  // no reference to the class: a freed one never has its tag again
        unsigned int meta_version;
        PyObject* lookup;    // borrowed: only compared
        PyObject* function;  // borrowed: the class holds it while its tag is unchanged
        Ref module;
        Ref qualname;
        std::string text;
    };
    static constexpr size_t max_entries = 1 << 14;
    std::unordered_map<Key, Entry, KeyHash> entries_;
    mutable const std::pair<const Key, Entry>* last_ = nullptr;  // as in CodeNameMemo
};

struct NameMemo {
    AttributeMemo attributes;
    JoinMemo joins;
    CodeNameMemo by_code;
    GlobalFunctionMemo global_functions;
    MethodMemo methods;
};

}  // namespace sarn
