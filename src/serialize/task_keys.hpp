// The asyncio task keys of a stored document, found by a scan of its bytes.
#pragma once

#include <Python.h>

namespace sarn::serialize {

// task_keys(data) -> [bytes]: the values of the "task" entries of asyncio
// task records in a block of a document's bytes ("t" and digits), found
// by a scan of the bytes, not a decoding.
PyObject* task_keys_function(PyObject* module, PyObject* data) noexcept;

}  // namespace sarn::serialize
