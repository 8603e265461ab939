"""``sarn diff``: from two trace ids (or a test's node id) to a report and
an exit code, as ``diff`` has them: 0 when the runs are equal, 1 when they
differ (errors raise, for the command's own codes)."""

from __future__ import annotations

import json
import re
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

from sarn import db

from . import detail
from .align import Options, align_threads
from .calls import read_threads, without_collection
from .report import first_difference, json_report, text_lines

__all__ = ["parse_duration", "parse_time_threshold", "traces_of_test", "compare", "run_diff"]

_DURATION = re.compile(r"^\s*(\d+(?:\.\d*)?|\.\d+)\s*(us|ms|s|m)?\s*$")
_UNITS = {"us": 1e-6, "ms": 1e-3, "s": 1.0, "m": 60.0, None: 1.0}
#: Under ``--time Nx``, calls shorter than this on both sides never count:
#: a 3 us call taking 9 us is noise, not a change.
RATIO_FLOOR = 1e-3


def parse_duration(text: str) -> float:
    """Seconds in "250us", "10ms", "1.5s", "2m" (no unit: seconds); ValueError otherwise."""
    match = _DURATION.match(text)
    if not match:
        raise ValueError("%r is not a duration (such as 10ms, 250us or 1.5s)" % text)
    return float(match.group(1)) * _UNITS[match.group(2)]


def parse_time_threshold(text: str) -> Callable[[float, float], bool]:
    """``--time``: "2x" (one took at least twice as long as the other, and
    the longer at least RATIO_FLOOR) or a duration ("10ms": they differ by
    at least that much)."""
    ratio = re.match(r"^\s*(\d+(?:\.\d*)?)\s*x\s*$", text)
    if ratio:
        factor = float(ratio.group(1))
        if factor <= 1:
            raise ValueError("a --time ratio must be more than 1x")
        return lambda a, b: max(a, b) >= RATIO_FLOOR and max(a, b) >= factor * min(a, b)
    least = parse_duration(text)
    return lambda a, b: abs(a - b) >= least


def traces_of_test(db_path: str, node_id: str, timeout: float) -> Tuple[str, str]:
    """The ids of the last two traces labelled ``node_id`` (``pytest --sarn``
    labels a test's trace with its node id): (older, newer)."""
    found = [row.id for row in db.list_traces(db_path, timeout=timeout) if row.label == node_id]
    if len(found) < 2:
        raise db.TraceNotFoundError("%s trace%s of test %r in %s: two runs are needed"
                                    % ("only one" if found else "no", "" if found else "s", node_id, db_path))
    return found[1], found[0]


def _read(db_path: str, trace_id: str, ignore: Sequence[str], options: Options,
          timeout: float) -> Tuple[List[Any], Dict[str, Any]]:
    with db.open_trace(db_path, trace_id, timeout=timeout) as stream:
        info = stream.info
        threads, _ = read_threads(stream, ignore, keep_locals=options.locals)
    facts = {"id": info.id, "source": info.source, "label": info.label, "started": info.started}
    return threads, facts


def compare(db_path: str, a: str, b: str, *, ignore: Sequence[str] = (), options: Optional[Options] = None,
            timeout: float = db.READ_TIMEOUT) -> Tuple[Any, Dict[str, Any], Dict[str, Any]]:
    """The two traces' threads aligned, and the facts of each trace."""
    options = options or Options()
    threads_a, facts_a = _read(db_path, a, ignore, options, timeout)
    threads_b, facts_b = _read(db_path, b, ignore, options, timeout)
    with without_collection():
        threads = align_threads(threads_a, threads_b, options)
    unclear = list(detail.unclear_changes(threads))
    if unclear:
        values_a = _values(db_path, facts_a["id"], [want for _, want, _ in unclear], timeout)
        values_b = _values(db_path, facts_b["id"], [want for _, _, want in unclear], timeout)
        for change, want_a, want_b in unclear:
            detail.sharpen(change, values_a.get(want_a), values_b.get(want_b), ignore)
    return threads, facts_a, facts_b


def _values(db_path: str, trace_id: str, wants: Any, timeout: float) -> Dict[Any, Any]:
    with db.open_trace(db_path, trace_id, timeout=timeout) as stream:
        return detail.read_values(stream, wants)


def run_diff(db_path: str, a: str, b: str, write: Callable[[str], Any], *, ignore: Sequence[str] = (),
             options: Optional[Options] = None, context: int = 2, color: bool = False, as_json: bool = False,
             timeout: float = db.READ_TIMEOUT) -> int:
    """Compare, write the report, and return 0 (equal) or 1 (different)."""
    threads, facts_a, facts_b = compare(db_path, a, b, ignore=ignore, options=options, timeout=timeout)
    if as_json:
        report = json_report(threads, facts_a, facts_b)
        write(json.dumps(report, indent=2, ensure_ascii=False) + "\n")
        return 0 if report["equal"] else 1
    for line in text_lines(threads, facts_a, facts_b, context=context, color=color):
        write(line + "\n")
    return 0 if first_difference(threads) is None else 1
