"""Damaged trace documents: `sarn show` and `sarn export` say what is wrong
and exit 5, whatever the damage."""

import io
import sqlite3

import msgpack
import pytest

from sarn import cli, db


def document_with(builder, damage):
    builder.call("app.main", path="app.py:1")
    builder.ret(0)
    document = msgpack.unpackb(builder.pack(), raw=False, strict_map_key=False)
    damage(document)
    return msgpack.packb(document, use_bin_type=True)


def first_record(document):
    return document["frames_of_interest"][0]


DAMAGES = {
    "frame id a list": (lambda d: first_record(d).update(frame_id=[1]), "frames_of_interest[0].frame_id is a list"),
    "call site a text": (lambda d: first_record(d).update(user_code_call_site="x"), "user_code_call_site is a str"),
    "caller id a map": (lambda d: first_record(d).update(user_code_call_site={"call_frame_id": {}}),
                        "call_frame_id is a dict"),
    "native id a text": (lambda d: first_record(d).update(thread_native_id="x"), "thread_native_id is a str"),
    "event a number": (lambda d: first_record(d).update(event=1), "event is an int"),
    "time a boolean": (lambda d: first_record(d).update(timestamp=True), "timestamp is a bool"),
    "thread name a number": (lambda d: d["frames_of_interest"][-1].update(thread=7), "frames_of_interest[1].thread"),
    "record a list": (lambda d: d["frames_of_interest"].append([]), "frames_of_interest[2] is a list"),
    "records a map": (lambda d: d.update(frames_of_interest={}), "frames_of_interest is a dict"),
    "threads a list": (lambda d: d.update(frames=[]), "frames is a list"),
}


@pytest.mark.parametrize("command", [["show", "latest"], ["export", "latest", "--json"],
                                     ["export", "latest", "--format", "chrome"]])
@pytest.mark.parametrize("blob, reason", [
    *[pytest.param(damage, reason, id=name) for name, (damage, reason) in DAMAGES.items()],
    pytest.param(b"", "not a trace document: ", id="empty"),
    pytest.param(b"\xc1", "not a trace document: ", id="reserved byte"),
    pytest.param(msgpack.packb([1]), "not a trace document: a list", id="not a map"),
])
def test_a_damaged_document_gives_exit_5_and_a_reason(builder, monkeypatch, capsys, command, blob, reason):
    if callable(blob):
        blob = document_with(builder, blob)
    monkeypatch.setattr(db, "open_trace", lambda *args, **kwargs: io.BytesIO(blob))
    assert cli.main(command) == cli.EXIT_DB == 5
    err = capsys.readouterr().err.strip()
    assert reason in err and len(err.splitlines()) == 1
    assert not err.endswith("document:")  # a reason is always given


@pytest.mark.parametrize("damage, reason", [("cut short", "it ends early"),
                                           ("start moved", "its listing says it started")])
def test_a_damaged_stored_trace_stops_its_trace_event_export_with_exit_5(builder, db_path, tmp_path, capsys, damage,
                                                                           reason):
    # The export reads the stored trace record by record: the damage shows only at the end.
    document = document_with(builder, lambda document: None)
    db.save_trace_in_sqlite(db_path, builder.trace_id, timeout=5,
                            msgpack=document[:-10] if damage == "cut short" else document)
    if damage == "start moved":
        with sqlite3.connect(db_path) as connection:
            connection.execute("UPDATE traces SET started = started + 1")
    out = tmp_path / "events.json"
    assert cli.main(["export", "latest", "--format", "chrome", "--db", db_path, "-o", str(out)]) == cli.EXIT_DB
    err = capsys.readouterr().err.strip()
    assert reason in err and len(err.splitlines()) == 1
    assert sorted(path.name for path in tmp_path.iterdir()) == ["store"]
