"""``sarn find``: the calls of every stored trace whose qualified name
matches a glob, under conditions on arguments, result, exception and
duration. Traces are searched newest first, each read record by record, and
every call is printed as soon as it is found.

The call index stored beside each trace (:mod:`.index`) is read first: a
trace none of whose names can match is not read at all. A trace stored
without an index (or with one of an older version, which is judged by what
it has) is read whole, and its index is then stored for the next search
(when the database can be written)."""

from __future__ import annotations

import datetime
import fnmatch
import json
import re
import time
from typing import Any, Callable, Dict, Iterator, List, Optional, Tuple

from sarn import db
from sarn.web.document import TraceFormatError, iter_document, unpack_value
from sarn.web.tree import file_of
from sarn.web.values import exception_text, format_args, format_duration, format_value, is_normal_exit, printable

from .calls import exception_type
from .command import parse_duration
from .index import CallIndex, index_document
from .where import WhereError, compile_bounds, compile_where, where_names

__all__ = ["SearchError", "Query", "Found", "find_in", "run_find", "parse_since"]


#: Outcomes of --where kept per search, by the bytes of the values it read.
KNOWN_LIMIT = 100_000
#: Seconds a search waits to store the index of traces it read whole; a
#: database busy for longer is left as it is.
INDEX_WAIT = 1.0


class SearchError(ValueError):
    """A search the command line asked for cannot be made."""


class Query:
    """What a call must be to be found."""

    def __init__(self, pattern: str, where: Optional[str] = None, raised: Optional[str] = None,
                 slower: Optional[float] = None) -> None:
        self.pattern = pattern
        self.where = compile_where(where) if where else None
        self.bounds = compile_bounds(where) if where else None
        # The names --where reads, and what it said of their values' bytes.
        self.where_names = sorted(where_names(where)) if where else []
        self._where_at = {name: at for at, name in enumerate(self.where_names)}
        self._result_at = self._where_at.get("result")
        self.known: Dict[Any, bool] = {}
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

    def may_hold(self, rows: Any) -> bool:
        """Whether a trace whose index rows of the matching names are
        ``rows`` ((qualname, calls, slowest, raised, numbers, texts), ...)
        can hold a call this query finds."""
        for _, _, slowest, raised, numbers, texts in rows:
            if self.raised is not None and not any(fnmatch.fnmatchcase(kind, self.raised) for kind in raised):
                continue
            if self.slower is not None and (slowest or 0.0) < self.slower:
                continue
            if self.bounds is not None and not self.bounds(numbers, texts):
                continue
            return True
        return False

    def where_key(self, call: Tuple[Any, ...], ret: Optional[Tuple[Any, ...]],
                  raised: Optional[Dict[str, Any]]) -> Any:
        """What --where's outcome for a call depends on: the bytes of the
        values of the names it reads (None for a missing one); None when the
        call's arguments are not known by name."""
        values = call[10]
        if type(values) is not tuple and values is not None:
            return None
        where_at = self._where_at
        key: List[Any] = [None] * len(where_at)
        for name, data in values or ():
            at = where_at.get(name)
            if at is not None:
                key[at] = data  # (a later duplicate wins, as in a dict)
        if self._result_at is not None:
            key[self._result_at] = None if ret is None or raised is not None else ret[11] or b"\xc0"
        return tuple(key)

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


def _call_record(call: Tuple[Any, ...]) -> Dict[str, Any]:
    """The fields of a call tuple that a found call shows, as a record."""
    values = call[10]
    if type(values) is tuple:
        values = {name: unpack_value(data) for name, data in values}
    elif values is not None:
        values = unpack_value(values)
    return {"qualname": call[2], "co_name": call[3], "path": call[4], "timestamp": call[7], "locals": values}


def _return_record(ret: Optional[Tuple[Any, ...]]) -> Optional[Dict[str, Any]]:
    if ret is None:
        return None
    record = {"timestamp": ret[7]}
    if ret[11] is not None:
        record["arg"] = unpack_value(ret[11])
    return record


def _where_values(call: Tuple[Any, ...], ret: Optional[Tuple[Any, ...]], raised: Optional[Dict[str, Any]],
                  names: Any) -> Dict[str, Any]:
    """What --where sees of a call (as :meth:`Query.matches` makes it),
    with only the ``names`` it reads decoded."""
    values = call[10]
    if type(values) is tuple:
        seen = {name: unpack_value(data) for name, data in values if name in names}
    else:
        decoded = None if values is None else unpack_value(values)
        seen = dict(decoded) if isinstance(decoded, dict) else {}
    if ret is not None and raised is None:
        seen["result"] = None if ret[11] is None else unpack_value(ret[11])
    return seen


def find_in(stream: Any, query: Query, index: Optional[CallIndex] = None) -> Iterator[Found]:
    """The calls of one document that ``query`` finds, as they end. Holds
    the open frames' paths and the matching calls not yet returned; only
    the values of calls with a matching name are decoded. Every record is
    also given to ``index``, when given."""
    paths: Dict[Any, Any] = {}  # frame id -> path, for the call sites of the frames it calls
    waiting: Dict[Any, Tuple[Tuple[Any, ...], Any]] = {}  # matching calls not yet returned, with their caller's path
    ended: Optional[Tuple[Any, Tuple[Any, ...], Tuple[Any, ...], Any]] = None  # may get an exception record

    def found(call: Tuple[Any, ...], ret: Optional[Tuple[Any, ...]], raised: Optional[Dict[str, Any]],
              caller_path: Any) -> Iterator[Found]:
        # The exception and the duration first: they need no value decoded;
        # then --where, on only the values it reads.
        if query.raised is not None and (raised is None or not fnmatch.fnmatchcase(
                exception_type(raised.get("exception")), query.raised)):
            return
        if query.slower is not None and not _took_at_least(call[7], ret[7] if ret else None, query.slower):
            return
        if query.where is not None:
            # Calls passed the same values again are judged once.
            key = query.where_key(call, ret, raised)
            matched = query.known.get(key) if key is not None else None
            if matched is None:
                matched = query.where(_where_values(call, ret, raised, query.where_names))
                if key is not None:
                    if len(query.known) >= KNOWN_LIMIT:
                        query.known.clear()
                    query.known[key] = matched
            if not matched:
                return
        line = call[9]
        site = "%s:%d" % (file_of(caller_path), line) if line is not None and isinstance(caller_path, str) else None
        yield Found(_call_record(call), _return_record(ret), raised, site)

    for kind, _, record in iter_document(stream, calls=True):
        if kind != "record":
            continue
        if index is not None:
            index.add(record)
        frame = type(record) is tuple
        if ended is not None:
            is_exception = not frame and record.get("type") == "exception" and record.get("frame_id") == ended[0] \
                and not is_normal_exit(record)
            yield from found(ended[1], ended[2], record if is_exception else None, ended[3])
            ended = None
        if not frame:
            continue
        frame_id = record[1]
        if record[0] == "call":
            caller_path = paths.get(record[8])
            paths[frame_id] = record[4]
            if query.matches_name(str(record[2] or record[3] or "")):
                waiting[frame_id] = (record, caller_path)  # its call site is made only if it is found
        else:
            paths.pop(frame_id, None)
            started = waiting.pop(frame_id, None)
            if started is not None:
                ended = (frame_id, started[0], record, started[1])
    if ended is not None:
        yield from found(ended[1], ended[2], None, ended[3])
    for call, caller_path in waiting.values():  # calls the recording ended inside
        yield from found(call, None, None, caller_path)


def _index_of(document: bytes) -> Optional[List[Any]]:
    """The index rows of a document, None when it is damaged (reading it
    then says how)."""
    try:
        return index_document(document)
    except TraceFormatError:
        return None


def _matching(rows: List[Any], query: Query) -> List[Tuple[Any, ...]]:
    """Index rows as stored, as :func:`sarn.db.indexed_calls` gives those
    whose name the query matches."""
    return [(name, calls, slowest, json.loads(raised), None if numbers is None else json.loads(numbers),
             None if texts is None else json.loads(texts))
            for name, calls, slowest, raised, numbers, texts in rows if query.matches_name(name)]


def _took_at_least(start: Any, end: Any, least: float) -> bool:
    if isinstance(start, (int, float)) and isinstance(end, (int, float)):
        return max(0.0, end - start) >= least
    return least <= 0.0


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
    traces = _traces(db_path, options, timeout)
    index = db.indexed_calls(db_path, query.matches_name, timeout=timeout) if any(
        info.indexed for info in traces) else {}
    indexed: List[Tuple[str, Any]] = []  # traces read whole that had no index, or an older one
    try:
        for info in traces:
            if info.indexed and not query.may_hold(index.get(info.id, ())):
                continue
            collect = None if info.indexed >= db.INDEX_VERSION else CallIndex()
            with db.open_trace(db_path, info.id, timeout=timeout) as stream:
                source: Any = stream
                if collect is not None and info.size <= db.INDEX_BYTES:
                    # Held whole, it is indexed by the native pass first, and
                    # read only when its index cannot rule it out.
                    source = stream.read()
                    rows = _index_of(source)
                    if rows is not None:
                        indexed.append((info.id, rows))
                        collect = None
                        if not query.may_hold(_matching(rows, query)):
                            continue
                for found in find_in(source, query, collect):
                    count += 1
                    out.write("%s  %s  %s  %s\n" % (printable(info.id), _when(found), printable(found.site or "-"),
                                                    found.text()))
                    out.flush()
                    if options.limit and count >= options.limit:
                        return 0
            if collect is not None:
                indexed.append((info.id, collect.rows()))
    finally:
        if indexed:
            db.save_call_index(db_path, indexed, timeout=min(timeout, INDEX_WAIT))
    out.write("%d call%s found\n" % (count, "" if count == 1 else "s"))
    return 0 if count else 1
