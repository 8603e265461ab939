"""Read trace documents back and show them as call trees.

The pieces live in :mod:`sarn.web`, one concept each, and are named here
for the commands and for code that imports them from this module:

* :mod:`sarn.web.document`: the one reader of stored documents (whole, or
  record by record), and what a document holds;
* :mod:`sarn.web.values`: recorded values as short Python-like texts;
* :mod:`sarn.web.tree`: a thread's records as a call tree in memory;
* :mod:`sarn.web.terminal` (with :mod:`sarn.web.terminal_pass`,
  :mod:`sarn.web.terminal_frame`, :mod:`sarn.web.terminal_lines` and
  :mod:`sarn.web.summary`): ``sarn show``;
* :mod:`sarn.web.json_document`: a document as JSON.
"""

from __future__ import annotations

from sarn.serialize import TAG
from sarn.web.document import MAIN_LIST, TraceFormatError, decode_document, iter_document, thread_records
from sarn.web.json_document import jsonable, to_json, write_json
from sarn.web.summary import SUMMARY_FUNCTIONS
from sarn.web.terminal import render, render_blocks, render_lines
from sarn.web.terminal_lines import head_line
from sarn.web.terminal_pass import Limits
from sarn.web.tree import Node, build_tree
from sarn.web.values import (
    ARGS_WIDTH,
    VALUE_WIDTH,
    exception_text,
    format_args,
    format_duration,
    format_value,
    printable,
)

__all__ = [
    "TAG",
    "MAIN_LIST",
    "TraceFormatError",
    "decode_document",
    "iter_document",
    "thread_records",
    "Node",
    "build_tree",
    "format_value",
    "format_args",
    "format_duration",
    "exception_text",
    "printable",
    "head_line",
    "render",
    "render_lines",
    "render_blocks",
    "Limits",
    "SUMMARY_FUNCTIONS",
    "to_json",
    "write_json",
    "jsonable",
    "VALUE_WIDTH",
    "ARGS_WIDTH",
]
