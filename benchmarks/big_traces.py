"""Long runs and big traces: memory while recording, the save, the stored
size, and `sarn show` / `sarn export` of the stored trace.

    python benchmarks/big_traces.py                  # 10^5 and 10^6 kept events
    python benchmarks/big_traces.py 100000 10000000  # the sizes given
    python benchmarks/big_traces.py --json           # one JSON object per size

Every figure is measured in a child process of its own. The workload is
benchmarks/workloads/user_code.py, where every event is kept (about 5,000
events per unit of scale). Peak memory is the child's peak resident size,
given also above the same child's peak without recording. The Trace Event
export (`sarn export --format chrome`) is measured like the JSON export.
"save" is the
call of `save_trace_in_sqlite` alone (the document already built); "stop"
is the whole end of the recording: assembly and save.
"""
from __future__ import annotations

import argparse
import json
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
EVENTS_PER_SCALE = None  # measured once


def _child_record(db_path: str, scale: int, record: bool) -> None:
    sys.path.insert(0, os.path.join(HERE, "workloads"))
    import user_code

    import sarn
    from sarn import db

    timings = {}
    if not record:
        user_code.run(scale)
    else:
        original = db.save_trace_in_sqlite

        def timed_save(*args, **kwargs):
            start = time.perf_counter()
            try:
                return original(*args, **kwargs)
            finally:
                timings["save"] = time.perf_counter() - start
                document = kwargs["msgpack"]
                timings["document"] = document.size if hasattr(document, "size") else len(document)

        db.save_trace_in_sqlite = timed_save
        recording = sarn.record(db_path=db_path, config={"threading": False})
        recording.__enter__()
        user_code.run(scale)
        start = time.perf_counter()
        recording.__exit__(None, None, None)
        timings["stop"] = time.perf_counter() - start
    timings["peak"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    print(json.dumps(timings))


def _run(command, **kwargs):
    """(seconds, peak resident bytes, stdout) of a child process."""
    start = time.perf_counter()
    done = subprocess.run(command, capture_output=True, **kwargs)
    elapsed = time.perf_counter() - start
    if done.returncode != 0:
        raise SystemExit("failed: %s\n%s" % (" ".join(command), done.stderr.decode(errors="replace")[-2000:]))
    return elapsed, done


def _peak_of(command, **kwargs):
    """Seconds, peak resident bytes and time to the first output byte of a child."""
    wrapper = [sys.executable, "-c", _MEASURE, json.dumps(command)]
    done = subprocess.run(wrapper, capture_output=True, **kwargs)
    if done.returncode != 0:
        raise SystemExit("failed: %s\n%s" % (" ".join(command), done.stderr.decode(errors="replace")[-2000:]))
    return json.loads(done.stdout)


# Runs the command with its output read through a pipe, noting when the
# first byte arrives, and reports the child's peak resident size.
_MEASURE = r"""
import json, os, resource, subprocess, sys, time
command = json.loads(sys.argv[1])
start = time.perf_counter()
child = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
first = None
size = 0
while True:
    data = child.stdout.read1(1 << 16)
    if not data:
        break
    if first is None:
        first = time.perf_counter() - start
    size += len(data)
code = child.wait()
elapsed = time.perf_counter() - start
if code != 0:
    sys.exit("exit code %d" % code)
usage = resource.getrusage(resource.RUSAGE_CHILDREN)
print(json.dumps({"seconds": elapsed, "first_output": first, "peak": usage.ru_maxrss * 1024, "output_bytes": size,
                  "cpu": usage.ru_utime + usage.ru_stime}))
"""


def measure(events: int) -> dict:
    global EVENTS_PER_SCALE
    if EVENTS_PER_SCALE is None:
        sys.path.insert(0, os.path.join(HERE, "workloads"))
        EVENTS_PER_SCALE = _count_events()
    scale = max(1, round(events / EVENTS_PER_SCALE))
    folder = tempfile.mkdtemp(prefix="sarn-big-")
    try:
        db_path = os.path.join(folder, "db.sqlite3")
        me = [sys.executable, os.path.abspath(__file__)]
        _, plain = _run(me + ["--child", db_path, str(scale), "plain"])
        _, recorded = _run(me + ["--child", db_path, str(scale), "record"])
        plain_figures = json.loads(plain.stdout.decode().strip().splitlines()[-1])
        figures = json.loads(recorded.stdout.decode().strip().splitlines()[-1])
        sarn = [sys.executable, "-m", "sarn"]
        show = _peak_of(sarn + ["show", "latest", "--db", db_path, "--color", "never"])
        try:
            show_all = _peak_of(sarn + ["show", "latest", "--db", db_path, "--color", "never", "--all"])
        except SystemExit:  # a release without --all
            show_all = {"seconds": None, "peak": None, "cpu": None}
        export = _peak_of(sarn + ["export", "latest", "--db", db_path, "--json"])
        chrome = _peak_of(sarn + ["export", "latest", "--db", db_path, "--format", "chrome"])
        return {
            "events": scale * EVENTS_PER_SCALE,
            "document_bytes": figures.get("document"),
            "db_bytes": os.path.getsize(db_path),
            "peak_bytes": figures["peak"],
            "peak_above_unrecorded": figures["peak"] - plain_figures["peak"],
            "save_seconds": figures.get("save"),
            "stop_seconds": figures.get("stop"),
            "show": show,
            "show_all": show_all,
            "export": export,
            "chrome": chrome,
        }
    finally:
        shutil.rmtree(folder, True)


def _count_events() -> int:
    import user_code

    count = [0]

    def hook(frame, event, arg):
        if event in ("call", "return") and frame.f_code.co_filename == user_code.__file__:
            count[0] += 1

    sys.setprofile(hook)
    user_code.run(1)
    sys.setprofile(None)
    return count[0]


def _mb(value) -> str:
    return "-" if value is None else "%.0f MB" % (value / 1e6)


def _s(value) -> str:
    return "-" if value is None else "%.2f s" % value


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("sizes", nargs="*", type=int, default=[10**5, 10**6])
    parser.add_argument("--json", action="store_true")
    parser.add_argument("--child", nargs=3, metavar=("DB", "SCALE", "MODE"))
    args = parser.parse_args()
    if args.child:
        _child_record(args.child[0], int(args.child[1]), args.child[2] == "record")
        return
    rows = []
    for size in args.sizes:
        result = measure(size)
        if args.json:
            print(json.dumps(result))
            continue
        rows.append(result)
    if args.json:
        return
    # The commands' times are wall time, then CPU time (user and system) in
    # parentheses: on a shared machine the CPU time is the one to compare.
    print("| kept events | document | db file | peak memory (above unrecorded) | save | stop | "
          "`sarn show` (CPU, first line, peak) | `show --all` (CPU), peak | `export --json` (CPU), peak | "
          "`export --format chrome` (CPU), peak |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    for r in rows:
        print("| %s | %s | %s | %s (%s) | %s | %s | %s (%s, %s, %s) | %s (%s), %s | %s (%s), %s | %s (%s), %s |" % (
            "{:,}".format(r["events"]), _mb(r["document_bytes"]), _mb(r["db_bytes"]), _mb(r["peak_bytes"]),
            _mb(r["peak_above_unrecorded"]), _s(r["save_seconds"]), _s(r["stop_seconds"]),
            _s(r["show"]["seconds"]), _s(r["show"].get("cpu")), _s(r["show"]["first_output"]),
            _mb(r["show"]["peak"]),
            _s(r["show_all"]["seconds"]), _s(r["show_all"].get("cpu")), _mb(r["show_all"]["peak"]),
            _s(r["export"]["seconds"]), _s(r["export"].get("cpu")), _mb(r["export"]["peak"]),
            _s(r["chrome"]["seconds"]), _s(r["chrome"].get("cpu")), _mb(r["chrome"]["peak"])))


if __name__ == "__main__":
    main()
