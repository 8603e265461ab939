"""``sarn find``: the calls of every stored trace whose qualified name
matches a glob, under conditions on arguments, result, exception and
duration. Traces are searched newest first, each read record by record, and
every call is printed as soon as it is found."""

from __future__ import annotations

import datetime
import fnmatch
import re
import time
from typing import Any, Callable, Dict, Iterator, List, Optional, Tuple

from sarn import db
from sarn.web.document import iter_document
from sarn.web.tree import call_site
from sarn.web.values import exception_text, format_args, format_duration, format_value, is_normal_exit, printable

from .calls import exception_type
from .command import parse_duration
from .where import WhereError, compile_where

__all__ = ["SearchError", "Query", "Found", "find_in", "run_find", "parse_since"]


class SearchError(ValueError):
    """A search the command line asked for cannot be made."""


class Query:
    """What a call must be to be found."""

    def __init__(self, pattern: str, where: Optional[str] = None, raised: Optional[str] = None,
                 slower: Optional[float] = None) -> None:
        self.pattern = pattern
        self.where = compile_where(where) if where else None
        self.raised = raised
        self.slower = slower
        self._names: Dict[str, bool] = {}

    def matches_name(self, qualname: str) -> bool:
        """The glob against the qualified name ("pricing.Cart.add") or its
        last dotted parts ("Cart.add", "add")."""
        known = self._names.get(qualname)
        if known is None:
            parts = qualname.split(".")
            known = any(fnmatch.fnmatchcase(".".join(parts[start:]), self.pattern) for start in range(len(parts)))
            self._names[qualname] = known
        return known

    def matches(self, call: Dict[str, Any], ret: Optional[Dict[str, Any]], raised: Optional[Dict[str, Any]]) -> bool:
        if self.raised is not None and (raised is None or not fnmatch.fnmatchcase(
                exception_type(raised.get("exception")), self.raised)):
            return False
        if self.slower is not None and (_duration(call, ret) or 0.0) < self.slower:
            return False
        if self.where is None:
            return True
        values = dict(call.get("locals") or {}) if isinstance(call.get("locals"), dict) else {}
        if ret is not None and raised is None:
            values["result"] = ret.get("arg")
        return self.where(values)


def _duration(call: Dict[str, Any], ret: Optional[Dict[str, Any]]) -> Optional[float]:
    start, end = call.get("timestamp"), (ret or {}).get("timestamp")
    if isinstance(start, (int, float)) and isinstance(end, (int, float)):
        return max(0.0, end - start)
    return None


class Found:
    """One call found: the call and return records, the exception record
    (None when it returned), and the line that made the call."""

    __slots__ = ("call", "ret", "raised", "site")

    def __init__(self, call: Dict[str, Any], ret: Optional[Dict[str, Any]], raised: Optional[Dict[str, Any]],
                 site: Optional[str]) -> None:
        self.call, self.ret, self.raised, self.site = call, ret, raised, site

    def text(self) -> str:
        name = printable(self.call.get("qualname") or self.call.get("co_name") or "?")
        text = name + format_args(self.call)
        if self.raised is not None:
            text += " raised " + exception_text(self.raised)
        elif self.ret is not None:
            text += " -> " + format_value(self.ret.get("arg"))
        else:
            text += " (no return recorded)"
        took = format_duration(_duration(self.call, self.ret))
        return text + ("  " + took if took else "")


def find_in(stream: Any, query: Query) -> Iterator[Found]:
    """The calls of one document that ``query`` finds, as they end. Holds
    the open frames' paths and the matching calls not yet returned."""
    paths: Dict[Any, Any] = {}  # frame id -> path, for the call sites of the frames it calls
    waiting: Dict[Any, Tuple[Dict[str, Any], Optional[str]]] = {}  # matching calls not yet returned
    ended: Optional[Tuple[Any, Dict[str, Any], Dict[str, Any], Optional[str]]] = None  # may get an exception record

    def settle(raised: Optional[Dict[str, Any]]) -> Iterator[Found]:
        if ended is not None and query.matches(ended[1], ended[2], raised):
            yield Found(ended[1], ended[2], raised, ended[3])

    for kind, _, record in iter_document(stream):
        if kind != "record":
            continue
        event = record.get("type")
        frame_id = record.get("frame_id")
        if ended is not None:
            is_exception = event == "exception" and frame_id == ended[0] and not is_normal_exit(record)
            yield from settle(record if is_exception else None)
            ended = None
        if event != "frame":
            continue
        if record.get("event") == "call":
            site = record.get("user_code_call_site")
            parent = paths.get(site.get("call_frame_id")) if isinstance(site, dict) else None
            paths[frame_id] = record.get("path")
            if query.matches_name(str(record.get("qualname") or record.get("co_name") or "")):
                waiting[frame_id] = (record, call_site(record, parent))
        else:
            paths.pop(frame_id, None)
            started = waiting.pop(frame_id, None)
            if started is not None:
                ended = (frame_id, started[0], record, started[1])
    yield from settle(None)
    for call, site in waiting.values():  # calls the recording ended inside
        if query.matches(call, None, None):
            yield Found(call, None, None, site)


_AGO = re.compile(r"^\s*(\d+(?:\.\d*)?)\s*(m|min|h|d|w)\s*$")
_AGO_SECONDS = {"m": 60, "min": 60, "h": 3600, "d": 86400, "w": 7 * 86400}


def parse_since(text: str, now: Optional[float] = None) -> float:
    """``--since``: "30m", "2h", "7d", "1w" ago, or a date ("2026-12-09",
    "2026-12-09 14:00"), as seconds since the epoch."""
    match = _AGO.match(text)
    if match:
        return (time.time() if now is None else now) - float(match.group(1)) * _AGO_SECONDS[match.group(2)]
    try:
        return datetime.datetime.fromisoformat(text.strip()).timestamp()
    except ValueError:
        raise SearchError("--since: %r is neither an age (30m, 2h, 7d) nor a date (2026-12-09 14:00)" % text) from None


def _traces(db_path: str, options: Any, timeout: float) -> List[Any]:
    if options.trace:
        return [db.get_trace_info(db_path, trace_id, timeout=timeout) for trace_id in options.trace]
    rows = db.list_traces(db_path, timeout=timeout)
    since = parse_since(options.since) if options.since else None
    return [row for row in rows if (since is None or row.created >= since)
            and (options.source is None or row.source == options.source)]


def _when(found: Found) -> str:
    stamp = found.call.get("timestamp")
    try:
        return datetime.datetime.fromtimestamp(stamp).strftime("%Y-%m-%d %H:%M:%S")
    except (TypeError, OverflowError, OSError, ValueError):
        return "?"


def _query(options: Any) -> Query:
    try:
        slower = parse_duration(options.slower) if options.slower else None
        return Query(options.pattern, options.where, options.raised, slower)
    except WhereError as error:
        raise SearchError("--where: %s" % error) from None
    except ValueError as error:
        raise SearchError("--slower: %s" % error) from None


def run_find(db_path: str, options: Any, out: Any, timeout: float = db.READ_TIMEOUT,
             write: Optional[Callable[[str], Any]] = None) -> int:
    """Print each call found as "trace  time  call site  call", flushed at
    once; then how many. Returns 0 when some were found, 1 when none."""
    query = _query(options)
    count = 0
    for info in _traces(db_path, options, timeout):
        with db.open_trace(db_path, info.id, timeout=timeout) as stream:
            for found in find_in(stream, query):
                count += 1
                out.write("%s  %s  %s  %s\n" % (printable(info.id), _when(found), printable(found.site or "-"),
                                                found.text()))
                out.flush()
                if options.limit and count >= options.limit:
                    return 0
    out.write("%d call%s found\n" % (count, "" if count == 1 else "s"))
    return 0 if count else 1
