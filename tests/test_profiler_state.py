"""Building the profiler state from the host object: conversions, their
errors, defaults, and the order in which the host is read."""

import pathlib
import sys
import threading
import time

import pytest

import sarn.db
from sarn import _sarn
from core_support import Host, frames, no_profile_left, plugins, record, trace  # noqa: F401


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


@pytest.mark.parametrize("config, host_attributes, error, message", [
    ([], {}, TypeError, "'list' object cannot be converted to 'PyDict'"),
    ({}, {"config": None}, TypeError, "'NoneType' object cannot be converted to 'PyDict'"),
    (Outer.Inner(), {}, TypeError, "'Outer.Inner' object cannot be converted to 'PyDict'"),
    ({"filters": {"include_frames": None}}, {}, TypeError,
     "'NoneType' object cannot be converted to 'Sequence'"),
    ({"filters": {"ignore_frames": {"a": 1}}}, {}, TypeError, "'dict' object cannot be converted to 'Sequence'"),
    ({"filters": {"include_frames": {"a"}}}, {}, TypeError, "'set' object cannot be converted to 'Sequence'"),
    ({"filters": {"include_frames": "app"}}, {}, TypeError, "Can't extract `str` to `Vec`"),
    ({"filters": {"ignore_frames": ["app", 3]}}, {}, TypeError, "'int' object cannot be converted to 'PyString'"),
    ({"filters": {"ignore_frames": ["\ud800"]}}, {}, UnicodeEncodeError, "surrogates"),
    ({"sqlite_busy_timeout": -1}, {}, OverflowError, None),
    ({"sqlite_busy_timeout": 2 ** 64}, {}, OverflowError, None),
    ({"sqlite_busy_timeout": None}, {}, TypeError, "NoneType"),
    ({"sqlite_busy_timeout": 1.5}, {}, TypeError, "float"),
    ({"sqlite_busy_timeout": "60"}, {}, TypeError, "str"),
    ({}, {"db_path": BadStr()}, ValueError, "no text"),
    ({}, {"one_trace_per_test": 1}, TypeError, "^'int' object cannot be converted to 'PyBool'$"),
    ({}, {"one_trace_per_test": None}, TypeError, "^'NoneType' object cannot be converted to 'PyBool'$"),
    ({}, {"trace_id": None}, TypeError, "^'NoneType' object cannot be converted to 'PyString'$"),
    ({}, {"trace_id": b"trc_x"}, TypeError, "^'bytes' object cannot be converted to 'PyString'$"),
    ({}, {"source": 5}, TypeError, "^'int' object cannot be converted to 'PyString'$"),
])
def test_conversion_errors(plugins, config, host_attributes, error, message):
    host = Host(config)
    vars(host).update(host_attributes)
    with pytest.raises(error, match=message):
        _sarn.register_profiler(host)
    assert not hasattr(host, "rust_profiler")


@pytest.mark.parametrize("name", ["config", "db_path", "one_trace_per_test", "trace_id", "source"])
def test_missing_host_attribute(plugins, name):
    host = Host()
    delattr(host, name)
    with pytest.raises(AttributeError, match=name):
        _sarn.register_profiler(host)


class LoggingHost(Host):
    """Remembers which of its attributes the core reads, in order."""

    def __getattribute__(self, name):
        if name in ("config", "db_path", "one_trace_per_test", "trace_id", "source"):
            object.__getattribute__(self, "reads").append(name)
        return object.__getattribute__(self, name)


READ_ORDER = ["config", "db_path", "one_trace_per_test", "trace_id", "source"]


@pytest.mark.parametrize("config, host_attributes, reads, plugins_loaded", [
    ([], {}, 1, False),
    ({"filters": {"include_frames": "x"}}, {}, 1, False),
    ({"sqlite_busy_timeout": -1}, {}, 1, False),
    ({}, {"db_path": BadStr()}, 2, True),
    ({}, {"one_trace_per_test": 1}, 3, True),
    ({}, {"trace_id": None}, 4, True),
    ({}, {"source": None}, 5, True),
])
def test_build_order(monkeypatch, config, host_attributes, reads, plugins_loaded):
    """The first failure ends the build: later attributes are never read, and
    plugin loading (with its host side effects) runs after the configuration
    entries and before `db_path`."""
    contexts_built = []
    spec = {"co_names": ["work"], "path_fragment": "", "call_type": "c", "return_type": "r",
            "build_context": lambda config: contexts_built.append(config) or {}}
    monkeypatch.setattr("sarn.plugins.load_plugin_data", lambda config: [spec])
    host = LoggingHost(config, reads=[], **host_attributes)
    with pytest.raises(Exception):
        _sarn.register_profiler(host)
    assert host.reads == READ_ORDER[:reads]
    assert len(contexts_built) == plugins_loaded


def test_successful_build_reads_each_attribute_once_and_config_again(monkeypatch, plugins):
    seen = []
    monkeypatch.setattr("sarn.plugins.load_plugin_data", lambda config: seen.append(config) or [])
    config = {"sqlite_busy_timeout": 3}
    host = LoggingHost(config, reads=[])
    _sarn.register_profiler(host)
    sys.setprofile(None)
    assert host.reads == READ_ORDER + ["config"]
    assert seen == [config] and seen[0] is config  # the whole dict goes to plugin loading


def test_start_timestamp_follows_plugin_loading(monkeypatch):
    times = []
    spec = {"co_names": ["work"], "path_fragment": "", "call_type": "c", "return_type": "r",
            "build_context": lambda config: times.append(time.time()) or {}}
    monkeypatch.setattr("sarn.plugins.load_plugin_data", lambda config: [spec])
    host = Host(trace_id="trc_from_host", source="state-tests")
    before = time.time()
    _sarn.register_profiler(host)
    sys.setprofile(None)
    doc = trace(host)
    assert before <= times[0] <= doc["timestamp"] <= time.time()
    assert (doc["trace_id"], doc["meta"]["source"]) == ("trc_from_host", "state-tests")


@pytest.fixture
def saved(monkeypatch):
    """Calls of the storage function: (db_path, trace_id, keyword arguments)."""
    calls = []
    monkeypatch.setattr(sarn.db, "save_trace_in_sqlite",
                        lambda *args, **kwargs: calls.append((args, kwargs)) or "ignored")
    return calls


@pytest.mark.parametrize("config, host_attributes, timeout, db_path", [
    ({}, {}, 60, "traces.sqlite3"),
    ({"sqlite_busy_timeout": True}, {}, 1, "traces.sqlite3"),
    ({"sqlite_busy_timeout": 0}, {}, 0, "traces.sqlite3"),
    ({"sqlite_busy_timeout": 2 ** 64 - 1}, {}, 2 ** 64 - 1, "traces.sqlite3"),
    ({"sqlite_busy_timeout": Index()}, {}, 7, "traces.sqlite3"),
    ({}, {"db_path": pathlib.Path("/data") / "t.db"}, 60, str(pathlib.Path("/data/t.db"))),
    ({}, {"db_path": 42}, 60, "42"),
])
def test_storage_settings(plugins, saved, config, host_attributes, timeout, db_path):
    host = record(work, Host(config, trace_id="trc_kept", **host_attributes))
    assert host.rust_profiler.save_request_in_db() is None
    [(args, kwargs)] = saved
    assert args == (db_path, "trc_kept")
    assert list(kwargs) == ["timeout", "msgpack"]
    assert type(kwargs["timeout"]) is int and kwargs["timeout"] == timeout


@pytest.mark.parametrize("filters, recorded", [
    (None, True),
    (5, True),  # cannot be subscripted: both lists empty
    (["include_frames"], True),
    ({}, True),
    ({"ignore_frames": ("test_profiler_state",)}, False),
    ({"ignore_frames": ["test_profiler_state"], "include_frames": ("test_profiler_state",)}, True),
])
def test_filters_entry(plugins, filters, recorded):
    doc = trace(record(work, Host({"filters": filters})))
    assert bool(frames(doc, "work")) == recorded


def started_worker(host):
    """A thread hooked through the profiler's own installer, whatever the configuration."""
    threading.setprofile(host.rust_profiler.register_threading_profiler)
    worker = threading.Thread(target=work, name="state-worker")
    worker.start()
    worker.join()
    return worker


def numpy_bool(value):
    numpy = pytest.importorskip("numpy")
    return numpy.bool_(value)


@pytest.mark.parametrize("make_flag, own_list", [
    (lambda: True, True),
    (lambda: False, False),
    (lambda: 1, False),
    (lambda: "yes", False),
    (lambda: None, False),
    (lambda: numpy_bool(True), True),
    (lambda: numpy_bool(False), False),
])
def test_threading_flag(plugins, make_flag, own_list):
    """Records of other threads get lists of their own only when the flag is
    strictly true; anything else quietly means false."""
    host = Host({"threading": make_flag()})
    _sarn.register_profiler(host)
    sys.setprofile(None)
    worker = started_worker(host)
    doc = trace(host)
    assert [r["thread"] for r in frames(doc, "work")] == ["state-worker"] * 2
    assert list(doc["frames"]) == ([worker.native_id] if own_list else [])


def test_numpy_booleans_are_strict_booleans(plugins):
    numpy = pytest.importorskip("numpy")
    _sarn.register_profiler(Host(one_trace_per_test=numpy.bool_(False)))
    with pytest.raises(TypeError, match="^'int64' object cannot be converted to 'PyBool'$"):
        _sarn.register_profiler(Host(one_trace_per_test=numpy.int64(1)))


class NoNativeId:
    pass


class NativeId:
    def __init__(self, value):
        self.value = value

    @property
    def native_id(self):
        if isinstance(self.value, Exception):
            raise self.value
        return self.value


@pytest.mark.parametrize("main_thread, expected", [
    (NoNativeId, None),
    (lambda: NativeId(None), None),
    (lambda: NativeId(12345), 12345),
    (lambda: NativeId(RuntimeError("native id unreadable")), RuntimeError),
    (lambda: NativeId(-1), OverflowError),
    (lambda: NativeId("1"), TypeError),
])
def test_main_thread_id(monkeypatch, plugins, main_thread, expected):
    monkeypatch.setattr(threading, "main_thread", main_thread)
    host = Host()
    if isinstance(expected, type):
        with pytest.raises(expected):
            _sarn.register_profiler(host)
        return
    _sarn.register_profiler(host)
    sys.setprofile(None)
    assert trace(host)["main_thread_id"] == expected


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
    text = str(raised.value)
    assert not isinstance(raised.value, Exception)
    assert text.startswith('config.get("%s" should not raise.: ' % key)
    assert "comparison refused" in text
    assert text in capfd.readouterr().err
    assert not hasattr(host, "rust_profiler")
