"""Flask: one trace per request.

    from sarn.integrations.flask import init_app
    init_app(app)                    # options: app.config["SARN"], or keywords

Wraps ``app.wsgi_app`` in :class:`~sarn.integrations.wsgi.SarnWSGI`; Flask
itself is not imported.
"""

from __future__ import annotations

from typing import Any

from sarn.integrations.wsgi import SarnWSGI

__all__ = ["init_app"]


def init_app(app: Any, **options: Any) -> SarnWSGI:
    """Record the requests of the Flask application ``app``; the options of
    :class:`~sarn.integrations.wsgi.SarnWSGI` come from ``app.config["SARN"]``
    and then the keywords. Returns the middleware (also in
    ``app.extensions["sarn"]``)."""
    settings = dict(app.config.get("SARN") or {})
    settings.update(options)
    settings.setdefault("source", "flask")
    middleware = SarnWSGI(app.wsgi_app, **settings)
    app.wsgi_app = middleware
    app.extensions["sarn"] = middleware
    return middleware
