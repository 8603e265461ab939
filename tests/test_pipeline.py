"""Frame event records: pairing of calls and returns, call sites, threads, paths."""

import re
import sys
import threading

import pytest

import sarn.plugins
from sarn import _sarn, _serialize
from recording_support import (FRAME_KEYS, NOTES, HostProfiler, all_records, compile_function, decode, frames,
                               labels, LIBRARY, load_module, record, trace, unregister)

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


def resumed_from_two_lines():
    running = generator()
    next(running)
    return next(running)


def test_a_return_has_the_call_site_of_its_own_call():
    """Each resumption of a generator is called from its own line of the
    caller; its suspension (a return) names that line too."""
    import inspect

    doc = trace(record(resumed_from_two_lines))
    (caller,) = [r for r in frames(doc, "resumed_from_two_lines") if r["event"] == "call"]
    first = inspect.getsourcelines(resumed_from_two_lines)[1]
    records = frames(doc, "generator")[:4]  # (its close, where the interpreter runs it, comes after)
    assert [r["event"] for r in records] == ["call", "return", "call", "return"]
    sites = [r["user_code_call_site"] for r in records]
    assert [site["call_frame_id"] for site in sites] == [caller["frame_id"]] * 4
    assert [site["line_number"] for site in sites] == [first + 2, first + 2, first + 3, first + 3]


MONITORING = {"engine": "monitoring"}
ENGINES = [pytest.param({}, id="profile function"),
           pytest.param(MONITORING, id="monitoring",
                        marks=pytest.mark.skipif(sys.version_info < (3, 12), reason="sys.monitoring is new in 3.12"))]


def delegating():
    yield from generator()


def guarded():
    try:
        yield 1
    except KeyError:
        yield "caught"
    finally:
        pass  # so that a close runs the frame (from 3.12 a bare yield is closed without running it)


async def ticking():
    await Pause()
    yield "value"


def close_guarded():
    running = guarded()
    next(running)
    running.close()


def throw_into_guarded():
    running = guarded()
    next(running)
    running.throw(KeyError("caught"))
    running.close()
    unstarted = guarded()
    with pytest.raises(KeyError):
        unstarted.throw(KeyError("before its start"))


def returning():
    yield 1
    return 2


def collecting():
    total = yield from returning()
    yield total


def ticking_at_its_yield():
    """A `ticking()` run to its first yield, through one suspension at its await."""
    running = ticking()
    stepping = running.__anext__()
    stepping.send(None)  # suspended at the await
    with pytest.raises(StopIteration):
        stepping.send(None)  # resumed, suspended again at the yield
    return running


def close_async_generator():
    with pytest.raises(StopIteration):
        ticking_at_its_yield().aclose().send(None)


def step_async_generator():
    running = ticking_at_its_yield()
    with pytest.raises(StopAsyncIteration):
        running.__anext__().send(None)  # resumed to its end


def steps(doc, co_name):
    """Each frame record of `co_name` as "call" or "return", followed by the
    type of the record after it when that record notes the same frame."""
    records = all_records(doc)
    shown = []
    for record, after in zip(records, records[1:] + [{}]):
        if record["type"] == "frame" and record["co_name"] == co_name:
            noted = after.get("type") in NOTES and after["frame_id"] == record["frame_id"]
            shown.append(record["event"] + (" " + after["type"] if noted else ""))
    return shown


def check_notes(doc):
    """Every note names the frame record before it, and only by these fields."""
    records = all_records(doc)
    for index, note in enumerate(records):
        if note["type"] in ("suspension", "resumption"):
            assert list(note) == ["type", "frame_id", "thread", "thread_native_id"]
            before = records[index - 1]
            assert before["type"] == "frame" and list(before) == FRAME_KEYS
            assert [note[key] for key in list(note)[1:]] == [before[key] for key in list(note)[1:]]
            assert before["event"] == ("return" if note["type"] == "suspension" else "call")


SUSPENDING = ["call", "return suspension", "call resumption", "return suspension", "call resumption", "return"]
CLOSED = ["call", "return suspension", "call resumption", "return exception"]


@pytest.mark.parametrize("engine", ENGINES)
@pytest.mark.parametrize("drive, co_name, expected", [
    (lambda: list(generator()), "generator", SUSPENDING),
    (lambda: list(delegating()), "delegating", SUSPENDING),
    (lambda: list(delegating()), "generator", SUSPENDING),
    (drive_coroutine, "coroutine", SUSPENDING[:3] + ["return"]),
    (step_async_generator, "ticking", SUSPENDING),
    (close_guarded, "guarded", CLOSED),
    # A throw resumes a suspended frame; thrown into a frame that never ran, it is its first call.
    (throw_into_guarded, "guarded", SUSPENDING[:4] + CLOSED[2:] + ["call", "return exception"]),
    (lambda: list(collecting()), "collecting", SUSPENDING),
    (lambda: list(collecting()), "returning", SUSPENDING[:3] + ["return"]),
    (close_async_generator, "ticking", SUSPENDING[:4] + CLOSED[2:]),
], ids=["generator", "yield from", "yield from: inner", "coroutine", "async generator", "close", "throw",
        "yield from a return", "yield from a return: inner", "async generator: close"])
def test_suspensions_and_resumptions_are_told_from_returns_and_calls(engine, drive, co_name, expected):
    doc = trace(record(drive, HostProfiler(engine)))
    if engine != MONITORING and (3, 12) <= sys.version_info < (3, 13):
        # 3.12's profile function is told a return of None for a frame that unwinds.
        expected = [step.replace(" exception", "") for step in expected]
    assert steps(doc, co_name) == expected
    check_notes(doc)


def spread_yields():
    yield (
        1)  # the yield starts a line of its own
    yield 2


@pytest.mark.parametrize("engine", ENGINES)
@pytest.mark.parametrize("opcodes", [False, True], ids=["lines traced", "instructions traced"])
def test_yields_are_told_while_a_trace_function_follows_the_generator(engine, opcodes):
    """A trace function that follows lines (or each instruction) has the
    interpreter mark the instructions that start a line (or all of them)
    in place of the yields and returns."""
    def tracer(frame, event, arg):
        if frame.f_code is not spread_yields.__code__:
            return None
        frame.f_trace_opcodes = opcodes
        return tracer

    def traced():
        before = sys.gettrace()
        sys.settrace(tracer)
        try:
            list(spread_yields())
        finally:
            sys.settrace(before)

    doc = trace(record(traced, HostProfiler(engine)))
    assert steps(doc, "spread_yields") == SUSPENDING


@pytest.mark.parametrize("engine", ENGINES)
def test_a_generator_started_before_recording_is_resumed(engine):
    started = generator()
    next(started)
    doc = trace(record(lambda: next(started), HostProfiler(engine)))
    assert steps(doc, "generator") == ["call resumption", "return suspension"]


@pytest.mark.parametrize("engine", ENGINES)
def test_the_listing_counts_a_resumed_frame_once(engine):
    host = record(lambda: list(delegating()), HostProfiler(engine))
    document = host.rust_profiler.take_trace_document()
    data = document.read()
    records = all_records(decode(data))
    resumed = sum(1 for r in records if r["type"] == "resumption")
    calls = sum(1 for r in records if r["type"] == "frame" and r["event"] == "call")
    assert resumed == 4  # each generator resumed twice
    assert document.facts["frame_count"] == calls - resumed == 3  # the lambda, delegating, generator
    assert _serialize.document_facts(data)["frame_count"] == calls - resumed


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
