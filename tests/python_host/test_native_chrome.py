"""`sarn export --format chrome` through the native pass writes what the writer in Python writes."""

import io
import json

import msgpack
import pytest

from host_support import DocumentBuilder, record_shop
from sarn.web import chrome

pytestmark = pytest.mark.skipif(chrome._ChromePass is None, reason="built without the native extension")

INDENTS = [None, 2, 0]


def _written(data, indent, chunks):
    if chunks:
        return "".join(chrome.json_chunks(data, indent=indent))
    out = io.StringIO()
    chrome.write_json(data, out, indent=indent)
    return out.getvalue()


def _both(data, indent=None, chunks=False):
    native = _written(data, indent, chunks)
    saved = chrome._ChromePass
    chrome._ChromePass = None
    try:
        python = _written(data, indent, chunks)
    finally:
        chrome._ChromePass = saved
    return native, python


@pytest.fixture(scope="module")
def recorded(tmp_path_factory):
    return record_shop(tmp_path_factory.mktemp("native-chrome"))


@pytest.mark.parametrize("chunks", [False, True])
@pytest.mark.parametrize("indent", INDENTS)
def test_a_recorded_program_is_written_alike(recorded, indent, chunks):
    native, python = _both(recorded, indent, chunks)
    assert native == python
    names = {event["name"] for event in json.loads(native)["traceEvents"]}
    for wanted in ("numbers", "worker", "fails", "total", "fetch"):
        assert any(name.endswith(wanted) for name in names), wanted


def _tasks_and_notes():
    """Plugin records, operations (one never ended), asyncio tasks, a
    generator that yields and resumes, exceptions, texts that are not ASCII
    and keys that are not texts, on two threads."""
    builder = DocumentBuilder()
    builder.call("app.main", path="app.py:1")
    builder.interest("start_test", test_name="t\u00e9st")
    builder.operation("sql_query", "sql_query_end", end={"rowcount": 2}, sql="SELECT 1", params=[1, "x"])
    builder.operation("http_request", None, url="http://x/", method="GET")
    builder.interest("task_created", task="t1", name="Task-1", coro="fetch")
    builder.interest("task_enter", task="t1")
    gen = builder.call("app.numbers", path="app.py:5", arguments={"limit": 3, 7: "seven", "__class__": None})
    builder.ret(0)
    builder._list(100).append({"type": "suspension", "frame_id": gen, "thread": "MainThread",
                               "thread_native_id": 100})
    builder.call("app.fetch", path="app.py:9", arguments={"value": "\u2603" * 2000})
    builder.raise_({"__sarn__": "object", "type": "ValueError", "repr": "ValueError('no')"}, path="app.py:10")
    builder.interest("task_leave", task="t1", state="failed", error="ValueError: no")
    builder.call("app.spin", thread_id=7, thread="worker", arguments={"data": b"\x00\xff", "n": 1.5})
    builder.call("app.inner", thread_id=7, thread="worker")
    builder.ret(msgpack.ExtType(3, b"ab"), thread_id=7, thread="worker")
    builder.interest("end_test", test_name="t\u00e9st", outcome="passed")
    builder.ret(None)
    document = builder.document()
    records = document["frames_of_interest"]
    # The generator resumed, a return without a time, a main-list record
    # without a native id (it waits for main_thread_id).
    again = dict(next(record for record in records if record.get("frame_id") == gen),
                 timestamp=records[-1]["timestamp"])
    records[-1:-1] = [again, {"type": "resumption", "frame_id": gen, "thread": "MainThread",
                              "thread_native_id": 100}, dict(again, event="return", timestamp=None)]
    lost = dict(records[0], frame_id="nameless", thread="OtherThread")
    del lost["thread_native_id"]
    records.append(lost)
    return document


@pytest.mark.parametrize("chunks", [False, True])
@pytest.mark.parametrize("indent", INDENTS)
def test_tasks_notes_and_odd_values_are_written_alike(indent, chunks):
    data = msgpack.packb(_tasks_and_notes(), use_bin_type=True)
    native, python = _both(data, indent, chunks)
    assert native == python
    events = json.loads(native)["traceEvents"]
    assert any(event.get("cat") == "task" for event in events)
    assert any("yielded" in event.get("args", {}) for event in events)
    assert any(event.get("args", {}).get("resumed") == "true" for event in events)


@pytest.mark.parametrize("form", ["dict", "bytes"])
def test_an_empty_document_is_written_alike(form):
    document = DocumentBuilder().document()
    native, python = _both(document if form == "dict" else msgpack.packb(document, use_bin_type=True))
    assert native == python


def test_records_split_across_reads_are_written_alike(recorded):
    class Trickle:
        def __init__(self):
            self.at = 0

        def read(self, size=-1):
            chunk = recorded[self.at:self.at + 97]
            self.at += len(chunk)
            return chunk

        def seek(self, at):
            self.at = at

        def tell(self):
            return self.at

    assert _written(Trickle(), None, False) == _both(recorded)[1]


def test_a_big_run_flushes_as_it_goes():
    """Past the pass's buffer, the text is handed on in pieces, and each
    piece is whole UTF-8."""
    builder = DocumentBuilder()
    builder.call("app.main")
    for index in range(6000):
        builder.call("app.step", arguments={"text": "\u00e9" * 100, "index": index})
        builder.ret(index)
    builder.ret(None)
    data = msgpack.packb(builder.document(), use_bin_type=True)
    pieces = []

    class Out:
        def write(self, text):
            pieces.append(text)

    chrome.write_json(data, Out())
    assert len(pieces) > 3
    native, python = _both(data)
    assert native == "".join(pieces) == python


def _threads_sharing_an_id(document):
    """Two names on one native id (one track number, whose task tracks both list), a list keyed by a text."""
    records = document["frames_of_interest"]
    records.append(dict(records[1], thread="Renamed", frame_id="renamed"))
    document["frames"]["worker-key"] = [dict(record, frame_id="k%d" % index) for index, record in
                                        enumerate(document["frames"].pop(7))]
    for record in document["frames"]["worker-key"]:
        del record["thread_native_id"]


def _main_thread_id(value):
    def change(document):
        document["main_thread_id"] = value
        for record in document["frames_of_interest"][:4]:
            record.pop("thread_native_id", None)
    return change


def _nested_odd_calls(document):
    """A return without its call under a running call, a frame id used twice,
    a class body, a module body, a return without a time, names missing."""
    records = document["frames_of_interest"]
    main = records[0]
    site = {"call_frame_id": main["frame_id"], "line_number": 3}
    at = main["timestamp"]
    base = {"type": "frame", "thread": "MainThread", "thread_native_id": 100, "user_code_call_site": site,
            "path": "app.py:7", "locals": {}, "arg": None}
    more = [
        dict(base, event="return", frame_id="orphan", co_name="lost", qualname=None, timestamp=at + 1e-4),
        dict(base, event="call", frame_id="twice", co_name="g", qualname="g", timestamp=at + 2e-4),
        dict(base, event="call", frame_id="twice", co_name="g", qualname="g", timestamp=at + 3e-4,
             user_code_call_site={"call_frame_id": "twice", "line_number": 1}),
        dict(base, event="return", frame_id="twice", co_name="g", qualname="g", timestamp=at + 4e-4, arg=[1, {"a": 2}]),
        dict(base, event="call", frame_id="mod", co_name="<module>", qualname=None, timestamp=at + 5e-4,
             locals={"x": 1}),
        dict(base, event="return", frame_id="mod", co_name="<module>", qualname=None, timestamp=None),
        dict(base, event="call", frame_id="cls", co_name="Cart", qualname=None, timestamp=at + 6e-4),
        dict(base, event="return", frame_id="cls", co_name="Cart", qualname="app.Cart", timestamp=at + 7e-4,
             locals={"__qualname__": "app.Cart", "__module__": "app"}),
        dict(base, event="call", frame_id="anon", co_name=None, qualname=None, timestamp=at + 8e-4,
             locals={"__sarn__": "object", "type": "dict", "repr": "{}"}),
        dict(base, event="return", frame_id="anon", co_name=None, qualname=None, timestamp=at + 7e-4),
        {"type": "exception", "frame_id": "anon", "thread": "MainThread", "thread_native_id": 100, "exception": None},
        {"type": "exception", "frame_id": "nowhere", "thread": "MainThread", "thread_native_id": 100,
         "timestamp": at + 9e-4},
    ]
    records[1:1] = more


def _times_near_ties(document):
    """Times whose microseconds fall near and on a half of the last place kept."""
    start = document["timestamp"]
    for index, record in enumerate(record for record in document["frames_of_interest"] if "timestamp" in record):
        if record["timestamp"] is not None:
            record["timestamp"] = start + (index * 1.0000005 + 0.0000015 * (index % 3)) / 1000.0


@pytest.mark.parametrize("indent", [None, 3])
@pytest.mark.parametrize("change", [_threads_sharing_an_id, _main_thread_id("main"), _main_thread_id(None),
                                    _main_thread_id(2 ** 63 + 5), _nested_odd_calls, _times_near_ties],
                         ids=["shared-id", "main-id-text", "main-id-none", "main-id-big", "odd-calls", "ties"])
def test_odd_threads_calls_and_times_are_written_alike(change, indent):
    document = _tasks_and_notes()
    change(document)
    native, python = _both(msgpack.packb(document, use_bin_type=True), indent)
    assert native == python


LONG_VALUES = ["x" * 3000, "a b c " * 400, list(range(600)), {"k%d" % index: "v" * 30 for index in range(80)},
               {"__sarn__": "object", "type": "Cart", "repr": "Cart(" + "y" * 1500 + ")"}, [[[[[[1]]]]]] * 50,
               3.14159, -2 ** 63, 10 ** 18, b"bytes" * 300, {1: 2}, "tab\there\nnewline \x07 bell"]


@pytest.mark.parametrize("value", LONG_VALUES, ids=range(len(LONG_VALUES)))
def test_long_and_nested_values_are_cut_alike(value):
    """Arguments and return values are cut at 1,000 characters, as the Python formatter cuts them."""
    builder = DocumentBuilder()
    builder.call("app.main")
    builder.call("app.take", arguments={"value": value, "pair": [value, value]})
    builder.ret(value)
    builder.ret(None)
    native, python = _both(msgpack.packb(builder.document(), use_bin_type=True), 2)
    assert native == python
