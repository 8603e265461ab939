"""The call reader that sarn diff and sarn find read documents with, and the
call index that lets sarn find leave traces unread."""

import io
import json
import sqlite3
from types import SimpleNamespace

import msgpack
import pytest

from host_support import DocumentBuilder
from sarn import db
from sarn.web import document
from sarn.web.compare import search
from sarn.web.compare.calls import read_threads
from sarn.web.compare import index as call_index
from sarn.web.compare.index import CallIndex, index_document, text_digest
from sarn.web.compare.where import compile_bounds

native = pytest.mark.skipif(document._unpack_calls is None, reason="built without the native extension")


class Cart:
    def __init__(self, owner):
        self.owner = owner


def sample():
    """Calls of every shape the reader meets: nested, on two threads,
    raising, a plugin's record, a class body and locals of odd forms."""
    builder = DocumentBuilder()
    builder.call("app.main", path="app.py:1", line=7, arguments={"n": 1, "cart": Cart("ann")})
    for n in (0, 300, -70000, 2**40, 1.5):
        builder.call("app.step", path="app.py:20", arguments={"n": n, "text": "x" * 80, "big": 2**70})
        builder.ret(n)
    builder.call("app.fail", path="app.py:30", arguments={"key": "tea"})
    builder.raise_(KeyError("tea"))
    builder.interest("start_test", test_name="t", duration=3)
    builder.call("app.inner", path="app.py:5", thread_id=7, thread="other", arguments={"x": None})
    builder.ret(True, thread_id=7)
    builder.call("Body", path="app.py:40")
    builder.ret(None)
    builder.main[-1]["qualname"] = "app.Body"
    builder.ret(0)
    data = builder.document()
    frame = dict(data["frames_of_interest"][1])
    odd = [dict(frame, locals={"__sarn__": "object", "repr": "<X>"}), dict(frame, locals={1: "a", "b": 2}),
           dict(frame, locals=[1, 2]), dict(frame, locals=None, user_code_call_site=None)]
    for number, record in enumerate(odd):
        del record["arg"]
        record["frame_id"] = "odd%d" % number  # calls the recording ended inside
    data["frames_of_interest"][2:2] = odd
    return msgpack.packb(data, use_bin_type=True)


def call_records(data):
    return [item for kind, _, item in document.iter_document(io.BytesIO(data), calls=True) if kind == "record"]


@native
def test_the_native_call_reader_gives_what_the_python_one_gives(monkeypatch):
    data = sample()
    fast = call_records(data)
    with monkeypatch.context() as patch:
        patch.setattr(document, "_unpack_records", None)
        reference = call_records(data)
    assert fast == reference
    assert [type(item) for item in fast].count(tuple) == len(fast) - 2  # the exception and the plugin's record
    # Values are their MessagePack bytes, decoded only when asked for.
    main = next(item for item in fast if type(item) is tuple and item[2] == "app.main")
    assert main[10] == (("n", b"\x01"), ("cart", main[10][1][1]))
    assert document.unpack_value(main[10][1][1])["attrs"]["owner"] == "ann"


def _trees(threads):
    def walk(calls):
        return [(call.name, call.site, call.args, call.result, call.raised, call.duration, call.index, call.end,
                 walk(call.children)) for call in calls]
    return [(thread.name, walk(thread.roots)) for thread in threads]


@native
@pytest.mark.parametrize("ignore, keep_locals", [((), False), (("text", "owner"), True)])
def test_call_trees_are_the_same_from_either_reader(monkeypatch, ignore, keep_locals):
    data = sample()
    fast, _ = read_threads(data, ignore, keep_locals=keep_locals)
    with monkeypatch.context() as patch:
        patch.setattr(document, "_unpack_records", None)
        reference, _ = read_threads(data, ignore, keep_locals=keep_locals)
    assert _trees(fast) == _trees(reference)
    main = next(thread for thread in fast if thread.name == "MainThread").roots[0]
    steps = [call for call in main.children if call.name == "app.step" and call.result is not None]
    assert [call.result[1] for call in steps] == ["0", "300", "-70000", "1099511627776", "1.5"]
    assert main.children[-1].name == "app.Body"  # named at its return


@native
@pytest.mark.parametrize("record", [
    {"type": "frame", "event": "call", "timestamp": True},
    {"type": "frame", "event": "call", "user_code_call_site": {"line_number": "7"}},
    {"type": "frame", "event": 3},
    {"type": "frame", "locals": {"a": msgpack.ExtType(1, b"x")}, "arg": msgpack.ExtType(2, b"")},
])
def test_records_the_native_reader_leaves_are_read_or_refused_alike(monkeypatch, record):
    data = msgpack.packb({"frames_of_interest": [record], "main_thread_id": 1}, use_bin_type=True)

    def outcome():
        try:
            return call_records(data)
        except document.TraceFormatError as error:
            return str(error)

    fast = outcome()
    with monkeypatch.context() as patch:
        patch.setattr(document, "_unpack_records", None)
        assert fast == outcome()


@pytest.mark.parametrize("value", [None, True, False, "", 0, 127, 128, 65536, 2**32, 2**64 - 1, -1, -32, -33,
                                   -2**15 - 1, -2**63, 1.5, -0.0, "text", [1, [2]], {"a": None}, b"\x00"])
def test_values_unpack_as_msgpack_unpacks_them(value):
    got = document.unpack_value(msgpack.packb(value, use_bin_type=True))
    assert got == value and type(got) is type(value)


@pytest.mark.parametrize("expression, may", [
    ("n == 5", True), ("n == 11", False), ("n > 10", False), ("n >= 10", True), ("3 > n", True),
    ("n < 0 or n == 7", True), ("n < 0 or n == 70", False), ("n == 5 and text == 'y'", True),
    ("n == 5 and missing == 1", False), ("text == 1", False), ("text != 1", True), ("text == 'y'", True),
    ("result == 99", True), ("not n == 99", True), ("n", True), ("0 < n < 100", True), ("flag == 1", True),
])
def test_bounds_rule_out_only_what_no_call_can_match(expression, may):
    bounds = {"n": [1.0, 10.0], "text": None, "flag": [0.0, 1.0]}
    assert compile_bounds(expression)(bounds) is may


# --------------------------------------------------------------------------
# Searching many traces


def trace(number):
    """Trace ``number``: calls of app.step with n from number to number + 4;
    trace 7 raises in one, trace 11 has one slow call, trace 13 passes
    another mode."""
    builder = DocumentBuilder(trace_id="trc_%04d" % number)
    builder.call("app.main", path="app.py:1", line=9)
    for n in range(number, number + 5):
        builder.call("app.step", path="app.py:20", arguments={"n": n, "label": "L%d" % n,
                                                              "mode": "slow" if number == 13 else "fast"})
        if number == 7 and n == 9:
            builder.raise_(KeyError("n"))
        else:
            builder.ret(n * 2, seconds=2.0 if (number, n) == (11, 12) else 0.001)
    builder.ret(None)
    return builder.pack()


TRACES = 30


@pytest.fixture
def many(tmp_path):
    path = str(tmp_path / "t.db")
    db.write_traces(path, [("trc_%04d" % number, trace(number)) for number in range(TRACES)], timeout=10)
    return path


def find(path, monkeypatch, pattern, **options):
    """The lines ``sarn find`` prints, and the traces it read."""
    opened = []
    real_open = db.open_trace

    def open_trace(db_path, trace_id, **named):
        opened.append(trace_id)
        return real_open(db_path, trace_id, **named)

    arguments = dict(pattern=pattern, where=None, raised=None, slower=None, trace=None, since=None, source=None,
                     limit=None)
    arguments.update(options)
    out = io.StringIO()
    monkeypatch.setattr(db, "open_trace", open_trace)
    code = search.run_find(path, SimpleNamespace(**arguments), out)
    monkeypatch.setattr(db, "open_trace", real_open)
    lines = [line.split("  ", 1)[0] + " " + line.rsplit("  ", 2)[-2] for line in out.getvalue().splitlines()[:-1]]
    return code, sorted(lines), sorted(set(opened))


QUERIES = [
    ("step", {"where": "n == 33"}, ["trc_0029 app.step(n=33, label='L33', mode='fast') -> 66"], ["trc_0029"]),
    ("app.step", {"where": "n > 31 and label == 'L32'"}, ["trc_0028 app.step(n=32, label='L32', mode='fast') -> 64",
                                                          "trc_0029 app.step(n=32, label='L32', mode='fast') -> 64"],
     ["trc_0028", "trc_0029"]),
    ("*.step", {"raised": "KeyError"}, ["trc_0007 app.step(n=9, label='L9', mode='fast') raised KeyError('n')"],
     ["trc_0007"]),
    ("step", {"slower": "1s"}, ["trc_0011 app.step(n=12, label='L12', mode='fast') -> 24"], ["trc_0011"]),
    ("nothing", {}, [], []),
    # The same values again and again: judged once, the outcome kept.
    ("step", {"where": "mode != 'fast' and result > 30"},
     ["trc_0013 app.step(n=%d, label='L%d', mode='slow') -> %d" % (n, n, 2 * n) for n in (16, 17)], ["trc_0013"]),
    ("main", {"where": "n == 3"}, [], []),
]


@pytest.mark.parametrize("pattern, options, lines, opened", QUERIES)
def test_a_search_reads_only_the_traces_its_index_cannot_rule_out(many, monkeypatch, pattern, options, lines,
                                                                    opened):
    code, found, read = find(many, monkeypatch, pattern, **options)
    assert (code, found, read) == (0 if lines else 1, lines, opened)


@pytest.mark.parametrize("pattern, options, lines, opened", QUERIES)
def test_traces_saved_without_an_index_are_read_then_indexed(tmp_path, monkeypatch, pattern, options, lines,
                                                               opened):
    path = str(tmp_path / "t.db")
    with monkeypatch.context() as patch:  # as traces saved before the index existed
        patch.setattr(db, "_call_rows", lambda document: None)
        db.write_traces(path, [("trc_%04d" % number, trace(number)) for number in range(TRACES)], timeout=10)
    assert not any(info.indexed for info in db.list_traces(path))
    first = find(path, monkeypatch, pattern, **options)
    assert first[:2] == (0 if lines else 1, lines) and len(first[2]) == TRACES
    assert all(info.indexed for info in db.list_traces(path))
    assert find(path, monkeypatch, pattern, **options) == (0 if lines else 1, lines, opened)


def test_an_older_database_is_searched_whole_then_migrated(many, monkeypatch):
    connection = sqlite3.connect(many)
    with connection:
        connection.execute("DROP TABLE trace_calls")
        try:
            connection.execute("ALTER TABLE traces DROP COLUMN indexed")
        except sqlite3.OperationalError:
            pytest.skip("this SQLite cannot drop a column")
        connection.execute("PRAGMA user_version = 5")
    connection.close()
    assert find(many, monkeypatch, "step", where="n == 33")[2] == ["trc_%04d" % n for n in range(TRACES)]
    assert find(many, monkeypatch, "step", where="n == 33")[1:] == (
        ["trc_0029 app.step(n=33, label='L33', mode='fast') -> 66"], ["trc_0029"])


def test_a_database_being_written_is_searched_and_indexed_later(tmp_path, monkeypatch):
    path = str(tmp_path / "t.db")
    with monkeypatch.context() as patch:
        patch.setattr(db, "_call_rows", lambda document: None)
        db.write_traces(path, [("trc_%04d" % number, trace(number)) for number in range(4)], timeout=10)
    monkeypatch.setattr(search, "INDEX_WAIT", 0.05)
    expected = ["trc_%04d app.step(n=5, label='L5', mode='fast') -> 10" % number for number in (1, 2, 3)]
    writer = sqlite3.connect(path, isolation_level=None)
    writer.execute("BEGIN IMMEDIATE")  # another save holds the write lock
    try:
        assert find(path, monkeypatch, "step", where="n == 5")[1:] == (expected, ["trc_%04d" % n for n in range(4)])
    finally:
        writer.execute("ROLLBACK")
        writer.close()
    assert not any(info.indexed for info in db.list_traces(path))
    find(path, monkeypatch, "step", where="n == 5")
    assert find(path, monkeypatch, "step", where="n == 5")[1:] == (expected, ["trc_0001", "trc_0002", "trc_0003"])


def test_the_index_of_a_trace(monkeypatch):
    rows = {row[0]: row[1:] for row in index_document(trace(7))}
    assert rows["app.main"][:3] == (1, pytest.approx(0.011, abs=1e-6), "[]")
    calls, slowest, raised, numbers, texts = rows["app.step"]
    assert (calls, raised) == (5, '["KeyError"]') and slowest == pytest.approx(0.001, abs=1e-6)
    assert numbers == '{"n": [7.0, 11.0], "label": null, "mode": null}'


def test_calls_whose_parameter_was_renamed_still_pair():
    from sarn.web.compare.align import Options, align_threads

    def run(name, values):
        builder = DocumentBuilder()
        builder.call("app.main", path="app.py:1", line=4)
        for value in values:
            builder.call("app.f", path="app.py:9", arguments={name: value})
            builder.ret(value)
        builder.ret(None)
        return read_threads(builder.pack())[0]

    (_, [main]), = align_threads(run("x", [1, 2, 3]), run("y", [1, 2, 4]), Options())
    assert all(pair.a is not None and pair.b is not None for pair in main.children)
    assert [[(change.kind, change.field) for change in pair.changes] for pair in main.children] == \
        [[("argument", "x"), ("argument", "y")]] * 2 + [[("argument", "x"), ("argument", "y"), ("result", None)]]


def test_values_read_again_are_those_of_the_decoded_records():
    from sarn.web.compare.detail import read_values

    data = sample()
    records = [item for kind, _, item in document.iter_document(data) if kind == "record"]
    wants = [(index, field, name) for index in range(len(records)) for field, name in
             (("locals", None), ("locals", "n"), ("locals", "cart"), ("locals", "absent"), ("arg", None))]
    expected = {}
    for index, field, name in wants:
        value = records[index].get(field)
        expected[(index, field, name)] = value.get(name) if name is not None and isinstance(value, dict) else value
    assert read_values(data, wants) == expected


# --------------------------------------------------------------------------
# Texts in the index


def texts_document():
    """Arguments of every kind the texts and numbers of the index meet: too
    many distinct texts, texts mixed with other values, an object, NaN,
    booleans, huge numbers, a text that is not UTF-8, one text written with a
    longer head than it needs; a call without frame id, a SystemExit(0)."""
    builder = DocumentBuilder()
    builder.call("app.main", path="app.py:1")
    for i in range(call_index.TEXT_LIMIT + 3):
        arguments = {"many": "m%d" % i, "few": ["a", "b", None, 3][i % 4], "obj": Cart("x") if i == 5 else "o",
                     "nan": float("nan") if i < 3 else i, "flag": i % 2 == 0, "huge": -2 ** 63 if i == 2 else i,
                     "edge": 2 ** 53 + (i == 1) if i < 2 else -2 ** 53,
                     "bad": "zz\u00e9" if i == 4 else "ok", "head": "abc"}
        builder.call("app.f", path="app.py:2", arguments=arguments)
        if i == 7:
            builder.raise_(SystemExit(0))
        elif i == 8:
            builder.raise_(ValueError("v"))
        else:
            builder.ret(i)
    builder.call("app.g", path="app.py:3", arguments={"s": "y"})
    builder.main[-1]["frame_id"] = None  # (and so its return record's)
    builder.raise_(KeyError("k"))
    builder.main[-1]["frame_id"] = None
    builder.ret(None)
    data = builder.pack()
    return data.replace(b"\xa4zz\xc3\xa9", b"\xa4zz\xff\xa9").replace(b"\xa3abc", b"\xd9\x03abc", 1)


def python_rows(data):
    index = CallIndex()
    for record in call_records(data):
        index.add(record)
    return index.rows()


@native
@pytest.mark.parametrize("make", [sample, lambda: trace(7), lambda: trace(13), texts_document])
def test_the_native_index_is_the_python_one(make):
    data = make()
    rows = index_document(data)
    assert rows and rows == python_rows(data)


def damaged(change):
    def make():
        data = msgpack.unpackb(trace(7), strict_map_key=False)
        change(data, data["frames_of_interest"])
        return msgpack.packb(data, use_bin_type=True)
    return make


@native
@pytest.mark.parametrize("make", [
    lambda: trace(7)[:-9],  # cut short
    damaged(lambda data, records: records[3].update(frame_id=7)),
    damaged(lambda data, records: records[3].update(timestamp=True)),
    damaged(lambda data, records: records[3].update(user_code_call_site=[1])),
    damaged(lambda data, records: records.insert(2, "not a record")),
    damaged(lambda data, records: data.update(frames={True: []})),
    damaged(lambda data, records: data.update(frames=[])),
    # Readable, but left to the Python reader by the native pass.
    damaged(lambda data, records: [record.update(frame_id="f\u00e9") for record in records[1:3]]),
    damaged(lambda data, records: records[1].update(locals={"n": {"__sarn__": "object", "repr": "<N>"}})),
    damaged(lambda data, records: data.update(frames={5: records[:2]}, frames_of_interest=records[2:])),
])
def test_the_native_index_refuses_what_the_python_reader_refuses(make):
    data = make()
    try:
        expected = python_rows(data)
    except document.TraceFormatError:
        with pytest.raises(document.TraceFormatError):
            index_document(data)
    else:
        assert index_document(data) == expected


def test_what_the_index_keeps_of_texts():
    rows = {row[0]: row[1:] for row in index_document(texts_document())}
    calls, _, raised, numbers, texts = rows["app.f"]
    assert (calls, raised) == (call_index.TEXT_LIMIT + 3, '["ValueError"]')
    numbers, texts = json.loads(numbers), json.loads(texts)
    assert texts["many"] is None and texts["obj"] is None and texts["bad"] is None
    assert texts["few"] == sorted(map(text_digest, "ab")) + [None]
    assert texts["head"] == [text_digest("abc")] and texts["nan"] == [None]
    assert numbers["nan"] == [3.0, 18.0] and numbers["flag"] == [0.0, 1.0] and numbers["few"] == [3.0, 3.0]
    assert numbers["huge"] == numbers["edge"] == [float("-inf"), float("inf")]
    assert rows["app.g"][2:] == ('["KeyError"]', '{"s": null}', json.dumps({"s": [text_digest("y")]}))


@pytest.mark.parametrize("expression, may", [
    ("s == 'y'", True), ("s == 'z'", False), ("'z' == s", False), ("s != 'y'", False), ("s != 'z'", True),
    ("mixed != 'y'", True), ("mixed == 'y'", True), ("mixed == 'q'", False), ("unknown == 'q'", True),
    ("missing == 'y'", False), ("missing != 'y'", False), ("s in ('a', 'y')", True), ("s in ['a', 3]", False),
    ("mixed in ('q', 3)", True), ("s not in ('a',)", True), ("'y' in s", True), ("s == b'y'", True),
    ("s == 'z' or n == 5", True), ("s == 'z' and n == 5", False), ("s == 'y' and n == 50", False),
])
def test_bounds_judge_texts_by_their_digests(expression, may):
    numbers = {"n": [1.0, 10.0], "s": None, "mixed": [3.0, 3.0], "unknown": None}
    texts = {"n": [None], "s": [text_digest("y")], "mixed": [text_digest("y"), None], "unknown": None}
    judge = compile_bounds(expression)
    assert judge(numbers, texts) is may
    assert judge(None, None) is True  # nothing known: every trace may match


TEXT_QUERIES = [
    ("label == 'L5'", ["trc_%04d" % n for n in range(1, 6)]),
    ("'L5' != label and label == 'L6'", ["trc_%04d" % n for n in range(2, 7)]),
    ("mode != 'fast'", ["trc_0013"]),
    ("label in ('L40', 'L2', 31)", ["trc_%04d" % n for n in range(0, 3)]),
    ("label in ('L40', 'L2') or n in ('x', 31)", ["trc_%04d" % n for n in (0, 1, 2, 27, 28, 29)]),
    ("label == 'nope' or n == 'L3'", []),
    ("mode == 'slow' and label == 'L2'", []),
]


@pytest.mark.parametrize("where, opened", TEXT_QUERIES)
def test_texts_judged_by_the_index_find_what_a_full_read_finds(tmp_path, many, monkeypatch, where, opened):
    with monkeypatch.context() as patch:
        patch.setattr(search.Query, "may_hold", lambda self, rows: True)
        whole = find(many, monkeypatch, "step", where=where)
    assert len(whole[2]) == TRACES
    assert find(many, monkeypatch, "step", where=where) == whole[:2] + (opened,)
    # Traces saved before the index, and with the index before it kept texts.
    older = str(tmp_path / "older.db")
    with monkeypatch.context() as patch:
        patch.setattr(db, "_call_rows", lambda document: None)
        db.write_traces(older, [("trc_%04d" % number, trace(number)) for number in range(TRACES)], timeout=10)
    assert find(older, monkeypatch, "step", where=where)[:2] == whole[:2]
    assert find(older, monkeypatch, "step", where=where) == whole[:2] + (opened,)
    connection = sqlite3.connect(many)
    with connection:
        connection.execute("UPDATE traces SET indexed = 1")
        connection.execute("UPDATE trace_calls SET texts = NULL")
    connection.close()
    assert find(many, monkeypatch, "step", where=where)[:2] == whole[:2]
    assert {info.indexed for info in db.list_traces(many)} == {db.INDEX_VERSION}
    assert find(many, monkeypatch, "step", where=where) == whole[:2] + (opened,)
