"""Long recordings: records moved out of memory into a spill file, and the
document taken out of the stores and read piece by piece."""

import os
import threading

import pytest

from sarn import _serialize, db
from recording_support import HostProfiler, all_records, decode, record

CALLS = 6000  # about 3 MB of records per thread: several full chunks


def step(n):
    return n + 1


def loop(count=CALLS):
    total = 0
    for _ in range(count):
        total = step(total)
    return total


def recorded_loops(host, threads):
    """Runs `loop` on the main thread and on `threads` recorded threads."""
    def in_thread():
        host.rust_profiler.register_threading_profiler(None, None, None)
        loop()

    def run():
        workers = [threading.Thread(target=in_thread) for _ in range(threads)]
        for worker in workers:
            worker.start()
        assert loop() == CALLS
        for worker in workers:
            worker.join()

    return record(run, host)


def read_in_pieces(document, size):
    return b"".join(iter(lambda: document.read(size), b""))


@pytest.mark.parametrize("threads", [0, 2])
@pytest.mark.parametrize("spill_after_bytes", [0, 1, 1_500_000])
def test_a_spilled_recording_reads_back_whole_and_in_order(tmp_path, threads, spill_after_bytes):
    host = HostProfiler({"threading": bool(threads), "spill_after_bytes": spill_after_bytes},
                        db_path=str(tmp_path / "traces.sqlite3"))
    document = recorded_loops(host, threads).rust_profiler.take_trace_document()
    data = document.read()
    assert len(data) == document.size
    document.rewind()
    assert read_in_pieces(document, 7777) == data

    found = _serialize.document_facts(data)
    facts = document.facts
    for key in ("frame_count", "record_count", "thread_count", "started", "source", "argv"):
        assert facts[key] == found[key], key
    assert facts["test_record"] is None
    assert facts["thread_count"] == threads + 1

    doc = decode(data)
    lists = [doc["frames_of_interest"]] + list(doc["frames"].values())
    assert len(lists) == threads + 1
    for records in lists:
        calls = [r["locals"]["n"] for r in records if r["co_name"] == "step" and r["event"] == "call"]
        assert calls == [str(n) for n in range(CALLS)] or calls == list(range(CALLS))
    # The spill file has no name: nothing is left beside the database.
    assert os.listdir(str(tmp_path)) == []


def test_a_spill_that_cannot_be_made_cuts_the_trace_and_the_program_runs_on(tmp_path, monkeypatch):
    monkeypatch.setenv("TMPDIR", str(tmp_path / "missing"))
    host = HostProfiler({"spill_after_bytes": 1}, db_path=str(tmp_path / "missing" / "traces.sqlite3"))
    records = all_records(decode(recorded_loops(host, 0).rust_profiler.build_trace()))
    cut = records[-1]
    assert cut["type"] == "trace_cut" and "cannot make a file" in cut["reason"]
    assert [r["type"] for r in records].count("trace_cut") == 1


def test_a_taken_document_is_saved_whole_with_its_counted_facts(tmp_path):
    db_path = str(tmp_path / "traces.sqlite3")
    host = recorded_loops(HostProfiler({"spill_after_bytes": 1}, db_path=db_path), 0)
    document = host.rust_profiler.take_trace_document()
    seen = []
    db.save_trace_in_sqlite(db_path, "trc_long", timeout=5, msgpack=document, progress=seen.append)
    document.rewind()
    data = document.read()
    assert db.load_trace(db_path, "trc_long") == data
    assert seen[-1] == document.size and seen == sorted(seen)
    info = db.get_trace_info(db_path, "trc_long")
    found = _serialize.document_facts(data)
    assert (info.frame_count, info.thread_count) == (found["frame_count"], 1)
    assert info.frame_count > CALLS
    document.close()
    with pytest.raises(ValueError, match="closed"):
        document.read()
