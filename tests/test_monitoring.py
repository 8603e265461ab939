"""Recording through sys.monitoring: the same records as through the profile
function, its own tool id, followed threads only, and room for other tools."""

import cProfile
import os
import subprocess
import sys
import textwrap
import threading

import pytest

from sarn import _sarn
from recording_support import HostProfiler, LIBRARY, frames, labels, load_module, record, trace, unregister

pytestmark = pytest.mark.skipif(sys.version_info < (3, 12), reason="sys.monitoring is new in 3.12")

SETPROFILE = {"engine": "setprofile"}
MONITORING = {"engine": "monitoring"}


def sarn_tool_ids():
    return [i for i in range(6) if sys.monitoring.get_tool(i) == "sarn"]


@pytest.fixture
def library(tmp_path):
    return load_module(tmp_path / LIBRARY / "libmod.py", textwrap.dedent("""\
        def apply(fn, *args):
            return fn(*args)

        def watched(x):
            return x + 1
        """), "libmod")


# Scenarios, each run as the recorded program.
def leaf(x):
    return x * 2


def through_library(library):
    return library.apply(leaf, 3) + library.apply(leaf, 4)


def counting(n):
    for i in range(n):
        received = yield i
        if received:
            return received


def generators(library):
    gen = counting(3)
    values = [next(gen), gen.send(None), next(gen)]
    closing = counting(5)
    next(closing)
    closing.close()
    thrown = counting(5)
    next(thrown)
    try:
        thrown.throw(KeyError("in"))
    except KeyError:
        pass
    return values


async def awaited(x):
    return leaf(x)


async def coroutine_body():
    return await awaited(5) + await awaited(6)


def coroutines(library):
    coro = coroutine_body()
    try:
        coro.send(None)
    except StopIteration as stop:
        return stop.value


def fails():
    raise ValueError("unwinds")


def exceptions(library):
    try:
        library.apply(fails)
    except ValueError:
        return "caught"


def threads(library):
    worker = threading.Thread(target=through_library, args=(library,), name="worker")
    worker.start()
    worker.join()
    return leaf(1)


def plugins(library):
    return library.watched(1) + library.watched(2)


PLUGIN = {"co_names": ["watched"], "path_fragment": "libmod", "call_type": "watched_call",
          "return_type": "watched_return"}


def normalised(doc):
    """The document without timestamps, with frame ids and thread ids
    replaced by the order in which they first appear, and objects (whose
    reprs hold addresses) by their type."""
    names = {}

    def rename(value, kind):
        return names.setdefault((kind, value), "%s%d" % (kind, sum(k == kind for k, _ in names)))

    def walk(value, key=None):
        if isinstance(value, dict) and value.get("__sarn__") == "object":
            return value["type"]
        if isinstance(value, dict):
            return {(rename(k, "thread") if key == "frames" else k): walk(v, k)
                    for k, v in value.items() if k != "timestamp"}
        if isinstance(value, list):
            return [walk(item) for item in value]
        if isinstance(value, str) and value.startswith("frm_"):
            return rename(value, "frame")
        if key in ("thread_native_id", "main_thread_id"):
            return rename(value, "thread")
        return value

    return walk(doc)


@pytest.mark.parametrize("scenario", [through_library, generators, coroutines, exceptions, threads, plugins])
def test_both_engines_record_the_same_documents(library, scenario):
    """Through the profile function, then twice through sys.monitoring: the
    second time the library's events are already disabled."""
    documents = []
    for engine in (SETPROFILE, MONITORING, MONITORING):
        host = HostProfiler(dict(engine, threading=True))
        documents.append(normalised(trace(record(lambda: scenario(library), host, specs=[PLUGIN]))))
    assert documents[0]["frames"] or documents[0]["frames_of_interest"]
    # sys.monitoring says which frames end by an exception; the profile
    # function is told so from 3.13 on, and without the exception itself.
    noted = [without_exception_records(document) for document in documents]
    assert noted[1][1] == noted[2][1] and bool(noted[1][1]) == (scenario in (generators, exceptions))
    assert noted[0][1] in (0, noted[1][1])
    assert noted[1][0] == noted[0][0]
    assert noted[2][0] == noted[0][0]


def without_exception_records(document):
    """The document without its exception records, and how many there were."""
    removed = 0
    lists = [document["frames_of_interest"], *document["frames"].values()]
    for records in lists:
        kept = [record for record in records if record.get("type") != "exception"]
        removed += len(records) - len(kept)
        records[:] = kept
    return document, removed


def test_generator_and_coroutine_events_map_like_the_profile_function(library):
    doc = trace(record(lambda: (generators(library), coroutines(library)), HostProfiler(MONITORING)))
    counting_events = [(r["event"], r["arg"]) for r in frames(doc, "counting")]
    # Three resumptions yielding 0, 1, 2.
    assert counting_events[:6] == [("call", None), ("return", 0), ("call", None), ("return", 1),
                                   ("call", None), ("return", 2)]
    # A close, a throw (the exception is the call's argument before 3.13),
    # then `gen` closed as it goes. On 3.13 alone, closing a generator that
    # is paused outside any `try` runs nothing; 3.14 runs it again whenever a
    # tool (the profile function too) is told of unwinding frames.
    thrown, closing = ("KeyError", "GeneratorExit") if sys.version_info < (3, 13) else (None, None)
    closed = [("call", None), ("return", 0), ("call", closing), ("return", None)]
    expected = closed + [("call", None), ("return", 0), ("call", thrown), ("return", None)] + closed[2:]
    if sys.version_info[:2] == (3, 13):
        expected = expected[:2] + expected[4:-2]
    assert [(event, arg if arg is None or isinstance(arg, int) else arg["type"])
            for event, arg in counting_events[6:]] == expected
    assert labels(frames(doc, "awaited")) == ["awaited:call", "awaited:return"] * 2


# A configuration that names no engine gets the profile function: the host
# package names "monitoring" itself.
@pytest.mark.parametrize("engine, hooked", [(SETPROFILE, True), (MONITORING, False), ({}, True)])
def test_engine_setting(engine, hooked):
    host = HostProfiler(dict(engine))
    _sarn.register_profiler(host)
    try:
        assert (sys.getprofile() is host.rust_profiler) == hooked
        assert len(sarn_tool_ids()) == (0 if hooked else 1)
    finally:
        unregister()
    assert sarn_tool_ids() == []


@pytest.mark.parametrize("value", ["sysmon", 1, None])
def test_unknown_engine_is_refused(value):
    with pytest.raises((ValueError, TypeError)):
        _sarn.register_profiler(HostProfiler({"engine": value}))
    assert sarn_tool_ids() == [] and sys.getprofile() is None


def test_stopping_frees_the_tool_id_and_its_callbacks():
    events = sys.monitoring.events
    _sarn.register_profiler(HostProfiler(MONITORING))
    [tool] = sarn_tool_ids()
    assert tool != sys.monitoring.PROFILER_ID  # left for cProfile
    assert sys.monitoring.get_events(tool) != 0
    unregister()
    assert sys.monitoring.get_tool(tool) is None and sys.monitoring.get_events(tool) == 0
    sys.monitoring.use_tool_id(tool, "test")
    try:
        for event in ("PY_START", "PY_RESUME", "PY_THROW", "PY_RETURN", "PY_YIELD", "PY_UNWIND"):
            assert sys.monitoring.register_callback(tool, getattr(events, event), None) is None
    finally:
        sys.monitoring.free_tool_id(tool)


def test_no_free_tool_id_is_a_clear_error():
    taken = [i for i in range(6) if sys.monitoring.get_tool(i) is None]
    for i in taken:
        sys.monitoring.use_tool_id(i, "test")
    try:
        with pytest.raises(RuntimeError, match="every tool id is in use.*engine = \"setprofile\""):
            _sarn.register_profiler(HostProfiler(MONITORING))
    finally:
        for i in taken:
            sys.monitoring.free_tool_id(i)
    assert labels(frames(trace(record(lambda: leaf(1), HostProfiler(MONITORING))))) == [
        "<lambda>:call", "leaf:call", "leaf:return", "<lambda>:return"]


def profiled_leaf():
    profile = cProfile.Profile()
    profile.enable()
    leaf(1)
    profile.disable()
    leaf(2)
    return profile


def test_cprofile_works_while_recording():
    result = []
    doc = trace(record(lambda: result.append(profiled_leaf()), HostProfiler(MONITORING)))
    assert labels(frames(doc, "leaf")) == ["leaf:call", "leaf:return"] * 2
    assert any(getattr(entry.code, "co_name", None) == "leaf" for entry in result[0].getstats())


def test_restarts_events_when_what_is_skipped_changes(library, tmp_path):
    skipped_here = {"engine": "monitoring", "filters": {"ignore_frames": [str(tmp_path)]}}
    mine = load_module(tmp_path / "mine.py", "def mine():\n    return 1\n")
    assert frames(trace(record(mine.mine, HostProfiler(skipped_here)))) == []
    # Disabled for the tool under the first configuration; recorded again now.
    assert labels(frames(trace(record(mine.mine, HostProfiler(MONITORING))))) == ["mine:call", "mine:return"]


def busy(stop, calls):
    while not stop.is_set():
        leaf(1)
        calls.append(1)


def test_only_followed_threads_record():
    stop, calls = threading.Event(), []
    before = threading.Thread(target=busy, args=(stop, calls), name="before")
    before.start()
    while not calls:
        pass

    def scenario():
        later = threading.Thread(target=leaf, args=(3,), name="later")
        later.start()
        later.join()
        leaf(2)

    try:
        doc = trace(record(scenario, HostProfiler(dict(MONITORING, threading=True))))
    finally:
        stop.set()
        before.join()
    assert {(r["thread"], r["co_name"]) for r in frames(doc)} == {
        ("MainThread", "scenario"), ("MainThread", "leaf"), ("later", "leaf")}


def test_a_thread_that_stops_leaves_the_others_recording():
    def worker():
        leaf(1)
        _sarn.register_noop_profiler()
        leaf(2)

    def scenario():
        thread = threading.Thread(target=worker, name="worker")
        thread.start()
        thread.join()
        leaf(3)

    doc = trace(record(scenario, HostProfiler(dict(MONITORING, threading=True))))
    assert [(r["thread"], r["locals"]["x"]) for r in frames(doc, "leaf")] == [
        ("MainThread", 3), ("MainThread", 3), ("worker", 1), ("worker", 1)]


def test_a_thread_followed_call_by_call_records_each_call_and_holds_the_profiler_once():
    # As a worker thread of a recorded web request is: joined for one call,
    # then paused, many times over.
    host = HostProfiler(MONITORING)
    references = []

    def worker():
        hook = host.rust_profiler
        for x in range(20):
            hook.register_threading_profiler(None, None, None)
            leaf(x)
            _sarn._pause_thread()
            leaf(-1)
            references.append(sys.getrefcount(hook))

    def scenario():
        thread = threading.Thread(target=worker, name="worker")
        thread.start()
        thread.join()

    doc = trace(record(scenario, host))
    assert [r["locals"]["x"] for r in frames(doc, "leaf") if r["event"] == "call"] == list(range(20))
    assert {r["thread"] for r in frames(doc, "leaf")} == {"worker"}
    assert len(set(references)) == 1


@pytest.mark.slow
def test_coverage_measures_beside_the_recorder(tmp_path):
    pytest.importorskip("coverage")
    program = tmp_path / "program.py"
    program.write_text(textwrap.dedent("""\
        import sarn

        def covered(x):
            return x + 1

        with sarn.record(db_path="traces.sqlite3") as recording:
            covered(1)
        covered(2)
        import sqlite3
        rows = sqlite3.connect("traces.sqlite3").execute("select count(*) from traces").fetchone()
        print("saved", rows[0])
        """))
    env = {"COVERAGE_CORE": "sysmon", "PATH": "/usr/bin:/bin"}
    # Under a sanitizer run the preloaded runtime and its settings stay: the
    # instrumented module cannot load without them.
    env.update({name: value for name, value in os.environ.items()
                if name in ("LD_PRELOAD", "PYTHON_GIL") or name.endswith("SAN_OPTIONS")})
    run = subprocess.run([sys.executable, "-m", "coverage", "run", "--data-file", str(tmp_path / "cov"),
                          str(program)], cwd=tmp_path, env=env, capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    assert "saved 1" in run.stdout
    report = subprocess.run([sys.executable, "-m", "coverage", "report", "--data-file", str(tmp_path / "cov"),
                             "-m", "--include", str(program)], cwd=tmp_path, env=env, capture_output=True,
                            text=True)
    assert report.returncode == 0, report.stderr
    assert "100%" in report.stdout
