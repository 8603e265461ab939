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
"line_number"} or nil)), a record that says more of the frame record before
it ("exception": the frame ended by an exception, with "exception" the
exception or nil; "suspension": the return was a yield or an await that
suspended the frame; "resumption": the call resumed a suspended frame; each
with "frame_id", "thread" and "thread_native_id"), or a frame of interest
made by a plugin (any other "type", such as "start_test" and "end_test", with
"frame_id", "timestamp", "thread", "thread_native_id", "user_code_call_site"
and the plugin's own keys). Values ("arg", "locals" and plugin data) are in
the shape described in :mod:`sarn.serialize`.

:func:`render` pairs each call with its return by "frame_id", places every
call and frame of interest under the call named by its
"user_code_call_site", and prints one tree per thread: qualified name,
arguments, path:line, return value and duration. SQL queries, HTTP calls,
log records and template renders (frames of interest too) are paired,
summed up and written by :mod:`sarn.web.outside`.
"""

from __future__ import annotations

import base64
import datetime
import heapq
import io
import json
import math
import re
from typing import Any, Dict, Iterable, Iterator, List, NamedTuple, Optional, Tuple

import msgpack

from sarn.serialize import TAG
from sarn.web import outside

__all__ = [
    "TraceFormatError",
    "decode_document",
    "thread_records",
    "build_tree",
    "format_value",
    "exception_text",
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
        _check_record(record, "%s[%d]" % (where, index))


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
    t = type(value)
    if value is None or t is bool or t is int or t is float:
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
    return printable(_cut(text, limit))


_TOKEN = re.compile(r"[\w.@-]")
_BREAKS = " ,([{=:"


def _cut(text: str, limit: int) -> str:
    """``text`` in at most ``limit`` characters, ending in "..." when cut;
    cut between tokens, so that a number or a name is never shown in part
    (``quantity=...``, not ``quantity=1...`` for 10)."""
    if len(text) <= limit:
        return text
    room = max(0, limit - 3)
    head = text[:room]
    if head and _TOKEN.match(head[-1]) and _TOKEN.match(text[room]):
        where = max(head.rfind(char) for char in _BREAKS)
        if where >= 0:
            head = head[: where + 1]
    return head.rstrip(", ") + "..."


# --------------------------------------------------------------------------
# Tree


class Node:
    """One call (its call and return records) or one frame of interest.
    ``resumed``: the call resumed a suspended generator or coroutine;
    ``suspended``: the return suspended it; ``exception``: the record that
    says the frame ended by an exception; ``operation``: the operation
    outside the user's code that the frame of interest starts."""

    __slots__ = ("call", "ret", "interest", "children", "shown", "under_match", "resumed", "suspended",
                 "exception", "operation")

    def __init__(self, call: Any = None, ret: Any = None, interest: Any = None) -> None:
        self.call = call
        self.ret = ret
        self.interest = interest
        self.children: List[Node] = []
        self.shown = True
        self.under_match = False
        self.resumed = self.suspended = False
        self.exception: Optional[Dict[str, Any]] = None
        self.operation: Optional[outside.Operation] = None

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


def build_tree(records: Iterable[Dict[str, Any]], totals: Optional[outside.Totals] = None) -> List[Node]:
    """The call tree of one thread's records: the top-level nodes, in order.
    An operation outside the user's code is one node, at its call record;
    the operations are added to ``totals``."""
    roots: List[Node] = []
    by_id: Dict[Any, Node] = {}
    pairing = outside.Pairing(totals if totals is not None else outside.Totals())
    for record in records:
        if not isinstance(record, dict):
            continue
        kind = record.get("type")
        if kind in _SWITCHES:
            node = by_id.get(record.get("frame_id"))
            if node is not None:
                setattr(node, _SWITCHES[kind], True)
            continue
        if kind == "exception":
            # It follows the return record of the frame it ended.
            node = by_id.get(record.get("frame_id"))
            if node is not None and node.ret is not None and node.exception is None:
                node.exception = record
                continue
        site = record.get("user_code_call_site")
        parent = by_id.get(site.get("call_frame_id")) if isinstance(site, dict) else None
        siblings = parent.children if parent is not None else roots
        if kind == "frame":
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
            node = Node(interest=record)
            if outside.label(kind) is not None:
                where = (parent.call or {}).get("path") if parent is not None else None
                node.operation, started = pairing.add(record, where)
                if not started:
                    continue
            siblings.append(node)
    pairing.finish()
    return roots


# The records that mark a generator's frame record, and what each sets on its
# call's node or entry.
_SWITCHES = {"resumption": "resumed", "suspension": "suspended"}


# --------------------------------------------------------------------------
# Reading record by record


def _source_stream(data: Any) -> Any:
    """A binary file reading the document ``data``: bytes, a decoded dict, or
    a binary file already (used as it is)."""
    if hasattr(data, "read"):
        return data
    if isinstance(data, dict):
        return io.BytesIO(msgpack.packb(data, use_bin_type=True))
    return io.BytesIO(bytes(data))


def _format_error(error: Exception) -> TraceFormatError:
    if isinstance(error, TraceFormatError):
        return error
    reason = str(error) or type(error).__name__
    return TraceFormatError("not a trace document: %s" % reason)


class _Reader:
    """A msgpack Unpacker fed from a binary file as it needs bytes."""

    def __init__(self, stream: Any, progress: Any) -> None:
        self.stream = stream
        self.progress = progress
        self.read = 0
        self.unpacker = msgpack.Unpacker(raw=False, strict_map_key=False, unicode_errors="replace",
                                         max_buffer_size=1 << 30)

    def _refill(self) -> None:
        chunk = self.stream.read(1 << 20)
        if not chunk:
            raise TraceFormatError("not a trace document: %s" % ("it is empty" if not self.read else "it ends early"))
        self.read += len(chunk)
        self.unpacker.feed(chunk)
        if self.progress is not None:
            self.progress(self.read)

    def _with_data(self, method: Any) -> Any:
        while True:
            try:
                return method()
            except msgpack.OutOfData:
                self._refill()

    def call(self, method: Any) -> Any:
        try:
            return self._with_data(method)
        except ValueError as error:
            raise _format_error(error) from None

    def header(self, method: Any, where: str, expected: str) -> int:
        """A map or array header; anything else there is damage."""
        try:
            return self._with_data(method)
        except ValueError as error:
            if "Unexpected type" not in str(error):
                raise _format_error(error) from None
        value = self.call(self.unpacker.unpack)
        if where == "":
            raise TraceFormatError("not a trace document: %s %s, not a map"
                                   % ("an" if type(value).__name__[0] in "aeiou" else "a", type(value).__name__))
        raise _damaged(where, value, expected)


def iter_document(data: Any, progress: Any = None) -> Iterator[Tuple[str, Any, Any]]:
    """The document decoded record by record, holding one record at a time:
    ("record", fallback native id, record) for every record in stored order
    (the fallback is MAIN_LIST for those of the main list, frames_of_interest),
    each list announced by ("list", fallback native id, length) and the
    threads' map by ("threads", None, length); last ("header", None, {key:
    value}) with the document's other entries. Each record's shape is
    checked as it comes: damage raises TraceFormatError. ``progress(bytes
    read)`` is called as the document is read."""
    reader = _Reader(_source_stream(data), progress)
    unpack = reader.unpacker.unpack
    header: Dict[str, Any] = {}
    for _ in range(reader.header(reader.unpacker.read_map_header, "", "a map")):
        key = reader.call(unpack)
        if key == "frames_of_interest":
            count = reader.header(reader.unpacker.read_array_header, "frames_of_interest", "a list")
            yield "list", MAIN_LIST, count
            for index in range(count):
                record = reader.call(unpack)
                _check_record(record, "frames_of_interest[%d]" % index)
                yield "record", MAIN_LIST, record
        elif key == "frames":
            threads = reader.header(reader.unpacker.read_map_header, "frames", "a map")
            yield "threads", None, threads
            for _ in range(threads):
                native_id = reader.call(unpack)
                if not isinstance(native_id, (int, str)) or isinstance(native_id, bool):
                    raise _damaged("a key of frames", native_id, "an integer")
                where = "frames[%s]" % native_id
                count = reader.header(reader.unpacker.read_array_header, where, "a list")
                yield "list", native_id, count
                for index in range(count):
                    record = reader.call(unpack)
                    _check_record(record, "%s[%d]" % (where, index))
                    yield "record", native_id, record
        else:
            header[key] = reader.call(unpack)
    yield "header", None, header


# The fallback native id of main-list records: the document's
# "main_thread_id", known only once the whole document is read.
MAIN_LIST = object()


def _check_record(record: Any, where: str) -> None:
    if not isinstance(record, dict):
        raise _damaged(where, record, "a map")
    _check_fields(record, _RECORD_FIELDS, where)
    if record.get("type") == "frame":
        _check_fields(record, _FRAME_FIELDS, where)
    site = record.get("user_code_call_site")
    if site is not None:
        _check_fields(site, _SITE_FIELDS, where + ".user_code_call_site")


# --------------------------------------------------------------------------
# One pass over the records: the summary and the lines to show


class Limits(NamedTuple):
    """What the tree shows: ``depth`` levels (below a match, when filtering),
    ``children`` calls under each call, ``lines`` lines per thread; None
    for no limit."""

    depth: Optional[int] = None
    children: Optional[int] = None
    lines: Optional[int] = None


class _Entry:
    """A call (open until its return), a return without its call, or a
    frame of interest, as the pass keeps it."""

    __slots__ = ("seq", "depth", "parent", "call", "ret", "interest", "exception", "shown", "matched",
                 "under_match", "match_depth", "shown_children", "hidden", "depth_cut", "nodes_at_call",
                 "child_time", "name", "start", "slot", "frame_id", "end_seq", "resumed", "suspended", "operation")

    def __init__(self, seq: int, parent: Optional["_Entry"], call: Any = None, ret: Any = None,
                 interest: Any = None) -> None:
        self.seq = seq
        self.parent = parent
        self.depth = parent.depth + 1 if parent is not None else 0
        self.call, self.ret, self.interest = call, ret, interest
        self.exception: Any = None
        self.resumed = self.suspended = False
        self.shown = self.matched = self.under_match = self.depth_cut = False
        self.match_depth = 0
        self.shown_children = 0
        self.hidden: Optional[Dict[str, int]] = None
        self.nodes_at_call = 0
        self.child_time = 0.0
        record = call or ret or interest or {}
        self.name = _name_of(record)
        self.frame_id = record.get("frame_id")
        start = record.get("timestamp")
        self.start = float(start) if isinstance(start, (int, float)) and call is not None else None
        self.slot: Optional[List[Any]] = None
        self.end_seq = seq
        self.operation: Optional[outside.Operation] = None

    def record(self) -> Dict[str, Any]:
        return self.call or self.ret or self.interest or {}


# What a filter's text is searched in.
_SEARCHED_KEYS = ("qualname", "co_name", "path", "type", "test_name") + outside.SEARCHED_KEYS


def _name_of(record: Dict[str, Any]) -> str:
    if record.get("type") not in (None, "frame"):
        return outside.label(record.get("type")) or str(record.get("type"))
    if record.get("qualname"):
        return str(record["qualname"])
    return str(record.get("co_name") or "?")


class _FunctionStats:
    __slots__ = ("calls", "total", "own", "active")

    def __init__(self) -> None:
        self.calls = 0
        self.total = 0.0
        self.own = 0.0
        self.active = 0


class _Thread:
    """The pass over one thread's records."""

    def __init__(self, name: str, native_id: Any, limits: Limits, needle: Optional[str], style: "_Style",
                 display: outside.Display) -> None:
        self.name = name
        self.native_id = native_id
        self.limits = limits
        self.needle = needle
        self.style = style
        self.open: Dict[Any, _Entry] = {}
        self.display = display
        self.pairing = outside.Pairing(display.totals)  # operations outside the user's code
        self.seq = 0
        self.nodes = 0
        self.calls = 0
        self.shown_lines = 0
        self.cut_lines = 0
        self.root_shown = 0
        self.root_hidden: Dict[str, int] = {}
        self.matches = 0
        self.exceptions = 0
        self.resumptions = 0
        self.slots: List[List[Any]] = []  # [seq, order, text or entry, indent]
        self.stats: Dict[str, _FunctionStats] = {}
        self.slowest: List[Tuple[float, int, Tuple[str, ...]]] = []
        self.deepest: Tuple[int, Tuple[str, ...]] = (-1, ())
        self.pending: Optional[_Entry] = None  # returned; an exception record may follow
        self.from_main = False

    # -- placement

    def _parent_of(self, record: Dict[str, Any]) -> Optional[_Entry]:
        site = record.get("user_code_call_site")
        return self.open.get(site.get("call_frame_id")) if isinstance(site, dict) else None

    def _matches(self, record: Dict[str, Any]) -> bool:
        haystack = " ".join(str(record.get(key, "")) for key in _SEARCHED_KEYS).lower()
        return self.needle in haystack  # type: ignore[operator]

    def _place(self, entry: _Entry) -> None:
        """Decides whether ``entry`` is shown, as far as is known at its start."""
        self.nodes += 1
        entry.nodes_at_call = self.nodes
        parent, limits = entry.parent, self.limits
        if self.needle is not None:
            entry.matched = self._matches(entry.record())
            if parent is not None and (parent.matched or parent.under_match):
                entry.under_match = True
                entry.match_depth = parent.match_depth if parent.under_match else parent.depth
            if entry.matched:
                self.matches += 1
                entry.match_depth = entry.depth
                self._show(entry, forced=True)
                ancestor = parent
                while ancestor is not None and not ancestor.shown:
                    self._show(ancestor, forced=True)
                    ancestor = ancestor.parent
                return
            if not entry.under_match:
                return
            relative = entry.depth - entry.match_depth
        else:
            relative = entry.depth
        if parent is not None and not parent.shown:
            return
        if limits.depth is not None and relative >= limits.depth:
            if parent is not None:
                parent.depth_cut = True
            return
        siblings = parent.shown_children if parent is not None else self.root_shown
        over_count = limits.children is not None and siblings >= limits.children
        over_lines = limits.lines is not None and self.shown_lines >= limits.lines
        if over_count or over_lines:
            if over_lines and not over_count:
                self.cut_lines += 1
                return
            hidden = self.root_hidden if parent is None else parent.hidden
            if hidden is None:
                hidden = parent.hidden = {}  # type: ignore[union-attr]
            hidden[entry.name] = hidden.get(entry.name, 0) + 1
            return
        self._show(entry)

    def _show(self, entry: _Entry, forced: bool = False) -> None:
        entry.shown = True
        self.shown_lines += 1
        if entry.parent is not None:
            entry.parent.shown_children += 1
        else:
            self.root_shown += 1
        entry.slot = [entry.seq, 0, entry, entry.depth]
        self.slots.append(entry.slot)

    # -- records

    def add(self, record: Dict[str, Any]) -> None:
        self.seq += 1
        kind = record.get("type")
        if kind in _SWITCHES:
            self._mark_switch(kind, record.get("frame_id"))
            return
        if kind == "exception":
            target = self.pending
            if target is not None and target.frame_id is not None and target.frame_id == record.get("frame_id"):
                target.exception = record
                self.exceptions += 1
                return
            target = self.open.get(record.get("frame_id")) if record.get("frame_id") is not None else None
            if target is not None:
                target.exception = record
                self.exceptions += 1
                return
        self._settle()
        if kind != "frame":
            self._add_interest(record, kind)
            return
        frame_id = record.get("frame_id")
        if record.get("event") == "call":
            self.calls += 1
            entry = _Entry(self.seq, self._parent_of(record), call=record)
            if frame_id is not None:
                self.open[frame_id] = entry
            stats = self.stats.get(entry.name)
            if stats is None:
                stats = self.stats[entry.name] = _FunctionStats()
            stats.calls += 1
            stats.active += 1
            if entry.depth > self.deepest[0]:
                self.deepest = (entry.depth, self._path(entry))
            self._place(entry)
            return
        entry = self.open.pop(frame_id, None) if frame_id is not None else None
        if entry is None:
            entry = _Entry(self.seq, self._parent_of(record), ret=record)
            self._place(entry)
            self._finish(entry)
            return
        entry.ret = record
        entry.end_seq = self.seq
        end = record.get("timestamp")
        stats = self.stats[entry.name]
        stats.active -= 1
        if entry.start is not None and isinstance(end, (int, float)):
            duration = max(0.0, float(end) - entry.start)
            stats.own += max(0.0, duration - entry.child_time)
            if stats.active == 0:
                stats.total += duration  # recursive calls counted once, at the outermost
            if entry.parent is not None:
                entry.parent.child_time += duration
            if len(self.slowest) < 5 or duration > self.slowest[0][0]:
                heapq.heappush(self.slowest, (duration, entry.seq, self._path(entry)))
                if len(self.slowest) > 5:
                    heapq.heappop(self.slowest)
        self.pending = entry

    def _add_interest(self, record: Dict[str, Any], kind: Any) -> None:
        """A frame of interest. An operation outside the user's code is
        placed at its call record; its line, rendered when shown, reads the
        end record that the pairing adds to it later."""
        parent = self._parent_of(record)
        entry = _Entry(self.seq, parent, interest=record)
        if outside.label(kind) is not None:
            where = (parent.call or {}).get("path") if parent is not None else None
            entry.operation, started = self.pairing.add(record, where)
            if not started:
                return
        self._place(entry)
        self._finish(entry)

    def _mark_switch(self, kind: str, frame_id: Any) -> None:
        """Marks the entry that a suspension record (after its return) or a
        resumption record (after its call) follows. A resumption is not a
        call of its own: the function's calls count its first entry only."""
        if frame_id is None:
            return
        pending = self.pending
        if kind == "suspension" and pending is not None and pending.frame_id == frame_id:
            pending.suspended = True
            return
        entry = self.open.get(frame_id)
        if kind == "resumption" and entry is not None and not entry.resumed:
            entry.resumed = True
            self.calls -= 1
            self.resumptions += 1
            self.stats[entry.name].calls -= 1

    def _settle(self) -> None:
        if self.pending is not None:
            entry, self.pending = self.pending, None
            self._finish(entry)

    def _finish(self, entry: _Entry) -> None:
        """The entry's line is complete: render it, and say what was left out under it."""
        if entry.slot is not None:
            entry.slot[2] = self._line(entry)
        entry.call = entry.ret = entry.interest = entry.exception = None
        if not entry.shown:
            return
        indent = entry.depth + 1
        if entry.depth_cut:
            hidden = self.nodes - entry.nodes_at_call
            self.slots.append([entry.end_seq, 1, self.style.dim + "... %d more below" % hidden + self.style.reset,
                               indent])
        elif entry.hidden:
            self.slots.append([entry.end_seq, 1, self._hidden_text(entry.hidden), indent])

    def _hidden_text(self, hidden: Dict[str, int]) -> str:
        total = sum(hidden.values())
        names = sorted(hidden.items(), key=lambda pair: -pair[1])
        shown = ", ".join("%s x%s" % (printable(name), "{:,}".format(count)) for name, count in names[:4])
        if len(names) > 4:
            shown += ", ..."
        return self.style.dim + "... %s more calls: %s" % ("{:,}".format(total), shown) + self.style.reset

    def _path(self, entry: _Entry) -> Tuple[str, ...]:
        names = []
        node: Optional[_Entry] = entry
        while node is not None:
            names.append(node.name)
            node = node.parent
        return tuple(reversed(names))

    def _line(self, entry: _Entry) -> Any:
        if entry.operation is not None:
            return self.display.line(entry.operation)
        if entry.interest is not None:
            return _interest_line(entry.interest, self.style)
        node = Node(call=entry.call, ret=entry.ret)
        node.resumed, node.suspended = entry.resumed, entry.suspended
        return _frame_line(node, self.style, entry.exception)

    def finish(self) -> None:
        self._settle()
        for entry in sorted(self.open.values(), key=lambda entry: entry.seq):
            if entry.slot is not None:
                entry.slot[2] = self._line(entry)
            if entry.shown and entry.hidden:
                self.slots.append([self.seq + 1, 1, self._hidden_text(entry.hidden), entry.depth + 1])
        self.open.clear()
        self.pairing.finish()
        if self.root_hidden:
            self.slots.append([self.seq + 2, 1, self._hidden_text(self.root_hidden), 0])
        if self.cut_lines:
            self.slots.append([self.seq + 3, 2, self.style.dim + "... %s more lines left out (--lines N, or --all)"
                               % "{:,}".format(self.cut_lines) + self.style.reset, 0])
        self.slots.sort(key=lambda slot: (slot[0], slot[1]))

    def lines(self, fit: Any) -> Iterator[str]:
        """The lines, cut by ``fit``; an operation's fits its own text, whole when full."""
        width, full = self.display.width, self.display.full
        for _, _, text, indent in self.slots:
            if isinstance(text, str):
                yield fit("  " * indent + text)
                continue
            line = "  " * indent + text.render(None if width is None else width - 2 * indent)
            yield line if full else fit(line)


# --------------------------------------------------------------------------
# Text


class _Style:
    def __init__(self, color: bool) -> None:
        if color:
            self.name, self.dim, self.value = "\x1b[1m", "\x1b[2m", "\x1b[32m"
            self.time, self.mark, self.head, self.reset = "\x1b[33m", "\x1b[35m", "\x1b[1;36m", "\x1b[0m"
            self.error = "\x1b[1;31m"
        else:
            self.name = self.dim = self.value = self.time = self.mark = self.head = self.reset = ""
            self.error = ""


def format_duration(seconds: Optional[float]) -> str:
    if seconds is None:
        return ""
    if seconds < 0.9995e-3:  # not "1000 us"
        return "%.0f us" % (seconds * 1e6)
    if seconds < 0.999995:
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


def exception_text(record: Dict[str, Any]) -> str:
    """What an exception record says ended its frame ("an exception" when
    the interpreter did not tell which)."""
    value = record.get("exception")
    if value is None:
        return "an exception"
    if isinstance(value, str):
        return printable(value)
    return format_value(value)


def _frame_line(node: Node, style: _Style, exception: Optional[Dict[str, Any]] = None) -> str:
    record = node.record
    call = node.call
    body = node.is_body()
    if body and record.get("co_name") != "<module>":
        text = "class " + style.name + printable(node.name) + style.reset
    else:
        text = style.name + printable(node.name) + style.reset
    if call is not None and not body:
        text += _format_args(call)
    if node.resumed:
        text += " " + style.mark + "resumed" + style.reset
    path = record.get("path")
    if exception is not None:
        text += " " + style.error + "!! " + exception_text(exception) + style.reset
    elif node.ret is not None and node.suspended:
        text += " <- yield " + style.value + format_value(node.ret.get("arg")) + style.reset
    elif node.ret is not None and not body:
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
    summary: bool = False,
    children: Optional[int] = None,
    lines: Optional[int] = None,
    width: Optional[int] = None,
    progress: Any = None,
    head: Any = True,
    full: bool = False,
) -> Iterator[str]:
    """The lines of :func:`render`. The document (bytes, a dict, or a binary
    file such as :func:`sarn.db.open_trace` gives) is read once, record by
    record; what is kept in memory is what will be shown."""
    style = _Style(color)
    display = outside.Display(style, width, full)
    needle = filter.lower() if filter else None
    threads, header, cut = _read_threads(document, progress, Limits(depth, children, lines), needle, display)
    fit = (lambda line: _fit(line, width)) if width else (lambda line: line)
    if head:
        for line in _head_lines(header, style, first=head != "rest"):
            yield fit(line)
    if cut is not None:
        yield fit(_cut_line(cut, style))
    if not threads:
        yield "(no records)"
        return
    if summary:
        for line in _summary_lines(threads, style, display.totals):
            yield fit(line)
    if needle is not None and not any(thread.matches for thread in threads):
        yield ""
        yield "no call or frame of interest matches %r" % printable(filter)
        return
    for thread in threads:
        if needle is not None and not thread.matches:
            continue
        yield ""
        yield fit(style.head + _thread_title(thread) + style.reset)
        yield from thread.lines(fit)


def _read_threads(document: Any, progress: Any, limits: Limits, needle: Optional[str],
                  display: outside.Display) -> Tuple[List[_Thread], Dict[str, Any], Optional[Dict[str, Any]]]:
    """One pass over the document: its threads (the main list's first), its
    other entries, and the record that says the recording was cut, if any."""
    threads: Dict[Any, _Thread] = {}
    header: Dict[str, Any] = {}
    cut: Optional[Dict[str, Any]] = None
    for kind, fallback, record in iter_document(document, progress):
        if kind == "header":
            header = record
            break
        if kind != "record":
            continue
        if record.get("type") == "trace_cut":
            cut = record
            continue
        key = (record.get("thread_native_id", fallback), record.get("thread"))
        thread = threads.get(key)
        if thread is None:
            name = record.get("thread")
            thread = threads[key] = _Thread(str(name) if name is not None else "thread", key[0], limits, needle,
                                            display.style, display)
            thread.from_main = fallback is MAIN_LIST
        thread.add(record)
    for thread in threads.values():
        thread.finish()
    # The main list's threads first, as the document's readers expect.
    ordered = sorted(threads.values(), key=lambda thread: not thread.from_main)
    for thread in ordered:
        if thread.native_id is MAIN_LIST:
            thread.native_id = header.get("main_thread_id")
    return ordered, header, cut


def _cut_line(cut: Dict[str, Any], style: _Style) -> str:
    limit = cut.get("max_trace_bytes")
    if isinstance(cut.get("reason"), str):
        why = printable(cut["reason"])
    else:
        why = "the trace reached max_trace_bytes (%s bytes)" % ("{:,}".format(limit) if isinstance(limit, int) else "?")
    return style.error + "recording stopped early: %s at %s; what ran later is not in it" % (
        why, _timestamp_text(cut.get("timestamp"))) + style.reset


def _thread_title(thread: _Thread) -> str:
    title = "thread %s (native id %s): %s calls" % (
        printable(thread.name), printable(thread.native_id), "{:,}".format(thread.calls) if thread.calls >= 10000
        else thread.calls)
    if thread.resumptions:
        title += ", %d resumption%s" % (thread.resumptions, "" if thread.resumptions == 1 else "s")
    if thread.exceptions:
        title += ", %d ended by an exception" % thread.exceptions
    return title


def head_line(trace_id: Any, source: Any, started: Any, color: bool = False) -> str:
    """The first line :func:`render` prints: the trace id, source and start."""
    style = _Style(color)
    head = "trace %s" % printable(trace_id if trace_id is not None else "?")
    if source:
        head += "  source %s" % printable(source)
    head += "  started %s" % _timestamp_text(started)
    return style.head + head + style.reset


def _head_lines(document: Dict[str, Any], style: _Style, first: bool = True) -> Iterator[str]:
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


def _path_text(names: Tuple[str, ...]) -> str:
    """A call path, repeats folded (fibonacci x14) and long paths shortened."""
    folded: List[str] = []
    last, count = None, 0
    for name in names + (None,):  # type: ignore[operator]
        if name == last:
            count += 1
            continue
        if last is not None:
            folded.append(printable(last) + (" x%d" % count if count > 1 else ""))
        last, count = name, 1
    if len(folded) > 7:
        folded = folded[:3] + ["..."] + folded[-3:]
    return " > ".join(folded)


#: Functions listed in the summary.
SUMMARY_FUNCTIONS = 12


def _summary_lines(threads: List[_Thread], style: _Style, totals: outside.Totals) -> Iterator[str]:
    merged: Dict[str, _FunctionStats] = {}
    slowest: List[Tuple[float, int, Tuple[str, ...]]] = []
    deepest: Tuple[int, Tuple[str, ...]] = (-1, ())
    calls = exceptions = 0
    for thread in threads:
        calls += thread.calls
        exceptions += thread.exceptions
        for name, stats in thread.stats.items():
            into = merged.get(name)
            if into is None:
                into = merged[name] = _FunctionStats()
            into.calls += stats.calls
            into.total += stats.total
            into.own += stats.own
        slowest.extend(thread.slowest)
        if thread.deepest[0] > deepest[0]:
            deepest = thread.deepest
    yield ""
    head = "summary: %s calls of %d functions in %d thread%s" % (
        "{:,}".format(calls), len(merged), len(threads), "" if len(threads) == 1 else "s")
    if exceptions:
        head += "; %s ended by an exception" % "{:,}".format(exceptions)
    yield style.head + head + style.reset
    for line in totals.lines():
        yield "  " + line
    if not merged:
        return
    yield style.dim + "  %10s %10s %10s  %s" % ("calls", "total", "own", "function") + style.reset
    ranked = sorted(merged.items(), key=lambda pair: (-pair[1].own, -pair[1].calls))
    for name, stats in ranked[:SUMMARY_FUNCTIONS]:
        yield "  %10s %10s %10s  %s" % ("{:,}".format(stats.calls), format_duration(stats.total),
                                          format_duration(stats.own), style.name + printable(name) + style.reset)
    if len(ranked) > SUMMARY_FUNCTIONS:
        yield style.dim + "  ... and %d more functions" % (len(ranked) - SUMMARY_FUNCTIONS) + style.reset
    if slowest:
        yield "slowest calls:"
        for duration, _, path in sorted(slowest, reverse=True)[:5]:
            yield "  %10s  %s" % (format_duration(duration), _path_text(path))
    if deepest[0] >= 0:
        yield "deepest call, %d calls down: %s" % (deepest[0] + 1, _path_text(deepest[1]))


_ANSI = re.compile("\x1b\\[[0-9;]*m")


def _fit(line: str, width: int) -> str:
    """``line`` cut to ``width`` visible characters at a token boundary."""
    if len(line) <= width:
        return line
    plain = _ANSI.sub("", line)
    if len(plain) <= width:
        return line
    return _cut(plain, width)


def render(
    document: Any,
    *,
    depth: Optional[int] = None,
    filter: Optional[str] = None,
    color: bool = False,
    summary: bool = False,
    children: Optional[int] = None,
    lines: Optional[int] = None,
    width: Optional[int] = None,
    full: bool = False,
) -> str:
    """The call trees of a trace document as text, one per thread.

    ``depth`` shows only that many levels of calls (below each match, when
    filtering); ``filter`` shows only the calls whose qualified name or path
    holds the text (case-insensitive), with their callers and the calls they
    make; ``children`` and ``lines`` show at most that many calls under each
    call and lines per thread, saying what was left out; ``summary`` puts the
    calls per function, the slowest calls and the deepest path first, and
    the totals of SQL queries, HTTP calls, log records and template renders;
    ``width`` cuts lines to that many characters (an SQL text or a URL to
    what is left of it, unless ``full``); ``color`` adds terminal colours.
    """
    return "\n".join(render_lines(document, depth=depth, filter=filter, color=color, summary=summary,
                                   children=children, lines=lines, width=width, full=full)) + "\n"


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
    out = io.StringIO()
    write_json(document, out, indent=indent)
    return out.getvalue()


def write_json(document: Any, out: Any, indent: Optional[int] = None, progress: Any = None) -> None:
    """Writes the document as JSON to the text file ``out``, record by
    record: the records are written as they are read, the other entries
    (which come after them in a document) at the end."""
    newline = "\n" if indent else ""
    separator = "," + newline if indent else ", "

    def pad(level: int) -> str:
        return " " * (indent * level) if indent else ""

    def dump(value: Any, level: int) -> str:
        text = json.dumps(jsonable(value), indent=indent, ensure_ascii=False)
        return text.replace("\n", "\n" + pad(level)) if indent else text

    state = {"keys": 0, "threads": False, "threads_items": 0, "list": None, "items": 0}

    def key(name: str) -> None:
        out.write((separator if state["keys"] else "") + pad(1) + json.dumps(name, ensure_ascii=False) + ": ")
        state["keys"] += 1

    def close_list() -> None:
        if state["list"] is not None:
            level = 1 if state["list"] is MAIN_LIST else 2
            out.write((newline + pad(level) if state["items"] else "") + "]")
            state["list"] = None

    def close_threads() -> None:
        close_list()
        if state["threads"]:
            out.write((newline + pad(1) if state["threads_items"] else "") + "}")
            state["threads"] = False

    out.write("{" + newline)
    for kind, fallback, value in iter_document(document, progress):
        if kind == "record":
            level = 2 if state["list"] is MAIN_LIST else 3
            out.write((separator if state["items"] else "") + pad(level) + dump(value, level))
            state["items"] += 1
        elif kind == "threads":
            close_threads()
            key("frames")
            out.write("{" + newline)
            state["threads"], state["threads_items"] = True, 0
        elif kind == "list":
            close_list()
            if fallback is MAIN_LIST:
                close_threads()
                key("frames_of_interest")
            else:
                out.write((separator if state["threads_items"] else "") + pad(2)
                          + json.dumps(_json_key(fallback), ensure_ascii=False) + ": ")
                state["threads_items"] += 1
            out.write("[" + newline)
            state["list"], state["items"] = fallback, 0
        else:
            close_threads()
            for name, item in value.items():
                key(_json_key(name))
                out.write(dump(item, 1))
    out.write(newline + "}")
