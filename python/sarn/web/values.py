"""Recorded values as short Python-like texts, safe to show on a terminal.

Values ("arg", "locals" and plugin data) come in the shape that
:mod:`sarn.serialize` writes: plain MessagePack values, or tagged maps (the
key ``"__sarn__"``) for objects, cut strings and containers, and cycles.
Every reader of stored traces formats values here: ``sarn show``, the trace
page of ``sarn view`` and the Trace Event export.
"""

from __future__ import annotations

import re
from typing import Any, Dict, Iterable, List, Optional, Tuple

from sarn.serialize import TAG

__all__ = ["VALUE_WIDTH", "ARGS_WIDTH", "printable", "format_value", "format_args", "format_duration",
           "exception_text", "is_normal_exit", "cut"]

#: Characters shown of one argument or return value.
VALUE_WIDTH = 60
#: Characters shown of a call's whole argument list.
ARGS_WIDTH = 120
# The room of a value shown whole: more than any recorded value takes (the
# serialiser bounds strings, items and nesting).
_WHOLE = 1 << 62

# Reprs that say nothing but the type: object's own, and the serialiser's
# text for a repr that failed (as for ``self`` before ``__init__`` has run).
_DEFAULT_REPR = re.compile(r"^<(?:[\w.]+\.)?(\w+) object(?: at 0x[0-9a-fA-F]+|; repr\(\) failed: \w+)>$")
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
    """An object as its type called with its attributes: Item(name='tea',
    price=3.5). Private attributes come last, so that a cut line keeps the
    ones the program's own code names (a model's fields before its _state)."""
    attrs = sorted(value["attrs"].items(), key=lambda pair: str(pair[0]).startswith("_"))
    items, more = _fmt_items(attrs, limit, lambda pair, room: "%s=%s" % (pair[0], _fmt(pair[1], room)))
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
        if attrs and isinstance(attrs, dict):
            # A library's repr of the program's object (a model's
            # "<Category: Category object (1)>"): what it holds says more.
            return _with_attrs(_short_type(type_name), value, limit)
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


def format_value(value: Any, limit: Optional[int] = VALUE_WIDTH) -> str:
    """A short Python-like text for a serialised value, at most about ``limit``
    characters (longer texts end in "..."); the whole value for None."""
    try:
        text = _fmt(value, _WHOLE if limit is None else limit)
    except Exception:
        text = repr(value)
    return printable(text if limit is None else cut(text, limit))


_TOKEN = re.compile(r"[\w.@-]")
_BREAKS = " ,([{=:"


def cut(text: str, limit: int) -> str:
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


def format_duration(seconds: Optional[float]) -> str:
    """"12 us", "3.40 ms", "1.250 s"; "" for None."""
    if seconds is None:
        return ""
    if seconds < 0.9995e-3:  # not "1000 us"
        return "%.0f us" % (seconds * 1e6)
    if seconds < 0.999995:
        return "%.2f ms" % (seconds * 1e3)
    return "%.3f s" % seconds


def format_args(record: Dict[str, Any]) -> str:
    """A call's arguments (its locals at the call) as "(name=value, ...)"."""
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


# What a normal end of the program raises: sys.exit() with 0, None or False,
# which the interpreter turns into exit status 0.
_NORMAL_EXIT = re.compile(r"^SystemExit\((?:0|None|False)?\)$")


def is_normal_exit(record: Dict[str, Any]) -> bool:
    """True when the exception record says its frame ended by a SystemExit
    of status 0: a program's normal end, not a failure."""
    value = record.get("exception")
    if isinstance(value, dict):
        if value.get(TAG) != "object" or value.get("type") not in ("SystemExit", "builtins.SystemExit"):
            return False
        value = value.get("repr")
    return isinstance(value, str) and _NORMAL_EXIT.match(value) is not None


def exception_text(record: Dict[str, Any], limit: Optional[int] = VALUE_WIDTH) -> str:
    """What an exception record says ended its frame ("an exception" when
    the interpreter did not tell which), in about ``limit`` characters (None:
    whole)."""
    value = record.get("exception")
    if value is None:
        return "an exception"
    if isinstance(value, str):
        return printable(value if limit is None else cut(value, limit))
    return format_value(value, limit)
