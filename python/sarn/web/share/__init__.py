"""A trace handed to someone else, as one file.

:mod:`~sarn.web.share.export` writes a stored trace in the format asked
for (``sarn export``): a trace file (:mod:`~sarn.web.share.trace_file`),
which :mod:`~sarn.web.share.importing` stores again (``sarn import``), or
the trace page as one HTML file that opens offline
(:mod:`~sarn.web.share.html_page`), besides JSON and the Trace Event Format.
"""
