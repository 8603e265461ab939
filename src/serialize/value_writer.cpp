// The two forms of a value, as sarn._serialize writes them: the full form
// walks containers and objects (walker_*.cpp); the lightweight form writes
// a top-level mapping's entries and every other value by type and repr.
#include "utils/plain_values.hpp"
#include "serialize/walker.hpp"

namespace sarn::serialize {

namespace walker {

// `_light_top`
bool ValueWriter::light_top(PyObject* value) {
    if (PyDict_CheckExact(value)) {
        const Entries entries = first_entries(value, limits_.max_items);
        if (plain_keys(entries)) {
            items_left_ -= static_cast<Py_ssize_t>(entries.size());
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
    const size_t start = sink_.position();
    if (!enter("dict", "dict", total, 0, nullptr)) return EntriesWritten::written;
    items_left_ -= total;
    w_.map_header(static_cast<uint32_t>(count));
    for (size_t i = 0; i < count; ++i) {
        if (!text_cut_with_mark(entries[i].name) || !full(entries[i].value, 1)) {
            if (PyErr_ExceptionMatches(PyExc_RecursionError)) return EntriesWritten::failed;
            sink_.truncate(start);
            return not_readable(&PyDict_Type) ? EntriesWritten::written : EntriesWritten::failed;
        }
    }
    return EntriesWritten::written;
}

// What `light_top` writes for a dict of these entries.
EntriesWritten ValueWriter::light_entries(const NamedValue* entries, size_t count) {
    count = std::min(count, static_cast<size_t>(std::max<Py_ssize_t>(limits_.max_items, 0)));
    if (!plain_keys(entries, count)) return EntriesWritten::not_applicable;
    items_left_ -= static_cast<Py_ssize_t>(count);
    w_.map_header(static_cast<uint32_t>(count));
    for (size_t i = 0; i < count; ++i) {
        if (!text_cut_with_mark(entries[i].name) || !light(entries[i].value)) return EntriesWritten::failed;
    }
    return EntriesWritten::written;
}

// `_light`
bool ValueWriter::light(PyObject* value) {
    ++visits_;
    PyTypeObject* type = Py_TYPE(value);
    if (is_scalar_type(type)) return scalar(value, type);
    // A built-in container whose first items are already past the item
    // budget needs nothing of the Python half: its repr is not taken.
    if (is_builtin_container(type)) {
        const FirstLevel level = first_level(value, type, host_.reprs);
        if (items_left_ <= 0 || level.shown > items_left_) {
            object_form(type->tp_name, kCutMark);
            return true;
        }
        // An empty one, the commonest, is shown as its own repr shows it.
        if (level.size == 0) {
            --items_left_;  // counted as one item, as any repr
            size_t kind = 0;
            while (kEmptyContainers[kind].type != type) ++kind;
            const std::string_view empty = kEmptyContainers[kind].repr;
            if (text_left_ >= static_cast<Py_ssize_t>(empty.size())) {
                text_left_ -= static_cast<Py_ssize_t>(empty.size());
                w_.raw(host_.empty_forms[kind]);
                return true;
            }
            ShownRepr repr;
            if (text_left_ <= 0) {
                repr.text.assign(std::string(kCutMark));
            } else {
                repr.text.assign(std::string(empty));
                if (!spend_text(repr)) return false;
            }
            object_form(type->tp_name, repr.text.view());
            return true;
        }
    }
    auto info = type_info(type);
    if (!info) return false;
    ShownRepr repr;
    if (info->repr_runs) {
        // The items the repr shows count against the item budget; past it
        // the repr is not taken.
        PyTypeObject* base = shown_base(type, *info);
        // The first level alone may already be too much: the rest is not read.
        const bool too_many = items_left_ <= 0 || (base != nullptr && first_level(value, base, host_.reprs).shown > items_left_);
        const Py_ssize_t shown = too_many         ? 0
                                 : base == nullptr ? 1
                                                   : std::max<Py_ssize_t>(1, shown_items(value, base, host_.reprs.maxlevel));
        if (too_many || shown > items_left_) {
            repr.text.assign(std::string(kCutMark));
            repr.taken = true;
        } else {
            items_left_ -= shown;
            if (!budgeted_repr(value, *info, repr)) return false;
        }
    }
    return object_head(*info, value, repr.get(), 0);
}

// The base class a container of this kind is read as by its short repr;
// null for values that are not containers.
PyTypeObject* ValueWriter::shown_base(PyTypeObject* type, const TypeInfo& info) const {
    if (is_builtin_container(type)) return type;
    switch (info.kind) {
        case TypeKind::list: return &PyList_Type;
        case TypeKind::tuple: return &PyTuple_Type;
        case TypeKind::dict: return &PyDict_Type;
        case TypeKind::set: return &PySet_Type;
        case TypeKind::frozenset: return &PyFrozenSet_Type;
        case TypeKind::deque: return reinterpret_cast<PyTypeObject*>(host_.deque_type.get());
        default: return nullptr;  // objects, and values that are not containers
    }
}

// `_shown_items`: the items the short repr of `value`, read as a `base`,
// shows at every level it shows (an entry of a dict counts once).
Py_ssize_t ValueWriter::shown_items(PyObject* value, PyTypeObject* base, Py_ssize_t level) const {
    if (level <= 0) return 0;
    const ReprSettings& reprs = host_.reprs;
    Py_ssize_t shown = 0;
    auto count = [&](PyObject* item) {
        ++shown;
        PyTypeObject* type = Py_TYPE(item);
        if (is_builtin_container(type)) shown += shown_items(item, type, level - 1);
    };
#ifndef Py_GIL_DISABLED
    // Counting runs no Python code, so under the interpreter lock nothing
    // changes a container meanwhile: its items are read in place.
    if (base == &PyList_Type || base == &PyTuple_Type) {
        const bool list = base == &PyList_Type;
        const Py_ssize_t size = std::min(list ? PyList_GET_SIZE(value) : PyTuple_GET_SIZE(value),
                                         list ? reprs.maxlist : reprs.maxtuple);
        PyObject* const* items = list ? list_items(value) : tuple_items(value);
        shown = size;
        for (Py_ssize_t i = 0; i < size; ++i) {
            PyTypeObject* type = Py_TYPE(items[i]);
            // Ints and strs, the commonest items, are ruled out first.
            if (type != &PyLong_Type && type != &PyUnicode_Type && is_builtin_container(type)) {
                shown += shown_items(items[i], type, level - 1);
            }
        }
        return shown;
    }
    if (base == &PyDict_Type) {
        Py_ssize_t position = 0, entries = 0;
        PyObject *key, *item;
        while (entries < reprs.maxdict && PyDict_Next(value, &position, &key, &item)) {
            ++entries;
            count(item);
        }
        return shown;
    }
    if (base == &PySet_Type || base == &PyFrozenSet_Type) {
        visit_first_set_items(value, base == &PySet_Type ? reprs.maxset : reprs.maxfrozenset, count);
        return shown;
    }
#endif
    const Items items = [&]() -> Items {
        if (base == &PyList_Type) {
            ObjectLock lock(value);
            return first_items(list_items(value), PyList_GET_SIZE(value), reprs.maxlist);
        }
        if (base == &PyTuple_Type) return first_items(tuple_items(value), PyTuple_GET_SIZE(value), reprs.maxtuple);
        Items copied;
        if (base == &PyDict_Type) {
            for (auto& entry : first_entries(value, reprs.maxdict)) copied.push_back(std::move(entry.second));
            return copied;
        }
        const Py_ssize_t limit = base == &PySet_Type         ? reprs.maxset
                                 : base == &PyFrozenSet_Type ? reprs.maxfrozenset
                                                             : reprs.maxdeque;
        ObjectLock lock(value);
        Ref iterator = Ref::steal(base->tp_iter(value));
        while (iterator && static_cast<Py_ssize_t>(copied.size()) < limit) {
            Ref item = Ref::steal(PyIter_Next(iterator.get()));
            if (!item) break;
            copied.push_back(std::move(item));
        }
        PyErr_Clear();  // iterating a set or deque raises only when it changes meanwhile
        return copied;
    }();
    for (const Ref& item : items) count(item.get());
    return shown;
}

}  // namespace walker

using walker::ValueWriter;

bool write_full(const Host& host, PyObject* value, Bytes& out, ReprMemo& memo) {
    if (write_plain_scalar(host.limits, value, out)) return true;
    ValueWriter writer(host, out, memo);
    return writer.full(value, 0);
}

bool write_lightweight(const Host& host, PyObject* value, Bytes& out, ReprMemo& memo) {
    if (write_plain_scalar(host.limits, value, out)) return true;
    ValueWriter writer(host, out, memo);
    return writer.light_top(value);
}

Py_ssize_t count_visits(const Host& host, PyObject* value, bool lightweight, ReprMemo& memo) {
    Bytes out;
    ValueWriter writer(host, out, memo);
    const bool written = lightweight ? writer.light_top(value) : writer.full(value, 0);
    return written ? writer.visits() : -1;
}

EntriesWritten write_full_entries(const Host& host, const NamedValue* entries, size_t count, Bytes& out,
                                  ReprMemo& memo) {
    if (write_plain_entries(plain_rules(host), entries, count, false, out)) return EntriesWritten::written;
    ValueWriter writer(host, out, memo);
    return writer.full_entries(entries, count);
}

EntriesWritten write_lightweight_entries(const Host& host, const NamedValue* entries, size_t count, Bytes& out,
                                         ReprMemo& memo) {
    if (write_plain_entries(plain_rules(host), entries, count, true, out)) return EntriesWritten::written;
    ValueWriter writer(host, out, memo);
    return writer.light_entries(entries, count);
}

}  // namespace sarn::serialize
