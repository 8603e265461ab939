"""Building the profiler state from the host object: conversions and their
errors, defaults, and the order in which the host is read."""

import pathlib
import sys
import threading
import time
import types

import pytest

import sarn.db
from sarn import _sarn
from core_support import Host, frames, no_profile_left, plugins, record, trace  # noqa: F401

MISSING = object()
READ_ORDER = ["config", "db_path", "one_trace_per_test", "trace_id", "source"]


def work():
    return 1


class Outer:
    class Inner(list):
        pass


class Index:
    def __index__(self):
        return 7


class BadStr:
    def __str__(self):
        raise ValueError("no text")


class LoggingHost(Host):
    def __getattribute__(self, name):
        if name in READ_ORDER:
            object.__getattribute__(self, "reads").append(name)
        return object.__getattribute__(self, name)


def make_host(config, attributes, cls=Host, **extra):
    host = cls(config, **extra)
    for name, value in attributes.items():
        delattr(host, name) if value is MISSING else setattr(host, name, value)
    return host


@pytest.mark.parametrize("config, attributes, error, message", [
    ({}, {"config": MISSING}, AttributeError, "config"),
    ({}, {"source": MISSING}, AttributeError, "source"),
    (Outer.Inner(), {}, TypeError, "^'Outer.Inner' object cannot be converted to 'PyDict'$"),
    ({"filters": {"include_frames": None}}, {}, TypeError, "^'NoneType' object cannot be converted to 'Sequence'$"),
    ({"filters": {"ignore_frames": {"a": 1}}}, {}, TypeError, "^'dict' object cannot be converted to 'Sequence'$"),
    ({"filters": {"include_frames": "app"}}, {}, TypeError, "^Can't extract `str` to `Vec`$"),
    ({"filters": {"ignore_frames": ["app", 3]}}, {}, TypeError, "^'int' object cannot be converted to 'PyString'$"),
    ({"sqlite_busy_timeout": -1}, {}, OverflowError, None),
    ({"sqlite_busy_timeout": None}, {}, TypeError, "NoneType"),
    ({"sqlite_busy_timeout": 1.5}, {}, TypeError, "float"),
    ({}, {"db_path": BadStr()}, ValueError, "no text"),
    ({}, {"one_trace_per_test": 1}, TypeError, "^'int' object cannot be converted to 'PyBool'$"),
    ({}, {"trace_id": None}, TypeError, "^'NoneType' object cannot be converted to 'PyString'$"),
    ({}, {"source": b"tests"}, TypeError, "^'bytes' object cannot be converted to 'PyString'$"),
])
def test_build_errors(monkeypatch, config, attributes, error, message):
    """The first failure ends the build: later attributes are never read, and
    plugin loading (with its side effects in the host) comes after the
    configuration's entries and before `db_path`."""
    contexts = []
    spec = {"co_names": ["work"], "path_fragment": "", "call_type": "c", "return_type": "r",
            "build_context": lambda config: contexts.append(config) or {}}
    monkeypatch.setattr("sarn.plugins.load_plugin_data", lambda config: [spec])
    host = make_host(config, attributes, LoggingHost, reads=[])
    with pytest.raises(error, match=message):
        _sarn.register_profiler(host)
    failed_at = next((name for name in READ_ORDER if name in attributes), "config")
    assert host.reads == READ_ORDER[:READ_ORDER.index(failed_at) + 1]
    assert len(contexts) == (failed_at != "config")
    assert not hasattr(host, "rust_profiler")


def test_successful_build(monkeypatch):
    times = []
    spec = {"co_names": ["work"], "path_fragment": "", "call_type": "c", "return_type": "r",
            "build_context": lambda config: times.append((config, time.time())) or {}}
    monkeypatch.setattr("sarn.plugins.load_plugin_data", lambda config: [spec])
    config = {}
    host = LoggingHost(config, reads=[], trace_id="trc_from_host", source="state-tests")
    _sarn.register_profiler(host)
    sys.setprofile(None)
    assert host.reads == READ_ORDER + ["config"]  # then read again to follow threads
    doc = trace(host)
    [(given, loaded_at)] = times
    assert given is config  # the whole configuration goes to plugin loading
    assert loaded_at <= doc["timestamp"] <= time.time()  # the start time is taken last
    assert (doc["trace_id"], doc["meta"]["source"]) == ("trc_from_host", "state-tests")


@pytest.mark.parametrize("config, attributes, timeout, db_path", [
    ({"sqlite_busy_timeout": True}, {}, 1, "traces.sqlite3"),
    ({"sqlite_busy_timeout": 2 ** 64 - 1}, {}, 2 ** 64 - 1, "traces.sqlite3"),
    ({"sqlite_busy_timeout": Index()}, {}, 7, "traces.sqlite3"),
    ({}, {"db_path": pathlib.Path("/data", "t.db")}, 60, str(pathlib.Path("/data", "t.db"))),
])
def test_storage_settings(monkeypatch, plugins, config, attributes, timeout, db_path):
    saved = []
    monkeypatch.setattr(sarn.db, "save_trace_in_sqlite", lambda *args, **kwargs: saved.append((args, kwargs)))
    host = record(work, make_host(config, attributes, trace_id="trc_kept"))
    assert host.rust_profiler.save_request_in_db() is None
    [(args, kwargs)] = saved
    assert args == (db_path, "trc_kept") and list(kwargs) == ["timeout", "msgpack"]
    assert type(kwargs["timeout"]) is int and kwargs["timeout"] == timeout


@pytest.mark.parametrize("filters", [None, 5, ["include_frames"], {"ignore_frames": ("elsewhere",)}])
def test_filters_that_keep_the_frame(plugins, filters):
    assert len(frames(trace(record(work, Host({"filters": filters}))), "work")) == 2


def numpy_bool(value):
    return pytest.importorskip("numpy").bool_(value)


@pytest.mark.parametrize("make_flag, own_list", [
    (lambda: True, True),
    (lambda: False, False),
    (lambda: 1, False),
    (lambda: "yes", False),
    (lambda: numpy_bool(True), True),
    (lambda: numpy_bool(False), False),
    (lambda: pytest.importorskip("numpy").int64(1), False),
])
def test_threading_flag(plugins, make_flag, own_list):
    """Other threads' records get lists of their own only when the flag is
    strictly true; any other value quietly means false."""
    host = Host({"threading": make_flag()})
    _sarn.register_profiler(host)
    sys.setprofile(None)
    threading.setprofile(host.rust_profiler.register_threading_profiler)
    worker = threading.Thread(target=work, name="state-worker")
    worker.start()
    worker.join()
    doc = trace(host)
    assert [r["thread"] for r in frames(doc, "work")] == ["state-worker"] * 2
    assert list(doc["frames"]) == ([worker.native_id] if own_list else [])


def test_main_thread_id(monkeypatch, plugins):
    """A main thread without `native_id` gives none, and then with threads
    recorded apart every thread has its own list, this one too; a value must
    be unsigned."""
    monkeypatch.setattr(threading, "main_thread", object)
    assert trace(record(work))["main_thread_id"] is None
    doc = trace(record(work, Host({"threading": True})))
    assert doc["main_thread_id"] is None and doc["frames_of_interest"] == []
    assert [r["co_name"] for r in doc["frames"][threading.get_native_id()]] == ["work", "work"]
    monkeypatch.setattr(threading, "main_thread", lambda: types.SimpleNamespace(native_id=-1))
    with pytest.raises(OverflowError):
        _sarn.register_profiler(Host())


@pytest.mark.parametrize("key", ["filters", "sqlite_busy_timeout", "threading", "lightweight_repr"])
def test_raising_configuration_lookup_is_an_internal_failure(capfd, plugins, key):
    class RaisingKey(str):
        def __hash__(self):
            return hash(key)

        def __eq__(self, other):
            raise RuntimeError("comparison refused")

    host = Host({RaisingKey("other"): 1})
    with pytest.raises(BaseException) as raised:
        _sarn.register_profiler(host)
    # Not an Exception, so that `except Exception` in the host lets it through.
    assert type(raised.value).__bases__ == (BaseException,)
    text = str(raised.value)
    assert text.startswith('config.get("%s" should not raise.: ' % key) and "comparison refused" in text
    assert text in capfd.readouterr().err
    assert not hasattr(host, "rust_profiler")
