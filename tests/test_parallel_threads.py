"""Threads that run at the same time, on a free-threaded interpreter truly in
parallel: every call and return of each is recorded, once, in its order.
The ThreadSanitizer run (scripts/tsan-run.sh) lowers the call count through
SARN_TEST_PARALLEL_CALLS."""

import collections
import os
import sys
import sysconfig
import threading

import pytest

from sarn.web.document import MAIN_LIST, iter_document
from recording_support import HostProfiler, load_module, record

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
THREADS = 8
# Where the threads run in parallel, enough calls for them to meet often in
# the recorder; elsewhere a tenth shows the same.
CALLS = int(os.environ.get("SARN_TEST_PARALLEL_CALLS", 100_000 if FREE_THREADED else 10_000))

# With `threading` each thread is followed from its start and files its
# records in a list of its own; without it each joins the recording itself
# (as the worker threads of a recorded request do) and all share one list.
CASES = [pytest.param({"engine": "setprofile", "threading": True}, id="setprofile"),
         pytest.param({"engine": "setprofile", "threading": False}, id="setprofile-one-list")]
if sys.version_info >= (3, 12):
    CASES.append(pytest.param({"engine": "monitoring", "threading": True}, id="monitoring"))

PROGRAM = """
import threading

def work(i):
    return i

def loop(start, calls, join):
    if join is not None:
        join()
    start.wait()
    for i in range(calls):
        work(i)

def run(threads, calls, join=None):
    start = threading.Barrier(threads)
    workers = [threading.Thread(target=loop, args=(start, calls, join)) for _ in range(threads)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
"""


def work_records_by_thread(document, own_lists):
    """Each thread's records of `work`, as (event, frame id, value) in stored
    order, checked to be in the thread's own list or all in the main one."""
    by_thread = collections.defaultdict(list)
    for kind, list_id, item in iter_document(document):
        if kind == "record" and item["type"] == "frame" and item["co_name"] == "work":
            assert (list_id == item["thread_native_id"]) if own_lists else (list_id == MAIN_LIST)
            value = item["locals"]["i"] if item["event"] == "call" else item["arg"]
            by_thread[item["thread_native_id"]].append((item["event"], item["frame_id"], value))
    return by_thread


@pytest.mark.skipif(FREE_THREADED and sys._is_gil_enabled(), reason="the GIL is on: nothing runs in parallel")
@pytest.mark.parametrize("config", CASES)
def test_every_call_of_parallel_threads_is_recorded_once_in_order(tmp_path, config):
    program = load_module(tmp_path / "parallel.py", PROGRAM)
    host = HostProfiler(dict(config))

    def join():
        host.rust_profiler.register_threading_profiler(None, None, None)

    record(lambda: program.run(THREADS, CALLS, None if config["threading"] else join), host)
    by_thread = work_records_by_thread(host.rust_profiler.build_trace(), config["threading"])

    assert len(by_thread) == THREADS
    assert sum(len(records) for records in by_thread.values()) == THREADS * CALLS * 2
    for records in by_thread.values():
        calls, returns = records[0::2], records[1::2]
        assert [event for event, _, _ in calls] == ["call"] * CALLS
        assert [event for event, _, _ in returns] == ["return"] * CALLS
        assert [value for _, _, value in calls] == list(range(CALLS))
        assert [value for _, _, value in returns] == list(range(CALLS))
        # Each return closes the call before it.
        assert all(call[1] == ret[1] for call, ret in zip(calls, returns))
    frame_ids = [call[1] for records in by_thread.values() for call in records[0::2]]
    assert len(set(frame_ids)) == THREADS * CALLS


CHANGING = """
import threading

def look(shared, i):
    return i

def watch(shared, rounds):
    for i in range(rounds):
        look(shared, i)

def change(shared, stop):
    n = 0
    while not stop.is_set():
        n += 1
        if isinstance(shared, list):
            shared.append(n)
            if len(shared) > 50:
                del shared[:40]
        elif isinstance(shared, dict):
            shared[n] = [n]
            if len(shared) > 50:
                for key in list(shared)[:40]:
                    shared.pop(key, None)
        else:
            shared.add(n)
            if len(shared) > 50:
                shared.clear()

def run(shared, rounds):
    stop = threading.Event()
    changer = threading.Thread(target=change, args=(shared, stop))
    changer.start()
    try:
        watch(shared, rounds)
    finally:
        stop.set()
        changer.join()
"""


@pytest.mark.parametrize("shared", [list, dict, set], ids=["list", "dict", "set"])
def test_values_that_another_thread_changes_meanwhile_are_recorded(tmp_path, shared):
    program = load_module(tmp_path / "changing.py", CHANGING)
    rounds = 2_000
    host = record(lambda: program.run(shared(), rounds), HostProfiler({"threading": True}))
    looks = [item for kind, _, item in iter_document(host.rust_profiler.build_trace())
             if kind == "record" and item["type"] == "frame" and item["co_name"] == "look"]
    assert len(looks) == 2 * rounds
    assert all(isinstance(item["locals"]["shared"], (dict, list)) for item in looks)
