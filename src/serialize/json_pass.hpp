// The records of a stored document written as JSON text natively, for
// `sarn export --json`: each record becomes the text that json.dumps gives
// for it once decoded and made fit for JSON, without a Python object per
// record.
#pragma once

#include <Python.h>

namespace sarn::serialize {

// JsonPass(write, indent, dump): writes records as items of a JSON list.
//   begin_list(level)
//       the records that follow are the items of a list opened at `level`
//       (its items are indented one level deeper when indenting)
//   feed(data, start, count, fallback, lenient) -> (records taken, end)
//       as ShowPass.feed: stops before a record that ends past the data or
//       that the Python reader must judge (unless `lenient`)
//   items() -> the records written in the current list
//   flush() -> hands what is held to `write`
// `write(text)` takes the JSON text in pieces; `indent` is None or a
// positive count of spaces; `dump(bytes, level)` gives the text of a record
// that the pass does not write itself (one holding an extension type, a map
// whose keys JSON would merge, nesting too deep).
PyTypeObject* json_pass_type();

}  // namespace sarn::serialize
