"""`sarn show` through the native pass prints what the pass in Python prints."""

import collections
import io

import msgpack
import pytest

from host_support import DocumentBuilder, one_call_document, record_shop, show_natively_and_in_python
from sarn import viewer
from sarn.web import terminal

pytestmark = pytest.mark.skipif(terminal._ShowPass is None, reason="built without the native extension")


OPTIONS = [
    {},
    {"depth": 6, "children": 25, "lines": 500},
    {"depth": 2, "children": 3, "lines": 30, "summary": True},
    {"children": 1},
    {"lines": 5, "summary": True, "color": True},
    {"depth": 1},
    {"width": 60, "summary": True},
    {"full": True, "width": 50},
]


@pytest.fixture(scope="module")
def recorded(tmp_path_factory):
    return record_shop(tmp_path_factory.mktemp("native-show"))


@pytest.mark.parametrize("options", OPTIONS)
def test_a_recorded_program_shows_alike(recorded, options):
    native, python = show_natively_and_in_python(recorded, **options)
    assert native == python
    assert "thread worker" in native and "MainThread" in native


def _built():
    builder = DocumentBuilder()
    builder.call("app.main", path="app.py:1")
    builder.interest("start_test", test_name="test_cart")
    builder.operation("sql_query", "sql_query_end", end={"rowcount": 2}, subtype="django", sql="SELECT 1",
                      params=None, database="default", vendor="sqlite")
    builder.operation("log_record", subtype="logging", level="WARNING", logger="shop", message="low")
    builder.operation("http_request", "http_request_end", started=False, end={"status": 500})
    for index in range(30):
        builder.call("app.step", path="app.py:%d" % (10 + index), line=4)
        if index % 7 == 0:
            builder.raise_({"__sarn__": "object", "type": "KeyError", "repr": "KeyError('x')"}, path="app.py:12")
        else:
            builder.ret(index)
    builder.call("app.spin", thread_id=7, thread="worker")
    builder.call("app.spin", thread_id=7, thread="worker")
    builder.ret(1, thread_id=7, thread="worker")
    builder.interest("end_test", test_name="test_cart", outcome="passed")
    builder.ret(None)
    document = builder.document()
    # A return whose call was not recorded, and a class body named at its return.
    orphan = dict(document["frames_of_interest"][0], event="return", frame_id="lost", user_code_call_site=None)
    document["frames_of_interest"].insert(0, orphan)
    body = {"type": "frame", "event": "call", "frame_id": "body", "co_name": "Cart", "qualname": None,
            "path": "app.py:50", "thread": "MainThread", "thread_native_id": 100, "timestamp": 1.0,
            "locals": {}, "user_code_call_site": None}
    document["frames_of_interest"][:0] = [body, dict(body, event="return", timestamp=2.5, locals={
        "__qualname__": "Cart", "__module__": "app"})]
    document["frames_of_interest"].append({"type": "trace_cut", "reason": "too big", "timestamp": 3.0})
    return document


@pytest.mark.parametrize("options", OPTIONS)
@pytest.mark.parametrize("form", ["dict", "bytes"])
def test_plugin_records_operations_and_odd_frames_show_alike(options, form):
    document = _built()
    data = document if form == "dict" else msgpack.packb(document, use_bin_type=True)
    native, python = show_natively_and_in_python(data, **options)
    assert native == python
    assert "thread worker" in native


def test_the_whole_built_document_is_shown():
    native, _ = show_natively_and_in_python(_built())
    assert "SQL  SELECT 1" in native and "class Cart" in native and "start_test" in native
    assert "[entered before recording]" in native and "too big" in native


def test_records_split_across_reads_show_alike():
    """A document read in pieces hands the records that span two reads to
    the native pass one by one."""
    document = _built()
    data = msgpack.packb(document, use_bin_type=True)

    class Trickle:
        def __init__(self):
            self.at = 0

        def read(self, size=-1):
            chunk = data[self.at:self.at + 97]
            self.at += len(chunk)
            return chunk

    native = terminal.render(Trickle(), summary=True)
    _, python = show_natively_and_in_python(data, summary=True)
    assert native == python


@pytest.mark.parametrize("block", [1, 200, 1 << 18])
@pytest.mark.parametrize("options", [{}, {"lines": 5, "summary": True, "color": True}, {"children": 1}])
def test_lines_kept_as_text_in_the_pass_are_the_lines_it_hands_out(monkeypatch, recorded, block, options):
    """render_blocks takes each tree's lines from the pass in blocks (lines
    made by the host among them); render_lines has them one by one."""
    monkeypatch.setattr(terminal, "_BLOCK", block)
    for document in (recorded, _built()):
        lines = list(terminal.render_lines(document, **options))
        blocks = list(terminal.render_blocks(document, **options))
        assert "\n".join(blocks) == "\n".join(lines)
        assert block > 1 or len(blocks) == len(lines)


@pytest.mark.parametrize("tasks_named", [0, 1, 2])
def test_a_file_is_read_again_only_to_split_more_than_one_task(tasks_named):
    document = _built()
    for index in range(tasks_named):
        document["frames_of_interest"].append({"type": "task_enter", "task": "t%d" % index, "name": "Task-%d" % index,
                                               "thread": "MainThread", "thread_native_id": 100, "timestamp": 4.0})
    data = msgpack.packb(document, use_bin_type=True)
    opened = []

    def reopen():
        opened.append(1)
        return io.BytesIO(data)

    shown = "\n".join(terminal.render_blocks(io.BytesIO(data), reopen=reopen))
    assert len(opened) == (tasks_named > 1)
    assert shown + "\n" == terminal.render(data, tasks=tasks_named > 1)


def _with_main_record(record):
    document = _built()
    document["frames_of_interest"].insert(3, record)
    return msgpack.packb(document, use_bin_type=True)


def _error_of(data):
    try:
        terminal.render(data)
    except viewer.TraceFormatError as error:
        return str(error)
    return None


@pytest.mark.parametrize(
    "record",
    [
        {"type": "frame", "event": "call", "frame_id": 7},
        {"type": "frame", "event": "call", "qualname": ["a"]},
        {"type": "start_test", "timestamp": "soon"},
        {"type": "frame", "user_code_call_site": {"call_frame_id": "x", "line_number": "12"}},
        {"type": "frame", "thread_native_id": True},
        "not a map",
    ],
)
def test_a_damaged_record_is_named_alike(record):
    data = _with_main_record(record)
    native = _error_of(data)
    saved = terminal._ShowPass
    terminal._ShowPass = None
    try:
        python = _error_of(data)
    finally:
        terminal._ShowPass = saved
    assert native == python
    assert native is not None and "frames_of_interest[3]" in native


@pytest.mark.parametrize(
    "record",
    [
        # Values the native reader leaves to the Python one: a deep value, a
        # map keyed by a tuple, an extension type.
        {"type": "frame", "event": "call", "frame_id": "deep", "qualname": "deep", "locals": {"x": [[[[[[1]]]]]]}},
        {"type": "frame", "event": "call", "frame_id": "ext", "qualname": "ext", "arg": msgpack.ExtType(5, b"ab")},
        {"type": "note", "qualname": 12, "path": 3},
    ],
)
def test_unusual_values_show_alike(record):
    native, python = show_natively_and_in_python(_with_main_record(record), lines=None, children=None)
    assert native == python


class _Shape:
    def __init__(self):
        self.size, self._secret, self.items = 3, "x", [1, 2]


class _Plain:
    __slots__ = ()


def _cyclic():
    values = [1]
    values.append(values)
    return values


# Values as the recorder writes them, for a call's arguments and its return.
VALUES = [
    0, -7, 2**63 + 5, -(2**70), 1.5, -0.0, 1e300, float("nan"), float("inf"), True, None,
    "text", "it's", 'say "hi"', "both ' and \"", "tab\there\nnew \\ slash", "x" * 300, "na\u00efve",
    b"bytes", bytearray(b"ab"), [1, [2, [3, "x"]]], list(range(200)), (1,), (1, 2), (), set(), {3}, frozenset({4}),
    {"a": 1, "b": [1, 2], "c": {"d": None}}, {1: "one", 2.5: "x"}, {(1, 2): 3}, {"k%d" % i: i for i in range(90)},
    collections.deque([1, 2]), collections.OrderedDict(a=1), collections.defaultdict(list, b=[1]),
    _Shape(), _Plain(), object(), ValueError("bad"), _cyclic(), [[[[[[[[[[[[1]]]]]]]]]]]],
]


def _valued(values):
    builder = DocumentBuilder()
    builder.call("app.main", path="app.py:1")
    for index, value in enumerate(values):
        builder.call("app.take", path="app.py:%d" % (10 + index), line=3, arguments={"value": value, "index": index})
        builder.ret(value)
    builder.call("gen", path="app.py:99", arguments={"__class__": 1, "v": "x" * 100, "w": "y" * 100})
    builder.ret("z")
    builder.ret(None)
    return builder.document()


@pytest.mark.parametrize("color", [False, True])
def test_values_read_from_the_record_bytes_show_as_decoded(color):
    native, python = show_natively_and_in_python(_valued(VALUES), lines=None, children=None, color=color)
    assert native == python
    assert "deque([1, 2])" in native and "Shape(size=3, items=[1, 2], _secret='x')" in native


# Bytes no Python value gives: placeholders in the packed document replaced
# by them (a map's key repeated, keys Python merges, a float of 32 bits, a
# tagged value of unusual fields).
RAW = [
    ({"qqa": 1, "qqb": 2}, b"\xa3qqb", b"\xa3qqa"),
    ({"qqa": 1, "qqb": 2}, b"\xa3qqb", b"\xcb" + b"?\xf0" + b"\x00" * 6),
    ({"qqa": 1, "qqb": 2}, b"\xa3qqa", b"\x01"),
    ("qqf", b"\xa3qqf", b"\xca\x3f\xc0\x00\x00"),
    ({"__sarn__": "list", "items": [1], "len": "qqt"}, b"\xa3qqt", b"\xc3"),
    ({"__sarn__": "list", "items": [1], "len": 3, "type": "qqn"}, b"\xa3qqn", b"\xc0"),
    ({"__sarn__": "object", "repr": "<m.T object at 0x1f>", "attrs": {"qqa": 1, "qqb": 2}}, b"\xa3qqb", b"\xa3qqa"),
    ({"__sarn__": "dict", "items": [[1, 2], [3], "qqx"]}, b"\xa3qqx", b"\xc4\x02ab"),
    ({"__sarn__": "bytes", "value": "qqx"}, b"\xa3qqx", b"\xc4\x02a'"),
    ({"__sarn__": "qqk"}, b"\xa3qqk", b"\xa5cycle"),
]


@pytest.mark.parametrize("where", ["locals", "arg"])
@pytest.mark.parametrize("value, placeholder, bytes_", RAW, ids=range(len(RAW)))
def test_raw_value_bytes_show_as_decoded(value, placeholder, bytes_, where):
    document, call, ret = one_call_document()
    if where == "locals":
        call["locals"] = value if isinstance(value, dict) and "__sarn__" not in value else {"v": value}
    else:
        ret["arg"] = value
    data = msgpack.packb(document, use_bin_type=True)
    assert data.count(placeholder) >= 1
    native, python = show_natively_and_in_python(data.replace(placeholder, bytes_), lines=None, children=None)
    assert native == python
