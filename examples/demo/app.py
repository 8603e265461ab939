"""A small shop: the program that ``make demo`` records with ``sarn run``.

Run it plainly with ``python examples/demo/app.py``, or recorded with
``sarn run --threads examples/demo/app.py`` and then ``sarn show latest``.
"""

import sys

from inventory import Inventory, Item
from pricing import Cart, parse_discount
from worker import ReportWorker


def stock_shop():
    inventory = Inventory()
    inventory.add(Item("tea", price=3.5, quantity=10))
    inventory.add(Item("coffee", price=4.25, quantity=2))
    inventory.add(Item("cake", price=2.0, quantity=0))
    return inventory


def fill_cart(inventory):
    cart = Cart(owner="ann")
    for name, count in [("tea", 2), ("coffee", 1), ("cake", 1)]:
        try:
            cart.add(inventory.take(name, count))
        except LookupError as error:
            print("skipped:", error)
    return cart


def main(argv):
    inventory = stock_shop()
    cart = fill_cart(inventory)
    code = argv[1] if len(argv) > 1 else "SPRING10"
    discount = parse_discount(code)
    print("total for %s: %.2f" % (cart.owner, cart.total(discount)))

    worker = ReportWorker(inventory)
    worker.start()
    worker.join()
    print(worker.report)

    for name in inventory.restock_plan(minimum=3):
        print("restock:", name)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
