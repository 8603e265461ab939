"""Real servers on the loopback interface, run in a thread of the test process."""

import contextlib
import socket
import socketserver
import threading
import time
import urllib.error
import urllib.request
from wsgiref.simple_server import WSGIRequestHandler, WSGIServer, make_server

from sarn import db


class _QuietHandler(WSGIRequestHandler):
    def log_message(self, *args):
        pass


class _ThreadingWSGIServer(socketserver.ThreadingMixIn, WSGIServer):
    daemon_threads = True


@contextlib.contextmanager
def wsgi_server(app):
    """A threaded wsgiref server for ``app``; yields its base URL."""
    server = make_server("127.0.0.1", 0, app, server_class=_ThreadingWSGIServer, handler_class=_QuietHandler)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        yield "http://127.0.0.1:%d" % server.server_port
    finally:
        server.shutdown()
        server.server_close()
        thread.join(10)


@contextlib.contextmanager
def asgi_server(app):
    """A uvicorn server for ``app`` on its own event loop thread; yields its base URL."""
    import uvicorn

    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    port = sock.getsockname()[1]
    server = uvicorn.Server(uvicorn.Config(app, log_level="warning", lifespan="off", loop="asyncio"))
    thread = threading.Thread(target=server.run, kwargs={"sockets": [sock]}, daemon=True)
    thread.start()
    deadline = time.monotonic() + 20
    while not server.started:
        if not thread.is_alive() or time.monotonic() > deadline:
            raise RuntimeError("uvicorn did not start")
        time.sleep(0.01)
    try:
        yield "http://127.0.0.1:%d" % port
    finally:
        server.should_exit = True
        thread.join(20)
        sock.close()


def get(url, headers=None):
    """(status, body text) of a GET request."""
    request = urllib.request.Request(url, headers=headers or {})
    try:
        with urllib.request.urlopen(request, timeout=30) as response:
            return response.status, response.read().decode()
    except urllib.error.HTTPError as error:
        return error.code, error.read().decode()


def wait_for(condition, seconds=20.0):
    """Wait until ``condition()`` is true (bounded); its last value."""
    deadline = time.monotonic() + seconds
    while True:
        value = condition()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(0.02)


def stored(db_path, count=None):
    """The traces in ``db_path`` (newest first), after waiting for ``count`` of them."""
    def traces():
        try:
            found = db.list_traces(db_path)
        except db.SarnDbError:
            # Missing, or read while the first save creates it: its schema
            # check reads the version and the tables in two statements.
            return []
        return found if count is None or len(found) >= count else []

    return wait_for(traces) if count else traces()
