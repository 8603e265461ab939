// The fast half of `sarn.serialize`: writes any Python value as one
// MessagePack value, in the full or the lightweight form that module
// documents, value by value with the same rules and the same bytes as its
// Python walker. Only what needs Python is asked of the Python half: type
// names and attribute plans, bounded reprs, and the text of huge integers.
#pragma once

#include <Python.h>

#include <array>
#include <string>
#include <string_view>

#include "serialize/class_memo.hpp"
#include "serialize/container_repr.hpp"
#include "utils/free_threading.hpp"
#include "utils/msgpack_writer.hpp"
#include "utils/named_value.hpp"
#include "utils/plain_values.hpp"
#include "utils/ref.hpp"
#include "utils/repr_memo.hpp"

namespace sarn::serialize {

// The kinds the Python half's `_info` gives a class, read once per class.
enum class TypeKind : uint8_t { object, namedtuple, dict, list, tuple, set, frozenset, deque, bytearray, unknown };

// The built-in containers, and their repr when empty.
struct EmptyContainer {
    PyTypeObject* type;
    std::string_view repr;
};
inline const std::array<EmptyContainer, 5> kEmptyContainers = {{{&PyList_Type, "[]"},
                                                                {&PyTuple_Type, "()"},
                                                                {&PyDict_Type, "{}"},
                                                                {&PySet_Type, "set()"},
                                                                {&PyFrozenSet_Type, "frozenset()"}}};

// What the Python half lends the writer.
struct Host {
    Ref type_info;     // _info(type) -> (type name, attribute plan or None, kind, repr runs)
    Ref bounded_repr;  // _bounded_repr(value, type name) -> str, for containers
    Ref big_int_repr;  // _big_int_repr(int) -> str
    Ref deque_type;    // collections.deque
    Ref partial_type;  // functools.partial
    Ref tag;           // the key that marks a tagged map
    std::string tag_utf8;
    // A map of three entries, its tag "object", and the key "type": how every
    // object's form begins (the header is mended when it has more entries).
    std::string object_head;
    Ref dict_name;     // interned "__dict__", "__get__" and "_fields"
    Ref get_name;
    Ref fields_name;
    Ref module_name;   // interned "__module__"
    Ref reprlib_names; // the class names reprlib shows in a way of their own
    Limits limits;
    ReprSettings reprs;  // the Python half's reprlib settings
    // The whole object form of each built-in container when empty (in the
    // order of `kEmptyContainers`): the lightweight form writes it in one go.
    std::string empty_forms[5];

    // What `type_info` answered per class, while the class keeps its version
    // tag (any change to a class or its bases gives it a new one, and a freed
    // class's address never comes back with the old tag). The Python half
    // caches its answer per class too; this spares the call.
    struct KnownType {
        unsigned int version;
        Ref info;
        TypeKind kind;
    };
    mutable ClassMemo<KnownType> known_types;
    // "<module.Qualified.Name object at " per class whose instances show
    // object's own repr, while the class keeps its version tag (a new
    // `__module__` gives it a new one) and its `__qualname__` object (whose
    // change gives none).
    // The prefix is held in the entry, read with it; a longer one is not
    // remembered.
    struct KnownReprPrefix {
        static constexpr size_t room = 96;
        unsigned int version = 0;
        Ref qualname;
        Py_ssize_t characters = 0;  // of the prefix, for the repr limit
        uint8_t size = 0;
        char text[room];
        std::string_view prefix() const noexcept { return {text, size}; }
    };
    mutable ClassMemo<KnownReprPrefix> known_repr_prefixes;
    // The repr of a class whose metaclass is `type`, on the same terms (a
    // built-in class has no `__qualname__` object: null).
    struct KnownClassRepr {
        unsigned int version;
        Ref qualname;
        Ref repr;
    };
    mutable ClassMemo<KnownClassRepr> known_class_reprs;
    // Dumps on several threads share both on a free-threaded interpreter.
    mutable ParallelMutex known_types_lock;
};

// The rules of the host's plain values.
inline PlainRules plain_rules(const Host& host) noexcept { return {&host.limits, host.tag.get()}; }

// True when the pending exception is one the program must see rather than
// a failure to describe in the value's place: KeyboardInterrupt from Ctrl-C
// in a repr, SystemExit, and the like (anything that is not an Exception).
inline bool pending_error_reaches_program() noexcept {
    return PyErr_Occurred() != nullptr && !PyErr_ExceptionMatches(PyExc_Exception);
}

// The pending Python exception, taken out of the interpreter's error state
// and normalised, so that the Python code that describes it starts clean.
class TakenError {
public:
    static TakenError take() noexcept {
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        PyErr_NormalizeException(&type, &value, &traceback);
        TakenError taken;
        taken.type_ = Ref::steal(type);
        taken.value_ = Ref::steal(value);
        taken.traceback_ = Ref::steal(traceback);
        return taken;
    }
    // The exception instance; null only when nothing was pending.
    [[nodiscard]] PyObject* value() const noexcept { return value_.get(); }
    [[nodiscard]] PyTypeObject* type() const noexcept {
        return value_ ? Py_TYPE(value_.get()) : reinterpret_cast<PyTypeObject*>(type_.get());
    }

private:
    Ref type_, value_, traceback_;
};

// Append the full (or lightweight) form of `value` to `out`, taking reprs
// through `memo`. They return false with a Python exception set when no form
// could be written; `out` may then hold a partial value.
bool write_full(const Host& host, PyObject* value, Bytes& out, ReprMemo& memo);
bool write_lightweight(const Host& host, PyObject* value, Bytes& out, ReprMemo& memo);

// How many values writing `value` looks at (items, entries, attributes, and
// the items its short reprs show): a measure of the work, for tests. -1 with
// an exception set when the value could not be written.
Py_ssize_t count_visits(const Host& host, PyObject* value, bool lightweight, ReprMemo& memo);

// The same for a dict (one of a frame's locals) given as its entries: the
// bytes that writing such a dict appends, when every key is written as
// itself. `failed` leaves an exception set and `out` as it was.
EntriesWritten write_full_entries(const Host& host, const NamedValue* entries, size_t count, Bytes& out,
                                  ReprMemo& memo);
EntriesWritten write_lightweight_entries(const Host& host, const NamedValue* entries, size_t count, Bytes& out,
                                         ReprMemo& memo);

}  // namespace sarn::serialize
