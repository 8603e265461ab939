"""Helpers for the tests of the core's entry points, state, reports and references."""

import logging
import sys
import threading

import msgpack
import pytest

import sarn.plugins
import sarn.serialize
from sarn import _sarn


class Host:
    """A minimal host profiler object: callable, with the attributes the core reads."""

    def __init__(self, config=None, **attributes):
        self.config = {} if config is None else config
        self.db_path = "traces.sqlite3"
        self.one_trace_per_test = False
        self.trace_id = "trc_given_by_host"
        self.source = "tests"
        self.__dict__.update(attributes)

    def __call__(self, *args):
        return None


def thread_profile():
    """What `threading` installs in threads started from now on."""
    return getattr(threading, "getprofile", lambda: threading._profile_hook)()


def stop_recording():
    """Stops recording on this thread, through either engine."""
    _sarn.register_noop_profiler()
    sys.setprofile(None)


@pytest.fixture(autouse=True)
def no_profile_left():
    yield
    stop_recording()
    threading.setprofile(None)


@pytest.fixture
def plugins(monkeypatch):
    """The specifications plugin loading returns: none unless a test adds some."""
    specs = []
    monkeypatch.setattr(sarn.plugins, "load_plugin_data", lambda config: specs)
    return specs


def simple_dump(value):
    return msgpack.packb(value, default=repr)


@pytest.fixture
def serialiser(monkeypatch, plugins):
    """Both host serialisers, delegating to `serialiser.dump` (`simple_dump` unless
    replaced) and logging (function name, value) in `serialiser.calls`."""

    class Spy:
        calls = []
        dump = staticmethod(simple_dump)

    def make(name):
        def dump(value):
            Spy.calls.append((name, dict(value) if type(value) is dict else value))  # locals change later
            return Spy.dump(value)
        return dump

    for name in ("dump_msgpack", "dump_msgpack_lightweight_repr"):
        monkeypatch.setattr(sarn.serialize, name, make(name))
    return Spy


@pytest.fixture
def sarn_log(monkeypatch):
    """Records reaching the "sarn" logger, enabled at level WARNING for the test."""
    records = []
    handler = logging.Handler()
    handler.emit = records.append
    logger = logging.getLogger("sarn")
    monkeypatch.setattr(logger, "handlers", [handler])
    monkeypatch.setattr(logger, "disabled", False)
    level = logger.level
    logger.setLevel(logging.WARNING)  # setLevel also clears the logger's cache
    yield records
    logger.setLevel(level)


def record(fn, host=None):
    """Runs `fn` recorded on this thread; returns the host object."""
    host = Host() if host is None else host
    _sarn.register_profiler(host)
    try:
        fn()
    finally:
        _sarn.register_noop_profiler()  # inline: a helper's call would be recorded
        sys.setprofile(None)
    return host


def trace(host):
    return msgpack.unpackb(host.rust_profiler.build_trace(), raw=False, strict_map_key=False)


def frames(doc, co_name=None):
    """Frame records: the main list's, then each thread's; optionally of one function."""
    records = list(doc["frames_of_interest"])
    for thread_records in doc["frames"].values():
        records.extend(thread_records)
    return [r for r in records if r.get("type") == "frame" and co_name in (None, r["co_name"])]


def events(records):
    return [(r["co_name"], r["event"]) for r in records]
