"""Recording web requests: which are chosen, one at a time on real servers,
and failures that never reach the request."""

import asyncio
import concurrent.futures
import io
import logging
import sys
import threading
from wsgiref.util import setup_testing_defaults

import pytest

from sarn import db, viewer
from sarn.integrations import SarnASGI, SarnWSGI
from server_support import asgi_server, get, stored, wait_for, wsgi_server


def calls_in(db_path, info):
    document = viewer.decode_document(db.load_trace(db_path, info.id))
    return [
        record.get("qualname") or record.get("co_name")
        for _, _, records in viewer.thread_records(document)
        for record in records
        if record.get("type") == "frame" and record.get("event") == "call"
    ]


def greet(name):
    return "hello " + name


def hello_app(environ, start_response):
    text = greet(environ["PATH_INFO"])
    start_response("201 Created", [("Content-Type", "text/plain")])
    return [text.encode()]


def streamed_app(environ, start_response):
    start_response("200 OK", [("Content-Type", "text/plain")])
    for word in ("a", "b"):
        yield greet(word).encode()


def failing_app(environ, start_response):
    raise LookupError("no such item")


def call_wsgi(app, path="/", headers=None):
    environ = {"PATH_INFO": path}
    for name, value in (headers or {}).items():
        environ["HTTP_" + name.upper().replace("-", "_")] = value
    setup_testing_defaults(environ)
    statuses = []
    body = app(environ, lambda status, headers, exc_info=None: statuses.append(status))
    try:
        text = b"".join(body)
    finally:
        if hasattr(body, "close"):
            body.close()
    return statuses[0], text


@pytest.mark.parametrize(
    "options, path, headers, recorded",
    [
        ({}, "/items/3", {}, True),
        ({"paths": ["/api/", "/items/"]}, "/items/3", {}, True),
        ({"paths": ["/api/"]}, "/items/3", {}, False),
        ({"sample": 0.0}, "/items/3", {}, False),
        ({"header": "X-Sarn"}, "/items/3", {}, False),
        ({"header": "X-Sarn"}, "/items/3", {"X-Sarn": "1"}, True),
        ({"header": "X-Sarn"}, "/items/3", {"X-Sarn": "0"}, False),
        ({"enabled": False}, "/items/3", {}, False),
    ],
)
def test_wsgi_records_the_chosen_requests(db_path, options, path, headers, recorded):
    app = SarnWSGI(hello_app, db_path=db_path, **options)
    assert call_wsgi(app, path, headers) == ("201 Created", b"hello " + path.encode())
    traces = stored(db_path)
    assert len(traces) == (1 if recorded else 0)
    if recorded:
        (info,) = traces
        assert (info.label, info.source) == ("GET /items/3", "wsgi")
        assert info.meta["status"] == 201 and info.meta["duration"] > 0
        assert calls_in(db_path, info)[:2] == ["test_host_requests.hello_app", "test_host_requests.greet"]


def test_a_streamed_body_is_recorded_to_its_end(db_path):
    app = SarnWSGI(streamed_app, db_path=db_path)
    assert call_wsgi(app) == ("200 OK", b"hello ahello b")
    (info,) = stored(db_path)
    calls = calls_in(db_path, info)
    assert calls.count("test_host_requests.greet") == 2


def test_an_application_error_goes_on_and_is_noted(db_path):
    app = SarnWSGI(failing_app, db_path=db_path)
    with pytest.raises(LookupError, match="no such item"):
        call_wsgi(app)
    (info,) = stored(db_path)
    assert info.meta["status"] == 500
    assert info.meta["error"] == "LookupError: no such item"


@pytest.mark.parametrize("keep_empty", [False, True])
def test_a_request_that_runs_none_of_the_programs_code_is_stored_only_when_asked(db_path, keep_empty):
    # The standard library's application and handler: none of their frames is recorded.
    from wsgiref.handlers import SimpleHandler
    from wsgiref.simple_server import demo_app

    app = SarnWSGI(demo_app, db_path=db_path, keep_empty=keep_empty)
    environ = {"PATH_INFO": "/favicon.ico"}
    setup_testing_defaults(environ)
    out = io.BytesIO()
    SimpleHandler(io.BytesIO(), out, io.StringIO(), environ).run(app)
    assert out.getvalue().startswith(b"HTTP/1.0 200 OK")
    assert (app.recorder.recorded, app.recorder.empty) == (1, 0 if keep_empty else 1)
    traces = stored(db_path)
    assert [info.label for info in traces] == (["GET /favicon.ico"] if keep_empty else [])
    if keep_empty:
        assert traces[0].frame_count == 0


@pytest.mark.parametrize("failure", ["unwritable database", "no core", "bad configuration"])
def test_sarn_failures_never_fail_the_request(tmp_path, monkeypatch, caplog, failure):
    options = {"db_path": str(tmp_path / "traces.db")}
    if failure == "unwritable database":
        (tmp_path / "file").write_text("")
        options["db_path"] = str(tmp_path / "file" / "traces.db")
    elif failure == "no core":
        from sarn import profiler

        def no_core():
            raise profiler.CoreUnavailableError("not built")

        monkeypatch.setattr(profiler, "load_core", no_core)
    else:
        options["config"] = {"sqlite_busy_timeout": "soon"}
    with caplog.at_level(logging.WARNING, logger="sarn"):
        app = SarnWSGI(hello_app, **options)
        assert call_wsgi(app, "/x") == ("201 Created", b"hello /x")
        assert call_wsgi(app, "/y") == ("201 Created", b"hello /y")
    assert caplog.records and all(record.name == "sarn" for record in caplog.records)
    from sarn.profiler import active_profiler

    assert active_profiler() is None


# --------------------------------------------------------------------------
# One request at a time, on real servers


def slow_view():
    return "slow"


def fast_view():
    return "fast"


def test_threaded_wsgi_server_records_one_request_at_a_time(db_path):
    release = threading.Event()

    def app(environ, start_response):
        if environ["PATH_INFO"] == "/slow":
            release.wait(30)
            text = slow_view()
        else:
            text = fast_view()
        start_response("200 OK", [])
        return [text.encode()]

    middleware = SarnWSGI(app, db_path=db_path)
    with wsgi_server(middleware) as url, concurrent.futures.ThreadPoolExecutor(4) as pool:
        slow = pool.submit(get, url + "/slow")
        assert wait_for(lambda: middleware.recorder.current is not None)
        fast = [pool.submit(get, url + "/fast") for _ in range(3)]
        assert [future.result() for future in fast] == [(200, "fast")] * 3
        release.set()
        assert slow.result() == (200, "slow")
        assert get(url + "/fast") == (200, "fast")  # recorded: nothing else runs now
    assert (middleware.recorder.recorded, middleware.recorder.passed_by) == (2, 3)
    later, first = stored(db_path, 2)
    assert (first.label, first.meta["concurrent"]) == ("GET /slow", 3)
    assert "test_host_requests.fast_view" not in calls_in(db_path, first)
    assert "test_host_requests.slow_view" in calls_in(db_path, first)
    assert later.label == "GET /fast" and later.meta["concurrent"] == 0


def _starlette_app(with_http_middleware):
    starlette = pytest.importorskip("starlette", reason="starlette cannot be installed for this interpreter")
    pytest.importorskip("uvicorn", reason="uvicorn cannot be installed for this interpreter")
    from starlette.applications import Starlette
    from starlette.middleware.base import BaseHTTPMiddleware
    from starlette.responses import PlainTextResponse
    from starlette.routing import Route

    arrived = []

    async def slow(request):
        for _ in range(3000):
            if len(arrived) >= 3:
                break
            await asyncio.sleep(0.01)
        return PlainTextResponse(slow_view())

    async def fast(request):
        arrived.append(request.url.path)
        return PlainTextResponse(fast_view())

    app = Starlette(routes=[Route("/slow", slow), Route("/fast", fast)])
    if with_http_middleware:
        async def passing(request, call_next):
            return await call_next(request)

        app.add_middleware(BaseHTTPMiddleware, dispatch=passing)
    assert starlette
    return app


@pytest.mark.parametrize("with_http_middleware", [False, True], ids=["plain", "task-per-request middleware"])
def test_event_loop_records_one_request_and_leaves_the_others_out(db_path, with_http_middleware):
    middleware = SarnASGI(_starlette_app(with_http_middleware), db_path=db_path)
    with asgi_server(middleware) as url, concurrent.futures.ThreadPoolExecutor(4) as pool:
        slow = pool.submit(get, url + "/slow")
        assert wait_for(lambda: middleware.recorder.current is not None)
        fast = [pool.submit(get, url + "/fast") for _ in range(3)]
        assert [future.result() for future in fast] == [(200, "fast")] * 3
        assert slow.result() == (200, "slow")
        assert stored(db_path, 1)
        assert get(url + "/fast") == (200, "fast")
        traces = stored(db_path, 2)
    assert (middleware.recorder.recorded, middleware.recorder.passed_by) == (2, 3)
    by_label = {info.label: info for info in traces}
    first = by_label["GET /slow"]
    assert (first.source, first.meta["status"], first.meta["concurrent"]) == ("asgi", 200, 3)
    calls = calls_in(db_path, first)
    assert "test_host_requests.slow_view" in calls
    if not with_http_middleware:
        # The other requests' own steps were left out; with a middleware that
        # runs each request in a task of its own, only the mark says so.
        assert "test_host_requests.fast_view" not in calls
    assert "test_host_requests.fast_view" in calls_in(db_path, by_label["GET /fast"])


def test_asgi_application_error_goes_on_and_is_noted(db_path):
    async def app(scope, receive, send):
        await send({"type": "http.response.start", "status": 503, "headers": []})
        raise LookupError("gone")

    async def serve():
        sent = []

        async def receive():
            return {"type": "http.request", "body": b""}

        async def send(message):
            sent.append(message)

        scope = {"type": "http", "method": "POST", "path": "/jobs", "headers": [], "query_string": b"a=1"}
        with pytest.raises(LookupError):
            await SarnASGI(app, db_path=db_path)(scope, receive, send)
        return sent

    assert asyncio.run(serve())[0]["status"] == 503
    (info,) = stored(db_path, 1)
    assert info.label == "POST /jobs"
    assert (info.meta["status"], info.meta["error"], info.meta["query"]) == (503, "LookupError: gone", "a=1")


# --------------------------------------------------------------------------
# Worker threads of asgiref (sync_to_async)


def recorded_work():
    return greet("recorded")


def other_work():
    return greet("other")


def engines():
    return ["setprofile"] + (["monitoring"] if sys.version_info >= (3, 12) else [])


def asgiref_hop(worker):
    sync = pytest.importorskip("asgiref.sync", reason="asgiref cannot be installed for this interpreter")
    return lambda work: sync.sync_to_async(work, thread_sensitive=False, executor=worker)()


def anyio_hop(worker):
    # Starlette's (and FastAPI's) way to a thread: anyio's worker threads.
    concurrency = pytest.importorskip("starlette.concurrency")
    return concurrency.run_in_threadpool


@pytest.mark.parametrize("hop", [asgiref_hop, anyio_hop])
@pytest.mark.parametrize("engine", engines())
def test_asgi_follows_the_recorded_request_into_a_shared_worker_thread_call_by_call(db_path, engine, hop):
    # One thread, started during the recording, runs both requests' calls
    # (anyio's pool may use more than one).
    worker = concurrent.futures.ThreadPoolExecutor(1, thread_name_prefix="shared-worker")
    in_thread = hop(worker)

    others_in = []
    both_others_in = []  # the event, made on the loop that serves (3.8 binds one at its making)

    async def app(scope, receive, send):
        # The recorded request goes on once both others are served beside
        # it, whatever order the event loop starts the three in.
        if scope["path"] == "/recorded":
            await both_others_in[0].wait()
            work = recorded_work
        else:
            others_in.append(scope["path"])
            if len(others_in) == 2:
                both_others_in[0].set()
            work = other_work
        text = await in_thread(work)
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body", "body": text.encode()})

    middleware = SarnASGI(app, db_path=db_path, config={"engine": engine})

    async def call(path):
        sent = []

        async def receive():
            return {"type": "http.request", "body": b""}

        async def send(message):
            sent.append(message)

        await middleware({"type": "http", "method": "GET", "path": path, "headers": []}, receive, send)
        return sent[-1]["body"]

    async def serve():
        both_others_in.append(asyncio.Event())
        return await asyncio.gather(call("/recorded"), call("/other"), call("/other"))

    with worker:
        assert asyncio.run(serve()) == [b"hello recorded", b"hello other", b"hello other"]
    (info,) = stored(db_path, 1)
    assert (middleware.recorder.recorded, middleware.recorder.passed_by) == (1, 2)
    document = viewer.decode_document(db.load_trace(db_path, info.id))
    threads = {name: [record.get("qualname") for record in records if record.get("event") == "call"]
               for name, _, records in viewer.thread_records(document)}
    (shared,) = [name for name in threads if name != "MainThread"]
    assert threads[shared] == ["test_host_requests.recorded_work", "test_host_requests.greet"]
    assert "test_host_requests.other_work" not in calls_in(db_path, info)
    # The worker started while recording, and its part was recorded (anyio
    # may start more workers for the other requests, which stay out).
    if hop is asgiref_hop:
        assert "unrecorded" not in document["meta"]
