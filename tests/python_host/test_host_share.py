"""Sharing a trace as one file: sarn export -o trace.sarn, then sarn import."""

import hashlib
import json
import os
import sys

import pytest

from host_support import DocumentBuilder
from sarn import cli, db
from sarn.web.model import TraceModel

TRACE_ID = "trc_01TESTSHARED000000000000000"


def request_trace():
    """A web request: a label and facts beside the document, queries and a log record inside it."""
    builder = DocumentBuilder(trace_id=TRACE_ID, source="wsgi")
    builder.call("shop.views.basket", path="shop/views.py:3", arguments={"user": "ann", "items": [1, 2]})
    builder.operation("sql_query", "sql_query_end", end={"rowcount": 2}, sql="SELECT * FROM item", vendor="sqlite")
    builder.operation("log_record", level="INFO", levelno=20, logger="shop", message="basket shown")
    builder.ret({"total": 7.5, "note": b"\x00\xff"})
    return builder, {"label": "GET /basket", "meta": {"method": "GET", "status": 200, "duration": 0.012}}


def threaded_test_trace():
    """A test's trace with a worker thread, labelled by its test name."""
    builder = DocumentBuilder(trace_id=TRACE_ID, source="pytest")
    builder.interest("start_test", test_name="tests/test_a.py::test_b")
    builder.call("test_a.test_b")
    builder.call("worker.run", thread_id=7, thread="worker")
    builder.ret(float("nan"), thread_id=7)
    builder.ret(None)
    builder.interest("end_test", test_name="tests/test_a.py::test_b", outcome="passed", duration=0.002)
    return builder, {}


@pytest.fixture
def workdir(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    return tmp_path


def run_cli(capsys, *argv):
    code = cli.main(list(argv))
    out, err = capsys.readouterr()
    assert "Traceback" not in err
    return code, out, err


def fingerprint(path):
    """The database's bytes, or None when there is no file: what an import must leave alone."""
    if not os.path.exists(path):
        return None
    with open(path, "rb") as handle:
        return hashlib.sha256(handle.read()).hexdigest(), os.path.exists(path + "-journal")


def shown(capsys, path):
    code, out, _ = run_cli(capsys, "show", TRACE_ID, "--db", path, "--all", "--color", "never")
    assert code == 0
    return out


def page(path):
    return TraceModel(db.load_trace(path, TRACE_ID), db.get_trace_info(path, TRACE_ID)).page()


@pytest.fixture
def exported(workdir, capsys):
    """A request's trace stored in a.db and exported to t.sarn."""
    builder, facts = request_trace()
    db.save_trace_in_sqlite("a.db", TRACE_ID, timeout=5, msgpack=builder.pack(), **facts)
    code, _, err = run_cli(capsys, "export", TRACE_ID, "--db", "a.db", "-o", "t.sarn")
    assert code == 0 and "wrote trace %s to t.sarn" % TRACE_ID in err
    return workdir / "t.sarn"


@pytest.mark.parametrize("make", [request_trace, threaded_test_trace], ids=["request", "test"])
def test_a_trace_file_stores_the_same_trace_again(workdir, capsys, make):
    builder, facts = make()
    db.save_trace_in_sqlite("a.db", TRACE_ID, timeout=5, msgpack=builder.pack(), created=1_700_000_123.5, **facts)
    assert run_cli(capsys, "export", "latest", "--db", "a.db", "-o", "t.sarn")[0] == 0
    code, _, err = run_cli(capsys, "import", "t.sarn", "--db", "b.db")
    assert code == 0 and err == "sarn: stored t.sarn into b.db as %s\n" % TRACE_ID
    assert db.load_trace("b.db", TRACE_ID) == builder.pack()
    # Every listed fact, the label, request facts and save time included.
    assert db.get_trace_info("b.db", TRACE_ID) == db.get_trace_info("a.db", TRACE_ID)
    assert shown(capsys, "b.db") == shown(capsys, "a.db")
    assert page("b.db") == page("a.db")
    assert (workdir / "t.sarn").exists(), "a shared file is not removed"


def test_the_file_names_its_format_and_compresses_the_document(exported):
    with open(str(exported), "rb") as handle:
        assert handle.readline() == b"sarn-trace 1\n"
        header = json.loads(handle.readline())
        rest = handle.read()
    assert header["trace_id"] == TRACE_ID and header["label"] == "GET /basket"
    assert header["meta"]["status"] == 200 and header["codec"] == "zstd"
    assert rest[:4] == b"\x28\xb5\x2f\xfd"  # one Zstandard frame
    big = DocumentBuilder(trace_id=TRACE_ID)
    for number in range(2000):
        big.call("app.step", arguments={"number": number})
        big.ret(number)
    db.save_trace_in_sqlite("big.db", TRACE_ID, timeout=5, msgpack=big.pack())
    cli.main(["export", TRACE_ID, "--db", "big.db", "-o", "big.sarn"])
    assert os.path.getsize("big.sarn") * 10 < len(big.pack())


def test_importing_the_same_file_twice_keeps_one_trace(exported, capsys):
    before = fingerprint("a.db")
    code, _, err = run_cli(capsys, "import", str(exported), "--db", "a.db")
    assert code == 0 and "trace %s is already stored in a.db; nothing to do" % TRACE_ID in err
    assert fingerprint("a.db") == before
    assert [info.id for info in db.list_traces("a.db")] == [TRACE_ID]


def test_another_recording_under_the_same_id_is_replaced_only_when_asked(exported, capsys):
    other = DocumentBuilder(trace_id=TRACE_ID)
    other.call("app.other")
    other.ret(None)
    db.save_trace_in_sqlite("b.db", TRACE_ID, timeout=5, msgpack=other.pack())
    before = fingerprint("b.db")
    code, _, err = run_cli(capsys, "import", str(exported), "--db", "b.db")
    assert code == cli.EXIT_USAGE
    assert "another recording is stored as trace %s" % TRACE_ID in err and "--replace" in err
    assert fingerprint("b.db") == before
    code, _, _ = run_cli(capsys, "import", str(exported), "--db", "b.db", "--replace")
    assert code == 0 and db.load_trace("b.db", TRACE_ID) == db.load_trace("a.db", TRACE_ID)


def _rewrite_header(data, **changes):
    first, header, rest = data.split(b"\n", 2)
    fields = dict(json.loads(header), **changes)
    return first + b"\n" + json.dumps(fields).encode() + b"\n" + rest


def _swap_document(data):
    """A header of one trace before another trace's document."""
    other = DocumentBuilder(trace_id="trc_01TESTOTHER0000000000000000")
    import zstandard

    document = other.pack()
    first, header, _ = data.split(b"\n", 2)
    header = _rewrite_header(first + b"\n" + header + b"\n", size=len(document))
    return header + zstandard.ZstdCompressor().compress(document)


DAMAGES = {
    "cut in the document": (lambda data: data[:-20], "it ends before its document does"),
    "cut in the header": (lambda data: data[:30], "its header is cut short"),
    "a flipped byte": (lambda data: data[:-6] + bytes([data[-6] ^ 0x40]) + data[-5:],
                       "its compressed document cannot be read"),
    "a wrong checksum": (lambda data: data[:-1] + bytes([data[-1] ^ 1]), "doesn't match checksum"),
    "bytes after the document": (lambda data: data + b"more", "it holds more bytes after its document"),
    "a size too small": (lambda data: _rewrite_header(data, size=10), "longer than its header says"),
    "a size too large": (lambda data: _rewrite_header(data, size=10 ** 6), "shorter than its header says"),
    "an id of another trace": (_swap_document, "its header names trace"),
    "no trace id": (lambda data: _rewrite_header(data, trace_id=None), "'trace_id' is missing"),
    "a header that is not JSON": (lambda data: b"sarn-trace 1\n{not json\n" + data, "its header is not JSON"),
    "a newer format": (lambda data: b"sarn-trace 2" + data[12:], "format version 2, but this sarn reads versions 1 "
                                                                    "to 1: upgrade sarn"),
    "an unknown codec": (lambda data: _rewrite_header(data, codec="lz9"), "encoded as 'lz9'"),
    "no version": (lambda data: b"sarn-trace x\n", "names no format version"),
}
FOREIGN = {
    "empty": (b"", "is empty"),
    "noise": (bytes(range(1, 64)), "is not a sarn trace file"),
    "a database": (b"SQLite format 3\x00" + bytes(100), "is a trace database, not a trace file: read it with --db"),
    "a JSON export": (b'\n{"command_line_args": ["app.py"]}', "is a JSON export: it is for reading"),
    "an HTML export": (b"<!DOCTYPE html>\n<html>", "is an HTML export"),
    "a damaged kept document": (b"\x88\xa1x", "not a trace document"),
}


@pytest.mark.parametrize("database", ["fresh", "stored"])
@pytest.mark.parametrize("name", sorted(DAMAGES) + sorted(FOREIGN))
def test_a_damaged_or_foreign_file_is_refused_and_the_database_left_alone(exported, capsys, name, database):
    if name in DAMAGES:
        damage, message = DAMAGES[name]
        content = damage(exported.read_bytes())
    else:
        content, message = FOREIGN[name]
    (exported.parent / "bad.sarn").write_bytes(content)
    path = "a.db" if database == "stored" else "fresh.db"
    before = fingerprint(path)
    code, out, err = run_cli(capsys, "import", "bad.sarn", "--db", path)
    assert code == cli.EXIT_DB
    assert err.startswith("sarn: error: bad.sarn") and message in err and err.count("\n") == 1, err
    assert out == "" and fingerprint(path) == before
    assert (exported.parent / "bad.sarn").exists()


def test_one_bad_file_among_several_stops_no_other(exported, capsys):
    (exported.parent / "bad.sarn").write_bytes(b"nothing")
    code, _, err = run_cli(capsys, "import", "missing.sarn", "bad.sarn", str(exported), "--db", "b.db")
    assert code == cli.EXIT_USAGE  # the first failure's: a file that cannot be read
    lines = err.splitlines()
    assert lines[0].startswith("sarn: error: cannot read missing.sarn")
    assert lines[1] == "sarn: error: bad.sarn is not a sarn trace file"
    assert lines[2].startswith("sarn: stored")
    assert db.load_trace("b.db", TRACE_ID) == db.load_trace("a.db", TRACE_ID)


@pytest.mark.parametrize("argv, code, message", [
    (["-o", "x.json", "--format", "sarn", "--indent", "2"], cli.EXIT_USAGE, "--indent applies to the JSON formats"),
    (["--format", "sarn"], cli.EXIT_USAGE, "a trace file is binary: write it to a file with -o FILE"),
    (["-o", os.path.join("no", "such", "folder", "t.sarn")], cli.EXIT_USAGE, "cannot write no"),
])
def test_export_refusals(exported, capsys, monkeypatch, argv, code, message):
    monkeypatch.setattr(sys.stdout, "isatty", lambda: True, raising=False)
    result, out, err = run_cli(capsys, "export", TRACE_ID, "--db", "a.db", *argv)
    assert result == code and message in err and out == ""
    assert not [name for name in os.listdir(".") if name.endswith(".part")]


@pytest.mark.parametrize("argv, expected", [
    (["-o", "t.SARN"], "sarn"), (["-o", "t.html"], "html"), (["-o", "t.json"], "json"), ([], "json"),
    (["-o", "t.html", "--format", "json"], "json"), (["-o", "t.sarn", "--json"], "json"),
])
def test_the_output_s_suffix_chooses_the_format_unless_one_is_asked_for(exported, capsys, argv, expected):
    code, out, _ = run_cli(capsys, "export", TRACE_ID, "--db", "a.db", *argv)
    assert code == 0
    written = open(argv[1], "rb").read() if argv else out.encode()
    start = {"sarn": b"sarn-trace 1\n", "html": b"<!DOCTYPE html>", "json": b"{"}[expected]
    assert written.startswith(start)
