"""The pieces of sarn diff and sarn find that need no recording: values as
compared, and the --where language."""

import msgpack
import pytest

from sarn.serialize import dump_msgpack
from sarn.web.compare.command import parse_time_threshold
from sarn.web.compare.detail import pointed
from sarn.web.compare.normal import summarise
from sarn.web.compare.where import WhereError, compile_where


class Item:
    def __init__(self, name, created_at):
        self.name = name
        self.created_at = created_at


def recorded(value):
    return msgpack.unpackb(dump_msgpack(value), raw=False, strict_map_key=False)


@pytest.mark.parametrize(
    "a, b, ignore, same",
    [
        (object(), object(), (), True),  # "<object object at 0x...>"
        (Item("tea", 1), Item("tea", 1), (), True),  # written with their ids
        (Item("tea", 1), Item("tea", 2), (), False),
        (Item("tea", 1), Item("tea", 2), ("created_at",), True),
        ({"rows": [{"created_at": 1, "n": 2}]}, {"rows": [{"created_at": 5, "n": 2}]}, ("created_at",), True),
        ({"rows": [{"created_at": 1, "n": 2}]}, {"rows": [{"created_at": 1, "n": 3}]}, ("created_at",), False),
        ({1: "a", "created_at": 1}, {1: "a", "created_at": 2}, ("created_at",), True),  # a map with other keys
        ("at 0x10", "at 0x11", (), False),  # only an address in a repr's shape is left out
    ],
)
def test_values_as_compared(a, b, ignore, same):
    assert (summarise(recorded(a), ignore)[0] == summarise(recorded(b), ignore)[0]) is same


CART = recorded({"owner": Item("ann", 3), "items": [("tea", 2)], "total": 7.5, "note": None})


@pytest.mark.parametrize(
    "expression, expected",
    [
        ("note is None", True),
        ("note is not None", False),
        ("total > 7 and total <= 7.5", True),
        ("total == 1 or owner.name == 'ann'", True),
        ("not owner.created_at >= 3", False),
        ("items[0][0] == 'tea'", True),
        ("'tea' in items[0]", True),
        ("total in (1, 2)", False),
        ("missing == 1 or missing != 1", False),  # a name the call lacks matches nothing
        ("owner.name > 3", False),  # text against a number: false, not an error
        ("total", True),
    ],
)
def test_where_conditions(expression, expected):
    assert compile_where(expression)(CART) is expected


@pytest.mark.parametrize(
    "expression",
    ["__import__('os').system('true')", "total + 1 > 2", "owner.__class__()", "lambda: 1", "total >"],
)
def test_where_refuses_what_is_not_a_condition_on_literals(expression):
    with pytest.raises(WhereError):
        compile_where(expression)


@pytest.mark.parametrize(
    "threshold, a, b, counts",
    [
        ("2x", 0.010, 0.021, True),
        ("2x", 0.010, 0.015, False),
        ("2x", 0.0001, 0.0009, False),  # both under a millisecond: noise
        ("10ms", 0.100, 0.111, True),
        ("10ms", 0.100, 0.105, False),
        ("250us", 0.0, 0.0003, True),
    ],
)
def test_time_thresholds(threshold, a, b, counts):
    assert parse_time_threshold(threshold)(a, b) is counts


class Shelf:
    def __init__(self, items):
        self.items = items


@pytest.mark.parametrize(
    "a, b, place, texts",
    [
        (Shelf({"tea": [1, 2]}), Shelf({"tea": [1, 3]}), ".items['tea'][1]", ("2", "3")),
        ({3: "a", 4: "b"}, {3: "a", 4: "c"}, "[4]", ("'b'", "'c'")),
        ((1, ("x", 2)), (1, ("x", 5)), "[1][1]", ("2", "5")),
        ([1, 2], [1, 2, 3], "", ("[1, 2]", "[1, 2, 3]")),  # of other lengths: the whole values
        (Shelf(1), Item("a", 1), "", None),  # of other types
    ],
)
def test_pointed_difference(a, b, place, texts):
    where, inner_a, inner_b = pointed(recorded(a), recorded(b))
    assert where == place
    if texts is not None:
        from sarn.web.values import format_value

        assert (format_value(inner_a), format_value(inner_b)) == texts


def calls(specs):
    from sarn.web.compare.calls import Call
    from sarn.web.compare.normal import summarise_map

    return [Call(name, "app.py:3", None, summarise_map({"n": n}), None) for name, n in specs]


@pytest.mark.parametrize(
    "a, b, one_sided, changed",
    [
        # an extra iteration inside a loop: one extra call wherever it falls
        ([("add", n) for n in range(5)], [("add", n) for n in (0, 1, 9, 2, 3, 4)], 1, 0),
        ([("add", 1), ("log", 0), ("add", 2)], [("add", 1), ("log", 5), ("add", 2)], 0, 1),
        ([("add", 1), ("save", 0)], [("add", 1), ("load", 0), ("save", 0)], 1, 0),
        # too long to align as sequences: equal heads and tails still pair,
        # the changed middle pairs by position
        ([("add", 0)] * 3000 + [("log", 1)], [("add", 0)] * 3000 + [("add", 0), ("log", 1)], 1, 0),
        ([("add", n) for n in range(2500)], [("add", n + 1) for n in range(2500)], 0, 2500),
    ],
)
def test_sibling_alignment(a, b, one_sided, changed):
    from sarn.web.compare.align import Options, align_calls

    pairs = align_calls(calls(a), calls(b), Options())
    assert sum(pair.a is None or pair.b is None for pair in pairs) == one_sided
    assert sum(bool(pair.changes) for pair in pairs) == changed


def test_threads_pair_by_name_and_a_thread_of_one_run_is_all_new(tmp_path, capsys):
    import json

    from host_support import DocumentBuilder
    from sarn import cli, db

    path = str(tmp_path / "traces.db")
    for trace_id, native_ids in (("trc_01THREADSA", (7, None)), ("trc_01THREADSB", (9, 11))):
        builder = DocumentBuilder(trace_id=trace_id)
        builder.call("app.main")
        builder.ret(None)
        for native_id, name in zip(native_ids, ("courier", "mailer")):
            if native_id is not None:  # native thread ids differ between runs
                builder.call("app.deliver", thread_id=native_id, thread=name, arguments={"n": 1})
                builder.ret(None, thread_id=native_id, thread=name)
        db.save_trace_in_sqlite(path, trace_id, timeout=5, msgpack=builder.pack())
    code = cli.main(["diff", "trc_01THREADSA", "trc_01THREADSB", "--db", path, "--json"])
    report = json.loads(capsys.readouterr().out)
    assert code == 1
    assert [(entry["thread"], entry["kind"], entry["name"]) for entry in report["differences"]] == [
        ("mailer", "only_b", "app.deliver")]
