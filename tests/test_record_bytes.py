"""The records of a fixed program, compared with the ones stored beside this
file: work on the speed of a kept event must not change what is recorded.

Frame ids, timestamps, thread ids and object addresses differ from run to
run; they are replaced by stable stand-ins (ids numbered in order of first
appearance) before the comparison. Everything else, keys and their order
included, must be what it was. Regenerate the stored records only for an
intended change of the record format:

    SARN_WRITE_RECORDS=1 python -m pytest tests/test_record_bytes.py
"""

import json
import os
import pathlib
import re
import sys

import pytest

from recording_support import HostProfiler, all_records, compile_function, record, trace

STORED = pathlib.Path(__file__).with_name("data") / "kept_records.json"

PROGRAM = '''
class Point:
    def __init__(self, x, y):
        self.x = x
        self.y = y

    def moved(self, dx):
        return Point(self.x + dx, self.y)


class Slotted:
    __slots__ = ("name", "size")

    def __init__(self, name, size):
        self.name = name
        self.size = size


def countdown(n):
    while True:
        yield n
        n -= 1
        if n == 0:
            return


def fibonacci(n):
    return n if n < 2 else fibonacci(n - 1) + fibonacci(n - 2)


def values(text, number, ratio, flag, nothing, raw):
    small = [1, "two", 3.0, None, True, (4, 5), {"six": 6}, {7}, frozenset([8])]
    nested = {"points": [Point(1, 2), Point(3, 4)], "deep": [[[[["bottom"]]]]], 7: "int key"}
    long_text = "x" * 5000
    many = list(range(300))
    big = 2 ** 100
    slotted = Slotted("box", 3)
    return len(small) + len(nested) + len(long_text) + len(many) + (big % 7) + slotted.size


def f():
    total = fibonacci(5)
    point = Point(0, 0).moved(2)
    total += sum(countdown(3))
    total += values("text", -12345, 0.5, False, None, b"\\x00\\xffbytes")
    return total + point.x
'''

ADDRESS = re.compile(r"0x[0-9a-fA-F]+")


def normalised(records):
    ids = {}

    def stand_in(text):
        return ids.setdefault(text, "id_%d" % len(ids))

    def walk(value, key=None):
        if isinstance(value, dict):
            return {k: walk(v, k) for k, v in value.items()}
        if isinstance(value, list):
            return [walk(v) for v in value]
        if key in ("frame_id", "call_frame_id") and isinstance(value, str):
            return stand_in(value)
        if key in ("timestamp", "thread", "thread_native_id"):
            return None
        if isinstance(value, str):
            return ADDRESS.sub("0x0", value)
        if isinstance(value, bytes):
            return value.hex()
        return value

    return [walk(r) for r in records]


ENGINES = ["setprofile"] + (["monitoring"] if sys.version_info >= (3, 12) else [])


def recorded_records(engine):
    function = compile_function("record_bytes_program.py", PROGRAM, module="record_bytes_program")
    host = record(function, HostProfiler({"engine": engine}))
    return json.loads(json.dumps(normalised(all_records(trace(host)))))


@pytest.mark.parametrize("engine", ENGINES)
def test_a_fixed_program_records_what_it_recorded_before(engine):
    records = recorded_records(engine)
    if os.environ.get("SARN_WRITE_RECORDS") and engine == "setprofile":
        STORED.parent.mkdir(exist_ok=True)
        STORED.write_text(json.dumps(records, indent=1) + "\n")
    stored = json.loads(STORED.read_text())
    assert len(records) == len(stored)
    for index, (now, before) in enumerate(zip(records, stored)):
        assert now == before, "record %d differs" % index
