"""SQLite storage of trace documents.

One table, ``traces``, holds one row per trace id: the trace document (the
MessagePack bytes the recording core built) and a few facts decoded from it
once, when it is saved, so that listing traces never decodes documents:

=============  ==========================================================
id             the trace id (primary key)
created        when the trace was saved, seconds since the Unix epoch
started        the document's "timestamp": when the recording started
source         the document's meta "source" ("run", "pytest", "python", ...)
label          what was recorded: the test's node id for a test trace,
               otherwise the command line
frame_count    the number of recorded calls (frame records of event "call",
               less those that resume a suspended generator or coroutine)
record_count   the number of records of any type
thread_count   the number of threads with records
size           the document's size in bytes (before compression)
document       the first ``PART_SIZE`` bytes of the stored document
meta           facts the recorder knew beside the document, as a JSON
               object (a web request's method, path, status and
               duration), or NULL
codec          how the stored bytes encode the document: NULL for the
               document itself, "zstd" for one Zstandard stream of it
sql_count      the number of SQL queries (records of type "sql_query")
sql_time       their total time in seconds (each end record's timestamp
               less its query's), or NULL for both when not known
indexed        the version of the trace's rows in ``trace_calls``
               (``INDEX_VERSION``; 1: without ``texts``), NULL when it has
               none (saved before that table existed, or too big to be
               held whole when saved)
=============  ==========================================================

``trace_calls`` is the index that ``sarn find`` reads before any document:
one row per trace and qualified name called in it (id, qualname, calls: how
many, slowest: the longest duration in seconds, raised: a JSON list of the
exception types its calls raised, numbers: a JSON map of each argument name
to the least and greatest number passed in it, null when none was a number;
texts: a JSON map of each argument name to the digests of the distinct
texts passed in it, null when they cannot be told; both NULL when the
arguments are not known by name). It is written by the save from the
document's bytes (see :mod:`sarn.web.compare.index`), up to ``INDEX_BYTES``
for a document taken from the recorder, and by a search for a trace it had
to read whole (one stored without an index, or with one of an older
version).

A document taken from the recorder comes with its facts, its SQL queries
included, counted while recording, and is read piece by piece, so that a
trace bigger than memory is compressed and written away whole; the facts of
other documents are read from their bytes by a native walk that builds no
Python objects (``sarn._serialize.document_facts``). Either way a save costs
about what compressing, indexing and writing the bytes cost. A taken
document up to ``INDEX_BYTES`` long is indexed as its bytes go by; a longer
one is stored without its call index (a search reads it whole).

Documents are stored compressed with Zstandard (level ``ZSTD_LEVEL``: on
recorded traces it makes them about twenty times smaller at well over
1 GB/s), the codec noted per row so that rows written before compression
read as they are.

SQLite refuses a value longer than its length limit (a billion bytes by
default), so longer stored bytes are cut into parts of ``PART_SIZE`` bytes: the
first in ``traces.document``, the others in ``trace_parts`` (id, part number
from 1, data). :func:`load_trace` joins and decompresses them again;
:func:`open_trace` reads them part by part, so that a reader of a big trace
holds one part at a time.

A save is one SQLite transaction: a writer killed in the middle of it leaves
the rollback journal, which the next connection uses to put the database
back as it was, so the trace is then either whole or absent.

The schema's version is kept in ``PRAGMA user_version`` (``SCHEMA_VERSION``).
Readers read every version up to theirs (version 1 has no ``trace_parts``,
versions 1 and 2 no ``meta``, versions 1 to 3 no ``codec``, versions 1 to 4
no ``sql_count`` and ``sql_time``, versions 1 to 5 no ``indexed`` and
``trace_calls``, version 6 no ``trace_calls.texts``);
the first save into a database of an older version migrates it forward
(``MIGRATIONS``), inside the save's transaction; a database written by a newer
release is refused with :class:`DbSchemaError` instead of being misread. Saving a trace id that is already stored replaces that trace.

:class:`TraceBatch` saves many traces with few transactions: each commit of
SQLite waits for the disk several times, which would cost more than a short
test itself.

Every failure is raised as a :class:`SarnDbError` subclass with a one-line
message: :class:`DbMissingError`, :class:`DbLockedError`,
:class:`DbCorruptError`, :class:`DbSchemaError`, :class:`TraceNotFoundError`.
"""

from __future__ import annotations

import contextlib
import json
import os
import sqlite3
import sqlite3.dbapi2
import tempfile
import threading
import time
from typing import Any, Callable, Dict, Iterable, Iterator, List, NamedTuple, Optional, Sequence, Tuple, Union

import msgpack as _msgpack

try:
    import zstandard as _zstd
except ImportError:  # a broken install: documents are then stored as they are
    _zstd = None

# The store's own connections: ``sqlite3.connect`` makes connections whose
# statements a recording shows (see sarn.integrations.outside), and the
# store's own statements are not the program's.
_connect = sqlite3.dbapi2.connect

__all__ = [
    "SCHEMA_VERSION",
    "INDEX_VERSION",
    "SarnDbError",
    "DbMissingError",
    "DbLockedError",
    "DbCorruptError",
    "DbSchemaError",
    "TraceNotFoundError",
    "TraceInfo",
    "TraceBatch",
    "save_trace_in_sqlite",
    "write_traces",
    "list_traces",
    "parent_of",
    "descendants",
    "load_trace",
    "get_trace_info",
    "open_trace",
    "indexed_calls",
    "save_call_index",
]

SCHEMA_VERSION = 7
#: The version of the call index a save writes (``traces.indexed``); a
#: search that reads a trace whose index is older stores it again.
INDEX_VERSION = 2

#: The largest piece of a stored document in one row, in bytes.
PART_SIZE = 8 * 1024 * 1024
#: Zstandard's level for stored documents: level 1 compresses recorded
#: traces better than level 3 here, and faster.
ZSTD_LEVEL = 1
#: Compression runs on every core (the frames read as from one thread).
ZSTD_THREADS = -1
#: Bytes of a document too big to hold read and compressed at a time.
_COMPRESS_SLICE = 4 * 1024 * 1024
#: A big document's compressed bytes wait in memory up to this size before
#: the save goes on in a temporary file.
SPOOL_BYTES = 32 * 1024 * 1024
#: A document taken from the recorder is held whole, to index its calls,
#: up to this size.
INDEX_BYTES = 32 * 1024 * 1024
#: A taken document at least this long is indexed on a thread of its own
#: while it is compressed.
_ALONGSIDE_BYTES = 1024 * 1024
#: A :class:`TraceBatch` is written when it holds this many traces or bytes,
#: or when its oldest trace has waited this many seconds.
BATCH_TRACES = 50
BATCH_BYTES = 32 * 1024 * 1024
#: A document taken from the recorder larger than this is stored on its own,
#: streamed, rather than read whole into a batch.
TAKEN_BATCH_BYTES = 8 * 1024 * 1024
BATCH_SECONDS = 1.0
#: Seconds that readers wait for a writer to finish.
READ_TIMEOUT = 10.0

_LABEL_LIMIT = 200

_CALLS_TABLE = """CREATE TABLE IF NOT EXISTS trace_calls (
    id TEXT NOT NULL,
    qualname TEXT NOT NULL,
    calls INTEGER NOT NULL,
    slowest REAL,
    raised TEXT,
    numbers TEXT,
    texts TEXT,
    PRIMARY KEY (id, qualname)
)"""
# The table as version 6 made it: the migration from version 5 makes it so,
# and the one from 6 adds ``texts``.
_CALLS_TABLE_6 = _CALLS_TABLE.replace("    texts TEXT,\n", "")
_CALLS_BY_NAME = "CREATE INDEX IF NOT EXISTS trace_calls_qualname ON trace_calls (qualname)"

_PARTS_TABLE = """CREATE TABLE IF NOT EXISTS trace_parts (
    id TEXT NOT NULL,
    part INTEGER NOT NULL,
    data BLOB NOT NULL,
    PRIMARY KEY (id, part)
)"""

# Run one by one inside the writer's transaction (executescript would commit it).
_SCHEMA_STATEMENTS = (
    """CREATE TABLE IF NOT EXISTS traces (
    id TEXT PRIMARY KEY NOT NULL,
    created REAL NOT NULL,
    started REAL,
    source TEXT,
    label TEXT,
    frame_count INTEGER,
    record_count INTEGER,
    thread_count INTEGER,
    size INTEGER NOT NULL,
    document BLOB NOT NULL,
    meta TEXT,
    codec TEXT,
    sql_count INTEGER,
    sql_time REAL,
    indexed INTEGER
)""",
    "CREATE INDEX IF NOT EXISTS traces_created ON traces (created)",
    _PARTS_TABLE,
    _CALLS_TABLE,
    _CALLS_BY_NAME,
)

#: Statements that bring a database from schema version N to N + 1, run by
#: the first writer that opens it.
MIGRATIONS: Dict[int, Tuple[str, ...]] = {
    1: (_PARTS_TABLE,),
    2: ("ALTER TABLE traces ADD COLUMN meta TEXT",),
    3: ("ALTER TABLE traces ADD COLUMN codec TEXT",),
    4: ("ALTER TABLE traces ADD COLUMN sql_count INTEGER", "ALTER TABLE traces ADD COLUMN sql_time REAL"),
    5: ("ALTER TABLE traces ADD COLUMN indexed INTEGER", _CALLS_TABLE_6, _CALLS_BY_NAME),
    6: ("ALTER TABLE trace_calls ADD COLUMN texts TEXT",),
}

PathLike = Union[str, "os.PathLike[str]"]


class SarnDbError(Exception):
    """A trace database cannot be used as asked."""


class DbMissingError(SarnDbError):
    """The database file does not exist."""


class DbLockedError(SarnDbError):
    """Another process kept the database locked for longer than the time-out."""


class DbCorruptError(SarnDbError):
    """The file is not a sarn trace database, or it is damaged."""


class DbSchemaError(SarnDbError):
    """The database was written by a newer release of sarn."""


class TraceNotFoundError(SarnDbError):
    """No stored trace matches the id asked for."""


class TraceInfo(NamedTuple):
    """One stored trace, as listed (the document itself is not loaded)."""

    id: str
    created: float
    started: Optional[float]
    source: Optional[str]
    label: Optional[str]
    frame_count: Optional[int]
    record_count: Optional[int]
    thread_count: Optional[int]
    size: int
    meta: Optional[Dict[str, Any]] = None
    sql_count: Optional[int] = None
    sql_time: Optional[float] = None
    indexed: int = 0  # the version of its call index, 0 when it has none


_INFO_COLUMNS = "id, created, started, source, label, frame_count, record_count, thread_count, size"


def _info_columns(version: int) -> str:
    return _INFO_COLUMNS + (", meta" if version >= 3 else ", NULL") + (
        ", sql_count, sql_time" if version >= 5 else ", NULL, NULL") + (", indexed" if version >= 6 else ", NULL")


def _info(row: Tuple[Any, ...]) -> TraceInfo:
    meta = None
    if row[-4] is not None:
        try:
            meta = json.loads(row[-4])
        except ValueError:
            pass
    return TraceInfo(*row[:-4], meta if isinstance(meta, dict) else None, row[-3], row[-2], row[-1] or 0)


def _translate(error: sqlite3.Error, path: str, timeout: float) -> SarnDbError:
    text = str(error)
    lowered = text.lower()
    if "locked" in lowered or "busy" in lowered:
        return DbLockedError(
            "database %s is locked by another process (waited %g s): %s" % (path, timeout, text)
        )
    if isinstance(error, sqlite3.DatabaseError) and (
        "not a database" in lowered or "malformed" in lowered or "corrupt" in lowered or "no such table" in lowered
    ):
        return DbCorruptError("%s is not a sarn trace database or is damaged: %s" % (path, text))
    if "unable to open" in lowered:
        return SarnDbError("cannot open database %s: %s" % (path, text))
    return SarnDbError("database %s: %s" % (path, text))


def _check_schema(connection: sqlite3.Connection, path: str, *, create: bool) -> int:
    """The database's schema version, after creating or migrating it for a writer."""
    version = connection.execute("PRAGMA user_version").fetchone()[0]
    if version > SCHEMA_VERSION:
        raise DbSchemaError(
            "database %s has schema version %d, but this sarn reads at most version %d; upgrade sarn"
            % (path, version, SCHEMA_VERSION)
        )
    if version == SCHEMA_VERSION or (version > 0 and not create):
        return version
    if version > 0:
        for step in range(version, SCHEMA_VERSION):
            for statement in MIGRATIONS.get(step, ()):
                connection.execute(statement)
        connection.execute("PRAGMA user_version = %d" % SCHEMA_VERSION)
        return SCHEMA_VERSION
    tables = [row[0] for row in connection.execute("SELECT name FROM sqlite_master WHERE type = 'table'")]
    if tables:
        raise DbCorruptError("%s is not a sarn trace database (it holds other tables)" % path)
    if not create:
        # An empty file: the first save is creating the database right now,
        # or one that failed left it behind.
        raise DbMissingError("no traces in %s yet (the database is still empty)" % path)
    for statement in _SCHEMA_STATEMENTS:
        connection.execute(statement)
    connection.execute("PRAGMA user_version = %d" % SCHEMA_VERSION)
    return SCHEMA_VERSION


def _make_parent(path: str) -> None:
    parent = os.path.dirname(os.path.abspath(path))
    if os.path.isdir(parent):
        return
    os.makedirs(parent, exist_ok=True)
    if os.path.basename(parent) == ".sarn":
        # Keep recorded traces out of version control.
        try:
            with open(os.path.join(parent, ".gitignore"), "x", encoding="utf-8") as handle:
                handle.write("*\n")
        except OSError:
            pass


def _summarise(document: bytes) -> Dict[str, Any]:
    """The listing facts of a trace document; unknown facts are None."""
    try:
        from sarn import _serialize
    except ImportError:
        return _summarise_decoded(document)
    found = _serialize.document_facts(document)
    facts = _unknown_facts()
    if found is None:
        return facts
    for key in ("started", "source", "frame_count", "record_count", "thread_count", "sql_time"):
        facts[key] = found[key]
    facts["sql_count"] = found["other_types"].get("sql_query", 0)
    if found["test_name"] is not None:
        facts["label"] = found["test_name"][:_LABEL_LIMIT]
    elif found["argv"]:
        facts["label"] = " ".join(found["argv"])[:_LABEL_LIMIT]
    return facts


def _unknown_facts() -> Dict[str, Any]:
    return dict.fromkeys(("started", "source", "label", "frame_count", "record_count", "thread_count", "sql_count",
                          "sql_time"))


def _summarise_decoded(document: bytes) -> Dict[str, Any]:
    """:func:`_summarise` by decoding the whole document (without the native module)."""
    facts = _unknown_facts()
    try:
        decoded = _msgpack.unpackb(document, raw=False, strict_map_key=False)
    except Exception:
        return facts
    if not isinstance(decoded, dict):
        return facts
    timestamp = decoded.get("timestamp")
    if isinstance(timestamp, (int, float)) and not isinstance(timestamp, bool):
        facts["started"] = float(timestamp)
    meta = decoded.get("meta")
    if isinstance(meta, dict) and isinstance(meta.get("source"), str):
        facts["source"] = meta["source"]
    lists = []
    main = decoded.get("frames_of_interest")
    if isinstance(main, list):
        lists.append(main)
    frames = decoded.get("frames")
    if isinstance(frames, dict):
        lists.extend(value for value in frames.values() if isinstance(value, list))
    calls = records = 0
    threads = set()
    test_name = None
    query_starts: Dict[Any, Any] = {}
    facts["sql_count"], facts["sql_time"] = 0, 0.0
    for records_of_list in lists:
        for record in records_of_list:
            records += 1
            if not isinstance(record, dict):
                continue
            kind = record.get("type")
            if kind in ("sql_query", "sql_query_end"):
                _add_query(facts, query_starts, kind, record)
            elif kind == "frame":
                threads.add(record.get("thread_native_id"))
                if record.get("event") == "call":
                    calls += 1
            elif kind == "start_test" and test_name is None and isinstance(record.get("test_name"), str):
                test_name = record["test_name"]
    facts["frame_count"] = calls
    facts["record_count"] = records
    facts["thread_count"] = len(threads)
    if test_name is not None:
        facts["label"] = test_name[:_LABEL_LIMIT]
    else:
        argv = decoded.get("command_line_args")
        if isinstance(argv, list) and argv:
            facts["label"] = " ".join(str(arg) for arg in argv)[:_LABEL_LIMIT]
    return facts


def _add_query(facts: Dict[str, Any], starts: Dict[Any, Any], kind: str, record: Dict[str, Any]) -> None:
    """Counts an SQL query's call record, and adds its time at its end record."""
    stamp = record.get("timestamp")
    if not isinstance(stamp, (int, float)) or isinstance(stamp, bool):
        stamp = None
    if kind == "sql_query":
        facts["sql_count"] += 1
        if stamp is not None and isinstance(record.get("frame_id"), str):
            starts[record["frame_id"]] = stamp
        return
    start = starts.pop(record.get("frame_id"), None)
    if start is not None and stamp is not None and stamp > start:
        facts["sql_time"] += stamp - start


def _read_facts(document: bytes, facts: Dict[str, Any], sql_counted: bool) -> None:
    """Sets the call index of ``document`` into ``facts``, and its SQL facts
    unless the recorder counted them."""
    if not sql_counted:
        found = _summarise(document)
        facts["sql_count"], facts["sql_time"] = found["sql_count"], found["sql_time"]
    facts["calls"] = _call_rows(document)


def _call_rows(document: bytes) -> Optional[List[Tuple[Any, ...]]]:
    """The rows of ``trace_calls`` for a document (without its id), None
    when it cannot be read."""
    from sarn.web.compare.index import index_document

    try:
        return index_document(document)
    except Exception:  # a damaged document is stored as it is, unindexed
        return None


def save_trace_in_sqlite(
    db_path: PathLike,
    trace_id: str,
    *,
    timeout: float,
    msgpack: Any,
    label: Optional[str] = None,
    meta: Optional[Dict[str, Any]] = None,
    progress: Optional[Callable[[int], None]] = None,
    created: Optional[float] = None,
) -> None:
    """Store the trace document ``msgpack`` under ``trace_id`` in the database at
    ``db_path``, waiting up to ``timeout`` seconds for other writers. Creates the
    database and its folder on first use; replaces a trace of the same id.
    ``label`` replaces the label read from the document, and ``meta`` (a dict
    of JSON values) is stored beside it. ``created`` is the time the trace
    is listed as saved at (default now): an imported trace keeps its own.

    The document is bytes, or a document the recorder took out of its stores
    (``read(size)``, ``size`` and ``facts``), which is read piece by piece and
    never held whole; ``progress(bytes_read)`` is called as it is."""
    if hasattr(msgpack, "read") and hasattr(msgpack, "facts"):
        facts = _facts_of_taken(msgpack.facts)
        row = _streamed_row(str(trace_id), msgpack, facts, os.path.dirname(os.path.abspath(os.fspath(db_path))),
                            progress)
    else:
        document = msgpack if isinstance(msgpack, bytes) else bytes(msgpack)
        facts = _summarise(document)
        facts["calls"] = _call_rows(document)
        row = _stored_row(str(trace_id), document, facts)
    if label is not None:
        facts["label"] = str(label)[:_LABEL_LIMIT]
    facts["meta"] = None if meta is None else json.dumps(meta, default=str)
    facts["created"] = created
    _write_rows(db_path, [row], timeout)


def _facts_of_taken(found: Dict[str, Any]) -> Dict[str, Any]:
    """The listing facts of a document taken from the recorder, from what it
    counted while recording; only its first test record is decoded."""
    facts = _unknown_facts()
    for key in ("started", "source", "frame_count", "record_count", "thread_count"):
        facts[key] = found[key]
    if "sql_count" in found:
        facts["sql_count"], facts["sql_time"] = found["sql_count"], found["sql_time"]
    test_name = None
    if found.get("test_record") is not None:
        try:
            record = _msgpack.unpackb(found["test_record"], raw=False, strict_map_key=False)
        except Exception:
            record = None
        if isinstance(record, dict) and isinstance(record.get("test_name"), str):
            test_name = record["test_name"]
    if test_name is not None:
        facts["label"] = test_name[:_LABEL_LIMIT]
    elif found["argv"]:
        facts["label"] = " ".join(found["argv"])[:_LABEL_LIMIT]
    return facts


class _StoredRow(NamedTuple):
    trace_id: str
    size: int
    codec: Optional[str]
    parts: Iterable[bytes]
    facts: Dict[str, Any]


def _compressor() -> Any:
    return _zstd.ZstdCompressor(level=ZSTD_LEVEL, threads=ZSTD_THREADS)


def _stored_row(trace_id: str, document: bytes, facts: Dict[str, Any]) -> _StoredRow:
    """The row of a document: its facts, and its bytes compressed and cut
    into parts (before the database is locked, so that other writers wait less)."""
    stored = _compressor().compress(document) if _zstd is not None else document
    view = memoryview(stored)
    parts = [bytes(view[start:start + PART_SIZE]) for start in range(0, max(1, len(stored)), PART_SIZE)]
    return _StoredRow(trace_id, len(document), None if _zstd is None else "zstd", parts, facts)


def _streamed_row(trace_id: str, document: Any, facts: Dict[str, Any], folder: str,
                  progress: Optional[Callable[[int], None]]) -> _StoredRow:
    """The row of a document taken from the recorder: compressed into a
    spooled file (in memory up to ``SPOOL_BYTES``, then on disk beside the
    database), which the insert reads back one part at a time. Up to
    ``INDEX_BYTES`` it is held whole, to be indexed and compressed in one
    call, where Zstandard's workers read it in place (fed piece by piece,
    they copy every piece first); a bigger one is read piece by piece and
    stored without its call index."""
    size = document.size
    spool = tempfile.SpooledTemporaryFile(max_size=SPOOL_BYTES, dir=folder if os.path.isdir(folder) else None)
    if size > INDEX_BYTES:
        compressor = None if _zstd is None else _compressor().compressobj(size=size)
        done = 0
        for piece in _read_pieces(document):
            done += len(piece)
            spool.write(compressor.compress(piece) if compressor is not None else piece)
            if progress is not None:
                progress(done)
        if compressor is not None:
            spool.write(compressor.flush())
    else:
        sql_counted = "sql_count" in document.facts
        held, indexed = _alongside(lambda copy: _read_facts(copy, facts, sql_counted), size,
                                   lambda: document.read(size))
        spool.write(_compressor().compress(held) if _zstd is not None else held)
        if progress is not None:
            progress(size)
        indexed()
    return _StoredRow(trace_id, size, None if _zstd is None else "zstd", _spooled_parts(spool), facts)


def _alongside(work: Callable[[bytes], None], size: int,
               document: Callable[[], bytes]) -> Tuple[bytes, Callable[[], None]]:
    """Makes ``document()`` and runs ``work`` on it on a thread of its own,
    for a document of ``size`` bytes: the copy is made there too, and handed
    back as soon as it is made, for the caller to compress while ``work``
    goes on (the native readers and the compressor leave the interpreter
    lock, so the two share the machine's cores). Returns the document and
    what waits for the work and raises what it raised. A small document is
    made and worked on at once: a thread would cost more than it saves."""

    def at_once() -> Tuple[bytes, Callable[[], None]]:
        made = document()
        work(made)
        return made, lambda: None

    if size < _ALONGSIDE_BYTES:
        return at_once()
    ready = threading.Event()
    made_on_thread: List[bytes] = []
    failed: List[BaseException] = []

    def run() -> None:
        try:
            made_on_thread.append(document())
            ready.set()
            work(made_on_thread[0])
        except BaseException as error:  # handed to the waiting caller
            failed.append(error)
        finally:
            ready.set()

    thread = threading.Thread(target=run, name="sarn-index", daemon=True)
    try:
        thread.start()
    except RuntimeError:  # no new threads at interpreter shutdown (a save from an atexit handler)
        return at_once()

    def wait() -> None:
        thread.join()
        if failed:
            raise failed[0]

    ready.wait()
    if not made_on_thread:  # the copy itself failed
        wait()
    return made_on_thread[0], wait


def _read_pieces(document: Any) -> Iterator[bytes]:
    """The document's bytes read ``_COMPRESS_SLICE`` at a time."""
    while True:
        piece = document.read(_COMPRESS_SLICE)
        if not piece:
            return
        yield piece


def _spooled_parts(spool: Any) -> Iterator[bytes]:
    """The spooled bytes in parts of ``PART_SIZE`` (at least one part)."""
    try:
        spool.seek(0)
        part = spool.read(PART_SIZE)
        yield part
        while True:
            part = spool.read(PART_SIZE)
            if not part:
                return
            yield part
    finally:
        spool.close()


def write_traces(db_path: PathLike, traces: Sequence[Tuple[Any, ...]], *, timeout: float) -> None:
    """Store ``traces`` (trace id, document, and optionally its meta) in one
    transaction, as :func:`save_trace_in_sqlite` stores one. Nothing is
    stored when it fails, and a database file that this call created is
    removed again."""
    # Decoded before the database is locked, so that other writers wait less.
    rows = []
    for trace_id, document, *meta in traces:
        document = bytes(document)
        facts = _summarise(document)
        facts["calls"] = _call_rows(document)
        if meta and meta[0] is not None:
            facts["meta"] = json.dumps(meta[0], default=str)
        rows.append(_stored_row(str(trace_id), document, facts))
    _write_rows(db_path, rows, timeout)


def _write_rows(db_path: PathLike, rows: Sequence[_StoredRow], timeout: float) -> None:
    path = os.fspath(db_path)
    try:
        _make_parent(path)
    except OSError as error:
        raise SarnDbError("cannot create the folder of database %s: %s" % (path, error)) from None
    created = not os.path.exists(path)
    try:
        _write(path, rows, float(timeout))
    except BaseException:
        if created:
            _remove_if_empty(path)
        raise


@contextlib.contextmanager
def _immediate_transaction(connection: sqlite3.Connection) -> Iterator[None]:
    """A write transaction that holds the write lock from its start: committed
    when the block ends, rolled back when it raises (anything at all)."""
    connection.execute("BEGIN IMMEDIATE")
    try:
        yield
    except BaseException:
        try:
            connection.execute("ROLLBACK")
        except sqlite3.Error:
            pass
        raise
    connection.execute("COMMIT")


def _write(path: str, rows: Sequence[_StoredRow], timeout: float) -> None:
    try:
        connection = _connect(path, timeout=timeout, isolation_level=None)
    except sqlite3.Error as error:
        raise _translate(error, path, timeout) from None
    try:
        with _immediate_transaction(connection):
            _check_schema(connection, path, create=True)
            for row in rows:
                _insert(connection, row)
    except sqlite3.Error as error:
        raise _translate(error, path, timeout) from None
    finally:
        connection.close()


def _insert(connection: sqlite3.Connection, row: _StoredRow) -> None:
    facts = row.facts
    parts = iter(row.parts)
    connection.execute(
        "INSERT OR REPLACE INTO traces (id, created, started, source, label, frame_count,"
        " record_count, thread_count, size, document, meta, codec, sql_count, sql_time, indexed)"
        " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
        (
            row.trace_id,
            time.time() if facts.get("created") is None else float(facts["created"]),
            facts["started"],
            facts["source"],
            facts["label"],
            facts["frame_count"],
            facts["record_count"],
            facts["thread_count"],
            row.size,
            next(parts),
            facts.get("meta"),
            row.codec,
            facts.get("sql_count"),
            facts.get("sql_time"),
            None if facts.get("calls") is None else INDEX_VERSION,
        ),
    )
    _insert_calls(connection, row.trace_id, facts.get("calls"))
    connection.execute("DELETE FROM trace_parts WHERE id = ?", (row.trace_id,))
    for part, data in enumerate(parts, 1):
        connection.execute("INSERT INTO trace_parts (id, part, data) VALUES (?, ?, ?)", (row.trace_id, part, data))


def _insert_calls(connection: sqlite3.Connection, trace_id: str, rows: Optional[Sequence[Tuple[Any, ...]]]) -> None:
    connection.execute("DELETE FROM trace_calls WHERE id = ?", (trace_id,))
    if rows:
        connection.executemany("INSERT INTO trace_calls (id, qualname, calls, slowest, raised, numbers, texts)"
                               " VALUES (?, ?, ?, ?, ?, ?, ?)", [(trace_id,) + tuple(row) for row in rows])


def save_call_index(db_path: PathLike, indexes: Sequence[Tuple[str, Sequence[Tuple[Any, ...]]]], *,
                    timeout: float) -> bool:
    """Store the ``trace_calls`` rows of traces stored without them, as
    (trace id, rows); a trace no longer stored is left out. Returns False,
    storing nothing, when the database cannot be written now (read-only,
    locked for longer than ``timeout``): the traces are then read whole
    again by the next search."""
    path = os.fspath(db_path)
    try:
        connection = _connect(path, timeout=timeout, isolation_level=None)
    except sqlite3.Error:
        return False
    try:
        with _immediate_transaction(connection):
            _check_schema(connection, path, create=True)
            for trace_id, rows in indexes:
                if connection.execute("UPDATE traces SET indexed = ? WHERE id = ?",
                                      (INDEX_VERSION, trace_id)).rowcount:
                    _insert_calls(connection, trace_id, rows)
        return True
    except (sqlite3.Error, SarnDbError):
        return False
    finally:
        connection.close()


def indexed_calls(db_path: PathLike, matches: Callable[[str], bool], *,
                  timeout: float = READ_TIMEOUT) -> Dict[str, List[Tuple[Any, ...]]]:
    """The ``trace_calls`` rows whose qualified name ``matches``, by trace
    id: [(qualname, calls, slowest, raised, numbers, texts), ...] with
    ``raised`` a list and ``numbers`` and ``texts`` maps (or None). Empty for
    a database without the index."""
    connection, path, version = _open_for_reading(db_path, timeout)
    try:
        if version < 6:
            return {}
        names = [name for (name,) in connection.execute("SELECT DISTINCT qualname FROM trace_calls") if matches(name)]
        found: Dict[str, List[Tuple[Any, ...]]] = {}
        for start in range(0, len(names), 500):  # SQLite's limit of bound values
            chunk = names[start:start + 500]
            query = ("SELECT id, qualname, calls, slowest, raised, numbers, %s FROM trace_calls WHERE qualname IN (%s)"
                     % ("texts" if version >= 7 else "NULL", ", ".join("?" * len(chunk))))
            for trace_id, qualname, calls, slowest, raised, numbers, texts in connection.execute(query, chunk):
                found.setdefault(trace_id, []).append(
                    (qualname, calls, slowest, json.loads(raised) if raised else [],
                     json.loads(numbers) if numbers is not None else None,
                     json.loads(texts) if texts is not None else None))
        return found
    except sqlite3.Error as error:
        raise _translate(error, path, timeout) from None
    finally:
        connection.close()


def _remove_if_empty(path: str) -> None:
    # SQLite writes the file's first page only when a transaction commits: an
    # empty file holds nothing, and would be taken for a foreign database.
    try:
        if os.path.getsize(path) == 0:
            os.remove(path)
    except OSError:
        pass


class TraceBatch:
    """Traces handed over one by one and written together, in one
    transaction per :data:`BATCH_TRACES` traces, :data:`BATCH_BYTES` bytes or
    :data:`BATCH_SECONDS` seconds, whichever comes first, and by :meth:`flush`.

    If the process dies, the traces not yet written are lost: at most one
    batch. ``saved`` and ``lost`` count the traces written and those whose
    write failed.
    """

    def __init__(self, db_path: PathLike, *, timeout: float) -> None:
        self.db_path = os.fspath(db_path)
        self.timeout = timeout
        self.saved = 0
        self.lost = 0
        self._pending: List[Tuple[str, bytes, Optional[Dict[str, Any]]]] = []
        self._bytes = 0
        self._oldest = 0.0

    def add(self, trace_id: str, document: bytes, meta: Optional[Dict[str, Any]] = None) -> None:
        """Queue a trace and its meta; writes the batch when it is due
        (raising :class:`SarnDbError` when that fails)."""
        if not self._pending:
            self._oldest = time.monotonic()
        self._pending.append((trace_id, document, meta))
        self._bytes += len(document)
        if (
            len(self._pending) >= BATCH_TRACES
            or self._bytes >= BATCH_BYTES
            or time.monotonic() - self._oldest >= BATCH_SECONDS
        ):
            self.flush()

    def add_taken(self, trace_id: str, document: Any, meta: Optional[Dict[str, Any]] = None) -> None:
        """Queue a document taken from the recorder (``read``, ``size``,
        ``facts``): a small one is read whole and queued; a large one is
        stored at once, read piece by piece, so that it is never held whole
        in memory."""
        if document.size <= TAKEN_BATCH_BYTES:
            self.add(trace_id, document.read(), meta)
            return
        try:
            save_trace_in_sqlite(self.db_path, trace_id, timeout=self.timeout, msgpack=document, meta=meta)
        except SarnDbError:
            self.lost += 1
            raise
        self.saved += 1

    def flush(self) -> None:
        """Write the queued traces now."""
        pending, self._pending, self._bytes = self._pending, [], 0
        if not pending:
            return
        try:
            write_traces(self.db_path, pending, timeout=self.timeout)
        except SarnDbError:
            self.lost += len(pending)
            raise
        self.saved += len(pending)


def _open_for_reading(db_path: PathLike, timeout: float) -> "tuple[sqlite3.Connection, str, int]":
    """A read-only connection, the path, and the schema version."""
    path = os.fspath(db_path)
    if not os.path.exists(path):
        raise DbMissingError("no trace database at %s (nothing recorded there yet)" % path)
    if os.path.isdir(path):
        raise DbCorruptError("%s is a folder, not a sarn trace database" % path)
    uri = "file:%s?mode=ro" % _quote_uri_path(os.path.abspath(path))
    for attempt in (1, 2):
        try:
            connection = _connect(uri, uri=True, timeout=timeout, isolation_level=None)
        except sqlite3.Error as error:
            raise _translate(error, path, timeout) from None
        try:
            return connection, path, _check_schema(connection, path, create=False)
        except sqlite3.Error as error:
            connection.close()
            if attempt == 1 and _left_by_a_failed_write(error, path):
                _undo_failed_write(path, timeout)
                continue
            raise _translate(error, path, timeout) from None
        except BaseException:
            connection.close()
            raise
    raise AssertionError("unreachable")


def _left_by_a_failed_write(error: sqlite3.Error, path: str) -> bool:
    """True when a read-only reader is refused because a write that failed
    (a full disk, a killed writer) left its rollback journal behind: only a
    connection that may write can undo it."""
    return "readonly" in str(error).lower() and os.path.exists(path + "-journal")


def _undo_failed_write(path: str, timeout: float) -> None:
    """Lets SQLite roll the failed write back, which a read through a
    writable connection does; the traces stored before it are then whole."""
    try:
        connection = _connect(path, timeout=timeout, isolation_level=None)
        try:
            connection.execute("SELECT count(*) FROM sqlite_master").fetchone()
        finally:
            connection.close()
    except sqlite3.Error as error:
        raise SarnDbError(
            "database %s holds an unfinished write that a failed save left behind (%s-journal), and it "
            "cannot be undone from here (%s): run sarn once with write access to the database's folder"
            % (path, path, error)
        ) from None


def _quote_uri_path(path: str) -> str:
    from urllib.parse import quote

    return quote(path.replace(os.sep, "/"), safe="/:")


def list_traces(db_path: PathLike, *, limit: Optional[int] = None, timeout: float = READ_TIMEOUT) -> List[TraceInfo]:
    """The stored traces, newest first (at most ``limit`` of them)."""
    connection, path, version = _open_for_reading(db_path, timeout)
    try:
        query = "SELECT %s FROM traces ORDER BY created DESC, rowid DESC" % _info_columns(version)
        if limit is not None:
            query += " LIMIT %d" % int(limit)
        return [_info(row) for row in connection.execute(query)]
    except sqlite3.Error as error:
        raise _translate(error, path, timeout) from None
    finally:
        connection.close()


def parent_of(info: TraceInfo) -> Optional[str]:
    """The id of the trace whose process started the one ``info`` was
    recorded in (meta "parent"), or None."""
    parent = (info.meta or {}).get("parent")
    return parent if isinstance(parent, str) else None


def descendants(infos: Sequence[TraceInfo], trace_id: str) -> List[Tuple[int, TraceInfo]]:
    """The traces among ``infos`` recorded in child processes of trace
    ``trace_id``, and in theirs, with their depth below it (1: a child):
    depth first, each trace's children in the order they started."""
    children: Dict[str, List[TraceInfo]] = {}
    for info in infos:
        parent = parent_of(info)
        if parent is not None:
            children.setdefault(parent, []).append(info)

    def below(parent: str, depth: int) -> List[Tuple[int, TraceInfo]]:
        ordered = sorted(children.get(parent, ()), key=lambda info: (info.started or 0.0, info.id))
        return [(depth, info) for info in reversed(ordered)]

    found: List[Tuple[int, TraceInfo]] = []
    seen = {trace_id}
    stack = below(trace_id, 1)
    while stack:
        depth, info = stack.pop()
        if info.id in seen:  # damaged meta that makes a loop ends here
            continue
        seen.add(info.id)
        found.append((depth, info))
        stack.extend(below(info.id, depth + 1))
    return found


def count_traces(db_path: PathLike, *, timeout: float = READ_TIMEOUT) -> int:
    """How many traces the database holds."""
    connection, path, _ = _open_for_reading(db_path, timeout)
    try:
        return int(connection.execute("SELECT COUNT(*) FROM traces").fetchone()[0])
    except sqlite3.Error as error:
        raise _translate(error, path, timeout) from None
    finally:
        connection.close()


def _resolve_id(connection: sqlite3.Connection, path: str, trace_id: str) -> str:
    """The full id meant by ``trace_id``: "latest", an exact id, or a unique prefix."""
    if trace_id == "latest":
        row = connection.execute("SELECT id FROM traces ORDER BY created DESC, rowid DESC LIMIT 1").fetchone()
        if row is None:
            raise TraceNotFoundError("database %s holds no traces" % path)
        return row[0]
    if connection.execute("SELECT 1 FROM traces WHERE id = ?", (trace_id,)).fetchone():
        return trace_id
    if trace_id:
        rows = connection.execute(
            "SELECT id FROM traces WHERE substr(id, 1, ?) = ? LIMIT 2", (len(trace_id), trace_id)
        ).fetchall()
        if len(rows) == 1:
            return rows[0][0]
        if len(rows) > 1:
            raise TraceNotFoundError("trace id %r is ambiguous in %s: give more characters" % (trace_id, path))
    raise TraceNotFoundError("no trace %r in %s" % (trace_id, path))


def get_trace_info(db_path: PathLike, trace_id: str, *, timeout: float = READ_TIMEOUT) -> TraceInfo:
    """The listing facts of one trace ("latest", an id, or a unique id prefix)."""
    connection, path, version = _open_for_reading(db_path, timeout)
    try:
        full_id = _resolve_id(connection, path, trace_id)
        query = "SELECT %s FROM traces WHERE id = ?" % _info_columns(version)
        return _info(connection.execute(query, (full_id,)).fetchone())
    except sqlite3.Error as error:
        raise _translate(error, path, timeout) from None
    finally:
        connection.close()


def load_trace(db_path: PathLike, trace_id: str, *, timeout: float = READ_TIMEOUT) -> bytes:
    """The document of one trace ("latest", an id, or a unique id prefix)."""
    with open_trace(db_path, trace_id, timeout=timeout) as stream:
        return stream.read_all()


class TraceStream:
    """The document of one stored trace, read as a binary file (``read``),
    one stored part at a time and decompressed on the way. Holds a read
    transaction of the database until it is closed, so that a trace
    replaced meanwhile is not mixed up. Use it as a context manager."""

    def __init__(self, connection: sqlite3.Connection, path: str, timeout: float, full_id: str,
                 version: int) -> None:
        self._connection = connection
        self._path = path
        self._timeout = timeout
        self.trace_id = full_id
        row = connection.execute(
            "SELECT document, size, %s FROM traces WHERE id = ?" % ("codec" if version >= 4 else "NULL"), (full_id,)
        ).fetchone()
        #: The document's size in bytes, and the codec of the stored bytes.
        self.size: int = row[1]
        self.codec: Optional[str] = row[2]
        if self.codec not in (None, "zstd"):
            raise DbSchemaError("trace %s in %s is stored with codec %r, which this sarn cannot read; upgrade sarn"
                                % (full_id, path, self.codec))
        if self.codec == "zstd" and _zstd is None:
            raise SarnDbError("trace %s in %s is compressed with Zstandard, but the zstandard package is missing"
                              % (full_id, path))
        self._first: Optional[bytes] = bytes(row[0])
        self._rest = iter(
            connection.execute("SELECT data FROM trace_parts WHERE id = ? ORDER BY part", (full_id,))
            if version >= 2 else ()
        )
        self._raw = _PartReader(self)
        self._reader: Any = (
            _zstd.ZstdDecompressor().stream_reader(self._raw, read_size=1 << 20, read_across_frames=True)
            if self.codec == "zstd" else self._raw
        )
        #: Bytes of the document read so far.
        self.position = 0
        self.info: Optional[TraceInfo] = None

    def _next_part(self) -> Optional[bytes]:
        if self._first is not None:
            first, self._first = self._first, None
            return first
        try:
            row = next(self._rest, None)
        except sqlite3.Error as error:
            raise _translate(error, self._path, self._timeout) from None
        return None if row is None else bytes(row[0])

    def read(self, size: int = -1) -> bytes:
        """At most ``size`` bytes of the document (everything left for -1);
        b"" at its end."""
        if size is None or size < 0:
            return self.read_all()
        try:
            data = self._reader.read(size)
        except (_zstd.ZstdError if _zstd is not None else ()) as error:  # type: ignore[misc]
            raise DbCorruptError("trace %s in %s is damaged: %s" % (self.trace_id, self._path, error)) from None
        self.position += len(data)
        return data

    def read_all(self) -> bytes:
        chunks = []
        while True:
            data = self.read(1 << 24)
            if not data:
                return b"".join(chunks)
            chunks.append(data)

    def close(self) -> None:
        connection, self._connection = self._connection, None
        if connection is not None:
            try:
                connection.execute("COMMIT")
            except sqlite3.Error:
                pass
            connection.close()

    def __enter__(self) -> "TraceStream":
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()


class _PartReader:
    """The stored parts of a trace read back to back, as a raw binary file."""

    def __init__(self, stream: TraceStream) -> None:
        self._stream = stream
        self._buffer = b""
        self._offset = 0

    def read(self, size: int = -1) -> bytes:
        while self._offset >= len(self._buffer):
            part = self._stream._next_part()
            if part is None:
                return b""
            self._buffer, self._offset = part, 0
        if size is None or size < 0:
            size = len(self._buffer) - self._offset
        data = self._buffer[self._offset:self._offset + size]
        self._offset += len(data)
        return data


def open_trace(db_path: PathLike, trace_id: str, *, timeout: float = READ_TIMEOUT) -> TraceStream:
    """The document of one trace ("latest", an id, or a unique id prefix) as
    a :class:`TraceStream`, to read bit by bit."""
    connection, path, version = _open_for_reading(db_path, timeout)
    try:
        connection.execute("BEGIN")
        full_id = _resolve_id(connection, path, trace_id)
        stream = TraceStream(connection, path, timeout, full_id, version)
        query = "SELECT %s FROM traces WHERE id = ?" % _info_columns(version)
        #: The trace's listing facts.
        stream.info = _info(connection.execute(query, (full_id,)).fetchone())
        return stream
    except sqlite3.Error as error:
        connection.close()
        raise _translate(error, path, timeout) from None
    except BaseException:
        connection.close()
        raise
