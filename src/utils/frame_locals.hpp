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

namespace sarn {

// A new reference to a dict: fresh for a function's frame, the namespace
// itself otherwise.
[[nodiscard]] Result<Ref> read_locals(PyFrameObject* frame);

}  // namespace sarn
