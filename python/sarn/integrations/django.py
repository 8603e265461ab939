"""Django: one trace per request.

    MIDDLEWARE = ["sarn.integrations.django.SarnMiddleware", ...]
    SARN = {"paths": ["/api/"], "sample": 1.0}      # optional

Put it first, so that the other middleware is recorded too. Under WSGI the
request is recorded on its thread; under ASGI the middleware runs on the
event loop and keeps other requests out as :class:`~sarn.integrations.asgi.SarnASGI`
does, and follows the request into the worker threads that run its
synchronous code (a synchronous view, synchronous middleware, the ORM
called through ``sync_to_async``). The query string is kept in the trace's
meta ("query"). The recording ends when the response is made: a streaming
response's body is not in it.
"""

from __future__ import annotations

import asyncio
from typing import Any

from sarn.integrations.asgi import run_left_out, run_recorded
from sarn.integrations.recorder import RequestRecorder

__all__ = ["SarnMiddleware"]


def _mark_as_coroutine_function(middleware: Any) -> None:
    # Django calls a middleware asynchronously only if it looks like a
    # coroutine function.
    try:
        from asgiref.sync import markcoroutinefunction
    except ImportError:
        middleware._is_coroutine = asyncio.coroutines._is_coroutine  # type: ignore[attr-defined]
    else:
        markcoroutinefunction(middleware)


def _note_query(request: Any, recording: Any) -> None:
    query = request.META.get("QUERY_STRING")
    if query:
        recording.extra["query"] = str(query)


class SarnMiddleware:
    sync_capable = True
    async_capable = True

    def __init__(self, get_response: Any) -> None:
        from django.conf import settings

        options = dict(getattr(settings, "SARN", None) or {})
        options.setdefault("source", "django")
        self.get_response = get_response
        self.recorder = RequestRecorder(**options)
        self.is_async = asyncio.iscoroutinefunction(get_response)
        if self.is_async:
            _mark_as_coroutine_function(self)

    def __call__(self, request: Any) -> Any:
        if self.is_async:
            return self._serve_async(request)
        recorder = self.recorder
        recorder.request_started()
        try:
            recording = recorder.begin(request.method, request.path, request.headers.get)
            if recording is None:
                return self.get_response(request)
            _note_query(request, recording)
            try:
                response = self.get_response(request)
            except BaseException as error:
                recording.failed(error)
                raise
            else:
                recording.set_status(getattr(response, "status_code", None))
                return response
            finally:
                if recording.end():
                    recording.save()
        finally:
            recorder.request_ended()

    async def _serve_async(self, request: Any) -> Any:
        recorder = self.recorder
        recorder.request_started()
        try:
            recording = recorder.begin(request.method, request.path, request.headers.get)
            if recording is None:
                return await run_left_out(recorder, self.get_response, request)
            _note_query(request, recording)
            response = await run_recorded(self._note_status(request, recording), recording)
            return response
        finally:
            recorder.request_ended()

    async def _note_status(self, request: Any, recording: Any) -> Any:
        response = await self.get_response(request)
        recording.set_status(getattr(response, "status_code", None))
        return response
