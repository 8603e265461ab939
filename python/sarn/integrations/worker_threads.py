"""Following a recorded request into the worker threads that run its
synchronous code.

An ASGI application hands synchronous code to threads: Django runs a
synchronous view (the default kind), its synchronous middleware and the ORM
called from an async view through asgiref's ``sync_to_async``, and Starlette
and FastAPI run synchronous endpoints and dependencies through anyio's
``to_thread.run_sync``, each call in a thread of a pool. The recording
follows the event loop's thread, so without more that code would be missing
from the request's trace.

While a request is recorded, its task carries the recording in a context
variable (:func:`carry`). asgiref and anyio copy the caller's context into
the thread for each call; asgiref's thread handler and anyio's ``run_sync``,
wrapped once (:func:`install`), wrap the call so that, inside that context,
it finds the recording and makes the thread record into the request's
profiler for that call only, then stop. A pool thread serves other requests
before and after, and their calls carry no recording, so they stay out. A
call nested in a followed one (``async_to_sync`` in a synchronous view, then
``sync_to_async`` again, runs on the same thread) leaves the following to
the outer call. With ``threading`` off (as requests are recorded) the
thread's records go to the trace's main list, each naming its thread, and
``sarn show`` prints them as that thread's tree.
"""

from __future__ import annotations

import contextvars
import functools
import logging
import sys
from typing import Any, Callable, Optional

from sarn.integrations.recorder import RequestRecording
from sarn.profiler import active_profiler

__all__ = ["carry", "drop", "install", "follow", "unfollow"]

logger = logging.getLogger("sarn")

_recorded: "contextvars.ContextVar[Optional[RequestRecording]]" = contextvars.ContextVar(
    "sarn_recorded_request", default=None
)


def carry(recording: RequestRecording) -> Any:
    """Mark the calling task (and what it hands to threads) as running the
    recorded request; the token for :func:`drop`. Never raises."""
    try:
        install()
    except Exception as error:
        logger.warning("sarn: worker threads are not followed: %s: %s", type(error).__name__, error)
    return _recorded.set(recording)


def drop(token: Any) -> None:
    try:
        _recorded.reset(token)
    except ValueError:  # reset in another context than it was set in
        _recorded.set(None)


Undo = Callable[[], None]


def follow(recording: RequestRecording) -> Optional[Undo]:
    """Record the calling thread into the request's profiler from now on;
    what ends that (:func:`unfollow`), or None when nothing was changed: the
    recording has ended, the thread is followed already, or it has a profile
    function of another tool, which is left alone."""
    profiler = recording.profiler
    hook = profiler.rust_profiler
    if hook is None or recording.ended:
        return None
    from sarn import _sarn
    from sarn.profiler import thread_recorded

    if profiler.through_monitoring:
        token = _sarn._pause_thread()
        if token:  # followed already: resume at once
            _sarn._resume_thread(token)
            return None
        if sys.getprofile() is not None:
            return None
        hook.register_threading_profiler(None, None, None)
        thread_recorded()
        # Pausing leaves the session as it is, and does nothing once the
        # recording has ended.
        return _pause_monitoring
    if sys.getprofile() is not None:
        return None
    hook.register_threading_profiler(None, None, None)
    thread_recorded()

    def remove_hook() -> None:
        if sys.getprofile() is hook:
            sys.setprofile(None)

    return remove_hook


def _pause_monitoring() -> None:
    from sarn import _sarn

    _sarn._pause_thread()


def unfollow(undo: Optional[Undo]) -> None:
    if undo is None:
        return
    try:
        undo()
    except Exception as error:
        logger.warning("sarn: could not stop following a worker thread: %s: %s", type(error).__name__, error)


def _follow_quietly(recording: RequestRecording) -> Optional[Undo]:
    try:
        return follow(recording)
    except Exception as error:
        logger.warning("sarn: could not follow a request into a worker thread: %s: %s", type(error).__name__, error)
        return None


def _followed(call: Callable[..., Any]) -> Callable[..., Any]:
    """``call``, followed into the thread when the context it runs in
    carries a recording."""

    def followed_call(*args: Any, **kwargs: Any) -> Any:
        __traceback_hide__ = True  # noqa: F841  (as asgiref's own frames)
        recording = _recorded.get()
        undo = _follow_quietly(recording) if recording is not None else None
        if undo is None:
            return call(*args, **kwargs)
        try:
            return call(*args, **kwargs)
        finally:
            unfollow(undo)

    return followed_call


def _following(handler: Callable[..., Any]) -> Callable[..., Any]:
    # asgiref hands its thread handler the call to make last, a partial of
    # the function and its arguments, and runs it inside the caller's copied
    # context: there the wrapper finds the recording, if any.
    @functools.wraps(handler)
    def thread_handler(self: Any, *args: Any, **kwargs: Any) -> Any:
        __traceback_hide__ = True  # noqa: F841
        if args and isinstance(args[-1], functools.partial) and active_profiler() is not None:
            args = args[:-1] + (_followed(args[-1]),)
        return handler(self, *args, **kwargs)

    thread_handler._sarn_follows = True  # type: ignore[attr-defined]
    return thread_handler


def install() -> None:
    """Wrap asgiref's thread handler and anyio's ``to_thread.run_sync`` once,
    if the program uses them (a program that imports them later is wrapped
    at its next recorded request)."""
    _install_asgiref()
    _install_anyio()


def _install_asgiref() -> None:
    module = sys.modules.get("asgiref.sync")
    sync_to_async = getattr(module, "SyncToAsync", None) if module is not None else None
    handler = getattr(sync_to_async, "thread_handler", None)
    if handler is None or getattr(handler, "_sarn_follows", False):
        return
    sync_to_async.thread_handler = _following(handler)  # type: ignore[union-attr]


def _install_anyio() -> None:
    # Callers look run_sync up on the module at each call
    # (``anyio.to_thread.run_sync``), as Starlette does.
    module = sys.modules.get("anyio.to_thread")
    run_sync = getattr(module, "run_sync", None) if module is not None else None
    if run_sync is None or getattr(run_sync, "_sarn_follows", False):
        return

    @functools.wraps(run_sync)
    def following_run_sync(func: Callable[..., Any], *args: Any, **kwargs: Any) -> Any:
        __traceback_hide__ = True  # noqa: F841
        if _recorded.get() is not None:
            func = _followed(func)
        return run_sync(func, *args, **kwargs)

    following_run_sync._sarn_follows = True  # type: ignore[attr-defined]
    module.run_sync = following_run_sync  # type: ignore[union-attr]
