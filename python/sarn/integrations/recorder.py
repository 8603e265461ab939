"""One trace per request: the gate that lets one request be recorded at a
time, and the recording of that request.

Recording is per process and follows one thread (sarn.profiler): a request
is recorded on the thread that serves it, from its start to its end, and
requests that come while one is recorded are served unrecorded and counted
(``RequestRecorder.passed_by``, and "concurrent" in the trace's meta).
Threads that a request starts are not followed: on a threaded server new
threads are other requests. (What an ASGI request hands to asgiref's worker
threads is followed there call by call: :mod:`sarn.integrations.worker_threads`.)

Nothing here may fail a request: every failure of sarn's own is logged on
the "sarn" logger and the request goes on unrecorded.
"""

from __future__ import annotations

import logging
import threading
import time
from typing import Any, Callable, Dict, Iterable, Mapping, Optional

from sarn.integrations.selection import RequestSelector

__all__ = ["RequestRecorder", "RequestRecording"]

logger = logging.getLogger("sarn")


def _fatal(error: BaseException) -> bool:
    return isinstance(error, (KeyboardInterrupt, SystemExit))


def _holds_frames(document: Any) -> bool:
    """Whether a taken trace document has a frame record: the core counts the
    threads with frame records as it stores them."""
    facts = getattr(document, "facts", None)
    return not isinstance(facts, dict) or facts.get("thread_count") != 0


class RequestRecorder:
    """Starts the recordings of one middleware, one request at a time.

    ``db_path`` and ``config`` are as for :func:`sarn.record` (``threading``
    is always off); ``paths``, ``sample`` and ``header`` choose the requests
    (:class:`RequestSelector`); ``enabled=False`` records nothing. ``source``
    is the name traces are listed under. A trace without a call of the
    program's own code (a favicon, a static file, a tool's own pages) is
    dropped, and counted in ``empty``, unless ``keep_empty`` is true.
    """

    def __init__(
        self,
        *,
        source: str,
        db_path: Any = None,
        config: Optional[Mapping[str, Any]] = None,
        paths: Optional[Iterable[str]] = None,
        sample: float = 1.0,
        header: Optional[str] = None,
        enabled: bool = True,
        keep_empty: bool = False,
    ) -> None:
        self.source = source
        self.selector = RequestSelector(paths, sample, header)
        self.enabled = bool(enabled)
        self.keep_empty = bool(keep_empty)
        self.recorded = 0
        self.empty = 0
        self.passed_by = 0
        self.current: Optional[RequestRecording] = None
        self._gate = threading.Lock()
        self._counts = threading.Lock()
        self._in_flight = 0
        self._deferred: Optional[RequestRecording] = None
        self._config = self._load_config(db_path, config) if self.enabled else None

    def _load_config(self, db_path: Any, config: Optional[Mapping[str, Any]]) -> Optional[Dict[str, Any]]:
        from sarn.config import load_config

        overrides = dict(config or {})
        if db_path is not None:
            overrides["db_path"] = str(db_path)
        overrides["threading"] = False
        try:
            return load_config(overrides)
        except Exception as error:
            logger.warning("sarn: requests are not recorded: bad configuration: %s", error)
            self.enabled = False
            return None

    # Requests in flight, so that a trace can say how many ran beside it.

    def request_started(self) -> None:
        with self._counts:
            self._in_flight += 1
            current = self.current
            if current is not None:
                current.concurrent += 1

    def request_ended(self) -> None:
        with self._counts:
            self._in_flight -= 1

    def begin(self, method: str, path: str, header_value: Callable[[str], Optional[str]]) -> Optional["RequestRecording"]:
        """The recording of this request, now started on the calling thread,
        or None when it is not to be recorded. Never raises."""
        try:
            self._end_deferred()
            if not self.enabled or not self.selector.wants(path, header_value):
                return None
            return self._start(method, path)
        except Exception as error:
            logger.warning("sarn: could not record %s %s: %s", method, path, error)
            return None

    def _start(self, method: str, path: str) -> Optional["RequestRecording"]:
        from sarn.profiler import Profiler, active_profiler

        if active_profiler() is not None or not self._gate.acquire(blocking=False):
            self._count_passed()
            return None
        try:
            profiler = Profiler(self._config, source=self.source)
            profiler.start()
        except BaseException as error:
            self._gate.release()
            if _fatal(error):
                raise
            from sarn.profiler import RecordingError

            if isinstance(error, RecordingError) and active_profiler() is not None:
                self._count_passed()  # another recording of this process came first
                return None
            logger.warning("sarn: could not start recording %s %s: %s: %s", method, path, type(error).__name__, error)
            return None
        recording = RequestRecording(self, profiler, method, path)
        with self._counts:
            recording.concurrent = self._in_flight - 1
            self.current = recording
            self.recorded += 1
        return recording

    def _count_passed(self) -> None:
        with self._counts:
            self.passed_by += 1

    def _end_deferred(self) -> None:
        deferred = self._deferred
        if deferred is not None and deferred.thread == threading.get_ident():
            self._deferred = None
            deferred.end()
            deferred.save()

    def _release(self, recording: "RequestRecording") -> None:
        with self._counts:
            if self.current is recording:
                self.current = None
        self._gate.release()


class RequestRecording:
    """The recording of one request, on the thread that began it."""

    def __init__(self, recorder: RequestRecorder, profiler: Any, method: str, path: str) -> None:
        self.recorder = recorder
        self.profiler = profiler
        self.method = method
        self.path = path
        self.status: Optional[int] = None
        self.error: Optional[str] = None
        self.concurrent = 0
        self.thread = threading.get_ident()
        self.extra: Dict[str, Any] = {}
        self._started = time.perf_counter()
        self._duration: Optional[float] = None

    @property
    def what(self) -> str:
        return "%s %s" % (self.method, self.path)

    @property
    def ended(self) -> bool:
        return self._duration is not None

    def set_status(self, status: Any) -> None:
        """The response's status, from an int or a WSGI status line ("200 OK")."""
        try:
            self.status = int(str(status).split(None, 1)[0])
        except (ValueError, IndexError):
            pass

    def failed(self, error: BaseException) -> None:
        self.error = "%s: %s" % (type(error).__name__, error)
        if self.status is None:
            self.status = 500

    def end(self) -> bool:
        """Stop recording; True when it stopped and the trace can be saved.
        Called on another thread, the recording goes on until its own thread
        next passes through the middleware (the interpreter's profile
        function can only be changed by the thread itself). Never raises."""
        if self.ended:
            return False
        if threading.get_ident() != self.thread:
            logger.warning(
                "sarn: the response to %s ended on another thread than it began; "
                "its recording ends when that thread serves its next request", self.what
            )
            self.recorder._deferred = self
            return False
        self._duration = time.perf_counter() - self._started
        try:
            self.profiler.stop(save=False)
        except BaseException as error:
            if _fatal(error):
                raise
            logger.warning("sarn: could not stop recording %s: %s: %s", self.what, type(error).__name__, error)
        finally:
            self.recorder._release(self)
        return True

    def meta(self) -> Dict[str, Any]:
        meta: Dict[str, Any] = {
            "kind": "request",
            "method": self.method,
            "path": self.path,
            "status": self.status,
            "duration": self._duration,
            "concurrent": self.concurrent,
        }
        if self.error is not None:
            meta["error"] = self.error
        meta.update(self.extra)
        return meta

    def save(self) -> None:
        """Store the trace with the request's facts beside it. Never raises;
        may run on any thread."""
        from sarn import db

        profiler = self.profiler
        try:
            document = profiler.take_trace_document()
            if not self.recorder.keep_empty and not _holds_frames(document):
                document.close()
                with self.recorder._counts:
                    self.recorder.empty += 1
                return
            db.save_trace_in_sqlite(
                profiler.db_path,
                profiler.trace_id,
                timeout=profiler.config.get("sqlite_busy_timeout", 60),
                msgpack=document,
                label=self.what,
                meta=self.meta(),
            )
        except BaseException as error:
            if _fatal(error):
                raise
            logger.warning("sarn: could not save the trace of %s: %s: %s", self.what, type(error).__name__, error)
