#include "serialize/container_repr.hpp"

#include <array>
#include <charconv>
#include <string_view>

#include "utils/compact_int.hpp"
#include "utils/free_threading.hpp"
#include "utils/small_vector.hpp"

namespace sarn::serialize {

namespace {

constexpr std::string_view kFill = "...";
constexpr Py_ssize_t kShortItems = 8;    // `_SHORT_REPR_ITEMS`
constexpr Py_ssize_t kShortString = 40;  // strings of a small and flat container

bool append_utf8(PyObject* str, ReprText& out) {
    if (!PyUnicode_IS_ASCII(str)) out.note_non_ascii();
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(str, &size);
    if (data == nullptr) return false;
    out.append(data, static_cast<size_t>(size));
    return true;
}

// The characters a str's repr shows as themselves within single quotes:
// printable ASCII but the quote and the backslash.
constexpr auto kPlainCharacter = [] {
    std::array<bool, 256> plain{};
    for (int c = 0x20; c <= 0x7e; ++c) plain[c] = c != '\'' && c != '\\';
    return plain;
}();

// reprlib's cut of a text longer than `limit`: its head and tail around "...".
Ref cut_middle(Ref text, Py_ssize_t limit) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text.get());
    if (length <= limit) return text;
    const Py_ssize_t head = std::max<Py_ssize_t>(0, (limit - 3) / 2);
    const Py_ssize_t tail = std::max<Py_ssize_t>(0, limit - 3 - head);
    return Ref::steal(PyUnicode_FromFormat("%U...%U", Ref::steal(PyUnicode_Substring(text.get(), 0, head)).get(),
                                           Ref::steal(PyUnicode_Substring(text.get(), length - tail, length)).get()));
}

bool is_simple(PyObject* value) {
    PyTypeObject* type = Py_TYPE(value);
    return type == &PyLong_Type || type == &PyFloat_Type || type == &PyBool_Type || value == Py_None;
}

bool is_short_simple(PyObject* value) {
    return is_simple(value) || (PyUnicode_CheckExact(value) && PyUnicode_GET_LENGTH(value) < kShortString);
}

// `_is_small_and_flat`: a few numbers and short strings, whose own repr is
// short and cheap.
bool small_and_flat(PyObject* value) {
    ObjectLock lock(value);
    if (PyDict_CheckExact(value)) {
        if (PyDict_GET_SIZE(value) > kShortItems) return false;
        Py_ssize_t position = 0;
        PyObject *key, *item;
        while (PyDict_Next(value, &position, &key, &item)) {
            if (!PyUnicode_CheckExact(key) || PyUnicode_GET_LENGTH(key) >= kShortString || !is_simple(item)) {
                return false;
            }
        }
        return true;
    }
    if (PyList_CheckExact(value) || PyTuple_CheckExact(value)) {
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(value);
        if (size > kShortItems) return false;
        PyObject** items = PySequence_Fast_ITEMS(value);
        for (Py_ssize_t i = 0; i < size; ++i) {
            if (!is_short_simple(items[i])) return false;
        }
        return true;
    }
    return false;
}

// Values whose repr is C code that makes only strings (which are not
// tracked by the garbage collector): showing them runs no Python code.
bool is_plain(PyObject* value) {
    PyTypeObject* type = Py_TYPE(value);
    return type == &PyLong_Type || type == &PyUnicode_Type || type == &PyFloat_Type || type == &PyBool_Type ||
           value == Py_None;
}

// The first items of a container, in the order its repr shows them, read
// in place. Before the first item whose repr may run code (which could
// change the container) is shown, all of them are held: until then no code
// has run, so each is still alive. A free-threaded build holds them at once,
// under the container's lock.
class FirstItems {
public:
    void add(PyObject* item) { items_.push_back(item); }
    void add_held(Ref item) {
        items_.push_back(item.get());
        held_.push_back(std::move(item));
    }
    void hold() {
        if (!held_.empty() || items_.begin() == items_.end()) return;
        for (PyObject* item : items_) held_.push_back(Ref::borrow(item));
    }
    // Ready to show `item`, one of these.
    void before_showing(PyObject* item) {
        if (!is_plain(item)) hold();
    }
    PyObject* const* begin() const { return items_.begin(); }
    PyObject* const* end() const { return items_.end(); }
    size_t size() const { return items_.size(); }
    PyObject* operator[](size_t i) const { return items_.begin()[i]; }

private:
    // Room for a dict's first keys and values, reprlib shows six entries.
    SmallVector<PyObject*, 16> items_;
    SmallVector<Ref, 16> held_;
};

// Holds the items at once where another thread may change the container.
inline void hold_if_free_threaded([[maybe_unused]] FirstItems& items) {
#ifdef Py_GIL_DISABLED
    items.hold();
#endif
}

class Shower {
public:
    Shower(const ReprSettings& settings, ObjectShower& objects, size_t enough, Py_ssize_t& shown)
        : s_(settings), objects_(objects), enough_(enough), shown_(shown) {}

    // `Repr.repr1` for an item, counted as one shown: false when `x` is not
    // a shape made here. The commonest items, ints and plain strings, are
    // written inline (they run no code, so nothing need be held for them);
    // before any other is shown, the items still to come are held.
    [[gnu::always_inline]] bool repr1(PyObject* x, Py_ssize_t level, FirstItems& items, ReprText& out) {
        ++shown_;
        PyTypeObject* type = Py_TYPE(x);
        if ((type == &PyLong_Type && machine_int(x, out)) || (type == &PyUnicode_Type && plain_str(x, out))) {
            return true;
        }
        items.before_showing(x);
        return repr_as(x, type, level, out);
    }

    // `x` shown as an instance of `type`, one of its bases.
    [[gnu::noinline]] bool repr_as(PyObject* x, PyTypeObject* type, Py_ssize_t level, ReprText& out) {
        if (type == &PyUnicode_Type) return plain_str(x, out) || repr_str(x, out);
        if (type == &PyLong_Type) return machine_int(x, out) || cut_repr(x, s_.maxlong, out);
        if (type == &PyTuple_Type) {
            FirstItems items = first(PySequence_Fast_ITEMS(x), PyTuple_GET_SIZE(x), s_.maxtuple);
            return iterable(items, PyTuple_GET_SIZE(x), level, "(", ")", s_.maxtuple, ",", out);
        }
        if (type == &PyList_Type) return repr_list(x, level, out);
        if (type == &PyDict_Type) return repr_dict(x, level, out);
        if (type == &PySet_Type) return repr_set(x, level, "set()", "{", "}", s_.maxset, out);
        if (type == &PyFrozenSet_Type) {
            return repr_set(x, level, "frozenset()", "frozenset({", "})", s_.maxfrozenset, out);
        }
        if (type == &PyFloat_Type || type == &PyBool_Type || x == Py_None ||
            (PyType_Check(x) && type == &PyType_Type)) {
            return cut_repr(x, s_.maxother, out);
        }
        return objects_.show(x, out);
    }

private:
    static FirstItems first(PyObject** items, Py_ssize_t size, Py_ssize_t limit) {
        FirstItems first;
        for (Py_ssize_t i = 0; i < size && i < limit; ++i) first.add(items[i]);
        hold_if_free_threaded(first);
        return first;
    }

    // The repr of a short string of printable ASCII that needs no escape
    // and no other quotes, written directly; false for any other string.
    [[gnu::always_inline]] bool plain_str(PyObject* x, ReprText& out) const {
        const Py_ssize_t length = PyUnicode_GET_LENGTH(x);
        if (!PyUnicode_IS_ASCII(x) || length + 2 > s_.maxstring) return false;
        const auto* text = static_cast<const unsigned char*>(PyUnicode_DATA(x));
        for (Py_ssize_t i = 0; i < length; ++i) {
            if (!kPlainCharacter[text[i]]) return false;
        }
        out.push_back('\'');
        out.append(reinterpret_cast<const char*>(text), static_cast<size_t>(length));
        out.push_back('\'');
        return true;
    }

    // The digits of an int that fits a machine word (never cut: reprlib
    // cuts only past `maxlong` digits).
    [[gnu::always_inline]] bool machine_int(PyObject* x, ReprText& out) const {
        if (s_.maxlong < 20) return false;
        long long number;
        if (!int64_value(x, number)) return false;
        out.append_int(number);
        return true;
    }

    // `repr_str`: the repr of the first characters; a longer one is made of
    // the string's head and tail.
    bool repr_str(PyObject* x, ReprText& out) {
        const Py_ssize_t length = PyUnicode_GET_LENGTH(x);
        Ref head = Ref::steal(PyUnicode_Substring(x, 0, std::min(length, s_.maxstring)));
        Ref text = head ? Ref::steal(PyObject_Repr(head.get())) : Ref();
        if (!text) return false;
        if (PyUnicode_GET_LENGTH(text.get()) > s_.maxstring) {
            const Py_ssize_t i = std::max<Py_ssize_t>(0, (s_.maxstring - 3) / 2);
            const Py_ssize_t j = std::max<Py_ssize_t>(0, s_.maxstring - 3 - i);
            Ref ends = Ref::steal(PyUnicode_Concat(Ref::steal(PyUnicode_Substring(x, 0, i)).get(),
                                                   Ref::steal(PyUnicode_Substring(x, length - j, length)).get()));
            text = ends ? Ref::steal(PyObject_Repr(ends.get())) : Ref();
            if (!text) return false;
            const Py_ssize_t shown = PyUnicode_GET_LENGTH(text.get());
            text = Ref::steal(PyUnicode_FromFormat("%U...%U", Ref::steal(PyUnicode_Substring(text.get(), 0, i)).get(),
                                                   Ref::steal(PyUnicode_Substring(text.get(), shown - j, shown)).get()));
            if (!text) return false;
        }
        return append_utf8(text.get(), out);
    }

    // `repr_int` and `repr_instance` of values whose repr is C code.
    static bool cut_repr(PyObject* x, Py_ssize_t limit, ReprText& out) {
        Ref text = Ref::steal(PyObject_Repr(x));
        if (!text || !PyUnicode_CheckExact(text.get())) return false;
        text = cut_middle(std::move(text), limit);
        return text && append_utf8(text.get(), out);
    }

    // `_repr_iterable` over the first items of a container of `size`.
    bool iterable(FirstItems& items, Py_ssize_t size, Py_ssize_t level, std::string_view left,
                  std::string_view right, Py_ssize_t maxiter, std::string_view trail, ReprText& out) {
        out.append(left);
        if (level <= 0 && size > 0) {
            out.append(kFill);
        } else {
            bool first_piece = true;
            for (PyObject* item : items) {
                if (out.size() >= enough_) break;
                if (!first_piece) out.append(", ");
                first_piece = false;
                if (!repr1(item, level - 1, items, out)) return false;
            }
            if (size > maxiter) out.append(first_piece ? "" : ", ").append(kFill);
            if (size == 1) out.append(trail);
        }
        out.append(right);
        return true;
    }

    // A list is read under its lock: another thread may change it.
    bool repr_list(PyObject* x, Py_ssize_t level, ReprText& out) {
        Py_ssize_t size = 0;
        FirstItems items = [&] {
            ObjectLock lock(x);
            size = PyList_GET_SIZE(x);
            return first(PySequence_Fast_ITEMS(x), size, s_.maxlist);
        }();
        return iterable(items, size, level, "[", "]", s_.maxlist, "", out);
    }

    // The first entries in the dict's own order.
    bool repr_dict(PyObject* x, Py_ssize_t level, ReprText& out) {
        const Py_ssize_t size = PyDict_GET_SIZE(x);
        if (size == 0) {
            out.append("{}");
            return true;
        }
        if (level <= 0) {
            out.append("{...}");
            return true;
        }
        FirstItems entries;  // each key followed by its value
        {
            ObjectLock lock(x);
            Py_ssize_t position = 0, count = 0;
            PyObject *key, *item;
            while (count < s_.maxdict && PyDict_Next(x, &position, &key, &item)) {
                entries.add(key);
                entries.add(item);
                ++count;
            }
            hold_if_free_threaded(entries);
        }
        out.append("{");
        for (size_t i = 0; i < entries.size(); i += 2) {
            if (out.size() >= enough_) break;
            if (i > 0) out.append(", ");
            // An entry counts once, as its value. A plain str key is
            // written inline, as `repr1` writes one.
            PyObject* key = entries[i];
            if (Py_TYPE(key) != &PyUnicode_Type || !plain_str(key, out)) {
                entries.before_showing(key);
                if (!repr_as(key, Py_TYPE(key), level - 1, out)) return false;
            }
            out.append(": ");
            if (!repr1(entries[i + 1], level - 1, entries, out)) return false;
        }
        if (size > s_.maxdict) out.append(", ").append(kFill);
        out.append("}");
        return true;
    }

    // The first items in the set's own order.
    bool repr_set(PyObject* x, Py_ssize_t level, std::string_view empty, std::string_view left,
                  std::string_view right, Py_ssize_t maxiter, ReprText& out) {
        if (PySet_GET_SIZE(x) == 0) {
            out.append(empty);
            return true;
        }
        // The set's table is read as the base class's iterator reads it,
        // whatever a subclass defines, without running Python code: in
        // place under the interpreter lock, through that iterator otherwise.
        FirstItems items;
#ifndef Py_GIL_DISABLED
        visit_first_set_items(x, maxiter, [&](PyObject* item) { items.add(item); });
        return iterable(items, PySet_GET_SIZE(x), level, left, right, maxiter, "", out);
#else
        PyTypeObject* base = PyAnySet_CheckExact(x) ? Py_TYPE(x) : (PySet_Check(x) ? &PySet_Type : &PyFrozenSet_Type);
        Py_ssize_t seen = 0;
        const bool read = [&] {
            ObjectLock lock(x);  // another thread may resize the table meanwhile
            Ref iterator = Ref::steal(base->tp_iter(x));
            if (!iterator) return false;
            while (seen <= maxiter) {
                Ref key = Ref::steal(PyIter_Next(iterator.get()));
                if (!key) return !PyErr_Occurred();
                if (seen < maxiter) items.add_held(std::move(key));
                ++seen;
            }
            return true;
        }();
        return read && iterable(items, seen, level, left, right, maxiter, "", out);
#endif
    }

    const ReprSettings& s_;
    ObjectShower& objects_;
    size_t enough_;
    Py_ssize_t& shown_;
};

}  // namespace

namespace {

// The class's `__name__`: a class made at run time holds it as a str, a
// static one (OrderedDict, defaultdict) has it at the end of its C name.
// False for a name this cannot write as the Python half would.
bool append_class_name(PyTypeObject* type, ReprText& out) {
    if (type->tp_flags & Py_TPFLAGS_HEAPTYPE) {
        PyObject* name = reinterpret_cast<PyHeapTypeObject*>(type)->ht_name;
        return name != nullptr && PyUnicode_CheckExact(name) && append_utf8(name, out);
    }
    std::string_view name(type->tp_name);
    if (const size_t dot = name.rfind('.'); dot != std::string_view::npos) name.remove_prefix(dot + 1);
    for (const char c : name) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    out.append(name);
    return true;
}

// Whether a container holds more items than its short repr shows. A tuple
// never counts: a named tuple's or a struct sequence's repr names its fields,
// and they are as many as its class says.
bool longer_than_shown(PyObject* value, PyTypeObject* base, const ReprSettings& settings) {
    if (base == &PyTuple_Type) return false;
    const FirstLevel level = first_level(value, base, settings);
    return level.size > level.shown;
}

// The container class a subclass is shown as ("Name(" and the base's form
// and ")"), when the subclass keeps the base's repr (or has one of its own
// but holds more items than are shown: its repr would show them all), and
// for lists and tuples its length and iteration, which the Python half
// would call; null for any other class.
PyTypeObject* shown_base(PyObject* value, PyTypeObject* type, const ReprSettings& settings) {
    for (PyTypeObject* base : {&PyDict_Type, &PyList_Type, &PyTuple_Type, &PySet_Type, &PyFrozenSet_Type}) {
        if (!PyType_IsSubtype(type, base)) continue;
        if (type->tp_repr != base->tp_repr && !longer_than_shown(value, base, settings)) return nullptr;
        if (base == &PyList_Type || base == &PyTuple_Type) {
            if (type->tp_iter != base->tp_iter || type->tp_as_sequence == nullptr ||
                type->tp_as_sequence->sq_length != base->tp_as_sequence->sq_length) {
                return nullptr;
            }
        }
        return base;
    }
    return nullptr;
}

}  // namespace

bool container_repr_text(PyObject* value, const ReprSettings& settings, ObjectShower& objects, size_t enough,
                         ReprText& out, Py_ssize_t& shown) {
    PyTypeObject* type = Py_TYPE(value);
    const bool exact = is_builtin_container(type);
    PyTypeObject* base = exact ? type : shown_base(value, type, settings);
    if (base == nullptr) return false;
    if (exact && small_and_flat(value)) {
        const Py_ssize_t size = PyObject_Size(value);
        shown += size;
        if (size == 0) {
            out.append(type == &PyList_Type ? "[]" : type == &PyTuple_Type ? "()" : "{}");
            return true;
        }
        Ref text = Ref::steal(PyObject_Repr(value));
        if (!text || !append_utf8(text.get(), out)) {
            PyErr_Clear();
            return false;
        }
        return true;
    }
    if (!exact) {
        if (!append_class_name(type, out)) {
            PyErr_Clear();
            return false;
        }
        out.append("(");
    }
    Shower shower(settings, objects, enough, shown);
    if (!shower.repr_as(value, base, settings.maxlevel, out)) {
        PyErr_Clear();
        return false;
    }
    if (!exact) out.append(")");
    return true;
}

void cut_to_characters(std::string& text, Py_ssize_t limit) {
    if (static_cast<Py_ssize_t>(text.size()) <= limit) return;  // no more characters than bytes
    Py_ssize_t characters = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;  // inside a character
        if (characters == limit) {
            text.resize(i);
            text.append("...");
            return;
        }
        ++characters;
    }
}

}  // namespace sarn::serialize
