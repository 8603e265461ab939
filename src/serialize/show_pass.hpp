// The pass of `sarn show` over a stored document's records, done natively:
// the call tree's structure (which call is under which, what is shown under
// the depth, child and line limits, what is left out), the counts and the
// summary's statistics, without a Python object per record. Python is
// handed only the records of the lines that are shown (to render them), the
// records of operations outside the user's code (to pair them) and those
// that say a frame ended by an exception.
#pragma once

#include <Python.h>

namespace sarn::serialize {

// ShowPass(host, labels, main_list, depth, children, lines, text=False): a
// pass over the records of every thread; with `text`, the lines are kept
// as text and taken by text() once finished.
//   feed(data, start, count, fallback, lenient) -> (records taken, end)
//       takes up to `count` records of `data` from byte `start` on, stopping
//       before one that ends past the data or that the Python reader must
//       judge (unless `lenient`: the Python reader has accepted it); a
//       record without "thread_native_id" belongs to `fallback`'s thread
//   finish() -> (threads, cut)
//       each thread as (name, native id, from main list, calls, exceptions,
//       resumptions, [(function, calls, total, own, active)], slowest
//       [(duration, seq, path)], deepest (depth, path), [(seq, order,
//       line, indent)], or None in text mode) in order of their first
//       record; cut: the last "trace_cut" record or None.
//   text(thread, size) -> str or None
//       in text mode, after finish(): the thread's next lines (about `size`
//       bytes of them, each indented, joined by newlines), None once all
//       are taken; a line made by the host is its text or its render(None).
// `host` gives: line(call, ret, interest, exception, operation, caller_path,
// resumed, suspended), hidden([(name, count)]), more_below(n),
// lines_left_out(n), normal_exit(record), interest_name(record),
// pairing_add(thread, record, where) -> (operation, started),
// pairing_finish(thread), decode(bytes); `labels` maps the record types of
// operations outside the user's code to their label; a limit is None or a
// count.
PyTypeObject* show_pass_type();

}  // namespace sarn::serialize
