"""The Flask and Django glue, with the frameworks themselves."""

import asyncio
import concurrent.futures
import sys
import threading

import pytest

from sarn import db, viewer
from server_support import asgi_server, get, stored, wait_for
from test_host_requests import calls_in


def lookup_item(number):
    return {"number": number, "name": "tea"}


# --------------------------------------------------------------------------
# Flask


def test_flask_init_app_records_the_chosen_views(db_path):
    flask = pytest.importorskip("flask", reason="Flask cannot be installed for this interpreter")
    from sarn.integrations.flask import init_app

    app = flask.Flask("shop")
    # A 404 runs none of the app's code: kept only because it is asked for.
    app.config["SARN"] = {"db_path": db_path, "paths": ["/items/"], "keep_empty": True}

    @app.route("/items/<int:number>")
    def item(number):
        return lookup_item(number)

    @app.route("/health")
    def health():
        return "ok"

    middleware = init_app(app)
    assert app.extensions["sarn"] is middleware
    client = app.test_client()
    # Buffered: read and closed as a server does, which ends each recording.
    assert client.get("/items/3", buffered=True).get_json() == {"number": 3, "name": "tea"}
    assert client.get("/items/nope", buffered=True).status_code == 404
    assert client.get("/health", buffered=True).data == b"ok"
    traces = stored(db_path, 2)
    assert [(info.label, info.source, info.meta["status"]) for info in traces] == [
        ("GET /items/nope", "flask", 404),
        ("GET /items/3", "flask", 200),
    ]
    assert "test_host_frameworks.lookup_item" in calls_in(db_path, traces[1])


# --------------------------------------------------------------------------
# Django


def django_item(request, number):
    from django.http import JsonResponse

    return JsonResponse(lookup_item(number))


async def django_item_async(request, number):
    from django.http import JsonResponse

    await asyncio.sleep(0)
    return JsonResponse(lookup_item(number), status=202)


def _django_urls():
    from django.urls import path

    return [
        path("items/<int:number>", django_item),
        path("async/<int:number>", django_item_async),
        path("asgi/sync/<int:number>", asgi_sync_page),
        path("asgi/async/<int:number>", asgi_async_page),
        path("asgi/other", asgi_other_page),
    ]


@pytest.fixture(scope="module")
def django_settings():
    django = pytest.importorskip("django", reason="Django cannot be installed for this interpreter")
    from django.conf import settings

    if not settings.configured:
        settings.configure(
            DEBUG=False,
            SECRET_KEY="test",
            ALLOWED_HOSTS=["*"],
            ROOT_URLCONF=__name__,
            MIDDLEWARE=["sarn.integrations.django.SarnMiddleware"],
            INSTALLED_APPS=[],
            DATABASES={"default": {"ENGINE": "django.db.backends.sqlite3", "NAME": ":memory:"}},
        )
        django.setup()
    return settings


def __getattr__(name):
    # Django reads the URL patterns from this module when it first routes.
    if name == "urlpatterns":
        return _django_urls()
    raise AttributeError(name)


@pytest.mark.parametrize(
    "mode, path, status",
    [("sync", "/items/5", 200), ("async", "/async/5", 202)],
)
def test_django_middleware_records_views(django_settings, db_path, mode, path, status):
    from django.test import AsyncClient, Client, override_settings

    with override_settings(SARN={"db_path": db_path}):
        if mode == "sync":
            response = Client().get(path, {"colour": "green", "n": "2"})
        else:
            response = asyncio.run(AsyncClient().get(path, {"colour": "green", "n": "2"}))
    assert (response.status_code, response.json()) == (status, {"number": 5, "name": "tea"})
    (info,) = stored(db_path, 1)
    assert (info.label, info.source, info.meta["status"]) == ("GET " + path, "django", status)
    assert info.meta["query"] == "colour=green&n=2"
    assert "test_host_frameworks.lookup_item" in calls_in(db_path, info)
    assert db.get_trace_info(db_path, "latest").id == info.id


# --------------------------------------------------------------------------
# Django under ASGI: synchronous code runs in worker threads


class Arrivals:
    recorded_started = threading.Event()
    other_arrived = threading.Event()


def doubled_in_sql(number):
    from django.db import connection

    with connection.cursor() as cursor:
        cursor.execute("SELECT %s * 2", [number])
        return cursor.fetchone()[0]


async def doubled_on_the_loop(number):
    from asgiref.sync import sync_to_async

    return await sync_to_async(doubled_in_sql)(number)


def asgi_sync_page(request, number):
    from asgiref.sync import async_to_sync
    from django.http import JsonResponse

    Arrivals.recorded_started.set()
    Arrivals.other_arrived.wait(20)
    doubled = async_to_sync(doubled_on_the_loop)(number)  # back to the loop, then to this thread again
    return JsonResponse(dict(lookup_item(number), doubled=doubled))


async def asgi_async_page(request, number):
    from asgiref.sync import sync_to_async
    from django.http import JsonResponse

    Arrivals.recorded_started.set()
    for _ in range(2000):
        if Arrivals.other_arrived.is_set():
            break
        await asyncio.sleep(0.01)
    doubled = await sync_to_async(doubled_in_sql)(number)
    return JsonResponse(dict(await sync_to_async(lookup_item)(number), doubled=doubled))


def other_request_work():
    return "other"


def asgi_other_page(request):
    from django.http import HttpResponse

    Arrivals.other_arrived.set()
    return HttpResponse(other_request_work())


def _engines():
    engines = [pytest.param("setprofile", False, id="setprofile")]
    if sys.version_info >= (3, 12):
        engines.append(pytest.param("monitoring", False, id="monitoring"))
    engines.append(pytest.param(engines[-1].values[0], True, id="threading-on"))
    return engines


def _threads_of(document, qualname):
    """The names of the threads where ``qualname`` was called."""
    return {name for name, _, records in viewer.thread_records(document) for record in records
            if record.get("event") == "call" and record.get("qualname") == qualname}


@pytest.mark.slow
@pytest.mark.parametrize("engine, threading_on", _engines())
@pytest.mark.parametrize("kind", ["sync", "async"])
def test_django_under_asgi_follows_the_recorded_request_into_its_worker_threads(django_settings, db_path, kind,
                                                                                engine, threading_on):
    pytest.importorskip("uvicorn", reason="uvicorn cannot be installed for this interpreter")
    from django.core.asgi import get_asgi_application
    from django.test import override_settings

    Arrivals.recorded_started.clear()
    Arrivals.other_arrived.clear()
    config = {"engine": engine, "threading": threading_on}
    with override_settings(SARN={"db_path": db_path, "config": config}):
        app = get_asgi_application()
    with asgi_server(app) as url, concurrent.futures.ThreadPoolExecutor(2) as pool:
        recorded = pool.submit(get, url + "/asgi/%s/4?colour=green" % kind)
        assert wait_for(Arrivals.recorded_started.is_set)
        # Served meanwhile, its view in a worker thread of its own: passed by.
        assert get(url + "/asgi/other") == (200, "other")
        assert recorded.result() == (200, '{"number": 4, "name": "tea", "doubled": 8}')
    (info,) = stored(db_path, 1)
    assert (info.label, info.meta["status"], info.meta["query"]) == ("GET /asgi/%s/4" % kind, 200, "colour=green")
    document = viewer.decode_document(db.load_trace(db_path, info.id))
    calls = calls_in(db_path, info)
    here = "test_host_frameworks."
    for name in ("lookup_item", "doubled_in_sql", "asgi_%s_page" % kind):
        assert here + name in calls
    assert not {here + "asgi_other_page", here + "other_request_work"} & set(calls)
    queries = [record for _, _, records in viewer.thread_records(document) for record in records
               if record.get("type") == "sql_query"]
    assert [query["sql"] for query in queries] == ["SELECT %s * 2"]
    # The synchronous code ran in a worker thread, apart from the event loop's.
    (worker,) = _threads_of(document, here + "doubled_in_sql")
    if kind == "sync":
        assert _threads_of(document, here + "asgi_sync_page") == {worker}
        assert _threads_of(document, here + "doubled_on_the_loop") - {worker}
    else:
        assert _threads_of(document, here + "asgi_async_page") - {worker}
    assert worker.startswith("ThreadPoolExecutor")
    shown = viewer.render(db.load_trace(db_path, info.id))
    worker_tree = shown[shown.index("thread " + worker):]
    assert "lookup_item(number=4)" in worker_tree and "other_request_work" not in shown
