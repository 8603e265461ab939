"""One pass over a thread's records for ``sarn show``: each call is placed
under its caller as its records come, shown or left out by the limits
(depth, calls per caller, lines) and the filter, and rendered once complete,
so that what is held is the calls still running and the lines to show. The
pass also counts calls, time per function, the slowest calls and the
deepest path for the summary."""

from __future__ import annotations

import heapq
from typing import Any, Dict, Iterator, List, NamedTuple, Optional, Tuple

from sarn.web import outside
from sarn.web.summary import FunctionStats
from sarn.web.terminal_frame import FrameLine, frame_line
from sarn.web.terminal_lines import Style, interest_line
from sarn.web.tree import SWITCHES, Node
from sarn.web.values import is_normal_exit, printable

__all__ = ["Limits", "NativeHost", "Thread", "native_threads"]


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
                 "child_time", "name", "start", "slot", "frame_id", "end_seq", "resumed", "suspended", "operation",
                 "caller_path")

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
        self.caller_path = parent.record().get("path") if parent is not None else None

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


class Thread:
    """The pass over one thread's records."""

    def __init__(self, name: str, native_id: Any, limits: Limits, needle: Optional[str], style: Style,
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
        self.stats: Dict[str, FunctionStats] = {}
        self.slowest: List[Tuple[float, int, Tuple[str, ...]]] = []
        self.deepest: Tuple[int, Tuple[str, ...]] = (-1, ())  # its path named at the end
        self.deepest_entry: Optional[_Entry] = None
        self.pending: Optional[_Entry] = None  # returned; an exception record may follow
        self.from_main = False
        self.task: Any = None  # the asyncio task whose records these are, if any
        self.tasks: List["Thread"] = []  # the thread's tasks, each shown as a tree of its own
        self.blocks: Any = None  # the blocks of its lines, when the native pass keeps them as text

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
        if kind in SWITCHES:
            self._mark_switch(kind, record.get("frame_id"))
            return
        if kind == "exception":
            target = self.pending
            if target is None or target.frame_id is None or target.frame_id != record.get("frame_id"):
                target = self.open.get(record.get("frame_id")) if record.get("frame_id") is not None else None
            if target is not None:
                target.exception = record
                if not is_normal_exit(record):
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
                stats = self.stats[entry.name] = FunctionStats()
            stats.calls += 1
            stats.active += 1
            if self.deepest_entry is None or entry.depth > self.deepest_entry.depth:
                self.deepest_entry = entry
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
        local_values = record.get("locals")
        if isinstance(local_values, dict) and "__qualname__" in local_values:
            self._rename(entry, Node(call=entry.call, ret=record).title())
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

    def _rename(self, entry: _Entry, name: str) -> None:
        """Names a class body as the tree does, once its return tells its
        qualified name: its call moves to that name's statistics."""
        if name == entry.name:
            return
        old = self.stats[entry.name]
        old.calls -= 1
        old.active -= 1
        if not old.calls and not old.active:
            del self.stats[entry.name]
        entry.name = name
        stats = self.stats.get(name)
        if stats is None:
            stats = self.stats[name] = FunctionStats()
        stats.calls += 1
        stats.active += 1

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
            return interest_line(entry.interest, self.style)
        node = Node(call=entry.call, ret=entry.ret, caller_path=entry.caller_path)
        node.resumed, node.suspended = entry.resumed, entry.suspended
        return frame_line(node, self.style, entry.exception)

    def finish(self) -> None:
        self._settle()
        if self.deepest_entry is not None:
            self.deepest = (self.deepest_entry.depth, self._path(self.deepest_entry))
            self.deepest_entry = None
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
        """The lines, cut by ``fit``; a call's and an operation's fit their
        own text (an operation's whole when full)."""
        if self.blocks is not None:  # made whole, without a width
            yield from self.blocks()
            return
        width, full = self.display.width, self.display.full
        for _, _, text, indent in self.slots:
            if isinstance(text, str):
                yield fit("  " * indent + text)
                continue
            line = "  " * indent + text.render(None if width is None else width - 2 * indent)
            yield line if full and not isinstance(text, FrameLine) else fit(line)


class NativeHost:
    """What the native pass (sarn._serialize.ShowPass) asks of Python: the
    lines it shows, rendered as :class:`Thread` renders them, the pairing of
    operations outside the user's code, and the few judgements made on
    decoded records."""

    def __init__(self, style: Style, display: outside.Display) -> None:
        self.style = style
        self.display = display
        self.pairings: Dict[int, outside.Pairing] = {}
        self._texts = Thread("", None, Limits(), None, style, display)
        # A call's line shown whole (not cut to a width) is plain text, which
        # the native pass makes itself in these colours, leaving to line()
        # those whose values it does not format.
        self.plain_style = None if display.width is not None else (
            style.name, style.dim, style.value, style.time, style.mark, style.error, style.reset)

    def line(self, call: Any, ret: Any, interest: Any, exception: Any, operation: Any, caller_path: Any,
             resumed: bool, suspended: bool) -> Any:
        if operation is not None:
            return self.display.line(operation)
        if interest is not None:
            return interest_line(interest, self.style)
        node = Node(call=call, ret=ret, caller_path=caller_path)
        node.resumed, node.suspended = resumed, suspended
        return frame_line(node, self.style, exception)

    def hidden(self, pairs: List[Tuple[str, int]]) -> str:
        return self._texts._hidden_text(dict(pairs))

    def more_below(self, count: int) -> str:
        return self.style.dim + "... %d more below" % count + self.style.reset

    def lines_left_out(self, count: int) -> str:
        return (self.style.dim + "... %s more lines left out (--lines N, or --all)" % "{:,}".format(count)
                + self.style.reset)

    @staticmethod
    def normal_exit(record: Dict[str, Any]) -> bool:
        return is_normal_exit(record)

    @staticmethod
    def interest_name(record: Dict[str, Any]) -> str:
        return _name_of(record)

    def pairing_add(self, thread: int, record: Dict[str, Any], where: Any) -> Tuple[Any, bool]:
        pairing = self.pairings.get(thread)
        if pairing is None:
            pairing = self.pairings[thread] = outside.Pairing(self.display.totals)
        return pairing.add(record, where)

    def pairing_finish(self, thread: int) -> None:
        pairing = self.pairings.get(thread)
        if pairing is not None:
            pairing.finish()

    @staticmethod
    def decode(data: bytes) -> Any:
        import msgpack

        return msgpack.unpackb(data, raw=False, strict_map_key=False, unicode_errors="replace")


def native_threads(parts: List[Any], limits: Limits, style: Style, display: outside.Display) -> List[Thread]:
    """The threads that the native pass gave, as :class:`Thread` objects
    holding what the head, summary and lines read."""
    threads = []
    for name, native_id, from_main, calls, exceptions, resumptions, stats, slowest, deepest, slots in parts:
        thread = Thread(name, native_id, limits, None, style, display)
        thread.from_main = from_main
        thread.calls, thread.exceptions, thread.resumptions = calls, exceptions, resumptions
        for function, count, total, own, active in stats:
            figures = thread.stats[function] = FunctionStats()
            figures.calls, figures.total, figures.own, figures.active = count, total, own, active
        thread.slowest = slowest
        thread.deepest = deepest
        thread.slots = slots  # (seq, order, line, indent), in order
        threads.append(thread)
    return threads
