// The UTF-8 of a str that is pure ASCII, read in place: such text is its own
// UTF-8, stored right after the object, so no call is needed to encode it.
#pragma once

#include <Python.h>

#include <optional>
#include <string_view>

namespace sarn {

// The text of `str` (a str object) when it is compact ASCII; nothing otherwise.
inline std::optional<std::string_view> ascii_text(PyObject* str) noexcept {
    if (!PyUnicode_IS_COMPACT_ASCII(str)) return std::nullopt;
    return std::string_view(static_cast<const char*>(PyUnicode_DATA(str)),
                            static_cast<size_t>(PyUnicode_GET_LENGTH(str)));
}

}  // namespace sarn
