"""What one value costs to write, in the full and the lightweight form, for
shapes of growing size: the lightweight form should never be the dearer.

    python benchmarks/values.py            # sizes 10, 1,000 and 100,000

Each figure is the median time of one dump (microseconds) over repeated
runs in this process, through the native walker the recorder uses; "seen"
is how many values each form looks at (items, entries, attributes, and the
items of the short reprs it makes), which does not depend on the machine.
"""
from __future__ import annotations

import argparse
import collections
import statistics
import time

from sarn import serialize


class Item:
    def __init__(self, index):
        self.index = index
        self.name = "item %d" % index
        self.tags = ["a", "b"]


def shapes(size: int) -> dict:
    return {
        "dict of lists": {"key%d" % i: list(range(50)) for i in range(size)},
        "dict of empties": {"key%d" % i: [] for i in range(size)},
        "dict of dicts": {"key%d" % i: {"a%d" % j: j for j in range(20)} for i in range(size)},
        "list of objects": [Item(i) for i in range(size)],
        "set of str": {"member %d" % i for i in range(size)},
        "str": "x" * size,
        "nested": _nested(min(size, 500)),
        "dict subclass": type("Registry", (dict,), {})((i, Item(i)) for i in range(size)),
        "Counter": collections.Counter({"key%d" % i: i for i in range(size)}),
        "OrderedDict": collections.OrderedDict((i, [i, i]) for i in range(size)),
    }


def _nested(depth: int):
    value: list = []
    for _ in range(depth):
        value = [value, {"level": len(value)}]
    return value


def _time(dump, value, rounds: int = 7) -> float:
    times = []
    for _ in range(rounds):
        repeats, began = 0, time.perf_counter()
        while True:
            dump(value)
            repeats += 1
            spent = time.perf_counter() - began
            if spent > 0.02:
                break
        times.append(spent / repeats)
    return statistics.median(times) * 1e6


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("sizes", nargs="*", type=int, default=[10, 1000, 100000])
    args = parser.parse_args()
    native = serialize._native
    if native is None:
        raise SystemExit("the native walker is not built")
    print("%-16s %9s %10s %10s %10s %10s %10s" % ("shape", "size", "full us", "light us", "light/full",
                                                  "full seen", "light seen"))
    for size in args.sizes:
        for name, value in shapes(size).items():
            full = _time(native.dump_msgpack, value)
            light = _time(native.dump_msgpack_lightweight_repr, value)
            print("%-16s %9d %10.1f %10.1f %10.2f %10d %10d" % (name, size, full, light, light / full,
                                                              native.visits(value, False), native.visits(value, True)))


if __name__ == "__main__":
    main()
