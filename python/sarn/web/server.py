"""``sarn view``: a local web server for the traces of one database.

Routes (GET and HEAD only):

=================================  ==========================================
``/``                              the list of traces (static page)
``/trace/ID``                      one trace (static page; ID read by script)
``/static/NAME``                   the page's files, from ``sarn/web/static``
``/api/traces``                    the list, as JSON
``/api/traces/ID``                 the trace's call tree (:mod:`sarn.web.model`)
``/api/traces/ID/nodes/N``         the full details of node N
``/api/traces/ID/chrome``          the trace in the Trace Event Format
``/api/traces/ID/family``          the traces of its parent and child processes
``/compare/A/B``                   two traces side by side (static page)
``/api/compare/A/B``               where they differ (:mod:`sarn.web.compare.page`)
=================================  ==========================================

Recorded values are untrusted: the pages build their DOM with text nodes
only, and every response forbids inline scripts and framing. The server
reads only the database it was started on, serves only the files listed in
the static folder when it starts, and answers only requests whose Host
header names the address it listens on (so that a web page cannot reach it
through a DNS name of its own).
"""

from __future__ import annotations

import http.server
import io
import json
import logging
import os
import re
import shutil
import socket
import tempfile
import threading
from collections import OrderedDict
from typing import Any, Dict, Optional, Tuple
from urllib.parse import unquote, urlsplit

from sarn import db

__all__ = ["TraceServer", "make_server"]

logger = logging.getLogger("sarn")

STATIC_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "static")
_CONTENT_TYPES = {
    ".html": "text/html; charset=utf-8",
    ".js": "text/javascript; charset=utf-8",
    ".css": "text/css; charset=utf-8",
    ".txt": "text/plain; charset=utf-8",
    ".svg": "image/svg+xml",
}
_SECURITY_HEADERS = (
    (
        "Content-Security-Policy",
        "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
        "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'",
    ),
    ("X-Content-Type-Options", "nosniff"),
    ("X-Frame-Options", "DENY"),
    ("Referrer-Policy", "no-referrer"),
    ("Cross-Origin-Resource-Policy", "same-origin"),
    ("Cache-Control", "no-store"),
)
_TRACE_ID = r"(latest|[A-Za-z0-9_]{1,64})"
_ROUTES = (
    (re.compile(r"^/$"), "index"),
    (re.compile(r"^/trace/%s$" % _TRACE_ID), "trace_page"),
    (re.compile(r"^/static/([A-Za-z0-9_.-]+)$"), "static"),
    (re.compile(r"^/api/traces$"), "list"),
    (re.compile(r"^/api/traces/%s$" % _TRACE_ID), "trace"),
    (re.compile(r"^/api/traces/%s/nodes/(\d{1,9})$" % _TRACE_ID), "node"),
    (re.compile(r"^/api/traces/%s/chrome$" % _TRACE_ID), "chrome"),
    (re.compile(r"^/api/traces/%s/family$" % _TRACE_ID), "family"),
    (re.compile(r"^/compare/%s/%s$" % (_TRACE_ID, _TRACE_ID)), "compare_page"),
    (re.compile(r"^/api/compare/%s/%s$" % (_TRACE_ID, _TRACE_ID)), "compare"),
)
#: Traces whose call tree is kept in memory between requests.
CACHED_TRACES = 4
#: Bytes of a Trace Event file kept in memory while it is written; more go to disk.
SPOOL_BYTES = 8 << 20


class _Response(Exception):
    """An answer other than 200, with a short text."""

    def __init__(self, status: int, text: str) -> None:
        super().__init__(text)
        self.status = status


def _load_static() -> Dict[str, Tuple[str, bytes]]:
    files = {}
    for name in sorted(os.listdir(STATIC_DIR)):
        content_type = _CONTENT_TYPES.get(os.path.splitext(name)[1])
        path = os.path.join(STATIC_DIR, name)
        if content_type and os.path.isfile(path):
            with open(path, "rb") as handle:
                files[name] = (content_type, handle.read())
    return files


class TraceServer(http.server.ThreadingHTTPServer):
    """Serves the traces of ``db_path``; ``timeout`` is the busy time-out of reads."""

    daemon_threads = True

    def __init__(self, address: Tuple[str, int], db_path: str, timeout: float = db.READ_TIMEOUT) -> None:
        self.db_path = os.path.abspath(db_path)
        self.read_timeout = timeout
        self.static = _load_static()
        self._models: "OrderedDict[Tuple[str, float], Any]" = OrderedDict()
        self._models_lock = threading.Lock()
        if ":" in address[0]:
            self.address_family = socket.AF_INET6
        super().__init__(address, _Handler)
        self.allowed_hosts = self._allowed_hosts()

    @property
    def url(self) -> str:
        host, port = self.server_address[:2]
        shown = "[%s]" % host if ":" in host else host
        return "http://%s:%d/" % (shown, port)

    def _allowed_hosts(self) -> Optional[frozenset]:
        host, port = self.server_address[:2]
        if host in ("0.0.0.0", "::"):
            return None  # serving every interface: any name may reach it
        names = {host, "localhost", "127.0.0.1", "[::1]", "[%s]" % host}
        return frozenset(names | {"%s:%d" % (name, port) for name in names})

    def model(self, trace_id: str) -> Any:
        """The call tree of a trace, kept for the next requests."""
        from sarn.web.model import TraceModel

        info = db.get_trace_info(self.db_path, trace_id, timeout=self.read_timeout)
        key = (info.id, info.created)
        with self._models_lock:
            model = self._models.get(key)
            if model is not None:
                self._models.move_to_end(key)
                return model
        model = TraceModel(db.load_trace(self.db_path, info.id, timeout=self.read_timeout), info)
        with self._models_lock:
            self._models[key] = model
            while len(self._models) > CACHED_TRACES:
                self._models.popitem(last=False)
        return model


class _Handler(http.server.BaseHTTPRequestHandler):
    server: TraceServer
    server_version = "sarn"
    sys_version = ""

    def log_message(self, format: str, *args: Any) -> None:
        logger.debug("sarn view: " + format, *args)

    def do_HEAD(self) -> None:
        self._answer(send_body=False)

    def do_GET(self) -> None:
        self._answer(send_body=True)

    def _answer(self, send_body: bool) -> None:
        try:
            self._check_host()
            content_type, body, extra = self._route(urlsplit(self.path).path)
            status = 200
        except _Response as response:
            status, content_type, extra = response.status, "text/plain; charset=utf-8", ()
            body = (str(response) + "\n").encode()
        except Exception as error:  # a damaged trace, say: the server goes on
            logger.warning("sarn view: %s failed: %s: %s", self.path, type(error).__name__, error)
            status, content_type, extra = 500, "text/plain; charset=utf-8", ()
            body = b"internal error\n"
        if isinstance(body, bytes):
            body = io.BytesIO(body)
        with body:
            body.seek(0, io.SEEK_END)
            length = body.tell()
            body.seek(0)
            self.send_response(status)
            self.send_header("Content-Type", content_type)
            self.send_header("Content-Length", str(length))
            for name, value in _SECURITY_HEADERS + tuple(extra):
                self.send_header(name, value)
            self.end_headers()
            if send_body:
                shutil.copyfileobj(body, self.wfile)

    def _check_host(self) -> None:
        allowed = self.server.allowed_hosts
        if allowed is not None and (self.headers.get("Host") or "").lower() not in allowed:
            raise _Response(403, "unknown Host header")

    def _route(self, path: str) -> Tuple[str, Any, Tuple[Tuple[str, str], ...]]:
        """(content type, body: bytes or a file, extra headers) of the route that matches."""
        for pattern, name in _ROUTES:
            match = pattern.match(path)
            if match:
                groups = [unquote(group) for group in match.groups()]
                return getattr(self, "_" + name)(*groups)
        raise _Response(404, "not found")

    def _file(self, name: str) -> Tuple[str, bytes, Tuple[Tuple[str, str], ...]]:
        found = self.server.static.get(name)
        if found is None:
            raise _Response(404, "not found")
        return found[0], found[1], ()

    def _json(self, value: Any, *extra: Tuple[str, str]) -> Tuple[str, bytes, Tuple[Tuple[str, str], ...]]:
        return "application/json", json.dumps(value, ensure_ascii=False).encode("utf-8"), tuple(extra)

    def _db(self, function: Any, *args: Any) -> Any:
        try:
            return function(*args)
        except db.TraceNotFoundError as error:
            raise _Response(404, str(error)) from None
        except db.DbMissingError:
            raise _Response(404, "no traces recorded yet") from None
        except db.SarnDbError as error:
            raise _Response(503, str(error)) from None

    # Routes

    def _index(self) -> Any:
        return self._file("index.html")

    def _trace_page(self, trace_id: str) -> Any:
        return self._file("trace.html")

    def _compare_page(self, a: str, b: str) -> Any:
        return self._file("compare.html")

    def _compare(self, a: str, b: str) -> Any:
        from sarn.web.compare.command import compare
        from sarn.web.compare.page import page_json

        server = self.server
        threads, facts_a, facts_b = self._db(lambda: compare(server.db_path, a, b, timeout=server.read_timeout))
        return self._json(page_json(threads, facts_a, facts_b))

    def _static(self, name: str) -> Any:
        return self._file(name)

    def _list(self) -> Any:
        server = self.server
        try:
            rows = db.list_traces(server.db_path, timeout=server.read_timeout)
        except db.DbMissingError:
            rows = []
        except db.SarnDbError as error:
            raise _Response(503, str(error)) from None
        return self._json({"db": server.db_path, "traces": [_listed(row) for row in rows]})

    def _trace(self, trace_id: str) -> Any:
        return "application/json", self._db(self.server.model, trace_id).page_json(), ()

    def _node(self, trace_id: str, number: str) -> Any:
        model = self._db(self.server.model, trace_id)
        try:
            return self._json(model.details(int(number)))
        except IndexError:
            raise _Response(404, "no such node") from None

    def _family(self, trace_id: str) -> Any:
        """The trace of the process that started this one's, and those of
        the processes it started (and theirs), read anew: a child may save
        after its parent."""
        server = self.server
        infos = self._db(lambda: db.list_traces(server.db_path, timeout=server.read_timeout))
        own = next((info for info in infos if info.id == trace_id), None)
        if own is None and trace_id == "latest" and infos:
            own = infos[0]
        if own is None:
            raise _Response(404, "no such trace")
        by_id = {info.id: info for info in infos}
        parent_id = db.parent_of(own)
        parent = by_id.get(parent_id) if parent_id else None
        return self._json({
            "parent": _kin(parent, 0) if parent else ({"id": parent_id, "what": None} if parent_id else None),
            "started_by": (own.meta or {}).get("started_by"),
            "children": [_kin(info, depth) for depth, info in db.descendants(infos, own.id)],
        })

    def _chrome(self, trace_id: str) -> Any:
        body, full_id = self._db(_trace_event_file, self.server, trace_id)
        name = "%s.json" % re.sub(r"[^A-Za-z0-9_]", "_", full_id)
        return "application/json", body, (("Content-Disposition", 'attachment; filename="%s"' % name),)


def _trace_event_file(server: TraceServer, trace_id: str) -> Tuple[Any, str]:
    """The trace in the Trace Event Format, written record by record into a
    temporary file (on disk past ``SPOOL_BYTES``) so that its length is
    known before it is sent; and the trace's full id."""
    from sarn.web import chrome

    body = tempfile.SpooledTemporaryFile(max_size=SPOOL_BYTES)
    try:
        with db.open_trace(server.db_path, trace_id, timeout=server.read_timeout) as stream:
            for chunk in chrome.json_chunks(stream):
                body.write(chunk.encode("utf-8"))
            return body, stream.trace_id
    except BaseException:
        body.close()
        raise


def _kin(row: db.TraceInfo, depth: int) -> Dict[str, Any]:
    """A trace of the family, as the trace page links it."""
    return {"id": row.id, "what": row.label, "depth": depth, "started_by": (row.meta or {}).get("started_by")}


def _listed(row: db.TraceInfo) -> Dict[str, Any]:
    return {
        "id": row.id,
        "created": row.created,
        "source": row.source,
        "what": row.label,
        "frames": row.frame_count,
        "threads": row.thread_count,
        "size": row.size,
        "sql_count": row.sql_count,
        "sql_time": row.sql_time,
        "facts": row.meta or {},
    }


def make_server(db_path: str, host: str = "127.0.0.1", port: int = 0) -> TraceServer:
    """A server for ``db_path`` bound to ``host``:``port`` (0: a free port);
    call ``serve_forever()`` on it."""
    return TraceServer((host, port), db_path)
