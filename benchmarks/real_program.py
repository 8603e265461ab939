"""A real program whose own code is recorded: pyflakes checking a module of
the standard library, with the pyflakes package kept as user code. Every
kept frame there holds the checker and its syntax tree, so the values are
the cost, not the event.

    python benchmarks/real_program.py                 # textwrap.py, 9 rounds
    python benchmarks/real_program.py --rounds 15 --module _pydecimal

Each round checks the module once unrecorded, once recorded in the full
form and once with `lightweight_repr`, in turns, so that a busy machine
slows each alike. A recorded check runs inside `sarn.record(save=False)`:
the figures are those of the check alone (what the program feels while it
is recorded), in CPU time and in wall time. "whole" adds the recording's
start and end, where the trace document is built. Where VizTracer is
installed, the same check under VizTracer logging arguments and return
values is measured alongside. Figures are medians, and ratios to the
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


class Clocks:
    """CPU time of the process, and wall time."""

    def __init__(self):
        self.start = self._now()

    @staticmethod
    def _now():
        return time.process_time(), time.perf_counter()

    def elapsed(self):
        return tuple(now - then for now, then in zip(self._now(), self.start))


def _recorded(check, lightweight: bool):
    """The clocks' figures for the check, and for the whole recording."""
    import sarn

    config = dict(CONFIG, lightweight_repr=lightweight)
    whole = Clocks()
    with sarn.record(config=config, save=False) as recording:
        clocks = Clocks()
        check()
        checked = clocks.elapsed()
    recording.profiler.build_trace()
    return checked, whole.elapsed()


def _viztracer(check):
    """CPU seconds of the check under VizTracer logging arguments and return
    values (its trace kept in memory); None when VizTracer is not installed."""
    try:
        from viztracer import VizTracer
    except ImportError:
        return None
    tracer = VizTracer(verbose=0, log_func_args=True, log_func_retval=True)
    tracer.start()
    clocks = Clocks()
    check()
    checked = clocks.elapsed()
    tracer.stop()
    tracer.clear()
    return checked


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--module", default="textwrap", help="the module checked (default textwrap)")
    parser.add_argument("--rounds", type=int, default=9, help="rounds of each mode (default 9)")
    args = parser.parse_args()

    check = _checker(args.module)
    check()  # imports and caches, once, before anything is timed
    times = {"none": [], "full": [], "full whole": [], "lightweight": [], "lightweight whole": []}
    for _ in range(args.rounds):
        clocks = Clocks()
        check()
        times["none"].append(clocks.elapsed())
        for mode, lightweight in (("full", False), ("lightweight", True)):
            checked, whole = _recorded(check, lightweight)
            times[mode].append(checked)
            times[mode + " whole"].append(whole)
        traced = _viztracer(check)
        if traced is not None:
            times.setdefault("viztracer values", []).append(traced)

    unrecorded = [statistics.median(figures) for figures in zip(*times["none"])]
    print("pyflakes checking %s.py, %d rounds, medians (x the unrecorded check)" % (args.module, args.rounds))
    print("%-20s %18s %18s" % ("mode", "CPU s", "wall s"))
    for mode, rounds in times.items():
        medians = [statistics.median(figures) for figures in zip(*rounds)]
        print("%-20s" % mode + "".join(" %10.4f %6.1fx" % (m, m / u) for m, u in zip(medians, unrecorded)))

if __name__ == "__main__":
    main()
