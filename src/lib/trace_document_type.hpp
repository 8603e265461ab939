// The TraceDocument class: a trace document taken out of a profiler's stores,
// read like a binary file (`read(size)`, `rewind()`), with its listing facts
// (`facts`) known without reading it.
#pragma once

#include <Python.h>

#include "profiler/trace_document.hpp"
#include "utils/error.hpp"

namespace sarn {

// A new instance that owns `document`.
[[nodiscard]] Result<Ref> new_trace_document(TraceDocument&& document);

}  // namespace sarn
