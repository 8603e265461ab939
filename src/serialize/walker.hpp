// The walker behind sarn._serialize, shared by the files that define it
// (walker_*.cpp, value_writer.cpp). Each of its functions mirrors one
// function of the Python walker in sarn/serialize.py (named in its
// comment); the two must keep producing the same bytes, which the tests
// compare value by value.
//
// Items of containers are copied out (with references) before any of them is
// written, because writing an item may run Python code (a repr) that changes
// the container.
#pragma once

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <forward_list>
#include <initializer_list>
#include <new>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "serialize/container_repr.hpp"
#include "serialize/method_repr.hpp"
#include "serialize/value_writer.hpp"
#include "utils/ascii_text.hpp"
#include "utils/free_threading.hpp"
#include "utils/small_vector.hpp"
#include "utils/utf8_text.hpp"
#include "utils/version_tags.hpp"

namespace sarn::serialize::walker {

// The walker writes through a cursor: a write is a bounds check and a copy.
// The buffer holds spare bytes past the cursor until the writer is done.
using Out = Writer<CursorSink>;
// Copied out of containers; most are small.
using Items = SmallVector<Ref, 8>;
using Entries = SmallVector<std::pair<Ref, Ref>, 8>;

inline constexpr std::string_view kCutMark = "...";

// The UTF-8 form of a str. Lone surrogates, which UTF-8 cannot hold, are
// written as backslash escapes.
class Text {
public:
    bool load(PyObject* str) {
        characters_ = PyUnicode_GET_LENGTH(str);
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
        view_ = *own_;
        characters_ = -1;
    }
    // Text made here, kept by its maker for as long as this is used.
    void assign_view(std::string_view text, Py_ssize_t characters) {
        view_ = text;
        characters_ = characters;
    }
    // The parts one after the other, without an allocation when they are
    // short (an object's default repr, made at every meeting); `characters`
    // says how many they make when the caller knows.
    void assign_joined(std::initializer_list<std::string_view> parts, Py_ssize_t characters = -1) {
        characters_ = characters;
        size_t size = 0;
        for (std::string_view part : parts) size += part.size();
        char* at = small_;
        if (size > sizeof small_) {
            own_.emplace(size, '\0');
            at = own_->data();
        }
        view_ = std::string_view(at, size);
        for (std::string_view part : parts) {
            std::memcpy(at, part.data(), part.size());
            at += part.size();
        }
    }
    std::string_view view() const noexcept { return view_; }
    // Its characters, -1 when not known yet.
    Py_ssize_t characters() const noexcept { return characters_; }

    Text() = default;
    // The view may point into the object itself.
    Text(const Text&) = delete;
    Text& operator=(const Text&) = delete;

private:
    Ref owner_;
    std::optional<std::string> own_;  // made only for a text made here: most are not
    std::string_view view_;
    Py_ssize_t characters_ = -1;
    char small_[96];
};

inline bool is_scalar_type(PyTypeObject* type) noexcept {
    return type == &PyUnicode_Type || type == &PyLong_Type || type == Py_TYPE(Py_None) ||
           type == &PyFloat_Type || type == &PyBool_Type || type == &PyBytes_Type;
}

inline PyObject* const* list_items(PyObject* list) noexcept { return reinterpret_cast<PyListObject*>(list)->ob_item; }
inline PyObject* const* tuple_items(PyObject* tuple) noexcept { return reinterpret_cast<PyTupleObject*>(tuple)->ob_item; }

inline bool starts_with_two_underscores(PyObject* str) noexcept {
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
TypeKind type_kind(PyObject* kind);

// The bytes an object's form begins with, kept per class: room for the
// host's object head and a type name of a few dozen bytes.
inline constexpr size_t kHeadRoom = 64;

// What `_info(type)` answered, borrowed: the writer holds every answer it
// hands out until it is done, whatever Python code runs meanwhile.
struct TypeInfo {
    PyObject* tuple = nullptr;
    PyObject* name = nullptr;  // borrowed from `tuple`
    PyObject* plan = nullptr;
    TypeKind kind = TypeKind::unknown;
    bool repr_runs = true;
    // The object head and the type name as one run of bytes, padded to
    // kHeadRoom; null when the name does not fit.
    const char* head = nullptr;
    size_t head_size = 0;
    bool is_object() const noexcept { return kind == TypeKind::object || kind == TypeKind::namedtuple; }

    static TypeInfo of(PyObject* tuple, TypeKind kind) noexcept {
        TypeInfo info;
        info.tuple = tuple;
        info.kind = kind;
        info.name = PyTuple_GET_ITEM(tuple, 0);
        info.plan = PyTuple_GET_ITEM(tuple, 1);
        info.repr_runs = PyTuple_GET_ITEM(tuple, 3) == Py_True;
        return info;
    }
};

// A class met during one walk: `_info`'s answer for it at its version tag,
// read once, and the start of its objects' form, encoded once. Never
// changed once made (a class changed meanwhile is asked again, and not kept
// here). It does not move while the walk lasts, so its answer is handed out
// by address.
struct MetClass {
    PyTypeObject* type = nullptr;
    unsigned int version = 0;
    Ref tuple;
    TypeInfo info;
    char head[kHeadRoom] = {};
};

// An answer about a class that is not kept in the table, held, at an
// address that does not move, until the walk is done.
struct LooseClass {
    Ref tuple;
    TypeInfo info;
};

// The classes met during one walk, found by address. A class met first
// when the table is full is asked of the host's memo every time.
class MetClasses {
public:
    static constexpr size_t kCapacity = 48;
    MetClasses() noexcept { std::memset(slots_, 0, sizeof slots_); }
    ~MetClasses() {
        for (size_t i = 0; i < count_; ++i) entry(i).~MetClass();
    }
    MetClasses(const MetClasses&) = delete;
    MetClasses& operator=(const MetClasses&) = delete;

    // The class's entry, if it has one.
    [[gnu::always_inline]] const MetClass* find(PyTypeObject* type) const noexcept {
        const uint8_t index = slots_[slot(type)];
        return index != 0 ? &entry(index - 1u) : nullptr;
    }
    // A new entry for a class that has none, or null when the table is full.
    MetClass* add(PyTypeObject* type) {
        const size_t at = slot(type);
        if (slots_[at] != 0 || count_ == kCapacity) return nullptr;
        MetClass* made = new (&entry(count_)) MetClass();
        made->type = type;
        slots_[at] = static_cast<uint8_t>(++count_);
        return made;
    }

private:
    static constexpr size_t kSlots = 64;  // never more than three quarters full
    // The class's slot, or the free one it would take (linear probing).
    size_t slot(PyTypeObject* type) const noexcept {
        size_t at = static_cast<size_t>((reinterpret_cast<uintptr_t>(type) * 0x9E3779B97F4A7C15ull) >> 58);
        while (slots_[at] != 0 && entry(slots_[at] - 1u).type != type) at = (at + 1) % kSlots;
        return at;
    }
    MetClass& entry(size_t i) noexcept { return *std::launder(reinterpret_cast<MetClass*>(storage_) + i); }
    const MetClass& entry(size_t i) const noexcept {
        return *std::launder(reinterpret_cast<const MetClass*>(storage_) + i);
    }

    uint8_t slots_[kSlots];  // an entry's index + 1, 0 when free
    size_t count_ = 0;
    alignas(MetClass) unsigned char storage_[kCapacity * sizeof(MetClass)];
};

// The repr an object is shown with; none when its __repr__ is not run.
struct ShownRepr {
    Ref str;  // keeps the text alive; null when the text was made here
    Text text;
    bool taken = false;
    const Text* get() const { return taken ? &text : nullptr; }
};

class ValueWriter final : private ObjectShower {
public:
    ValueWriter(const Host& host, Bytes& out, ReprMemo& memo)
        : host_(host), limits_(host.limits), sink_(out), w_(sink_), memo_(memo),
          budget_(host.limits.max_nodes), items_left_(host.limits.max_values), text_left_(host.limits.max_text) {}

    bool full(PyObject* value, Py_ssize_t depth);
    bool light_top(PyObject* value);
    EntriesWritten full_entries(const NamedValue* entries, size_t count);
    EntriesWritten light_entries(const NamedValue* entries, size_t count);
    Py_ssize_t visits() const noexcept { return visits_; }

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
    bool object_head(const TypeInfo& info, PyObject* value, const Text* repr, uint32_t extra_entries);
    [[gnu::noinline]] bool object_head_by_name(const TypeInfo& info, PyObject* value, const Text* repr,
                                               uint32_t extra_entries);
    void object_tail(PyObject* value, const Text* repr);
    bool take_repr(PyObject* value, const TypeInfo& info, ShownRepr& shown);
    bool budgeted_repr(PyObject* value, const TypeInfo& info, ShownRepr& shown);
    bool spend_text(ShownRepr& shown);
    PyTypeObject* shown_base(PyTypeObject* type, const TypeInfo& info) const;
    Py_ssize_t shown_items(PyObject* value, PyTypeObject* base, Py_ssize_t level) const;
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
    bool object(PyObject* value, PyTypeObject* type, Py_ssize_t depth, const TypeInfo& info);
    bool bytearray(PyObject* value, std::string_view name);

    // An object's attributes as they are written, name and value after
    // name and value, from `body_at` on.
    struct AttributeRun {
        explicit AttributeRun(size_t at) : body_at(at) {}
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
    bool add_attribute(AttributeRun& run, Ref name, PyObject* item, Py_ssize_t depth, size_t compared);
    bool rewrite_repeated(AttributeRun& run);
    void set_fixmap_size(size_t at, uint32_t entries);
    void set_map_header(size_t at, size_t entries);

    bool light(PyObject* value);

    // --- helpers
    // A class met before in this walk, and not changed since, is answered
    // from the writer's own table: no lock, no lookup in the host's memo, no
    // new reference.
    // Null, with an exception set, when `_info` fails.
    [[gnu::always_inline]] const TypeInfo* type_info(PyTypeObject* type) {
        const MetClass* met = met_.find(type);
        if (met != nullptr && has_type_version(type) && type_version(type) == met->version) [[likely]] {
            return &met->info;
        }
        return new_type_info(type);
    }
    [[gnu::noinline]] const TypeInfo* new_type_info(PyTypeObject* type);
    bool known_type_info(PyTypeObject* type, Ref& tuple, TypeKind& kind) const;
    void make_head(PyObject* name, MetClass& met) const;
    void remember_type(PyTypeObject* type, PyObject* info, TypeKind kind);
    Ref bounded_repr(PyObject* value, PyObject* type_name);
    Ref method_repr(PyObject* method);
    bool method_text(PyObject* method, Text& out);
    Ref class_repr(PyObject* type);
    bool show(PyObject* value, ReprText& out) override;
    bool named_by_reprlib(PyTypeObject* type) const;
    bool unrun_or_default_repr(PyObject* value, Text& out);
    Ref repr_once(PyObject* value, PyObject* type_name);
    bool default_object_repr(PyObject* value, Text& out) const;
    bool default_repr_prefix(PyTypeObject* type, std::string& prefix, Py_ssize_t& characters) const;
    void remember_repr_prefix(PyTypeObject* type, PyObject* qualname, const std::string& prefix,
                              Py_ssize_t characters) const;
    bool joined_repr(std::string_view prefix, Py_ssize_t characters, std::string_view address, Text& out) const;
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
    bool is_tag(PyObject* str) const { return is_tag_name(host_.tag.get(), str); }
    static Items first_items(PyObject* const* items, Py_ssize_t count, Py_ssize_t limit);
    std::optional<Items> iterate(getiterfunc iter, PyObject* value) const;
    Entries first_entries(PyObject* dict, Py_ssize_t limit) const;

    const Host& host_;
    const Limits& limits_;
    CursorSink sink_;
    Out w_;
    ReprMemo& memo_;
    Py_ssize_t budget_;
    Py_ssize_t items_left_;  // items, entries and attributes yet to be written
    Py_ssize_t text_left_;   // characters of text yet to be written (negative once overspent)
    Py_ssize_t visits_ = 0;  // values looked at: items, entries, attributes, items of short reprs
    Path path_;
    MetClasses met_;
    std::forward_list<LooseClass> loose_classes_;  // `_info` answers handed out but not kept in `met_`
    // The short repr of a container, made here: a repr is written before the
    // next one is made, so one buffer serves them all.
    ReprText repr_text_;
};

}  // namespace sarn::serialize::walker
