"""Threads of user code recorded at the same time: on a free-threaded
interpreter they run in parallel, with the GIL they take turns.

    python benchmarks/threads.py [--threads 4] [--calls 200000] [--rounds 5]

Each of the threads calls a small function of its own module ``calls`` times;
the modes are: not recorded, every frame skipped (the filter ignores them
all: the skip path), and every frame kept. Each round runs every mode once in
a rotating order; the medians are printed as wall time, CPU time, kept events
per second (two per call) and the ratio to the unrecorded run. Run it under
each interpreter to compare them (3.14t against 3.14, say).
"""
from __future__ import annotations

import argparse
import statistics
import sys
import sysconfig
import tempfile
import threading
import time
from typing import Dict, List, Tuple

import sarn

MODES = ("not recorded", "skip path", "kept")
CONFIGS = {
    "skip path": {"threading": True, "filters": {"ignore_frames": [""]}},
    "kept": {"threading": True},
}


def work(value: int) -> int:
    return value + 1


def loop(start: threading.Barrier, calls: int) -> None:
    start.wait()
    total = 0
    for _ in range(calls):
        total = work(total)


def run_threads(threads: int, calls: int) -> None:
    start = threading.Barrier(threads)
    workers = [threading.Thread(target=loop, args=(start, calls)) for _ in range(threads)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()


def timed(mode: str, threads: int, calls: int, folder: str) -> Tuple[float, float]:
    wall, cpu = time.perf_counter(), time.process_time()
    if mode == "not recorded":
        run_threads(threads, calls)
    else:
        with sarn.record(db_path=folder + "/db.sqlite3", config=CONFIGS[mode], save=False):
            run_threads(threads, calls)
    return time.perf_counter() - wall, time.process_time() - cpu


def interpreter() -> str:
    build = "free-threaded" if sysconfig.get_config_var("Py_GIL_DISABLED") else "with the GIL"
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    return "CPython %d.%d.%d, %s (GIL %s)" % (sys.version_info[:3] + (build, "on" if gil else "off"))


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--threads", type=int, default=4)
    parser.add_argument("--calls", type=int, default=200_000, help="calls per thread")
    parser.add_argument("--rounds", type=int, default=5)
    options = parser.parse_args()
    events = 2 * options.threads * options.calls
    print("%s: %d threads x %d calls" % (interpreter(), options.threads, options.calls))
    walls: Dict[str, List[float]] = {mode: [] for mode in MODES}
    cpus: Dict[str, List[float]] = {mode: [] for mode in MODES}
    with tempfile.TemporaryDirectory() as folder:
        timed("kept", options.threads, options.calls // 10, folder)  # warm-up
        for number in range(options.rounds):
            for mode in MODES[number % 3:] + MODES[:number % 3]:
                wall, cpu = timed(mode, options.threads, options.calls, folder)
                walls[mode].append(wall)
                cpus[mode].append(cpu)
    base = statistics.median(walls["not recorded"])
    for mode in MODES:
        wall, cpu = statistics.median(walls[mode]), statistics.median(cpus[mode])
        print("  %-12s wall %7.1f ms  cpu %7.1f ms  %6.2f M events/s  %6.2fx" % (
            mode, wall * 1000, cpu * 1000, events / wall / 1e6, wall / base))


if __name__ == "__main__":
    main()
