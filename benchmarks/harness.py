"""The child side of the benchmarks: runs one workload under one profiler.

    python benchmarks/harness.py MODE WORKLOAD SCALE   -> prints seconds
    python benchmarks/harness.py kept                  -> JSON figures
    python benchmarks/harness.py build                 -> JSON figures
    python benchmarks/harness.py request MODE COUNT    -> JSON figures
"""
from __future__ import annotations

import atexit
import importlib
import importlib.util
import json
import os
import shutil
import sys
import sysconfig
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "workloads"))

# "recorder-skip-all" ignores every frame: the cost of the skipped-frame path
# alone, next to the empty hook.
# "recorder-saved" also builds the trace and stores it in a SQLite database:
# the whole cost of recording a run.
# "recorder-setprofile" records through the profile function where the
# recorder would use sys.monitoring (3.12 and later).
# "viztracer-values" is VizTracer logging arguments and return values, its
# trace kept in memory (when VizTracer is installed).
MODES = ["none", "noop", "recorder-skip-all", "recorder", "recorder-setprofile", "recorder-lightweight",
         "recorder-saved", "cprofile",
         "viztracer", "viztracer-excludes", "viztracer-values"]
NIL = b"\xc0"


class HostProfiler:
    """The smallest host object the recorder accepts, recording through the
    engine the host package asks for unless `config` names another (the core
    alone would take the profile function)."""

    def __init__(self, config=None):
        self.config = {"engine": "monitoring", **(config or {})}
        self.db_path = os.devnull
        self.one_trace_per_test = False
        self.trace_id = "trc_benchmark"
        self.source = "benchmark"

    def __call__(self, *args):
        pass


def available(mode: str) -> bool:
    if mode == "recorder-setprofile":
        return sys.version_info >= (3, 12)
    if mode.startswith("viztracer"):
        try:
            importlib.import_module("viztracer")
        except ImportError:
            return False
    return True


def _profilers(mode: str):
    """(start, stop) for a mode."""
    if mode == "none":
        return (lambda: None), (lambda: None)
    from sarn import _sarn

    if mode == "noop":
        return _sarn.register_noop_profiler, (lambda: sys.setprofile(None))
    if mode.startswith("recorder"):
        # Imported once by any program that records for long; not part of
        # the per-event cost being measured.
        importlib.import_module("sarn.serialize")
        importlib.import_module("sarn.plugins")
        config = {"recorder-skip-all": {"filters": {"ignore_frames": [""]}},
                  "recorder-lightweight": {"lightweight_repr": True},
                  "recorder-setprofile": {"engine": "setprofile"}}.get(mode)
        host = HostProfiler(config)
        if mode == "recorder-saved":
            importlib.import_module("sarn.db")
            folder = tempfile.mkdtemp(prefix="sarn-bench-")
            atexit.register(shutil.rmtree, folder, True)  # after the timing, as the process ends
            host.db_path = os.path.join(folder, "db.sqlite3")

        def stop():
            _sarn.register_noop_profiler()
            sys.setprofile(None)
            if mode == "recorder-saved":  # as the end of `sarn.record()` saves
                sys.modules["sarn.db"].save_trace_in_sqlite(host.db_path, host.trace_id, timeout=60,
                                                            msgpack=host.rust_profiler.take_trace_document())

        return (lambda: _sarn.register_profiler(host)), stop
    if mode == "cprofile":
        import cProfile

        profile = cProfile.Profile()
        return profile.enable, profile.disable
    from viztracer import VizTracer

    options = {"verbose": 0}
    if mode == "viztracer-excludes":
        options["exclude_files"] = [sysconfig.get_paths()["stdlib"]]
    if mode == "viztracer-values":  # arguments and return values, as recorded values; kept in memory
        options.update(log_func_args=True, log_func_retval=True)
    tracer = VizTracer(**options)
    return tracer.start, tracer.stop


def time_mode(mode: str, workload: str, scale: int) -> float:
    module = importlib.import_module(workload)
    # One short run under the same kind of profiler first, so that what every
    # profiler does once per process (imports, caches, random generators) is
    # outside the timing: the figures are the steady state of a long program.
    start, stop = _profilers(mode)
    start()
    module.run(1)
    stop()
    start, stop = _profilers(mode)
    began = time.perf_counter()
    start()
    module.run(scale)
    stop()
    return time.perf_counter() - began


def count_events(workload: str, scale: int):
    module = importlib.import_module(workload)
    module.run(1)
    own = module.__file__
    counts = [0, 0]

    def counter(frame, event, arg):
        if event in ("call", "return"):
            counts[0] += 1
            if frame.f_code.co_filename == own:
                counts[1] += 1

    sys.setprofile(counter)
    module.run(scale)
    sys.setprofile(None)
    return counts[0], counts[1]


def rss_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def peak_rss_bytes() -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return 0


def reset_peak_rss() -> None:
    try:
        with open("/proc/self/clear_refs", "w") as clear_refs:
            clear_refs.write("5")
    except OSError:
        pass


def _record(function, *args, serialiser=None):
    """Runs `function` under the recorder; returns (seconds, profiler)."""
    import sarn.serialize
    from sarn import _sarn

    saved = sarn.serialize.dump_msgpack
    if serialiser is not None:
        sarn.serialize.dump_msgpack = serialiser
    host = HostProfiler()
    try:
        began = time.perf_counter()
        _sarn.register_profiler(host)
        function(*args)
        _sarn.register_noop_profiler()
        elapsed = time.perf_counter() - began
    finally:
        sys.setprofile(None)
        sarn.serialize.dump_msgpack = saved
    return elapsed, host.rust_profiler


def _timed(function, *args) -> float:
    began = time.perf_counter()
    function(*args)
    return time.perf_counter() - began


def kept() -> dict:
    import msgpack
    import user_code

    user_code.run(1)
    scale = 4
    plain = _timed(user_code.run, scale)
    stub_seconds, _ = _record(user_code.run, scale, serialiser=lambda value: NIL)
    before = rss_bytes()
    real_seconds, profiler = _record(user_code.run, scale)
    stored = rss_bytes() - before
    document = profiler.build_trace()
    records = len(msgpack.unpackb(document, strict_map_key=False)["frames_of_interest"])
    return {
        "kept events": records,
        "recorder us per kept event (stub serialiser)": (stub_seconds - plain) / records * 1e6,
        "recorder+serialiser us per kept event": (real_seconds - plain) / records * 1e6,
        "encoded bytes per record": len(document) / records,
        "resident bytes per stored record": stored / records,
        "resident / encoded": stored / len(document),
    }


def _tiny(value):
    return value


def _many_calls(count):
    for index in range(count):
        _tiny(index)


def build() -> dict:
    calls = 500_000
    _, profiler = _record(_many_calls, calls, serialiser=lambda value: NIL)
    before = rss_bytes()
    reset_peak_rss()
    began = time.perf_counter()
    document = profiler.build_trace()
    seconds = time.perf_counter() - began
    peak_extra = peak_rss_bytes() - before
    size = len(document)
    return {
        "stored records": 2 * calls + 1,
        "document MB": size / 1e6,
        "build_trace seconds": seconds,
        "build_trace GB/s": size / seconds / 1e9,
        "peak extra memory / document size": peak_extra / size,
    }


# A Django page with 51 queries (benchmarks/workloads/django_requests.py):
# served plain, through sarn's middleware with its defaults, through it with
# the capture of SQL, HTTP, logs and templates off, and through
# django-debug-toolbar with its default panels shown on every request.
REQUEST_MODES = ["none", "sarn", "sarn-capture-off", "debug-toolbar"]
REQUEST_PATH = "/books/"


def request_mode_available(mode: str) -> bool:
    needed = {"debug-toolbar": "debug_toolbar"}.get(mode, "django")
    return importlib.util.find_spec(needed) is not None


def time_requests(mode: str, count: int) -> dict:
    """Seconds per request over `count` requests, after a few warm ones, and
    what the requests did: queries run, traces saved, toolbar shown."""
    import django_requests

    folder = tempfile.mkdtemp(prefix="sarn-bench-")
    atexit.register(shutil.rmtree, folder, True)
    django_requests.configure(mode, folder)
    django_requests.prepare()
    from django.db import connection
    from django.test import Client

    client = Client()
    # Warm requests: the URL resolver, the template's compilation, the
    # recorder's code memos and the toolbar's first store are all made once.
    for _ in range(3):
        response = client.get(REQUEST_PATH)
    if response.status_code != 200:
        raise RuntimeError("%s answered %d" % (REQUEST_PATH, response.status_code))
    queries = []
    with connection.execute_wrapper(lambda execute, sql, *rest: queries.append(sql) or execute(sql, *rest)):
        response = client.get(REQUEST_PATH)
    began = time.perf_counter()
    for _ in range(count):
        client.get(REQUEST_PATH)
    seconds = (time.perf_counter() - began) / count
    found = {"seconds": seconds, "queries": len(queries),
             "toolbar shown": b'id="djDebug"' in response.content}
    if mode.startswith("sarn"):
        from sarn import db

        traces = db.list_traces(os.path.join(folder, "traces.sqlite3"))
        found["traces"] = len(traces)
        found["sql in trace"] = traces[0].sql_count if traces else 0
    if mode == "debug-toolbar":
        found["sql in toolbar"] = _toolbar_queries()
    return found


def _toolbar_queries():
    """The queries of the last request in the toolbar's SQL panel, or None
    when this release of the toolbar keeps its store elsewhere."""
    try:
        from debug_toolbar.toolbar import DebugToolbar

        toolbar = list(DebugToolbar._store.values())[-1]
        return len(toolbar.get_panel_by_id("SQLPanel").get_stats()["queries"])
    except Exception:
        return None


def main() -> None:
    if sys.argv[1] == "request":
        print(json.dumps(time_requests(sys.argv[2], int(sys.argv[3]))))
    elif sys.argv[1] == "kept":
        print(json.dumps(kept()))
    elif sys.argv[1] == "build":
        print(json.dumps(build()))
    else:
        mode, workload, scale = sys.argv[1], sys.argv[2], int(sys.argv[3])
        print(time_mode(mode, workload, scale))


if __name__ == "__main__":
    main()
