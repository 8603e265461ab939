"""The native reader of stored documents gives exactly what the msgpack
reader gives: the same records, the same output of `sarn show` and the
exports, and the same damage reported, however the bytes are damaged."""

import io
import os
import threading

import msgpack
import pytest

import sarn
from host_support import DocumentBuilder
from sarn.web import chrome, document, json_document, terminal

pytestmark = pytest.mark.skipif(document._unpack_records is None, reason="built without the native extension")


def outcome(read):
    try:
        return read()
    except document.TraceFormatError as error:
        return ("damaged", str(error))
    except Exception as error:  # what msgpack itself raises, such as an unhashable key
        return (type(error).__name__, str(error))


def native_and_msgpack(monkeypatch, read):
    """What ``read()`` gives with the native reader, then with msgpack alone."""
    native = outcome(read)
    with monkeypatch.context() as patch:
        patch.setattr(document, "_unpack_records", None)
        return native, outcome(read)


def records_of(data):
    return lambda: list(document.iter_document(data))


class Shelf:
    def __init__(self, items):
        self.items = items

    def take(self, name):
        return self.items.pop(name)


def _values(n):
    yield {"n": n, "text": "zażółć \u2603", "raw": b"\x00\xff", "big": 2**70, "small": -2**63, "real": 1.5}


def recorded_program():
    shelf = Shelf({"tea": 3})
    shelf.take("tea")
    try:
        shelf.take("cake")
    except KeyError:
        pass
    list(_values(3))

    class Body:
        size = 2

    worker = threading.Thread(target=lambda: [shelf.take] and Shelf({}).items, name="worker")
    worker.start()
    worker.join()
    return Body


@pytest.fixture(scope="module")
def recorded(tmp_path_factory):
    path = str(tmp_path_factory.mktemp("db") / "t.db")
    with sarn.record(db_path=path, config={"threading": True}, save=False) as recording:
        recorded_program()
    return bytes(recording.profiler.build_trace())


def test_a_recorded_document_reads_and_renders_alike(recorded, monkeypatch):
    views = {
        "records": records_of(recorded),
        "show": lambda: terminal.render(recorded, summary=True, depth=3, children=2),
        "show --all": lambda: terminal.render(recorded, summary=True, width=60, color=True),
        "filter": lambda: terminal.render(recorded, filter="take"),
        "chrome": lambda: "".join(chrome.json_chunks(recorded)),
        "json": lambda: _written(json_document.write_json, recorded),
    }
    for name, read in views.items():
        native, reference = native_and_msgpack(monkeypatch, read)
        assert native == reference, name
        assert native[0] != "damaged"


def _written(write, data):
    out = io.StringIO()
    write(data, out)
    return out.getvalue()


def test_records_across_reads_of_the_stored_file(monkeypatch):
    # Reads come 1 MiB at a time: records cross from one read to the next.
    builder = DocumentBuilder()
    for index in range(3000):
        builder.call("app.step", arguments={"data": "x" * (index * 37 % 9000)})
        builder.ret(index)
    data = builder.pack()
    assert len(data) > 2 << 20
    native, reference = native_and_msgpack(monkeypatch, lambda: list(document.iter_document(io.BytesIO(data))))
    assert native == reference and len(native) == 6003


@pytest.fixture(scope="module")
def small():
    builder = DocumentBuilder()
    builder.call("app.main", path="app.py:1", arguments={"n": 1})
    builder.interest("start_test", test_name="t")
    builder.call("app.inner", path="app.py:5", thread_id=7, thread="other")
    builder.raise_("ValueError('x')", thread_id=7, thread="other")
    builder.ret(0)
    return builder.pack()


# msgpack's own unpacker leaks the containers it was building when it meets
# damaged bytes, too deep a nesting or an unhashable key (its C stack of
# half-made objects is not freed on error), which the leak checker of the
# sanitizer run reports; the comparisons run in every other run.
leaks_in_msgpack = pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                                      reason="msgpack leaks the objects it was building when it fails")


@leaks_in_msgpack
def test_every_cut_and_every_damaged_byte_gives_the_same_outcome(small, monkeypatch):
    for end in range(len(small)):
        native, reference = native_and_msgpack(monkeypatch, records_of(small[:end]))
        assert native == reference and native[0] == "damaged", end
    for at in range(len(small)):
        # No array32 head (0xdd): from a damaged count msgpack makes a list of
        # up to four billion slots and leaks it when the data runs out, which
        # reserves tens of gigabytes of address space for the rest of the run.
        for byte in (0x00, 0x7f, 0x90, 0xa3, 0xc1, 0xc3, 0xc7, 0xcb, 0xd4, 0xdf, 0xff):
            damaged = small[:at] + bytes([byte]) + small[at + 1:]
            native, reference = native_and_msgpack(monkeypatch, records_of(damaged))
            assert native == reference, (at, byte)


# Records that only the msgpack reader may decode or judge, each among good ones.
ODD_RECORDS = {
    "extension type": {"type": "frame", "arg": msgpack.ExtType(5, b"ab")},
    "timestamp extension": {"type": "frame", "arg": msgpack.Timestamp(1, 2)},
    "deep nesting": {"type": "frame", "arg": [[[[[[[[[[[[[[[[[[[[]]]]]]]]]]]]]]]]]]]] * 1},
    "a boolean timestamp": {"type": "frame", "timestamp": True},
    "an integer type": {"type": 3},
    "a site of the wrong type": {"type": "frame", "user_code_call_site": {"call_frame_id": 4}},
    "a frame field of the wrong type": {"type": "frame", "event": ["call"]},
    "non-text keys": {1: 2, None: 3, b"k": 4, 1.5: 5, True: 6},
    "invalid UTF-8": None,  # made below
    "float32 and extreme integers": {"type": "frame", "a": 2**64 - 1, "b": -2**63, "c": 0.0},
    "a record that is a list": [1, 2],
}


def _packed_records(record):
    good = {"type": "frame", "event": "call", "frame_id": "f1", "qualname": "a.b", "timestamp": 1.0}
    return msgpack.packb({"frames_of_interest": [good, record, good], "main_thread_id": 1}, use_bin_type=True)


@pytest.mark.parametrize("name", sorted(ODD_RECORDS))
def test_odd_records_read_as_msgpack_reads_them(name, monkeypatch):
    data = _packed_records(ODD_RECORDS[name])
    if name == "invalid UTF-8":
        data = _packed_records({"type": "frame", "path": "\u00e9t\u00e9"}).replace("\u00e9".encode(), b"\xc3(")
    if name == "float32 and extreme integers":
        data = data.replace(b"\xcb" + bytes(8), b"\xca" + bytes(4))
    native, reference = native_and_msgpack(monkeypatch, records_of(data))
    assert native == reference


@leaks_in_msgpack
def test_nesting_beyond_the_native_limit_and_unhashable_keys_are_left_to_msgpack(monkeypatch):
    deep = _packed_records({"type": "frame", "arg": "DEEP"}).replace(b"\xa4DEEP", b"\x91" * 2000 + b"\x90")
    unhashable = _packed_records({"type": "frame"}).replace(b"\xa4type", b"\x91\x01", 1)
    huge_count = _packed_records({"type": "frame"}).replace(b"\x81\xa4type", b"\xdf\x7f\xff\xff\xff\xa4type", 1)
    for data in (deep, unhashable, huge_count):
        native, reference = native_and_msgpack(monkeypatch, records_of(data))
        assert native == reference


def test_a_batch_stops_before_a_value_left_to_python():
    from sarn._serialize import unpack_records

    values = [{"a": 1}, {"type": "frame", "frame_id": "x"}, msgpack.ExtType(1, b""), {"b": 2}]
    data = b"".join(msgpack.packb(value, use_bin_type=True) for value in values)
    records, end = unpack_records(data, 0, 10)
    assert records == values[:2] and data[end:].startswith(msgpack.packb(values[2]))
    assert unpack_records(data, 0, 1) == ([values[0]], len(msgpack.packb(values[0])))
    assert unpack_records(data[:-1], end + 3, 10) == ([], end + 3)  # ends past the data
