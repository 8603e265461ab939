"""Benchmarks of the recorder, run side by side with the alternatives.

    python benchmarks/run.py                 # everything, 7 rounds
    python benchmarks/run.py overhead --rounds 9 --workload library_heavy
    python benchmarks/run.py kept            # cost and size of kept events
    python benchmarks/run.py build           # build_trace on a million records

Every timing runs in its own child process; the modes are interleaved round
by round so that drift of the machine affects them alike, and medians are
reported with ratios against the unprofiled run and the empty native hook.
"""
from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import harness  # noqa: E402

WORKLOADS = {"user_code": 40, "library_heavy": 64}


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
    times = {mode: [] for mode in modes}
    for round_number in range(rounds):
        for mode in modes:
            seconds = measure(mode, workload, scale)
            if seconds is not None:
                times[mode].append(seconds)
        print("  round %d/%d done" % (round_number + 1, rounds), file=sys.stderr)
    base = statistics.median(times["none"])
    floor = statistics.median(times["noop"])
    print("%-22s %10s %10s %10s" % ("mode", "median s", "x none", "x noop"))
    for mode in modes:
        if not times[mode]:
            print("%-22s %10s" % (mode, "failed"))
            continue
        median = statistics.median(times[mode])
        print("%-22s %10.4f %10.3f %10.3f" % (mode, median, median / base, median / floor))


def kept(rounds: int) -> None:
    results = [json.loads(subprocess.check_output([sys.executable, os.path.join(HERE, "harness.py"), "kept"]))
               for _ in range(rounds)]
    for key in results[0]:
        print("%-40s %12.3f" % (key, statistics.median(result[key] for result in results)))


def build() -> None:
    result = json.loads(subprocess.check_output([sys.executable, os.path.join(HERE, "harness.py"), "build"]))
    for key, value in result.items():
        print("%-40s %12.3f" % (key, value))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("what", nargs="?", default="all", choices=["all", "overhead", "kept", "build"])
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--workload", choices=sorted(WORKLOADS), action="append")
    args = parser.parse_args()
    started = time.perf_counter()
    if args.what in ("all", "overhead"):
        for workload in args.workload or sorted(WORKLOADS):
            overhead(workload, args.rounds)
            print()
    if args.what in ("all", "kept"):
        kept(min(args.rounds, 5))
        print()
    if args.what in ("all", "build"):
        build()
    print("(%.0f s)" % (time.perf_counter() - started), file=sys.stderr)


if __name__ == "__main__":
    main()
