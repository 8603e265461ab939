"""`sarn export --json` through the native writer gives what the writer in Python gives."""

import io
import math

import msgpack
import pytest

from sarn.web import json_document
from test_document_reader import leaks_in_msgpack
from test_native_show import _built, record_shop

pytestmark = pytest.mark.skipif(json_document._JsonPass is None, reason="built without the native extension")

INDENTS = [None, 2, 4, 0]


def _written(data, indent=None):
    out = io.StringIO()
    json_document.write_json(data, out, indent=indent)
    return out.getvalue()


def _both(data, indent=None):
    native = _written(data, indent)
    saved = json_document._JsonPass
    json_document._JsonPass = None
    try:
        python = _written(data, indent)
    finally:
        json_document._JsonPass = saved
    return native, python


@pytest.fixture(scope="module")
def recorded(tmp_path_factory):
    return record_shop(tmp_path_factory.mktemp("native-json"))


@pytest.mark.parametrize("indent", INDENTS)
def test_a_recorded_program_is_written_alike(recorded, indent):
    native, python = _both(recorded, indent)
    assert native == python
    assert '"frames": {' in native and '"thread": "worker"' in native


@pytest.mark.parametrize("indent", INDENTS)
@pytest.mark.parametrize("form", ["dict", "bytes"])
def test_plugin_records_and_odd_frames_are_written_alike(indent, form):
    document = _built()
    data = document if form == "dict" else msgpack.packb(document, use_bin_type=True)
    native, python = _both(data, indent)
    assert native == python
    assert "sql_query" in native


ODD_VALUES = [
    "quote \" backslash \\ newline \n tab \t bell \x07 del \x7f",
    "\u00e9t\u00e9 \u2603 \U0001f600 \u202e",
    b"\x00\x01binary\xff",
    {b"raw key": 1, 2: "two", -3: "minus", None: "none"},
    {1: "int first", "1": "then its text"},
    {True: "bool key"},
    {1.5: "float key"},
    {"k%d" % index: index for index in range(40)},
    dict([("k%d" % index, index) for index in range(20)] + [(5, "x"), ("5", "y")]),
    [float("nan"), float("inf"), float("-inf"), 0.1, 1e16, -0.0, 1.0, 2.5e-300],
    [1e-4, 9.999e-5, -1e-4, 123456789.123456, 1e15 + 0.3, 9999999999999998.0, 5e-324, 1765000000.1234567, 1 / 3],
    [2 ** 64 - 1, -(2 ** 63), 0, -1, 127, 128],
    [[], {}, [[]], {"a": {}}],
    msgpack.ExtType(5, b"ab"),
    [True, False, None],
]


@pytest.mark.parametrize("indent", INDENTS)
@pytest.mark.parametrize("value", ODD_VALUES, ids=range(len(ODD_VALUES)))
def test_odd_values_are_written_alike(indent, value):
    document = _built()
    document["frames_of_interest"][3]["arg"] = value
    document["frames_of_interest"][4]["locals"] = {"value": value, "other": [value, {"inner": value}]}
    native, python = _both(msgpack.packb(document, use_bin_type=True), indent)
    assert native == python


def test_texts_that_are_not_utf8_are_written_alike():
    """A text of bytes that are not UTF-8 reads as the replacement
    character, as a key and as a value; so does a cut sequence."""
    document = _built()
    document["frames_of_interest"][3]["arg"] = "@@v1@@"
    document["frames_of_interest"][3]["locals"] = {"@@k1@@": "@@v2@@"}
    data = msgpack.packb(document, use_bin_type=True)
    for marker, raw in [(b"@@v1@@", b"a\xffb\xc3(z"), (b"@@k1@@", b"\xed\xa0\x80x!?"),
                        (b"@@v2@@", b"ok\xf0\x9f\x98.")]:
        assert len(raw) == len(marker)  # the text's header stays right
        data = data.replace(marker, raw)
    native, python = _both(data)
    assert native == python
    assert "\ufffd" in native


def test_deep_values_are_written_alike():
    deep = "end"
    for _ in range(400):
        deep = [deep]
    document = _built()
    document["frames_of_interest"][3]["arg"] = deep
    for indent in (None, 2):
        native, python = _both(msgpack.packb(document, use_bin_type=True), indent)
        assert native == python


def test_records_split_across_reads_are_written_alike():
    data = msgpack.packb(_built(), use_bin_type=True)

    class Trickle:
        def __init__(self):
            self.at = 0

        def read(self, size=-1):
            chunk = data[self.at:self.at + 97]
            self.at += len(chunk)
            return chunk

    native = _written(Trickle(), 2)
    assert native == _both(data, 2)[1]


def test_a_big_list_is_written_in_pieces():
    document = _built()
    record = document["frames_of_interest"][3]
    document["frames_of_interest"] = [dict(record, arg="x" * 500, frame_id=str(index)) for index in range(5000)]
    pieces = []

    class Out:
        def write(self, text):
            pieces.append(text)

    json_document.write_json(msgpack.packb(document, use_bin_type=True), Out())
    assert len(pieces) > 3
    assert max(len(piece) for piece in pieces) < 3 << 20
    assert "".join(pieces) == _both(msgpack.packb(document, use_bin_type=True))[1]


def _error_of(data):
    try:
        _written(data)
    except Exception as error:  # whatever the reader raises, both ways
        return "%s: %s" % (type(error).__name__, error)
    return None


@pytest.mark.parametrize(
    "record",
    [
        {"type": "frame", "event": "call", "frame_id": 7},
        {"type": "frame", "event": "call", "qualname": ["a"]},
        {"type": "start_test", "timestamp": "soon"},
        {"type": "frame", "user_code_call_site": {"call_frame_id": "x", "line_number": "12"}},
        "not a map",
    ],
)
def test_a_damaged_record_is_named_alike(record):
    document = _built()
    document["frames_of_interest"].insert(3, record)
    data = msgpack.packb(document, use_bin_type=True)
    native = _error_of(data)
    saved = json_document._JsonPass
    json_document._JsonPass = None
    try:
        python = _error_of(data)
    finally:
        json_document._JsonPass = saved
    assert native == python
    assert native is not None and "frames_of_interest[3]" in native


@leaks_in_msgpack
def test_a_value_keyed_by_a_list_is_named_alike():
    """A list as a map key deep in a value: the Python reader judges it."""
    document = _built()
    data = msgpack.packb(document, use_bin_type=True)
    record = msgpack.packb({"type": "frame", "locals": {"@@": 1}}, use_bin_type=True)
    bad = record.replace(b"\xa2@@", b"\x91\x01")  # the key becomes [1]
    document["frames_of_interest"].insert(3, "@@record@@")
    data = msgpack.packb(document, use_bin_type=True).replace(msgpack.packb("@@record@@"), bad)
    saved = json_document._JsonPass
    errors = []
    for native in (saved, None):
        json_document._JsonPass = native
        try:
            errors.append(_error_of(data))
        finally:
            json_document._JsonPass = saved
    assert errors[0] == errors[1] and errors[0] is not None


def test_the_text_is_json():
    import json

    native, _ = _both(msgpack.packb(_built(), use_bin_type=True), 2)
    loaded = json.loads(native)
    assert loaded["frames_of_interest"][3]["type"] == "frame"
    assert not math.isnan(loaded["timestamp"])


@pytest.mark.parametrize("indent", [0, -2, 2000, "2", 1.5])
def test_the_native_writer_takes_only_the_indents_it_writes(indent):
    """Other indents go to the writer in Python, which json.dumps judges."""
    with pytest.raises((TypeError, ValueError)):
        json_document._JsonPass(io.StringIO().write, indent, None)
    assert json_document._native_pass(io.StringIO(), indent, None) is None


def test_a_failing_output_stops_the_writer():
    class Full:
        def write(self, text):
            if len(text) > 1000:
                raise OSError(28, "No space left on device")

    document = _built()
    record = document["frames_of_interest"][3]
    document["frames_of_interest"] = [dict(record, arg="y" * 900, frame_id=str(index)) for index in range(3000)]
    with pytest.raises(OSError, match="No space left"):
        json_document.write_json(msgpack.packb(document, use_bin_type=True), Full())
