// The records of a stored trace document decoded into the dicts that the
// readers in sarn.web use, many per call, so that the Python side handles
// only the records themselves.
#pragma once

#include <Python.h>

#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "utils/error.hpp"

namespace sarn::serialize {

// unpack_records(data, start, count) -> (records, end): decodes up to
// `count` MessagePack values of `data` (any object with the buffer protocol)
// from byte `start` on, each as msgpack.unpackb(raw=False,
// strict_map_key=False, unicode_errors="replace") would, and `end`, the byte
// after the last one decoded. It stops early, before the value, at a value
// that ends past the data or that only the Python reader can decode or
// judge: one that is damaged, holds an extension type or an unhashable map
// key, is nested too deep, or is a record whose fields do not have the types
// the viewer reads.
PyObject* unpack_records_function(PyObject* module, PyObject* args) noexcept;

// Short texts decoded once and shared by the values decoded with it, across
// calls (the bytes they came from need not live on).
class TextMemo {
public:
    struct Hash {
        using is_transparent = void;
        size_t operator()(std::string_view text) const noexcept { return std::hash<std::string_view>{}(text); }
    };
    std::unordered_map<std::string, Ref, Hash, std::equal_to<>> texts;
};

// One MessagePack value decoded as unpack_records decodes a record; a null
// Ref when it is left to the Python reader (no exception pending then).
Result<Ref> decode_value(std::string_view data, TextMemo& memo);

// unpack_calls(data, start, count, tag) -> (records, end): like
// unpack_records, but a frame record is read into a tuple of only what a
// comparison or a search of calls needs, its values left as MessagePack
// bytes: (event, frame_id, qualname, co_name, path, thread,
// thread_native_id, timestamp, call_frame_id, line_number, locals, arg).
// `locals` is ((name, value bytes), ...) for a plain map of text keys (none
// of them `tag`), the bytes of the whole value otherwise, None when nil or
// absent; `arg` is the value's bytes, None when absent. Records of other
// types are decoded into dicts as unpack_records decodes them. It stops at
// the same records, and at a frame record whose fields do not all have the
// types the viewer reads.
PyObject* unpack_calls_function(PyObject* module, PyObject* args) noexcept;

// A field of a map to decode: its name, the str object that keys it in the
// dict made, and when it is a map itself, the only fields of it to decode
// (null: all of it).
struct WantedField {
    std::string_view name;
    PyObject* key;
    const std::vector<WantedField>* only = nullptr;
};

// Of a record (a map at `depth`), only the `fields` named, decoded as
// decode_value decodes them, a later duplicate winning; a null Ref when the
// record or one of those fields is left to the Python reader.
Result<Ref> decode_fields(std::string_view data, TextMemo& memo, const std::vector<WantedField>& fields,
                          int depth = 0);

}  // namespace sarn::serialize
