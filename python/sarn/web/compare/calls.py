"""Each thread of a stored trace as a compact call tree, for comparing.

The document is read record by record (:func:`sarn.web.document.iter_document`)
and each call keeps only what a comparison needs: its name, the line that
made it, its arguments, its result or exception and locals as digests with
short texts (:mod:`.normal`), and its duration. Memory grows with the
number of calls, not with the size of the recorded values.
"""

from __future__ import annotations

import contextlib
import gc
import hashlib
import re
from typing import Any, Collection, Dict, Iterator, List, Optional, Tuple

from sarn.web.document import iter_document, unpack_value
from sarn.web.tree import call_site, file_of, interest_name
from sarn.web.values import exception_text, is_normal_exit

from .normal import Summary, summarise, summarise_map

__all__ = ["Call", "Thread", "read_threads", "exception_type", "without_collection"]

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
        self.values: Dict[bytes, Summary] = {}  # value bytes (or their digest) -> summary
        self.sites: Dict[Tuple[str, int], str] = {}  # (caller's path, line) -> call site
        self.recent: Dict[str, Tuple[bytes, Any]] = {}  # a local's name -> its last value's bytes and part
        self.threads: Dict[Tuple[Any, Any], Thread] = {}
        self.open: Dict[Any, Call] = {}  # frame id -> call not yet returned
        self.last: Optional[Tuple[Any, Call]] = None  # the call that returned last, for its exception record

    def share(self, summary: Any) -> Any:
        """``summary``, or the equal one already held."""
        if type(summary) is tuple and summary and type(summary[0]) is tuple:
            summary = tuple(self.shared.setdefault(part, part) for part in summary)
        return self.shared.setdefault(summary, summary)

    def value(self, data: Optional[bytes]) -> Summary:
        """The summary of a value given as its MessagePack bytes, worked out
        once per distinct value: the calls of a loop pass the same values
        again and again. Long values are known by a digest of their bytes."""
        if data is None:
            return _NONE
        if data[0] in _SCALAR_HEADS:  # a number, None or a boolean: its text is its digest, kept once per call
            text = repr(unpack_value(data))
            return text.encode(), text
        key = data if len(data) <= _BYTES_KEY else hashlib.blake2b(data, digest_size=16).digest()
        found = self.values.get(key)
        if found is None:
            found = self.values[key] = self.share(summarise(unpack_value(data), self.ignore))
        return found

    def values_of(self, values: Any) -> Tuple[Tuple[str, bytes, str], ...]:
        """A call's arguments or locals as compared, from a call tuple's "locals"."""
        if values is None:
            return ()
        if type(values) is bytes:  # not a plain map: read whole, as summarise_map reads it
            return self.share(summarise_map(unpack_value(values), self.ignore))
        ignore, recent = self.ignore, self.recent
        parts = []
        for name, data in values:
            if name == "__class__" or name in ignore:
                continue
            # A name's last value again (a loop's constant argument) is
            # known without digesting its bytes.
            last = recent.get(name)
            if last is None or last[0] != data:
                part = (name,) + self.value(data)
                if data[0] not in _SCALAR_HEADS:  # (a loop's counter would fill the table)
                    part = self.shared.setdefault(part, part)
                last = recent[name] = (data, part)
            parts.append(last[1])
        found = tuple(parts)
        return self.shared.setdefault(found, found)

    def thread(self, native_id: Any, name: Any, fallback: Any) -> Thread:
        key = (fallback if native_id is None else native_id, name)
        thread = self.threads.get(key)
        if thread is None:
            thread = self.threads[key] = Thread(str(name) if name is not None else "thread")
        return thread

    def site(self, caller_path: Optional[str], line: Any) -> Optional[str]:
        """The call site "app.py:40" of a call made at ``line`` by a frame
        at ``caller_path``, one text per site."""
        if caller_path is None or line is None:
            return None
        key = (caller_path, line)
        site = self.sites.get(key)
        if site is None:
            site = self.sites[key] = "%s:%d" % (file_of(caller_path), line)
        return site

    def add(self, record: Any, fallback: Any, index: int) -> None:
        if type(record) is tuple:
            self.add_frame(record, fallback, index)
            return
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
        siblings = parent.children if parent is not None else \
            self.thread(record.get("thread_native_id"), record.get("thread"), fallback).roots
        payload = {key: value for key, value in record.items() if not _INTEREST_NOISE.search(str(key))}
        siblings.append(Call(interest_name(record), _site(site, parent), None,
                             self.share(summarise_map(payload, self.ignore)), record.get("timestamp"), index))

    def add_frame(self, record: Tuple[Any, ...], fallback: Any, index: int) -> None:
        event, frame_id, qualname, co_name, path, thread, native_id, timestamp, caller, line, values, arg = record
        if event != "call":
            call = self.open.pop(frame_id, None)
            if call is None:
                return
            call.result = self.value(arg)
            if self.keep_locals:
                call.locals = self.values_of(values)
            if call.start is not None and timestamp is not None:
                took = timestamp - call.start
                call.duration = took if took > 0.0 else 0.0
            if qualname:  # a class body's qualified name is known once it has run
                call.name = str(qualname)
            call.end = index
            self.last = (frame_id, call)
            return
        parent = self.open.get(caller) if caller is not None else None
        if parent is not None:
            siblings = parent.children
            site = self.site(parent.path, line)
        else:
            siblings = self.thread(native_id, thread, fallback).roots
            site = None
        call = Call(str(qualname or co_name or "?"), site, path, self.values_of(values), timestamp, index)
        siblings.append(call)
        if frame_id is not None:
            self.open[frame_id] = call


#: Values up to this many bytes are their own key among the values summarised.
_BYTES_KEY = 48
_NONE = summarise(None)
# First bytes of the MessagePack forms of numbers, None and booleans.
_SCALAR_HEADS = frozenset(list(range(0x00, 0x80)) + list(range(0xe0, 0x100)) + list(range(0xca, 0xd4))
                          + [0xc0, 0xc2, 0xc3])


def _site(site: Any, parent: Optional[Call]) -> Optional[str]:
    return call_site({"user_code_call_site": site}, parent and parent.path)


def read_threads(stream: Any, ignore: Collection[str] = (), progress: Any = None,
                 keep_locals: bool = False) -> Tuple[List[Thread], Dict[str, Any]]:
    """The threads of a document (bytes, a binary file, or a decoded dict),
    in the order their first record comes, and the document's header entries.
    The locals at return are kept with ``keep_locals`` only."""
    builder = _Builder(frozenset(ignore), keep_locals)
    header: Dict[str, Any] = {}
    index = 0
    add, add_frame = builder.add, builder.add_frame
    with without_collection():
        for kind, fallback, item in iter_document(stream, progress, calls=True):
            if kind == "record":
                if type(item) is tuple:
                    add_frame(item, fallback, index)
                else:
                    add(item, fallback, index)
                index += 1
            elif kind == "header":
                header = item
    return list(builder.threads.values()), header


@contextlib.contextmanager
def without_collection() -> Iterator[None]:
    """The cycle collector paused: building a tree of many thousand calls
    (which holds no cycles) would otherwise run it over every call built so
    far, again and again, for a fifth of the time."""
    paused = gc.isenabled()
    if paused:
        gc.disable()
    try:
        yield
    finally:
        if paused:
            gc.enable()
