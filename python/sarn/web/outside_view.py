"""SQL queries, HTTP calls, log records and template renders as the trace
page shows them: each one's line in the tree, its full details, and the
trace's panel that lists them by kind. The records are paired and summed up
by :mod:`sarn.web.outside`, as for ``sarn show``.
"""

from __future__ import annotations

from typing import Any, Callable, Dict, List, Optional, Tuple

from sarn.serialize import TAG
from sarn.web import outside
from sarn.web.values import format_value

__all__ = ["line", "details", "panel", "DETAIL_WIDTH", "TEXT_WIDTH"]

#: Characters of an SQL text, URL or message on its line in the tree.
TEXT_WIDTH = 300
#: Characters shown of one value in the details of an operation.
DETAIL_WIDTH = 4000

#: Keys shown first in the details, in this order; the others follow as recorded.
_FIRST_KEYS = ("sql", "params", "many", "rowcount", "method", "url", "status", "error", "level", "logger", "message",
               "exception", "template")

_Offset = Callable[[Optional[Dict[str, Any]]], Optional[float]]


class _Classes:
    """The colours of :func:`sarn.web.outside.parts` as the page's class names."""

    error = "error"
    value = "value"
    time = "time"
    dim = "dim"
    mark = "mark"
    reset = ""


def line(operation: outside.Operation, totals: outside.Totals, offset: _Offset) -> Dict[str, Any]:
    """The node of the operation in the page's tree: "k" its kind ("sql",
    "http", "log", "template"), "n" its label, "a" its main text, "l" its
    lead ([class, text]: an HTTP method, a log level), "q" its other parts
    ([[class, text], ...]), "t" the error that ended it, "s" and "e" its
    start and end, "p" the user line that issued it, "m" how many queries
    share its SQL and user line when more than one."""
    lead, main, before, after = outside.parts(operation, _Classes)
    node: Dict[str, Any] = {"k": operation.category(), "n": outside.label(operation.kind),
                            "a": outside.cut(main, TEXT_WIDTH), "p": operation.site(whole_path=True)}
    if lead[1]:
        node["l"] = list(lead)
    extra = [list(part) for part in before + after if part[1]]
    if extra:
        node["q"] = extra
    error = operation.error()
    if error is not None:
        node["t"] = error
    node["s"] = offset(operation.call)
    if operation.has_end():
        node["e"] = offset(operation.end)
    if operation.call is None:
        node["x"] = "began before recording"
    elif operation.end is None and operation.has_end():
        node["x"] = "no end recorded"
    similar = totals.similar_count(operation)
    if similar > 1:
        node["m"] = similar
    return node


def _text(value: Any) -> str:
    """A value of a record in full: a text as it is, headers one a line."""
    if isinstance(value, str):
        return value
    if isinstance(value, dict) and value and TAG not in value and all(
            isinstance(item, str) for item in value.values()):
        return "\n".join("%s: %s" % (name, item) for name, item in value.items())
    return format_value(value, DETAIL_WIDTH)


def details(operation: outside.Operation, totals: outside.Totals) -> Dict[str, Any]:
    """The operation in full: its label, its user line, its duration, and
    each key its records hold ([[name, text], ...]): the whole SQL text and
    its parameters, the headers, the exception."""
    recorded = operation.data()
    keys = [key for key in _FIRST_KEYS if key in recorded] + [key for key in recorded if key not in _FIRST_KEYS]
    data = [[str(key), _text(recorded[key])] for key in keys if recorded[key] is not None]
    similar = totals.similar_count(operation)
    return {
        "label": outside.label(operation.kind),
        "title": outside.WORDS.get(operation.kind, ("?",))[0],
        "site": operation.site(whole_path=True),
        "duration": operation.duration(),
        "similar": similar if similar > 1 else None,
        "data": data,
    }


def panel(operations: List[Tuple[int, outside.Operation]], totals: outside.Totals) -> Dict[str, Any]:
    """The trace's panel: the summary's lines, the node numbers of each kind
    of operation in time order, and the queries run more than once from one
    user line (groups of node numbers, the largest first)."""
    ordered = sorted(operations, key=lambda pair: (_start(pair[1]), pair[0]))
    kinds: Dict[str, List[int]] = {}
    groups: Dict[Tuple[Any, ...], List[int]] = {}
    for number, operation in ordered:
        kinds.setdefault(operation.category(), []).append(number)
        key = operation.similar_key()
        if key is not None:
            groups.setdefault(key, []).append(number)
    similar = sorted((group for group in groups.values() if len(group) > 1), key=lambda group: -len(group))
    return {"summary": list(totals.lines()), "kinds": kinds, "similar": similar}


def _start(operation: outside.Operation) -> float:
    for record in (operation.call, operation.end):
        stamp = (record or {}).get("timestamp")
        if isinstance(stamp, (int, float)) and not isinstance(stamp, bool):
            return float(stamp)
    return 0.0
