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

// Whether the frame has a name, which is then in `out` (a buffer reused
// from event to event). `locals` is the frame's locals mapping, as read for
// its record.
[[nodiscard]] Result<bool> qualified_name(PyFrameObject* frame, const FrameLocals& locals, NameMemo& memo, std::string& out);

}  // namespace sarn
