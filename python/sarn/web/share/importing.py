"""``sarn import``: stores a trace file into a trace database.

Two kinds of file are stored: a trace file written by ``sarn export ID -o
trace.sarn`` (:mod:`sarn.web.share.trace_file`), which keeps its label,
request facts and save time, and a bare trace document that a run kept
aside when its save failed (``.sarn/unsaved/ID.msgpack``), which is removed
once stored. Other files that sarn writes (a JSON or HTML export, a trace
database) are named in the refusal, since they cannot be stored back.

The file is read and checked whole before the database is opened for
writing, and the save is one transaction: a file that is refused leaves the
database as it was. A trace whose id is already stored is not stored twice:
the same recording is left as it is, and a different one is refused unless
``replace`` is asked for.
"""

from __future__ import annotations

import os
from typing import Any, BinaryIO, NamedTuple, Optional

from sarn import db
from sarn.web.share import trace_file
from sarn.web.share.errors import ShareError
from sarn.web.share.trace_file import SharedTrace, TraceFileError

__all__ = ["Imported", "ImportConflict", "import_file"]

_COMPARE_BYTES = 4 << 20
#: First bytes of a MessagePack map: the start of every trace document.
_MAP_STARTS = frozenset(range(0x80, 0x90)) | {0xDE, 0xDF}


class ImportConflict(ShareError):
    """Another recording is stored under the file's trace id."""


class Imported(NamedTuple):
    trace_id: str
    #: False when the same recording was already stored.
    stored: bool
    #: True for a document a failed save kept aside (removed once stored).
    kept: bool


def import_file(path: str, db_path: str, *, timeout: float, replace: bool = False) -> Imported:
    """Stores the trace in the file at ``path`` into the database at
    ``db_path``. Raises :class:`ShareError` when the file cannot be read or
    stored, and :class:`sarn.db.SarnDbError` when the database fails."""
    try:
        with open(path, "rb") as handle:
            shared, kept = _read(handle, path)
    except OSError as error:
        raise ShareError("cannot read %s: %s" % (path, error.strerror or error)) from None
    same = _stored_same(db_path, shared, timeout)
    if same is True:
        stored = False
    elif same is False and not replace:
        raise ImportConflict("%s: another recording is stored as trace %s in %s; nothing imported "
                             "(--replace replaces it)" % (path, shared.trace_id, db_path))
    else:
        header = shared.header
        db.save_trace_in_sqlite(db_path, shared.trace_id, timeout=timeout, msgpack=shared.document,
                                label=header.get("label"), meta=header.get("meta"), created=header.get("created"))
        stored = True
    if kept:
        try:
            os.remove(path)
        except OSError:
            pass  # stored all the same; the file is only left behind
    return Imported(shared.trace_id, stored, kept)


def _read(handle: BinaryIO, path: str) -> "tuple[SharedTrace, bool]":
    """The trace in the file, and whether it is a document kept aside."""
    start = handle.read(64)
    handle.seek(0)
    if trace_file.is_trace_file(start):
        return trace_file.read(handle, path), False
    if start and start[0] in _MAP_STARTS:
        return _kept_document(handle.read(), path), True
    raise TraceFileError(_not_a_trace_file(start, path))


def _kept_document(document: bytes, path: str) -> SharedTrace:
    from sarn import viewer

    try:
        trace_id = viewer.decode_document(document).get("trace_id")
    except viewer.TraceFormatError as error:
        raise TraceFileError("%s: %s" % (path, error)) from None
    if not isinstance(trace_id, str) or not trace_id:
        raise TraceFileError("%s: the trace document has no trace id" % path)
    return SharedTrace({"trace_id": trace_id}, document)


def _not_a_trace_file(start: bytes, path: str) -> str:
    """Why the file cannot be imported, naming what it seems to be."""
    text = start.lstrip(b"\xef\xbb\xbf \t\r\n")
    if not start:
        return "%s is empty" % path
    if start.startswith(b"SQLite format 3\x00"):
        return "%s is a trace database, not a trace file: read it with --db %s" % (path, path)
    if text[:1] in (b"{", b"["):
        return ("%s is a JSON export: it is for reading, and cannot be stored back (JSON loses the recorded "
                "values' types); to share a trace, export it with: sarn export ID -o trace%s"
                % (path, trace_file.SUFFIX))
    if text[:1] == b"<":
        return ("%s is an HTML export: it is for reading in a browser, and cannot be stored back; to share a "
                "trace, export it with: sarn export ID -o trace%s" % (path, trace_file.SUFFIX))
    return "%s is not a sarn trace file" % path


def _stored_same(db_path: str, shared: SharedTrace, timeout: float) -> Optional[bool]:
    """None when no trace of that id is stored, else whether the stored
    document is the file's, byte for byte."""
    try:
        stream = db.open_trace(db_path, shared.trace_id, timeout=timeout)
    except (db.DbMissingError, db.TraceNotFoundError):
        return None
    with stream:
        # open_trace also takes a prefix or "latest": only the same id counts.
        if stream.trace_id != shared.trace_id:
            return None
        return stream.size == len(shared.document) and _same_bytes(stream, shared.document)


def _same_bytes(stream: Any, document: bytes) -> bool:
    view = memoryview(document)
    at = 0
    while True:
        piece = stream.read(_COMPARE_BYTES)
        if not piece:
            return at == len(document)
        if view[at:at + len(piece)] != piece:
            return False
        at += len(piece)
