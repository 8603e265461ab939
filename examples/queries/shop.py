"""A small shop that runs what sarn records outside a program's own code:
SQL queries through SQLAlchemy (SQLite in memory), one of them run again for
every item (the N+1 pattern), a logged warning and an HTTP call to a local
server.

    sarn run examples/queries/shop.py
    sarn view
"""

import http.server
import json
import logging
import threading
import urllib.request

from sqlalchemy import Column, Float, ForeignKey, Integer, String, create_engine, select
from sqlalchemy.orm import Session, declarative_base

Base = declarative_base()
logger = logging.getLogger("shop")


class Item(Base):
    __tablename__ = "item"
    id = Column(Integer, primary_key=True)
    name = Column(String, nullable=False)


class Price(Base):
    __tablename__ = "price"
    id = Column(Integer, primary_key=True)
    item_id = Column(Integer, ForeignKey("item.id"), nullable=False)
    amount = Column(Float, nullable=False)


class RatesHandler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        body = json.dumps({"EUR": 0.92}).encode()
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, format, *args):
        pass


def stock(session):
    for number, (name, amount) in enumerate([("tea", 3.5), ("cake", 2.25), ("jam", 4.0), ("honey", 6.8)], 1):
        session.add(Item(id=number, name=name))
        session.add(Price(item_id=number, amount=amount))
    session.commit()


def price_of(session, item_id):
    return session.execute(select(Price.amount).where(Price.item_id == item_id)).scalar_one()


def euro_rate(port):
    with urllib.request.urlopen("http://127.0.0.1:%d/rates?base=USD" % port) as response:
        return json.load(response)["EUR"]


def price_list(session, port):
    rate = euro_rate(port)
    lines = []
    for item in session.execute(select(Item)).scalars():
        amount = price_of(session, item.id)
        if amount > 5:
            logger.warning("%s costs more than 5: %.2f", item.name, amount)
        lines.append("%-6s %6.2f EUR" % (item.name, amount * rate))
    return lines


def main():
    server = http.server.HTTPServer(("127.0.0.1", 0), RatesHandler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    engine = create_engine("sqlite://")
    Base.metadata.create_all(engine)
    with Session(engine) as session:
        stock(session)
        print("\n".join(price_list(session, server.server_address[1])))
    server.shutdown()


if __name__ == "__main__":
    main()
