"""Each thread of a stored trace as a compact call tree, for comparing.

The document is read record by record (:func:`sarn.web.document.iter_document`)
and each call keeps only what a comparison needs: its name, the line that
made it, its arguments, its result or exception and locals as digests with
short texts (:mod:`.normal`), and its duration. Memory grows with the
number of calls, not with the size of the recorded values.
"""

from __future__ import annotations

import re
from typing import Any, Collection, Dict, List, Optional, Tuple

from sarn.web.document import iter_document
from sarn.web.tree import call_site, interest_name
from sarn.web.values import exception_text, is_normal_exit

from .normal import Summary, summarise, summarise_map

__all__ = ["Call", "Thread", "read_threads", "exception_type"]

# Fields of a plugin's frame of interest that differ from run to run by nature.
_INTEREST_NOISE = re.compile(r"^(type|frame_id|thread|thread_native_id|user_code_call_site|id)$|time|duration|elapsed")


class Call:
    """One call (or frame of interest) as compared. ``args`` and ``locals``
    are ((name, digest, text), ...); ``result`` and ``raised`` are (digest,
    text) or None."""

    __slots__ = ("name", "site", "path", "args", "result", "raised", "locals", "start", "duration", "children",
                 "index", "end")

    def __init__(self, name: str, site: Optional[str], path: Any, args: Tuple[Tuple[str, bytes, str], ...],
                 start: Any, index: int = -1) -> None:
        self.name = name
        # The places of its call and return records among the document's
        # records, to read its values whole again (:mod:`.detail`).
        self.index = index
        self.end = -1
        self.site = site
        self.path = path if isinstance(path, str) else None
        self.args = args
        self.result: Optional[Summary] = None
        self.raised: Optional[Summary] = None
        self.locals: Tuple[Tuple[str, bytes, str], ...] = ()
        self.start = start if isinstance(start, (int, float)) else None
        self.duration: Optional[float] = None
        self.children: List[Call] = []

    @property
    def key(self) -> Tuple[str, Optional[str]]:
        """What aligns calls of two runs: the same function called from the same line."""
        return self.name, self.site

    def size(self) -> int:
        """The calls of its subtree, itself included."""
        count, stack = 0, [self]
        while stack:
            call = stack.pop()
            count += 1
            stack.extend(call.children)
        return count


class Thread:
    """A thread's calls: ``name`` and its top-level calls."""

    __slots__ = ("name", "roots")

    def __init__(self, name: str) -> None:
        self.name = name
        self.roots: List[Call] = []


def exception_type(value: Any) -> str:
    """The short type name of a recorded exception ("KeyError"), "" when unknown."""
    if isinstance(value, dict):
        return str(value.get("type") or "").rpartition(".")[2]
    if isinstance(value, str):
        match = re.match(r"^([\w.]+)(?:\(|:|$)", value)
        return match.group(1).rpartition(".")[2] if match else ""
    return ""


class _Builder:
    """Pairs calls with returns by frame id and nests them by call site."""

    def __init__(self, ignore: Collection[str], keep_locals: bool) -> None:
        self.ignore = ignore
        self.keep_locals = keep_locals
        # Equal summaries are held once: the calls of a loop repeat theirs.
        self.shared: Dict[Any, Any] = {}
        self.threads: Dict[Tuple[Any, Any], Thread] = {}
        self.open: Dict[Any, Call] = {}  # frame id -> call not yet returned
        self.last: Optional[Tuple[Any, Call]] = None  # the call that returned last, for its exception record

    def thread(self, record: Dict[str, Any], fallback: Any) -> Thread:
        key = (record.get("thread_native_id", fallback), record.get("thread"))
        thread = self.threads.get(key)
        if thread is None:
            thread = self.threads[key] = Thread(str(key[1]) if key[1] is not None else "thread")
        return thread

    def share(self, summary: Any) -> Any:
        """``summary``, or the equal one already held."""
        if type(summary) is tuple and summary and type(summary[0]) is tuple:
            summary = tuple(self.shared.setdefault(part, part) for part in summary)
        return self.shared.setdefault(summary, summary)

    def add(self, record: Dict[str, Any], fallback: Any, index: int) -> None:
        kind = record.get("type")
        frame_id = record.get("frame_id")
        if kind == "exception":
            if self.last is not None and self.last[0] == frame_id and not is_normal_exit(record):
                call = self.last[1]
                call.raised = (summarise(exception_text(record, None))[0], exception_text(record))
                call.result = None
            return
        if kind in ("suspension", "resumption"):
            return
        site = record.get("user_code_call_site")
        parent = self.open.get(site.get("call_frame_id")) if isinstance(site, dict) else None
        siblings = parent.children if parent is not None else self.thread(record, fallback).roots
        if kind != "frame":
            payload = {key: value for key, value in record.items() if not _INTEREST_NOISE.search(str(key))}
            siblings.append(Call(interest_name(record), call_site(record, parent and parent.path), None,
                                 self.share(summarise_map(payload, self.ignore)), record.get("timestamp"), index))
            return
        if record.get("event") == "call":
            name = record.get("qualname") or record.get("co_name") or "?"
            call = Call(str(name), call_site(record, parent and parent.path), record.get("path"),
                        self.share(summarise_map(record.get("locals"), self.ignore)), record.get("timestamp"), index)
            siblings.append(call)
            if frame_id is not None:
                self.open[frame_id] = call
            return
        call = self.open.pop(frame_id, None)
        if call is None:
            return
        self.returned(call, record)
        call.end = index
        self.last = (frame_id, call)

    def returned(self, call: Call, record: Dict[str, Any]) -> None:
        call.result = self.share(summarise(record.get("arg"), self.ignore))
        if self.keep_locals:
            call.locals = self.share(summarise_map(record.get("locals"), self.ignore))
        end = record.get("timestamp")
        if call.start is not None and isinstance(end, (int, float)):
            call.duration = max(0.0, end - call.start)
        if record.get("qualname"):  # a class body's qualified name is known once it has run
            call.name = str(record["qualname"])


def read_threads(stream: Any, ignore: Collection[str] = (), progress: Any = None,
                 keep_locals: bool = False) -> Tuple[List[Thread], Dict[str, Any]]:
    """The threads of a document (bytes, a binary file, or a decoded dict),
    in the order their first record comes, and the document's header entries.
    The locals at return are kept with ``keep_locals`` only."""
    builder = _Builder(frozenset(ignore), keep_locals)
    header: Dict[str, Any] = {}
    index = 0
    for kind, fallback, item in iter_document(stream, progress):
        if kind == "record":
            builder.add(item, fallback, index)
            index += 1
        elif kind == "header":
            header = item
    return list(builder.threads.values()), header
