// The two forms of a value, as sarn._serialize writes them: the full form
// walks containers and objects (walker_*.cpp); the lightweight form writes
// a top-level mapping's entries and every other value by type and repr.
#include "serialize/walker.hpp"

namespace sarn::serialize {

namespace walker {

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

}  // namespace walker

using walker::ValueWriter;

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
