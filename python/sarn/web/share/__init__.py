"""A trace handed to someone else, as one file.

:mod:`~sarn.web.share.export` writes a stored trace in the format asked
for (``sarn export``): a trace file (:mod:`~sarn.web.share.trace_file`),
which :mod:`~sarn.web.share.importing` stores again (``sarn import``),
besides JSON and the Trace Event Format.
"""
