"""A kept frame's locals are written straight from the frame's slots where
they can be: the bytes must be those of serialising the locals dict itself,
whatever the names, the number of variables, the values and the form."""

import sys

import msgpack
import pytest

import sarn.serialize
from recording_support import HostProfiler, frames, record, trace

SEEN = []


def _function(body, name="probe", params="a, b=2"):
    source = "def %s(%s):\n%s\n    SEEN.append(dict(locals()))\n    return None\n" % (
        name, params, "\n".join("    " + line for line in body))
    namespace = {"SEEN": SEEN}
    exec(compile(source, "locals_form_probe.py", "exec"), namespace)
    return namespace[name]


class Loud:
    def __repr__(self):
        raise ValueError("no repr")


def _generator_locals():
    def counter(limit):
        for index in range(limit):
            yield index
        SEEN.append(dict(locals()))
    return lambda: list(counter(2)), "counter"


def _closure_locals():
    def outer(x):
        y = [x]

        def inner():
            return y
        inner()
        SEEN.append(dict(locals()))
    return lambda: outer(1), "outer"


CASES = {
    "small values": ["c = 'text'", "d = 1.5", "e = (1, None, True)", "f = [1, [2, [3]]]"],
    "a name the dict form tags": ["%s = 1" % sarn.serialize.TAG],
    "more variables than a dict shows": ["v%d = %d" % (i, i) for i in range(sarn.serialize.MAX_ITEMS + 5)],
    "a local named __builtins__": ["__builtins__ = 'mine'", "c = 3"],
    "an unbound variable": ["if False: c = 1", "d = 4"],
    "objects and a failing repr": ["c = Loud()", "d = {'k': Loud()}", "e = object()"],
    "an inlined comprehension": ["c = [x * 2 for x in range(3)]", "d = {k: k for k in 'ab'}"],
    "deep and long values": ["c = [[[[[[[[[[[[1]]]]]]]]]]]]", "d = list(range(500))", "e = 'x' * 100000"],
}


def _scenario(name):
    if name == "a generator":
        return _generator_locals()
    if name == "a closure":
        return _closure_locals()
    function = _function(CASES[name])
    function.__globals__["Loud"] = Loud
    return (lambda: function(1)), "probe"


@pytest.mark.parametrize("lightweight", [False, True], ids=["full", "lightweight"])
@pytest.mark.parametrize("name", list(CASES) + ["a generator", "a closure"])
def test_locals_are_written_as_their_dict_would_be(name, lightweight):
    run, co_name = _scenario(name)
    SEEN.clear()
    host = HostProfiler({"lightweight_repr": lightweight})
    records = frames(trace(record(run, host)), co_name)
    dump = sarn.serialize.dump_msgpack_lightweight_repr if lightweight else sarn.serialize.dump_msgpack
    expected = dict(SEEN[-1])
    expected.pop("__builtins__", None)
    decoded = msgpack.unpackb(dump(expected), raw=False, strict_map_key=False)
    assert records[-1]["event"] == "return"
    assert records[-1]["locals"] == decoded


def test_a_replaced_serialiser_is_given_the_locals_dict(monkeypatch):
    given = []

    def serialiser(value):
        given.append(value)
        return b"\xc0"

    function = _function(["c = 3"])
    monkeypatch.setattr(sarn.serialize, "dump_msgpack", serialiser)
    record(lambda: function(1))
    monkeypatch.undo()
    assert {"a": 1, "b": 2, "c": 3} in given
    assert all(type(value) is dict for value in given if isinstance(value, dict))


PLAIN = ["c = 'text'", "d = 1.5", "e = True", "f = None", "g = b'xy'", "h = 'x' * 40", "long_name = -40",
         "k = 2 ** 70", "m = 'caf\\xe9'", "z = 0", "p = 2 ** 30 - 1", "q = -(2 ** 30)", "r = 2 ** 62"]
LIMITS = {
    "defaults": {},
    "a small text budget": {"MAX_TEXT": 5},
    "short texts cut": {"MAX_STR": 3},
    "fewer items than variables": {"MAX_ITEMS": 2},
    "no depth": {"MAX_DEPTH": 0},
    "no nodes": {"MAX_NODES": 0},
    "one value": {"MAX_VALUES": 1},
    "short bytes": {"MAX_BYTES": 1},
}


@pytest.fixture
def limits(request, monkeypatch):
    """The serialiser's limits set to the case's, in both walkers."""
    for name, value in LIMITS[request.param].items():
        monkeypatch.setattr(sarn.serialize, name, value)
    sarn.serialize._native.configure(sarn.serialize)
    yield
    monkeypatch.undo()
    sarn.serialize._native.configure(sarn.serialize)


@pytest.mark.skipif(sarn.serialize._native is None, reason="needs the native walker")
@pytest.mark.parametrize("limits", list(LIMITS), indirect=True)
@pytest.mark.parametrize("lightweight", [False, True], ids=["full", "lightweight"])
def test_scalars_are_written_within_the_walkers_budgets(limits, lightweight):
    function = _function(PLAIN)
    SEEN.clear()
    records = frames(trace(record(lambda: function(1), HostProfiler({"lightweight_repr": lightweight}))), "probe")
    dump = (sarn.serialize._dump_msgpack_lightweight_repr_py if lightweight else sarn.serialize._dump_msgpack_py)
    native = sarn.serialize.dump_msgpack_lightweight_repr if lightweight else sarn.serialize.dump_msgpack
    assert records[-1]["locals"] == msgpack.unpackb(dump(dict(SEEN[-1])), raw=False, strict_map_key=False)
    for value in SEEN[-1].values():
        assert native(value) == dump(value)


@pytest.mark.skipif(sarn.serialize._native is None, reason="needs the native walker")
@pytest.mark.parametrize("named, form", [("dump_msgpack", "dump_msgpack_lightweight_repr"),
                                         ("dump_msgpack_lightweight_repr", "dump_msgpack")],
                         ids=["lightweight under the full name", "full under the lightweight name"])
def test_plain_locals_take_the_form_of_the_built_in_named(monkeypatch, named, form):
    # With more plain variables than a dict shows, the forms differ: the
    # full one writes a dict past the item limit, the lightweight its first items.
    function = _function(["v%d = %d" % (i, i) for i in range(sarn.serialize.MAX_ITEMS + 5)])
    built_in = getattr(sarn.serialize, form)
    monkeypatch.setattr(sarn.serialize, named, built_in)
    SEEN.clear()
    host = HostProfiler({"lightweight_repr": named != "dump_msgpack"})
    records = frames(trace(record(lambda: function(1), host)), "probe")
    monkeypatch.undo()
    assert records[-1]["locals"] == msgpack.unpackb(built_in(dict(SEEN[-1])), raw=False, strict_map_key=False)


class Reconfiguring:
    """An object whose class the serialiser first meets while writing a
    return's argument: asking about the class sets the text budget anew, as
    a reload of the serialiser would, before the locals are written."""


@pytest.mark.skipif(sarn.serialize._native is None, reason="needs the native walker")
def test_plain_locals_follow_a_configuration_made_while_the_argument_was_written(monkeypatch):
    info = sarn.serialize._info

    def reconfiguring_info(cls):
        if cls is Reconfiguring:
            sarn.serialize.MAX_STR = 3
            sarn.serialize._native.configure(sarn.serialize)
        return info(cls)

    def probe():
        text = "long enough"
        return Reconfiguring()

    monkeypatch.setattr(sarn.serialize, "MAX_STR", sarn.serialize.MAX_STR)
    monkeypatch.setattr(sarn.serialize, "_info", reconfiguring_info)
    sarn.serialize._native.configure(sarn.serialize)
    try:
        records = frames(trace(record(probe)), "probe")
        # Written by the new budget, which cuts the name and the text.
        expected = msgpack.unpackb(sarn.serialize._dump_msgpack_py({"text": "long enough"}), raw=False)
    finally:
        monkeypatch.undo()
        sarn.serialize._native.configure(sarn.serialize)
    call, ret = records
    assert call["locals"] == {} and ret["arg"]["type"].endswith("Reconfiguring")
    assert ret["locals"] == expected != {"text": "long enough"}
