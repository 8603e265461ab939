"""Saving traces, and one trace per test cut at "start_test" and "end_test" records."""

import re
import sys
import threading

import pytest

import sarn.db
from recording_support import HostProfiler, compile_function, decode, frames, labels, record, trace

TRACE_ID = re.compile(r"trc_[0-7][0-9A-HJKMNP-TV-Z]{25}")
GIVEN_ID = HostProfiler().trace_id


def work():
    return 1


@pytest.fixture
def saved(monkeypatch):
    calls = []

    def save_trace_in_sqlite(*args, **kwargs):
        # Read as the save reads it: the bytes, and the facts counted while recording.
        taken = kwargs["msgpack"]
        calls.append((args, dict(kwargs, msgpack=taken.read(), facts=taken.facts)))
        return "ignored"

    monkeypatch.setattr(sarn.db, "save_trace_in_sqlite", save_trace_in_sqlite)
    return calls


@pytest.mark.parametrize("config, timeout", [({}, 60), ({"sqlite_busy_timeout": 7}, 7)])
def test_save_request_in_db(saved, tmp_path, config, timeout):
    host = record(work, HostProfiler(config, db_path=tmp_path / "traces.sqlite3"))
    assert host.rust_profiler.save_request_in_db() is None
    [(args, kwargs)] = saved
    assert args == (str(tmp_path / "traces.sqlite3"), GIVEN_ID)
    assert list(kwargs) == ["timeout", "msgpack", "facts"] and kwargs["timeout"] == timeout
    assert (kwargs["facts"]["frame_count"], kwargs["facts"]["sql_count"]) == (1, 0)
    doc = decode(kwargs["msgpack"])
    assert doc["trace_id"] == GIVEN_ID and labels(doc["frames_of_interest"]) == ["work:call", "work:return"]
    assert frames(trace(host)) == []


def refuse(*args, **kwargs):
    raise RuntimeError("database is locked")


@pytest.mark.parametrize("break_storage, error", [
    (lambda m: m.setitem(sys.modules, "sarn.db", None), ImportError),
    (lambda m: m.delattr(sarn.db, "save_trace_in_sqlite"), AttributeError),
    (lambda m: m.setattr(sarn.db, "save_trace_in_sqlite", refuse), RuntimeError),
])
def test_failed_save_raises_and_loses_the_trace(monkeypatch, break_storage, error):
    host = record(work)
    break_storage(monkeypatch)
    with pytest.raises(error):
        host.rust_profiler.save_request_in_db()
    assert frames(trace(host)) == []


def marker_spec(call_type):
    return {"co_names": ["mark"], "path_fragment": "boundary_marks", "call_type": call_type,
            "return_type": "unused", "events": ["call"]}


@pytest.mark.parametrize("types, saved_labels, later_labels", [
    (["start_test"], None, ["start_test", "run:return"]),
    (["x", "start_test", "y", "end_test"], ["start_test", "y", "end_test"], ["run:return"]),
    (["end_test", "x"], ["run:call", "work:call", "work:return", "end_test"], ["x", "run:return"]),
])
def test_boundaries_within_one_batch(saved, tmp_path, types, saved_labels, later_labels):
    # The marked function itself is not recorded: its batch holds only the markers.
    mark = compile_function(tmp_path / "boundary_marks.py", "def mark():\n    pass\n", "mark")

    def run():
        work()
        mark()

    host = HostProfiler({"filters": {"ignore_frames": ["boundary_marks"]}}, one_trace_per_test=True)
    later = trace(record(run, host, [marker_spec(t) for t in types]))
    assert labels(later["frames_of_interest"]) == later_labels
    if "start_test" in types:
        assert TRACE_ID.fullmatch(later["trace_id"])
    else:
        assert later["trace_id"] == GIVEN_ID
    if saved_labels is None:
        assert saved == []
    else:
        [(args, kwargs)] = saved
        saved_doc = decode(kwargs["msgpack"])
        assert labels(saved_doc["frames_of_interest"]) == saved_labels
        assert args[1] == saved_doc["trace_id"] == later["trace_id"]


@pytest.mark.parametrize("types, saved_labels, later_labels", [
    (["end_test"], ["end_test"], []),
    (["x", "end_test"], ["x", "end_test"], []),
    (["end_test", "x"], ["end_test"], ["x"]),
])
def test_a_thread_whose_batch_was_saved_keeps_its_entry(saved, tmp_path, types, saved_labels, later_labels):
    """The save empties the stores before the rest of the batch is stored:
    even an empty rest gives the thread its entry in the next document."""
    mark = compile_function(tmp_path / "boundary_marks.py", "def mark():\n    pass\n", "mark")

    def run():
        thread = threading.Thread(target=mark, name="worker")
        thread.start()
        thread.join()
        native_ids.append(thread.native_id)

    native_ids = []
    host = HostProfiler({"threading": True, "filters": {"ignore_frames": ["boundary_marks"]}},
                        one_trace_per_test=True)
    later = trace(record(run, host, [marker_spec(t) for t in types]))
    [(args, kwargs)] = saved
    saved_doc = decode(kwargs["msgpack"])
    assert {k: labels(v) for k, v in saved_doc["frames"].items()} == {native_ids[0]: saved_labels}
    assert {k: labels(v) for k, v in later["frames"].items()} == {native_ids[0]: later_labels}
    assert labels(later["frames_of_interest"]) == ["run:return"]


def a_test():
    work()


def run_a_test():
    work()
    a_test()
    work()


@pytest.mark.parametrize("one_trace_per_test", [True, False])
def test_boundaries_around_a_recorded_test(saved, one_trace_per_test):
    spec = {"co_names": ["a_test"], "path_fragment": "", "call_type": "start_test", "return_type": "end_test"}
    host = HostProfiler(one_trace_per_test=one_trace_per_test)
    later = trace(record(run_a_test, host, [spec]))
    test_part = ["start_test", "a_test:call", "work:call", "work:return", "a_test:return", "end_test"]
    after = ["work:call", "work:return", "run_a_test:return"]
    if one_trace_per_test:
        # The return's frame record precedes its "end_test" record, so it is saved with the test.
        [(args, kwargs)] = saved
        assert labels(decode(kwargs["msgpack"])["frames_of_interest"]) == test_part
        assert labels(later["frames_of_interest"]) == after and later["trace_id"] == args[1] != GIVEN_ID
    else:
        assert saved == []
        assert labels(later["frames_of_interest"]) == ["run_a_test:call", "work:call", "work:return"] + test_part + after
        assert later["trace_id"] == GIVEN_ID
