"""The locals recorded for a frame: what `frame.f_locals` shows, read without
keeping anything alive in the frame."""

import gc
import sys
import weakref

import pytest

from recording_support import all_records, load_module, record, trace


class Token:
    pass


def yields_then_deletes(refs):
    token = Token()
    refs.append(weakref.ref(token))
    yield
    del token
    gc.collect()
    yield refs[0]() is None


def fails(refs):
    token = Token()
    refs.append(weakref.ref(token))
    raise ValueError("its traceback keeps the frame")


def deleted_in_a_generator():
    return list(yields_then_deletes([]))[1]


def deleted_by_clearing_a_frame():
    refs = []
    try:
        fails(refs)
    except ValueError as error:
        error.__traceback__.tb_next.tb_frame.clear()
        gc.collect()
        return refs[0]() is None


@pytest.mark.parametrize("scenario", [deleted_in_a_generator, deleted_by_clearing_a_frame])
def test_a_deleted_local_is_freed(scenario):
    freed = []
    record(lambda: freed.append(scenario()))
    assert freed == [True]


# Functions whose locals are compared with what `frame.f_locals` shows at
# each of their events.

def mixed(a, b=2, *rest, c, d=4, **extra):
    if rest:
        never = 1  # noqa: F841
    gone = a + b
    del gone
    doubled = [x * 2 for x in (a, b)]
    squares = {x: x * x for x in doubled}
    odd = sum(x for x in squares if x % 2)

    def inner():
        return a + c + odd  # free variables, which are cells of `mixed`

    return inner()


def generator(n):
    total = 0
    for i in range(n):
        total += i
        yield total


def class_bodies():
    label = "outer"

    class Body:
        name = label  # a free variable of the body, not one of its locals

        def method(self, other=None):
            return super().__init_subclass__, other

    return Body().method(Body)


def rewritten(count):
    big = 10 ** 30
    small = 7

    def reads():
        return held + big

    held = count
    # Written through the frame's proxy: a plain local, then a cell.
    sys._getframe().f_locals["small"] = [small]
    sys._getframe().f_locals["held"] = -count
    return reads()


def extended(value):
    sys._getframe().f_locals["added"] = value  # a name the code does not have
    return value


MODULE = """
import os
value = 1
def helper():
    return value
results = [helper() for _ in range(2)]
"""


def scenario(tmp_path):
    mixed(1, 2, 3, c=4, e=5)
    mixed(1, c=3)
    list(generator(3))
    class_bodies()
    rewritten(3)
    extended(None)
    load_module(tmp_path / "module_frame.py", MODULE)


NAMES = ["mixed", "inner", "generator", "class_bodies", "Body", "method", "rewritten", "reads", "extended",
         "<module>", "helper", "<genexpr>", "<listcomp>", "<dictcomp>"]


def as_f_locals_shows(frame, event, arg, context):
    expected = dict(frame.f_locals)
    expected.pop("__builtins__", None)
    return {"expected": expected}


def test_locals_are_what_f_locals_shows(tmp_path):
    spec = {"co_names": NAMES, "path_fragment": "", "call_type": "seen", "return_type": "seen",
            "process": as_f_locals_shows}
    records = all_records(trace(record(lambda: scenario(tmp_path), specs=[spec])))
    # The payload comes before the frame record of a call, after that of a
    # return (and after the record that notes a yield there).
    pairs = []
    for i, r in enumerate(records):
        if r["type"] == "frame" and r["co_name"] in NAMES:
            after = records[i + 2] if records[i + 1]["type"] == "suspension" else records[i + 1]
            seen = records[i - 1] if r["event"] == "call" else after
            assert seen["type"] == "seen"
            pairs.append((r["co_name"], r["event"], r["locals"], seen["expected"]))
    assert {name for name, *_ in pairs} >= set(NAMES[:-2])  # comprehensions have no frame of their own from 3.12
    for name, event, recorded, expected in pairs:
        if name == "extended" and sys.version_info < (3, 13):
            # Before 3.13 f_locals is a snapshot dict that keeps a name added
            # to it without making it a variable of the frame.
            continue
        assert list(recorded.items()) == list(expected.items()), (name, event)
