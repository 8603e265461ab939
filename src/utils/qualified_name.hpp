// The dotted name of the function, method, class body or module a frame runs,
// such as shop.views.Cart.total, reconstructed from the frame's surroundings.
#pragma once

#include <Python.h>
#include <frameobject.h>

#include <optional>
#include <string>

#include "utils/error.hpp"
#include "utils/frame_locals.hpp"
#include "utils/name_memo.hpp"

namespace sarn {

// The frame's name, or null when it has none: either a name the memo
// remembers, or the name made into `buffer` (reused from event to event).
// Valid until Python code runs or the memo is used again. `locals` is the
// frame's locals mapping, as read for its record.
[[nodiscard]] Result<const std::string*> qualified_name(PyFrameObject* frame, const FrameLocals& locals, NameMemo& memo,
                                                        std::string& buffer);

}  // namespace sarn
