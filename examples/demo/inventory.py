"""Items and the stock they are taken from."""


class Item:
    def __init__(self, name, price, quantity):
        self.name = name
        self.price = price
        self.quantity = quantity

    def __repr__(self):
        return "Item(%r, price=%r, quantity=%r)" % (self.name, self.price, self.quantity)


class Inventory:
    def __init__(self):
        self.items = {}

    def add(self, item):
        self.items[item.name] = item

    def take(self, name, count):
        item = self.items[name]
        if item.quantity < count:
            raise LookupError("only %d %s left" % (item.quantity, name))
        item.quantity -= count
        return Item(name, item.price, count)

    def restock_plan(self, minimum):
        """Yield the names of the items running low."""
        for item in sorted(self.items.values(), key=lambda entry: entry.quantity):
            if item.quantity < minimum:
                yield item.name
