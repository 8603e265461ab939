"""Benchmarks of the recorder, run side by side with the alternatives.

    python benchmarks/run.py                 # everything, 7 rounds
    python benchmarks/run.py overhead --rounds 9 --workload library_heavy
    python benchmarks/run.py overhead --workload user_code   # every event kept: ns per event
    python benchmarks/run.py kept            # size of kept events, and their cost at a small scale
    python benchmarks/run.py instructions    # overhead in instructions (valgrind)
    python benchmarks/run.py instructions --workload user_code
    python benchmarks/run.py build           # build_trace on a million records
    python benchmarks/run.py pytest          # 300 trivial tests, with and without pytest --sarn
    python benchmarks/run.py requests        # a Django page with 51 queries: sarn, debug toolbar

Every timing runs in its own child process; the modes are interleaved round
by round so that drift of the machine affects them alike. Times are medians;
ratios against the unprofiled run and the empty native hook are medians of
the ratios within each round.

Wall-clock ratios on a shared machine move by a few percent from one run to
the next. `instructions` counts executed instructions instead, with
valgrind's callgrind: the workload at its scale minus the same process at
scale 0 (start-up, imports and the warm-up run cancel out). The counts
repeat exactly from run to run, but they weigh every instruction alike, so
cache misses (which kept events suffer most) are not in them.
"""
from __future__ import annotations

import argparse
import concurrent.futures
import json
import re
import shutil
import os
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import harness  # noqa: E402

WORKLOADS = {"user_code": 40, "library_heavy": 64, "object_graph": 2}


def child(mode: str, workload: str, scale: int) -> float:
    return harness.time_mode(mode, workload, scale)


def measure(mode: str, workload: str, scale: int) -> float | None:
    command = [sys.executable, os.path.join(HERE, "harness.py"), mode, workload, str(scale)]
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != 0:
        return None
    return float(done.stdout.strip().splitlines()[-1])


def overhead(workload: str, rounds: int) -> None:
    scale = WORKLOADS[workload]
    modes = [mode for mode in harness.MODES if harness.available(mode)]
    events = harness.count_events(workload, scale)
    print("workload %s: %d call and return events, %d in its own file" % ((workload,) + events))
    per_event = workload in KEPT_WORKLOADS  # every event is kept: the cost of one
    times = {mode: [] for mode in modes}
    for round_number in range(rounds):
        for mode in modes:
            seconds = measure(mode, workload, scale)
            if seconds is not None:
                times[mode].append(seconds)
        print("  round %d/%d done" % (round_number + 1, rounds), file=sys.stderr)
    print("%-22s %10s %10s %10s%s" % ("mode", "median s", "x none", "x noop", "  ns/event" if per_event else ""))
    for mode in modes:
        if not times[mode]:
            print("%-22s %10s" % (mode, "failed"))
            continue
        extra = ""
        if per_event:
            extra = "  %8.0f" % paired_extra(times[mode], times["none"], events[0])
        print("%-22s %10.4f %10.3f %10.3f%s" % (mode, statistics.median(times[mode]),
                                               paired_ratio(times[mode], times["none"]),
                                               paired_ratio(times[mode], times["noop"]), extra))


def paired_ratio(times: list, base: list) -> float:
    """The median of the per-round ratios: runs of one round are close in
    time, so a drift of the machine between rounds cancels out."""
    if len(times) != len(base):  # a failed run: no pairs to trust
        return statistics.median(times) / statistics.median(base)
    return statistics.median(mine / theirs for mine, theirs in zip(times, base))


def paired_extra(times: list, base: list, events: int) -> float:
    """The median over rounds of the time added per event, in nanoseconds."""
    if len(times) != len(base):
        return (statistics.median(times) - statistics.median(base)) / events * 1e9
    return statistics.median((mine - theirs) / events * 1e9 for mine, theirs in zip(times, base))


INSTRUCTION_MODES = ["none", "noop", "recorder-skip-all", "recorder", "recorder-setprofile"]
KEPT_INSTRUCTION_MODES = ["none", "noop", "recorder", "recorder-setprofile", "recorder-lightweight", "recorder-saved",
                          "viztracer-values"]
INSTRUCTION_SCALE = 8
# Every frame of these is kept: their figures are per event.
KEPT_WORKLOADS = {"user_code": INSTRUCTION_SCALE, "object_graph": 1}


def count_instructions(mode: str, workload: str, scale: int) -> tuple:
    """The instructions of the whole process, and of its main thread (the
    one that records; a save's helpers, such as its compressor's and its
    indexer's threads, run beside it)."""
    with tempfile.TemporaryDirectory() as folder:
        out = os.path.join(folder, "callgrind.out")
        command = ["valgrind", "--tool=callgrind", "--separate-threads=yes", "--callgrind-out-file=" + out,
                   sys.executable, os.path.join(HERE, "harness.py"), mode, workload, str(scale)]
        # A fixed hash seed: dict layouts, and so the counts, repeat exactly.
        done = subprocess.run(command, capture_output=True, text=True, env=dict(os.environ, PYTHONHASHSEED="0"))
        found = re.search(r"refs:\s+([\d,]+)", done.stderr)
        if done.returncode != 0 or found is None:
            raise RuntimeError("callgrind failed for %s:\n%s" % (mode, done.stderr[-2000:]))
        with open(out + "-01") as main_thread:
            summary = re.search(r"^summary:\s+(\d+)", main_thread.read(), re.MULTILINE)
    total = int(found.group(1).replace(",", ""))
    return total, int(summary.group(1)) if summary else total


def instructions(workload: str) -> None:
    if shutil.which("valgrind") is None:
        print("instructions: valgrind is not installed")
        return
    per_event = workload in KEPT_WORKLOADS
    scale = KEPT_WORKLOADS.get(workload, INSTRUCTION_SCALE)
    modes = [mode for mode in (KEPT_INSTRUCTION_MODES if per_event else INSTRUCTION_MODES) if harness.available(mode)]
    jobs = [(mode, job_scale) for mode in modes for job_scale in (0, scale)]
    with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 1) as pool:
        counts = dict(zip(jobs, pool.map(lambda job: count_instructions(job[0], workload, job[1]), jobs)))
    cost = {mode: counts[mode, scale][0] - counts[mode, 0][0] for mode in modes}
    own = {mode: counts[mode, scale][1] - counts[mode, 0][1] for mode in modes}
    events = harness.count_events(workload, scale)[0] if per_event else 0
    print("workload %s at scale %d, instructions" % (workload, scale))
    print("%-22s %14s %10s %10s%s" % ("mode", "instructions", "x none", "x noop",
                                      "  per event  recording thread" if per_event else ""))
    for mode in modes:
        extra = ""
        if per_event:
            extra = "  %10.0f  %16.0f" % ((cost[mode] - cost["none"]) / events, (own[mode] - own["none"]) / events)
        print("%-22s %14d %10.4f %10.4f%s" % (mode, cost[mode], cost[mode] / cost["none"], cost[mode] / cost["noop"],
                                             extra))


def kept(rounds: int) -> None:
    results = [json.loads(subprocess.check_output([sys.executable, os.path.join(HERE, "harness.py"), "kept"]))
               for _ in range(rounds)]
    for key in results[0]:
        print("%-40s %12.3f" % (key, statistics.median(result[key] for result in results)))


def build() -> None:
    result = json.loads(subprocess.check_output([sys.executable, os.path.join(HERE, "harness.py"), "build"]))
    for key, value in result.items():
        print("%-40s %12.3f" % (key, value))


TRIVIAL_TESTS = """import pytest


@pytest.mark.parametrize("n", range(300))
def test_trivial(n):
    assert n >= 0
"""


def pytest_seconds(folder: str, extra: list) -> float:
    """pytest's own reported time for the trivial tests (start-up excluded)."""
    shutil.rmtree(os.path.join(folder, ".sarn"), ignore_errors=True)
    command = [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "test_trivial.py"] + extra
    done = subprocess.run(command, cwd=folder, capture_output=True, text=True)
    return float(re.search(r"passed in ([\d.]+)s", done.stdout).group(1))


def pytest_overhead(rounds: int) -> None:
    with tempfile.TemporaryDirectory() as folder:
        with open(os.path.join(folder, "test_trivial.py"), "w") as handle:
            handle.write(TRIVIAL_TESTS)
        modes = {"pytest": [], "pytest --sarn": ["--sarn"]}
        times = {mode: [] for mode in modes}
        for _ in range(rounds):
            for mode, extra in modes.items():
                times[mode].append(pytest_seconds(folder, extra))
    print("300 trivial tests, pytest's reported time")
    print("%-22s %10s %10s" % ("mode", "median s", "x pytest"))
    for mode in modes:
        print("%-22s %10.3f %10.3f" % (mode, statistics.median(times[mode]), paired_ratio(times[mode], times["pytest"])))


REQUESTS_PER_RUN = 20
REQUEST_MODE_NAMES = {
    "none": "no recording",
    "sarn": "sarn's middleware, its defaults: SQL, logs, templates captured, trace saved",
    "sarn-capture-off": "sarn's middleware, record_sql/http/logs/templates off, trace saved",
    "debug-toolbar": "django-debug-toolbar %s, default panels (SQL among them), shown on every request, "
                     "panels stored as under runserver",
}


def measure_requests(mode: str, count: int) -> dict | None:
    command = [sys.executable, os.path.join(HERE, "harness.py"), "request", mode, str(count)]
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != 0:
        print("  %s failed:\n%s" % (mode, done.stderr[-2000:]), file=sys.stderr)
        return None
    return json.loads(done.stdout.strip().splitlines()[-1])


def requests_overhead(rounds: int) -> None:
    if not harness.request_mode_available("none"):
        print("requests: Django is not installed")
        return
    modes = []
    for mode in harness.REQUEST_MODES:
        if harness.request_mode_available(mode):
            modes.append(mode)
        else:
            print("requests: %s is left out: django-debug-toolbar is not installed "
                  "(pip install django-debug-toolbar)" % mode)
    times = {mode: [] for mode in modes}
    facts = {}
    for round_number in range(rounds):
        for mode in modes:
            found = measure_requests(mode, REQUESTS_PER_RUN)
            if found is not None:
                times[mode].append(found["seconds"])
                facts[mode] = found
        print("  round %d/%d done" % (round_number + 1, rounds), file=sys.stderr)
    print("Django %s GET of a page: %d ORM queries on SQLite (a list of 50 rows, then one query per row), "
          "a template render; through the test Client, DEBUG off; %d requests per process after 4 warm ones, "
          "median of %d rounds" % (_version("django"), facts.get("none", {}).get("queries", 0), REQUESTS_PER_RUN,
                                   rounds))
    for mode in modes:
        described = REQUEST_MODE_NAMES[mode]
        if mode == "debug-toolbar":
            described %= _version("django-debug-toolbar")
        print("  %-18s %s" % (mode, described))
    print("x none and +ms: medians of the per-round ratios and differences to the unrecorded request")
    print("%-18s %12s %10s %10s  %s" % ("mode", "ms/request", "x none", "+ms", "checked"))
    for mode in modes:
        if not times[mode]:
            print("%-18s %12s" % (mode, "failed"))
            continue
        found = facts[mode]
        checked = "%d queries" % found["queries"]
        if "traces" in found:
            checked += ", %d traces saved, %d queries in the last" % (found["traces"], found["sql in trace"])
        if mode == "debug-toolbar":
            checked += ", toolbar %s" % ("in the page" if found["toolbar shown"] else "NOT in the page")
            if found.get("sql in toolbar") is not None:
                checked += ", %d queries in its SQL panel" % found["sql in toolbar"]
        added = paired_extra(times[mode], times["none"], 1) / 1e6  # ns to ms
        print("%-18s %12.2f %10.2f %10.2f  %s" % (mode, statistics.median(times[mode]) * 1e3,
                                                 paired_ratio(times[mode], times["none"]), added, checked))


def _version(distribution: str) -> str:
    import importlib.metadata

    try:
        return importlib.metadata.version(distribution)
    except importlib.metadata.PackageNotFoundError:
        return "?"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("what", nargs="?", default="all", choices=["all", "overhead", "instructions", "kept", "build", "pytest",
                                                                  "requests"])
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--workload", choices=sorted(WORKLOADS), action="append")
    args = parser.parse_args()
    started = time.perf_counter()
    if args.what in ("all", "overhead"):
        for workload in args.workload or sorted(WORKLOADS):
            overhead(workload, args.rounds)
            print()
    if args.what == "instructions":
        for workload in args.workload or ["library_heavy"]:
            instructions(workload)
            print()
    if args.what in ("all", "kept"):
        kept(min(args.rounds, 5))
        print()
    if args.what in ("all", "build"):
        build()
        print()
    if args.what in ("all", "pytest"):
        pytest_overhead(args.rounds)
        print()
    if args.what in ("all", "requests"):
        requests_overhead(args.rounds)
    print("(%.0f s)" % (time.perf_counter() - started), file=sys.stderr)


if __name__ == "__main__":
    main()
