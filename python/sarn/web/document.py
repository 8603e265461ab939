"""The one reader of stored trace documents: ``sarn show``, ``sarn view``
and the exports read documents here.

A trace document is one MessagePack map (built by the recording core):

* "command_line_args": the recorded program's ``sys.argv``;
* "current_commit_sha": the git commit it ran from, or nil;
* "frames": {thread native id: [record, ...]} for threads other than the main
  thread (when threads are recorded);
* "frames_of_interest": [record, ...] of the main thread (of every recorded
  thread when threads are not followed);
* "main_thread_id", "timestamp" (recording start, seconds since the epoch),
  "trace_id", and "meta": {"version", "source", "use_frame_boundaries"}.

A record is either a frame record ("type" "frame": "path" (file:line),
"co_name", "qualname", "event" ("call" or "return"), "frame_id", "arg" (the
return value), "locals" (the arguments, on a call), "thread",
"thread_native_id", "timestamp", "user_code_call_site" ({"call_frame_id",
"line_number"} or nil)), a record that says more of the frame record before
it ("exception": the frame ended by an exception, with "exception" the
exception or nil; "suspension": the return was a yield or an await that
suspended the frame; "resumption": the call resumed a suspended frame; each
with "frame_id", "thread" and "thread_native_id"), or a frame of interest
made by a plugin (any other "type", such as "start_test" and "end_test", with
"frame_id", "timestamp", "thread", "thread_native_id", "user_code_call_site"
and the plugin's own keys). Values ("arg", "locals" and plugin data) are in
the shape described in :mod:`sarn.serialize`.

:func:`decode_document` decodes a whole document; :func:`iter_document`
reads one record at a time, so that a trace bigger than memory can be shown.
Both check each record's shape and raise :class:`TraceFormatError` saying
what is damaged where.
"""

from __future__ import annotations

import io
import struct
from typing import Any, Dict, Iterator, List, Tuple

import msgpack

from sarn.serialize import TAG

__all__ = ["TraceFormatError", "MAIN_LIST", "decode_document", "iter_document", "takes_sink", "thread_records",
           "CALL_FIELDS", "call_fields", "unpack_value"]


class TraceFormatError(ValueError):
    """The bytes are not a trace document."""


def decode_document(data: Any) -> Dict[str, Any]:
    """The decoded trace document (a dict), its shape checked; accepts bytes
    or an already decoded dict. A damaged document raises TraceFormatError
    saying what is wrong where."""
    if isinstance(data, dict):
        document = data
    else:
        try:
            document = msgpack.unpackb(bytes(data), raw=False, strict_map_key=False, unicode_errors="replace")
        except Exception as error:
            reason = str(error) or type(error).__name__
            raise TraceFormatError("not a trace document: %s" % reason) from None
    if not isinstance(document, dict):
        raise TraceFormatError("not a trace document: a %s, not a map" % type(document).__name__)
    _check_shape(document)
    return document


# The fields the viewer relies on, with the types each may have besides
# none: those of every record, and those of frame records only (a plugin's
# frames of interest carry payload keys of their own choosing).
_NUMBER = (int, float)
_RECORD_FIELDS = {"type": str, "frame_id": str, "thread": str, "thread_native_id": int,
                  "timestamp": _NUMBER, "user_code_call_site": dict}
_FRAME_FIELDS = {"event": str, "qualname": str, "co_name": str, "path": str}
_SITE_FIELDS = {"call_frame_id": str, "line_number": int}
_TYPE_NAMES = {str: "a text", int: "an integer", _NUMBER: "a number", dict: "a map"}


def _damaged(where: str, value: Any, expected: str) -> TraceFormatError:
    return TraceFormatError("damaged trace document: %s is %s %s, not %s"
                            % (where, "an" if type(value).__name__[0] in "aeiou" else "a", type(value).__name__, expected))


def _check_fields(record: Dict[str, Any], fields: Dict[str, Any], where: str) -> None:
    for key, types in fields.items():
        value = record.get(key)
        if value is not None and (type(value) is bool or not isinstance(value, types)):
            raise _damaged("%s.%s" % (where, key), value, _TYPE_NAMES[types])


def _check_records(records: Any, where: str) -> None:
    if not isinstance(records, list):
        raise _damaged(where, records, "a list")
    for index, record in enumerate(records):
        _check_record(record, "%s[%d]" % (where, index))


def _check_shape(document: Dict[str, Any]) -> None:
    """Raises TraceFormatError unless the records have the shape the viewer
    reads (ids that are texts, sites that are maps, ...)."""
    if "frames_of_interest" in document:
        _check_records(document["frames_of_interest"], "frames_of_interest")
    frames = document.get("frames", {})
    if not isinstance(frames, dict):
        raise _damaged("frames", frames, "a map")
    for native_id, records in frames.items():
        if not isinstance(native_id, (int, str)) or isinstance(native_id, bool):
            raise _damaged("a key of frames", native_id, "an integer")
        _check_records(records, "frames[%s]" % native_id)


def thread_records(document: Dict[str, Any]) -> List[Tuple[str, Any, List[Dict[str, Any]]]]:
    """The records of each thread as (thread name, native id, records), main
    thread first, each in recorded order."""
    groups: Dict[Any, Tuple[str, Any, List[Dict[str, Any]]]] = {}
    order: List[Any] = []

    def add(records: Any, fallback_id: Any) -> None:
        if not isinstance(records, list):
            return
        for record in records:
            if not isinstance(record, dict):
                continue
            native_id = record.get("thread_native_id", fallback_id)
            name = record.get("thread")
            key = (native_id, name)
            group = groups.get(key)
            if group is None:
                group = (str(name) if name is not None else "thread", native_id, [])
                groups[key] = group
                order.append(key)
            group[2].append(record)

    add(document.get("frames_of_interest"), document.get("main_thread_id"))
    frames = document.get("frames")
    if isinstance(frames, dict):
        for native_id, records in frames.items():
            add(records, native_id)
    return [groups[key] for key in order]


# --------------------------------------------------------------------------
# Reading record by record


def _source_stream(data: Any) -> Any:
    """A binary file reading the document ``data``: bytes, a decoded dict, or
    a binary file already (used as it is)."""
    if hasattr(data, "read"):
        return data
    if isinstance(data, dict):
        return io.BytesIO(msgpack.packb(data, use_bin_type=True))
    return io.BytesIO(bytes(data))


def _format_error(error: Exception) -> TraceFormatError:
    if isinstance(error, TraceFormatError):
        return error
    reason = str(error) or type(error).__name__
    return TraceFormatError("not a trace document: %s" % reason)


class _Reader:
    """A msgpack Unpacker fed from a binary file as it needs bytes: the
    reader used when the native extension is not there."""

    look: Any = None  # given every chunk read, when set

    def __init__(self, stream: Any, progress: Any) -> None:
        self.stream = stream
        self.progress = progress
        self.read = 0
        self.unpacker = _unpacker()

    def _refill(self) -> None:
        chunk = _next_chunk(self)
        self.unpacker.feed(chunk)

    def _with_data(self, method: Any) -> Any:
        while True:
            try:
                return method(self.unpacker)
            except msgpack.OutOfData:
                self._refill()

    def call(self, method: Any) -> Any:
        try:
            return self._with_data(method)
        except ValueError as error:
            raise _format_error(error) from None

    def header(self, method: Any, where: str, expected: str) -> int:
        """A map or array header; anything else there is damage."""
        try:
            return self._with_data(method)
        except ValueError as error:
            if "Unexpected type" not in str(error):
                raise _format_error(error) from None
        value = self.call(_UNPACK)
        if where == "":
            raise TraceFormatError("not a trace document: %s %s, not a map"
                                   % ("an" if type(value).__name__[0] in "aeiou" else "a", type(value).__name__))
        raise _damaged(where, value, expected)

    def records(self, count: int, where: str) -> Iterator[Any]:
        """The next ``count`` records, each checked."""
        for index in range(count):
            record = self.call(_UNPACK)
            _check_record(record, "%s[%d]" % (where, index))
            yield record


class _CallReader(_Reader):
    """A :class:`_Reader` that gives frame records as call tuples."""

    def records(self, count: int, where: str) -> Iterator[Any]:
        for record in super().records(count, where):
            yield call_fields(record) if record.get("type") == "frame" else record


class _NativeReader(_Reader):
    """Reads the document's bytes into a buffer of its own: runs of records
    are decoded by the native extension, many a call; anything it leaves
    (headers, keys, a record across two reads, one it cannot judge) is read
    by a msgpack Unpacker fed from the buffer, which also raises what the
    damage is."""

    def __init__(self, stream: Any, progress: Any, calls: bool = False) -> None:
        self.stream = stream
        self.progress = progress
        self.read = 0
        self.data = b""
        self.position = 0
        self.calls = calls

    def _with_data(self, method: Any) -> Any:
        unpacker = _unpacker()
        fed, window = self.position, 1 << 16
        while True:
            if fed < len(self.data):
                unpacker.feed(self.data[fed:fed + window])
                fed, window = min(fed + window, len(self.data)), window * 2
            try:
                value = method(unpacker)
            except msgpack.OutOfData:
                if fed >= len(self.data):
                    fed -= self.position
                    chunk = _next_chunk(self)
                    self.data = self.data[self.position:] + chunk
                    self.position = 0
                continue
            self.start = self.position
            self.position += unpacker.tell()
            return value

    def records(self, count: int, where: str) -> Iterator[Any]:
        index = 0
        while index < count:
            if self.calls:
                batch, end = _unpack_calls(self.data, self.position, min(count - index, _BATCH), TAG)
            else:
                batch, end = _unpack_records(self.data, self.position, min(count - index, _BATCH))
            if batch:
                self.position = end
                index += len(batch)
                yield from batch
                continue
            record = self.call(_UNPACK)
            _check_record(record, "%s[%d]" % (where, index))
            index += 1
            yield call_fields(record) if self.calls and record.get("type") == "frame" else record


    def feed(self, sink: Any, count: int, where: str, fallback: Any) -> Iterator[None]:
        """Hands the next ``count`` records to the native ``sink`` as bytes,
        many a call, yielding after each run. A record it leaves (one across
        two reads, one it cannot judge) is decoded and checked here, which
        says what is damaged where, then handed to it on its own."""
        index = 0
        while index < count:
            taken, end = sink.feed(self.data, self.position, count - index, fallback, False)
            if taken:
                self.position = end
                index += taken
                yield
                continue
            record = self.call(_UNPACK)
            _check_record(record, "%s[%d]" % (where, index))
            taken, _ = sink.feed(self.data[self.start:self.position], 0, 1, fallback, True)
            if taken != 1:
                raise TraceFormatError("damaged trace document: %s[%d] cannot be read" % (where, index))
            index += 1


try:
    from sarn._serialize import unpack_calls as _unpack_calls
    from sarn._serialize import unpack_records as _unpack_records
except ImportError:  # a build without the extension: msgpack alone
    _unpack_records = _unpack_calls = None

_BATCH = 4096  # records decoded per native call
_UNPACK = msgpack.Unpacker.unpack


def _unpacker() -> Any:
    return msgpack.Unpacker(raw=False, strict_map_key=False, unicode_errors="replace", max_buffer_size=1 << 30)


def _next_chunk(reader: Any) -> bytes:
    chunk = reader.stream.read(1 << 20)
    if not chunk:
        raise TraceFormatError("not a trace document: %s" % ("it is empty" if not reader.read else "it ends early"))
    reader.read += len(chunk)
    if reader.look is not None:
        reader.look(chunk)
    if reader.progress is not None:
        reader.progress(reader.read)
    return chunk


def _open_reader(data: Any, progress: Any, calls: bool) -> _Reader:
    stream = _source_stream(data)
    if _unpack_records is None:
        return _CallReader(stream, progress) if calls else _Reader(stream, progress)
    return _NativeReader(stream, progress, calls)


def iter_document(data: Any, progress: Any = None, sink: Any = None,
                  calls: bool = False, pulse: bool = False, look: Any = None) -> Iterator[Tuple[str, Any, Any]]:
    """The document decoded record by record, holding one record at a time:
    ("record", fallback native id, record) for every record in stored order
    (the fallback is MAIN_LIST for those of the main list, frames_of_interest),
    each list announced by ("list", fallback native id, length) and the
    threads' map by ("threads", None, length); last ("header", None, {key:
    value}) with the document's other entries. Each record's shape is
    checked as it comes: damage raises TraceFormatError. ``progress(bytes
    read)`` is called as the document is read.

    With a ``sink`` (a native pass, such as sarn._serialize.ShowPass), the
    records are not yielded but handed to it as bytes, checked as they
    would be here; the lists, threads and header are still yielded. The
    caller checks :func:`takes_sink` first. With ``pulse`` too, ("fed",
    None, None) is yielded after each run of records handed to the sink, so
    that what it wrote can be taken on the way.

    With ``calls``, each frame record comes as the tuple of
    :func:`call_fields` instead: its call's fields, its values left as
    MessagePack bytes (decoded by :func:`unpack_value` when needed), so that
    a reader of calls pays for the values it looks at only.

    ``look(chunk)`` is given every chunk of the document's bytes as it is
    read, to the end of the file (past the document, if anything follows),
    so that a scan of the bytes costs no read of its own."""
    reader = _open_reader(data, progress, calls)
    reader.look = look
    if sink is not None and not isinstance(reader, _NativeReader):
        raise TypeError("records go to a native pass only through the native reader")
    header: Dict[str, Any] = {}
    for _ in range(reader.header(msgpack.Unpacker.read_map_header, "", "a map")):
        key = reader.call(_UNPACK)
        if key == "frames_of_interest":
            count = reader.header(msgpack.Unpacker.read_array_header, "frames_of_interest", "a list")
            yield "list", MAIN_LIST, count
            if sink is not None:
                for _ in reader.feed(sink, count, "frames_of_interest", MAIN_LIST):  # type: ignore[attr-defined]
                    if pulse:
                        yield "fed", None, None
                continue
            for record in reader.records(count, "frames_of_interest"):
                yield "record", MAIN_LIST, record
        elif key == "frames":
            threads = reader.header(msgpack.Unpacker.read_map_header, "frames", "a map")
            yield "threads", None, threads
            for _ in range(threads):
                native_id = reader.call(_UNPACK)
                if not isinstance(native_id, (int, str)) or isinstance(native_id, bool):
                    raise _damaged("a key of frames", native_id, "an integer")
                where = "frames[%s]" % native_id
                count = reader.header(msgpack.Unpacker.read_array_header, where, "a list")
                yield "list", native_id, count
                if sink is not None:
                    for _ in reader.feed(sink, count, where, native_id):  # type: ignore[attr-defined]
                        if pulse:
                            yield "fed", None, None
                    continue
                for record in reader.records(count, where):
                    yield "record", native_id, record
        else:
            header[key] = reader.call(_UNPACK)
    if look is not None:
        for chunk in iter(lambda: reader.stream.read(1 << 20), b""):
            look(chunk)
    yield "header", None, header


def takes_sink() -> bool:
    """Whether :func:`iter_document` can hand records to a native pass
    (the native extension is there)."""
    return _unpack_records is not None


# The fallback native id of main-list records: the document's
# "main_thread_id", known only once the whole document is read.
MAIN_LIST = object()


#: The fields of a frame record as :func:`call_fields` gives them, in order.
CALL_FIELDS = ("event", "frame_id", "qualname", "co_name", "path", "thread", "thread_native_id", "timestamp",
               "call_frame_id", "line_number", "locals", "arg")


def _pack(value: Any) -> bytes:
    return msgpack.packb(value, use_bin_type=True)


def call_fields(record: Dict[str, Any]) -> Tuple[Any, ...]:
    """A checked frame record as the tuple of ``CALL_FIELDS``: "locals" as
    ((name, value bytes), ...) when they are a plain map of text keys, as the
    bytes of the whole value otherwise (None when absent or nil); "arg" as
    its bytes (None when absent). The native reader makes the same tuples
    straight from the document's bytes."""
    site = record.get("user_code_call_site")
    values = record.get("locals")
    if values is not None:
        if isinstance(values, dict) and TAG not in values and all(type(name) is str for name in values):
            values = tuple((name, _pack(value)) for name, value in values.items())
        else:
            values = _pack(values)
    return (record.get("event"), record.get("frame_id"), record.get("qualname"), record.get("co_name"),
            record.get("path"), record.get("thread"), record.get("thread_native_id"), record.get("timestamp"),
            site.get("call_frame_id") if site is not None else None,
            site.get("line_number") if site is not None else None,
            values, _pack(record["arg"]) if "arg" in record else None)


def unpack_value(data: bytes) -> Any:
    """A value of a call tuple decoded, as the record reader decodes values."""
    # Numbers, None and booleans (most arguments) without an Unpacker made for each.
    single = _SINGLE_BYTE.get(data)
    if single is not None:
        return single[0]
    number = _NUMBERS.get(data[0]) if data else None
    if number is not None and len(data) == number.size + 1:
        return number.unpack_from(data, 1)[0]
    try:
        return msgpack.unpackb(data, raw=False, strict_map_key=False, unicode_errors="replace")
    except Exception as error:
        raise _format_error(error) from None


# The values whose MessagePack form is one byte (as 1-tuples: None is one).
_SINGLE_BYTE = {bytes([head]): (head,) for head in range(0x80)}
_SINGLE_BYTE.update({bytes([head]): (head - 0x100,) for head in range(0xe0, 0x100)})
_SINGLE_BYTE.update({b"\xc0": (None,), b"\xc2": (False,), b"\xc3": (True,), b"\xa0": ("",)})
# The heads of fixed-size numbers, and their big-endian layouts.
_NUMBERS = {0xca: struct.Struct(">f"), 0xcb: struct.Struct(">d"), 0xcc: struct.Struct(">B"), 0xcd: struct.Struct(">H"),
            0xce: struct.Struct(">I"), 0xcf: struct.Struct(">Q"), 0xd0: struct.Struct(">b"), 0xd1: struct.Struct(">h"),
            0xd2: struct.Struct(">i"), 0xd3: struct.Struct(">q")}


def _check_record(record: Any, where: str) -> None:
    if not isinstance(record, dict):
        raise _damaged(where, record, "a map")
    _check_fields(record, _RECORD_FIELDS, where)
    if record.get("type") == "frame":
        _check_fields(record, _FRAME_FIELDS, where)
    site = record.get("user_code_call_site")
    if site is not None:
        _check_fields(site, _SITE_FIELDS, where + ".user_code_call_site")
