// The native entry of sarn._serialize, for the recording core.
//
// When `sarn.serialize.dump_msgpack` (or its lightweight sibling) is the
// built-in function of sarn._serialize, the core appends the value's bytes
// straight into the record it is writing instead of calling the function and
// copying a bytes object: same bytes, no Python call. The core looks the
// function up again whenever a name that leads to it changes, so a replaced
// serialiser is called as usual.
// Both modules are built from one tree, so they share the C++ types here.
#pragma once

#include <Python.h>

#include "utils/msgpack_writer.hpp"
#include "utils/named_value.hpp"
#include "utils/plain_values.hpp"
#include "utils/repr_memo.hpp"

namespace sarn {

struct SerializerApi {
    // Changes whenever this struct changes.
    static constexpr int current_version = 4;
    static constexpr const char* capsule_name = "sarn._serialize._native_api";

    int version = current_version;
    // The C functions behind the two built-ins, to recognise them.
    PyCFunction full = nullptr;
    PyCFunction lightweight = nullptr;
    // Appends what the built-in `function` (one of the two) returns for
    // `value` to `out`, taking reprs through `memo` (the record's, shared by
    // its values). False with an exception set only where the built-in
    // would have raised (an unconfigured module, no memory).
    bool (*append)(PyObject* function, PyObject* value, Bytes& out, ReprMemo& memo) = nullptr;
    // The same for a dict holding `entries` in their order, without the
    // dict: a frame's locals read from its slots.
    EntriesWritten (*append_entries)(PyObject* function, const NamedValue* entries, size_t count, Bytes& out,
                                     ReprMemo& memo) = nullptr;
    // The budgets and tag of the module's configuration now, by which the
    // core writes plain values (plain_values.hpp) itself, as the built-ins
    // would. Valid until Python code runs; empty when not configured.
    PlainRules (*plain_rules)(PyObject* function) = nullptr;
};

}  // namespace sarn
