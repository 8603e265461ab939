"""Recording under load, in a process of its own: many threads at once while
traces are built and saved, and many recordings one after another."""

import os
import subprocess
import sys

import pytest

# Sixteen threads call `work` CALLS times each, recorded with threading on,
# while a seventeenth builds what has been recorded so far and saves it as a
# trace of its own, over and over. Prints one line per thread of the `k`
# values seen in call records across every saved trace, in saved order.
UNDER_LOAD = """\
import sys, threading, time
import msgpack
from sarn import db
from sarn.profiler import Profiler, new_trace_id

CALLS = int(sys.argv[1])
DB = "load.sqlite3"

def work(t, k):
    return k

def worker(t):
    for k in range(CALLS):
        # Every few hundred calls, wait for one more save: saving and
        # recording interleave however the threads are scheduled.
        while k % 400 == 0 and len(ids) <= k // 400:
            time.sleep(0.001)
        work(t, k)

profiler = Profiler({"threading": True}, DB).start()
workers = [threading.Thread(target=worker, args=(t,), name="worker-%d" % t) for t in range(16)]
ids = []

def saver():
    while any(w.is_alive() for w in workers) or not ids:
        trace_id = new_trace_id()
        db.write_traces(DB, [(trace_id, profiler.build_trace())], timeout=60)
        ids.append(trace_id)

for w in workers:
    w.start()
saving = threading.Thread(target=saver, name="saver")
saving.start()
for w in workers:
    w.join()
saving.join()
profiler.stop(save=False)
last = new_trace_id()
db.write_traces(DB, [(last, profiler.build_trace())], timeout=60)
ids.append(last)

seen = {}
for trace_id in ids:
    doc = msgpack.unpackb(db.load_trace(DB, trace_id), raw=False, strict_map_key=False)
    records = list(doc["frames_of_interest"])
    for thread_records in doc["frames"].values():
        records.extend(thread_records)
    for r in records:
        if r.get("type") == "frame" and r["co_name"] == "work":
            seen.setdefault(r["thread"], []).append((r["event"], r["locals"]["k"] if r["event"] == "call" else r["arg"]))
print(len(ids) > CALLS // 400)
for name in sorted(seen):
    events = seen[name]
    print(name, events == [(e, k) for k in range(CALLS) for e in ("call", "return")], len(events))
"""


@pytest.mark.slow
def test_sixteen_threads_lose_no_record_while_traces_are_saved(tmp_path):
    calls = 2000  # benchmarks/ runs the full-size load
    (tmp_path / "load.py").write_text(UNDER_LOAD)
    done = subprocess.run([sys.executable, "load.py", str(calls)], cwd=str(tmp_path), capture_output=True,
                          text=True, timeout=300, env=dict(os.environ, PYTHONPATH=""))
    assert done.returncode == 0, done.stderr[-3000:]
    expected = ["True"] + ["worker-%d True %d" % (t, 2 * calls) for t in sorted(range(16), key=str)]
    assert done.stdout.splitlines() == expected, done.stderr[-3000:]


# Recordings one after another, each building a trace through the Python
# API: after a warm-up, neither the count of live objects nor the resident
# memory keeps growing.
REPEATED = """\
import gc, resource, sys, threading
import sarn

class Item:
    def __init__(self, n):
        self.n = n
        self.payload = list(range(200))

def unit(n):
    items = [Item(i) for i in range(50)]
    threading.Thread(target=lambda: sum(i.n for i in items)).start()
    return {"n": n, "items": items, "text": "x" * 10000}

def rounds(count):
    for n in range(count):
        with sarn.record(config={"db_path": "repeat.sqlite3", "threading": n % 2 == 0}):
            unit(n)
    gc.collect()

def rss_kb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss

rounds(20)
objects, rss = len(gc.get_objects()), rss_kb()
rounds(100)
print(len(gc.get_objects()) - objects, rss_kb() - rss)
"""


@pytest.mark.slow
def test_a_hundred_recordings_in_a_row_leave_memory_flat(tmp_path):
    (tmp_path / "repeat.py").write_text(REPEATED)
    done = subprocess.run([sys.executable, "repeat.py"], cwd=str(tmp_path), capture_output=True,
                          text=True, timeout=300, env=dict(os.environ, PYTHONPATH=""))
    assert done.returncode == 0, done.stderr[-3000:]
    objects, rss_kb = map(int, done.stdout.split())
    # A leak of one trace per recording (each holds some 60 kB of records and
    # hundreds of objects) shows far above these bounds.
    assert objects < 200 and rss_kb < 4000, done.stdout
