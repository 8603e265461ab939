"""What recording runs of the program's own code to show its values: no
`__repr__` of its own by default, and with "call_user_repr" one run per value
and record."""

import gc
import weakref

import pytest

import sarn.serialize
from recording_support import HostProfiler, frames, record, trace


class Counted:
    calls = 0
    made = []

    def __init__(self):
        Counted.made.append(weakref.ref(self))

    def __repr__(self):
        Counted.calls += 1
        return "Counted()"


def make():
    made = Counted()
    return made  # the return value is also a local


def alias(value):
    again = value  # noqa: F841
    return 2


@pytest.fixture(params=[False, True], ids=["full", "lightweight"])
def host(request):
    return HostProfiler({"lightweight_repr": request.param})


@pytest.mark.parametrize("call_user_repr, runs", [(False, 0), (True, 1)])
@pytest.mark.parametrize("scenario", [make, lambda: alias(Counted())], ids=["returned", "aliased"])
def test_a_repr_of_the_programs_own_runs_at_most_once_per_record(host, scenario, call_user_repr, runs):
    sarn.serialize.set_config({"call_user_repr": call_user_repr})
    Counted.calls = 0
    try:
        doc = trace(record(scenario, host))
    finally:
        sarn.serialize.set_config(None)
    showing = [r for r in frames(doc) if "Counted" in repr(r["arg"]) + repr(r["locals"])]
    assert showing and Counted.calls == runs * len(showing)
    gc.collect()
    assert not any(ref() for ref in Counted.made)  # the reprs taken are not kept


def method_of_counted():
    return Counted().__repr__  # its repr would show the object's


def partial_of_counted():
    import functools

    return functools.partial(alias, Counted(), key=Counted())


@pytest.mark.parametrize("scenario", [method_of_counted, partial_of_counted], ids=["bound method", "partial"])
def test_a_value_whose_repr_shows_another_does_not_run_the_programs_own(host, scenario):
    Counted.calls = 0
    doc = trace(record(scenario, host))
    (returned,) = [r["arg"] for r in frames(doc) if r["event"] == "return" and r["co_name"] == scenario.__name__]
    assert Counted.calls == 0
    assert "Counted object at 0x" in repr(returned)


@pytest.mark.parametrize("lightweight", [False, True])
@pytest.mark.parametrize("change", ["__qualname__", "__module__"])
@pytest.mark.parametrize("shown", ["instance", "class", "bound method"])
def test_a_default_repr_follows_its_class_renamed(lightweight, change, shown):
    # The repr of a class, and the text before an instance's address, are
    # remembered per class: renaming the class (its version tag changes
    # with __module__, not with __qualname__) must show in the next dump.
    dump = sarn.serialize.dump_msgpack_lightweight_repr if lightweight else sarn.serialize.dump_msgpack

    class Plain:
        def run(self):
            pass

    value = {"instance": Plain(), "class": Plain}.get(shown) or Plain().run
    seen = {"instance": b"Plain object at 0x", "class": b"Plain'>", "bound method": b"Plain object at 0x"}[shown]
    before = dump([value])
    assert b"test_recorded_reprs" in before and seen in before
    setattr(Plain, change, "renamed")
    after = dump([value])
    assert before != after
    assert repr(value).encode() in after
    assert dump([value]) == after


@pytest.mark.parametrize("numbers", [
    [0, -1, 1, 2 ** 30 - 1, 2 ** 30, -(2 ** 30)],
    [2 ** 62, -(2 ** 63), 2 ** 63 - 1],
    [2 ** 64, -(2 ** 64), True, False],
], ids=["one digit", "machine words", "past a machine word"])
def test_a_containers_short_repr_writes_ints_as_repr_does(numbers):
    # Ints of one digit are read in place, others through the interpreter.
    import msgpack

    shown = msgpack.unpackb(sarn.serialize.dump_msgpack_lightweight_repr({"k": numbers}), raw=False)
    assert shown["k"]["repr"] == repr(numbers)
