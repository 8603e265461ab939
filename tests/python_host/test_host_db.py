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


def _threaded_document():
    builder = DocumentBuilder(trace_id="trc_T")
    builder.call("app.main")
    builder.call("app.work", thread_id=200, thread="worker")
    builder.ret(1, thread_id=200)
    builder.ret(None)
    document = msgpack.unpackb(builder.pack(), strict_map_key=False)
    document["frames_of_interest"].append(7)  # not a map: a record all the same
    document["frames_of_interest"].append({"type": "frame", "event": "call", "thread_native_id": None})
    return msgpack.packb(document)


@pytest.mark.parametrize("document", [
    _document("trc_A", calls=3),
    _document("trc_A", calls=2, source="pytest", test_name="t.py::test_x"),
    _threaded_document(),
    msgpack.packb([1, 2]),
    msgpack.packb({"frames": [], "frames_of_interest": {"a": 1}, 1: 2, "timestamp": 5}),
    b"\xdf\xff\xff\xff\xff",  # a map that claims more entries than there are bytes
    b"",
], ids=["calls", "test", "threads", "a list", "odd shapes", "overlong map", "empty"])
def test_listing_facts_are_read_without_decoding_as_decoding_reads_them(document):
    assert db._summarise(document) == db._summarise_decoded(document)
    # Cut short, nothing is known (msgpack's decoder is not asked here: it
    # leaks a string on some such bytes).
    if len(document) > 8:
        assert set(db._summarise(document[:-5]).values()) == {None}


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


# --------------------------------------------------------------------------
# Documents stored in parts, and batches


def _stored_blob_sizes(path):
    with sqlite3.connect(path) as connection:
        return [row[0] for row in connection.execute(
            "SELECT length(document) FROM traces UNION ALL SELECT length(data) FROM trace_parts")]


def _limit_sqlite_lengths(monkeypatch, limit):
    connect = db._connect

    def limited(*args, **kwargs):
        connection = connect(*args, **kwargs)
        connection.setlimit(sqlite3.SQLITE_LIMIT_LENGTH, limit)
        return connection

    if sys.version_info >= (3, 11):  # where Connection.setlimit exists
        monkeypatch.setattr(db, "_connect", limited)


@pytest.mark.parametrize("parts", [1, 2, 7])
def test_a_document_is_stored_in_parts_and_read_back_whole(db_path, monkeypatch, parts):
    document = _document("trc_A", calls=40)
    db.save_trace_in_sqlite(db_path, "trc_A", timeout=5, msgpack=document)
    (stored,) = _stored_blob_sizes(db_path)
    assert stored * 4 < len(document)  # compressed
    monkeypatch.setattr(db, "PART_SIZE", -(-stored // parts))
    # Room for one part and the listing facts in a row, not for the whole document.
    _limit_sqlite_lengths(monkeypatch, db.PART_SIZE + 1000)
    db.save_trace_in_sqlite(db_path, "trc_A", timeout=5, msgpack=document)
    sizes = _stored_blob_sizes(db_path)
    assert len(sizes) == parts and sum(sizes) == stored
    assert db.load_trace(db_path, "trc_A") == document
    with db.open_trace(db_path, "trc_A") as stream:
        pieces = iter(lambda: stream.read(7), b"")
        assert b"".join(pieces) == document
    info = db.get_trace_info(db_path, "trc_A")
    assert (info.frame_count, info.size) == (40, len(document))
    smaller = _document("trc_A", calls=1)
    db.save_trace_in_sqlite(db_path, "trc_A", timeout=5, msgpack=smaller)
    assert db.load_trace(db_path, "trc_A") == smaller and sum(_stored_blob_sizes(db_path)) < stored


def test_a_failed_first_save_leaves_no_database_file(db_path):
    os.makedirs(db_path + "-journal")  # SQLite cannot write its journal
    with pytest.raises(db.SarnDbError):
        db.save_trace_in_sqlite(db_path, "trc_A", timeout=1, msgpack=_document("trc_A"))
    assert not os.path.exists(db_path)


def test_a_database_of_the_first_schema_is_read_and_upgraded(db_path):
    old = _document("trc_OLD", calls=2)
    os.makedirs(os.path.dirname(db_path))
    with sqlite3.connect(db_path) as connection:  # no trace parts, no meta
        connection.execute(
            "CREATE TABLE traces (id TEXT PRIMARY KEY NOT NULL, created REAL NOT NULL, started REAL,"
            " source TEXT, label TEXT, frame_count INTEGER, record_count INTEGER, thread_count INTEGER,"
            " size INTEGER NOT NULL, document BLOB NOT NULL)"
        )
        connection.execute(
            "INSERT INTO traces VALUES ('trc_OLD', 1.0, 1.0, 'run', 'old.py', 2, 4, 1, ?, ?)", (len(old), old)
        )
        connection.execute("PRAGMA user_version = 1")
    assert [(info.id, info.meta) for info in db.list_traces(db_path)] == [("trc_OLD", None)]
    assert db.load_trace(db_path, "trc_OLD") == old
    new = _document("trc_NEW", calls=5)
    db.save_trace_in_sqlite(db_path, "trc_NEW", timeout=5, msgpack=new, meta={"status": 404})
    assert (db.load_trace(db_path, "trc_OLD"), db.load_trace(db_path, "trc_NEW")) == (old, new)
    assert [(info.id, info.meta) for info in db.list_traces(db_path)] == [("trc_NEW", {"status": 404}), ("trc_OLD", None)]


@pytest.mark.parametrize("limits, visible", [
    ({"BATCH_TRACES": 3}, [0, 0, 3, 3, 3]),
    ({"BATCH_SECONDS": 0}, [1, 2, 3, 4, 5]),
    ({"BATCH_BYTES": 1}, [1, 2, 3, 4, 5]),
])
def test_a_batch_writes_its_traces_together(db_path, monkeypatch, limits, visible):
    for name, value in dict({"BATCH_TRACES": 1000, "BATCH_SECONDS": 1000.0, "BATCH_BYTES": 1 << 30}, **limits).items():
        monkeypatch.setattr(db, name, value)
    batch = db.TraceBatch(db_path, timeout=5)
    seen = []
    for index in range(5):
        batch.add("trc_%d" % index, _document("trc_%d" % index))
        seen.append(db.count_traces(db_path) if os.path.exists(db_path) else 0)
    assert seen == visible
    batch.flush()
    assert (db.count_traces(db_path), batch.saved, batch.lost) == (5, 5, 0)


@pytest.mark.parametrize("limit, written_at_once", [(1 << 30, False), (0, True)])
def test_a_large_taken_document_is_stored_at_once_and_streamed(db_path, monkeypatch, limit, written_at_once):
    import sarn

    def work(n):
        return [n] * 10

    with sarn.record(db_path=db_path, save=False) as recording:
        work(1)
    taken = recording.profiler.take_trace_document()
    monkeypatch.setattr(db, "TAKEN_BATCH_BYTES", limit)
    if written_at_once:
        monkeypatch.setattr(db.TraceBatch, "add", lambda *args: pytest.fail("read whole"))
    batch = db.TraceBatch(db_path, timeout=5)
    batch.add_taken(recording.profiler.trace_id, taken, {"outcome": "passed"})
    assert os.path.exists(db_path) == written_at_once
    batch.flush()
    (info,) = db.list_traces(db_path)
    assert (batch.saved, info.meta) == (1, {"outcome": "passed"})
    assert b"work" in db.load_trace(db_path, info.id)


def test_an_empty_database_file_reads_as_nothing_recorded_yet(db_path):
    # What a reader sees while the first save is still creating the database.
    os.makedirs(os.path.dirname(db_path))
    open(db_path, "wb").close()
    with pytest.raises(db.DbMissingError, match="still empty"):
        db.list_traces(db_path)


def _refuse_to_start(thread):
    raise RuntimeError("can't create new thread at interpreter shutdown")


@pytest.mark.parametrize("alongside, threads", [(1 << 30, True), (0, True), (0, False)],
                         ids=["at-once", "on-a-thread", "at-shutdown"])
def test_a_taken_document_is_indexed_while_it_is_compressed(db_path, monkeypatch, alongside, threads):
    import sarn

    def work(n):
        return n + 1

    def taken():
        with sarn.record(db_path=db_path, save=False) as recording:
            for n in range(3):
                work(n)
        return recording.profiler.trace_id, recording.profiler.take_trace_document()

    monkeypatch.setattr(db, "_ALONGSIDE_BYTES", alongside)
    trace_id, document = taken()
    if not threads:  # as at interpreter shutdown, where a save from an atexit handler can start none
        monkeypatch.setattr(threading.Thread, "start", _refuse_to_start)
    db.save_trace_in_sqlite(db_path, trace_id, timeout=5, msgpack=document)
    connection = sqlite3.connect(db_path)
    try:
        rows = connection.execute("SELECT qualname, calls, numbers FROM trace_calls WHERE qualname LIKE '%work'")
        assert [(calls, numbers) for _, calls, numbers in rows] == [(3, '{"n": [0.0, 2.0]}')]
    finally:
        connection.close()
    # A failure of the indexing thread, in the index or in the copy it
    # makes, is the save's failure, not lost.
    monkeypatch.setattr(db, "_call_rows", lambda document: 1 / 0)
    with pytest.raises(ZeroDivisionError):
        db.save_trace_in_sqlite(db_path, "trc_FAILED", timeout=5, msgpack=taken()[1])
    unreadable = _Unreadable(taken()[1])
    with pytest.raises(OSError, match="unreadable"):
        db.save_trace_in_sqlite(db_path, "trc_FAILED", timeout=5, msgpack=unreadable)
    assert [info.id for info in db.list_traces(db_path)] == [trace_id]


class _Unreadable:
    """A taken document whose bytes cannot be read."""

    def __init__(self, document):
        self.size, self.facts = document.size, document.facts

    def read(self, size=-1):
        raise OSError("unreadable")
