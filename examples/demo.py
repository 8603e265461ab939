"""Record a few calls with the Python API and print the call tree.

    python examples/demo.py

Needs the sarn package with its native core installed (``pip install .``).
"""

import os
import sys
import tempfile

import sarn
from sarn import db, viewer


def fibonacci(n):
    return n if n < 2 else fibonacci(n - 1) + fibonacci(n - 2)


class Greeter:
    def __init__(self, greeting):
        self.greeting = greeting

    def greet(self, name):
        return "%s, %s!" % (self.greeting, name)


def work():
    greeter = Greeter("Hello")
    message = greeter.greet("world")
    return message, fibonacci(5)


def main():
    db_path = os.path.join(tempfile.mkdtemp(prefix="sarn-demo-"), "traces.sqlite3")
    try:
        with sarn.record(db_path=db_path) as recording:
            result = work()
    except ImportError as error:
        print("cannot record: %s" % error, file=sys.stderr)
        return 1
    print("work() returned %r" % (result,))
    print("recorded trace %s into %s" % (recording.trace_id, db_path))
    for info in db.list_traces(db_path):
        print("%s: %d calls, %d bytes" % (info.id, info.frame_count or 0, info.size))
    print()
    print(viewer.render(db.load_trace(db_path, recording.trace_id), depth=4))
    return 0


if __name__ == "__main__":
    sys.exit(main())
