"""Record one trace per web request.

    from sarn.integrations import SarnWSGI, SarnASGI
    app = SarnWSGI(app)          # any WSGI application
    app = SarnASGI(app)          # any ASGI 3 application

Django: add "sarn.integrations.django.SarnMiddleware" to ``MIDDLEWARE``
(options in the ``SARN`` setting). Flask: ``sarn.integrations.flask.init_app(app)``
(options in ``app.config["SARN"]``). Neither imports its framework before it
is used.

Options: ``paths`` (record only paths that start with one of these),
``sample`` (the share of requests recorded, 0.0 to 1.0), ``header`` (record
only requests that carry this header), ``enabled``, ``db_path`` and
``config`` (as for :func:`sarn.record`), ``keep_empty`` (store the trace of
a request that ran none of the program's own code, such as a favicon or a
static file; false by default, and such traces are only counted in
``recorder.empty``).

Each trace is listed as the request's method and path, with its status
code, duration and the number of requests that ran beside it stored beside
it. One request is recorded at a time in a process; requests that arrive
meanwhile are served unrecorded and counted. How a request served on an
event loop is kept apart from the others: :mod:`sarn.integrations.asgi`;
how it is followed into asgiref's worker threads:
:mod:`sarn.integrations.worker_threads`.
"""

from sarn.integrations.asgi import SarnASGI
from sarn.integrations.wsgi import SarnWSGI

__all__ = ["SarnWSGI", "SarnASGI"]
