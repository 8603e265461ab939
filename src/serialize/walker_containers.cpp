// The walker: containers: what is kept of them, and the walk into them.
#include "serialize/walker.hpp"

namespace sarn::serialize::walker {

// `_full`
bool ValueWriter::full(PyObject* value, Py_ssize_t depth) {
    ++visits_;
    PyTypeObject* type = Py_TYPE(value);
    // A class defined in Python is none of the built-in ones tried first.
    const bool heap_type = (type->tp_flags & Py_TPFLAGS_HEAPTYPE) != 0;
    if (!heap_type && is_scalar_type(type)) return scalar(value, type);
    const size_t start = sink_.position();
    if (heap_type ? subclass_or_object(value, type, depth) : compound(value, type, depth)) return true;
    if (PyErr_ExceptionMatches(PyExc_RecursionError)) return false;
    sink_.truncate(start);
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
        ObjectLock lock(value);
        return std::optional<Items>(first_items(list_items(value), PyList_GET_SIZE(value), item_limit()));
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
        if (plain_key) text_left_ -= PyUnicode_GET_LENGTH(key.get());
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
    if (info->is_object()) return object(value, type, depth, *info);
    Text name;
    if (!name.load(info->name)) return false;
    switch (info->kind) {
        case TypeKind::dict: return dict(value, depth, &name);
        case TypeKind::list: return list(value, depth, &name);
        case TypeKind::tuple:
            return sequence("tuple", name.view(), PyTuple_GET_SIZE(value), depth, value, [&] {
                return std::optional<Items>(first_items(tuple_items(value), PyTuple_GET_SIZE(value), item_limit()));
            });
        case TypeKind::set:
        case TypeKind::frozenset: {
            const bool is_set = info->kind == TypeKind::set;
            PyTypeObject* base = is_set ? &PySet_Type : &PyFrozenSet_Type;
            return sequence(is_set ? "set" : "frozenset", name.view(), PySet_GET_SIZE(value), depth, value,
                            [&] { return iterate(base->tp_iter, value); });
        }
        case TypeKind::deque: {
            auto* deque = reinterpret_cast<PyTypeObject*>(host_.deque_type.get());
            const Py_ssize_t total = deque->tp_as_sequence->sq_length(value);
            if (total < 0) return false;
            return sequence("list", name.view(), total, depth, value, [&] { return iterate(deque->tp_iter, value); });
        }
        case TypeKind::bytearray: return bytearray(value, name.view());
        default: break;  // objects are written above
    }
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

Items ValueWriter::first_items(PyObject* const* items, Py_ssize_t count, Py_ssize_t limit) {
    const Py_ssize_t kept = count < limit ? count : limit;
    Items copied;
    copied.reserve(static_cast<size_t>(kept));
    for (Py_ssize_t i = 0; i < kept; ++i) copied.push_back(Ref::borrow(items[i]));
    return copied;
}

std::optional<Items> ValueWriter::iterate(getiterfunc iter, PyObject* value) const {
    ObjectLock lock(value);  // another thread may change the container meanwhile
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
    ObjectLock lock(dict);
    Py_ssize_t position = 0;
    PyObject *key, *item;
    while (static_cast<Py_ssize_t>(copied.size()) < limit && PyDict_Next(dict, &position, &key, &item)) {
        copied.emplace_back(Ref::borrow(key), Ref::borrow(item));
    }
    return copied;
}

}  // namespace sarn::serialize::walker
