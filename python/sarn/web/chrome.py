"""A trace in the Trace Event Format, which Perfetto and chrome://tracing open.

Each recorded call becomes one complete event ("ph": "X") on its thread,
with its arguments, return value and path as text in "args"; each frame of
interest (a test's start or end, say) an instant event ("ph": "i"). Metadata
events name the process (the trace) and each thread. Times are microseconds
since the recording started. A call whose return was not recorded lasts
until its caller ends, or until the thread's last record.
"""

from __future__ import annotations

from typing import Any, Dict, List, Optional

from sarn import viewer

__all__ = ["trace_events"]

_PID = 1
#: Characters of one argument or return value in an event's args.
VALUE_WIDTH = 1000


def _stamp(record: Optional[Dict[str, Any]]) -> Optional[float]:
    value = record.get("timestamp") if record else None
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        return float(value)
    return None


class _Thread:
    def __init__(self, tid: int, start: float, records: List[Dict[str, Any]]) -> None:
        self.tid = tid
        self.start = start
        stamps = [stamp for stamp in map(_stamp, records) if stamp is not None]
        self.first = min(stamps) if stamps else start
        self.last = max(stamps) if stamps else start
        self.events: List[Dict[str, Any]] = []

    def micros(self, seconds: float) -> float:
        return round((seconds - self.start) * 1e6, 3)

    def add(self, root: viewer.Node) -> None:
        """Add ``root`` and the calls under it, each kept inside its caller's
        span so that they nest (a stack, not recursion: call trees run deep)."""
        stack = [(root, self.first, self.last)]
        while stack:
            node, low, high = stack.pop()
            if node.interest is not None:
                self.events.append(self._instant(node.interest, low))
                continue
            begin = _stamp(node.call)
            end = _stamp(node.ret)
            begin = low if begin is None else min(max(begin, low), high)
            end = high if end is None else min(max(end, begin), high)
            ts = self.micros(begin)
            self.events.append(
                {
                    "name": node.name,
                    "cat": "body" if node.is_body() else "call",
                    "ph": "X",
                    "ts": ts,
                    "dur": round(self.micros(end) - ts, 3),
                    "pid": _PID,
                    "tid": self.tid,
                    "args": _frame_args(node),
                }
            )
            stack.extend((child, begin, end) for child in reversed(node.children))

    def _instant(self, record: Dict[str, Any], fallback: float) -> Dict[str, Any]:
        when = _stamp(record)
        return {
            "name": str(record.get("type", "interest")),
            "cat": "interest",
            "ph": "i",
            "s": "t",
            "ts": self.micros(when if when is not None else fallback),
            "pid": _PID,
            "tid": self.tid,
            "args": _interest_args(record),
        }


def _frame_args(node: viewer.Node) -> Dict[str, Any]:
    args: Dict[str, Any] = {"path": str(node.record.get("path") or "")}
    local_values = node.call.get("locals") if node.call else None
    if isinstance(local_values, dict) and viewer.TAG not in local_values and not node.is_body():
        args["arguments"] = {
            str(key): viewer.format_value(value, VALUE_WIDTH) for key, value in local_values.items() if key != "__class__"
        }
    if node.ret is not None and not node.is_body():
        args["return"] = viewer.format_value(node.ret.get("arg"), VALUE_WIDTH)
    return args


def _interest_args(record: Dict[str, Any]) -> Dict[str, Any]:
    skipped = ("frame_id", "timestamp", "thread", "thread_native_id", "user_code_call_site", "type")
    return {str(key): viewer.format_value(value, VALUE_WIDTH) for key, value in record.items() if key not in skipped}


def trace_events(document: Any) -> Dict[str, Any]:
    """The Trace Event Format object (``{"traceEvents": [...], ...}``) of a trace document."""
    document = viewer.decode_document(document)
    start = _stamp(document) or 0.0
    meta = document.get("meta") if isinstance(document.get("meta"), dict) else {}
    argv = document.get("command_line_args")
    command = " ".join(str(arg) for arg in argv) if isinstance(argv, list) else ""
    events: List[Dict[str, Any]] = [
        {"name": "process_name", "ph": "M", "pid": _PID, "tid": 0,
         "args": {"name": ("sarn %s %s" % (meta.get("source") or "trace", command)).strip()}},
    ]
    for order, (name, native_id, records) in enumerate(viewer.thread_records(document)):
        tid = native_id if isinstance(native_id, int) and not isinstance(native_id, bool) else order + 1
        thread = _Thread(tid, start, records)
        events.append({"name": "thread_name", "ph": "M", "pid": _PID, "tid": tid, "args": {"name": name}})
        events.append({"name": "thread_sort_index", "ph": "M", "pid": _PID, "tid": tid, "args": {"sort_index": order}})
        for root in viewer.build_tree(records):
            thread.add(root)
        events.extend(thread.events)
    return {
        "traceEvents": events,
        "displayTimeUnit": "ms",
        "otherData": {"trace_id": document.get("trace_id"), "source": meta.get("source"), "command": command},
    }
