"""Text that comes from a recorded program is shown escaped: it cannot drive
the terminal that `sarn show` or `sarn traces` prints to."""

import re

import msgpack
import pytest

from sarn import cli, db, viewer
from sarn.serialize import TAG

HOSTILE = "\x1b]0;pwned\x07\x1b[2J\r\x9b31m\u202e"
# Anything a terminal acts on, but the newlines between lines.
UNSAFE = re.compile("[\x00-\x09\x0b-\x1f\x7f-\x9f\u202e]")


def hostile_document(builder):
    builder.call("app." + HOSTILE, path="app" + HOSTILE + ".py:1", thread="worker" + HOSTILE,
                 value={TAG: "object", "type": "app.Evil", "repr": HOSTILE}, **{"key" + HOSTILE: 1})
    builder.ret({TAG: "object", "type": "app.Evil", "repr": "<Evil " + HOSTILE + ">"})
    document = msgpack.unpackb(builder.pack(), raw=False, strict_map_key=False)
    document["command_line_args"] = ["app.py", HOSTILE]
    return msgpack.packb(document, use_bin_type=True)


@pytest.mark.parametrize("color", [False, True])
def test_show_escapes_what_the_program_wrote(builder, color):
    text = viewer.render(hostile_document(builder), color=color)
    if color:  # the viewer's own colours are the only escape sequences left
        text = re.sub("\x1b\\[[0-9;]*m", "", text)
    assert not UNSAFE.search(text), text
    assert "\\x1b]0;pwned\\x07\\x1b[2J\\r\\x9b31m\\u202e" in text


def test_traces_escapes_labels(builder, db_path, capsys):
    db.save_trace_in_sqlite(db_path, "trc_01SAFE000000000000000000000", timeout=5,
                            msgpack=hostile_document(builder))
    assert cli.main(["traces", "--db", db_path]) == 0
    out = capsys.readouterr().out
    assert not UNSAFE.search(out), out
