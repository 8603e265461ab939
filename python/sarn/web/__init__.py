"""Traces in a web browser.

:mod:`sarn.web.server` is ``sarn view``: a local server for the traces of
one database, whose pages (``static/``) list the traces and show one as
call trees; :mod:`sarn.web.model` turns a trace into what those pages draw;
:mod:`sarn.web.chrome` writes a trace in the Trace Event Format for
Perfetto and chrome://tracing (``sarn export --format chrome``);
:mod:`sarn.web.outside` pairs, sums up and writes the SQL queries, HTTP
calls, log records and template renders a trace holds; :mod:`sarn.web.share`
writes a trace as one file to hand on (a trace file that ``sarn import``
stores again, or the trace page as one HTML file). The terminal viewer is
:mod:`sarn.viewer` (``sarn show``).
"""
