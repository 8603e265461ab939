"""A trace in the Trace Event Format, which Perfetto and chrome://tracing open.

Each recorded call becomes one complete event ("ph": "X") on its thread,
with its arguments, return value and path as text in "args" (a call that
ended by an exception has "exception" in place of "return", one that a yield
suspended "yielded", one that resumed a generator "resumed"); each frame of
interest (a test's start or end, say) an instant event ("ph": "i"). An SQL
query, HTTP call or template render (paired by :mod:`sarn.web.outside`) is a
complete event of its own, of category "sql", "http" or "template", with
what its records hold in "args" (the SQL, its parameters, the URL, the
status, the user line that issued it as "site"); a log record is an instant
event of category "log". Metadata
events name the process (the trace) and each thread. The calls an asyncio
task ran are on a track of their own, named by the task and its thread and
placed after that thread's. Times are microseconds
since the recording started. A call whose return was not recorded lasts
until its caller ends, or until the thread's last record.

The document is read once, record by record, and the JSON is written as it
is read: a call's event is written when it returns, so what is held is the
calls still running. The document's own entries (its start, its command)
come after its records, so the metadata events are written last, and the
recording's start, which every time is counted from, is taken from the
database's listing of the trace (or, for a document in memory, read from it
first).

With the native extension, the records go to its pass
(``sarn._serialize.ChromePass``) as bytes: it follows the calls and writes
their events itself, and asks :class:`_NativeHost` for the rest (frames of
interest, operations, tasks, values it does not format). The text is the
same as the writer here gives, which stays for builds without it and for
``indent=0``.
"""

from __future__ import annotations

import json
from typing import Any, Dict, Iterator, List, Optional, Tuple

import msgpack

from sarn import viewer
from sarn.web import outside
from sarn.web.document import iter_document, takes_sink
from sarn.web.tasks import Splitter, Task

__all__ = ["json_chunks", "write_json", "trace_events"]

_PID = 1
#: The first track number of the tasks: above any native thread id.
TASK_TIDS = 10 ** 12
#: Characters of one argument or return value in an event's args.
VALUE_WIDTH = 1000
#: Characters of an operation's event name (its SQL text, its URL).
NAME_WIDTH = 100
#: Characters of JSON gathered before a chunk is given out.
CHUNK_SIZE = 1 << 16


def _stamp(record: Optional[Dict[str, Any]]) -> Optional[float]:
    value = record.get("timestamp") if record else None
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        return float(value)
    return None


class _Call:
    """A call whose event is not written yet: running, or returned at a
    time not recorded (it then ends with its caller)."""

    __slots__ = ("call", "ret", "begin", "parent", "open_calls", "resumed")

    def __init__(self, call: Any, parent: Optional["_Call"], begin: float) -> None:
        self.call = call
        self.ret: Any = None
        self.begin = begin
        self.parent = parent
        self.open_calls: Optional[Dict[int, _Call]] = None  # by id(): those under it not written yet
        self.resumed = False  # the call resumed a suspended generator or coroutine


class _Thread:
    """The events of one thread (a native id and name), made as its records
    come. A call's span is kept inside its caller's: it starts no earlier
    than its caller; it ends no later because records come in time order."""

    def __init__(self, tid: int, name: str, start: float) -> None:
        self.tid = tid
        self.name = name
        self.place = (1, 0)  # (0 if in the main list else 1, rank there): threads are shown in this order
        self.start = start
        self.first: Optional[float] = None
        self.last: Optional[float] = None
        self.running: Dict[Any, _Call] = {}  # by frame id: the calls later records may be under
        self.open_calls: Dict[int, _Call] = {}  # top-level calls not written yet
        # The events of the call that the last record returned, held until
        # the next record, which may say how it ended (an exception, a yield).
        self.returned: Optional[Tuple[Any, List[Dict[str, Any]]]] = None
        self.pairing = outside.Pairing(outside.Totals())
        self.begins: Dict[int, float] = {}  # by id(): when the operations still open began

    def micros(self, seconds: float) -> float:
        return round((seconds - self.start) * 1e6, 3)

    def add(self, record: Dict[str, Any]) -> Iterator[Dict[str, Any]]:
        kind = record.get("type")
        if kind in _NOTES and self._note(kind, record):
            return
        yield from self._flush()
        yield from self._add(record)

    def _note(self, kind: str, record: Dict[str, Any]) -> bool:
        """Whether the record says more of the frame record before it, and
        was taken into that call's event."""
        frame_id = record.get("frame_id")
        if frame_id is None:
            return False
        if kind == "resumption":
            call = self.running.get(frame_id)
            if call is not None:
                call.resumed = True
            return call is not None
        if self.returned is None or self.returned[0] != frame_id:
            return False
        args = self.returned[1][0]["args"]
        if kind == "suspension":
            args["yielded"] = args.pop("return", "None")
        else:
            args.pop("return", None)
            args["exception"] = viewer.exception_text(record)
        return True

    def _flush(self) -> Iterator[Dict[str, Any]]:
        if self.returned is not None:
            yield from self.returned[1]
            self.returned = None

    def _add(self, record: Dict[str, Any]) -> Iterator[Dict[str, Any]]:
        stamp = _stamp(record)
        if stamp is not None:
            self.first = stamp if self.first is None else min(self.first, stamp)
            self.last = stamp if self.last is None else max(self.last, stamp)
        site = record.get("user_code_call_site")
        parent = self.running.get(site.get("call_frame_id")) if isinstance(site, dict) else None
        low = parent.begin if parent is not None else (self.first if self.first is not None else self.start)
        if outside.label(record.get("type")) is not None:
            yield from self._operation(record, (parent.call or {}).get("path") if parent is not None else None, low)
            return
        if record.get("type") != "frame":
            yield self._instant(record, low)
            return
        frame_id = record.get("frame_id")
        if record.get("event") == "call":
            call = _Call(record, parent, low if stamp is None else max(stamp, low))
            if frame_id is not None:
                self.running[frame_id] = call
            self._siblings(parent)[id(call)] = call
            return
        call = self.running.pop(frame_id, None) if frame_id is not None else None
        if call is None:  # a return without its call starts with its caller
            call = _Call(None, parent, low)
            self._siblings(parent)[id(call)] = call
        call.ret = record
        if stamp is not None:
            self.returned = (frame_id, list(self._close(call, max(stamp, call.begin))))

    def _siblings(self, parent: Optional[_Call]) -> Dict[int, _Call]:
        if parent is None:
            return self.open_calls
        if parent.open_calls is None:
            parent.open_calls = {}
        return parent.open_calls

    def _close(self, call: _Call, end: float) -> Iterator[Dict[str, Any]]:
        """The events of ``call`` ending at ``end`` and of the calls under it
        that are still open, which end with it."""
        del self._siblings(call.parent)[id(call)]
        stack = [(call, end)]
        while stack:
            call, end = stack.pop()
            frame_id = (call.call or call.ret).get("frame_id")
            if frame_id is not None and self.running.get(frame_id) is call:
                del self.running[frame_id]
            yield self._complete(call, end)
            stack.extend((child, max(end, child.begin)) for child in (call.open_calls or {}).values())

    def _operation(self, record: Dict[str, Any], where: Any, low: float) -> Iterator[Dict[str, Any]]:
        """The event of an operation outside the user's code, once it is
        complete (``where``: the path of the call that issued it). One whose
        call was not recorded starts with its caller."""
        operation, started = self.pairing.add(record, where)
        if operation.category() == "log":
            yield self._instant(record, low, operation)
        elif started and self.pairing.open.get(record.get("frame_id")) is operation:  # its end may come
            self.begins[id(operation)] = _stamp(record) or low
        else:
            begin = self.begins.pop(id(operation), None) or _stamp(operation.call) or low
            yield self._span(operation, begin, _stamp(record) or begin)

    def _span(self, operation: outside.Operation, begin: float, end: float) -> Dict[str, Any]:
        ts = self.micros(begin)
        return {"name": outside.title(operation, NAME_WIDTH), "cat": operation.category(), "ph": "X", "ts": ts,
                "dur": round(max(0.0, self.micros(end) - ts), 3), "pid": _PID, "tid": self.tid,
                "args": _operation_args(operation)}

    def finish(self) -> Iterator[Dict[str, Any]]:
        """The events of the calls and operations still open at the end:
        they last until the thread's last record."""
        yield from self._flush()
        end = self.last if self.last is not None else self.start
        yield from self._unended(end)
        for call in list(self.open_calls.values()):
            yield from self._close(call, max(end, call.begin))

    def _unended(self, end: float) -> Iterator[Dict[str, Any]]:
        """The events of the operations whose end was not recorded, ending at ``end`` at the earliest."""
        for operation in self.pairing.finish():
            begin = self.begins.pop(id(operation))
            yield self._span(operation, begin, max(end, begin))

    def _complete(self, call: _Call, end: float) -> Dict[str, Any]:
        node = viewer.Node(call=call.call, ret=call.ret)
        ts = self.micros(call.begin)
        args = _frame_args(node)
        if call.resumed:
            args["resumed"] = "true"
        return {
            "name": node.name,
            "cat": "body" if node.is_body() else "call",
            "ph": "X",
            "ts": ts,
            "dur": round(self.micros(end) - ts, 3),
            "pid": _PID,
            "tid": self.tid,
            "args": args,
        }

    def _instant(self, record: Dict[str, Any], fallback: float,
                 operation: Optional[outside.Operation] = None) -> Dict[str, Any]:
        when = _stamp(record)
        return {
            "name": outside.title(operation, NAME_WIDTH) if operation else str(record.get("type", "interest")),
            "cat": operation.category() if operation else "interest",
            "ph": "i",
            "s": "t",
            "ts": self.micros(when if when is not None else fallback),
            "pid": _PID,
            "tid": self.tid,
            "args": _operation_args(operation) if operation else _interest_args(record),
        }


# Records that say more of the frame record before them: how it ended, or
# that it resumed a suspended frame.
_NOTES = ("exception", "suspension", "resumption")


def _frame_args(node: viewer.Node) -> Dict[str, Any]:
    args: Dict[str, Any] = {"path": str(node.record.get("path") or "")}
    local_values = node.call.get("locals") if node.call else None
    if isinstance(local_values, dict) and viewer.TAG not in local_values and not node.is_body():
        args["arguments"] = {
            str(key): viewer.format_value(value, VALUE_WIDTH) for key, value in local_values.items() if key != "__class__"
        }
    if node.ret is not None and not node.is_body():
        args["return"] = viewer.format_value(node.ret.get("arg"), VALUE_WIDTH)
    return args


def _interest_args(record: Dict[str, Any]) -> Dict[str, Any]:
    skipped = ("frame_id", "timestamp", "thread", "thread_native_id", "user_code_call_site", "type")
    return {str(key): viewer.format_value(value, VALUE_WIDTH) for key, value in record.items() if key not in skipped}


def _operation_args(operation: outside.Operation) -> Dict[str, Any]:
    """What the operation's records hold: texts, numbers and headers as
    they are, other values (SQL parameters) as text; and its user line."""
    args: Dict[str, Any] = {}
    for key, value in operation.data().items():
        plain = value is None or isinstance(value, (str, int, float, bool)) or (
            isinstance(value, dict) and viewer.TAG not in value and all(isinstance(item, str) for item in value.values()))
        args[str(key)] = value if plain else viewer.format_value(value, VALUE_WIDTH)
    site = operation.site(whole_path=True)
    if site:
        args["site"] = site
    return args


class _Threads:
    """The threads of a trace, told apart by native id and name, in the
    order the document's readers expect: those of its main list
    (frames_of_interest) first, though that list comes after the others."""

    def __init__(self, start: float) -> None:
        self.start = start
        self.found: Dict[Tuple[Any, Any], _Thread] = {}
        self.in_main = 0
        # Main-list records without a native id are the main thread's, whose
        # id the document gives after them: they wait for it.
        self.waiting: List[Dict[str, Any]] = []
        self.splitter = Splitter()
        self.tasks: Dict[Tuple[int, str], Tuple[_Thread, Task]] = {}  # by (thread's tid, task key)
        self.task_tracks: Dict[int, List[Tuple[_Thread, Task]]] = {}  # by thread's tid, in order of appearance

    def add(self, record: Dict[str, Any], fallback: Any) -> Iterator[Dict[str, Any]]:
        in_main = fallback is viewer.MAIN_LIST
        if in_main and "thread_native_id" not in record:
            self.waiting.append(record)
            return iter(())
        return self._route(record, fallback, in_main)

    def _route(self, record: Dict[str, Any], fallback: Any, in_main: bool) -> Iterator[Dict[str, Any]]:
        """The record's events, on its thread's track or its task's."""
        thread = self._thread(record, fallback, in_main)
        keep, task = self.splitter.place(record, thread.tid)
        if not keep:
            return iter(())
        if task is not None:
            found = self.tasks.get((thread.tid, task.key))
            if found is None:
                track = _Thread(TASK_TIDS + len(self.tasks), task.name, self.start)
                found = self.tasks[(thread.tid, task.key)] = (track, task)
                self.task_tracks.setdefault(thread.tid, []).append(found)
            thread = found[0]
        return thread.add(record)

    def _thread(self, record: Dict[str, Any], fallback: Any, in_main: bool) -> _Thread:
        native_id = record.get("thread_native_id", fallback)
        name = record.get("thread")
        thread = self.found.get((native_id, name))
        if thread is None:
            # A thread without a native id is numbered by its place; the
            # recorder puts such threads in the main list, where it is known.
            tid = native_id if isinstance(native_id, int) and not isinstance(native_id, bool) else (
                (self.in_main if in_main else len(self.found)) + 1)
            thread = _Thread(tid, str(name) if name is not None else "thread", self.start)
            thread.place = (1, len(self.found))
            self.found[(native_id, name)] = thread
        if in_main and thread.place[0] == 1:
            thread.place = (0, self.in_main)
            self.in_main += 1
        return thread

    def finish(self, main_thread_id: Any) -> Iterator[Dict[str, Any]]:
        """The waiting records' events, those of the calls still open, and each thread's metadata."""
        for record in self.waiting:
            yield from self._route(record, main_thread_id, True)
        for thread in self.found.values():
            yield from thread.finish()
        for track, _ in self.tasks.values():
            yield from track.finish()
        order = 0
        for thread in sorted(self.found.values(), key=lambda thread: thread.place):
            tracks = [(thread, thread.name, None)] + [
                (track, "%s (%s)" % (task.name, thread.name), task) for track, task in self.task_tracks.get(thread.tid, ())]
            for track, name, task in tracks:
                args: Dict[str, Any] = {"name": name}
                yield {"name": "thread_name", "ph": "M", "pid": _PID, "tid": track.tid, "args": args}
                yield {"name": "thread_sort_index", "ph": "M", "pid": _PID, "tid": track.tid,
                       "args": {"sort_index": order}}
                order += 1
                if task is not None:
                    yield _task_event(task, track)


def _task_event(task: Task, track: _Thread) -> Dict[str, Any]:
    """What the task's track cannot show: where it was made, how long it waited, its end."""
    return {"name": task.title(), "cat": "task", "ph": "i", "s": "t", "pid": _PID, "tid": track.tid,
            "ts": track.micros(task.created if task.created is not None else (task.first or track.start)),
            "args": task.facts()}


def _start_of(document: Any) -> float:
    """The recording's start, which a document gives only after its records:
    as the database lists it for a trace it streams, else read from the
    document first (which must then be bytes, a dict or a seekable file)."""
    info = getattr(document, "info", None)
    if info is not None:
        return info.started if info.started is not None else 0.0
    if hasattr(document, "read") and not hasattr(document, "seek"):
        raise TypeError("a document read from a stream must come from sarn.db.open_trace")
    position = document.tell() if hasattr(document, "seek") else 0
    header: Dict[str, Any] = {}
    for kind, _, value in viewer.iter_document(document):
        if kind == "header":
            header = value
    if hasattr(document, "seek"):
        document.seek(position)
    return _stamp(header) or 0.0


def _event_text(event: Dict[str, Any], indent: Optional[int]) -> str:
    """An event's JSON text as it stands in the list of events."""
    text = json.dumps(event, ensure_ascii=False, indent=indent)
    return text.replace("\n", "\n" + " " * (2 * indent)) if indent else text


class _NativeHost:
    """What the native pass leaves to Python: values it does not format,
    frames of interest, operations outside the user's code (paired here,
    per track), and asyncio tasks (followed by a splitter here, which the
    pass tells the paths of the calls that made them)."""

    def __init__(self, write: Any, start: float, indent: Optional[int]) -> None:
        self.write = write
        self.start = start
        self.indent = indent
        self.splitter = Splitter()
        self.tracks: Dict[int, _Thread] = {}

    def _track(self, tid: int) -> _Thread:
        track = self.tracks.get(tid)
        if track is None:
            track = self.tracks[tid] = _Thread(tid, "", self.start)
        return track

    def _text(self, event: Dict[str, Any]) -> str:
        return _event_text(event, self.indent)

    @staticmethod
    def decode(data: bytes) -> Any:
        return msgpack.unpackb(data, raw=False, strict_map_key=False, unicode_errors="replace")

    @staticmethod
    def format_value(value: Any) -> str:
        return viewer.format_value(value, VALUE_WIDTH)

    @staticmethod
    def arguments(values: Dict[Any, Any]) -> Dict[str, str]:
        return {str(key): viewer.format_value(value, VALUE_WIDTH)
                for key, value in values.items() if key != "__class__"}

    @staticmethod
    def exception_text(record: Dict[str, Any]) -> str:
        return viewer.exception_text(record)

    def instant(self, tid: int, record: Dict[str, Any], low: float) -> str:
        return self._text(self._track(tid)._instant(record, low))

    def operation(self, tid: int, record: Dict[str, Any], where: Any, low: float) -> List[str]:
        return [self._text(event) for event in self._track(tid)._operation(record, where, low)]

    def unended(self, tid: int, end: float) -> List[str]:
        return [self._text(event) for event in self._track(tid)._unended(end)]

    def task(self, record: Dict[str, Any], tid: int, site_path: Optional[str]) -> str:
        return self.splitter.take(record, tid, site_path).key

    def task_raised(self, key: str, path: Optional[str]) -> None:
        task = self.splitter.tasks[key]
        if task._raised is None:
            task._raised = path

    def task_meta(self, key: str, tid: int) -> Tuple[str, str]:
        task = self.splitter.tasks[key]
        return task.name, self._text(_task_event(task, self._track(tid)))


try:
    from sarn._serialize import ChromePass as _ChromePass
except ImportError:  # a build without the extension: the events are made here
    _ChromePass = None


def _native(indent: Optional[int]) -> bool:
    """Whether the native pass writes the events (it indents by at least one space)."""
    return _ChromePass is not None and takes_sink() and (indent is None or indent > 0)


def _native_events(document: Any, start: float, progress: Any, header: Dict[str, Any], indent: Optional[int],
                   write: Any, pulse: bool = False) -> Iterator[int]:
    """Writes the events by the native pass, handing their text to
    ``write``; yields after each run of records when ``pulse``, and last
    the number of events written. ``header`` is filled as in :func:`_events`."""
    host = _NativeHost(write, start, indent)
    kinds = list(outside.CALLS) + list(outside.ENDS)
    native = _ChromePass(host, start, indent, kinds, viewer.MAIN_LIST)
    for kind, _, value in iter_document(document, progress, sink=native, pulse=pulse):
        if kind == "header":
            header.update(value)
        elif pulse:
            native.flush()
            yield 0
    _check_start(header, start)
    yield native.finish(header.get("main_thread_id"))


def _check_start(header: Dict[str, Any], start: float) -> None:
    if (_stamp(header) or 0.0) != start:
        raise viewer.TraceFormatError("its listing says it started at %r, its document at %r"
                                      % (start, header.get("timestamp")))


def _process_event(header: Dict[str, Any]) -> Dict[str, Any]:
    return {"name": "process_name", "ph": "M", "pid": _PID, "tid": 0,
            "args": {"name": ("sarn %s %s" % (_source(header) or "trace", _command(header))).strip()}}


def _native_chunks(document: Any, start: float, progress: Any, indent: Optional[int]) -> Iterator[str]:
    pieces = [_whole_object({}, indent)[0]]
    header: Dict[str, Any] = {}
    count = 0
    for count in _native_events(document, start, progress, header, indent, pieces.append, pulse=True):
        if sum(map(len, pieces)) >= CHUNK_SIZE:
            yield "".join(pieces)
            pieces.clear()
    separator = ",\n" + " " * (2 * indent) if indent else ", "
    pieces.append((separator if count else "") + _event_text(_process_event(header), indent))
    yield "".join(pieces) + _whole_object(header, indent)[1]


def json_chunks(document: Any, progress: Any = None, indent: Optional[int] = None) -> Iterator[str]:
    """The Trace Event Format object (``{"traceEvents": [...], ...}``) of a
    trace document (bytes, a dict, or a binary file such as
    :func:`sarn.db.open_trace` gives), as JSON text in chunks, read and
    written record by record; ``progress(bytes read)`` is called as the
    document is read. Damage raises :class:`sarn.viewer.TraceFormatError`,
    possibly after some chunks."""
    start = _start_of(document)
    if _native(indent):
        yield from _native_chunks(document, start, progress, indent)
        return
    # The text is what json.dumps gives for the whole object.
    separator = ",\n" + " " * (2 * indent) if indent else ", "
    pieces = [_whole_object({}, indent)[0]]
    size = 0
    header: Dict[str, Any] = {}
    for number, event in enumerate(_events(document, start, progress, header)):
        text = json.dumps(event, ensure_ascii=False, indent=indent)
        pieces.append((separator if number else "") + (text.replace("\n", separator[1:]) if indent else text))
        size += len(text)
        if size >= CHUNK_SIZE:
            yield "".join(pieces)
            pieces, size = [], 0
    yield "".join(pieces) + _whole_object(header, indent)[1]


def _events(document: Any, start: float, progress: Any, header: Dict[str, Any]) -> Iterator[Dict[str, Any]]:
    """The events of the document as its records come; ``header`` is filled
    with the document's other entries when they come, last."""
    threads = _Threads(start)
    for kind, fallback, value in viewer.iter_document(document, progress):
        if kind == "record":
            yield from threads.add(value, fallback)
        elif kind == "header":
            header.update(value)
    _check_start(header, start)
    yield from threads.finish(header.get("main_thread_id"))
    yield _process_event(header)


def _source(header: Dict[str, Any]) -> Any:
    meta = header.get("meta")
    return meta.get("source") if isinstance(meta, dict) else None


def _command(header: Dict[str, Any]) -> str:
    argv = header.get("command_line_args")
    return " ".join(str(arg) for arg in argv) if isinstance(argv, list) else ""


def _whole_object(header: Dict[str, Any], indent: Optional[int]) -> List[str]:
    """The JSON text of the object around the events, split where they go."""
    whole = {
        "traceEvents": ["\0"],
        "displayTimeUnit": "ms",
        "otherData": {"trace_id": header.get("trace_id"), "source": _source(header), "command": _command(header)},
    }
    return json.dumps(whole, ensure_ascii=False, indent=indent).split(json.dumps("\0"), 1)


def write_json(document: Any, out: Any, progress: Any = None, indent: Optional[int] = None) -> None:
    """Writes :func:`json_chunks` of the document to the text file ``out``
    (by the native pass straight into ``out`` when it is there)."""
    if not _native(indent):
        for chunk in json_chunks(document, progress, indent):
            out.write(chunk)
        return
    start = _start_of(document)
    out.write(_whole_object({}, indent)[0])
    header: Dict[str, Any] = {}
    count = 0
    for count in _native_events(document, start, progress, header, indent, out.write):
        pass
    separator = ",\n" + " " * (2 * indent) if indent else ", "
    out.write((separator if count else "") + _event_text(_process_event(header), indent)
              + _whole_object(header, indent)[1])


def trace_events(document: Any) -> Dict[str, Any]:
    """The Trace Event Format object of a trace document held in memory."""
    return json.loads("".join(json_chunks(document)))
