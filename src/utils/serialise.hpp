// Turning any Python value into MessagePack bytes through the host package's
// serialiser (`sarn.serialize`), whose output is embedded verbatim.
#pragma once

#include <Python.h>

#include <cstdint>

#include "utils/error.hpp"
#include "utils/frame_locals.hpp"
#include "utils/host_import.hpp"
#include "utils/msgpack_writer.hpp"
#include "utils/repr_memo.hpp"

namespace sarn {

// Calls `sarn.serialize.dump_msgpack` (or `dump_msgpack_lightweight_repr`)
// with the value and converts the result (bytes, bytearray or a sequence of
// ints 0..255; never a str) into a byte buffer.
[[nodiscard]] Result<Bytes> serialise_value(PyObject* value, bool lightweight_repr);

struct SerializerApi;

// The serialiser functions one thread found last, kept while neither
// `sys.modules` nor sarn.serialize's namespace has changed (a dict watcher
// counts their changes from 3.13 on; before, their version tags say so).
// Looked up at every event, the function costs more than the rest of its
// record's fixed fields, and on a free-threaded interpreter the lookup would
// write the reference counts of the module and the function, which every
// recording thread shares. No event comes between a lookup and the use of
// its answer: the interpreter runs no profile or monitoring callback while
// one runs.
class SerialiserCache {
public:
    // The function (borrowed: valid until the next call) and its native
    // entry, if it is one of sarn._serialize's built-ins.
    struct Found {
        PyObject* function;
        const SerializerApi* api;
    };
    [[nodiscard]] Result<Found> get(bool lightweight_repr);

private:
    struct Entry {
        Ref function;
        const SerializerApi* api = nullptr;
#if PY_VERSION_HEX >= 0x030D0000
        uint64_t changes = 0;  // the count of changes it was found under; 0 for none
#else
        HostAttribute lookup;  // where it was found, with the dicts' versions then
#endif
    };
    Entry entries_[2];
};

// The host's serialiser as it is named now, for the values of one record.
// The built-in one appends a value's bytes straight into the record, and the
// values share a memo, so that each value's repr runs once per record.
class RecordSerialiser {
public:
    // Takes the serialiser the host names now, with the function from a
    // thread's cache when there is one (null: none). Filled in place: the
    // memo it holds is not moved on every record.
    [[nodiscard]] Status bind(bool lightweight_repr, SerialiserCache* cache = nullptr);

    // Appends the value's bytes; on failure `out` may hold part of the value.
    [[nodiscard]] Status append(PyObject* value, Bytes& out);
    // The same for a frame's locals: read from the slots, the built-in
    // serialiser writes them without making a dict; otherwise that dict.
    [[nodiscard]] Status append(const FrameLocals& locals, Bytes& out);

private:
    Ref owned_;                     // the function, unless a cache holds it
    PyObject* function_ = nullptr;  // borrowed from `owned_` or the cache
    const SerializerApi* api_ = nullptr;
    // With the built-in serialiser, plain values are written here by its
    // rules, in its form, without a walk in its module.
    bool lightweight_ = false;
    ReprMemo memo_;
};

}  // namespace sarn
