// Conversions of host values into native ones, with the exact errors the host
// sees when a value has the wrong type.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "utils/error.hpp"

namespace sarn {

// TypeError "'<type qualname>' object cannot be converted to '<target>'".
[[nodiscard]] Error conversion_error(PyObject* obj, std::string_view target);

// True or False exactly (or a NumPy boolean scalar).
[[nodiscard]] Result<bool> to_strict_bool(PyObject* obj);
// A str (or subclass) as UTF-8.
[[nodiscard]] Result<std::string> to_text(PyObject* obj);
// UTF-8 view of a str, valid while the object lives (the interpreter caches it).
[[nodiscard]] Result<std::string_view> text_view(PyObject* obj);
// An int or any object with __index__, in 0..2^64-1.
[[nodiscard]] Result<uint64_t> to_unsigned(PyObject* obj);
// None gives nothing; anything else as `to_unsigned`.
[[nodiscard]] Result<std::optional<uint64_t>> to_optional_unsigned(PyObject* obj);
// Any sequence but a str, each element converted with `to_text`.
[[nodiscard]] Result<std::vector<std::string>> to_text_list(PyObject* obj);

// Borrowed dictionary lookup that reports a raising lookup as an error and a
// missing key as a null result.
[[nodiscard]] Result<PyObject*> dict_lookup(PyObject* dict, const char* key);

// Builds a str from UTF-8 text.
[[nodiscard]] Result<Ref> make_str(std::string_view text);

}  // namespace sarn
