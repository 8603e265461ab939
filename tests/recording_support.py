"""Helpers for tests that drive the recording core `sarn._sarn` directly."""

import importlib.util
import sys
import threading

import msgpack

import sarn.plugins
from sarn import _sarn

# Where installed libraries live, below some prefix.
LIBRARY = "lib/python3.x/site-packages"
FRAME_KEYS = ["path", "co_name", "qualname", "event", "frame_id", "arg", "locals",
              "thread", "thread_native_id", "timestamp", "type", "user_code_call_site"]


class HostProfiler:
    """The host object the core is registered with."""

    def __init__(self, config=None, *, db_path="traces.sqlite3", one_trace_per_test=False,
                 trace_id="trc_host_given", source="tests"):
        self.config = {} if config is None else config
        self.db_path = db_path
        self.one_trace_per_test = one_trace_per_test
        self.trace_id = trace_id
        self.source = source

    def __call__(self, *args):
        return None


def unregister():
    """Leaves no profile function behind, on this thread or for new threads."""
    _sarn.register_noop_profiler()
    threading.setprofile(None)
    sys.setprofile(None)


def record(fn, host=None, specs=()):
    """Runs `fn` recorded and returns the host profiler: only `fn` and what it
    calls produce events. Plugin loading yields `specs` (no built-in plugins).
    An exception from `fn` propagates."""
    host = HostProfiler() if host is None else host
    original = sarn.plugins.load_plugin_data
    sarn.plugins.load_plugin_data = lambda config: list(specs)
    try:
        _sarn.register_profiler(host)  # in this frame, so that no frame of ours is recorded
        sarn.plugins.load_plugin_data = original
        fn()
    finally:
        _sarn.register_noop_profiler()
        sarn.plugins.load_plugin_data = original
        unregister()
    return host


def decode(document):
    return msgpack.unpackb(document, raw=False, strict_map_key=False)


def trace(host):
    """The decoded trace document of the host's recording (this empties its stores)."""
    return decode(host.rust_profiler.build_trace())


def all_records(doc):
    records = list(doc["frames_of_interest"])
    for thread_records in doc["frames"].values():
        records.extend(thread_records)
    return records


def frames(doc, co_name=None):
    """Frame event records in stored order, optionally only those of one function."""
    return [r for r in all_records(doc)
            if r["type"] == "frame" and (co_name is None or r["co_name"] == co_name)]


# Records that say more of the frame record before them.
NOTES = ("exception", "suspension", "resumption")


def payloads(doc):
    """Plugin payloads in stored order."""
    return [r for r in all_records(doc) if r["type"] != "frame" and r["type"] not in NOTES]


def labels(records):
    """ "co_name:event" for frame records, the type for plugin payloads."""
    return [r["co_name"] + ":" + r["event"] if r["type"] == "frame" else r["type"] for r in records]


def load_module(path, source, name=None):
    """Writes `source` to `path` and imports it as a module named `name`."""
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(source)
    spec = importlib.util.spec_from_file_location(name or path.stem, str(path))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def compile_function(filename, source, name="f", module="compiled"):
    """Compiles `source` as if read from `filename` and returns its function `name`."""
    namespace = {"__name__": module}
    exec(compile(source, str(filename), "exec"), namespace)
    return namespace[name]
