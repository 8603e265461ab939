"""Frame event records: pairing of calls and returns, call sites, threads, paths."""

import re
import threading

import pytest

import sarn.plugins
from sarn import _sarn
from recording_support import (FRAME_KEYS, HostProfiler, compile_function, frames, labels, LIBRARY,
                               load_module, record, trace, unregister)

FRAME_ID = re.compile(r"frm_[0-7][0-9A-HJKMNP-TV-Z]{25}")


def returns_value():
    return 42


def raises():
    raise ValueError("leaves its frame")


@pytest.mark.parametrize("callee, returned", [(returns_value, 42), (raises, None)])
def test_call_and_return_records_pair_up(tmp_path, callee, returned):
    runner = load_module(tmp_path / LIBRARY / "libpkg" / "runner.py",
                         "def call_back(fn):\n    return fn()\n", "libpkg.runner")

    def outer():
        try:
            runner.call_back(callee)  # the library's frame is skipped, and looked through
        except ValueError:
            pass

    doc = trace(record(outer))
    name = callee.__name__
    assert labels(frames(doc)) == ["outer:call", name + ":call", name + ":return", "outer:return"]
    assert all(list(r) == FRAME_KEYS for r in frames(doc))
    outer_call, outer_return = frames(doc, "outer")
    call, ret = frames(doc, name)
    assert FRAME_ID.fullmatch(call["frame_id"]) and call["frame_id"] == ret["frame_id"]
    assert outer_call["frame_id"] == outer_return["frame_id"] != call["frame_id"]
    assert call["arg"] is None and ret["arg"] == returned
    # The outermost recorded frame has no call site; the inner one names it.
    assert outer_call["user_code_call_site"] is None and outer_return["user_code_call_site"] is None
    site = {"call_frame_id": outer_call["frame_id"], "line_number": outer.__code__.co_firstlineno + 2}
    assert call["user_code_call_site"] == ret["user_code_call_site"] == site
    assert {r["thread"] for r in frames(doc)} == {threading.current_thread().name}
    assert {r["thread_native_id"] for r in frames(doc)} == {threading.get_native_id()}


def test_return_of_a_frame_entered_before_recording(monkeypatch):
    monkeypatch.setattr(sarn.plugins, "load_plugin_data", lambda config: [])
    host = HostProfiler()

    def entered_before():
        _sarn.register_profiler(host)
        returns_value()
        return "late"

    try:
        entered_before()
    finally:
        unregister()
    doc = trace(host)
    [ret] = frames(doc, "entered_before")
    assert ret["event"] == "return" and ret["arg"] == "late"
    assert ret["frame_id"] is None and ret["user_code_call_site"] is None
    assert [r["user_code_call_site"] for r in frames(doc, "returns_value")] == [None, None]


class Pause:
    def __await__(self):
        yield "tick"


async def coroutine():
    await Pause()
    return "done"


def generator():
    yield 1
    yield 2


def drive_coroutine():
    running = coroutine()
    running.send(None)
    try:
        running.send(None)
    except StopIteration:
        pass


@pytest.mark.parametrize("drive, co_name, suspensions", [
    (lambda: list(generator()), "generator", [1, 2, None]),
    (drive_coroutine, "coroutine", ["tick", "done"]),
])
def test_each_resumption_gets_its_own_frame_id(drive, co_name, suspensions):
    records = frames(trace(record(drive)), co_name)
    assert [r["event"] for r in records] == ["call", "return"] * len(suspensions)
    ids = [r["frame_id"] for r in records]
    assert ids[0::2] == ids[1::2] and len(set(ids)) == len(suspensions)
    assert [r["arg"] for r in records[1::2]] == suspensions


def test_threads_started_after_others_ended_start_afresh():
    native_ids = {}

    def target():
        thread = threading.current_thread()
        native_ids[thread.name] = threading.get_native_id()
        thread.name += " renamed"  # after the thread's first event: not seen
        returns_value()
        _sarn.register_noop_profiler()  # leaves this frame open on its thread

    def threads_in_turn():
        for name in ("first", "second", "third", "fourth"):
            thread = threading.Thread(target=target, name=name)
            thread.start()
            thread.join()

    doc = trace(record(threads_in_turn, HostProfiler({"threading": True})))
    calls = frames(doc, "target")
    assert sorted(r["thread"] for r in calls) == sorted(native_ids)
    for call in calls:
        assert call["event"] == "call" and call["user_code_call_site"] is None
        thread_records = doc["frames"][native_ids[call["thread"]]]
        assert thread_records[0] == call and len(thread_records) == 3
        assert {(r["thread"], r["thread_native_id"]) for r in thread_records} == {
            (call["thread"], native_ids[call["thread"]])}


def test_module_frame_locals_leave_out_builtins(tmp_path):
    namespace = {"__name__": "script"}
    code = compile("value = 1\n", str(tmp_path / "script.py"), "exec")
    doc = trace(record(lambda: exec(code, namespace)))
    call, ret = frames(doc, "<module>")
    assert "__builtins__" not in call["locals"] and "__builtins__" not in ret["locals"]
    assert ret["locals"]["value"] == 1
    assert "__builtins__" in namespace


@pytest.mark.parametrize("filename, expected", [
    ("{tmp}/proj/app/views.py", "app/views.py"),
    ("{tmp}/project/views.py", "{tmp}/project/views.py"),  # a longer name, not a sub-folder
    ("{tmp}/other/views.py", "{tmp}/other/views.py"),
    ("app/views.py", "app/views.py"),
    ("<stdin>", "<stdin>"),
])
def test_path_is_relative_to_the_current_directory(tmp_path, monkeypatch, filename, expected):
    (tmp_path / "proj").mkdir()
    monkeypatch.chdir(tmp_path / "proj")
    f = compile_function(filename.format(tmp=tmp_path), "\ndef f():\n    return 1\n")
    call, ret = frames(trace(record(f)), "f")
    expected = expected.format(tmp=tmp_path)
    assert (call["path"], ret["path"]) == (expected + ":2", expected + ":3")


@pytest.mark.parametrize("line", [31, 127, 128, 255, 256, 65535, 65536])
def test_call_site_line_numbers(tmp_path, line):
    source = "def callee():\n    return 1\n" + "\n" * (line - 4) + "def caller():\n    return callee()\n"
    caller = compile_function(tmp_path / "long.py", source, "caller")
    [call, _] = frames(trace(record(caller)), "callee")
    assert call["user_code_call_site"]["line_number"] == line
