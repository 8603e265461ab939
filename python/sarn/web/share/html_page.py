"""``sarn export ID --format html``: the trace page of ``sarn view`` as one
file that a browser opens offline.

The page is built from the trace page's own files, read when the file is
written (``static/trace.html`` and the scripts, style sheet and icon it
names), so that it shows what ``sarn view`` shows: its scripts and style
sheet are written into the file, the icon as a data URL, and the trace as
JSON in a ``<script type="application/json">`` element, which
``offline.js`` hands to the page in place of the server's answers.

The trace's call tree is written whole, and the details of each call (its
arguments, locals and return value) as long as the data stays within
:data:`DATA_LIMIT` bytes, the outermost calls first; the page says so for
a call whose details were left out. A trace whose tree alone is larger is
refused with a message.

Recorded values are untrusted: every ``<`` of the data is written as an
escape, so that no value can end its element, and a Content-Security-Policy
lets only the file's own scripts and style sheet run and forbids any
request, so that the page needs no network and sends nothing.
"""

from __future__ import annotations

import base64
import hashlib
import json
import os
import re
from typing import Any, Dict, Iterator, List, NamedTuple, Optional, TextIO

from sarn.web.share.errors import ShareError

__all__ = ["DATA_LIMIT", "HtmlTooLarge", "Written", "write"]

#: Bytes of trace data a page holds at most (its tree and the details it can).
DATA_LIMIT = 64 * 1024 * 1024
STATIC_DIR = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "static")
OFFLINE_SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "offline.js")

_TAG = re.compile(r"<(script|link)\b([^>]*)>(?:\s*</script>)?[ \t]*\n?", re.IGNORECASE)
_ATTRIBUTE = re.compile(r'([\w-]+)\s*=\s*"([^"]*)"')
_STATIC = "/static/"
_ICON_TYPES = {".svg": "image/svg+xml", ".png": "image/png", ".ico": "image/x-icon"}


class HtmlTooLarge(ShareError):
    """The trace's call tree alone is more than a page holds."""


class Written(NamedTuple):
    nodes: int
    #: Nodes whose details the page holds.
    detailed: int


def write(document: bytes, info: Any, out: TextIO, limit: Optional[int] = None) -> Written:
    """Writes the page of the trace ``document`` (with its listing facts
    ``info``) to the text file ``out``, with at most ``limit`` bytes of
    data (default :data:`DATA_LIMIT`)."""
    from sarn.web.model import TraceModel

    model = TraceModel(document, info)
    data, written = _data(model, DATA_LIMIT if limit is None else limit)
    out.write(_page(data))
    return written


def _data(model: Any, limit: int) -> "tuple[str, Written]":
    """The page's data as JSON text: the tree, and the details that fit."""
    tree = json.dumps(model.page(), ensure_ascii=False)
    room = limit - len(tree.encode("utf-8"))
    if room < 0:
        raise HtmlTooLarge(
            "the call tree of trace %s alone takes %.0f MB, more than the %.0f MB an HTML file holds; share "
            "it as a trace file instead (sarn export ID -o trace.sarn)"
            % (model.page()["id"], (limit - room) / 2 ** 20, limit / 2 ** 20))
    details: List[str] = ["null"] * len(model.nodes)
    detailed = 0
    for number in _outermost_first(model):
        text = json.dumps(model.details(number), ensure_ascii=False)
        room -= len(text.encode("utf-8")) + 1
        if room < 0:
            break
        details[number] = text
        detailed += 1
    data = '{"page": %s, "details": [%s], "included": %d, "limit": %d}' % (tree, ",".join(details), detailed, limit)
    return data, Written(len(model.nodes), detailed)


def _outermost_first(model: Any) -> Iterator[int]:
    """The node numbers level by level, from each thread's first calls down."""
    level = [number for thread in model.threads for number in thread["roots"]]
    index = {id(node): number for number, node in enumerate(model.nodes)}
    while level:
        yield from level
        level = [index[id(child)] for number in level for child in model.nodes[number].children]


def _page(data: str) -> str:
    """trace.html with its files written in, the data and offline.js added
    before the page's own scripts, and a policy that allows only them."""
    with open(os.path.join(STATIC_DIR, "trace.html"), encoding="utf-8") as handle:
        html = handle.read()
    scripts: List[str] = [_read(OFFLINE_SCRIPT)]
    styles: List[str] = []

    def inline(match: "re.Match[str]") -> str:
        attributes = dict(_ATTRIBUTE.findall(match.group(2)))
        if match.group(1).lower() == "script":
            if "src" not in attributes:
                raise ValueError("the trace page holds a script of its own, which it cannot under sarn view")
            scripts.append(_static_text(attributes["src"]))
            return ""
        return _link(attributes, styles)

    html = _TAG.sub(inline, html)
    body = '<script type="application/json" id="sarn-offline-data">%s</script>\n' % _escape(data)
    body += "".join("<script>%s</script>\n" % _guard(text) for text in scripts)
    head = '<meta http-equiv="Content-Security-Policy" content="%s">\n' % _policy(scripts, styles)
    head += "".join("<style>%s</style>\n" % _guard(text) for text in styles)
    html = _insert_before(html, "</head>", head)
    return _insert_before(html, "</body>", body)


def _link(attributes: Dict[str, str], styles: List[str]) -> str:
    """A ``<link>`` of the page: a style sheet goes into ``styles``, an icon
    becomes a data URL; others are left out."""
    rel = attributes.get("rel", "").lower()
    href = attributes.get("href", "")
    if rel == "stylesheet":
        styles.append(_static_text(href))
        return ""
    if rel == "icon" and href.startswith(_STATIC):
        name = _static_name(href)
        with open(os.path.join(STATIC_DIR, name), "rb") as handle:
            encoded = base64.b64encode(handle.read()).decode("ascii")
        kind = _ICON_TYPES.get(os.path.splitext(name)[1], "application/octet-stream")
        return '<link rel="icon" href="data:%s;base64,%s">\n' % (kind, encoded)
    return ""


def _static_name(url: str) -> str:
    name = url[len(_STATIC):] if url.startswith(_STATIC) else ""
    if not re.match(r"^[\w.-]+$", name) or name.startswith("."):
        raise ValueError("the trace page names a file outside its folder: %r" % url)
    return name


def _static_text(url: str) -> str:
    return _read(os.path.join(STATIC_DIR, _static_name(url)))


def _read(path: str) -> str:
    with open(path, encoding="utf-8") as handle:
        return handle.read()


def _escape(data: str) -> str:
    """JSON text that cannot end or open an element: its ``<``, ``>`` and
    ``&`` (only ever inside strings) as JSON escapes."""
    return data.replace("<", "\\u003c").replace(">", "\\u003e").replace("&", "\\u0026")


def _guard(text: str) -> str:
    """A script or style sheet of the page, which must not end its element early."""
    if re.search(r"</(script|style)|<!--", text, re.IGNORECASE):
        raise ValueError("a file of the trace page holds a closing tag, and cannot be written into a page")
    return text


def _policy(scripts: List[str], styles: List[str]) -> str:
    def hashes(texts: List[str]) -> str:
        return " ".join("'sha256-%s'" % base64.b64encode(hashlib.sha256(text.encode("utf-8")).digest()).decode()
                        for text in texts)

    return ("default-src 'none'; script-src %s; style-src %s; img-src data:; base-uri 'none'; form-action 'none'"
            % (hashes(scripts), hashes(styles)))


def _insert_before(html: str, tag: str, text: str) -> str:
    at = html.lower().rfind(tag)
    if at < 0:
        raise ValueError("the trace page has no %s" % tag)
    return html[:at] + text + html[at:]
