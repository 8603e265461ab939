"""What the boundary records of a test trace say about the test: the
"start_test" and "end_test" records that the pytest plugin of
:mod:`sarn.plugins` writes, the end one with the test's "outcome",
"duration" (seconds) and, when it failed, pytest's report as "message"."""

from __future__ import annotations

from typing import Any, Dict, Optional

__all__ = ["BOUNDARIES", "end_facts", "failure_line"]

#: The record types that mark a test's start and end.
BOUNDARIES = ("start_test", "end_test")


def failure_line(message: Any) -> Optional[str]:
    """The line that sums up a pytest failure report: its first "E" line
    ("assert 4 == 5"), else its last line; None for no text."""
    if not isinstance(message, str):
        return None
    lines = [line.strip() for line in message.strip().splitlines() if line.strip()]
    for line in lines:
        if line.startswith("E "):
            return line[1:].strip()
    return lines[-1] if lines else None


def end_facts(record: Dict[str, Any]) -> Dict[str, Any]:
    """The facts of an "end_test" record: "outcome", "duration" and
    "failure" (the line of :func:`failure_line`), those it has."""
    facts: Dict[str, Any] = {}
    if isinstance(record.get("outcome"), str):
        facts["outcome"] = record["outcome"]
    duration = record.get("duration")
    if isinstance(duration, (int, float)) and not isinstance(duration, bool):
        facts["duration"] = float(duration)
    failure = failure_line(record.get("message"))
    if failure:
        facts["failure"] = failure
    return facts

