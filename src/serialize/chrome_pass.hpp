// The Trace Event Format export of a stored document (`sarn export
// --format chrome`) done natively: each thread's calls are paired and
// nested as their records come, and a call's complete event is written as
// JSON text when it returns, without a Python object per record beyond the
// values it shows. Python is handed the records the pass does not write
// itself: frames of interest, operations outside the user's code, asyncio
// task records, and how a frame ended by an exception.
#pragma once

#include <Python.h>

namespace sarn::serialize {

// ChromePass(host, start, indent, kinds): a pass over the records of every
// thread, times counted from `start` (seconds), events indented as
// json.dumps(indent=indent) indents them two levels deep.
//   feed(data, start, count, fallback, lenient) -> (records taken, end)
//       as ShowPass.feed
//   finish(main_thread_id) -> the number of events written; the events of
//       the calls and operations still open and the threads' metadata
//       are written, and the pass ends (as it does when a feed raises)
//   flush() -> hands what is held to host.write
// `kinds` is the set of record types of operations outside the user's code.
// `host` gives: write(text), decode(bytes), format_value(value),
// arguments(locals), exception_text(record), instant(tid, record, low),
// operation(tid, record, where, low), unended(tid, end), task(record,
// thread tid, site path) -> the key of the task entered or None,
// task_raised(key, path), task_meta(key, tid) -> (name, event text).
// Event texts from the host are whole events at that depth.
PyTypeObject* chrome_pass_type();

}  // namespace sarn::serialize
