"""``sarn export``: one stored trace written in one of five formats.

=========  =================================================================
json       the decoded document, for reading and scripts (not importable)
chrome     the Trace Event Format, for Perfetto and chrome://tracing
perfetto   the same as chrome
sarn       a trace file: the document and its facts, compressed, that
           ``sarn import`` stores again (:mod:`sarn.web.share.trace_file`)
html       the trace page as one file a browser opens offline
           (:mod:`sarn.web.share.html_page`)
=========  =================================================================

Without a format asked for, the output file's suffix chooses (".sarn",
".html"), and JSON otherwise. A file is written beside its place as
``NAME.part`` and renamed when whole, so that a failed export leaves no
half file behind.
"""

from __future__ import annotations

import os
import sys
from typing import Any, Callable, Optional

from sarn.web.share.errors import ShareError

__all__ = ["FORMATS", "format_for", "export"]

FORMATS = ("json", "chrome", "perfetto", "sarn", "html")
_BY_SUFFIX = {".sarn": "sarn", ".html": "html", ".htm": "html"}
_BINARY = ("sarn",)
_READ_BYTES = 4 << 20


def format_for(asked: Optional[str], output: Optional[str]) -> str:
    """The format asked for, else the one the output's suffix names, else json."""
    if asked:
        return asked
    suffix = os.path.splitext(output or "")[1].lower()
    return _BY_SUFFIX.get(suffix, "json")


def export(stream: Any, form: str, output: Optional[str], *, indent: Optional[int] = None,
           progress: Optional[Callable[[int], None]] = None) -> Optional[str]:
    """Writes the stored trace ``stream`` as ``form`` to the file ``output``
    (standard output when None); what was written, to tell, or None."""
    if indent is not None and form in ("sarn", "html"):
        raise ShareError("--indent applies to the JSON formats only")
    binary = form in _BINARY
    if output is None:
        if binary and _is_terminal(sys.stdout):
            raise ShareError("a trace file is binary: write it to a file with -o FILE")
        return _write(stream, form, sys.stdout.buffer if binary else sys.stdout, indent, progress)
    partial = output + ".part"
    try:
        with open(partial, "wb" if binary else "w", encoding=None if binary else "utf-8") as handle:
            told = _write(stream, form, handle, indent, progress)
        os.replace(partial, output)
    except OSError as error:
        _remove(partial)
        raise ShareError("cannot write %s: %s" % (output, error.strerror or error)) from None
    except BaseException:
        _remove(partial)
        raise
    return None if told is None else told % output


def _write(stream: Any, form: str, out: Any, indent: Optional[int], progress: Any) -> Optional[str]:
    """Writes the trace to ``out``; a sentence with "%s" for the output, or None."""
    if form == "json":
        from sarn import viewer

        viewer.write_json(stream, out, indent=indent, progress=progress)
        out.write("\n")
        return None
    if form in ("chrome", "perfetto"):
        from sarn.web import chrome

        chrome.write_json(stream, out, progress=progress, indent=indent)
        out.write("\n")
        return None
    if form == "sarn":
        from sarn.web.share import trace_file

        trace_file.write(stream, out, progress)
        return "wrote trace %s to %%s (sarn import stores it again)" % stream.trace_id
    return _write_html(stream, out, progress)


def _write_html(stream: Any, out: Any, progress: Any) -> str:
    from sarn.web.share import html_page

    written = html_page.write(_read_all(stream, progress), stream.info, out)
    told = "wrote trace %s to %%s: its call tree of %d %s, with the details of " % (
        stream.trace_id, written.nodes, "entry" if written.nodes == 1 else "entries")
    if written.detailed == written.nodes:
        return told + "all"
    return told + "the outermost %d (an HTML file holds at most %d MB of data)" % (
        written.detailed, html_page.DATA_LIMIT // 2 ** 20)


def _read_all(stream: Any, progress: Any) -> bytes:
    pieces = []
    done = 0
    while True:
        piece = stream.read(_READ_BYTES)
        if not piece:
            return b"".join(pieces)
        pieces.append(piece)
        done += len(piece)
        if progress is not None:
            progress(done)


def _is_terminal(stream: Any) -> bool:
    try:
        return bool(stream.isatty())
    except Exception:
        return False


def _remove(path: str) -> None:
    try:
        os.remove(path)
    except OSError:
        pass
