"""The Flask and Django glue, with the frameworks themselves."""

import asyncio

import pytest

from sarn import db
from server_support import stored
from test_host_requests import calls_in


def lookup_item(number):
    return {"number": number, "name": "tea"}


# --------------------------------------------------------------------------
# Flask


def test_flask_init_app_records_the_chosen_views(db_path):
    flask = pytest.importorskip("flask", reason="Flask cannot be installed for this interpreter")
    from sarn.integrations.flask import init_app

    app = flask.Flask("shop")
    app.config["SARN"] = {"db_path": db_path, "paths": ["/items/"]}

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

    return [path("items/<int:number>", django_item), path("async/<int:number>", django_item_async)]


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
            DATABASES={},
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
            response = Client().get(path)
        else:
            response = asyncio.run(AsyncClient().get(path))
    assert (response.status_code, response.json()) == (status, {"number": 5, "name": "tea"})
    (info,) = stored(db_path, 1)
    assert (info.label, info.source, info.meta["status"]) == ("GET " + path, "django", status)
    assert "test_host_frameworks.lookup_item" in calls_in(db_path, info)
    assert db.get_trace_info(db_path, "latest").id == info.id
