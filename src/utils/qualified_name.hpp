// The dotted name of the function, method, class body or module a frame runs,
// such as shop.views.Cart.total, reconstructed from the frame's surroundings.
#pragma once

#include <Python.h>
#include <frameobject.h>

#include <optional>
#include <string>

#include "utils/error.hpp"

namespace sarn {

[[nodiscard]] Result<std::optional<std::string>> qualified_name(PyFrameObject* frame);

}  // namespace sarn
