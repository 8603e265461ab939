// A frame's local variables as a dict, read without leaving anything behind
// in the frame.
//
// Before 3.13 the interpreter's own accessor (what `frame.f_locals` runs)
// writes its snapshot into a dictionary that the frame keeps: every value in
// it stays alive as long as the frame does, so a local deleted afterwards (in
// a suspended generator, or in a frame that a traceback keeps and clears)
// would outlive its `del`. For a function's frame this reads the frame's
// slots into a fresh dict instead: the same names, order and values as the
// interpreter's snapshot (arguments and locals, then cell and free
// variables, dereferenced; unbound ones left out). A module or class body
// (or code run by exec) has a real namespace dict, which is given as it is.
// From 3.13 the interpreter gives a proxy for a function's frame, which is
// copied.
#pragma once

#include <Python.h>
#include <frameobject.h>

#include "utils/error.hpp"
#include "utils/named_value.hpp"
#include "utils/small_vector.hpp"

namespace sarn {

// A new reference to a dict: fresh for a function's frame, the namespace
// itself otherwise.
[[nodiscard]] Result<Ref> read_locals(PyFrameObject* frame);

// A kept frame's locals without "__builtins__": for a function's frame whose
// slots map one to one onto its names (before 3.11 only without cell or free
// variables; from 3.13 only while the interpreter's proxy would show just
// those slots), the entries read straight from the slots, in the order of
// `read_locals`, with no dict made; otherwise that dict.
class FrameLocals {
public:
    // Reads the frame's locals into this empty object. In place: a move
    // would copy the entries one by one, on every kept event.
    [[nodiscard]] Status load(PyFrameObject* frame);

    FrameLocals() = default;
    FrameLocals(const FrameLocals&) = delete;
    FrameLocals& operator=(const FrameLocals&) = delete;
    ~FrameLocals();

    // Null when read from the slots.
    [[nodiscard]] PyObject* dict() const noexcept { return dict_.get(); }
    [[nodiscard]] const NamedValue* entries() const noexcept { return entries_.begin(); }
    [[nodiscard]] size_t size() const noexcept { return entries_.size(); }
    // locals[name]: the value, nothing when missing, or an error.
    [[nodiscard]] Result<Ref> find(PyObject* name) const;
    // The locals as a dict, made from the entries when they were read from the slots.
    [[nodiscard]] Result<Ref> as_dict() const;

private:
    void release_entries() noexcept;

    SmallVector<NamedValue, 16> entries_;  // each value holds a reference
    Ref dict_;
};

}  // namespace sarn
