"""WSGI middleware: one trace per request.

    app = SarnWSGI(app)                              # every request
    app = SarnWSGI(app, paths=["/api/"], sample=0.1, header="X-Sarn")

A recorded request is recorded on the thread that serves it, from the call
of the application to the end of its response body (when the server has
read the body to its end or closed it); see :mod:`sarn.integrations.recorder`
for the rule that lets one request be recorded at a time.
"""

from __future__ import annotations

import logging
from typing import Any, Callable, Dict, Iterable, Iterator, Optional

from sarn.integrations.recorder import RequestRecorder, RequestRecording

__all__ = ["SarnWSGI"]

logger = logging.getLogger("sarn")


def _header_getter(environ: Dict[str, Any]) -> Callable[[str], Optional[str]]:
    def header_value(name: str) -> Optional[str]:
        key = name.upper().replace("-", "_")
        if key not in ("CONTENT_TYPE", "CONTENT_LENGTH"):
            key = "HTTP_" + key
        value = environ.get(key)
        return value if isinstance(value, str) else None

    return header_value


def _path(environ: Dict[str, Any]) -> str:
    return (environ.get("SCRIPT_NAME") or "") + (environ.get("PATH_INFO") or "/")


class SarnWSGI:
    """Wraps a WSGI application; the options are those of
    :class:`~sarn.integrations.recorder.RequestRecorder` (``source`` defaults
    to "wsgi"). ``recorder`` holds the counts: ``recorded``, ``passed_by``."""

    def __init__(self, app: Callable[..., Any], **options: Any) -> None:
        options.setdefault("source", "wsgi")
        self.app = app
        self.recorder = RequestRecorder(**options)

    def __call__(self, environ: Dict[str, Any], start_response: Callable[..., Any]) -> Iterable[bytes]:
        recorder = self.recorder
        recorder.request_started()
        try:
            method = str(environ.get("REQUEST_METHOD") or "GET")
            recording = recorder.begin(method, _path(environ), _header_getter(environ))
            if recording is None:
                return self.app(environ, start_response)
            return self._recorded(recording, environ, start_response)
        finally:
            recorder.request_ended()

    def _recorded(
        self, recording: RequestRecording, environ: Dict[str, Any], start_response: Callable[..., Any]
    ) -> Iterable[bytes]:
        query = environ.get("QUERY_STRING")
        if query:
            recording.extra["query"] = str(query)

        def recorded_start_response(status: str, headers: Any, exc_info: Any = None) -> Any:
            recording.set_status(status)
            return start_response(status, headers, exc_info)

        try:
            body = self.app(environ, recorded_start_response)
        except BaseException as error:
            recording.failed(error)
            _end_and_save(recording)
            raise
        if isinstance(body, (list, tuple)):
            # Already complete: hand it on as it is, so that the server can
            # still see its length.
            _end_and_save(recording)
            return body
        return _RecordedBody(body, recording)


def _end_and_save(recording: RequestRecording) -> None:
    if recording.end():
        recording.save()


class _RecordedBody:
    """A response body whose recording ends with its last chunk or its close."""

    def __init__(self, body: Iterable[bytes], recording: RequestRecording) -> None:
        self._body = body
        self._recording = recording

    def __iter__(self) -> Iterator[bytes]:
        try:
            for chunk in self._body:
                yield chunk
        except GeneratorExit:
            raise  # the server stopped reading; close() ends the recording
        except BaseException as error:
            self._recording.failed(error)
            _end_and_save(self._recording)
            raise
        _end_and_save(self._recording)

    def __del__(self) -> None:
        # A body dropped without close() (test clients do that) must not keep
        # recording on until the process ends.
        _end_and_save(self._recording)

    def close(self) -> None:
        try:
            close = getattr(self._body, "close", None)
            if close is not None:
                close()
        finally:
            _end_and_save(self._recording)
