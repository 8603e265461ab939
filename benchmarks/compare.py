"""sarn diff and sarn find on two big traces, and sarn find over many
traces: time and peak memory.

    python benchmarks/compare.py                 # 200,000 calls per trace
    python benchmarks/compare.py --calls 50000 --value-size 8000
    python benchmarks/compare.py --traces 1000 --calls 1000 --value-size 100

Two documents are built with the given number of calls (a loop of calls
under one parent, each with a text argument of ``--value-size`` characters;
B has one call more and one argument changed), stored in a fresh database,
and compared by ``sarn diff`` in a child process, which reports its peak
memory. Memory should follow the calls, not the size of the values.

With ``--traces N``, N traces of ``--calls`` calls are stored instead (one of
them with the changed argument and one call raising), timing what the call
index adds to each save, and searches are timed in child processes: first
with the index, then on the same traces as saved before the index existed
(the first search reads them all and stores their index, the second uses
it). ``text > 'y'`` is a condition the index does not judge: every trace
is read.
"""

from __future__ import annotations

import argparse
import os
import resource
import sqlite3
import subprocess
import sys
import tempfile
import time

import msgpack

from sarn import db


def _record(frame_id, event, qualname, parent, line, clock, locals_=None, arg=None):
    return {"path": "app.py:%d" % (10 if qualname == "main" else 20), "co_name": qualname, "qualname": qualname,
            "event": event, "frame_id": frame_id, "arg": arg, "locals": locals_, "thread": "MainThread",
            "thread_native_id": 1, "timestamp": clock, "type": "frame",
            "user_code_call_site": {"call_frame_id": parent, "line_number": line} if parent else None}


def document(trace_id: str, calls: int, size: int, changed: int, extra: bool, raising: int = -1) -> bytes:
    text = "x" * size
    records = [_record("f0", "call", "main", None, 0, 1.0, {})]
    count = calls + (1 if extra else 0)
    for index in range(count):
        value = index if index != changed else -1
        frame_id = "f%d" % (index + 1)
        records.append(_record(frame_id, "call", "step", "f0", 12, 1.0 + index, {"n": value, "text": text}))
        records.append(_record(frame_id, "return", "step", "f0", 12, 1.5 + index, None, value))
        if index == raising:
            records.append({"type": "exception", "frame_id": frame_id, "thread": "MainThread", "thread_native_id": 1,
                            "exception": "KeyError('n')"})
    records.append(_record("f0", "return", "main", None, 0, 1.0 + count, None, None))
    return msgpack.packb({"command_line_args": ["app.py"], "current_commit_sha": None, "frames": {},
                          "frames_of_interest": records, "main_thread_id": 1, "timestamp": 1.0,
                          "trace_id": trace_id, "meta": {"version": "1", "source": "run", "use_frame_boundaries": False}})


def _peak_mb() -> float:
    """This process's peak memory. Not ru_maxrss: a child keeps the peak of
    the parent it was forked from, which held the documents."""
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) / 1024
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def child(arguments) -> None:
    from sarn import cli

    started = time.perf_counter()
    with open(os.devnull, "w") as sink:
        sys.stdout = sink
        code = cli.main(arguments)
    sys.stdout = sys.__stdout__
    peak = _peak_mb()
    used = resource.getrusage(resource.RUSAGE_SELF)
    print("%-50s exit %d  %7.2f s (CPU %6.2f s)  peak %6.0f MB" % (
        " ".join(arguments[:-2]), code, time.perf_counter() - started, used.ru_utime + used.ru_stime, peak))


_SEARCHES = (["find", "step", "--where", "n == -1"], ["find", "step", "--raised", "KeyError"],
             ["find", "step", "--slower", "2s"], ["find", "nothing"], ["find", "step", "--where", "text == 'y'"],
             ["find", "step", "--where", "text > 'y'"])


def _searches(path: str) -> None:
    for arguments in _SEARCHES:
        subprocess.run([sys.executable, __file__, "--child"] + arguments + ["--db", path], check=False)


def many(options) -> None:
    """Many small traces: what the index costs per save, and searches."""
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "traces.db")
        saving = indexing = 0.0
        for number in range(options.traces):
            middle = options.calls // 2
            data = document("trc_%05d" % number, options.calls, options.value_size,
                            middle if number == options.traces // 2 else -2, False,
                            middle if number == options.traces // 3 else -1)
            started = time.perf_counter()
            db.save_trace_in_sqlite(path, "trc_%05d" % number, timeout=30, msgpack=data)
            saving += time.perf_counter() - started
            started = time.perf_counter()
            db._call_rows(data)
            indexing += time.perf_counter() - started
        print("%d traces of %d calls (%.0f KB each): save %.1f ms each, of which the index %.1f ms"
              % (options.traces, options.calls, len(data) / 1024, saving * 1000 / options.traces,
                 indexing * 1000 / options.traces))
        print("-- with the index")
        _searches(path)
        connection = sqlite3.connect(path)
        with connection:
            connection.execute("UPDATE traces SET indexed = NULL")
            connection.execute("DELETE FROM trace_calls")
        connection.close()
        print("-- saved before the index: read whole once, then indexed")
        _searches(path)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--calls", type=int, default=200_000)
    parser.add_argument("--value-size", type=int, default=2000)
    parser.add_argument("--traces", type=int, default=0)
    parser.add_argument("--child", nargs=argparse.REMAINDER)
    options = parser.parse_args()
    if options.child:
        child(options.child)
        return
    if options.traces:
        many(options)
        return
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "traces.db")
        for trace_id, extra in (("trc_A", False), ("trc_B", True)):
            data = document(trace_id, options.calls, options.value_size, options.calls // 2 if extra else -2, extra)
            print("%s: %d calls, %.0f MB" % (trace_id, options.calls + extra, len(data) / 2 ** 20))
            db.save_trace_in_sqlite(path, trace_id, timeout=30, msgpack=data)
            del data
        for arguments in (["diff", "trc_A", "trc_B"], ["find", "step", "--where", "n == -1"]):
            subprocess.run([sys.executable, __file__, "--child"] + arguments + ["--db", path], check=False)


if __name__ == "__main__":
    main()
