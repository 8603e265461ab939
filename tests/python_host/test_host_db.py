"""Trace storage: saving, replacing, listing, loading and its failures."""

import os
import sqlite3
import subprocess
import sys
import textwrap
import threading
import time

import msgpack
import pytest

from host_support import DocumentBuilder
from sarn import db


def _document(trace_id, calls=1, source="run", test_name=None):
    builder = DocumentBuilder(trace_id=trace_id, source=source)
    if test_name:
        builder.interest("start_test", test_name=test_name)
    for index in range(calls):
        builder.call("app.f%d" % index)
        builder.ret(index)
    return builder.pack()


def test_first_save_creates_folder_database_and_schema(db_path):
    db.save_trace_in_sqlite(db_path, "trc_A", timeout=5, msgpack=_document("trc_A", calls=3))
    assert os.path.isfile(db_path)
    with sqlite3.connect(db_path) as connection:
        assert connection.execute("PRAGMA user_version").fetchone()[0] == db.SCHEMA_VERSION
    info = db.get_trace_info(db_path, "trc_A")
    assert (info.source, info.frame_count, info.record_count, info.thread_count) == ("run", 3, 6, 1)
    assert info.label == "app.py --flag"
    assert info.started == 1_700_000_000.0
    assert info.size == len(_document("trc_A", calls=3))


def test_sarn_folder_gets_a_gitignore(tmp_path):
    path = tmp_path / ".sarn" / "db.sqlite3"
    db.save_trace_in_sqlite(str(path), "trc_A", timeout=5, msgpack=_document("trc_A"))
    assert (tmp_path / ".sarn" / ".gitignore").read_text() == "*\n"


def test_saving_a_known_id_replaces_it(db_path):
    db.save_trace_in_sqlite(db_path, "trc_A", timeout=5, msgpack=_document("trc_A", calls=1))
    second = _document("trc_A", calls=4)
    db.save_trace_in_sqlite(db_path, "trc_A", timeout=5, msgpack=second)
    traces = db.list_traces(db_path)
    assert [info.id for info in traces] == ["trc_A"]
    assert traces[0].frame_count == 4
    assert db.load_trace(db_path, "trc_A") == second


def test_list_is_newest_first_and_limited(db_path):
    for trace_id in ("trc_1", "trc_2", "trc_3"):
        db.save_trace_in_sqlite(db_path, trace_id, timeout=5, msgpack=_document(trace_id))
    assert [info.id for info in db.list_traces(db_path)] == ["trc_3", "trc_2", "trc_1"]
    assert [info.id for info in db.list_traces(db_path, limit=2)] == ["trc_3", "trc_2"]
    db.save_trace_in_sqlite(db_path, "trc_1", timeout=5, msgpack=_document("trc_1"))
    assert db.list_traces(db_path)[0].id == "trc_1"
    assert db.count_traces(db_path) == 3


def test_test_traces_are_labelled_with_the_test(db_path):
    db.save_trace_in_sqlite(db_path, "trc_T", timeout=5, msgpack=_document("trc_T", source="pytest", test_name="t.py::test_x"))
    assert db.get_trace_info(db_path, "trc_T").label == "t.py::test_x"


@pytest.mark.parametrize(
    "asked, expected",
    [("latest", "trc_01BBB"), ("trc_01AAA", "trc_01AAA"), ("trc_01A", "trc_01AAA"), ("trc_01B", "trc_01BBB")],
)
def test_load_by_latest_id_or_unique_prefix(db_path, asked, expected):
    for trace_id in ("trc_01AAA", "trc_01BBB"):
        db.save_trace_in_sqlite(db_path, trace_id, timeout=5, msgpack=_document(trace_id))
    assert msgpack.unpackb(db.load_trace(db_path, asked))["trace_id"] == expected


@pytest.mark.parametrize("asked", ["trc_01", "trc_zzz", "", "latest-ish"])
def test_unknown_or_ambiguous_id_is_trace_not_found(db_path, asked):
    for trace_id in ("trc_01AAA", "trc_01BBB"):
        db.save_trace_in_sqlite(db_path, trace_id, timeout=5, msgpack=_document(trace_id))
    with pytest.raises(db.TraceNotFoundError):
        db.load_trace(db_path, asked)


def test_latest_of_empty_database_is_trace_not_found(db_path):
    db.save_trace_in_sqlite(db_path, "trc_A", timeout=5, msgpack=_document("trc_A"))
    with sqlite3.connect(db_path) as connection:
        connection.execute("DELETE FROM traces")
    with pytest.raises(db.TraceNotFoundError):
        db.load_trace(db_path, "latest")


def test_undecodable_document_is_still_stored(db_path):
    db.save_trace_in_sqlite(db_path, "trc_X", timeout=5, msgpack=b"\xc1 not msgpack")
    info = db.get_trace_info(db_path, "trc_X")
    assert info.frame_count is None and info.size == 13
    assert db.load_trace(db_path, "trc_X") == b"\xc1 not msgpack"


@pytest.mark.parametrize("reader", [db.list_traces, lambda path: db.load_trace(path, "latest")])
def test_missing_database(tmp_path, reader):
    path = str(tmp_path / "absent.sqlite3")
    with pytest.raises(db.DbMissingError):
        reader(path)
    assert not os.path.exists(path), "readers must not create the database"


def _corrupt(path):
    with open(path, "wb") as handle:
        handle.write(b"this is not a database at all" * 100)


def _foreign(path):
    with sqlite3.connect(path) as connection:
        connection.execute("CREATE TABLE other (x)")


@pytest.mark.parametrize("make", [_corrupt, _foreign], ids=["garbage", "foreign"])
@pytest.mark.parametrize(
    "use",
    [
        lambda path: db.list_traces(path),
        lambda path: db.load_trace(path, "latest"),
        lambda path: db.save_trace_in_sqlite(path, "trc_A", timeout=1, msgpack=_document("trc_A")),
    ],
    ids=["list", "load", "save"],
)
def test_corrupt_or_foreign_file(tmp_path, make, use):
    path = str(tmp_path / "bad.sqlite3")
    make(path)
    with pytest.raises(db.DbCorruptError):
        use(path)


@pytest.mark.parametrize(
    "use",
    [
        lambda path: db.list_traces(path),
        lambda path: db.save_trace_in_sqlite(path, "trc_B", timeout=1, msgpack=_document("trc_B")),
    ],
    ids=["list", "save"],
)
def test_newer_schema_is_refused_clearly(db_path, use):
    db.save_trace_in_sqlite(db_path, "trc_A", timeout=5, msgpack=_document("trc_A"))
    with sqlite3.connect(db_path) as connection:
        connection.execute("PRAGMA user_version = %d" % (db.SCHEMA_VERSION + 1))
    with pytest.raises(db.DbSchemaError, match="upgrade sarn"):
        use(db_path)


def test_older_schema_is_migrated_by_the_next_save(db_path, monkeypatch):
    db.save_trace_in_sqlite(db_path, "trc_A", timeout=5, msgpack=_document("trc_A"))
    monkeypatch.setattr(db, "SCHEMA_VERSION", db.SCHEMA_VERSION + 1)
    monkeypatch.setattr(db, "MIGRATIONS", {db.SCHEMA_VERSION - 1: ("ALTER TABLE traces ADD COLUMN note TEXT",)})
    with pytest.raises(db.DbSchemaError, match="older schema"):
        db.list_traces(db_path)
    db.save_trace_in_sqlite(db_path, "trc_B", timeout=5, msgpack=_document("trc_B"))
    with sqlite3.connect(db_path) as connection:
        assert connection.execute("PRAGMA user_version").fetchone()[0] == db.SCHEMA_VERSION
        assert "note" in [row[1] for row in connection.execute("PRAGMA table_info(traces)")]
    assert [info.id for info in db.list_traces(db_path)] == ["trc_B", "trc_A"]


def test_label_and_meta_are_stored_beside_the_document(db_path):
    db.save_trace_in_sqlite(
        db_path, "trc_A", timeout=5, msgpack=_document("trc_A"),
        label="GET /items/3", meta={"status": 200, "duration": 0.25},
    )
    db.save_trace_in_sqlite(db_path, "trc_B", timeout=5, msgpack=_document("trc_B"))
    by_id = {info.id: info for info in db.list_traces(db_path)}
    assert (by_id["trc_A"].label, by_id["trc_A"].meta) == ("GET /items/3", {"status": 200, "duration": 0.25})
    assert (by_id["trc_B"].label, by_id["trc_B"].meta) == ("app.py --flag", None)
    assert db.get_trace_info(db_path, "trc_A").meta == {"status": 200, "duration": 0.25}


def test_a_first_schema_database_gets_the_meta_column(db_path):
    os.makedirs(os.path.dirname(db_path))
    with sqlite3.connect(db_path) as connection:
        connection.execute(
            "CREATE TABLE traces (id TEXT PRIMARY KEY NOT NULL, created REAL NOT NULL, started REAL,"
            " source TEXT, label TEXT, frame_count INTEGER, record_count INTEGER, thread_count INTEGER,"
            " size INTEGER NOT NULL, document BLOB NOT NULL)"
        )
        connection.execute("INSERT INTO traces VALUES ('trc_OLD', 1.0, 1.0, 'run', 'old.py', 0, 0, 0, 1, x'80')")
        connection.execute("PRAGMA user_version = 1")
    db.save_trace_in_sqlite(db_path, "trc_NEW", timeout=5, msgpack=_document("trc_NEW"), meta={"status": 404})
    assert [(info.id, info.meta) for info in db.list_traces(db_path)] == [("trc_NEW", {"status": 404}), ("trc_OLD", None)]


def _hold_lock(path, seconds, ready):
    connection = sqlite3.connect(path, isolation_level=None)
    connection.execute("BEGIN EXCLUSIVE")
    ready.set()
    time.sleep(seconds)
    connection.execute("COMMIT")
    connection.close()


def test_writer_waits_for_a_lock_shorter_than_the_timeout(db_path):
    db.save_trace_in_sqlite(db_path, "trc_A", timeout=5, msgpack=_document("trc_A"))
    ready = threading.Event()
    holder = threading.Thread(target=_hold_lock, args=(db_path, 0.5, ready))
    holder.start()
    ready.wait()
    started = time.monotonic()
    db.save_trace_in_sqlite(db_path, "trc_B", timeout=10, msgpack=_document("trc_B"))
    waited = time.monotonic() - started
    holder.join()
    assert waited >= 0.3
    assert {info.id for info in db.list_traces(db_path)} == {"trc_A", "trc_B"}


def test_writer_gives_up_with_locked_error_after_the_timeout(db_path):
    db.save_trace_in_sqlite(db_path, "trc_A", timeout=5, msgpack=_document("trc_A"))
    ready = threading.Event()
    holder = threading.Thread(target=_hold_lock, args=(db_path, 2.0, ready))
    holder.start()
    ready.wait()
    try:
        with pytest.raises(db.DbLockedError, match="locked"):
            db.save_trace_in_sqlite(db_path, "trc_B", timeout=0, msgpack=_document("trc_B"))
    finally:
        holder.join()


_SAVER = textwrap.dedent(
    """
    import sys
    sys.path[:0] = sys.argv[3:]
    from host_support import DocumentBuilder
    from sarn import db
    path, prefix = sys.argv[1], sys.argv[2]
    for index in range(20):
        builder = DocumentBuilder(trace_id="%s%d" % (prefix, index))
        builder.call("app.f")
        builder.ret(index)
        db.save_trace_in_sqlite(path, builder.trace_id, timeout=30, msgpack=builder.pack())
    """
)


def test_two_processes_saving_at_once_both_succeed(db_path):
    here = os.path.dirname(os.path.abspath(__file__))
    package_root = os.path.dirname(os.path.dirname(db.__file__))
    command = [sys.executable, "-c", _SAVER, db_path]
    savers = [
        subprocess.Popen(command + [prefix, here, package_root], stderr=subprocess.PIPE)
        for prefix in ("trc_P", "trc_Q")
    ]
    for saver in savers:
        _, stderr = saver.communicate(timeout=120)
        assert saver.returncode == 0, stderr.decode()
    assert db.count_traces(db_path) == 40
