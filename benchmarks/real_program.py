"""A real program whose own code is recorded: pyflakes checking a module of
the standard library, with the pyflakes package kept as user code. Every
kept frame there holds the checker and its syntax tree, so the values are
the cost, not the event.

    python benchmarks/real_program.py                 # textwrap.py, 9 rounds
    python benchmarks/real_program.py --rounds 15 --module _pydecimal

Each round checks the module once unrecorded, once recorded in the full
form and once with `lightweight_repr`, in turns, so that a busy machine
slows each alike. A recorded check runs inside `sarn.record(save=False)`:
the figure is the CPU time of the check alone (what the program feels
while it is recorded); "whole" adds the recording's start and end, where
the trace document is built. Figures are medians, and ratios to the
unrecorded check's median.
"""
from __future__ import annotations

import argparse
import importlib
import io
import statistics
import time

CONFIG = {"filters": {"include_frames": ["pyflakes/"]}, "threading": False}


def _checker(module_name: str):
    import pyflakes.api
    import pyflakes.reporter

    path = importlib.import_module(module_name).__file__
    with open(path, encoding="utf-8") as source_file:
        source = source_file.read()

    def check() -> None:
        reporter = pyflakes.reporter.Reporter(io.StringIO(), io.StringIO())
        pyflakes.api.check(source, path, reporter)

    return check


def _recorded(check, lightweight: bool):
    """(CPU seconds of the check, CPU seconds of the whole recording)."""
    import sarn

    config = dict(CONFIG, lightweight_repr=lightweight)
    whole = time.process_time()
    with sarn.record(config=config, save=False) as recording:
        start = time.process_time()
        check()
        checked = time.process_time() - start
    recording.profiler.build_trace()
    return checked, time.process_time() - whole


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--module", default="textwrap", help="the module checked (default textwrap)")
    parser.add_argument("--rounds", type=int, default=9, help="rounds of each mode (default 9)")
    args = parser.parse_args()

    check = _checker(args.module)
    check()  # imports and caches, once, before anything is timed
    times = {"none": [], "full": [], "full whole": [], "lightweight": [], "lightweight whole": []}
    for _ in range(args.rounds):
        start = time.process_time()
        check()
        times["none"].append(time.process_time() - start)
        for mode, lightweight in (("full", False), ("lightweight", True)):
            checked, whole = _recorded(check, lightweight)
            times[mode].append(checked)
            times[mode + " whole"].append(whole)

    unrecorded = statistics.median(times["none"])
    print("pyflakes checking %s.py, %d rounds, CPU time (median)" % (args.module, args.rounds))
    print("%-20s %10s %8s" % ("mode", "seconds", "x none"))
    for mode, values in times.items():
        median = statistics.median(values)
        print("%-20s %10.4f %8.1f" % (mode, median, median / unrecorded))


if __name__ == "__main__":
    main()
