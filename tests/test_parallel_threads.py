"""Threads recorded in parallel, in a process of their own: eight threads
start together behind a barrier and call `work` many times each while a
dict they all share changes under them. Every call and return of every
thread must be in the trace, in the thread's order, with its own arguments.

On a free-threaded interpreter the threads really run at once, so this is
the test the ThreadSanitizer run (scripts/tsan-run.sh) leans on; it lowers
the call count through SARN_TEST_PARALLEL_CALLS."""

import os
import subprocess
import sys

import pytest

THREADS = 8
CALLS = int(os.environ.get("SARN_TEST_PARALLEL_CALLS", "100000"))

# argv: calls, threads, engine, threading ("1"/"0"). With threading on each
# thread is followed from its start and keeps a store of its own; with it off
# each hooks itself and all share the trace's main store. Prints, per thread
# name, whether its `work` records are exactly the expected ones, and how
# many there are; then the number of threads whose records were all kept
# where they belong.
PARALLEL = """\
import sys, threading
import msgpack
from sarn.profiler import Profiler

CALLS, THREADS, ENGINE, SPLIT = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4] == "1"
shared = {}
start = threading.Barrier(THREADS)

def work(t, k, seen):
    seen[t] = k  # a container every thread writes while it is recorded
    return k * THREADS + t

def worker(t):
    if not SPLIT:
        # Recorded into the shared store, as a worker thread of a recorded
        # request is.
        profiler.rust_profiler.register_threading_profiler(None, None, None)
    start.wait()
    for k in range(CALLS):
        work(t, k, shared)

profiler = Profiler({"threading": SPLIT, "engine": ENGINE}, "parallel.sqlite3").start()
workers = [threading.Thread(target=worker, args=(t,), name="worker-%d" % t) for t in range(THREADS)]
for w in workers:
    w.start()
for w in workers:
    w.join()
profiler.stop(save=False)
doc = msgpack.unpackb(profiler.build_trace(), raw=False, strict_map_key=False)

by_thread = {}
stores = {}
for store, records in [("shared", doc["frames_of_interest"])] + [("own", r) for r in doc["frames"].values()]:
    for r in records:
        if r.get("type") == "frame" and r["co_name"] == "work":
            by_thread.setdefault(r["thread"], []).append(r)
            stores.setdefault(r["thread"], set()).add(store)
for name in sorted(by_thread):
    t = int(name.rsplit("-", 1)[1])
    got = [(r["event"], r["locals"]["t"] if r["event"] == "call" else None,
            r["locals"]["k"] if r["event"] == "call" else r["arg"]) for r in by_thread[name]]
    expected = [e for k in range(CALLS) for e in (("call", t, k), ("return", None, k * THREADS + t))]
    print(name, got == expected, len(got))
print(sum(stores[name] == ({"own"} if SPLIT else {"shared"}) for name in by_thread))
"""


# Each engine once and each kind of store once: at full size a case takes
# half a minute.
@pytest.mark.slow
@pytest.mark.parametrize("engine, split", [
    pytest.param("monitoring", True, id="monitoring-threading",
                 marks=pytest.mark.skipif(sys.version_info < (3, 12), reason="sys.monitoring")),
    pytest.param("setprofile", False, id="setprofile-one-store"),
])
def test_threads_recorded_in_parallel_lose_no_record(tmp_path, engine, split):
    (tmp_path / "parallel.py").write_text(PARALLEL)
    done = subprocess.run([sys.executable, "parallel.py", str(CALLS), str(THREADS), engine, "1" if split else "0"],
                          cwd=str(tmp_path), capture_output=True, text=True, timeout=900,
                          env=dict(os.environ, PYTHONPATH=""))
    assert done.returncode == 0, done.stderr[-3000:]
    expected = ["worker-%d True %d" % (t, 2 * CALLS) for t in range(THREADS)] + [str(THREADS)]
    assert done.stdout.splitlines() == expected, done.stderr[-3000:]
