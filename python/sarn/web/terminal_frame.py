"""A call's line in ``sarn show``: its name, arguments and what it gave
back (a value, a yield, an exception or a normal exit), then where it is,
the line that called it and how long it took."""

from __future__ import annotations

from typing import Any, Dict, List, Optional, Tuple

from sarn.web.tree import Node
from sarn.web.values import cut, exception_text, format_args, format_duration, format_value, is_normal_exit, printable

__all__ = ["FrameLine", "frame_line", "MIN_HEAD_WIDTH", "RESULT_FLOOR"]

#: Fewest characters left to a call's name, arguments and value when its
#: line is cut to the terminal.
MIN_HEAD_WIDTH = 30
#: Characters of a value or exception that a cut line keeps before it drops
#: the calling line.
RESULT_FLOOR = 40

# A piece of a line: its colour and its text.
_Part = Tuple[str, str]


def _width(parts: List[_Part]) -> int:
    return sum(len(text) for _, text in parts)


class FrameLine:
    """A call's line: its head (name, arguments, and the value or exception
    it ended with) and its tail (its path, the line it raised at, the line
    that called it, its duration, notes). Cut to a width, the head gives way
    and the tail stays, so that a long value never hides where the call was
    or how long it took: first the arguments, then the value; when even that
    leaves too little of the value, the calling line is dropped."""

    __slots__ = ("name", "args", "result", "tail", "site", "reset")

    def __init__(self, name: List[_Part], args: str, result: List[_Part], tail: List[_Part],
                 site: Optional[_Part], reset: str) -> None:
        self.name, self.args, self.result = name, args, result
        self.tail, self.site, self.reset = tail, site, reset

    def render(self, room: Optional[int]) -> str:
        """The line in at most ``room`` characters as far as the head can give way (None: whole)."""
        tail = self.tail
        if room is None:
            return self._joined(self.name + [("", self.args)] + self.result, tail)
        floor = _width(self.name) + min(len(self.args), 5) + min(_width(self.result), RESULT_FLOOR)
        if self.site is not None and floor + self._tail_width(tail) > room:
            tail = [part for part in tail if part is not self.site]
        limit = max(MIN_HEAD_WIDTH, room - self._tail_width(tail))
        args = self._cut_args(limit - _width(self.name) - _width(self.result))
        return self._joined(_cut_parts(self.name + [("", args)] + self.result, limit), tail)

    def _cut_args(self, room: int) -> str:
        """The arguments in ``room`` characters, "(self=Inventory(items=...)", at least "(...)"."""
        args = self.args
        if len(args) <= room or len(args) <= 5:
            return args
        return "(%s)" % cut(args[1:-1], max(3, room - 2))

    @staticmethod
    def _tail_width(tail: List[_Part]) -> int:
        return sum(len(text) + 2 for _, text in tail)

    def _joined(self, head: List[_Part], tail: List[_Part]) -> str:
        return "".join(self._coloured(part) for part in head) + "".join("  " + self._coloured(part) for part in tail)

    def _coloured(self, part: _Part) -> str:
        colour, text = part
        return colour + text + self.reset if colour else text


def _cut_parts(parts: List[_Part], limit: int) -> List[_Part]:
    """The parts that fit in ``limit`` characters, the first that does not cut."""
    kept: List[_Part] = []
    used = 0
    for colour, text in parts:
        if used + len(text) > limit:
            kept.append((colour, cut(text, max(3, limit - used))))
            break
        kept.append((colour, text))
        used += len(text)
    return kept


def frame_line(node: Node, style: Any, exception: Optional[Dict[str, Any]] = None) -> FrameLine:
    """The line of a call; ``exception``: the record that says how it ended, if one did."""
    node.exception = exception
    name: List[_Part] = [("", "class ")] if node.title().startswith("class ") else []
    name.append((style.name, printable(node.name)))
    args = format_args(node.call) if node.call is not None and not node.is_body() else ""
    result = _result(node, style)
    if node.resumed:
        result.insert(0, (style.mark, " resumed"))
    tail, site = _tail(node, style)
    return FrameLine(name, args, result, tail, site, style.reset)


def _result(node: Node, style: Any) -> List[_Part]:
    """How the call ended: its value, what it yielded, the exception, or a normal exit."""
    exception, ret = node.exception, node.ret
    if exception is not None and is_normal_exit(exception):
        return [(style.mark, " exits: " + exception_text(exception))]
    if exception is not None:
        return [(style.error, " !! " + exception_text(exception))]
    if ret is not None and node.suspended:
        return [("", " <- yield "), (style.value, format_value(ret.get("arg")))]
    if ret is not None and not node.is_body():
        return [("", " -> "), (style.value, format_value(ret.get("arg")))]
    return []


def _tail(node: Node, style: Any) -> Tuple[List[_Part], Optional[_Part]]:
    """The tail's parts, and among them the calling line's (None when not shown)."""
    path = node.record.get("path")
    tail: List[_Part] = []
    if path:
        tail.append((style.dim, printable(path)))
    left_at = node.left_at()
    if left_at:
        tail.append((style.error, "raised at " + left_at))
    site_text = node.call_site()
    site = None
    if site_text and site_text != path:  # a class body starts on the line that makes it
        site = (style.dim, "from " + printable(site_text))
        tail.append(site)
    duration = node.duration()
    if duration is not None:
        tail.append((style.time, format_duration(duration)))
    if node.call is None:
        tail.append((style.dim, "[entered before recording]"))
    elif node.ret is None:
        tail.append((style.dim, "[no return recorded]"))
    return tail, site
