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
frame_count    the number of recorded calls (frame records of event "call")
record_count   the number of records of any type
thread_count   the number of threads with records
size           the document's size in bytes
document       the document itself
meta           facts the recorder knew beside the document, as a JSON
               object (a web request's method, path, status and
               duration), or NULL
=============  ==========================================================

The schema's version is kept in ``PRAGMA user_version`` (``SCHEMA_VERSION``).
The first save into a database of an older version migrates it forward
(``MIGRATIONS``), inside the save's transaction; a database written by a newer
release is refused with :class:`DbSchemaError` instead of being misread. Saving a trace id that is already stored replaces that trace.

Every failure is raised as a :class:`SarnDbError` subclass with a one-line
message: :class:`DbMissingError`, :class:`DbLockedError`,
:class:`DbCorruptError`, :class:`DbSchemaError`, :class:`TraceNotFoundError`.
"""

from __future__ import annotations

import json
import os
import sqlite3
import time
from typing import Any, Dict, List, NamedTuple, Optional, Tuple, Union

import msgpack as _msgpack

__all__ = [
    "SCHEMA_VERSION",
    "SarnDbError",
    "DbMissingError",
    "DbLockedError",
    "DbCorruptError",
    "DbSchemaError",
    "TraceNotFoundError",
    "TraceInfo",
    "save_trace_in_sqlite",
    "list_traces",
    "load_trace",
    "get_trace_info",
]

SCHEMA_VERSION = 2

#: Statements that bring a database from schema version N to N + 1, run by
#: the first writer that opens it. Readers of an older database ask for that.
MIGRATIONS: Dict[int, Tuple[str, ...]] = {1: ("ALTER TABLE traces ADD COLUMN meta TEXT",)}
#: Seconds that readers wait for a writer to finish.
READ_TIMEOUT = 10.0

_LABEL_LIMIT = 200

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
    meta TEXT
)""",
    "CREATE INDEX IF NOT EXISTS traces_created ON traces (created)",
)

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


_INFO_COLUMNS = "id, created, started, source, label, frame_count, record_count, thread_count, size, meta"


def _info(row: Tuple[Any, ...]) -> TraceInfo:
    meta = None
    if row[-1] is not None:
        try:
            meta = json.loads(row[-1])
        except ValueError:
            pass
    return TraceInfo(*row[:-1], meta if isinstance(meta, dict) else None)


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


def _check_schema(connection: sqlite3.Connection, path: str, *, create: bool) -> None:
    version = connection.execute("PRAGMA user_version").fetchone()[0]
    if version > SCHEMA_VERSION:
        raise DbSchemaError(
            "database %s has schema version %d, but this sarn reads at most version %d; upgrade sarn"
            % (path, version, SCHEMA_VERSION)
        )
    if version == SCHEMA_VERSION:
        return
    if version > 0:
        if not create:
            raise DbSchemaError(
                "database %s has the older schema version %d; record a trace into it to upgrade it"
                % (path, version)
            )
        for step in range(version, SCHEMA_VERSION):
            for statement in MIGRATIONS.get(step, ()):
                connection.execute(statement)
        connection.execute("PRAGMA user_version = %d" % SCHEMA_VERSION)
        return
    tables = [row[0] for row in connection.execute("SELECT name FROM sqlite_master WHERE type = 'table'")]
    if tables:
        raise DbCorruptError("%s is not a sarn trace database (it holds other tables)" % path)
    if not create:
        raise DbCorruptError("%s is not a sarn trace database (it has no traces table)" % path)
    for statement in _SCHEMA_STATEMENTS:
        connection.execute(statement)
    connection.execute("PRAGMA user_version = %d" % SCHEMA_VERSION)


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
    facts: Dict[str, Any] = {
        "started": None,
        "source": None,
        "label": None,
        "frame_count": None,
        "record_count": None,
        "thread_count": None,
    }
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
    for records_of_list in lists:
        for record in records_of_list:
            records += 1
            if not isinstance(record, dict):
                continue
            kind = record.get("type")
            if kind == "frame":
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


def save_trace_in_sqlite(
    db_path: PathLike,
    trace_id: str,
    *,
    timeout: float,
    msgpack: bytes,
    label: Optional[str] = None,
    meta: Optional[Dict[str, Any]] = None,
) -> None:
    """Store the trace document ``msgpack`` under ``trace_id`` in the database at
    ``db_path``, waiting up to ``timeout`` seconds for other writers. Creates the
    database and its folder on first use; replaces a trace of the same id.
    ``label`` replaces the label read from the document, and ``meta`` (a dict
    of JSON values) is stored beside it."""
    path = os.fspath(db_path)
    document = bytes(msgpack)
    facts = _summarise(document)
    if label is not None:
        facts["label"] = str(label)[:_LABEL_LIMIT]
    try:
        _make_parent(path)
    except OSError as error:
        raise SarnDbError("cannot create the folder of database %s: %s" % (path, error)) from None
    try:
        connection = sqlite3.connect(path, timeout=float(timeout), isolation_level=None)
    except sqlite3.Error as error:
        raise _translate(error, path, timeout) from None
    try:
        connection.execute("BEGIN IMMEDIATE")
        try:
            _check_schema(connection, path, create=True)
            connection.execute(
                "INSERT OR REPLACE INTO traces (id, created, started, source, label, frame_count,"
                " record_count, thread_count, size, document, meta) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                (
                    str(trace_id),
                    time.time(),
                    facts["started"],
                    facts["source"],
                    facts["label"],
                    facts["frame_count"],
                    facts["record_count"],
                    facts["thread_count"],
                    len(document),
                    document,
                    None if meta is None else json.dumps(meta, default=str),
                ),
            )
        except BaseException:
            try:
                connection.execute("ROLLBACK")
            except sqlite3.Error:
                pass
            raise
        connection.execute("COMMIT")
    except sqlite3.Error as error:
        raise _translate(error, path, timeout) from None
    finally:
        connection.close()


def _open_for_reading(db_path: PathLike, timeout: float) -> "tuple[sqlite3.Connection, str]":
    path = os.fspath(db_path)
    if not os.path.exists(path):
        raise DbMissingError("no trace database at %s (nothing recorded there yet)" % path)
    if os.path.isdir(path):
        raise DbCorruptError("%s is a folder, not a sarn trace database" % path)
    uri = "file:%s?mode=ro" % _quote_uri_path(os.path.abspath(path))
    try:
        connection = sqlite3.connect(uri, uri=True, timeout=timeout, isolation_level=None)
    except sqlite3.Error as error:
        raise _translate(error, path, timeout) from None
    try:
        _check_schema(connection, path, create=False)
    except sqlite3.Error as error:
        connection.close()
        raise _translate(error, path, timeout) from None
    except BaseException:
        connection.close()
        raise
    return connection, path


def _quote_uri_path(path: str) -> str:
    from urllib.parse import quote

    return quote(path.replace(os.sep, "/"), safe="/:")


def list_traces(db_path: PathLike, *, limit: Optional[int] = None, timeout: float = READ_TIMEOUT) -> List[TraceInfo]:
    """The stored traces, newest first (at most ``limit`` of them)."""
    connection, path = _open_for_reading(db_path, timeout)
    try:
        query = "SELECT %s FROM traces ORDER BY created DESC, rowid DESC" % _INFO_COLUMNS
        if limit is not None:
            query += " LIMIT %d" % int(limit)
        return [_info(row) for row in connection.execute(query)]
    except sqlite3.Error as error:
        raise _translate(error, path, timeout) from None
    finally:
        connection.close()


def count_traces(db_path: PathLike, *, timeout: float = READ_TIMEOUT) -> int:
    """How many traces the database holds."""
    connection, path = _open_for_reading(db_path, timeout)
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
    connection, path = _open_for_reading(db_path, timeout)
    try:
        full_id = _resolve_id(connection, path, trace_id)
        row = connection.execute("SELECT %s FROM traces WHERE id = ?" % _INFO_COLUMNS, (full_id,)).fetchone()
        return _info(row)
    except sqlite3.Error as error:
        raise _translate(error, path, timeout) from None
    finally:
        connection.close()


def load_trace(db_path: PathLike, trace_id: str, *, timeout: float = READ_TIMEOUT) -> bytes:
    """The document of one trace ("latest", an id, or a unique id prefix)."""
    connection, path = _open_for_reading(db_path, timeout)
    try:
        full_id = _resolve_id(connection, path, trace_id)
        row = connection.execute("SELECT document FROM traces WHERE id = ?", (full_id,)).fetchone()
        return bytes(row[0])
    except sqlite3.Error as error:
        raise _translate(error, path, timeout) from None
    finally:
        connection.close()
