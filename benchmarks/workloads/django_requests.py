"""A Django page that runs 51 ORM queries on SQLite and renders a template.

The view lists 50 books and reads each one's author through its foreign
key, one query per row (the N+1 pattern: 1 + 50 queries), then renders the
list with Django's template engine. Requests go through Django's test
`Client`, in process: no server, no socket, only the request handling.

`configure(mode, folder)` sets Django up for one mode, with the database
(and sarn's traces) in `folder`; it must run before anything imports a
Django model. DEBUG is False in every mode, so Django itself keeps no list
of the queries.
"""
from __future__ import annotations

import os

BOOKS = 50

PAGE = """<!DOCTYPE html>
<html>
<head><title>Books</title></head>
<body>
<h1>{{ books|length }} books</h1>
<table>
{% for book in books %}<tr><td>{{ book.title }}</td><td>{{ book.author_name }}</td><td>{{ book.pages }}</td></tr>
{% endfor %}</table>
</body>
</html>
"""

# sarn's settings that turn off what it records outside the program's code.
CAPTURE_OFF = {"record_sql": False, "record_http": False, "record_logs": False, "record_templates": False}


def _toolbar_shown(request):
    return True


def configure(mode: str, folder: str) -> None:
    """The plain site, plus what the mode adds: its middleware first in the
    list, its app, its settings."""
    import django
    from django.conf import settings

    middleware = [
        "django.middleware.common.CommonMiddleware",
        "django.contrib.sessions.middleware.SessionMiddleware",
    ]
    apps = ["django.contrib.contenttypes", "django.contrib.sessions", "django.contrib.staticfiles"]
    extra = {}
    if mode.startswith("sarn"):
        middleware.insert(0, "sarn.integrations.django.SarnMiddleware")
        extra["SARN"] = {"db_path": os.path.join(folder, "traces.sqlite3")}
        if mode == "sarn-capture-off":
            extra["SARN"]["config"] = dict(CAPTURE_OFF)
    elif mode == "debug-toolbar":
        middleware.insert(0, "debug_toolbar.middleware.DebugToolbarMiddleware")
        apps.append("debug_toolbar")
        extra["DEBUG_TOOLBAR_CONFIG"] = {
            "SHOW_TOOLBAR_CALLBACK": __name__ + "._toolbar_shown",
            "IS_RUNNING_TESTS": False,
            # Panels kept in the toolbar's store, their HTML made when one is
            # opened: what it does under a development server. The test
            # Client's requests say wsgi.multiprocess, for which the toolbar
            # would otherwise render every panel into every page.
            "RENDER_PANELS": False,
        }
    settings.configure(
        DEBUG=False,
        SECRET_KEY="benchmark",
        ALLOWED_HOSTS=["*"],
        ROOT_URLCONF=__name__,
        MIDDLEWARE=middleware,
        INSTALLED_APPS=apps,
        DATABASES={"default": {"ENGINE": "django.db.backends.sqlite3", "NAME": os.path.join(folder, "site.sqlite3")}},
        TEMPLATES=[{
            "BACKEND": "django.template.backends.django.DjangoTemplates",
            "OPTIONS": {"loaders": [
                ("django.template.loaders.locmem.Loader", {"books.html": PAGE}),
                "django.template.loaders.app_directories.Loader",
            ]},
        }],
        STATIC_URL="/static/",
        USE_TZ=True,
        DEFAULT_AUTO_FIELD="django.db.models.AutoField",
        **extra,
    )
    django.setup()
    _define_models()


Author = Book = None


def _define_models() -> None:
    """The models, declared once Django's app registry is ready."""
    global Author, Book
    from django.db import models

    class Author(models.Model):  # noqa: F811
        name = models.CharField(max_length=100)

        class Meta:
            app_label = "books"

    class Book(models.Model):  # noqa: F811
        title = models.CharField(max_length=200)
        pages = models.IntegerField()
        author = models.ForeignKey(Author, on_delete=models.CASCADE)

        class Meta:
            app_label = "books"

    globals().update(Author=Author, Book=Book)


def prepare() -> None:
    """The tables of the site and of the installed apps, and 50 books by 10 authors."""
    from django.core.management import call_command
    from django.db import connection

    call_command("migrate", run_syncdb=True, verbosity=0)
    with connection.schema_editor() as editor:
        editor.create_model(Author)
        editor.create_model(Book)
    authors = Author.objects.bulk_create([Author(name="Author %d" % number) for number in range(10)])
    Book.objects.bulk_create([Book(title="Book %d" % number, pages=100 + number, author=authors[number % 10])
                              for number in range(BOOKS)])


def book_list(request):
    from django.shortcuts import render

    rows = []
    for book in Book.objects.order_by("id")[:BOOKS]:
        # One query per book: the author is not selected with the list.
        rows.append({"title": book.title, "pages": book.pages, "author_name": book.author.name})
    return render(request, "books.html", {"books": rows})


def _urls():
    from django.urls import include, path

    patterns = [path("books/", book_list)]
    from django.conf import settings

    if "debug_toolbar" in settings.INSTALLED_APPS:
        patterns.append(path("__debug__/", include("debug_toolbar.urls")))
    return patterns


def __getattr__(name):
    # Django reads the URL patterns from this module when it first routes.
    if name == "urlpatterns":
        return _urls()
    raise AttributeError(name)
