"""Two aligned runs as a compact tree of the paths to their differences,
or as JSON for tools.

The text reads like ``diff``: lines of A start with "-" (red on a
terminal), lines of B with "+" (green), a call that differs between the two
with "!"; around each difference ``context`` sibling calls are shown, and
the equal calls between are counted, not shown.
"""

from __future__ import annotations

from typing import Any, Dict, Iterator, List, Optional, Tuple

from sarn.web.values import ARGS_WIDTH, cut, printable

from .align import Change, Pair
from .calls import Call

__all__ = ["differences", "first_difference", "text_lines", "json_report", "shown_pairs", "call_text", "args_text",
           "change_text"]

#: Characters of a context call's arguments.
CONTEXT_WIDTH = 60

_RED, _GREEN, _BOLD, _DIM, _RESET = "\x1b[31m", "\x1b[32m", "\x1b[1m", "\x1b[2m", "\x1b[0m"
_MARK_COLOR = {"-": _RED, "+": _GREEN, "!": _BOLD, " ": ""}

Threads = List[Tuple[str, List[Pair]]]


# Changes seen when a call starts (its line and arguments); the others are
# seen when it ends, after the calls it made.
_AT_CALL = ("site", "argument")


def _entry(thread: str, path: Tuple[str, ...], pair: Pair, change: Optional[Change]) -> Dict[str, Any]:
    call = pair.call
    entry: Dict[str, Any] = {"thread": thread, "path": list(path), "name": call.name,
                             "site": {"a": pair.a.site if pair.a else None, "b": pair.b.site if pair.b else None}}
    if change is None:
        entry.update(kind="only_a" if pair.b is None else "only_b", calls=call.size(),
                     a=call_text(pair.a) if pair.a else None, b=call_text(pair.b) if pair.b else None)
    else:
        entry.update(kind=change.kind, field=change.field, a=change.a, b=change.b)
    return entry


def _thread_differences(thread: str, pairs: List[Pair]) -> Iterator[Dict[str, Any]]:
    """A thread's differences in the order the runs met them: a call's
    arguments, then the calls it made, then how it ended."""
    stack: List[Tuple[Tuple[str, ...], Pair, bool]] = [((), pair, False) for pair in reversed(pairs) if pair.differs]
    while stack:
        path, pair, ended = stack.pop()
        if ended:
            yield from (_entry(thread, path, pair, change) for change in pair.changes if change.kind not in _AT_CALL)
            continue
        if pair.a is None or pair.b is None:
            yield _entry(thread, path, pair, None)
            continue
        yield from (_entry(thread, path, pair, change) for change in pair.changes if change.kind in _AT_CALL)
        stack.append((path, pair, True))
        inner = path + (pair.call.name,)
        stack.extend((inner, child, False) for child in reversed(pair.children) if child.differs)


def differences(threads: Threads) -> Iterator[Dict[str, Any]]:
    """Every difference in the order the runs met them, as a JSON-ready map:
    "kind" ("only_a", "only_b", "site", "argument", "result", "exception",
    "local", "time"), "thread", "path" (the callers' names), "name", "site",
    and "a" and "b" (the texts of each side; "field" the argument or local
    name; "calls" the calls of a one-sided subtree)."""
    for name, pairs in threads:
        yield from _thread_differences(name, pairs)


def first_difference(threads: Threads) -> Optional[Dict[str, Any]]:
    return next(differences(threads), None)


def json_report(threads: Threads, a: Dict[str, Any], b: Dict[str, Any]) -> Dict[str, Any]:
    """{"a": facts of A, "b": facts of B, "equal": bool, "first": the first
    difference or null, "differences": [...]}."""
    found = list(differences(threads))
    return {"a": a, "b": b, "equal": not found, "first": found[0] if found else None, "differences": found}


# --------------------------------------------------------------------------
# Text


def args_text(call: Call, width: int = ARGS_WIDTH) -> str:
    if any(name == "__name__" for name, _, _ in call.args) or call.name.endswith("<module>"):
        return "()"  # a module body's "arguments" are its namespace: nothing to read there
    return cut("(" + ", ".join("%s=%s" % (printable(name), text) for name, _, text in call.args) + ")", width)


def call_text(call: Call) -> str:
    text = printable(call.name) + args_text(call)
    if call.raised is not None:
        return text + " raised " + call.raised[1]
    return text + (" -> " + call.result[1] if call.result is not None else "")


def change_text(change: Change, side: str) -> str:
    text = change.a if side == "-" else change.b
    if change.kind == "site":
        return "called from " + printable(text)
    if change.kind in ("argument", "local"):
        name = printable(change.field)
        suffix = " (at return)" if change.kind == "local" else ""
        return ("%s=%s%s" % (name, text, suffix)) if text else "%s absent%s" % (name, suffix)
    if change.kind == "result":
        return "-> " + (("%s=%s" % (printable(change.field), text)) if change.field else text)
    if change.kind == "time":
        return "took " + text
    return text or "(no return recorded)"


def _say_first(first: Dict[str, Any]) -> List[str]:
    where = " > ".join(printable(name) for name in first["path"] + [first["name"]])
    site = first["site"]["a"] or first["site"]["b"]
    lines = ["first difference: %s%s" % (where, "  (%s)" % printable(site) if site else "")]
    if first["kind"] in ("only_a", "only_b"):
        lines.append("  only in %s: %s" % ("A" if first["kind"] == "only_a" else "B", first["a"] or first["b"]))
    else:
        field = printable(first["field"]) if first["field"] else ""
        label = field if first["kind"] == "result" and field else first["kind"] + (" " + field if field else "")
        lines.append("  %s: %s  vs  %s" % (label, first["a"] or "(absent)", first["b"] or "(absent)"))
    return lines


def shown_pairs(pairs: List[Pair], context: int) -> Iterator[Tuple[int, Optional[Pair]]]:
    """The sibling pairs to show: those that differ and ``context`` on each
    side, each with the number of equal pairs left out before it; last
    (count, None) for those left out at the end."""
    shown = set()
    for index, pair in enumerate(pairs):
        if pair.differs:
            shown.update(range(max(0, index - context), min(len(pairs), index + context + 1)))
    hidden = 0
    for index, pair in enumerate(pairs):
        if index not in shown:
            hidden += 1
            continue
        yield hidden, pair
        hidden = 0
    if hidden and shown:
        yield hidden, None


class _Lines:
    def __init__(self, context: int, color: bool) -> None:
        self.context = context
        self.color = color
        self.out: List[str] = []

    def add(self, mark: str, depth: int, text: str, site: Optional[str] = None) -> None:
        line = "%s %s%s" % (mark, "  " * depth, text) + ("  " + printable(site) if site else "")
        color = _MARK_COLOR[mark] if mark != " " or not text.startswith("...") else _DIM
        self.out.append(color + line + _RESET if self.color and color else line)

    def siblings(self, pairs: List[Pair], depth: int) -> None:
        for hidden, pair in shown_pairs(pairs, self.context):
            if hidden:
                self.add(" ", depth, "... %d equal call%s" % (hidden, "s" * (hidden != 1)))
            if pair is not None:
                self.pair(pair, depth)

    def pair(self, pair: Pair, depth: int) -> None:
        if pair.a is None or pair.b is None:
            call, mark = (pair.a, "-") if pair.b is None else (pair.b, "+")
            under = call.size() - 1
            self.add(mark, depth, call_text(call) + ("  (+%d calls under it)" % under if under else ""), call.site)
            return
        # A call that differs shows its name, the changes say the rest; context shows its arguments.
        args = "()" if pair.changes else args_text(pair.a, CONTEXT_WIDTH)
        self.add("!" if pair.changes else " ", depth, printable(pair.a.name) + args, pair.a.site)
        for change in pair.changes:
            self.add("-", depth + 2, change_text(change, "-"))
            self.add("+", depth + 2, change_text(change, "+"))
        if pair.differs:
            self.siblings(pair.children, depth + 1)


def _describe(side: str, facts: Dict[str, Any]) -> str:
    parts = [facts.get("id") or "?", facts.get("source") or "", facts.get("label") or ""]
    return "%s %s" % (side, "  ".join(printable(part) for part in parts if part))


def text_lines(threads: Threads, a: Dict[str, Any], b: Dict[str, Any], context: int = 2,
               color: bool = False) -> List[str]:
    """The report as lines: the two traces, the first difference, then per
    thread the tree of the paths to every difference."""
    lines = _Lines(context, color)
    for mark, side, facts in (("-", "---", a), ("+", "+++", b)):
        text = _describe(side, facts)
        lines.out.append(_MARK_COLOR[mark] + text + _RESET if color else text)
    first = first_difference(threads)
    if first is None:
        lines.out.append("no differences")
        return lines.out
    lines.out.extend(_say_first(first))
    for name, pairs in threads:
        if any(pair.differs for pair in pairs):
            lines.out.append("")
            lines.out.append("thread " + printable(name))
            lines.siblings(pairs, 0)
    return lines.out
