// The call index of a stored trace document (what `sarn find` reads before
// any document), read from the document's bytes in one pass.
#pragma once

#include <Python.h>

namespace sarn::serialize {

// call_index(data, tag, text_limit) -> (names, exceptions) | None: per
// qualified name called, in the order first called, (qualname, calls,
// slowest, numbers, texts):
//   numbers  {argument: [least, greatest] or None (no number passed)}
//   texts    {argument: (distinct texts, whether a value not a text was
//            passed), or None when a map, a text that is not UTF-8 or more
//            than `text_limit` distinct texts were passed}
// both None when some call's arguments were not a plain map of text keys
// (`tag`, the key of a tagged map, is not one). `exceptions` holds (name's
// position, record bytes) for each exception record that follows the return
// of a call of that name, for the Python half to judge. None when the
// document is damaged or has a record the Python reader must judge: that
// reader then builds the index itself.
PyObject* call_index_function(PyObject* module, PyObject* args) noexcept;

}  // namespace sarn::serialize
