// The walker: objects and their attributes, written in place.
#include "serialize/walker.hpp"

namespace sarn::serialize::walker {

// `_object`
bool ValueWriter::object(PyObject* value, PyTypeObject* type, Py_ssize_t depth, const TypeInfo& info) {
    ShownRepr repr;
    if (!budgeted_repr(value, info, repr)) return false;
    if (info.plan == Py_None || !has_room(depth)) return object_head(info, value, repr.get(), 0);
    if (on_path(value)) {
        Text name;
        if (!name.load(info.name)) return false;
        cycle(name.view());
        return true;
    }
    --budget_;
    // The attributes are written in place, after a head that assumes there
    // are some and no "more_attrs"; the head is mended once they are known.
    const size_t head_at = sink_.position();
    if (!object_head(info, value, repr.get(), 1)) return false;
    const size_t attrs_key_at = sink_.position();
    w_.str("attrs");
    const size_t header_at = sink_.position();
    w_.raw(std::string_view("\x80", 1));  // room for a map of up to 15 entries, mended below
    const size_t body_at = sink_.position();
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
        sink_.truncate(body_at);
    }
    if (run.names.empty() && run.more == 0) {
        sink_.truncate(attrs_key_at);
        set_fixmap_size(head_at, 3);
        return true;
    }
    if (run.repeated && !rewrite_repeated(run)) return false;
    set_map_header(header_at, run.names.size());
    if (run.more > 0) {
        set_fixmap_size(head_at, 5);
        w_.str("more_attrs");
        w_.sint(run.more);
    }
    return true;
}

// The first byte of a map of at most 15 entries holds their number.
void ValueWriter::set_fixmap_size(size_t at, uint32_t entries) {
    *sink_.at(at) = static_cast<char>(0x80 | entries);
}

// The header of a map of `entries` entries in the one byte kept for it at
// `at`: in place for up to 15 of them, made room for otherwise.
void ValueWriter::set_map_header(size_t at, size_t entries) {
    if (entries <= 15) {
        set_fixmap_size(at, static_cast<uint32_t>(entries));
        return;
    }
    Bytes header;
    StringSink sink(header);
    Writer<StringSink> writer(sink);
    writer.map_header(static_cast<uint32_t>(entries));
    sink_.replace_byte(at, header);
}

// An attribute met again (a slot shadowed by an instance dict entry) keeps
// its first place and takes the last value, as a dict assignment does: the
// entries written in place are gathered and written again.
bool ValueWriter::rewrite_repeated(AttributeRun& run) {
    std::vector<std::pair<size_t, Bytes>> kept;  // index into run.names, encoded value
    for (size_t i = 0; i < run.names.size(); ++i) {
        const size_t value_end = i + 1 < run.names.size() ? run.starts[i + 1] : sink_.position();
        Bytes encoded = sink_.copy(run.value_starts[i], value_end - run.value_starts[i]);
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
    sink_.truncate(run.body_at);
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
    if (info.kind == TypeKind::namedtuple) {
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
            if (!add_attribute(run, std::move(field), item.get(), child, run.names.size())) return false;
        }
    }
    Ref instance_dict = Ref::steal(PyObject_GenericGetAttr(value, host_.dict_name.get()));
    if (!instance_dict) {
        if (pending_error_reaches_program()) return false;
        PyErr_Clear();
    }
    if (instance_dict && PyDict_CheckExact(instance_dict.get())) {
        // The dict's own names differ from each other; a cut one may equal another cut one.
        const size_t before_dict = run.names.size();
        for (auto& [attr, item] : first_entries(instance_dict.get(), PY_SSIZE_T_MAX)) {
            if (!PyUnicode_CheckExact(attr.get()) || starts_with_two_underscores(attr.get())) continue;
            Ref shown = std::move(attr);
            bool cut = false;
            if (run.kept < limits_.max_attrs &&
                PyUnicode_GET_LENGTH(shown.get()) > limits_.max_str) {
                Ref prefix = Ref::steal(PyUnicode_Substring(shown.get(), 0, limits_.max_str));
                if (!prefix) return false;
                shown = Ref::steal(PyUnicode_FromFormat("%U%s", prefix.get(), kCutMark.data()));
                if (!shown) return false;
                cut = true;
            }
            const size_t compared = cut ? run.names.size() : before_dict;
            if (!add_attribute(run, std::move(shown), item.get(), child, compared)) return false;
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
        if (!add_attribute(run, Ref::borrow(PyTuple_GET_ITEM(slot, 0)), item.get(), child, run.names.size())) {
            return false;
        }
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
    Ref held = klass_dict != nullptr ? dict_item(klass_dict, stored) : Ref();
    if (!held) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_AttributeError, "slot not found");
        return Ref();
    }
    return Ref::steal(PyObject_CallMethodObjArgs(held.get(), host_.get_name.get(), value,
                                                 reinterpret_cast<PyObject*>(type), nullptr));
}

// `attrs[name] = _full(item)` once there is room: a name met again keeps its
// first place and takes the new value, as a dict does. Only the first
// `compared` names can equal this one.
bool ValueWriter::add_attribute(AttributeRun& run, Ref name, PyObject* item, Py_ssize_t depth, size_t compared) {
    if (run.kept >= limits_.max_attrs || items_left_ <= 0) {
        ++run.more;
        return true;
    }
    bool known_name = false;
    for (size_t i = 0; i < compared && i < run.names.size(); ++i) {
        const Ref& known = run.names[i];
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
    run.starts.push_back(sink_.position());
    if (!text(name.get())) return false;
    text_left_ -= PyUnicode_GET_LENGTH(name.get());
    run.value_starts.push_back(sink_.position());
    run.names.push_back(std::move(name));
    return full(item, depth);
}

}  // namespace sarn::serialize::walker
