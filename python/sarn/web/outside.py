"""What a request or a test did outside the user's code: SQL queries, HTTP
calls, log records and template renders, as the views of a trace show them.

Plugins record each such operation as frames of interest (see
:mod:`sarn.plugins`): a call record ("sql_query", "http_request",
"template_render", "log_record") and, except for a log record, an end record
("sql_query_end", "http_request_end", "template_render_end") of the same
"frame_id", whose "timestamp" less the call's is the operation's duration.
Both carry the "user_code_call_site" of the user call that issued it.

This module pairs those records (:class:`Pairing`, :class:`Operation`),
sums them up for the summary (:class:`Totals`: counts, time, failures, log
levels, and the same SQL run again and again from one line, the N+1 pattern)
and writes their lines in the tree (:class:`Display`, :class:`Line`). Every
reader of stored documents (``sarn show``, ``sarn view``, the Trace Event
export) pairs them here.
"""

from __future__ import annotations

import re
from typing import Any, Dict, Iterator, List, Optional, Tuple

from sarn.web import values

__all__ = ["CALLS", "ENDS", "SEARCHED_KEYS", "STANDARD_KEYS", "Operation", "Pairing", "Totals", "Display", "Line",
           "label", "parts", "cut", "title"]

#: The call record types: their label in the tree, and their end record type
#: (None: the operation is the one record).
CALLS: Dict[str, Tuple[str, Optional[str]]] = {
    "sql_query": ("SQL", "sql_query_end"),
    "http_request": ("HTTP", "http_request_end"),
    "template_render": ("TEMPLATE", "template_render_end"),
    "log_record": ("LOG", None),
}
#: End record type -> call record type.
ENDS = {end: call for call, (_, end) in CALLS.items() if end is not None}
#: Keys the recorder adds to every plugin record; the others are the plugin's own.
STANDARD_KEYS = frozenset(["frame_id", "timestamp", "thread", "thread_native_id", "user_code_call_site", "type",
                           "subtype"])
#: Keys whose text a filter searches, besides those of frame records.
SEARCHED_KEYS = ("sql", "method", "url", "logger", "level", "message", "template")

#: Characters shown of an SQL text, URL, message or template name when the
#: terminal's width is not known.
TEXT_WIDTH = 160
#: Fewest characters left to that text when a line is cut to the terminal.
MIN_TEXT_WIDTH = 20
#: Lines named in the summary for repeated queries.
SIMILAR_SHOWN = 3

_LINE_SUFFIX = re.compile(r":\d+$")


def label(kind: Any) -> Optional[str]:
    """The tree's label of a call or end record type (None for other types)."""
    call = ENDS.get(kind, kind)
    return CALLS[call][0] if call in CALLS else None


def _number(value: Any) -> Optional[float]:
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        return float(value)
    return None


def _integer(value: Any) -> Optional[int]:
    return value if isinstance(value, int) and not isinstance(value, bool) else None


def _one_line(text: Any) -> str:
    """``text`` with every run of white space (new lines included) made one space."""
    return " ".join(str(text).split())


class Operation:
    """One operation: its call record, its end record (either may be
    missing: recording started or stopped in the middle of it) and the file
    of the user call that issued it (None when unknown)."""

    __slots__ = ("call", "end", "where")

    def __init__(self, call: Optional[Dict[str, Any]], end: Optional[Dict[str, Any]] = None,
                 where: Any = None) -> None:
        self.call = call
        self.end = end
        self.where = _LINE_SUFFIX.sub("", where) if isinstance(where, str) else None

    @property
    def kind(self) -> str:
        if self.call is not None:
            return str(self.call.get("type"))
        return ENDS.get(str((self.end or {}).get("type")), "?")

    def get(self, key: str) -> Any:
        """A key of the call record, else of the end record."""
        for record in (self.call, self.end):
            if record is not None and key in record:
                return record[key]
        return None

    def category(self) -> str:
        """"sql", "http", "template" or "log"."""
        return CALLS[self.kind][0].lower() if self.kind in CALLS else "?"

    def data(self) -> Dict[str, Any]:
        """The plugin's own keys of the call record, then of the end record."""
        data: Dict[str, Any] = {}
        for record in (self.call, self.end):
            for key, value in (record or {}).items():
                if key not in STANDARD_KEYS:
                    data[key] = value
        return data

    def has_end(self) -> bool:
        return CALLS.get(self.kind, ("", None))[1] is not None

    def duration(self) -> Optional[float]:
        if self.call is None or self.end is None:
            return None
        start, end = _number(self.call.get("timestamp")), _number(self.end.get("timestamp"))
        return None if start is None or end is None else max(0.0, end - start)

    def error(self) -> Optional[str]:
        """The exception that ended it, as text ("Type: message"), or None."""
        error = (self.end or {}).get("error")
        return None if error is None else _one_line(error)

    def line_number(self) -> Optional[int]:
        site = (self.call or self.end or {}).get("user_code_call_site")
        return _integer(site.get("line_number")) if isinstance(site, dict) else None

    def site(self, whole_path: bool = False) -> str:
        """The user line that issued it: "views.py:22" (the file's path with
        ``whole_path``), "line 22" when the file is unknown, "" when neither is."""
        line = self.line_number()
        if line is None:
            return ""
        if self.where is None:
            return "line %d" % line
        where = self.where if whole_path else re.split(r"[\\/]", self.where)[-1]
        return "%s:%d" % (where, line)

    def similar_key(self) -> Optional[Tuple[Any, ...]]:
        """What a repeated query shares: its SQL text and the user line
        (file and line number) that issued it; None for other operations and
        for queries of no known user line."""
        sql = self.get("sql")
        if self.kind != "sql_query" or not isinstance(sql, str) or self.line_number() is None:
            return None
        return (self.where, self.line_number(), _one_line(sql))


class _Count:
    __slots__ = ("count", "time", "failed")

    def __init__(self) -> None:
        self.count = 0
        self.time = 0.0
        self.failed = 0


#: What one and many operations of a kind are called.
WORDS = {"sql_query": ("SQL query", "SQL queries"), "http_request": ("HTTP call", "HTTP calls"),
         "template_render": ("template render", "template renders"), "log_record": ("log record", "log records")}


class Totals:
    """The operations of a whole trace summed up as they are added."""

    def __init__(self) -> None:
        self.kinds: Dict[str, _Count] = {}
        self.similar: Dict[Tuple[Any, ...], int] = {}
        self.similar_site: Dict[Tuple[Any, ...], str] = {}
        self.levels: Dict[str, int] = {}
        self.level_numbers: Dict[str, int] = {}

    def add(self, operation: Operation) -> None:
        kind = operation.kind
        count = self.kinds.get(kind)
        if count is None:
            count = self.kinds[kind] = _Count()
        count.count += 1
        count.time += operation.duration() or 0.0
        if operation.error() is not None:
            count.failed += 1
        key = operation.similar_key()
        if key is not None:
            self.similar[key] = self.similar.get(key, 0) + 1
            self.similar_site.setdefault(key, operation.site(whole_path=True))
        if kind == "log_record":
            level = str(operation.get("level") or "?")
            self.levels[level] = self.levels.get(level, 0) + 1
            number = _integer(operation.get("levelno"))
            if number is not None:
                self.level_numbers[level] = number

    def similar_count(self, operation: Operation) -> int:
        """How many queries of the trace share the operation's SQL text and user line."""
        key = operation.similar_key()
        return self.similar.get(key, 0) if key is not None else 0

    def lines(self) -> Iterator[str]:
        """The summary's lines: one per kind of operation recorded."""
        for kind, (one, many) in WORDS.items():
            count = self.kinds.get(kind)
            if count is None or kind == "log_record":  # told by level below
                continue
            text = "%d %s in %s" % (count.count, one if count.count == 1 else many, values.format_duration(count.time))
            if count.failed:
                text += ", %d failed" % count.failed
            if kind == "sql_query":
                repeated = sorted(((seen, key) for key, seen in self.similar.items() if seen > 1),
                                  key=lambda pair: (-pair[0], self.similar_site[pair[1]]))
                for seen, key in repeated[:SIMILAR_SHOWN]:
                    text += "; %d similar at %s" % (seen, values.printable(self.similar_site[key]))
                if len(repeated) > SIMILAR_SHOWN:
                    text += "; ..."
            yield text
        if self.levels:
            ordered = sorted(self.levels.items(), key=lambda pair: (self.level_numbers.get(pair[0], 0), pair[0]))
            yield "log records: " + ", ".join("%d %s" % (count, values.printable(level)) for level, count in ordered)


class Pairing:
    """Pairs the call and end records of one thread's operations as the
    records come, in recorded order, and adds each operation to ``totals``
    once it is complete (or, at :meth:`finish`, when its end never came)."""

    def __init__(self, totals: Totals) -> None:
        self.totals = totals
        self.open: Dict[Any, Operation] = {}  # by frame id: calls whose end record may come

    def add(self, record: Dict[str, Any], where: Any = None) -> Tuple[Operation, bool]:
        """The operation of a call or end record (``where``: the file of the
        user call that issued it), and whether the record starts it (False:
        it ends one already started, which it is now added to)."""
        kind = record.get("type")
        frame_id = record.get("frame_id")
        if kind in ENDS and frame_id is not None:
            operation = self.open.pop(frame_id, None)
            if operation is not None:
                operation.end = record
                self.totals.add(operation)
                return operation, False
        operation = Operation(None, record, where) if kind in ENDS else Operation(record, None, where)
        if operation.end is None and operation.has_end() and frame_id is not None:
            self.open[frame_id] = operation
        else:
            self.totals.add(operation)
        return operation, True

    def finish(self) -> List[Operation]:
        """The operations whose end was not recorded (now added to the totals)."""
        unended = list(self.open.values())
        self.open.clear()
        for operation in unended:
            self.totals.add(operation)
        return unended


def cut(text: str, limit: int) -> str:
    """``text`` in at most ``limit`` characters, ending in "..." when cut,
    at a space when one is near the end (SQL and URLs have long tokens)."""
    if len(text) <= limit:
        return text
    head = text[:max(0, limit - 3)]
    space = head.rfind(" ")
    if space > len(head) * 3 // 4:
        head = head[:space]
    return head.rstrip() + "..."


def _size_text(size: int) -> str:
    if size < 1000:
        return "%d B" % size
    for unit, scale in (("KB", 1e3), ("MB", 1e6)):
        if size < scale * 1000:
            return "%.1f %s" % (size / scale, unit)
    return "%.1f GB" % (size / 1e9)


# A part of a line: its colour and its text.
_Part = Tuple[str, str]


class Line:
    """The tree's line of one operation, written once the width it may
    take and the trace's totals are known: its main text (the SQL, the URL,
    the message, the template) is cut to what the rest of the line leaves."""

    __slots__ = ("display", "operation")

    def __init__(self, display: "Display", operation: Operation) -> None:
        self.display = display
        self.operation = operation

    def render(self, room: Optional[int]) -> str:
        """The line, in about ``room`` characters (None: the width is not known)."""
        display, operation = self.display, self.operation
        style = display.style
        lead, main, before, after = parts(operation, style)
        shown = list(before)
        error = operation.error()
        if error is not None:
            shown.append((style.error, "!! " + error))
        shown.append((style.time, values.format_duration(operation.duration())))
        shown.extend(after)
        if operation.call is None:
            shown.insert(0, (style.dim, "[began before recording]"))
        elif operation.end is None and operation.has_end():
            shown.append((style.dim, "[no end recorded]"))
        shown.append((style.dim, operation.site()))
        similar = display.totals.similar_count(operation)
        if similar > 1:
            shown.append((style.error, "(similar x%d)" % similar))
        shown = [(colour, values.printable(text)) for colour, text in shown if text]
        main = values.printable(main)
        label = CALLS[operation.kind][0].ljust(4)
        if not display.full:
            limit = TEXT_WIDTH
            if room is not None:
                used = len(label) + 1 + len(lead[1]) + 1 + sum(len(text) + 2 for _, text in shown)
                limit = min(limit, max(MIN_TEXT_WIDTH, room - used))
            main = cut(main, limit)
        text = _coloured(style.mark, label.rstrip(), style) + label[len(label.rstrip()):]
        if lead[1]:
            text += " " + _coloured(lead[0], values.printable(lead[1]), style)
        if main:
            text += " " + main
        for colour, part in shown:
            # A status follows its URL as a return value follows its call.
            separator = " " if part.startswith("-> ") or text.endswith(" ") else "  "
            text += separator + _coloured(colour, part, style)
        return text


def _coloured(colour: str, text: str, style: Any) -> str:
    return colour + text + style.reset if colour else text


def _sql_parts(operation: Operation, style: Any) -> Tuple[_Part, str, List[_Part], List[_Part]]:
    before: List[_Part] = []
    if operation.call is not None and operation.call.get("params") not in (None, [], {}):
        before.append((style.value, values.format_value(operation.call["params"])))
    many = _integer(operation.get("many"))
    if many is not None:
        before.append((style.value, "%d parameter set%s" % (many, "" if many == 1 else "s")))
    after: List[_Part] = []
    rows = _integer((operation.end or {}).get("rowcount"))
    if rows is not None and rows >= 0:
        after.append(("", "%d row%s" % (rows, "" if rows == 1 else "s")))
    return ("", ""), _one_line(operation.get("sql") or ""), before, after


def _http_parts(operation: Operation, style: Any) -> Tuple[_Part, str, List[_Part], List[_Part]]:
    before: List[_Part] = []
    status = _integer((operation.end or {}).get("status"))
    if status is not None:
        before.append((style.error if status >= 400 else style.value, "-> %d" % status))
    after: List[_Part] = []
    size = _integer((operation.end or {}).get("response_size"))
    if size is not None and size >= 0:
        after.append(("", _size_text(size)))
    method = operation.get("method")
    return ("", str(method) if method else ""), str(operation.get("url") or "?"), before, after


def _log_parts(operation: Operation, style: Any) -> Tuple[_Part, str, List[_Part], List[_Part]]:
    number = _integer(operation.get("levelno")) or 0
    colour = style.error if number >= 40 else style.time if number >= 30 else ""
    before: List[_Part] = []
    exception = operation.get("exception")
    if isinstance(exception, str) and exception.strip():
        # A formatted traceback ends with the exception's type and message.
        before.append((style.error, "!! " + _one_line(exception.strip().splitlines()[-1])))
    message = "%s: %s" % (operation.get("logger"), _one_line(operation.get("message") or ""))
    return (colour, str(operation.get("level") or "?")), message, before, []


def _template_parts(operation: Operation, style: Any) -> Tuple[_Part, str, List[_Part], List[_Part]]:
    engine = operation.get("engine")
    main = str(operation.get("template") or "?") + (" (%s)" % engine if engine else "")
    return ("", ""), main, [], []


_PARTS = {"sql_query": _sql_parts, "http_request": _http_parts, "log_record": _log_parts,
          "template_render": _template_parts}


def parts(operation: Operation, style: Any) -> Tuple[_Part, str, List[_Part], List[_Part]]:
    """What a line of the operation shows besides its duration, error and
    user line: its lead (HTTP method, log level), its main text (SQL, URL,
    message, template), and the parts before and after its duration, each
    part with its colour taken from ``style`` (``error``, ``value``,
    ``time``, ``dim``: terminal codes, or a page's class names)."""
    return _PARTS[operation.kind](operation, style)


class _Plain:
    error = value = time = dim = mark = reset = ""


def title(operation: Operation, limit: int = TEXT_WIDTH) -> str:
    """The operation in one line of at most ``limit`` characters: the SQL
    text, "GET https://...", "WARNING shop.views: stock low", the template."""
    lead, main, _, _ = parts(operation, _Plain)
    return cut(("%s %s" % (lead[1], main)) if lead[1] else main, limit)


class Display:
    """What the tree's lines of operations share in one rendering: the
    style, the terminal's width (None when unknown), whether texts are shown
    whole (``full``), and the trace's totals."""

    def __init__(self, style: Any, width: Optional[int] = None, full: bool = False) -> None:
        self.style = style
        self.width = width
        self.full = full
        self.totals = Totals()

    def line(self, operation: Operation) -> Line:
        return Line(self, operation)
