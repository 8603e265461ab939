// The walker: what the Python half says of a type, and the reprs values are shown with.
#include "serialize/walker.hpp"

#include <mutex>
#include <optional>
#include <vector>

namespace sarn::serialize::walker {

namespace {

// The class's version tag, given to it by a lookup if it has none yet;
// nothing when it can have none.
std::optional<unsigned int> version_tag(const Host& host, PyTypeObject* type) {
    (void)_PyType_Lookup(type, host.dict_name.get());
    if (!has_type_version(type)) return std::nullopt;
    return type_version(type);
}

// Puts `entry` in one of the host's memos per class. What is dropped or
// replaced is released after the lock: a release may free a class.
template <class Entry>
void remember_per_class(const Host& host, ClassMemo<Entry>& memo, PyTypeObject* type, Entry entry) {
    std::vector<Entry> released;
    std::lock_guard<ParallelMutex> hold(host.known_types_lock);
    memo.put(type, std::move(entry), released);
}

bool is_word(PyObject* text, const char* word) { return PyUnicode_CompareWithASCIIString(text, word) == 0; }

}  // namespace

TypeKind type_kind(PyObject* kind) {
    if (is_word(kind, "object")) return TypeKind::object;
    if (is_word(kind, "namedtuple")) return TypeKind::namedtuple;
    if (is_word(kind, "dict")) return TypeKind::dict;
    if (is_word(kind, "list")) return TypeKind::list;
    if (is_word(kind, "tuple")) return TypeKind::tuple;
    if (is_word(kind, "set")) return TypeKind::set;
    if (is_word(kind, "frozenset")) return TypeKind::frozenset;
    if (is_word(kind, "deque")) return TypeKind::deque;
    if (is_word(kind, "bytearray")) return TypeKind::bytearray;
    return TypeKind::unknown;
}

// What `type_info` answered for the class at its present version tag, if
// remembered: its tuple and its kind.
bool ValueWriter::known_type_info(PyTypeObject* type, Ref& tuple, TypeKind& kind) const {
    if (!has_type_version(type)) return false;
    std::lock_guard<ParallelMutex> hold(host_.known_types_lock);
    const Host::KnownType* known = host_.known_types.find(type);
    if (known == nullptr || type_version(type) != known->version) return false;
    tuple = known->info.dup();
    kind = known->kind;
    return true;
}

const TypeInfo* ValueWriter::new_type_info(PyTypeObject* type) {
    Ref tuple;
    TypeKind kind = TypeKind::unknown;
    // Only answers of the right shape are remembered (a tuple does not change).
    if (!known_type_info(type, tuple, kind)) {
        tuple = Ref::steal(PyObject_CallFunctionObjArgs(host_.type_info.get(), reinterpret_cast<PyObject*>(type), nullptr));
        if (!tuple) return nullptr;
        PyObject* answer = tuple.get();
        if (!PyTuple_CheckExact(answer) || PyTuple_GET_SIZE(answer) != 4 || !PyUnicode_Check(PyTuple_GET_ITEM(answer, 0)) ||
            !(PyTuple_GET_ITEM(answer, 1) == Py_None || PyTuple_Check(PyTuple_GET_ITEM(answer, 1))) ||
            !PyUnicode_Check(PyTuple_GET_ITEM(answer, 2)) || !PyBool_Check(PyTuple_GET_ITEM(answer, 3))) {
            PyErr_SetString(PyExc_TypeError, "_info must return (str, tuple or None, str, bool)");
            return nullptr;
        }
        kind = type_kind(PyTuple_GET_ITEM(answer, 2));
        remember_type(type, answer, kind);
    }
    const TypeInfo info = TypeInfo::of(tuple.get(), kind);
    // Kept for the rest of the walk when the class has a version tag to
    // check it by, and is not in the table already (with another tag).
    MetClass* met = has_type_version(type) ? met_.add(type) : nullptr;
    if (met == nullptr) {
        loose_classes_.push_front(LooseClass{std::move(tuple), info});
        return &loose_classes_.front().info;
    }
    met->version = type_version(type);
    met->tuple = std::move(tuple);
    met->info = info;
    make_head(info.name, *met);
    return &met->info;
}

// The host's object head and `name` as a str, when they fit the room kept
// for them (and the name is text that can be written).
void ValueWriter::make_head(PyObject* name, MetClass& met) const {
    Text text;
    if (!text.load(name)) {
        PyErr_Clear();  // the name is loaded again, and the failure raised, where it is written
        return;
    }
    const std::string_view head = host_.object_head;
    const std::string_view view = text.view();
    if (head.size() + 1 + view.size() > kHeadRoom || view.size() >= 32) return;
    std::memcpy(met.head, head.data(), head.size());
    met.head[head.size()] = static_cast<char>(0xa0 | view.size());
    if (!view.empty()) std::memcpy(met.head + head.size() + 1, view.data(), view.size());
    met.info.head = met.head;
    met.info.head_size = head.size() + 1 + view.size();
}

void ValueWriter::remember_type(PyTypeObject* type, PyObject* info, TypeKind kind) {
    if (auto version = version_tag(host_, type)) {
        remember_per_class(host_, host_.known_types, type, Host::KnownType{*version, Ref::borrow(info), kind});
    }
}

// `_bounded_repr`. Containers not made as text by `take_repr` (deques,
// views, subclasses with reprs of their own, or holding values it does not
// show) get the Python half's short repr, which looks at only a few items;
// any other value's repr is taken here and cut.
Ref ValueWriter::bounded_repr(PyObject* value, PyObject* type_name) {
    if (Py_TYPE(value) == &PyMethod_Type) {
        Ref text = method_repr(value);
        if (text) return text;
        if (PyErr_Occurred()) return repr_failure(type_name);
    }
    if (!is_container_type(Py_TYPE(value))) {
        Ref text = Ref::steal(PyObject_Repr(value));
        if (text && !PyUnicode_CheckExact(text.get())) text = Ref::steal(PyUnicode_FromObject(text.get()));
        if (!text) return repr_failure(type_name);
        if (PyUnicode_GET_LENGTH(text.get()) <= limits_.max_repr) return text;
        Ref prefix = Ref::steal(PyUnicode_Substring(text.get(), 0, limits_.max_repr));
        if (!prefix) return repr_failure(type_name);
        return Ref::steal(PyUnicode_FromFormat("%U%s", prefix.get(), kCutMark.data()));
    }
    Ref repr = Ref::steal(PyObject_CallFunctionObjArgs(host_.bounded_repr.get(), value, type_name, nullptr));
    if (repr && !PyUnicode_Check(repr.get())) {
        PyErr_SetString(PyExc_TypeError, "_bounded_repr must return a str");
        return Ref();
    }
    return repr;
}

// Whether reprlib shows instances of `type` through a method of their own
// (it picks one by the short name of the class: a class of the program's
// named "list" goes through repr_list). Such classes are left to Python.
bool ValueWriter::named_by_reprlib(PyTypeObject* type) const {
    PyObject* short_name = reinterpret_cast<PyHeapTypeObject*>(type)->ht_name;
    if (short_name == nullptr || !PyUnicode_CheckExact(short_name)) return true;
    const int named = PySet_Contains(host_.reprlib_names.get(), short_name);
    const Py_ssize_t space = PyUnicode_FindChar(short_name, ' ', 0, PyUnicode_GET_LENGTH(short_name), 1);
    if (named != 0 || space != -1) {
        PyErr_Clear();
        return true;
    }
    return false;
}

// How `_Repr.repr_instance` shows an instance of a class defined in Python
// whose __repr__ is not run, or is object's own; false (nothing set) for
// any other value, which the Python half then shows.
bool ValueWriter::unrun_or_default_repr(PyObject* value, Text& out) {
    PyTypeObject* type = Py_TYPE(value);
    if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE) || named_by_reprlib(type)) return false;
    auto info = type_info(type);
    if (!info) {
        PyErr_Clear();
        return false;
    }
    if (!info->repr_runs) {
        Py_ssize_t size = 0;
        const char* name = PyUnicode_AsUTF8AndSize(info->name, &size);
        if (name == nullptr) {
            PyErr_Clear();
            return false;
        }
        out.assign(unrun_object_repr(std::string_view(name, static_cast<size_t>(size)), value));
        return true;
    }
    return default_object_repr(value, out);
}

bool ValueWriter::show(PyObject* value, ReprText& out) {
    Text text;
    if (!unrun_or_default_repr(value, text)) return false;
    if (text.characters() != static_cast<Py_ssize_t>(text.view().size())) out.note_non_ascii();
    out.append(text.view());
    return true;
}

// `_view_repr` of a bound method, made here when its object is shown in
// object's own form. Null with no exception leaves it to the Python half.
Ref ValueWriter::method_repr(PyObject* method) {
    Text self_text;
    if (!unrun_or_default_repr(PyMethod_GET_SELF(method), self_text)) return Ref();
    return bound_method_repr(method, self_text.view(), limits_.max_repr);
}

// The same repr made into `out` without a str object, when it is whole
// within the repr limit; false (nothing set) otherwise.
bool ValueWriter::method_text(PyObject* method, Text& out) {
    PyObject* function = PyMethod_GET_FUNCTION(method);
    if (!PyFunction_Check(function)) return false;
    PyObject* qualname = reinterpret_cast<PyFunctionObject*>(function)->func_qualname;
    std::string_view name = "?";
    Py_ssize_t name_characters = 1;
    if (qualname != nullptr && PyUnicode_CheckExact(qualname)) {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(qualname, &size);
        if (text == nullptr) {
            PyErr_Clear();
            return false;
        }
        name = std::string_view(text, static_cast<size_t>(size));
        name_characters = PyUnicode_GET_LENGTH(qualname);
    }
    Text self_text;
    if (!unrun_or_default_repr(PyMethod_GET_SELF(method), self_text)) return false;
    const Py_ssize_t self_characters = self_text.characters() >= 0
                                           ? self_text.characters()
                                           : static_cast<Py_ssize_t>(utf8_characters(self_text.view()));
    constexpr std::string_view head = "<bound method ", of = " of ", tail = ">";
    const Py_ssize_t characters = static_cast<Py_ssize_t>(head.size() + of.size() + tail.size()) + name_characters +
                                  self_characters;
    if (characters > limits_.max_repr) return false;
    out.assign_joined({head, name, of, self_text.view(), tail}, characters);
    return true;
}

// A class's repr when its metaclass is `type`, remembered while the class
// keeps its version tag (a new `__module__` gives it a new one) and its
// `__qualname__` object (whose change gives none).
Ref ValueWriter::class_repr(PyObject* value) {
    auto* type = reinterpret_cast<PyTypeObject*>(value);
    PyObject* qualname =
        (type->tp_flags & Py_TPFLAGS_HEAPTYPE) ? reinterpret_cast<PyHeapTypeObject*>(type)->ht_qualname : nullptr;
    {
        std::lock_guard<ParallelMutex> hold(host_.known_types_lock);
        const Host::KnownClassRepr* known = host_.known_class_reprs.find(type);
        if (known != nullptr && has_type_version(type) && known->version == type_version(type) &&
            known->qualname.get() == qualname) {
            return known->repr.dup();
        }
    }
    Ref repr = Ref::steal(PyObject_Repr(value));
    if (!repr || !PyUnicode_CheckExact(repr.get())) return repr;
    if (auto version = version_tag(host_, type)) {
        remember_per_class(host_, host_.known_class_reprs, type,
                           Host::KnownClassRepr{*version, Ref::borrow(qualname), repr.dup()});
    }
    return repr;
}

// The repr to show `value` with, unless its __repr__ is not to run.
bool ValueWriter::take_repr(PyObject* value, const TypeInfo& info, ShownRepr& shown) {
    if (!info.repr_runs) return true;
    if (default_object_repr(value, shown.text)) {
        shown.taken = true;
        return true;
    }
    // A class's repr (when its metaclass is `type`) and a bound method's run
    // none of the program's code: taken at each meeting, they leave the memo
    // to the reprs that run Python code, which a record keeps few of.
    if (Py_TYPE(value) == &PyMethod_Type && method_text(value, shown.text)) {
        shown.taken = true;
        return true;
    }
    if (Py_TYPE(value) == &PyType_Type || Py_TYPE(value) == &PyMethod_Type) {
        shown.str = Py_TYPE(value) == &PyType_Type ? class_repr(value) : method_repr(value);
        if (shown.str && PyUnicode_GET_LENGTH(shown.str.get()) <= limits_.max_repr) {
            if (!shown.text.load(shown.str.get())) return false;
            shown.taken = true;
            return true;
        }
        if (PyErr_Occurred() && pending_error_reaches_program()) return false;
        PyErr_Clear();
    }
    // Nor does a built-in container's short repr: made as text.
    ReprText& text = repr_text_;
    text.clear();
    // Past this many bytes a text holds more than max_repr characters.
    const auto enough = static_cast<size_t>(4 * (limits_.max_repr + 1));
    if (container_repr_text(value, host_.reprs, *this, enough, text, visits_)) {
        // No more characters than bytes: only a longer text may need a cut.
        if (text.size() > static_cast<size_t>(limits_.max_repr)) {
            std::string cut(text.view());
            cut_to_characters(cut, limits_.max_repr);
            shown.text.assign(std::move(cut));
        } else {
            shown.text.assign_view(text.view(), text.characters());
        }
        shown.taken = true;
        return true;
    }
    shown.str = repr_once(value, info.name);
    if (!shown.str || !shown.text.load(shown.str.get())) return false;
    shown.taken = true;
    return true;
}

// `_shown_repr`: the repr as the text budget lets it be written: whole while
// it fits, cut to what is left of the budget, and not taken once none is.
bool ValueWriter::budgeted_repr(PyObject* value, const TypeInfo& info, ShownRepr& shown) {
    if (!info.repr_runs) return true;
    if (text_left_ <= 0) {
        shown.text.assign_view(kCutMark, static_cast<Py_ssize_t>(kCutMark.size()));
        shown.taken = true;
        return true;
    }
    if (!take_repr(value, info, shown)) return false;
    return spend_text(shown);
}

// Counts a repr taken against the text budget, cut to what is left of it.
bool ValueWriter::spend_text(ShownRepr& shown) {
    const Py_ssize_t left = text_left_;
    if (shown.str) {
        const Py_ssize_t length = PyUnicode_GET_LENGTH(shown.str.get());
        if (length <= left) {
            text_left_ = left - length;
            return true;
        }
        Ref prefix = Ref::steal(PyUnicode_Substring(shown.str.get(), 0, left));
        if (!prefix) return false;
        shown.str = Ref::steal(PyUnicode_FromFormat("%U%s", prefix.get(), kCutMark.data()));
        if (!shown.str || !shown.text.load(shown.str.get())) return false;
    } else {
        // Made here as UTF-8, with no lone surrogates: a character is any
        // byte that does not continue one.
        const std::string_view view = shown.text.view();
        const Py_ssize_t known = shown.text.characters();
        const Py_ssize_t length = known >= 0 ? known : static_cast<Py_ssize_t>(utf8_characters(view));
        if (length <= left) {
            text_left_ = left - length;
            return true;
        }
        std::string cut(view);
        cut_to_characters(cut, left);
        shown.text.assign(std::move(cut));
    }
    text_left_ = -static_cast<Py_ssize_t>(kCutMark.size());  // all that was left, and the mark
    return true;
}

// `_repr_once`: the bounded repr, taken once per value while the memo lasts.
// object's own repr, the commonest, has nothing to take once: it is left out.
Ref ValueWriter::repr_once(PyObject* value, PyObject* type_name) {
    if (Py_TYPE(value)->tp_repr == PyBaseObject_Type.tp_repr) return bounded_repr(value, type_name);
    if (PyObject* known = memo_.find(value)) return Ref::borrow(known);
    Ref text = bounded_repr(value, type_name);
    if (text) memo_.remember(value, text.dup());
    return text;
}

// object.__repr__ of an instance of a class defined in Python, written as
// the interpreter writes it ("<module.Qualified.Name object at 0x...>")
// without making the str. False (nothing set) for anything else, and for a
// text the repr limit would cut: those take the interpreter's own repr.
bool ValueWriter::default_object_repr(PyObject* value, Text& out) const {
    PyTypeObject* type = Py_TYPE(value);
    if (type->tp_repr != PyBaseObject_Type.tp_repr || !(type->tp_flags & Py_TPFLAGS_HEAPTYPE) ||
        type->tp_dict == nullptr) {
        return false;
    }
    // "%p": "0x" and the address in lower-case hex digits.
    char address[2 + 2 * sizeof(void*)];
    char* end = std::to_chars(address + 2, address + sizeof address, reinterpret_cast<uintptr_t>(value), 16).ptr;
    address[0] = '0';
    address[1] = 'x';
    const std::string_view address_text(address, static_cast<size_t>(end - address));
    PyObject* qualname = reinterpret_cast<PyHeapTypeObject*>(type)->ht_qualname;
    {
        std::lock_guard<ParallelMutex> hold(host_.known_types_lock);
        const Host::KnownReprPrefix* known = host_.known_repr_prefixes.find(type);
        if (known != nullptr && has_type_version(type) && known->version == type_version(type) &&
            known->qualname.get() == qualname) {
            return joined_repr(known->prefix(), known->characters, address_text, out);
        }
    }
    std::string prefix;
    Py_ssize_t characters = 0;
    if (!default_repr_prefix(type, prefix, characters)) return false;
    remember_repr_prefix(type, qualname, prefix, characters);
    return joined_repr(prefix, characters, address_text, out);
}

// "<module.Qualified.Name object at ", unless the class has no text
// module and qualified name, or is a built-in one's.
bool ValueWriter::default_repr_prefix(PyTypeObject* type, std::string& prefix, Py_ssize_t& characters) const {
    const Ref module_ref = dict_item(type->tp_dict, host_.module_name.get());
    PyObject* module = module_ref.get();
    PyObject* qualname = reinterpret_cast<PyHeapTypeObject*>(type)->ht_qualname;
    if (module == nullptr || !PyUnicode_CheckExact(module) || qualname == nullptr || !PyUnicode_CheckExact(qualname) ||
        PyUnicode_CompareWithASCIIString(module, "builtins") == 0) {
        PyErr_Clear();
        return false;
    }
    Py_ssize_t module_size = 0, qualname_size = 0;
    const char* module_text = PyUnicode_AsUTF8AndSize(module, &module_size);
    const char* qualname_text = module_text ? PyUnicode_AsUTF8AndSize(qualname, &qualname_size) : nullptr;
    if (qualname_text == nullptr) {
        PyErr_Clear();  // not valid text: the interpreter's repr and its escaping decide
        return false;
    }
    characters = 1 + PyUnicode_GET_LENGTH(module) + 1 + PyUnicode_GET_LENGTH(qualname) + 11;
    prefix.reserve(static_cast<size_t>(module_size + qualname_size) + 16);
    prefix.append("<").append(module_text, static_cast<size_t>(module_size)).append(".");
    prefix.append(qualname_text, static_cast<size_t>(qualname_size)).append(" object at ");
    return true;
}

void ValueWriter::remember_repr_prefix(PyTypeObject* type, PyObject* qualname, const std::string& prefix,
                                       Py_ssize_t characters) const {
    if (qualname == nullptr || prefix.size() > Host::KnownReprPrefix::room) return;
    if (auto version = version_tag(host_, type)) {
        Host::KnownReprPrefix known;
        known.version = *version;
        known.qualname = Ref::borrow(qualname);
        known.characters = characters;
        known.size = static_cast<uint8_t>(prefix.size());
        std::memcpy(known.text, prefix.data(), prefix.size());
        remember_per_class(host_, host_.known_repr_prefixes, type, std::move(known));
    }
}

// The repr from its prefix and the address, unless the repr limit would cut it.
bool ValueWriter::joined_repr(std::string_view prefix, Py_ssize_t characters, std::string_view address,
                              Text& out) const {
    if (characters + static_cast<Py_ssize_t>(address.size()) + 1 > limits_.max_repr) return false;
    out.assign_joined({prefix, address, ">"}, characters + static_cast<Py_ssize_t>(address.size()) + 1);
    return true;
}

// The text `_bounded_repr` gives when repr raises (anything at all).
Ref ValueWriter::repr_failure(PyObject* type_name) {
    if (pending_error_reaches_program()) return Ref();
    const TakenError error = TakenError::take();
    if (error.type() == nullptr) {
        PyErr_SetString(PyExc_SystemError, "a failure without an exception");
        return {};
    }
    auto reason = type_info(error.type());
    if (!reason) return Ref();
    return Ref::steal(PyUnicode_FromFormat("<%U object; repr() failed: %U>", type_name, reason->name));
}

// Containers, views and proxies of mappings, bound methods and partials:
// types whose own repr shows every item, or runs the repr of the object or
// the arguments they hold (which may be a __repr__ that is not to run).
bool ValueWriter::is_container_type(PyTypeObject* type) const {
    for (PyTypeObject* base : {&PyList_Type, &PyTuple_Type, &PyDict_Type, &PySet_Type, &PyFrozenSet_Type,
                               reinterpret_cast<PyTypeObject*>(host_.deque_type.get()), &PyDictKeys_Type,
                               &PyDictValues_Type, &PyDictItems_Type, &PyDictProxy_Type, &PyMethod_Type,
                               reinterpret_cast<PyTypeObject*>(host_.partial_type.get())}) {
        if (PyType_IsSubtype(type, base)) return true;
    }
    return false;
}

}  // namespace sarn::serialize::walker
