"""The texts of ``sarn show`` besides a call's line (:mod:`sarn.web.terminal_frame`):
a frame of interest's line, the head of the trace and of each thread, and
lines cut to the terminal."""

from __future__ import annotations

import datetime
import re
from typing import Any, Dict, Iterator

from sarn.web.boundaries import failure_line
from sarn.web.values import VALUE_WIDTH, cut, format_duration, format_value, printable

__all__ = ["Style", "interest_line", "head_line", "head_lines", "cut_line", "thread_title", "counted",
           "fit_to", "timestamp_text"]

_STANDARD_INTEREST_KEYS = frozenset(
    ["frame_id", "timestamp", "thread", "thread_native_id", "user_code_call_site", "type", "subtype"]
)


class Style:
    """Terminal colour codes by role; all empty without colour."""

    def __init__(self, color: bool) -> None:
        if color:
            self.name, self.dim, self.value = "\x1b[1m", "\x1b[2m", "\x1b[32m"
            self.time, self.mark, self.head, self.reset = "\x1b[33m", "\x1b[35m", "\x1b[1;36m", "\x1b[0m"
            self.error = "\x1b[1;31m"
        else:
            self.name = self.dim = self.value = self.time = self.mark = self.head = self.reset = ""
            self.error = ""


def interest_line(record: Dict[str, Any], style: Style) -> str:
    kind = str(record.get("type", "?"))
    subtype = record.get("subtype")
    head = kind + ("/%s" % subtype if subtype else "")
    parts = []
    for key, value in record.items():
        if key in _STANDARD_INTEREST_KEYS:
            continue
        if key == "test_name":
            parts.insert(0, str(value))
            continue
        if key == "duration" and isinstance(value, (int, float)):
            parts.append(format_duration(float(value)))
            continue
        if key == "message" and isinstance(value, str):
            parts.append(cut(failure_line(value) or "", VALUE_WIDTH))
            continue
        if key in ("test_path", "test_line", "test_function"):
            continue
        if key == "outcome" and isinstance(value, str):
            parts.append(value)
            continue
        parts.append("%s=%s" % (key, format_value(value, 40)))
    shown = " ".join(printable(part) for part in parts if part)
    return "%s* %s%s %s" % (style.mark, printable(head), style.reset, shown)


def timestamp_text(value: Any) -> str:
    if not isinstance(value, (int, float)) or isinstance(value, bool):
        return "?"
    try:
        return datetime.datetime.fromtimestamp(value).strftime("%Y-%m-%d %H:%M:%S")
    except (OverflowError, OSError, ValueError):
        return "?"


def cut_line(cut: Dict[str, Any], style: Style) -> str:
    limit = cut.get("max_trace_bytes")
    if isinstance(cut.get("reason"), str):
        why = printable(cut["reason"])
    else:
        why = "the trace reached max_trace_bytes (%s bytes)" % ("{:,}".format(limit) if isinstance(limit, int) else "?")
    return style.error + "recording stopped early: %s at %s; what ran later is not in it" % (
        why, timestamp_text(cut.get("timestamp"))) + style.reset


def counted(count: int, word: str) -> str:
    """"1 call", "2 calls", "12,000 calls"."""
    return "%s %s%s" % ("{:,}".format(count) if count >= 10000 else count, word, "" if count == 1 else "s")


def thread_title(thread: Any) -> str:
    title = "thread %s (native id %s): %s" % (printable(thread.name), printable(thread.native_id),
                                              counted(thread.calls, "call"))
    if thread.resumptions:
        title += ", " + counted(thread.resumptions, "resumption")
    if thread.exceptions:
        title += ", %d ended by an exception" % thread.exceptions
    return title


def head_line(trace_id: Any, source: Any, started: Any, color: bool = False) -> str:
    """The first line :func:`render` prints: the trace id, source and start."""
    style = Style(color)
    head = "trace %s" % printable(trace_id if trace_id is not None else "?")
    if source:
        head += "  source %s" % printable(source)
    head += "  started %s" % timestamp_text(started)
    return style.head + head + style.reset


def head_lines(document: Dict[str, Any], style: Style, first: bool = True) -> Iterator[str]:
    meta = document.get("meta") if isinstance(document.get("meta"), dict) else {}
    argv = document.get("command_line_args")
    if first:
        yield head_line(document.get("trace_id"), meta.get("source"), document.get("timestamp"),
                        bool(style.reset))
    if isinstance(argv, list) and argv:
        yield "command: " + printable(" ".join(str(arg) for arg in argv))
    if document.get("current_commit_sha"):
        yield "commit: %s" % printable(document["current_commit_sha"])
    for line in _unrecorded_lines(document, meta):
        yield style.dim + line + style.reset


def _unrecorded_lines(document: Dict[str, Any], meta: Dict[str, Any]) -> Iterator[str]:
    """One line for threads or child processes that ran unrecorded, and for
    a recording cut short, when the document says so."""
    unrecorded = meta.get("unrecorded") if isinstance(meta.get("unrecorded"), dict) else {}
    parts = []
    for key, word in (("threads", "thread"), ("processes", "child process")):
        count = unrecorded.get(key)
        if isinstance(count, int) and count > 0:
            parts.append("%d %s%s" % (count, word, "" if count == 1 else ("es" if word.endswith("s") else "s")))
    if parts:
        hint = " (--threads records them)" if unrecorded.get("threads") else ""
        yield " and ".join(parts) + " ran unrecorded" + hint


_ANSI = re.compile("\x1b\\[[0-9;]*m")


def fit_to(line: str, width: int) -> str:
    """``line`` cut to ``width`` visible characters at a token boundary."""
    if len(line) <= width:
        return line
    plain = _ANSI.sub("", line)
    if len(plain) <= width:
        return line
    return cut(plain, width)
