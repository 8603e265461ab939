// The walker behind sarn._serialize. Each function here mirrors one function
// of the Python walker in sarn/serialize.py (named in its comment); the two
// must keep producing the same bytes, which the tests compare value by value.
//
// Items of containers are copied out (with references) before any of them is
// written, because writing an item may run Python code (a repr) that changes
// the container.
#include <algorithm>
#include <charconv>
#include "serialize/value_writer.hpp"
#include "serialize/method_repr.hpp"
#include "serialize/container_repr.hpp"

#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "utils/ascii_text.hpp"
#include "utils/small_vector.hpp"
#include "utils/version_tags.hpp"

namespace sarn::serialize {

namespace {

using Out = Writer<StringSink>;
// Copied out of containers; most are small.
using Items = SmallVector<Ref, 8>;
using Entries = SmallVector<std::pair<Ref, Ref>, 8>;

constexpr std::string_view kCutMark = "...";

// The UTF-8 form of a str. Lone surrogates, which UTF-8 cannot hold, are
// written as backslash escapes.
class Text {
public:
    bool load(PyObject* str) {
        if (auto ascii = ascii_text(str)) {
            view_ = *ascii;
            return true;
        }
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(str, &size);
        if (data == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
            PyErr_Clear();
            owner_ = Ref::steal(PyUnicode_AsEncodedString(str, "utf-8", "backslashreplace"));
            if (!owner_) return false;
            data = PyBytes_AS_STRING(owner_.get());
            size = PyBytes_GET_SIZE(owner_.get());
        }
        view_ = std::string_view(data, static_cast<size_t>(size));
        return true;
    }
    // Text made here rather than by Python.
    void assign(std::string text) {
        own_ = std::move(text);
        view_ = own_;
    }
    std::string_view view() const noexcept { return view_; }

private:
    Ref owner_;
    std::string own_;
    std::string_view view_;
};

bool is_scalar_type(PyTypeObject* type) noexcept {
    return type == &PyUnicode_Type || type == &PyLong_Type || type == Py_TYPE(Py_None) ||
           type == &PyFloat_Type || type == &PyBool_Type || type == &PyBytes_Type;
}

PyObject* const* list_items(PyObject* list) noexcept { return reinterpret_cast<PyListObject*>(list)->ob_item; }
PyObject* const* tuple_items(PyObject* tuple) noexcept { return reinterpret_cast<PyTupleObject*>(tuple)->ob_item; }

bool starts_with_two_underscores(PyObject* str) noexcept {
    return PyUnicode_GET_LENGTH(str) >= 2 && PyUnicode_READ_CHAR(str, 0) == '_' &&
           PyUnicode_READ_CHAR(str, 1) == '_';
}

// The containers and objects from the top value down to the one being
// written, for cycles.
using Path = SmallVector<PyObject*, 16>;

// An entry of the current path of containers and objects, for cycles.
class PathEntry {
public:
    PathEntry(Path& path, PyObject* value) : path_(path) { path_.push_back(value); }
    ~PathEntry() { path_.pop_back(); }
    PathEntry(const PathEntry&) = delete;
    PathEntry& operator=(const PathEntry&) = delete;

private:
    Path& path_;
};

// What `_info(type)` says of a type.
struct TypeInfo {
    Ref tuple;
    PyObject* name = nullptr;  // borrowed from `tuple`
    PyObject* plan = nullptr;
    PyObject* kind = nullptr;
    bool repr_runs = true;
    bool is(const char* kind_name) const { return PyUnicode_CompareWithASCIIString(kind, kind_name) == 0; }
};

// The repr an object is shown with; none when its __repr__ is not run.
struct ShownRepr {
    Ref str;  // keeps the text alive
    Text text;
    bool taken = false;
    const Text* get() const { return taken ? &text : nullptr; }
};

class ValueWriter final : private ObjectShower {
public:
    ValueWriter(const Host& host, Bytes& out, ReprMemo& memo)
        : host_(host), limits_(host.limits), out_(out), sink_(out), w_(sink_), memo_(memo),
          budget_(host.limits.max_nodes), items_left_(host.limits.max_values) {}

    bool full(PyObject* value, Py_ssize_t depth);
    bool light_top(PyObject* value);
    EntriesWritten full_entries(const NamedValue* entries, size_t count);
    EntriesWritten light_entries(const NamedValue* entries, size_t count);

private:
    // --- scalars (`_full`'s first lines, `_cut_str`, `_cut_bytes`, `_big_int`)
    bool scalar(PyObject* value, PyTypeObject* type);
    bool integer(PyObject* value);
    bool text(PyObject* str);
    bool text_cut_with_mark(PyObject* str);
    void tag(std::string_view kind) {
        w_.str(host_.tag_utf8);
        w_.str(kind);
    }
    void type_field(std::string_view name) {
        w_.str("type");
        w_.str(name);
    }
    void object_form(std::string_view name, std::string_view repr);
    void object_head(std::string_view name, PyObject* value, const Text* repr, uint32_t extra_entries);
    bool take_repr(PyObject* value, const TypeInfo& info, ShownRepr& shown);
    void cycle(std::string_view name);
    bool enter(std::string_view kind, std::string_view name, Py_ssize_t total, Py_ssize_t depth, PyObject* value);
    void cut_container(std::string_view kind, std::string_view name, Py_ssize_t total);
    void tagged_head(std::string_view kind, std::string_view name, Py_ssize_t kept, Py_ssize_t total);
    void tagged_tail(Py_ssize_t kept, Py_ssize_t total);

    // --- containers and objects
    bool compound(PyObject* value, PyTypeObject* type, Py_ssize_t depth);
    bool not_readable(PyTypeObject* type);
    bool list(PyObject* value, Py_ssize_t depth, const Text* subclass_name);
    bool dict(PyObject* value, Py_ssize_t depth, const Text* subclass_name);
    template <class Collect>
    bool sequence(std::string_view kind, std::string_view name, Py_ssize_t total, Py_ssize_t depth,
                  PyObject* value, Collect collect);
    bool subclass_or_object(PyObject* value, PyTypeObject* type, Py_ssize_t depth);
    bool object(PyObject* value, PyTypeObject* type, Py_ssize_t depth, const TypeInfo& info, const Text& name);
    bool bytearray(PyObject* value, std::string_view name);

    // An object's attributes as they are written, name and value after
    // name and value, from `body_at` on.
    struct AttributeRun {
        size_t body_at = 0;
        SmallVector<Ref, 8> names;
        SmallVector<size_t, 8> starts;        // where each name begins
        SmallVector<size_t, 8> value_starts;  // where each value begins
        Py_ssize_t kept = 0;                  // different names written
        Py_ssize_t more = 0;                  // left out past the limits
        bool repeated = false;                // a name written twice
        void clear() noexcept {
            names.clear();
            starts.clear();
            value_starts.clear();
            kept = 0;
            more = 0;
            repeated = false;
        }
    };
    bool gather_attributes(PyObject* value, PyTypeObject* type, Py_ssize_t depth, const TypeInfo& info,
                           AttributeRun& run);
    Ref slot_value(PyObject* value, PyTypeObject* type, PyObject* stored, PyObject* index);
    bool add_attribute(AttributeRun& run, Ref name, PyObject* item, Py_ssize_t depth);
    bool rewrite_repeated(AttributeRun& run);
    void set_fixmap_size(size_t at, uint32_t entries);
    void insert_map_header(size_t at, size_t entries);

    bool light(PyObject* value);

    // --- helpers
    std::optional<TypeInfo> type_info(PyTypeObject* type);
    void remember_type(PyTypeObject* type, PyObject* info);
    Ref bounded_repr(PyObject* value, PyObject* type_name);
    Ref method_repr(PyObject* method);
    bool show(PyObject* value, std::string& out) override;
    bool named_by_reprlib(PyTypeObject* type) const;
    bool unrun_or_default_repr(PyObject* value, std::string& out);
    Ref repr_once(PyObject* value, PyObject* type_name);
    bool default_object_repr(PyObject* value, Text& out) const;
    Ref repr_failure(PyObject* type_name);
    bool is_container_type(PyTypeObject* type) const;
    // How many items the next container may keep.
    Py_ssize_t item_limit() const { return std::min(limits_.max_items, items_left_); }
    // Whether a container or object may still be written with content.
    bool has_room(Py_ssize_t depth) const { return depth < limits_.max_depth && budget_ > 0 && items_left_ > 0; }
    bool on_path(PyObject* value) const {
        for (PyObject* entry : path_) {
            if (entry == value) return true;
        }
        return false;
    }
    // Every key a str written as itself: the dict stays a map.
    bool plain_keys(const Entries& entries) const {
        for (const auto& entry : entries) {
            if (!PyUnicode_CheckExact(entry.first.get()) || is_tag(entry.first.get())) return false;
        }
        return true;
    }
    bool plain_keys(const NamedValue* entries, size_t count) const {
        for (size_t i = 0; i < count; ++i) {
            if (!PyUnicode_CheckExact(entries[i].name) || is_tag(entries[i].name)) return false;
        }
        return true;
    }
    bool is_tag(PyObject* str) const {
        return PyUnicode_GET_LENGTH(str) == PyUnicode_GET_LENGTH(host_.tag.get()) &&
               PyUnicode_Compare(str, host_.tag.get()) == 0;
    }
    static Items first_items(PyObject* const* items, Py_ssize_t count, Py_ssize_t limit);
    std::optional<Items> iterate(getiterfunc iter, PyObject* value) const;
    Entries first_entries(PyObject* dict, Py_ssize_t limit) const;

    const Host& host_;
    const Limits& limits_;
    Bytes& out_;
    StringSink sink_;
    Out w_;
    ReprMemo& memo_;
    Py_ssize_t budget_;
    Py_ssize_t items_left_;  // items, entries and attributes yet to be written
    Path path_;
};

// ---------------------------------------------------------------------------
// Scalars

bool ValueWriter::scalar(PyObject* value, PyTypeObject* type) {
    if (type == &PyUnicode_Type) {
        const Py_ssize_t length = PyUnicode_GET_LENGTH(value);
        if (length <= limits_.max_str) return text(value);
        Ref prefix = Ref::steal(PyUnicode_Substring(value, 0, limits_.max_str));
        if (!prefix) return false;
        w_.map_header(4);
        tag("str");
        type_field("str");
        w_.str("value");
        if (!text(prefix.get())) return false;
        w_.str("len");
        w_.sint(length);
        return true;
    }
    if (type == &PyLong_Type) return integer(value);
    if (value == Py_None) {
        w_.nil();
    } else if (type == &PyFloat_Type) {
        w_.float64(PyFloat_AS_DOUBLE(value));
    } else if (type == &PyBool_Type) {
        w_.boolean(value == Py_True);
    } else {
        const Py_ssize_t size = PyBytes_GET_SIZE(value);
        const std::string_view data(PyBytes_AS_STRING(value), static_cast<size_t>(size));
        if (size <= limits_.max_bytes) {
            w_.bin(data);
            return true;
        }
        w_.map_header(4);
        tag("bytes");
        type_field("bytes");
        w_.str("value");
        w_.bin(data.substr(0, static_cast<size_t>(limits_.max_bytes)));
        w_.str("len");
        w_.sint(size);
    }
    return true;
}

bool ValueWriter::integer(PyObject* value) {
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow == 0) {
        if (number == -1 && PyErr_Occurred()) return false;
        w_.sint(number);
        return true;
    }
    if (overflow > 0) {
        const unsigned long long big = PyLong_AsUnsignedLongLong(value);
        if (!(big == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
            w_.uint(big);
            return true;
        }
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
        PyErr_Clear();
    }
    Ref repr = Ref::steal(PyObject_CallFunctionObjArgs(host_.big_int_repr.get(), value, nullptr));
    Text repr_text;
    if (!repr || !PyUnicode_Check(repr.get()) || !repr_text.load(repr.get())) {
        if (repr && !PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "_big_int_repr did not return a str");
        return false;
    }
    object_form("int", repr_text.view());
    return true;
}

bool ValueWriter::text(PyObject* str) {
    Text utf8;
    if (!utf8.load(str)) return false;
    w_.str(utf8.view());
    return true;
}

// A str of more than max_str characters is cut and marked (keys and
// attribute names).
bool ValueWriter::text_cut_with_mark(PyObject* str) {
    if (PyUnicode_GET_LENGTH(str) <= limits_.max_str) return text(str);
    Ref prefix = Ref::steal(PyUnicode_Substring(str, 0, limits_.max_str));
    Text utf8;
    if (!prefix || !utf8.load(prefix.get())) return false;
    std::string marked(utf8.view());
    marked += kCutMark;
    w_.str(marked);
    return true;
}

void ValueWriter::object_form(std::string_view name, std::string_view repr) {
    w_.map_header(3);
    tag("object");
    type_field(name);
    w_.str("repr");
    w_.str(repr);
}

// What every object has: its tag and type, then its repr, or its id when
// its __repr__ is not run (no `repr`); `extra_entries` more follow.
void ValueWriter::object_head(std::string_view name, PyObject* value, const Text* repr, uint32_t extra_entries) {
    w_.map_header(3 + extra_entries);
    tag("object");
    type_field(name);
    if (repr != nullptr) {
        w_.str("repr");
        w_.str(repr->view());
    } else {
        w_.str("id");
        w_.uint(reinterpret_cast<uintptr_t>(value));
    }
}

void ValueWriter::cycle(std::string_view name) {
    w_.map_header(2);
    tag("cycle");
    type_field(name);
}

// The entry into a tagged container. One cut by depth or by the node budget,
// or met again inside itself, is written at once (false); otherwise it takes
// one node of the budget (true) and the caller writes it.
bool ValueWriter::enter(std::string_view kind, std::string_view name, Py_ssize_t total, Py_ssize_t depth,
                        PyObject* value) {
    if (!has_room(depth)) {
        cut_container(kind, name, total);
        return false;
    }
    if (on_path(value)) {
        cycle(name);
        return false;
    }
    --budget_;
    return true;
}

// A tagged container cut by depth or by the node budget: no items, and its
// full length.
void ValueWriter::cut_container(std::string_view kind, std::string_view name, Py_ssize_t total) {
    w_.map_header(4);
    tag(kind);
    type_field(name);
    w_.str("items");
    w_.array_header(0);
    w_.str("len");
    w_.sint(total);
}

// A tagged container keeping `kept` of its `total` items: the head, then the
// items, then the tail, which gives the full length when some were left out.
void ValueWriter::tagged_head(std::string_view kind, std::string_view name, Py_ssize_t kept, Py_ssize_t total) {
    w_.map_header(total > kept ? 4 : 3);
    tag(kind);
    type_field(name);
    w_.str("items");
    w_.array_header(static_cast<uint32_t>(kept));
}

void ValueWriter::tagged_tail(Py_ssize_t kept, Py_ssize_t total) {
    if (total <= kept) return;
    w_.str("len");
    w_.sint(total);
}

// ---------------------------------------------------------------------------
// Full form

// `_full`
bool ValueWriter::full(PyObject* value, Py_ssize_t depth) {
    PyTypeObject* type = Py_TYPE(value);
    if (is_scalar_type(type)) return scalar(value, type);
    const size_t start = out_.size();
    if (compound(value, type, depth)) return true;
    if (PyErr_ExceptionMatches(PyExc_RecursionError)) return false;
    out_.resize(start);
    return not_readable(type);
}

bool ValueWriter::compound(PyObject* value, PyTypeObject* type, Py_ssize_t depth) {
    if (type == &PyDict_Type) return dict(value, depth, nullptr);
    if (type == &PyList_Type) return list(value, depth, nullptr);
    if (type == &PyTuple_Type) {
        return sequence("tuple", "tuple", PyTuple_GET_SIZE(value), depth, value, [&] {
            return std::optional<Items>(
                first_items(tuple_items(value), PyTuple_GET_SIZE(value), item_limit()));
        });
    }
    if (type == &PySet_Type || type == &PyFrozenSet_Type) {
        const std::string_view name = type == &PySet_Type ? "set" : "frozenset";
        return sequence(name, name, PySet_GET_SIZE(value), depth, value,
                        [&] { return iterate(type->tp_iter, value); });
    }
    return subclass_or_object(value, type, depth);
}

// The `except BaseException` of `_full`: the value is described instead.
bool ValueWriter::not_readable(PyTypeObject* type) {
    if (pending_error_reaches_program()) return false;
    const TakenError error = TakenError::take();
    if (error.type() == nullptr) {
        PyErr_SetString(PyExc_SystemError, "a failure without an exception");
        return {};
    }

    auto info = type_info(type);
    if (!info) return false;
    auto reason = type_info(error.type());
    if (!reason) return false;
    Ref message = Ref::steal(PyUnicode_FromFormat("<%U object; not readable: %U>", info->name, reason->name));
    Text name, message_text;
    if (!message || !name.load(info->name) || !message_text.load(message.get())) return false;
    object_form(name.view(), message_text.view());
    return true;
}

// `_list`, and the list branch of `_full`
bool ValueWriter::list(PyObject* value, Py_ssize_t depth, const Text* subclass_name) {
    const Py_ssize_t total = PyList_GET_SIZE(value);
    auto collect = [&] {
        return std::optional<Items>(first_items(list_items(value), total, item_limit()));
    };
    if (subclass_name == nullptr && total <= item_limit() && has_room(depth)) {
        if (on_path(value)) {
            cycle("list");
            return true;
        }
        --budget_;
        const Items items = *collect();
        items_left_ -= static_cast<Py_ssize_t>(items.size());
        PathEntry entry(path_, value);
        w_.array_header(static_cast<uint32_t>(items.size()));
        for (const Ref& item : items) {
            if (!full(item.get(), depth + 1)) return false;
        }
        return true;
    }
    return sequence("list", subclass_name != nullptr ? subclass_name->view() : "list", total, depth, value, collect);
}

// `_sequence`: a tagged list, tuple, set or frozenset.
template <class Collect>
bool ValueWriter::sequence(std::string_view kind, std::string_view name, Py_ssize_t total, Py_ssize_t depth,
                           PyObject* value, Collect collect) {
    if (!enter(kind, name, total, depth, value)) return true;
    PathEntry entry(path_, value);
    const std::optional<Items> items = collect();
    if (!items) return false;
    const auto kept = static_cast<Py_ssize_t>(items->size());
    items_left_ -= kept;
    tagged_head(kind, name, kept, total);
    for (const Ref& item : *items) {
        if (!full(item.get(), depth + 1)) return false;
    }
    tagged_tail(kept, total);
    return true;
}

// `_dict`
bool ValueWriter::dict(PyObject* value, Py_ssize_t depth, const Text* subclass_name) {
    const Py_ssize_t total = PyDict_GET_SIZE(value);
    const std::string_view name = subclass_name != nullptr ? subclass_name->view() : "dict";
    if (!enter("dict", name, total, depth, value)) return true;
    PathEntry entry(path_, value);
    const Py_ssize_t limit = item_limit();
    const Entries entries = first_entries(value, limit);
    items_left_ -= static_cast<Py_ssize_t>(entries.size());
    if (subclass_name == nullptr && total <= limit && plain_keys(entries)) {
        w_.map_header(static_cast<uint32_t>(entries.size()));
        for (const auto& [key, item] : entries) {
            if (!text_cut_with_mark(key.get()) || !full(item.get(), depth + 1)) return false;
        }
        return true;
    }
    const auto kept = static_cast<Py_ssize_t>(entries.size());
    tagged_head("dict", name, kept, total);
    for (const auto& [key, item] : entries) {
        w_.array_header(2);
        const bool plain_key = PyUnicode_CheckExact(key.get()) && PyUnicode_GET_LENGTH(key.get()) <= limits_.max_str;
        if (!(plain_key ? text(key.get()) : full(key.get(), depth + 1))) return false;
        if (!full(item.get(), depth + 1)) return false;
    }
    tagged_tail(kept, total);
    return true;
}

// `_subclass_or_object`
bool ValueWriter::subclass_or_object(PyObject* value, PyTypeObject* type, Py_ssize_t depth) {
    auto info = type_info(type);
    if (!info) return false;
    Text name;
    if (!name.load(info->name)) return false;
    if (info->is("object") || info->is("namedtuple")) return object(value, type, depth, *info, name);
    if (info->is("dict")) return dict(value, depth, &name);
    if (info->is("list")) return list(value, depth, &name);
    if (info->is("tuple")) {
        return sequence("tuple", name.view(), PyTuple_GET_SIZE(value), depth, value, [&] {
            return std::optional<Items>(
                first_items(tuple_items(value), PyTuple_GET_SIZE(value), item_limit()));
        });
    }
    if (info->is("set") || info->is("frozenset")) {
        const bool is_set = info->is("set");
        PyTypeObject* base = is_set ? &PySet_Type : &PyFrozenSet_Type;
        return sequence(is_set ? "set" : "frozenset", name.view(), PySet_GET_SIZE(value), depth, value,
                        [&] { return iterate(base->tp_iter, value); });
    }
    if (info->is("deque")) {
        auto* deque = reinterpret_cast<PyTypeObject*>(host_.deque_type.get());
        const Py_ssize_t total = deque->tp_as_sequence->sq_length(value);
        if (total < 0) return false;
        return sequence("list", name.view(), total, depth, value, [&] { return iterate(deque->tp_iter, value); });
    }
    if (info->is("bytearray")) return bytearray(value, name.view());
    PyErr_SetString(PyExc_TypeError, "unknown kind of type");
    return false;
}

bool ValueWriter::bytearray(PyObject* value, std::string_view name) {
    const Py_ssize_t total = PyByteArray_GET_SIZE(value);
    const Py_ssize_t kept = total < limits_.max_bytes ? total : limits_.max_bytes;
    w_.map_header(total > limits_.max_bytes ? 4 : 3);
    tag("bytes");
    type_field(name);
    w_.str("value");
    w_.bin(std::string_view(PyByteArray_AS_STRING(value), static_cast<size_t>(kept)));
    if (total > limits_.max_bytes) {
        w_.str("len");
        w_.sint(total);
    }
    return true;
}

// `_object`
bool ValueWriter::object(PyObject* value, PyTypeObject* type, Py_ssize_t depth, const TypeInfo& info,
                         const Text& name) {
    ShownRepr repr;
    if (!take_repr(value, info, repr)) return false;
    if (info.plan == Py_None || !has_room(depth)) {
        object_head(name.view(), value, repr.get(), 0);
        return true;
    }
    if (on_path(value)) {
        cycle(name.view());
        return true;
    }
    --budget_;
    // The attributes are written in place, after a head that assumes there
    // are some and no "more_attrs"; the head is mended once they are known.
    const size_t head_at = out_.size();
    object_head(name.view(), value, repr.get(), 1);
    const size_t attrs_key_at = out_.size();
    w_.str("attrs");
    const size_t body_at = out_.size();
    AttributeRun run{body_at};
    bool read = false;
    {
        PathEntry entry(path_, value);
        read = gather_attributes(value, type, depth, info, run);
    }
    if (!read) {
        // A failure while reading attributes leaves the object without them.
        if (pending_error_reaches_program()) return false;
        PyErr_Clear();
        run.clear();
        out_.resize(body_at);
    }
    if (run.names.empty() && run.more == 0) {
        out_.resize(attrs_key_at);
        set_fixmap_size(head_at, 3);
        return true;
    }
    if (run.repeated && !rewrite_repeated(run)) return false;
    insert_map_header(body_at, run.names.size());
    if (run.more > 0) {
        set_fixmap_size(head_at, 5);
        w_.str("more_attrs");
        w_.sint(run.more);
    }
    return true;
}

// The first byte of a map of at most 15 entries holds their number.
void ValueWriter::set_fixmap_size(size_t at, uint32_t entries) {
    out_[at] = static_cast<char>(0x80 | entries);
}

// Puts the header of a map of `entries` entries at `at`, before its body.
void ValueWriter::insert_map_header(size_t at, size_t entries) {
    Bytes header;
    StringSink sink(header);
    Writer<StringSink> writer(sink);
    writer.map_header(static_cast<uint32_t>(entries));
    out_.insert(at, header);
}

// An attribute met again (a slot shadowed by an instance dict entry) keeps
// its first place and takes the last value, as a dict assignment does: the
// entries written in place are gathered and written again.
bool ValueWriter::rewrite_repeated(AttributeRun& run) {
    std::vector<std::pair<size_t, Bytes>> kept;  // index into run.names, encoded value
    for (size_t i = 0; i < run.names.size(); ++i) {
        const size_t value_end = i + 1 < run.names.size() ? run.starts[i + 1] : out_.size();
        Bytes encoded = out_.substr(run.value_starts[i], value_end - run.value_starts[i]);
        bool replaced = false;
        for (auto& [index, bytes] : kept) {
            const int order = PyUnicode_Compare(run.names[index].get(), run.names[i].get());
            if (order == -1 && PyErr_Occurred()) return false;
            if (order == 0) {
                bytes = std::move(encoded);
                replaced = true;
                break;
            }
        }
        if (!replaced) kept.emplace_back(i, std::move(encoded));
    }
    out_.resize(run.body_at);
    std::vector<Ref> names;
    for (auto& [index, bytes] : kept) {
        if (!text(run.names[index].get())) return false;
        w_.raw(bytes);
        names.push_back(std::move(run.names[index]));
    }
    run.names.clear();
    for (Ref& name : names) run.names.push_back(std::move(name));
    return true;
}

// Named tuple fields, then the instance dictionary, then slots, as `_object`
// reads them.
bool ValueWriter::gather_attributes(PyObject* value, PyTypeObject* type, Py_ssize_t depth, const TypeInfo& info,
                                    AttributeRun& run) {
    const Py_ssize_t child = depth + 1;
    if (info.is("namedtuple")) {
        Ref fields = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(type), host_.fields_name.get()));
        if (!fields) return false;
        Ref fields_iter = Ref::steal(PyObject_GetIter(fields.get()));
        if (!fields_iter) return false;
        const Items items = first_items(tuple_items(value), PyTuple_GET_SIZE(value), PY_SSIZE_T_MAX);
        for (const Ref& item : items) {
            Ref field = Ref::steal(PyIter_Next(fields_iter.get()));
            if (!field) {
                if (PyErr_Occurred()) return false;
                break;
            }
            if (!PyUnicode_CheckExact(field.get())) continue;
            if (!add_attribute(run, std::move(field), item.get(), child)) return false;
        }
    }
    Ref instance_dict = Ref::steal(PyObject_GenericGetAttr(value, host_.dict_name.get()));
    if (!instance_dict) {
        if (pending_error_reaches_program()) return false;
        PyErr_Clear();
    }
    if (instance_dict && PyDict_CheckExact(instance_dict.get())) {
        for (auto& [attr, item] : first_entries(instance_dict.get(), PY_SSIZE_T_MAX)) {
            if (!PyUnicode_CheckExact(attr.get()) || starts_with_two_underscores(attr.get())) continue;
            Ref shown = std::move(attr);
            if (run.kept < limits_.max_attrs &&
                PyUnicode_GET_LENGTH(shown.get()) > limits_.max_str) {
                Ref prefix = Ref::steal(PyUnicode_Substring(shown.get(), 0, limits_.max_str));
                if (!prefix) return false;
                shown = Ref::steal(PyUnicode_FromFormat("%U%s", prefix.get(), kCutMark.data()));
                if (!shown) return false;
            }
            if (!add_attribute(run, std::move(shown), item.get(), child)) return false;
        }
    }
    const Py_ssize_t planned = PyTuple_GET_SIZE(info.plan);
    for (Py_ssize_t i = 0; i < planned; ++i) {
        PyObject* slot = PyTuple_GET_ITEM(info.plan, i);
        if (!PyTuple_Check(slot) || PyTuple_GET_SIZE(slot) != 3) {
            PyErr_SetString(PyExc_TypeError, "attribute plan entries are (name, stored name, class index)");
            return false;
        }
        Ref item = slot_value(value, type, PyTuple_GET_ITEM(slot, 1), PyTuple_GET_ITEM(slot, 2));
        if (!item) {
            if (pending_error_reaches_program()) return false;
            PyErr_Clear();
            continue;
        }
        if (!add_attribute(run, Ref::borrow(PyTuple_GET_ITEM(slot, 0)), item.get(), child)) return false;
    }
    return true;
}

// type.__mro__[index].__dict__.get(stored).__get__(value, type)
Ref ValueWriter::slot_value(PyObject* value, PyTypeObject* type, PyObject* stored, PyObject* index) {
    const Py_ssize_t position = PyLong_AsSsize_t(index);
    if (position == -1 && PyErr_Occurred()) return Ref();
    PyObject* mro = type->tp_mro;
    if (mro == nullptr || position < 0 || position >= PyTuple_GET_SIZE(mro)) {
        PyErr_SetString(PyExc_IndexError, "class index out of the MRO");
        return Ref();
    }
    PyObject* klass_dict = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, position))->tp_dict;
    PyObject* descriptor = klass_dict != nullptr ? PyDict_GetItemWithError(klass_dict, stored) : nullptr;
    if (descriptor == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_AttributeError, "slot not found");
        return Ref();
    }
    Ref held = Ref::borrow(descriptor);
    return Ref::steal(PyObject_CallMethodObjArgs(held.get(), host_.get_name.get(), value,
                                                 reinterpret_cast<PyObject*>(type), nullptr));
}

// `attrs[name] = _full(item)` once there is room: a name met again keeps its
// first place and takes the new value, as a dict does.
bool ValueWriter::add_attribute(AttributeRun& run, Ref name, PyObject* item, Py_ssize_t depth) {
    if (run.kept >= limits_.max_attrs || items_left_ <= 0) {
        ++run.more;
        return true;
    }
    bool known_name = false;
    for (const Ref& known : run.names) {
        const int order = PyUnicode_Compare(known.get(), name.get());
        if (order == -1 && PyErr_Occurred()) return false;
        if (order == 0) {
            known_name = true;
            run.repeated = true;
            break;
        }
    }
    if (!known_name) ++run.kept;
    --items_left_;
    run.starts.push_back(out_.size());
    if (!text(name.get())) return false;
    run.value_starts.push_back(out_.size());
    run.names.push_back(std::move(name));
    return full(item, depth);
}

// ---------------------------------------------------------------------------
// Lightweight form

// `_light_top`
bool ValueWriter::light_top(PyObject* value) {
    if (PyDict_CheckExact(value)) {
        const Entries entries = first_entries(value, limits_.max_items);
        if (plain_keys(entries)) {
            w_.map_header(static_cast<uint32_t>(entries.size()));
            for (const auto& [key, item] : entries) {
                if (!text_cut_with_mark(key.get()) || !light(item.get())) return false;
            }
            return true;
        }
    }
    return light(value);
}

// What `full` writes for a dict of these entries (a fresh one, so never on
// the path), when the dict stays a map.
EntriesWritten ValueWriter::full_entries(const NamedValue* entries, size_t count) {
    const auto total = static_cast<Py_ssize_t>(count);
    if (total > item_limit() || !plain_keys(entries, count)) return EntriesWritten::not_applicable;
    const size_t start = out_.size();
    if (!enter("dict", "dict", total, 0, nullptr)) return EntriesWritten::written;
    items_left_ -= total;
    w_.map_header(static_cast<uint32_t>(count));
    for (size_t i = 0; i < count; ++i) {
        if (!text_cut_with_mark(entries[i].name) || !full(entries[i].value, 1)) {
            if (PyErr_ExceptionMatches(PyExc_RecursionError)) return EntriesWritten::failed;
            out_.resize(start);
            return not_readable(&PyDict_Type) ? EntriesWritten::written : EntriesWritten::failed;
        }
    }
    return EntriesWritten::written;
}

// What `light_top` writes for a dict of these entries.
EntriesWritten ValueWriter::light_entries(const NamedValue* entries, size_t count) {
    count = std::min(count, static_cast<size_t>(std::max<Py_ssize_t>(limits_.max_items, 0)));
    if (!plain_keys(entries, count)) return EntriesWritten::not_applicable;
    w_.map_header(static_cast<uint32_t>(count));
    for (size_t i = 0; i < count; ++i) {
        if (!text_cut_with_mark(entries[i].name) || !light(entries[i].value)) return EntriesWritten::failed;
    }
    return EntriesWritten::written;
}

// `_light`
bool ValueWriter::light(PyObject* value) {
    PyTypeObject* type = Py_TYPE(value);
    if (is_scalar_type(type)) return scalar(value, type);
    auto info = type_info(type);
    if (!info) return false;
    Text name;
    ShownRepr repr;
    if (!name.load(info->name) || !take_repr(value, *info, repr)) return false;
    object_head(name.view(), value, repr.get(), 0);
    return true;
}

// ---------------------------------------------------------------------------
// Helpers

std::optional<TypeInfo> ValueWriter::type_info(PyTypeObject* type) {
    TypeInfo info;
    auto known = host_.known_types.find(type);
    if (known != host_.known_types.end() && has_type_version(type) &&
        type->tp_version_tag == known->second.version) {
        info.tuple = known->second.info.dup();
    } else {
        info.tuple = Ref::steal(PyObject_CallFunctionObjArgs(host_.type_info.get(), reinterpret_cast<PyObject*>(type), nullptr));
        if (!info.tuple) return std::nullopt;
        remember_type(type, info.tuple.get());
    }
    PyObject* tuple = info.tuple.get();
    if (!PyTuple_CheckExact(tuple) || PyTuple_GET_SIZE(tuple) != 4 || !PyUnicode_Check(PyTuple_GET_ITEM(tuple, 0)) ||
        !(PyTuple_GET_ITEM(tuple, 1) == Py_None || PyTuple_Check(PyTuple_GET_ITEM(tuple, 1))) ||
        !PyUnicode_Check(PyTuple_GET_ITEM(tuple, 2)) || !PyBool_Check(PyTuple_GET_ITEM(tuple, 3))) {
        PyErr_SetString(PyExc_TypeError, "_info must return (str, tuple or None, str, bool)");
        return std::nullopt;
    }
    info.name = PyTuple_GET_ITEM(tuple, 0);
    info.plan = PyTuple_GET_ITEM(tuple, 1);
    info.kind = PyTuple_GET_ITEM(tuple, 2);
    info.repr_runs = PyTuple_GET_ITEM(tuple, 3) == Py_True;
    return info;
}

void ValueWriter::remember_type(PyTypeObject* type, PyObject* info) {
    // The lookup gives the class a version tag if it has none yet.
    (void)_PyType_Lookup(type, host_.dict_name.get());
    if (!has_type_version(type)) return;
    if (host_.known_types.size() >= 4096) host_.known_types.clear();
    host_.known_types.insert_or_assign(type, Host::KnownType{type->tp_version_tag, Ref::borrow(info)});
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
bool ValueWriter::unrun_or_default_repr(PyObject* value, std::string& out) {
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
        out.append(unrun_object_repr(std::string_view(name, static_cast<size_t>(size)), value));
        return true;
    }
    Text text;
    if (!default_object_repr(value, text)) return false;
    out.append(text.view());
    return true;
}

bool ValueWriter::show(PyObject* value, std::string& out) { return unrun_or_default_repr(value, out); }

// `_view_repr` of a bound method, made here when its object is shown in
// object's own form. Null with no exception leaves it to the Python half.
Ref ValueWriter::method_repr(PyObject* method) {
    std::string self_text;
    if (!unrun_or_default_repr(PyMethod_GET_SELF(method), self_text)) return Ref();
    return bound_method_repr(method, self_text, limits_.max_repr);
}

// The repr to show `value` with, unless its __repr__ is not to run.
bool ValueWriter::take_repr(PyObject* value, const TypeInfo& info, ShownRepr& shown) {
    if (!info.repr_runs) return true;
    if (default_object_repr(value, shown.text)) {
        shown.taken = true;
        return true;
    }
    // A built-in container's short repr runs none of the program's code:
    // made as text, with nothing to take once.
    std::string text;
    if (container_repr_text(value, host_.reprs, *this, text)) {
        cut_to_characters(text, limits_.max_repr);
        shown.text.assign(std::move(text));
        shown.taken = true;
        return true;
    }
    shown.str = repr_once(value, info.name);
    if (!shown.str || !shown.text.load(shown.str.get())) return false;
    shown.taken = true;
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
    PyObject* module = PyDict_GetItemWithError(type->tp_dict, host_.module_name.get());
    PyObject* qualname = reinterpret_cast<PyHeapTypeObject*>(type)->ht_qualname;
    if (module == nullptr || !PyUnicode_CheckExact(module) || qualname == nullptr || !PyUnicode_CheckExact(qualname) ||
        PyUnicode_CompareWithASCIIString(module, "builtins") == 0) {
        PyErr_Clear();
        return false;
    }
    // "%p": "0x" and the address in lower-case hex digits.
    char address[2 + 2 * sizeof(void*)];
    char* end = std::to_chars(address + 2, address + sizeof address, reinterpret_cast<uintptr_t>(value), 16).ptr;
    address[0] = '0';
    address[1] = 'x';
    const auto address_size = static_cast<Py_ssize_t>(end - address);
    constexpr std::string_view middle = " object at ";
    const Py_ssize_t length = 1 + PyUnicode_GET_LENGTH(module) + 1 + PyUnicode_GET_LENGTH(qualname) +
                              static_cast<Py_ssize_t>(middle.size()) + address_size + 1;
    if (length > limits_.max_repr) return false;
    Py_ssize_t module_size = 0, qualname_size = 0;
    const char* module_text = PyUnicode_AsUTF8AndSize(module, &module_size);
    const char* qualname_text = module_text ? PyUnicode_AsUTF8AndSize(qualname, &qualname_size) : nullptr;
    if (qualname_text == nullptr) {
        PyErr_Clear();  // not valid text: the interpreter's repr and its escaping decide
        return false;
    }
    std::string text;
    text.reserve(static_cast<size_t>(module_size + qualname_size) + middle.size() + 24);
    text.append("<").append(module_text, static_cast<size_t>(module_size)).append(".");
    text.append(qualname_text, static_cast<size_t>(qualname_size)).append(middle);
    text.append(address, static_cast<size_t>(address_size)).append(">");
    out.assign(std::move(text));
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

Items ValueWriter::first_items(PyObject* const* items, Py_ssize_t count, Py_ssize_t limit) {
    const Py_ssize_t kept = count < limit ? count : limit;
    Items copied;
    copied.reserve(static_cast<size_t>(kept));
    for (Py_ssize_t i = 0; i < kept; ++i) copied.push_back(Ref::borrow(items[i]));
    return copied;
}

std::optional<Items> ValueWriter::iterate(getiterfunc iter, PyObject* value) const {
    Ref iterator = Ref::steal(iter(value));
    if (!iterator) return std::nullopt;
    Items copied;
    const Py_ssize_t limit = item_limit();
    while (static_cast<Py_ssize_t>(copied.size()) < limit) {
        Ref item = Ref::steal(PyIter_Next(iterator.get()));
        if (!item) {
            if (PyErr_Occurred()) return std::nullopt;
            break;
        }
        copied.push_back(std::move(item));
    }
    return copied;
}

Entries ValueWriter::first_entries(PyObject* dict, Py_ssize_t limit) const {
    Entries copied;
    const Py_ssize_t total = PyDict_GET_SIZE(dict);
    copied.reserve(static_cast<size_t>(total < limit ? total : limit));
    Py_ssize_t position = 0;
    PyObject *key, *item;
    while (static_cast<Py_ssize_t>(copied.size()) < limit && PyDict_Next(dict, &position, &key, &item)) {
        copied.emplace_back(Ref::borrow(key), Ref::borrow(item));
    }
    return copied;
}

}  // namespace

bool write_full(const Host& host, PyObject* value, Bytes& out, ReprMemo& memo) {
    ValueWriter writer(host, out, memo);
    return writer.full(value, 0);
}

bool write_lightweight(const Host& host, PyObject* value, Bytes& out, ReprMemo& memo) {
    ValueWriter writer(host, out, memo);
    return writer.light_top(value);
}

EntriesWritten write_full_entries(const Host& host, const NamedValue* entries, size_t count, Bytes& out,
                                  ReprMemo& memo) {
    ValueWriter writer(host, out, memo);
    return writer.full_entries(entries, count);
}

EntriesWritten write_lightweight_entries(const Host& host, const NamedValue* entries, size_t count, Bytes& out,
                                         ReprMemo& memo) {
    ValueWriter writer(host, out, memo);
    return writer.light_entries(entries, count);
}

}  // namespace sarn::serialize
