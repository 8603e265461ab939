"""Storage faults: a failed or refused save loses nothing stored before it,
and keeps what it could not store."""

import os
import sqlite3
import subprocess
import sys

import msgpack
import pytest

from sarn import cli, db

FILL = """\
import os, resource, sys
import msgpack
from sarn import db
path = sys.argv[1]
limit = int(sys.argv[2])
resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
document = msgpack.packb({"trace_id": "trc_02", "frames_of_interest": [], "frames": {}, "pad": os.urandom(5_000_000)})
try:
    db.save_trace_in_sqlite(path, "trc_01BIG0000000000000000000000", timeout=5, msgpack=document)
except db.SarnDbError as error:
    print("refused:", error)
"""


def small_document(trace_id="trc_01SMALL00000000000000000000"):
    return msgpack.packb({"trace_id": trace_id, "frames_of_interest": [], "frames": {}})


@pytest.mark.slow
def test_readers_work_after_a_save_that_failed_on_a_full_disk(db_path):
    db.save_trace_in_sqlite(db_path, "trc_01SMALL00000000000000000000", timeout=5, msgpack=small_document())
    limit = os.path.getsize(db_path) + 50_000  # the next save runs out of room half way
    done = subprocess.run([sys.executable, "-c", FILL, db_path, str(limit)], capture_output=True, text=True,
                          timeout=60)
    assert done.stdout.startswith("refused:"), done.stderr
    assert [t.id for t in db.list_traces(db_path)] == ["trc_01SMALL00000000000000000000"]
    assert db.load_trace(db_path, "trc_01SMALL00000000000000000000") == small_document()


@pytest.mark.slow
def test_a_locked_database_keeps_the_trace_aside_for_import(tmp_path, capsys):
    (tmp_path / "app.py").write_text("def work():\n    return 1\n\nwork()\n")
    database = tmp_path / ".sarn" / "db.sqlite3"
    db.save_trace_in_sqlite(str(database), "trc_01SMALL00000000000000000000", timeout=5, msgpack=small_document())
    lock = sqlite3.connect(str(database), isolation_level=None)
    lock.execute("BEGIN EXCLUSIVE")
    try:
        done = subprocess.run([sys.executable, "-m", "sarn", "run", "-c", "sqlite_busy_timeout=0", "app.py"],
                              cwd=tmp_path, capture_output=True, text=True, timeout=60,
                              env=dict(os.environ, PYTHONPATH=""))
    finally:
        lock.execute("ROLLBACK")
        lock.close()
    assert done.returncode == cli.EXIT_DB, done.stderr
    [kept] = (tmp_path / ".sarn" / "unsaved").iterdir()
    assert "sarn import " + os.path.join(".sarn", "unsaved", kept.name) in done.stderr

    assert cli.main(["import", str(kept), "--db", str(database)]) == 0
    assert not kept.exists()
    stored = {t.id for t in db.list_traces(str(database))}
    assert stored == {"trc_01SMALL00000000000000000000", kept.stem}
