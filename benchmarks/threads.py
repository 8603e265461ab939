"""Threads of user code recorded at the same time: on a free-threaded
interpreter they run in parallel, with the GIL they take turns.

    python benchmarks/threads.py [--threads 4] [--calls 200000] [--rounds 5]

Each of the threads calls a small function of its own module; the modes
are: every frame kept (``calls`` calls a thread), every frame skipped (the
filter ignores them all: the skip path; ten times as many calls, so that the
recording's start and stop weigh little), and each not recorded at the same
size. Each round runs every mode once in a rotating order; the medians are
printed as wall time, CPU time, events per second (two per call) and the
ratio to the unrecorded run of the same size. Run it under each interpreter
to compare them (3.14t against 3.14, say).
"""
from __future__ import annotations

import argparse
import statistics
import sys
import sysconfig
import tempfile
import threading
import time
from typing import Dict, List, Optional, Tuple

import sarn

CONFIGS = {
    "skip path": {"threading": True, "filters": {"ignore_frames": [""]}},
    "kept": {"threading": True},
}
# Each mode, the recording it runs under (None: none) and its calls per
# thread as a multiple of --calls.
MODES = {
    "kept": ("kept", 1),
    "not recorded": (None, 1),
    "skip path": ("skip path", 10),
    "not recorded, 10x": (None, 10),
}
BASE = {"kept": "not recorded", "skip path": "not recorded, 10x"}


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


def timed(recording: Optional[str], threads: int, calls: int, folder: str) -> Tuple[float, float]:
    wall, cpu = time.perf_counter(), time.process_time()
    if recording is None:
        run_threads(threads, calls)
    else:
        with sarn.record(db_path=folder + "/db.sqlite3", config=CONFIGS[recording], save=False):
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
    print("%s: %d threads, %d calls a thread kept, %d skipped" % (
        interpreter(), options.threads, options.calls, options.calls * 10))
    names = list(MODES)
    walls: Dict[str, List[float]] = {mode: [] for mode in names}
    cpus: Dict[str, List[float]] = {mode: [] for mode in names}
    with tempfile.TemporaryDirectory() as folder:
        timed("kept", options.threads, options.calls // 10, folder)  # warm-up
        for number in range(options.rounds):
            shift = number % len(names)
            for mode in names[shift:] + names[:shift]:
                recording, scale = MODES[mode]
                wall, cpu = timed(recording, options.threads, options.calls * scale, folder)
                walls[mode].append(wall)
                cpus[mode].append(cpu)
    for mode in names:
        wall, cpu = statistics.median(walls[mode]), statistics.median(cpus[mode])
        events = 2 * options.threads * options.calls * MODES[mode][1]
        ratio = "  %6.2fx" % (wall / statistics.median(walls[BASE[mode]])) if mode in BASE else ""
        print("  %-18s wall %7.1f ms  cpu %7.1f ms  %6.2f M events/s%s" % (
            mode, wall * 1000, cpu * 1000, events / wall / 1e6, ratio))


if __name__ == "__main__":
    main()
