"""The trace document built from a recording."""

import sys
import threading

import msgpack
import pytest

import sarn.git
import sarn.version
from recording_support import LIBRARY, HostProfiler, all_records, decode, frames, load_module, record, trace

DOCUMENT_KEYS = ["command_line_args", "current_commit_sha", "frames", "frames_of_interest",
                 "main_thread_id", "meta", "timestamp", "trace_id"]
DELETED = object()


def work():
    return 1


@pytest.mark.parametrize("sha, encoded_sha", [
    (None, b"\xb2current_commit_sha\xc0"),
    ("0123abc", b"\xb2current_commit_sha\xa70123abc"),
])
def test_document_layout(monkeypatch, sha, encoded_sha):
    monkeypatch.setattr(sarn.git, "COMMIT_SHA", sha)
    host = record(work, HostProfiler(source="unit", trace_id="trc_given"))
    raw = host.rust_profiler.build_trace()
    assert type(raw) is bytes
    assert raw.startswith(b"\x88\xb1command_line_args")
    meta = (b"\xa4meta\x83\xa7version" + msgpack.packb(sarn.version.__version__)
            + b"\xa6source\xa4unit\xb4use_frame_boundaries\xc3")
    assert meta in raw and encoded_sha in raw
    assert b"\xa9timestamp\xcb" in raw  # always float 64
    doc = decode(raw)
    assert list(doc) == DOCUMENT_KEYS
    assert doc["command_line_args"] == sys.argv
    assert doc["main_thread_id"] == threading.main_thread().native_id
    assert (doc["current_commit_sha"], doc["trace_id"]) == (sha, "trc_given")
    assert [r["event"] for r in frames(doc, "work")] == ["call", "return"]
    # The recording's start, not the time of assembly.
    assert doc["timestamp"] <= frames(doc)[0]["timestamp"]


@pytest.mark.parametrize("threading_on", [False, True])
def test_records_of_another_thread(threading_on):
    host = HostProfiler({"threading": threading_on})
    native_ids = []

    def in_thread():
        host.rust_profiler.register_threading_profiler(None, None, None)
        native_ids.append(threading.get_native_id())
        work()

    def thread_then_main():
        thread = threading.Thread(target=in_thread, name="worker")
        thread.start()
        thread.join()
        work()

    doc = trace(record(thread_then_main, host))
    names = [r["thread"] for r in doc["frames_of_interest"] if r["co_name"] == "work"]
    if threading_on:
        assert list(doc["frames"]) == native_ids
        assert [r["co_name"] for r in doc["frames"][native_ids[0]]][-3:] == ["work", "work", "in_thread"]
        assert names == ["MainThread"] * 2
    else:
        assert doc["frames"] == {}
        assert names == ["worker"] * 2 + ["MainThread"] * 2


@pytest.mark.parametrize("in_library", [True, False])
def test_only_an_event_with_records_asks_for_its_thread(tmp_path, monkeypatch, in_library):
    """An event of a skipped frame hands over nothing, and does not even look
    up the current thread; a kept frame's event does."""
    library = load_module(tmp_path / LIBRARY / "quiet.py", "def quiet():\n    return len([1])\n", "quiet")
    asked = []
    current_thread = threading.current_thread
    monkeypatch.setattr(threading, "current_thread", lambda: asked.append(1) or current_thread())
    host = record(library.quiet if in_library else work)
    monkeypatch.undo()
    assert len(all_records(trace(host))) == (0 if in_library else 2)
    assert bool(asked) is not in_library


def test_build_trace_takes_the_records():
    host = record(work)
    first = trace(host)
    raw = host.rust_profiler.build_trace()
    second = decode(raw)
    assert len(first["frames_of_interest"]) == 2
    assert b"\xa6frames\x80\xb2frames_of_interest\x90" in raw
    assert (second["trace_id"], second["timestamp"]) == (first["trace_id"], first["timestamp"])


@pytest.mark.parametrize("module, name, value, error", [
    (sys, "argv", "a string", TypeError),
    (sys, "argv", ["ok", 1], TypeError),
    (sys, "argv", None, TypeError),
    (sarn.version, "__version__", None, TypeError),
    (sarn.git, "COMMIT_SHA", b"0123", TypeError),
    (sarn.git, "COMMIT_SHA", DELETED, AttributeError),
])
def test_failed_build_keeps_the_records(monkeypatch, module, name, value, error):
    host = record(work)
    if value is DELETED:
        monkeypatch.delattr(module, name)
    else:
        monkeypatch.setattr(module, name, value)
    with pytest.raises(error):
        host.rust_profiler.build_trace()
    monkeypatch.undo()
    assert [r["event"] for r in frames(trace(host))] == ["call", "return"]
