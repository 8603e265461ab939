"""A background thread that writes a stock report."""

import threading


class ReportWorker(threading.Thread):
    def __init__(self, inventory):
        super().__init__(name="report-worker")
        self.inventory = inventory
        self.report = ""

    def run(self):
        lines = [self.describe(item) for item in self.inventory.items.values()]
        self.report = "\n".join(lines)

    def describe(self, item):
        return "%-8s %3d left at %.2f" % (item.name, item.quantity, item.price)
