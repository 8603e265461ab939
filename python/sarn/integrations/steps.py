"""Leaving other requests out of a recording that runs on an event loop.

An event loop runs many requests on one thread, a step of one task at a
time, and recording follows the thread. While a request is recorded, every
other request (and every WebSocket or lifespan task) that goes through the
middleware is awaited through :class:`LeftOut`, which pauses the recording
for each of its steps, so that the trace holds the recorded request and the
tasks it starts, and not the other requests' own code.
"""

from __future__ import annotations

import sys
from typing import Any, Union

from sarn.integrations.recorder import RequestRecorder, RequestRecording

__all__ = ["LeftOut"]


Paused = Union[None, RequestRecording, int]


def _pause(recorder: RequestRecorder) -> Paused:
    """Pause the recording if it records this thread now: the paused
    recording (profile function), a token (sys.monitoring) or None."""
    current = recorder.current
    if current is None:
        return None
    hook = current.profiler.rust_profiler
    if hook is None:
        return None
    from sarn import _sarn

    if current.profiler.through_monitoring:
        return _sarn._pause_thread() or None
    # The core's hook reports its profiler as the thread's profile function;
    # anything else means this thread is not recorded, or is paused already.
    if sys.getprofile() is not hook:
        return None
    _sarn.register_noop_profiler()
    return current


def _resume(paused: Paused) -> None:
    if isinstance(paused, int):
        from sarn import _sarn

        _sarn._resume_thread(paused)
    elif paused is not None and not paused.ended:
        paused.profiler.rust_profiler.register_threading_profiler(None, None, None)


class LeftOut:
    """Awaits ``function(*args)`` with the recording paused during each of
    its steps, the call itself included (it runs in the first step)."""

    __slots__ = ("_recorder", "_start", "_steps")

    def __init__(self, recorder: RequestRecorder, function: Any, *args: Any) -> None:
        self._recorder = recorder
        self._start: Any = (function, args)
        self._steps: Any = None

    def __await__(self) -> "LeftOut":
        return self

    def __iter__(self) -> "LeftOut":
        return self

    def __next__(self) -> Any:
        return self.send(None)

    def _advance(self, how: Any) -> Any:
        paused = _pause(self._recorder)
        try:
            if self._steps is None:
                function, args = self._start
                self._start = None
                self._steps = function(*args).__await__()
            return how(self._steps)
        finally:
            _resume(paused)

    def send(self, value: Any) -> Any:
        if value is None:
            return self._advance(next)
        return self._advance(lambda steps: steps.send(value))

    def throw(self, kind: Any, value: Any = None, traceback: Any = None) -> Any:
        error = kind if value is None else value
        if traceback is not None and isinstance(error, BaseException):
            error = error.with_traceback(traceback)
        return self._advance(lambda steps: steps.throw(error))

    def close(self) -> None:
        if self._steps is not None and hasattr(self._steps, "close"):
            self._advance(lambda steps: steps.close())
