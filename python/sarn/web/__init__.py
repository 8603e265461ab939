"""Stored traces read back and shown: in a terminal, in a web browser, and
as files for other tools.

Reading: :mod:`sarn.web.document` reads stored documents (whole or record
by record), :mod:`sarn.web.values` formats recorded values,
:mod:`sarn.web.tree` builds a thread's call tree, :mod:`sarn.web.boundaries`
reads what a test's boundary records say, and :mod:`sarn.web.outside` pairs,
sums up and writes the SQL queries, HTTP calls, log records and template
renders a trace holds.

Showing: :mod:`sarn.web.terminal` is ``sarn show`` (with
:mod:`sarn.web.terminal_pass`, :mod:`sarn.web.terminal_frame`,
:mod:`sarn.web.terminal_lines` and :mod:`sarn.web.summary`); :mod:`sarn.web.server` is ``sarn view``, a local
server for the traces of one database, whose pages (``static/``) list the
traces and show one as call trees, drawn from :mod:`sarn.web.model`;
:mod:`sarn.web.chrome` writes a trace in the Trace Event Format for
Perfetto and chrome://tracing and :mod:`sarn.web.json_document` as JSON
(``sarn export``); :mod:`sarn.web.share` writes a trace as one file to hand
on (a trace file that ``sarn import`` stores again, or the trace page as one
HTML file). :mod:`sarn.viewer` names the pieces for the commands.
"""
