// The dotted name of the function, method, class body or module a frame runs,
// such as shop.views.Cart.total, reconstructed from the frame's surroundings.
#pragma once

#include <Python.h>
#include <frameobject.h>

#include <optional>
#include <string>

#include "utils/error.hpp"
#include "utils/name_memo.hpp"

namespace sarn {

// `locals` is the frame's locals mapping, as read for its record.
[[nodiscard]] Result<std::optional<std::string>> qualified_name(PyFrameObject* frame, PyObject* locals, NameMemo& memo);

}  // namespace sarn
