"""The module `sarn._sarn`: namespace, registration, the SarnProfiler class and
the following of new threads.

The host objects here name no "engine", as a host that knows only the
module's functions does: the module then records through the threads'
profile functions on every interpreter (test_monitoring.py covers recording
through sys.monitoring, which the host package asks for by name)."""

import importlib.util
import sys
import threading
import types

import pytest

from sarn import _sarn
from core_support import Host, events, frames, no_profile_left, plugins, record, thread_profile, trace  # noqa: F401


def work():
    return 1


def sentinel_profile(frame, event, arg):
    pass


def registered(**config):
    host = Host(config)
    _sarn.register_profiler(host)
    return host


def test_namespace_and_signatures():
    assert _sarn.__all__ == ["register_noop_profiler", "register_profiler"]
    assert [name for name in dir(_sarn) if not name.startswith("_")] == _sarn.__all__  # no SarnProfiler
    assert _sarn.__doc__ == ""
    assert _sarn.register_profiler.__text_signature__ == "(profiler)"
    assert _sarn.register_noop_profiler.__text_signature__ == "()"
    assert _sarn.register_profiler.__self__ is _sarn


def test_module_initialises_once_per_process():
    spec = importlib.util.spec_from_file_location("sarn._sarn", _sarn.__file__)
    with pytest.raises(ImportError, match="only once"):
        importlib.util.module_from_spec(spec)


@pytest.mark.parametrize("by_keyword", [False, True])
def test_registration_attaches_a_sarn_profiler_and_installs_it(plugins, by_keyword):
    sys.setprofile(sentinel_profile)
    host = Host()
    assert (_sarn.register_profiler(profiler=host) if by_keyword else _sarn.register_profiler(host)) is None
    assert sys.getprofile() is host.rust_profiler
    profiler_type = type(host.rust_profiler)
    assert (profiler_type.__module__, profiler_type.__name__, profiler_type.__bases__) == (
        "sarn._sarn", "SarnProfiler", (object,))
    signatures = [getattr(profiler_type, name).__text_signature__
                  for name in ("save_request_in_db", "build_trace", "register_threading_profiler")]
    assert signatures == ["($self)", "($self)", "($self, _frame, _event, _arg)"]
    with pytest.raises(TypeError, match="^No constructor defined$"):
        profiler_type(host)


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "register_profiler"),
    ((Host(), Host()), {}, "register_profiler"),
    ((), {"host": Host()}, "register_profiler"),
    ((42,), {}, "^profiler object is not callable$"),
    ((type("NotCallable", (), vars(Host()))(),), {}, "^profiler object is not callable$"),
    ((Host([]),), {}, "^'list' object cannot be converted to 'PyDict'$"),
    ((Host(trace_id=None),), {}, "^'NoneType' object cannot be converted to 'PyString'$"),
])
def test_refused_registration_changes_nothing(monkeypatch, args, kwargs, message):
    loaded = []
    monkeypatch.setattr("sarn.plugins.load_plugin_data", lambda config: loaded.append(config) or [])
    sys.setprofile(sentinel_profile)
    with pytest.raises(TypeError, match=message):
        _sarn.register_profiler(*args, **kwargs)
    assert sys.getprofile() is sentinel_profile and thread_profile() is None
    assert not any(hasattr(host, "rust_profiler") for host in args)
    if "callable" in message:
        assert loaded == []  # refused before anything is built


class ReadOnlyHost(Host):
    def __setattr__(self, name, value):
        if name == "rust_profiler":
            raise AttributeError("read-only host")
        super().__setattr__(name, value)


class OnceConfigHost(Host):
    reads = 0

    @property
    def config(self):
        self.reads += 1
        if self.reads > 1:
            raise LookupError("config gone")
        return {"threading": True}

    @config.setter
    def config(self, value):
        pass


def refuse(function):
    raise RuntimeError("no thread following")


@pytest.mark.parametrize("make_host, setprofile, error, installed", [
    (lambda: ReadOnlyHost({"threading": True}), None, AttributeError, False),
    (OnceConfigHost, None, LookupError, True),
    (lambda: Host({"threading": True}), refuse, RuntimeError, True),
])
def test_failure_after_the_build(monkeypatch, plugins, make_host, setprofile, error, installed):
    """`rust_profiler` is set before the hook is installed; `config` is read
    again, and threads are followed, after it."""
    if setprofile:
        monkeypatch.setattr(threading, "setprofile", setprofile)
    host = make_host()
    sys.setprofile(sentinel_profile)
    with pytest.raises(error):
        _sarn.register_profiler(host)
    assert sys.getprofile() is (host.rust_profiler if installed else sentinel_profile)
    assert thread_profile() is None


class Worker(threading.Thread):
    def __init__(self, go=None, stop=False):
        super().__init__(name="worker")
        self.go = go
        self.stop = stop
        self.profile_after_stop = []

    def run(self):
        if self.go is not None:
            self.go.wait()
        work()
        if self.stop:
            _sarn.register_noop_profiler()
            self.profile_after_stop.append(sys.getprofile())
            work()


@pytest.mark.parametrize("config, started_before, starter_hooked, followed", [
    ({"threading": True}, False, False, True),
    ({"threading": True}, False, True, True),
    ({"threading": True}, True, False, False),
    ({"threading": False}, False, False, False),
    ({}, False, False, False),
    ({"threading": 1}, False, False, False),
])
def test_threads_started_later_are_followed(plugins, config, started_before, starter_hooked, followed):
    go = threading.Event()
    worker = Worker(go)
    if started_before:
        worker.start()
    host = registered(**config)
    if not starter_hooked:
        sys.setprofile(None)
    if not started_before:
        worker.start()
    go.set()
    worker.join()
    sys.setprofile(None)
    assert (thread_profile() is not None) == (config.get("threading") is True)
    doc = trace(host)
    recorded = [r for r in frames(doc) if r["thread"] == "worker"]
    # Recorded from the thread's first event, the call of `run`, whatever
    # event installs the hook (a built-in's, when the starter is profiled too
    # on 3.12 and 3.13, and from 3.14 on).
    assert events(recorded) == ([("run", "call"), ("work", "call"), ("work", "return"), ("run", "return")]
                                if followed else [])
    assert list(doc["frames"]) == ([worker.native_id] if followed else [])


def test_register_threading_profiler_hooks_the_calling_thread(plugins):
    host = registered()
    profiler = host.rust_profiler
    sys.setprofile(None)
    for args, kwargs in [((None, None, None), {}), ((None, "call", None), {}),
                         ((), {"_frame": 1, "_event": 2, "_arg": 3})]:
        assert profiler.register_threading_profiler(*args, **kwargs) is None
        assert sys.getprofile() is profiler
        work()  # recorded: the thread is hooked from the call on
        sys.setprofile(None)
        work()
    for args, kwargs in [((1, 2), {}), ((1, 2, 3, 4), {}), ((1, 2), {"arg": 3})]:
        with pytest.raises(TypeError):
            profiler.register_threading_profiler(*args, **kwargs)
        assert sys.getprofile() is None
    assert events(frames(trace(host), "work")) == [("work", "call"), ("work", "return")] * 3


@pytest.mark.parametrize("stopping", ["main", "worker"])
def test_noop_profiler_stops_the_calling_thread_only(plugins, stopping):
    go = threading.Event()
    host = registered(threading=True)
    worker = Worker(go, stop=stopping == "worker")
    worker.start()
    if stopping == "main":
        assert _sarn.register_noop_profiler() is None
        assert sys.getprofile() is None
    assert thread_profile() == host.rust_profiler.register_threading_profiler  # still following new threads
    work()
    go.set()
    worker.join()
    work()
    sys.setprofile(None)
    doc = trace(host)
    work_events = [("work", "call"), ("work", "return")]
    assert events(r for r in doc["frames_of_interest"] if r["co_name"] == "work") == (
        [] if stopping == "main" else work_events * 2)
    # The worker records nothing after its own stop, not even the return from `run`.
    assert events(doc["frames"][worker.native_id]) == (
        [("run", "call")] + work_events + ([] if stopping == "worker" else [("run", "return")]))
    assert worker.profile_after_stop == ([None] if stopping == "worker" else [])


def test_second_registration_replaces_the_first(plugins):
    host = Host()
    _sarn.register_profiler(host)
    first = host.rust_profiler
    work()
    _sarn.register_profiler(host)
    second = host.rust_profiler
    work()
    hooked = sys.getprofile()
    sys.setprofile(None)
    assert hooked is second is not first
    # Each keeps what it recorded; nothing is merged into the new one.
    for profiler in (first, second):
        doc = trace(types.SimpleNamespace(rust_profiler=profiler))
        assert events(frames(doc, "work")) == [("work", "call"), ("work", "return")]


def test_methods_refuse_other_objects(plugins):
    host = record(work)
    for method, args in [("build_trace", ()), ("save_request_in_db", ()), ("register_threading_profiler", (1, 2, 3))]:
        with pytest.raises(TypeError, match="'int' object"):
            getattr(type(host.rust_profiler), method)(42, *args)
    assert sys.getprofile() is None
    assert events(frames(trace(host))) == [("work", "call"), ("work", "return")]
