// Turning any Python value into MessagePack bytes through the host package's
// serialiser (`sarn.serialize`), whose output is embedded verbatim.
#pragma once

#include <Python.h>

#include "utils/error.hpp"
#include "utils/frame_locals.hpp"
#include "utils/msgpack_writer.hpp"
#include "utils/repr_memo.hpp"

namespace sarn {

// Calls `sarn.serialize.dump_msgpack` (or `dump_msgpack_lightweight_repr`)
// with the value and converts the result (bytes, bytearray or a sequence of
// ints 0..255; never a str) into a byte buffer.
[[nodiscard]] Result<Bytes> serialise_value(PyObject* value, bool lightweight_repr);

struct SerializerApi;

// The host's serialiser as it is named now, for the values of one record.
// The built-in one appends a value's bytes straight into the record, and the
// values share a memo, so that each value's repr runs once per record.
class RecordSerialiser {
public:
    [[nodiscard]] static Result<RecordSerialiser> current(bool lightweight_repr);

    // Appends the value's bytes; on failure `out` may hold part of the value.
    [[nodiscard]] Status append(PyObject* value, Bytes& out);
    // The same for a frame's locals: read from the slots, the built-in
    // serialiser writes them without making a dict; otherwise that dict.
    [[nodiscard]] Status append(const FrameLocals& locals, Bytes& out);

private:
    Ref function_;
    const SerializerApi* api_ = nullptr;
    ReprMemo memo_;
};

}  // namespace sarn
