"""ASGI middleware: one trace per HTTP request.

    app = SarnASGI(app)
    app = SarnASGI(app, paths=["/api/"], sample=0.1, header="X-Sarn")

One request is recorded at a time (:mod:`sarn.integrations.recorder`). The
recording follows the event loop's thread from the start of that request to
its end, so the tasks it starts are in its trace; meanwhile the steps of
every other request are left out (:mod:`sarn.integrations.steps`). What
another request hands to a task of its own is not left out, so a trace says
in its meta how many requests ran beside it ("concurrent"). Code that the
request hands to asgiref's worker threads (``sync_to_async``: Django's
synchronous views) is followed there for each such call
(:mod:`sarn.integrations.worker_threads`); other worker threads (a
synchronous endpoint in anyio's pool) are not recorded.
The trace is saved in a worker thread of sarn's, off the event loop.
"""

from __future__ import annotations

import concurrent.futures
import threading
from typing import Any, Awaitable, Callable, Dict, Optional

from sarn.integrations import worker_threads
from sarn.integrations.recorder import RequestRecorder, RequestRecording
from sarn.integrations.steps import LeftOut

__all__ = ["SarnASGI", "run_recorded", "run_left_out"]


def _header_getter(scope: Dict[str, Any]) -> Callable[[str], Optional[str]]:
    def header_value(name: str) -> Optional[str]:
        wanted = name.lower().encode("latin-1")
        for key, value in scope.get("headers") or ():
            if bytes(key).lower() == wanted:
                return bytes(value).decode("latin-1")
        return None

    return header_value


async def run_left_out(recorder: RequestRecorder, function: Any, *args: Any) -> Any:
    """Await ``function(*args)`` with any recording of this thread paused
    during its steps."""
    return await LeftOut(recorder, function, *args)


async def run_recorded(awaitable: Awaitable[Any], recording: RequestRecording) -> Any:
    """Await the recorded request, then end its recording and save the trace.
    Its calls handed to asgiref's worker threads are followed there."""
    carried = worker_threads.carry(recording)
    try:
        return await awaitable
    except BaseException as error:
        recording.failed(error)
        raise
    finally:
        worker_threads.drop(carried)
        if recording.end():
            _save_soon(recording)


_saver: Optional[concurrent.futures.ThreadPoolExecutor] = None
_saver_lock = threading.Lock()


def _save_soon(recording: RequestRecording) -> None:
    """Save in sarn's own worker thread, so that the event loop does not wait
    for the database; the interpreter waits for the worker at exit."""
    global _saver
    with _saver_lock:
        if _saver is None:
            _saver = concurrent.futures.ThreadPoolExecutor(1, thread_name_prefix="sarn-save")
    try:
        _saver.submit(recording.save)
    except RuntimeError:  # the interpreter is shutting down
        recording.save()


def _status_catcher(send: Callable[[Any], Awaitable[None]], recording: RequestRecording) -> Callable[[Any], Awaitable[None]]:
    async def send_and_note_status(message: Any) -> None:
        if isinstance(message, dict) and message.get("type") == "http.response.start":
            recording.set_status(message.get("status"))
        await send(message)

    return send_and_note_status


class SarnASGI:
    """Wraps an ASGI 3 application; the options are those of
    :class:`~sarn.integrations.recorder.RequestRecorder` (``source`` defaults
    to "asgi")."""

    def __init__(self, app: Callable[..., Any], **options: Any) -> None:
        options.setdefault("source", "asgi")
        self.app = app
        self.recorder = RequestRecorder(**options)

    async def __call__(self, scope: Dict[str, Any], receive: Any, send: Any) -> None:
        recorder = self.recorder
        if scope.get("type") != "http":
            await run_left_out(recorder, self.app, scope, receive, send)
            return
        recorder.request_started()
        try:
            method = str(scope.get("method") or "GET")
            recording = recorder.begin(method, str(scope.get("path") or "/"), _header_getter(scope))
            if recording is None:
                await run_left_out(recorder, self.app, scope, receive, send)
                return
            query = scope.get("query_string")
            if query:
                recording.extra["query"] = bytes(query).decode("latin-1")
            await run_recorded(self.app(scope, receive, _status_catcher(send, recording)), recording)
        finally:
            recorder.request_ended()
