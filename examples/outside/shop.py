"""A shop that reads prices from SQLite through SQLAlchemy, logs a warning and
fetches an exchange rate over HTTP from a small server it starts itself:
what `sarn show` prints of what a program did outside its own code."""

import logging
import threading
import urllib.request
from http.server import BaseHTTPRequestHandler, HTTPServer

from sqlalchemy import create_engine, text

log = logging.getLogger("shop")
logging.basicConfig(level=logging.INFO, format="%(levelname)s %(name)s: %(message)s")


class Rates(BaseHTTPRequestHandler):
    def do_GET(self):
        body = b'{"EUR": 0.92}'
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


def fetch_rate(port):
    with urllib.request.urlopen("http://localhost:%d/rate" % port) as response:
        return response.read()


def price_of(conn, item_id):
    return conn.execute(text("SELECT price FROM items WHERE id = :id"), {"id": item_id}).scalar()


def main():
    server = HTTPServer(("127.0.0.1", 0), Rates)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    engine = create_engine("sqlite://")
    with engine.begin() as conn:
        conn.execute(text("CREATE TABLE items (id INTEGER PRIMARY KEY, price REAL)"))
        conn.execute(text("INSERT INTO items (id, price) VALUES (:id, :price)"), [{"id": i, "price": i * 1.5} for i in range(1, 4)])
        total = sum(price_of(conn, i) for i in range(1, 4))
    log.warning("total is %s", total)
    fetch_rate(server.server_address[1])
    server.shutdown()


main()
