"""The value serialiser against ordinary and hostile values."""

import collections
import dataclasses
import datetime
import enum
import os
import reprlib
import sys
import threading
import types

import msgpack
import pytest

from sarn import serialize
from sarn.serialize import (MAX_ATTRS, MAX_BYTES, MAX_DEPTH, MAX_ITEMS, MAX_NODES, MAX_STR, MAX_TEXT, SHORT_STR, TAG,
                            dump_msgpack, dump_msgpack_lightweight_repr)

DUMPERS = [dump_msgpack, dump_msgpack_lightweight_repr]


@pytest.fixture
def user_reprs():
    """The reprs of this file's classes, which are the program's own, are run."""
    serialize.set_config({"call_user_repr": True})
    yield
    serialize.set_config(None)


@pytest.fixture(params=[False, True], ids=["own reprs not run", "own reprs run"])
def either_repr_setting(request):
    serialize.set_config({"call_user_repr": request.param})
    yield
    serialize.set_config(None)


def decode_one(data):
    """Decode ``data`` as exactly one MessagePack value (with default, strict settings)."""
    assert type(data) is bytes
    unpacker = msgpack.Unpacker(raw=False)
    unpacker.feed(data)
    values = list(unpacker)
    assert len(values) == 1, values
    return values[0]


# --------------------------------------------------------------------------
# Hostile values


class RaisingRepr:
    def __repr__(self):
        raise RuntimeError("no repr")


class NonStrRepr:
    def __repr__(self):
        return 42


class ExitingRepr:
    """A repr that ends the program (or is interrupted by Ctrl-C)."""

    def __init__(self, raised):
        self.raised = raised

    def __repr__(self):
        raise self.raised


class RaisingGetattr:
    def __init__(self):
        self.visible = 1

    def __getattr__(self, name):
        raise RuntimeError("getattr " + name)

    def __getattribute__(self, name):
        raise RuntimeError("getattribute " + name)


class RaisingDunders:
    def __eq__(self, other):
        raise RuntimeError("eq")

    def __hash__(self):
        raise RuntimeError("hash")

    def __len__(self):
        raise RuntimeError("len")

    def __iter__(self):
        raise RuntimeError("iter")


class HostileList(list):
    def __iter__(self):
        raise RuntimeError("iter")

    def __len__(self):
        raise RuntimeError("len")

    def __getitem__(self, index):
        raise RuntimeError("getitem")


class HostileDict(dict):
    def items(self):
        raise RuntimeError("items")

    def __iter__(self):
        raise RuntimeError("iter")


class Slotted:
    __slots__ = ("x", "y", "__private", "unset")

    def __init__(self):
        self.x = 1
        self.y = "two"
        self.__private = 3


class DictProperty:
    @property
    def __dict__(self):
        raise RuntimeError("no dict")


class StrSubclass(str):
    pass


def _cycle_list():
    items = [1]
    items.append(items)
    return items


def _cycle_dict():
    mapping = {"a": 1}
    mapping["self"] = mapping
    return mapping


def _cycle_object():
    holder = RaisingDunders.__new__(type("Holder", (), {}))
    holder.me = holder
    return holder


def _deep_list(depth):
    value = []
    for _ in range(depth):
        value = [value]
    return value


def _deep_dict(depth):
    value = {}
    for _ in range(depth):
        value = {"k": value}
    return value


HOSTILE = {
    "cycle list": _cycle_list(),
    "cycle dict": _cycle_dict(),
    "cycle object": _cycle_object(),
    "deep list": _deep_list(5000),
    "deep dict": _deep_dict(5000),
    "huge list": list(range(200_000)),
    "huge dict": {str(i): i for i in range(20_000)},
    "huge str": "x" * 1_000_000,
    "huge bytes": b"\x00" * 1_000_000,
    "huge set": set(range(50_000)),
    "raising repr": RaisingRepr(),
    "non-str repr": NonStrRepr(),
    "raising getattr": RaisingGetattr(),
    "raising dunders": RaisingDunders(),
    "hostile list subclass": HostileList([1, 2, 3]),
    "hostile dict subclass": HostileDict(a=1),
    "raising dunders in list": [RaisingDunders(), RaisingRepr()],
    "dict property": DictProperty(),
    "big int": 2 ** 200,
    "big negative int": -(2 ** 64),
    "huge int": 10 ** 5000,
    "surrogate str": "a\udc80b",
    "surrogate key": {"k\ud800": "v\udfff"},
    "surrogate in repr": type("SurrogateRepr", (), {"__repr__": lambda self: "\udc80"})(),
    "bytes": b"\xff\x00binary",
    "bytearray": bytearray(b"abc" * 1000),
    "set": {1, 2, 3},
    "frozenset": frozenset(["a"]),
    "slots": Slotted(),
    "non-str keys": {1: "a", (2, 3): "b", None: "c", 1.5: "d"},
    "tag key": {TAG: "object", "type": "x"},
    "str subclass": StrSubclass("sub"),
    "nan and inf": [float("nan"), float("inf"), -float("inf")],
    "module": sys,
    "class": RaisingDunders,
    "function": decode_one,
    "generator": (i for i in range(3)),
    "frame": sys._getframe(),
    "exception": ValueError("boom"),
    "deque": collections.deque(range(1000)),
    "namedtuple": collections.namedtuple("Point", "x y")(1, 2),
    "ordered dict": collections.OrderedDict(a=1),
    "memoryview": memoryview(b"abc"),
    "view of a deep dict": {"k": _deep_dict(5000)}.items(),
    "proxy of a huge dict": types.MappingProxyType({str(i): [i] * 50 for i in range(20_000)}),
    "type with raising metaclass name": type("Meta", (type,), {"__getattribute__": lambda cls, name: 1 / 0})("Weird", (), {})(),
}


@pytest.mark.parametrize("dump", DUMPERS, ids=["full", "lightweight"])
@pytest.mark.parametrize("name", sorted(HOSTILE))
def test_any_value_gives_exactly_one_value(dump, name):
    decode_one(dump(HOSTILE[name]))


@pytest.mark.parametrize("dump", DUMPERS, ids=["full", "lightweight"])
def test_locals_mapping_of_hostile_values_stays_a_map(dump):
    decoded = decode_one(dump(dict(HOSTILE)))
    assert isinstance(decoded, dict)
    assert set(decoded) == set(list(HOSTILE)[:MAX_ITEMS])


@pytest.mark.parametrize("dump", DUMPERS, ids=["full", "lightweight"])
def test_output_is_bounded(dump):
    for name in ("huge list", "huge dict", "huge str", "huge bytes", "huge set", "deep list", "deep dict", "huge int"):
        assert len(dump(HOSTILE[name])) < 100_000, name


DEEP = _deep_dict(5000)
WIDE = {i: [i] * 50 for i in range(20_000)}


@pytest.mark.parametrize("dump", DUMPERS, ids=["full", "lightweight"])
@pytest.mark.parametrize("value, start", [
    (WIDE.keys(), "dict_keys([0, 1, 2, 3, 4, 5, 6, 7, ...])"),
    (WIDE.values(), "dict_values([[0, 0, 0, 0, 0, 0, 0, 0, ...], "),
    (collections.OrderedDict(WIDE).items(), "odict_items([(0, [0, 0, 0, 0, 0, 0, 0, 0, ...]), "),
    ({"k": DEEP}.items(), "dict_items([('k', {'k': {...}})])"),
    (types.MappingProxyType(WIDE), "mappingproxy({0: [0, 0, 0, 0, 0, 0, 0, 0, ...], "),
], ids=["keys", "values", "ordered items", "deep items", "proxy"])
def test_views_of_mappings_show_their_first_items(dump, value, start):
    """Their own repr would show every item (quadratic time, or a failed
    repr for deep nesting)."""
    decoded = decode_one(dump(value))
    assert decoded["repr"].startswith(start), decoded["repr"]


# --------------------------------------------------------------------------
# Shapes


@pytest.mark.parametrize(
    "value, expected",
    [
        (None, None),
        (True, True),
        (0, 0),
        # Around one digit of the interpreter's ints, which are read in place.
        (-1, -1),
        (2 ** 30 - 1, 2 ** 30 - 1),
        (2 ** 30, 2 ** 30),
        (-(2 ** 30) + 1, -(2 ** 30) + 1),
        (-(2 ** 30), -(2 ** 30)),
        (-(2 ** 63), -(2 ** 63)),
        (2 ** 64 - 1, 2 ** 64 - 1),
        (1.5, 1.5),
        ("text", "text"),
        (b"raw", b"raw"),
        ([1, "a", None], [1, "a", None]),
        ({"a": [1, {"b": 2}]}, {"a": [1, {"b": 2}]}),
        ((1, 2), {TAG: "tuple", "type": "tuple", "items": [1, 2]}),
        ({3}, {TAG: "set", "type": "set", "items": [3]}),
        (frozenset([3]), {TAG: "frozenset", "type": "frozenset", "items": [3]}),
        ({1: "a"}, {TAG: "dict", "type": "dict", "items": [[1, "a"]]}),
        ({TAG: 1}, {TAG: "dict", "type": "dict", "items": [[TAG, 1]]}),
        (2 ** 64, {TAG: "object", "type": "int", "repr": str(2 ** 64)}),
        (-(2 ** 63) - 1, {TAG: "object", "type": "int", "repr": str(-(2 ** 63) - 1)}),
        ("a\udc80", "a\\udc80"),
    ],
)
def test_full_form_shapes(value, expected):
    assert decode_one(dump_msgpack(value)) == expected


@pytest.mark.parametrize(
    "value, kind, kept, total",
    [
        ("x" * (MAX_STR + 1), "str", "x" * MAX_STR, MAX_STR + 1),
        (b"y" * (MAX_BYTES + 5), "bytes", b"y" * MAX_BYTES, MAX_BYTES + 5),
    ],
)
@pytest.mark.parametrize("dump", DUMPERS, ids=["full", "lightweight"])
def test_long_strings_are_cut_with_their_length(dump, value, kind, kept, total):
    decoded = decode_one(dump(value))
    assert decoded[TAG] == kind
    assert decoded["value"] == kept
    assert decoded["len"] == total


@pytest.mark.parametrize(
    "value, kind",
    [
        (list(range(MAX_ITEMS + 7)), "list"),
        (tuple(range(MAX_ITEMS + 7)), "tuple"),
        (set(range(MAX_ITEMS + 7)), "set"),
        ({str(i): i for i in range(MAX_ITEMS + 7)}, "dict"),
    ],
)
def test_big_containers_are_cut_with_their_length(value, kind):
    decoded = decode_one(dump_msgpack(value))
    assert decoded[TAG] == kind
    assert len(decoded["items"]) == MAX_ITEMS
    assert decoded["len"] == MAX_ITEMS + 7


def test_nesting_is_cut_at_max_depth():
    decoded = decode_one(dump_msgpack(_deep_list(MAX_DEPTH + 3)))
    for _ in range(MAX_DEPTH):
        assert isinstance(decoded, list) and len(decoded) == 1
        decoded = decoded[0]
    assert decoded == {TAG: "list", "type": "list", "items": [], "len": 1}


def test_shared_value_is_not_a_cycle():
    shared = [1, 2]
    assert decode_one(dump_msgpack({"a": shared, "b": shared})) == {"a": [1, 2], "b": [1, 2]}


@pytest.mark.parametrize(
    "value, expected",
    [
        (_cycle_list(), [1, {TAG: "cycle", "type": "list"}]),
        (_cycle_dict(), {"a": 1, "self": {TAG: "cycle", "type": "dict"}}),
    ],
)
def test_cycles_are_marked(value, expected):
    assert decode_one(dump_msgpack(value)) == expected


def test_object_has_type_repr_and_attributes():
    class Point:
        def __init__(self):
            self.x = 1
            self._hidden = [1]
            self.__dunder__ = 2

    decoded = decode_one(dump_msgpack(Point()))
    assert decoded[TAG] == "object"
    assert decoded["type"].endswith("test_object_has_type_repr_and_attributes.<locals>.Point")
    assert " object at 0x" in decoded["repr"]
    assert decoded["attrs"] == {"x": 1, "_hidden": [1]}


def test_slots_are_read_including_private_names():
    decoded = decode_one(dump_msgpack(Slotted()))
    assert decoded["attrs"] == {"x": 1, "y": "two", "__private": 3}


def test_namedtuple_lists_its_fields():
    point = collections.namedtuple("Point", "x y")(1, [2])
    decoded = decode_one(dump_msgpack(point))
    assert decoded["repr"] == "Point(x=1, y=[2])"
    assert decoded["attrs"] == {"x": 1, "y": [2]}


def test_attributes_are_cut_at_max_attrs():
    class Wide:
        pass

    wide = Wide()
    for i in range(MAX_ATTRS + 4):
        setattr(wide, "a%d" % i, i)
    decoded = decode_one(dump_msgpack(wide))
    assert len(decoded["attrs"]) == MAX_ATTRS
    assert decoded["more_attrs"] == 4


@pytest.mark.parametrize(
    "value, fragment",
    [
        (RaisingRepr(), "repr() failed: RuntimeError"),
        (NonStrRepr(), "repr() failed: TypeError"),
    ],
)
@pytest.mark.parametrize("dump", DUMPERS, ids=["full", "lightweight"])
def test_failing_repr_is_described(user_reprs, dump, value, fragment):
    decoded = decode_one(dump(value))
    assert decoded[TAG] == "object"
    assert fragment in decoded["repr"]


EXITS = [SystemExit(3), KeyboardInterrupt()]
EXIT_DUMPERS = DUMPERS + [serialize._dump_msgpack_py, serialize._dump_msgpack_lightweight_repr_py]


@pytest.mark.parametrize("raised", EXITS, ids=["SystemExit", "KeyboardInterrupt"])
@pytest.mark.parametrize("dump", EXIT_DUMPERS, ids=["full", "lightweight", "full in Python", "lightweight in Python"])
def test_an_exit_raised_by_a_repr_reaches_the_caller(user_reprs, dump, raised):
    with pytest.raises(type(raised)):
        dump({"value": [ExitingRepr(raised)]})


def test_subclass_overrides_are_not_run():
    decoded = decode_one(dump_msgpack(HostileList([1, 2, 3])))
    assert decoded == {TAG: "list", "type": decoded["type"], "items": [1, 2, 3]}
    decoded = decode_one(dump_msgpack(HostileDict(a=1)))
    assert decoded["items"] == [["a", 1]]


@pytest.mark.parametrize(
    "value, expected",
    [
        ({"n": 1, "s": "x", "b": b"y", "f": 2.5, "none": None}, {"n": 1, "s": "x", "b": b"y", "f": 2.5, "none": None}),
        ({"l": [1, 2]}, {"l": {TAG: "object", "type": "list", "repr": "[1, 2]"}}),
        ([1, 2], {TAG: "object", "type": "list", "repr": "[1, 2]"}),
        ({1: 2}, {TAG: "object", "type": "dict", "repr": "{1: 2}"}),
    ],
)
def test_lightweight_keeps_only_top_level_map(value, expected):
    assert decode_one(dump_msgpack_lightweight_repr(value)) == expected


class CountingRepr:
    calls = 0

    def __repr__(self):
        CountingRepr.calls += 1
        return "c"


@pytest.mark.parametrize("container", [list, tuple, set, collections.deque])
def test_lightweight_repr_of_huge_container_looks_at_few_items(container):
    items = [CountingRepr() for _ in range(100_000)]
    CountingRepr.calls = 0
    decoded = decode_one(dump_msgpack_lightweight_repr(container(items)))
    assert CountingRepr.calls <= 10
    assert decoded["repr"].endswith("...])") or decoded["repr"].endswith("...]") or "..." in decoded["repr"]


class Scope(dict):
    """A mapping whose repr shows every entry, as a program's scope might."""

    def __repr__(self):
        return "<Scope %s>" % dict.__repr__(self)


HUGE_WITH_OWN_REPRS = {
    "OrderedDict": lambda items: collections.OrderedDict(enumerate(items)),
    "defaultdict": lambda items: collections.defaultdict(list, enumerate(items)),
    "own dict subclass": lambda items: Scope(enumerate(items)),
    "in a list": lambda items: [collections.OrderedDict(enumerate(items))],
    "in a dict": lambda items: {"k": [Scope(enumerate(items))]},
}


@pytest.mark.parametrize("make", HUGE_WITH_OWN_REPRS.values(), ids=HUGE_WITH_OWN_REPRS.keys())
def test_a_huge_container_with_a_repr_of_its_own_is_shown_by_its_first_items(user_reprs, make):
    items = [CountingRepr() for _ in range(100_000)]
    value = make(items)
    CountingRepr.calls = 0
    decoded = decode_one(dump_msgpack_lightweight_repr(value))
    assert CountingRepr.calls <= 10
    assert "..." in str(decoded)


@pytest.mark.parametrize("value", [
    collections.OrderedDict(a=1), collections.defaultdict(list, a=[1]), Scope(a=1),
    collections.namedtuple("Wide", ["f%d" % i for i in range(12)])(*range(12)), os.stat(__file__),
], ids=["OrderedDict", "defaultdict", "own dict subclass", "wide named tuple", "struct sequence"])
def test_a_short_container_with_a_repr_of_its_own_is_shown_by_it(user_reprs, value):
    text = repr(value)
    expected = text if len(text) <= serialize.MAX_REPR else text[:serialize.MAX_REPR] + "..."
    assert decode_one(dump_msgpack_lightweight_repr(value))["repr"] == expected


def test_full_form_of_huge_list_looks_at_few_items(user_reprs):
    items = [CountingRepr() for _ in range(100_000)]
    CountingRepr.calls = 0
    decode_one(dump_msgpack(items))
    assert CountingRepr.calls == MAX_ITEMS


# --------------------------------------------------------------------------
# Reprs of the program's own code, and objects of library code


class OwnRepr:
    calls = 0

    def __init__(self):
        self.size = 3

    def __repr__(self):
        OwnRepr.calls += 1
        return "OwnRepr(3)"


@dataclasses.dataclass
class Generated:
    size: int = 3


class Decorated:
    def __init__(self):
        self.size = 3

    @reprlib.recursive_repr()
    def __repr__(self):
        OwnRepr.calls += 1
        return "Decorated(3)"


@pytest.mark.parametrize("value", [OwnRepr(), Generated(), Decorated()], ids=["own", "generated", "decorated"])
def test_a_repr_of_the_programs_own_is_not_run(value):
    OwnRepr.calls = 0
    name = serialize._type_name(type(value))
    assert decode_one(dump_msgpack(value)) == {TAG: "object", "type": name, "id": id(value), "attrs": {"size": 3}}
    assert decode_one(dump_msgpack_lightweight_repr(value)) == {TAG: "object", "type": name, "id": id(value)}
    shown = "<%s object at %#x>" % (name, id(value))
    assert decode_one(dump_msgpack_lightweight_repr([value, {"k": value}]))["repr"] == "[%s, {'k': %s}]" % (shown, shown)
    assert OwnRepr.calls == 0


class Colour(enum.Enum):
    RED = 1


class Shade(str, enum.Enum):
    DARK = "dark"


class Worker(threading.Thread):
    pass


@pytest.mark.parametrize("value", [Colour.RED, Shade.DARK, collections.namedtuple("Point", "x y")(1, 2), Worker(name="w")])
def test_a_repr_from_library_code_runs(value):
    assert decode_one(dump_msgpack(value))["repr"] == repr(value)


@pytest.mark.parametrize("dump", DUMPERS, ids=["full", "lightweight"])
def test_when_configured_a_repr_of_the_programs_own_runs_once_per_value(user_reprs, dump):
    value = OwnRepr()
    OwnRepr.calls = 0
    decoded = decode_one(dump({"first": value, "again": value}))
    assert decoded["first"]["repr"] == decoded["again"]["repr"] == "OwnRepr(3)"
    assert OwnRepr.calls == 1


class Holder:
    def __init__(self, held):
        self.held = held


@pytest.mark.parametrize("value", [threading.Event(), serialize._Ctx()], ids=["standard library", "sarn"])
def test_objects_of_library_classes_are_shown_without_their_attributes(value):
    held = decode_one(dump_msgpack(Holder(value)))["attrs"]["held"]
    assert held == {TAG: "object", "type": serialize._type_name(type(value)), "repr": repr(value)}


@pytest.mark.parametrize("filters, holder_has_attrs, event_has_attrs", [
    ({"ignore_frames": ["python_host/"]}, False, False),
    ({"include_frames": ["threading.py"]}, True, True),
])
def test_configured_fragments_decide_what_is_library_code(filters, holder_has_attrs, event_has_attrs):
    serialize.set_config({"filters": filters})
    try:
        decoded = decode_one(dump_msgpack(Holder(threading.Event())))
    finally:
        serialize.set_config(None)
    assert ("attrs" in decoded) == holder_has_attrs
    if holder_has_attrs:
        assert ("attrs" in decoded["attrs"]["held"]) == event_has_attrs


def test_plugin_payload_keeps_its_keys_in_both_forms():
    payload = {"frame_id": "frm_x", "timestamp": 1.5, "type": "start_test", "test_name": "t.py::test", "user_code_call_site": None}
    assert decode_one(dump_msgpack(payload)) == payload
    assert decode_one(dump_msgpack_lightweight_repr(payload)) == payload


@pytest.mark.parametrize("namespace", [{}, {"__slots__": ("a", "__b")}], ids=["plain", "slotted"])
def test_type_information_of_dynamic_classes_is_not_kept_alive(namespace):
    import gc
    import weakref

    cls = type("Temporary", (), dict(namespace))
    dump_msgpack(cls())
    ref = weakref.ref(cls)
    del cls
    gc.collect()
    assert ref() is None
    assert serialize  # module still usable



def test_short_lived_classes_are_each_named_as_themselves():
    """Class information is remembered per class; a new class made where a
    freed one lived must not be described as the old one."""
    names = []
    for index in range(200):
        cls = type("Temporary%d" % index, (), {})
        names.append(msgpack.unpackb(dump_msgpack(cls()), raw=False)["type"].rsplit(".", 1)[-1])
        del cls
    assert names == ["Temporary%d" % index for index in range(200)]

# --------------------------------------------------------------------------
# The native walker against the Python walker: the same bytes for every value


class Wide:
    def __init__(self, names):
        for name in names:
            setattr(self, name, len(name))


class Node:
    def __init__(self, child=None):
        self.child = child
        self.items = [1, "two", (3,)]


class SlottedWithDict:
    __slots__ = ("x", "__dict__")

    def __init__(self):
        self.x = "slot"
        self.y = "dict"


class Fields(collections.namedtuple("Fields", "a b")):
    pass


def _renamed_field():
    value = Fields(1, 2)
    value.__dict__["a"] = "from dict"
    return value


def _non_str_attribute():
    value = Node()
    value.__dict__[7] = "seven"
    return value


def _self_holding_object():
    value = Node()
    value.items.append(value)
    return value


def _reordered_dict():
    value = collections.OrderedDict((str(i), i) for i in range(5))
    value.move_to_end("0")
    return value


def _email_message():
    import email.parser

    return email.parser.Parser().parsestr("From: a@example.com\nSubject: hi\n\nbody\n")


def _slot_shadowed_by_dict():
    value = SlottedWithDict()
    value.__dict__["x"] = "from dict"
    return value


class OrderedKey:
    """A key whose ordering is the program's own code."""

    compared = 0

    def __lt__(self, other):
        OrderedKey.compared += 1
        return id(self) < id(other)


def _long_slots():
    names = tuple("slot_%d_" % i + "x" * 60 for i in range(12))
    value = type("LongSlots", (), {"__slots__": names})()
    for name in names:
        setattr(value, name, "v" * 40)
    return value


NamedList = type("list", (), {})


def _set_with_removed_members():
    # Removed members leave slots in the set's table that its iterator skips.
    members = set(range(40))
    for member in range(0, 40, 3):
        members.discard(member)
    return [members, {"a", "b", "c"} - {"b"}, {("pair", 1), None, 2.5}]

CONTAINER_SHAPES = {
    "nested lists": [[1, [2, [3, [4, [5]]]]]],
    "strings cut in the middle": ["x" * 100, "\u00e9" * 70, "'\"" * 40, "a\udc80" * 40],
    "sets": [set(range(20)), frozenset("abcdefghij"), {1}, frozenset()],
    "empty containers": [set(), frozenset(), {}, (), []],
    "one-item tuples": (("a",), (1,)),
    "scalars and classes": [None, True, 1.5, 10 ** 70, -(10 ** 70), int, Node],
    "objects": [Node(), Node(), SlottedWithDict()],
    "dict of long values": {i: str(i) * 50 for i in range(10)},
    "dict with object keys": {OrderedKey(): i for i in range(10)},
    "class named after a container": [NamedList(), NamedList()],
    "deque inside": [collections.deque([1]), collections.OrderedDict(a=1)],
    "many items": list(range(100)),
    "subclasses of containers": [
        type("Registry", (dict,), {})((i, str(i) * 30) for i in range(10)),
        type("Stack", (list,), {})(range(20)),
        type("Pair", (tuple,), {})((1,)),
        type("Tags", (set,), {})("abcdefghijk"),
        type("Frozen", (frozenset,), {})("ab"),
        type("Counted", (list,), {"__len__": lambda self: 1})(range(20)),
        type("Shown", (dict,), {"__repr__": lambda self: "shown"})(a=1),
    ],
    "mapping of many": {"k%d" % i: [i, "v"] for i in range(20)},
    "sets with removed members": _set_with_removed_members(),
    "strings that need escapes": [["it's", "back\\slash", "tab\there", "\x7f", "~ ok", "\"q\""]],
    "ints of many digits": [[9, 10, -1, -10, 123456789, -(2 ** 40), 2 ** 63 - 1]],
    "objects among plain items": [[1, Node(), "a"], {"k": Node(), "j": 2}, (Node(), 3)],
}


def _classes_named(qualnames):
    kinds = []
    for qualname in qualnames:
        kind = type("Made", (), {})
        kind.__module__ = "m"
        kind.__qualname__ = qualname
        kinds.append(kind)
    return kinds


# More classes than one walk keeps at hand, with names that fit the head kept
# per class, one byte too long for it, non-ASCII, and not text at all.
MANY_CLASSES = _classes_named(
    ["C%d" % i for i in range(44)] + ["x" * 29, "y" * 30, "z" * 60, "\u00e9t\u00e9", "odd\ud800", ""])


def _objects_of_many_classes():
    """Each class met twice in one walk, its objects with an attribute and
    without, past the node budget."""
    first = [kind() for kind in MANY_CLASSES]
    for i, made in enumerate(first):
        made.n = i
    return [first, [kind() for kind in MANY_CLASSES], {"again": MANY_CLASSES[0]()}]


class Restyled:
    """Its repr changes its class: a walk meets the class again with a new
    version tag."""

    def __init__(self, child=None):
        self.child = child

    def __repr__(self):
        type(self).shown = getattr(type(self), "shown", 0) + 1
        return "restyled"


class Shown:
    """Shown in object's own repr, through its bound methods."""

    def method(self):
        return None


class Renames:
    """Its repr renames a class between two meetings with that class's
    objects in one walk: a name that reprlib knows, then another one. (The
    class is kept under a name the walkers skip.)"""

    def __init__(self, kind, name):
        self.__dict__["__kind"] = kind
        self.name = name

    def __repr__(self):
        kind = self.__dict__["__kind"]
        kind.__name__ = kind.__qualname__ = self.name
        return "renames"


def _renamed_between_meetings():
    shown = Shown()
    return [Renames(Shown, "Shown"), shown.method, shown.method, Renames(Shown, "list"), shown.method,
            Renames(Shown, "Other"), shown.method]


LONG_NAME = "n" * (MAX_STR + 3)
class Members(frozenset):
    def __repr__(self):
        return "members: " + ", ".join(map(str, self))


EDGE_VALUES = {
    "objects of many classes": _objects_of_many_classes(),
    "class changed by its repr": [Restyled(Restyled()), Restyled(), [Restyled(), Restyled(Restyled())]],
    "containers with reprs of their own": [
        collections.Counter("abcdefghij"), collections.Counter("ab"), collections.OrderedDict.fromkeys(range(9)),
        collections.defaultdict(list, {i: [i] for i in range(7)}), Members(range(20)),
        [collections.Counter("abcdefghij")], collections.namedtuple("Wide", ["f%d" % i for i in range(12)])(*range(12))],
    "int limits": [2 ** 63 - 1, 2 ** 63, -(2 ** 63), 2 ** 64 - 1, 2 ** 64, -(2 ** 63) - 1, -1, -33, 255, 256],
    "floats": [0.0, -0.0, 1e308, 5e-324],
    "str at the cut": ["é" * MAX_STR, "é" * (MAX_STR + 1), "\U0001f600" * (MAX_STR + 1), "a" * (MAX_STR - 1) + "\udc80x"],
    "bytes at the cut": [b"b" * MAX_BYTES, b"b" * (MAX_BYTES + 1)],
    "long keys": {LONG_NAME: 1, "k": {LONG_NAME: 2}},
    "long keys past the item cut": {("k%d" % i) * 60: i for i in range(MAX_ITEMS + 2)},
    "tag key past the item cut": {TAG: 0, **{"k%d" % i: i for i in range(MAX_ITEMS + 2)}},
    "non-str key late": {**{"k%d" % i: i for i in range(MAX_ITEMS + 2)}, 1: 1},
    "many objects": [Node(Node()) for _ in range(MAX_NODES)],
    "many lists": [[i, [i]] for i in range(MAX_ITEMS)],
    "deep objects": Node(Node(Node(Node(Node(Node(Node(Node()))))))),
    "wide object": Wide(["a%d" % i for i in range(MAX_ATTRS + 5)]),
    "long attribute names": Wide([LONG_NAME, LONG_NAME + "x", "short"]),
    "slots and dict": SlottedWithDict(),
    "namedtuple subclass with a dict": _renamed_field(),
    "non-str attribute": _non_str_attribute(),
    "object in its own list": _self_holding_object(),
    "reordered dict": _reordered_dict(),
    "counter": collections.Counter("abracadabra"),
    "defaultdict": collections.defaultdict(list, a=[1]),
    "list subclass": HostileList(range(MAX_ITEMS + 3)),
    "tuple subclass": type("T", (tuple,), {})(range(MAX_ITEMS + 3)),
    "set subclass": type("S", (set,), {})(range(5)),
    "frozenset subclass": type("F", (frozenset,), {})(range(5)),
    "deque subclass": type("D", (collections.deque,), {})(range(MAX_ITEMS + 3)),
    "bytearray subclass": type("B", (bytearray,), {})(b"z" * (MAX_BYTES + 1)),
    "bool subclass of int": type("I", (int,), {})(5),
    "pformat input": {"key%d" % i: list(range(i % 10)) for i in range(150)},
    "email message": _email_message(),
    "locals of a big frame": {"v%d" % i: [i] for i in range(MAX_ITEMS + 10)},
    "nested tuples": ((1, (2, (3, [4, {"five": (5,)}]))),),
    "long repr": type("LongRepr", (), {"__repr__": lambda self: "r" * 1000})(),
    "str subclass repr": type("SubRepr", (), {"__repr__": lambda self: StrSubclass("sub")})(),
    "slot shadowed by a dict entry": _slot_shadowed_by_dict(),
    "dict subclass": CONTAINER_SHAPES["subclasses of containers"][0],
    "list subclass of many": CONTAINER_SHAPES["subclasses of containers"][1],
    "past the item budget": {"lists": [list(range(40)) for _ in range(10)], "objects": [Node(Node()) for _ in range(40)]},
    "wide objects past the item budget": [Wide(["a%d" % i for i in range(MAX_ATTRS)]) for _ in range(10)],
    "strings past the text budget": ["s" * 300] * 3 + ["short", "x" * (SHORT_STR + 1), "\u00e9" * 400, "a\udc80" * 200],
    "text budget spent exactly": ["a" * (MAX_TEXT // 2), "b" * (MAX_TEXT - MAX_TEXT // 2), "c" * SHORT_STR, "d" * (SHORT_STR + 1)],
    "dict values past the text budget": {"k%d" % i: "v" * 150 for i in range(12)},
    "tuple and set of long strings": (tuple("t%d" % i * 60 for i in range(8)), {"s%d" % i * 60 for i in range(8)}),
    "long keys and names past the text budget": [{("k%d" % i) * 80: i for i in range(8)},
                                                 Wide([("a%d" % j) * 40 for j in range(12)])],
    "tagged dict past the text budget": {**{("k%d" % i) * 20: "v" * 40 for i in range(30)}, 1: "one"},
    "long slot names past the text budget": [_long_slots(), _long_slots()],
    "library reprs past the text budget": [datetime.date(2020, 1, 1 + i % 28) for i in range(60)],
    "long reprs past the text budget": [type("LongRepr", (), {"__repr__": lambda self: "\u00e9" * 150})() for _ in range(9)],
    "short reprs past the text budget": {"k%d" % i: ["\u00e9" * 30, i, "x" * 35] for i in range(20)},
    "empty containers at the end of the text budget": {"a": "x" * MAX_STR, "b": "y" * (MAX_TEXT - MAX_STR - 7), "s": set(), "f": frozenset(), "l": []},
    "nested containers past the item budget": {"k%d" % i: [list(range(10)), {"a": (1, 2)}, {3, 4}] for i in range(30)},
    "containers of every kind past the item budget": {
        "k%d" % i: kind for i, kind in enumerate(
            [collections.deque(range(20)), frozenset(range(12)), set(range(9)), tuple(range(30)),
             type("Stack", (list,), {})(range(20)), collections.OrderedDict((str(j), j) for j in range(10))] * 6)},
    "top-level list of nested lists": [[list(range(9))] * 9] * 9,
    "keys and items of every kind in short reprs": [
        {"it's": 1, "back\\slash": "it's", "\u00e9": 2 ** 70, StrSubclass("sub"): -5, 5: "five", (6,): [7, None, 1.5]},
        ["plain", "it's", 10 ** 30, -3, StrSubclass("s"), 2.5, [1, "x"], {"k": "v"}]],
    **{"short repr: " + name: shape for name, shape in CONTAINER_SHAPES.items()},
}
CORPUS = dict(HOSTILE, **EDGE_VALUES)
native = serialize._native
needs_native = pytest.mark.skipif(native is None, reason="the native walker is not built")
# Each form as the native walker and the Python one write it.
both_walkers = pytest.mark.parametrize(
    "native_dump, python_dump",
    [
        (getattr(native, "dump_msgpack", None), serialize._dump_msgpack_py),
        (getattr(native, "dump_msgpack_lightweight_repr", None), serialize._dump_msgpack_lightweight_repr_py),
    ],
    ids=["full", "lightweight"],
)


@needs_native
@both_walkers
@pytest.mark.parametrize("name", sorted(CORPUS))
def test_native_walker_writes_the_python_walkers_bytes(either_repr_setting, native_dump, python_dump, name):
    value = CORPUS[name]
    assert native_dump(value) == python_dump(value)
    assert native_dump({"value": value, "again": value}) == python_dump({"value": value, "again": value})


@needs_native
@both_walkers
def test_objects_of_a_class_renamed_during_a_walk_are_shown_by_its_new_names(user_reprs, native_dump, python_dump):
    # Walked once only: met again in the same walk, a bound method's repr is
    # taken afresh by the native walker and remembered by the Python one.
    value = _renamed_between_meetings()
    written = native_dump(value)
    assert written == python_dump(value)
    if native_dump is native.dump_msgpack:  # the lightweight form's list repr is cut before it
        assert b"test_host_serialize.Other object at" in written


@needs_native
@pytest.mark.parametrize("name", ["many objects", "email message", "raising repr", "huge int", "surrogate key", "cycle object"])
def test_native_walker_keeps_no_references(name):
    value = CORPUS[name]
    parts = [value] + (list(value) if type(value) is list else list(getattr(value, "__dict__", {}).values()))
    native.dump_msgpack(value)  # what is remembered per type is in place
    native.dump_msgpack_lightweight_repr(value)
    before = [sys.getrefcount(part) for part in parts]
    for _ in range(20):
        native.dump_msgpack(value)
        native.dump_msgpack_lightweight_repr(value)
    assert [sys.getrefcount(part) for part in parts] == before



@needs_native
def test_native_walker_keeps_no_answers_about_classes():
    """What the walker holds of each class it meets (the Python half's
    answer) is let go when the walk ends, the classes past the ones it keeps
    at hand and a class changed during the walk too."""
    values = [CORPUS["objects of many classes"], CORPUS["class changed by its repr"]]
    for value in values:
        native.dump_msgpack(value)
        native.dump_msgpack_lightweight_repr(value)
    answers = [serialize._info(kind) for kind in MANY_CLASSES + [Restyled]]
    before = [sys.getrefcount(answer) for answer in answers]
    for _ in range(10):
        for value in values:
            native.dump_msgpack(value)
            native.dump_msgpack_lightweight_repr(value)
    assert [sys.getrefcount(answer) for answer in answers] == before


class _Plain:
    pass


class _Outer:
    class Inner:
        pass


def _renamed(module, qualname):
    kind = type("Made", (), {})
    kind.__module__ = module
    kind.__qualname__ = qualname
    return kind()


@pytest.mark.parametrize("value", [
    _Plain(), _Outer.Inner(), _renamed("builtins", "Made"), _renamed("pkg.mod", "A.<locals>.B"),
    _renamed("m\u00e9t\u00e9o", "\u00c9t\u00e9"), _renamed("mod", "x" * 2000), _renamed(3, "Made"),
    _renamed("bad\ud800", "Made"), object(),
], ids=["plain", "nested", "builtins", "dotted", "non-ascii", "long", "non-str module", "surrogate", "object"])
def test_the_default_repr_is_the_interpreters(value):
    expected = serialize._bounded_repr(value).encode("utf-8", "backslashreplace").decode("utf-8")
    for dump in (dump_msgpack, dump_msgpack_lightweight_repr):
        assert decode_one(dump(value))["repr"] == expected


def test_a_dict_is_shown_by_its_first_entries_in_its_own_order():
    """Keys are not sorted: no key class's ordering runs, and a dict of many
    entries costs what its first entries cost."""
    OrderedKey.compared = 0
    value = {OrderedKey(): i for i in range(50)}
    big = {"k%05d" % (50000 - i): i for i in range(50000)}
    shown = [decode_one(dump_msgpack_lightweight_repr([v]))["repr"] for v in (value, big)]
    assert OrderedKey.compared == 0
    assert shown[1].startswith("[{'k50000': 0, 'k49999': 1,")


def test_one_value_writes_at_most_its_budget_of_items():
    """However large the object graph a frame holds, what one value writes
    is bounded by the item budget, not by the graph."""
    graph = {"nodes": [Wide(["a%d" % i for i in range(MAX_ATTRS)]) for _ in range(1000)]}
    written = decode_one(dump_msgpack(graph))

    def count(value):
        if isinstance(value, dict):
            if value.get(TAG) in ("list", "tuple", "set", "frozenset", "dict"):
                return sum(count(item) for item in value.get("items", ()))
            if value.get(TAG) == "object":
                return sum(1 + count(item) for item in value.get("attrs", {}).values())
            return sum(1 + count(item) for item in value.values())
        if isinstance(value, list):
            return sum(1 + count(item) for item in value)
        return 0

    assert count(written) <= serialize.MAX_VALUES + MAX_ITEMS
    bigger = {"nodes": graph["nodes"] * 100}
    assert abs(len(dump_msgpack(bigger)) - len(dump_msgpack(graph))) < 16


@pytest.fixture
def asked_types(monkeypatch):
    """The classes the native walker asks the Python half about, in order."""
    asked = []
    real = serialize._info
    monkeypatch.setattr(serialize, "_info", lambda t: asked.append(t) or real(t))
    serialize._native.configure(serialize)
    yield asked
    monkeypatch.undo()
    serialize._native.configure(serialize)


@needs_native
@pytest.mark.parametrize("dump", DUMPERS, ids=["full", "lightweight"])
def test_a_class_is_asked_about_once_while_it_is_unchanged(asked_types, dump):
    class Shape:
        def __init__(self, sides):
            self.sides = sides

    value = {"lists": [[i] for i in range(20)], "shapes": [Shape(i) for i in range(20)]}
    dump(value)
    dump(value)
    assert len(asked_types) == len(set(asked_types))
    Shape.kind = "polygon"  # a change of the class gives it a new version tag
    del asked_types[:]
    dump(value)
    assert Shape in asked_types


def _cuttable_text(value):
    """The characters of the strings a decoded value holds that the text
    budget cuts: strings longer than SHORT_STR, kept prefixes, and reprs
    that were taken. (Keys and short strings take from the budget too.)"""
    if isinstance(value, str):
        return len(value) if len(value) > SHORT_STR else 0
    if isinstance(value, list):
        return sum(_cuttable_text(item) for item in value)
    if not isinstance(value, dict):
        return 0
    if value.get(TAG) == "str":
        return len(value["value"])
    if value.get(TAG) == "object" and value.get("repr") not in (None, "..."):
        return len(value["repr"]) + _cuttable_text(value.get("attrs", {}))
    return sum(_cuttable_text(item) for key, item in value.items() if key not in (TAG, "type"))


LONG_TEXT = {
    "list of long strings": ["s%d" % i * 100 for i in range(100)],
    "dict of long strings": {"k%d" % i: "v" * 400 for i in range(40)},
    "objects with long strings": [Node("n%d" % i * 50) for i in range(30)],
    "library reprs": [datetime.datetime(2020, 1, 1, 0, 0, i % 60) for i in range(50)],
    "short reprs of containers": {"k%d" % i: ["x%d" % j * 20 for j in range(8)] for i in range(50)},
}


@pytest.mark.parametrize("dump", DUMPERS, ids=["full", "lightweight"])
@pytest.mark.parametrize("name", sorted(LONG_TEXT))
def test_one_value_writes_at_most_its_budget_of_text(dump, name):
    """Past the text budget strings keep nothing (short ones stay whole) and
    reprs are not taken."""
    written = decode_one(dump(LONG_TEXT[name]))
    assert _cuttable_text(written) <= MAX_TEXT + len("...")


ORDINARY = dict(
    {name: shape for name, shape in CONTAINER_SHAPES.items() if name != "many items"},
    locals={"self": Node(Node()), "name": "x" * 120, "values": [1.5, None, "y" * 60], "index": 3},
    request={"path": "/a/b", "headers": {"Accept": "*/*", "User-Agent": "u" * 80}, "body": b"{}" * 20},
)


@pytest.mark.parametrize("dump", [serialize._dump_msgpack_py, serialize._dump_msgpack_lightweight_repr_py],
                         ids=["full", "lightweight"])
@pytest.mark.parametrize("name", sorted(ORDINARY))
def test_ordinary_values_are_written_as_without_the_budgets(monkeypatch, dump, name):
    value = ORDINARY[name]
    bounded = dump(value)
    monkeypatch.setattr(serialize, "MAX_TEXT", 10 ** 9)
    monkeypatch.setattr(serialize, "MAX_VALUES", 10 ** 9)
    assert dump(value) == bounded


def _dict_of_lists(size):
    return {"key%d" % i: list(range(50)) for i in range(size)}


GROWING = {
    "dict of lists": _dict_of_lists,
    "dict of nested lists": lambda size: {"k%d" % i: [[j, [j]] for j in range(10)] for i in range(size)},
    "dict of dicts": lambda size: {"k%d" % i: {"a%d" % j: j for j in range(20)} for i in range(size)},
    "dict of objects": lambda size: {"k%d" % i: Node(Node()) for i in range(size)},
    "dict of sets": lambda size: {"k%d" % i: set(range(i, i + 12)) for i in range(size)},
    "list of lists": lambda size: [list(range(30)) for _ in range(size)],
    "list of objects": lambda size: [Wide(["a%d" % j for j in range(5)]) for _ in range(size)],
    "dict subclass": lambda size: type("Registry", (dict,), {})((i, [i] * 10) for i in range(size)),
    "string": lambda size: "x" * size,
    "nested": lambda size: _nested(min(size, 300)),
}


def _nested(depth):
    value = []
    for _ in range(depth):
        value = [value, {"level": len(value)}]
    return value


@needs_native
@pytest.mark.parametrize("size", [1, 10, 100, 10_000])
@pytest.mark.parametrize("name", sorted(GROWING))
def test_lightweight_form_looks_at_no_more_values_than_the_full_form(name, size):
    """Counted, not timed: the values each form looks at (items, entries,
    attributes, and the items of the short reprs it makes)."""
    value = GROWING[name](size)
    assert native.visits(value, True) <= native.visits(value, False)
