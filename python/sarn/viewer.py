"""Read trace documents back and show them as call trees.

A trace document is one MessagePack map (built by the recording core):

* "command_line_args": the recorded program's ``sys.argv``;
* "current_commit_sha": the git commit it ran from, or nil;
* "frames": {thread native id: [record, ...]} for threads other than the main
  thread (when threads are recorded);
* "frames_of_interest": [record, ...] of the main thread (of every recorded
  thread when threads are not followed);
* "main_thread_id", "timestamp" (recording start, seconds since the epoch),
  "trace_id", and "meta": {"version", "source", "use_frame_boundaries"}.

A record is either a frame record ("type" "frame": "path" (file:line),
"co_name", "qualname", "event" ("call" or "return"), "frame_id", "arg" (the
return value), "locals" (the arguments, on a call), "thread",
"thread_native_id", "timestamp", "user_code_call_site" ({"call_frame_id",
"line_number"} or nil)), or a frame of interest made by a plugin (any other
"type", such as "start_test" and "end_test", with "frame_id", "timestamp",
"thread", "thread_native_id", "user_code_call_site" and the plugin's own
keys). Values ("arg", "locals" and plugin data) are in the shape described in
:mod:`sarn.serialize`.

:func:`render` pairs each call with its return by "frame_id", places every
call and frame of interest under the call named by its
"user_code_call_site", and prints one tree per thread: qualified name,
arguments, path:line, return value and duration.
"""

from __future__ import annotations

import base64
import datetime
import json
import math
import re
from typing import Any, Dict, Iterable, Iterator, List, Optional, Tuple

import msgpack

from sarn.serialize import TAG

__all__ = [
    "TraceFormatError",
    "decode_document",
    "thread_records",
    "build_tree",
    "format_value",
    "render",
    "render_lines",
    "to_json",
    "jsonable",
]

#: Characters shown of one argument or return value.
VALUE_WIDTH = 60
#: Characters shown of a call's whole argument list.
ARGS_WIDTH = 120

# Reprs that say nothing but the type: object's own, and the serialiser's
# text for a repr that failed (as for ``self`` before ``__init__`` has run).
_DEFAULT_REPR = re.compile(r"^<(?:[\w.]+\.)?(\w+) object(?: at 0x[0-9a-fA-F]+|; repr\(\) failed: \w+)>$")
_STANDARD_INTEREST_KEYS = frozenset(
    ["frame_id", "timestamp", "thread", "thread_native_id", "user_code_call_site", "type", "subtype"]
)
_KIND_OPEN_CLOSE = {"list": ("[", "]"), "tuple": ("(", ")"), "set": ("{", "}"), "frozenset": ("frozenset({", "})")}
_CYCLE_TEXT = {"list": "[...]", "dict": "{...}", "tuple": "(...)", "set": "{...}"}


# Characters that would drive a terminal (C0 and C1 controls, DEL) or
# reorder what it shows (bidirectional overrides): text from a recorded
# program shows them escaped.
_UNSAFE = re.compile("[\x00-\x1f\x7f-\x9f\u200e\u200f\u202a-\u202e\u2066-\u2069]")
_ESCAPES = {"\n": "\\n", "\r": "\\r", "\t": "\\t"}


def _escape(match: "re.Match[str]") -> str:
    char = match.group()
    if char in _ESCAPES:
        return _ESCAPES[char]
    return "\\x%02x" % ord(char) if ord(char) < 0x100 else "\\u%04x" % ord(char)


def printable(text: Any) -> str:
    """``str(text)`` with every control character escaped (``\\x1b``,
    ``\\r``, ...), so that text from a recorded program cannot drive the
    terminal it is shown on."""
    return _UNSAFE.sub(_escape, str(text))


class TraceFormatError(ValueError):
    """The bytes are not a trace document."""


def decode_document(data: Any) -> Dict[str, Any]:
    """The decoded trace document (a dict), its shape checked; accepts bytes
    or an already decoded dict. A damaged document raises TraceFormatError
    saying what is wrong where."""
    if isinstance(data, dict):
        document = data
    else:
        try:
            document = msgpack.unpackb(bytes(data), raw=False, strict_map_key=False, unicode_errors="replace")
        except Exception as error:
            reason = str(error) or type(error).__name__
            raise TraceFormatError("not a trace document: %s" % reason) from None
    if not isinstance(document, dict):
        raise TraceFormatError("not a trace document: a %s, not a map" % type(document).__name__)
    _check_shape(document)
    return document


# The fields the viewer relies on, with the types each may have besides
# none: those of every record, and those of frame records only (a plugin's
# frames of interest carry payload keys of their own choosing).
_NUMBER = (int, float)
_RECORD_FIELDS = {"type": str, "frame_id": str, "thread": str, "thread_native_id": int,
                  "timestamp": _NUMBER, "user_code_call_site": dict}
_FRAME_FIELDS = {"event": str, "qualname": str, "co_name": str, "path": str}
_SITE_FIELDS = {"call_frame_id": str, "line_number": int}
_TYPE_NAMES = {str: "a text", int: "an integer", _NUMBER: "a number", dict: "a map"}


def _damaged(where: str, value: Any, expected: str) -> TraceFormatError:
    return TraceFormatError("damaged trace document: %s is %s %s, not %s"
                            % (where, "an" if type(value).__name__[0] in "aeiou" else "a", type(value).__name__, expected))


def _check_fields(record: Dict[str, Any], fields: Dict[str, Any], where: str) -> None:
    for key, types in fields.items():
        value = record.get(key)
        if value is not None and (type(value) is bool or not isinstance(value, types)):
            raise _damaged("%s.%s" % (where, key), value, _TYPE_NAMES[types])


def _check_records(records: Any, where: str) -> None:
    if not isinstance(records, list):
        raise _damaged(where, records, "a list")
    for index, record in enumerate(records):
        if not isinstance(record, dict):
            raise _damaged("%s[%d]" % (where, index), record, "a map")
        _check_fields(record, _RECORD_FIELDS, "%s[%d]" % (where, index))
        if record.get("type") == "frame":
            _check_fields(record, _FRAME_FIELDS, "%s[%d]" % (where, index))
        site = record.get("user_code_call_site")
        if site is not None:
            _check_fields(site, _SITE_FIELDS, "%s[%d].user_code_call_site" % (where, index))


def _check_shape(document: Dict[str, Any]) -> None:
    """Raises TraceFormatError unless the records have the shape the viewer
    reads (ids that are texts, sites that are maps, ...)."""
    if "frames_of_interest" in document:
        _check_records(document["frames_of_interest"], "frames_of_interest")
    frames = document.get("frames", {})
    if not isinstance(frames, dict):
        raise _damaged("frames", frames, "a map")
    for native_id, records in frames.items():
        if not isinstance(native_id, (int, str)) or isinstance(native_id, bool):
            raise _damaged("a key of frames", native_id, "an integer")
        _check_records(records, "frames[%s]" % native_id)


# --------------------------------------------------------------------------
# Values


def _short_type(name: Any) -> str:
    return str(name).rpartition(".")[2]


def _fmt_items(parts: Iterable[Any], limit: int, render_one) -> Tuple[List[str], bool]:
    """Render items until about ``limit`` characters are used; True when some were left out."""
    out: List[str] = []
    used = 0
    for part in parts:
        if used >= limit:
            return out, True
        text = render_one(part, limit - used)
        out.append(text)
        used += len(text) + 2
    return out, False


def _fmt(value: Any, limit: int) -> str:
    if value is None:
        return "None"
    if value is True:
        return "True"
    if value is False:
        return "False"
    t = type(value)
    if t is int or t is float:
        return repr(value)
    if t is str:
        return repr(value if len(value) <= limit else value[:limit])
    if t is bytes:
        return repr(value if len(value) <= limit else value[:limit])
    if t is list:
        items, more = _fmt_items(value, limit, _fmt)
        return "[" + ", ".join(items) + (", ..." if more else "") + "]"
    if t is dict:
        if TAG in value:
            return _fmt_tagged(value, limit)
        items, more = _fmt_items(
            value.items(), limit, lambda pair, room: "%r: %s" % (pair[0], _fmt(pair[1], room))
        )
        return "{" + ", ".join(items) + (", ..." if more else "") + "}"
    return repr(value)


def _with_attrs(short_type: str, value: Dict[str, Any], limit: int) -> str:
    """An object as its type called with its attributes: Item(name='tea', price=3.5)."""
    items, more = _fmt_items(
        value["attrs"].items(), limit, lambda pair, room: "%s=%s" % (pair[0], _fmt(pair[1], room))
    )
    if more or value.get("more_attrs"):
        items.append("...")
    return "%s(%s)" % (short_type, ", ".join(items))


def _fmt_tagged(value: Dict[str, Any], limit: int) -> str:
    kind = value.get(TAG)
    type_name = value.get("type")
    total = value.get("len")
    if kind == "object":
        text = value.get("repr")
        attrs = value.get("attrs")
        if not isinstance(text, str):
            # Written without running its __repr__: its type and attributes.
            if isinstance(attrs, dict):
                return _with_attrs(_short_type(type_name), value, limit)
            return "<%s>" % _short_type(type_name)
        match = _DEFAULT_REPR.match(text)
        if match and not attrs and "failed" in text:
            return "<%s>" % match.group(1)
        if match and isinstance(attrs, dict):
            return _with_attrs(match.group(1), value, limit)
        return text
    if kind == "str":
        return _fmt(value.get("value", ""), limit) + "..."
    if kind == "bytes":
        data = value.get("value", b"")
        text = repr(bytes(data)) if isinstance(data, bytes) else repr(data)
        if type_name not in (None, "bytes"):
            text = "%s(%s)" % (_short_type(type_name), text)
        return text + ("..." if total is not None else "")
    if kind in _KIND_OPEN_CLOSE:
        open_text, close_text = _KIND_OPEN_CLOSE[kind]
        raw_items = value.get("items")
        raw_items = raw_items if isinstance(raw_items, list) else []
        items, more = _fmt_items(raw_items, limit, _fmt)
        if total is not None and total > len(raw_items):
            items.append("... +%d" % (total - len(items)))
        elif more:
            items.append("...")
        if kind == "tuple" and len(items) == 1 and total is None and not more:
            body = items[0] + ","
        else:
            body = ", ".join(items)
        if kind == "set" and not items:
            text = "set()"
        else:
            text = open_text + body + close_text
        if type_name not in (None, kind):
            text = "%s(%s)" % (_short_type(type_name), text)
        return text
    if kind == "dict":
        raw_items = value.get("items")
        raw_items = raw_items if isinstance(raw_items, list) else []

        def one(pair: Any, room: int) -> str:
            if isinstance(pair, list) and len(pair) == 2:
                return "%s: %s" % (_fmt(pair[0], room), _fmt(pair[1], room))
            return _fmt(pair, room)

        items, more = _fmt_items(raw_items, limit, one)
        if total is not None and total > len(raw_items):
            items.append("... +%d" % (total - len(items)))
        elif more:
            items.append("...")
        text = "{" + ", ".join(items) + "}"
        if type_name not in (None, "dict"):
            text = "%s(%s)" % (_short_type(type_name), text)
        return text
    if kind == "cycle":
        return _CYCLE_TEXT.get(str(type_name), "<cycle %s>" % type_name)
    return repr(value)


def format_value(value: Any, limit: int = VALUE_WIDTH) -> str:
    """A short Python-like text for a serialised value, at most about ``limit``
    characters (longer texts end in "...")."""
    try:
        text = _fmt(value, limit)
    except Exception:
        text = repr(value)
    if len(text) > limit:
        text = text[: max(0, limit - 3)] + "..."
    return printable(text)


# --------------------------------------------------------------------------
# Tree


class Node:
    """One call (its call and return records) or one frame of interest."""

    __slots__ = ("call", "ret", "interest", "children", "shown", "under_match")

    def __init__(self, call: Any = None, ret: Any = None, interest: Any = None) -> None:
        self.call = call
        self.ret = ret
        self.interest = interest
        self.children: List[Node] = []
        self.shown = True
        self.under_match = False

    @property
    def record(self) -> Dict[str, Any]:
        return self.call or self.ret or self.interest or {}

    @property
    def name(self) -> str:
        # A class body's qualified name is known only once the body has run.
        for record in (self.call, self.ret, self.interest):
            if record and record.get("qualname"):
                return str(record["qualname"])
        name = self.record.get("co_name")
        return str(name) if name else "?"

    def is_body(self) -> bool:
        """True for a module or class body, whose locals are a namespace."""
        if self.record.get("co_name") == "<module>":
            return True
        for record in (self.call, self.ret):
            local_values = record.get("locals") if record else None
            if isinstance(local_values, dict) and "__qualname__" in local_values and "__module__" in local_values:
                return True
        return False

    def duration(self) -> Optional[float]:
        if self.call is None or self.ret is None:
            return None
        start, end = self.call.get("timestamp"), self.ret.get("timestamp")
        if isinstance(start, (int, float)) and isinstance(end, (int, float)):
            return max(0.0, end - start)
        return None


def thread_records(document: Dict[str, Any]) -> List[Tuple[str, Any, List[Dict[str, Any]]]]:
    """The records of each thread as (thread name, native id, records), main
    thread first, each in recorded order."""
    groups: Dict[Any, Tuple[str, Any, List[Dict[str, Any]]]] = {}
    order: List[Any] = []

    def add(records: Any, fallback_id: Any) -> None:
        if not isinstance(records, list):
            return
        for record in records:
            if not isinstance(record, dict):
                continue
            native_id = record.get("thread_native_id", fallback_id)
            name = record.get("thread")
            key = (native_id, name)
            group = groups.get(key)
            if group is None:
                group = (str(name) if name is not None else "thread", native_id, [])
                groups[key] = group
                order.append(key)
            group[2].append(record)

    add(document.get("frames_of_interest"), document.get("main_thread_id"))
    frames = document.get("frames")
    if isinstance(frames, dict):
        for native_id, records in frames.items():
            add(records, native_id)
    return [groups[key] for key in order]


def build_tree(records: Iterable[Dict[str, Any]]) -> List[Node]:
    """The call tree of one thread's records: the top-level nodes, in order."""
    roots: List[Node] = []
    by_id: Dict[Any, Node] = {}
    for record in records:
        if not isinstance(record, dict):
            continue
        site = record.get("user_code_call_site")
        parent = by_id.get(site.get("call_frame_id")) if isinstance(site, dict) else None
        siblings = parent.children if parent is not None else roots
        if record.get("type") == "frame":
            frame_id = record.get("frame_id")
            if record.get("event") == "call":
                node = Node(call=record)
                if frame_id is not None:
                    by_id[frame_id] = node
                siblings.append(node)
                continue
            node = by_id.get(frame_id) if frame_id is not None else None
            if node is not None and node.ret is None and node.call is not None:
                node.ret = record
            else:
                siblings.append(Node(ret=record))
        else:
            siblings.append(Node(interest=record))
    return roots


def _walk(roots: List[Node]) -> Iterator[Tuple[Node, int]]:
    stack = [(node, 0) for node in reversed(roots)]
    while stack:
        node, depth = stack.pop()
        yield node, depth
        for child in reversed(node.children):
            stack.append((child, depth + 1))


def _apply_filter(roots: List[Node], text: str) -> None:
    """Mark the nodes to show: those whose name or path holds ``text``, their
    callers and everything they call."""
    needle = text.lower()
    post: List[Tuple[Node, Optional[Node]]] = []
    stack: List[Tuple[Node, Optional[Node]]] = [(node, None) for node in roots]
    while stack:
        node, parent = stack.pop()
        post.append((node, parent))
        stack.extend((child, node) for child in node.children)
    matched = {}
    for node, _ in post:
        record = node.record
        haystack = " ".join(
            str(record.get(key, "")) for key in ("qualname", "co_name", "path", "type", "test_name")
        ).lower()
        matched[id(node)] = needle in haystack
        node.shown = False
        node.under_match = False
    for node, parent in post:  # parents before children
        if parent is not None and (parent.under_match or matched[id(parent)]):
            node.under_match = True
    for node, parent in reversed(post):  # children before parents
        if matched[id(node)] or node.under_match:
            node.shown = True
        if node.shown and parent is not None:
            parent.shown = True


def _count(node: Node) -> int:
    total = 0
    stack = list(node.children)
    while stack:
        current = stack.pop()
        total += 1
        stack.extend(current.children)
    return total


# --------------------------------------------------------------------------
# Text


class _Style:
    def __init__(self, color: bool) -> None:
        if color:
            self.name, self.dim, self.value = "\x1b[1m", "\x1b[2m", "\x1b[32m"
            self.time, self.mark, self.head, self.reset = "\x1b[33m", "\x1b[35m", "\x1b[1;36m", "\x1b[0m"
        else:
            self.name = self.dim = self.value = self.time = self.mark = self.head = self.reset = ""


def format_duration(seconds: Optional[float]) -> str:
    if seconds is None:
        return ""
    if seconds < 1e-3:
        return "%.0f us" % (seconds * 1e6)
    if seconds < 1.0:
        return "%.2f ms" % (seconds * 1e3)
    return "%.3f s" % seconds


def _format_args(record: Dict[str, Any]) -> str:
    local_values = record.get("locals")
    if not isinstance(local_values, dict):
        return "(...)"
    if TAG in local_values:
        return "(%s)" % format_value(local_values, ARGS_WIDTH)
    parts: List[str] = []
    used = 0
    for key, value in local_values.items():
        if key == "__class__":
            continue  # the implicit cell of methods that call super()
        if used > ARGS_WIDTH:
            parts.append("...")
            break
        part = "%s=%s" % (printable(key), format_value(value, min(VALUE_WIDTH, max(12, ARGS_WIDTH - used))))
        parts.append(part)
        used += len(part) + 2
    return "(" + ", ".join(parts) + ")"


def _interest_line(record: Dict[str, Any], style: _Style) -> str:
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
            # The last line of a pytest failure is its summary ("E   assert 1 == 2", ...).
            lines = value.strip().splitlines()
            last = lines[-1].strip() if lines else ""
            parts.append(last if len(last) <= VALUE_WIDTH else last[: VALUE_WIDTH - 3] + "...")
            continue
        if key in ("test_path", "test_line", "test_function"):
            continue
        if key == "outcome" and isinstance(value, str):
            parts.append(value)
            continue
        parts.append("%s=%s" % (key, format_value(value, 40)))
    shown = " ".join(printable(part) for part in parts if part)
    return "%s* %s%s %s" % (style.mark, printable(head), style.reset, shown)


def _frame_line(node: Node, style: _Style) -> str:
    record = node.record
    call = node.call
    body = node.is_body()
    if body and record.get("co_name") != "<module>":
        text = "class " + style.name + printable(node.name) + style.reset
    else:
        text = style.name + printable(node.name) + style.reset
    if call is not None and not body:
        text += _format_args(call)
    path = record.get("path")
    if node.ret is not None and not body:
        text += " -> " + style.value + format_value(node.ret.get("arg")) + style.reset
    if path:
        text += "  " + style.dim + printable(path) + style.reset
    duration = node.duration()
    if duration is not None:
        text += "  " + style.time + format_duration(duration) + style.reset
    if call is None:
        text += "  " + style.dim + "[entered before recording]" + style.reset
    elif node.ret is None:
        text += "  " + style.dim + "[no return recorded]" + style.reset
    return text


def _timestamp_text(value: Any) -> str:
    if not isinstance(value, (int, float)) or isinstance(value, bool):
        return "?"
    try:
        return datetime.datetime.fromtimestamp(value).strftime("%Y-%m-%d %H:%M:%S")
    except (OverflowError, OSError, ValueError):
        return "?"


def render_lines(
    document: Any,
    *,
    depth: Optional[int] = None,
    filter: Optional[str] = None,
    color: bool = False,
) -> Iterator[str]:
    """The lines of :func:`render`."""
    document = decode_document(document)
    style = _Style(color)
    meta = document.get("meta") if isinstance(document.get("meta"), dict) else {}
    argv = document.get("command_line_args")
    head = "trace %s" % printable(document.get("trace_id", "?"))
    if meta.get("source"):
        head += "  source %s" % printable(meta["source"])
    head += "  started %s" % _timestamp_text(document.get("timestamp"))
    yield style.head + head + style.reset
    if isinstance(argv, list) and argv:
        yield "command: " + printable(" ".join(str(arg) for arg in argv))
    if document.get("current_commit_sha"):
        yield "commit: %s" % printable(document["current_commit_sha"])
    threads = thread_records(document)
    if not threads:
        yield "(no records)"
    for name, native_id, records in threads:
        roots = build_tree(records)
        calls = sum(1 for record in records if record.get("type") == "frame" and record.get("event") == "call")
        yield ""
        head = "thread %s (native id %s): %d calls" % (printable(name), printable(native_id), calls)
        yield style.head + head + style.reset
        if filter:
            _apply_filter(roots, filter)
        for node, level in _walk(roots):
            if not node.shown:
                continue
            indent = "  " * level
            if depth is not None and level >= depth:
                continue
            if node.interest is not None:
                yield indent + _interest_line(node.interest, style)
            else:
                yield indent + _frame_line(node, style)
            if depth is not None and level + 1 >= depth and node.children:
                hidden = _count(node)
                yield indent + "  " + style.dim + "... %d more below" % hidden + style.reset


def render(
    document: Any,
    *,
    depth: Optional[int] = None,
    filter: Optional[str] = None,
    color: bool = False,
) -> str:
    """The call trees of a trace document as text, one per thread.

    ``depth`` shows only that many levels of calls; ``filter`` shows only the
    calls whose qualified name or path holds the text (case-insensitive), with
    their callers and the calls they make; ``color`` adds terminal colours.
    """
    return "\n".join(render_lines(document, depth=depth, filter=filter, color=color)) + "\n"


# --------------------------------------------------------------------------
# JSON


def jsonable(value: Any) -> Any:
    """A decoded document or value made fit for JSON: bytes become
    {"__sarn__": "bin", "type": "bytes", "base64": ...}, non-finite floats the
    strings "nan", "inf" and "-inf", and map keys text."""
    t = type(value)
    if t is dict:
        return {_json_key(key): jsonable(item) for key, item in value.items()}
    if t is list or t is tuple:
        return [jsonable(item) for item in value]
    if t is bytes:
        return {TAG: "bin", "type": "bytes", "base64": base64.b64encode(value).decode("ascii")}
    if t is float and not math.isfinite(value):
        return "nan" if math.isnan(value) else ("inf" if value > 0 else "-inf")
    if value is None or t in (str, int, bool, float):
        return value
    if isinstance(value, msgpack.ExtType):
        return {TAG: "ext", "type": "ext", "code": value.code, "base64": base64.b64encode(value.data).decode("ascii")}
    return repr(value)


def _json_key(key: Any) -> str:
    if isinstance(key, str):
        return key
    if isinstance(key, bytes):
        return key.decode("utf-8", "backslashreplace")
    if key is None or isinstance(key, (int, float, bool)):
        return json.dumps(key)
    return repr(key)


def to_json(document: Any, indent: Optional[int] = None) -> str:
    """The decoded trace document as JSON text."""
    return json.dumps(jsonable(decode_document(document)), indent=indent, ensure_ascii=False)
