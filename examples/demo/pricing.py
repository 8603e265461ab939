"""Carts, totals and discount codes."""

DISCOUNTS = {"SPRING10": 0.10, "VIP": 0.25}


class Cart:
    def __init__(self, owner):
        self.owner = owner
        self.lines = []

    def add(self, item):
        self.lines.append(item)

    def subtotal(self):
        return sum(item.price * item.quantity for item in self.lines)

    def total(self, discount):
        return round(self.subtotal() * (1 - discount), 2)


def parse_discount(code):
    """The discount rate of a code; an unknown code gives no discount."""
    try:
        return lookup_rate(code)
    except KeyError:
        return 0.0


def lookup_rate(code):
    return DISCOUNTS[code.strip().upper()]
