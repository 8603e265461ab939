"""The trace file: one stored trace in one file, to hand to someone else.

Layout (format version 1)::

    sarn-trace 1\\n                 format name and version, in ASCII
    {"trace_id": ..., ...}\\n       the header: one line of JSON (ASCII only)
    <one Zstandard frame>          the trace document, as the recorder built it

The header holds what the database keeps beside the document and cannot
read back from it: ``trace_id``, ``label``, ``created`` (when it was
saved), ``meta`` (a request's facts, or null), and ``size`` (the
document's length in bytes), ``codec`` ("zstd") and ``written_by``. The
frame carries its content size and a checksum, so that a damaged or cut
file is refused rather than stored.

A reader takes every version up to :data:`FORMAT_VERSION` (one reading
function each in ``_READERS``) and refuses a newer one by name, so that an
old sarn says "upgrade" instead of misreading a file.
"""

from __future__ import annotations

import json
from typing import Any, BinaryIO, Callable, Dict, NamedTuple, Optional

from sarn.version import __version__
from sarn.web.share.errors import ShareError

__all__ = ["FORMAT_NAME", "FORMAT_VERSION", "SUFFIX", "TraceFileError", "SharedTrace", "write", "read", "is_trace_file"]

FORMAT_NAME = b"sarn-trace"
FORMAT_VERSION = 1
SUFFIX = ".sarn"
#: Zstandard's level: smaller files than the database's level 1, still fast.
ZSTD_LEVEL = 6
#: The longest header line read, in bytes (a label and a request's facts).
HEADER_BYTES = 1 << 20
_CHUNK = 4 << 20


class TraceFileError(ShareError):
    """The file is not a trace file, is damaged, or is of a newer format."""

    usage = False


class SharedTrace(NamedTuple):
    """A trace read from a trace file: its header and document bytes."""

    header: Dict[str, Any]
    document: bytes

    @property
    def trace_id(self) -> str:
        return self.header["trace_id"]


def is_trace_file(start: bytes) -> bool:
    """True when ``start``, a file's first bytes, begin a trace file."""
    return start.startswith(FORMAT_NAME + b" ")


def write(stream: Any, handle: BinaryIO, progress: Optional[Callable[[int], None]] = None) -> None:
    """Writes the stored trace ``stream`` (a :class:`sarn.db.TraceStream`
    with its ``info``) to the binary file ``handle``, piece by piece."""
    import zstandard

    info = stream.info
    header = {
        "trace_id": stream.trace_id,
        "label": info.label,
        "created": info.created,
        "meta": info.meta,
        "size": stream.size,
        "codec": "zstd",
        "written_by": "sarn %s" % __version__,
    }
    handle.write(b"%s %d\n" % (FORMAT_NAME, FORMAT_VERSION))
    handle.write(json.dumps(header, ensure_ascii=True, sort_keys=True).encode("ascii") + b"\n")
    compressor = zstandard.ZstdCompressor(level=ZSTD_LEVEL, write_checksum=True, threads=-1)
    frame = compressor.compressobj(size=stream.size)
    done = 0
    while True:
        piece = stream.read(_CHUNK)
        if not piece:
            break
        handle.write(frame.compress(piece))
        done += len(piece)
        if progress is not None:
            progress(done)
    handle.write(frame.flush())


def read(handle: BinaryIO, name: str) -> SharedTrace:
    """The trace in the trace file ``handle`` (``name`` is said in errors);
    :class:`TraceFileError` when it is not one, is damaged or is newer."""
    first = handle.readline(64)
    if not is_trace_file(first):
        raise TraceFileError("%s is not a sarn trace file" % name)
    version_text = first[len(FORMAT_NAME) + 1:].strip()
    if not first.endswith(b"\n") or not version_text.isdigit():
        raise TraceFileError("%s is damaged: its first line names no format version" % name)
    version = int(version_text)
    reader = _READERS.get(version)
    if reader is None:
        raise TraceFileError(
            "%s is a trace file of format version %d, but this sarn reads versions 1 to %d: upgrade sarn"
            % (name, version, FORMAT_VERSION))
    return reader(handle, name)


def _read_v1(handle: BinaryIO, name: str) -> SharedTrace:
    header = _header(handle.readline(HEADER_BYTES + 1), name)
    if header.get("codec") != "zstd":
        raise TraceFileError("%s holds a document encoded as %r, which this sarn cannot read: upgrade sarn"
                             % (name, header.get("codec")))
    document = _decompress(handle, header["size"], name)
    from sarn import viewer

    try:
        found = viewer.decode_document(document).get("trace_id")
    except viewer.TraceFormatError as error:
        raise TraceFileError("%s is damaged: its compressed document cannot be read (%s)" % (name, error)) from None
    if found != header["trace_id"]:
        raise TraceFileError("%s is damaged: its header names trace %r, its document %r"
                             % (name, header["trace_id"], found))
    return SharedTrace(header, document)


def _header(line: bytes, name: str) -> Dict[str, Any]:
    """The header line, checked: the fields a reader relies on have their types."""
    if not line.endswith(b"\n"):
        raise TraceFileError("%s is damaged: its header is cut short or too long" % name)
    try:
        header = json.loads(line.decode("ascii"))
    except (UnicodeDecodeError, ValueError):
        raise TraceFileError("%s is damaged: its header is not JSON" % name) from None
    if not isinstance(header, dict):
        raise TraceFileError("%s is damaged: its header is not a JSON object" % name)
    expected = {"trace_id": str, "size": int, "created": (int, float), "label": (str, type(None)),
                "meta": (dict, type(None))}
    for key, kind in expected.items():
        if not isinstance(header.get(key), kind) or isinstance(header.get(key), bool):
            raise TraceFileError("%s is damaged: its header's %r is missing or of the wrong type" % (name, key))
    if not header["trace_id"] or header["size"] < 0:
        raise TraceFileError("%s is damaged: its header names no trace id or a negative size" % name)
    return header


def _decompress(handle: BinaryIO, size: int, name: str) -> bytes:
    """The document of ``size`` bytes in the rest of the file; refused when
    the frame is cut short, fails its checksum, holds more or is followed
    by anything."""
    import zstandard

    frame = zstandard.ZstdDecompressor().decompressobj()
    pieces = []
    held = 0
    try:
        while not frame.eof:
            data = handle.read(_CHUNK)
            if not data:
                raise TraceFileError("%s is damaged: it ends before its document does (cut short?)" % name)
            piece = frame.decompress(data)
            held += len(piece)
            if held > size:  # never hold more than the header promised
                raise TraceFileError("%s is damaged: its document is longer than its header says" % name)
            pieces.append(piece)
    except zstandard.ZstdError as error:
        raise TraceFileError("%s is damaged: its compressed document cannot be read (%s)" % (name, error)) from None
    if frame.unused_data or handle.read(1):
        raise TraceFileError("%s is damaged: it holds more bytes after its document" % name)
    if held != size:
        raise TraceFileError("%s is damaged: its document is shorter than its header says" % name)
    return b"".join(pieces)


_READERS: Dict[int, Callable[[BinaryIO, str], SharedTrace]] = {1: _read_v1}
