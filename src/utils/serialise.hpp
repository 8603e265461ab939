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

// The same, appending to `out`; on failure `out` may hold part of the value.
// The values of one record share `memo`, so that the built-in serialiser
// runs each value's repr once per record.
[[nodiscard]] Status append_serialised(PyObject* value, bool lightweight_repr, Bytes& out, ReprMemo& memo);

// The same for a frame's locals: read from the slots, they are written by the
// built-in serialiser without making a dict; otherwise as that dict.
[[nodiscard]] Status append_serialised(const FrameLocals& locals, bool lightweight_repr, Bytes& out, ReprMemo& memo);

}  // namespace sarn
