"""The summary that ``sarn show`` prints before the tree: calls, total and
own time per function, the slowest calls and the deepest call path, and the
totals of what the trace did outside the user's code."""

from __future__ import annotations

from typing import Any, Dict, Iterator, List, Tuple

from sarn.web import outside
from sarn.web.terminal_lines import counted
from sarn.web.values import format_duration, printable

__all__ = ["FunctionStats", "summary_lines", "SUMMARY_FUNCTIONS"]


class FunctionStats:
    """The calls of one function, their total time (the outermost of recursive
    calls counted once) and own time; ``active``: calls still running."""

    __slots__ = ("calls", "total", "own", "active")

    def __init__(self) -> None:
        self.calls = 0
        self.total = 0.0
        self.own = 0.0
        self.active = 0


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


def summary_lines(threads: List[Any], style: Any, totals: outside.Totals) -> Iterator[str]:
    merged: Dict[str, FunctionStats] = {}
    slowest: List[Tuple[float, int, Tuple[str, ...]]] = []
    deepest: Tuple[int, Tuple[str, ...]] = (-1, ())
    calls = exceptions = 0
    for thread in threads:
        calls += thread.calls
        exceptions += thread.exceptions
        for name, stats in thread.stats.items():
            into = merged.get(name)
            if into is None:
                into = merged[name] = FunctionStats()
            into.calls += stats.calls
            into.total += stats.total
            into.own += stats.own
        slowest.extend(thread.slowest)
        if thread.deepest[0] > deepest[0]:
            deepest = thread.deepest
    yield ""
    tasks = sum(1 for thread in threads if getattr(thread, "task", None) is not None)
    head = "summary: %s of %s in %s" % (counted(calls, "call"), counted(len(merged), "function"),
                                        counted(len(threads) - tasks, "thread"))
    if tasks:
        head += " (%s)" % counted(tasks, "task")
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
