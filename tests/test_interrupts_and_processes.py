"""Interrupts and process events while recording: what must reach the program
does, and what was recorded is kept."""

import os
import re
import signal
import subprocess
import sys
import time

import msgpack
import pytest

from sarn import db
from core_support import frames, no_profile_left, plugins, record, sarn_log, serialiser, trace  # noqa: F401


def default_sigint():
    """A shell running the tests in the background ignores SIGINT, and a
    child that inherits that never raises KeyboardInterrupt: put it back."""
    signal.signal(signal.SIGINT, signal.SIG_DFL)


@pytest.fixture
def ctrl_c_handler():
    """Python's own SIGINT handler, whatever the test run was started with."""
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    signal.signal(signal.SIGINT, previous)


class Trigger:
    """A value whose serialisation raises the exception under test."""


class AsyncStop(BaseException):
    """Like a timeout that a test runner raises asynchronously: not an Exception."""


class CtrlC:
    """Stands for a real SIGINT: Python's own handler raises KeyboardInterrupt."""


def dump_raising(exception):
    def dump(value):
        values = value.values() if isinstance(value, dict) else [value]
        if any(isinstance(v, Trigger) for v in values):
            if exception is not CtrlC:
                raise exception
            os.kill(os.getpid(), signal.SIGINT)
            sum(range(100))  # the handler runs here, at the next bytecode
        return msgpack.packb(value, default=repr)
    return dump


def takes(value):
    return 1


def gives():
    return Trigger()


def after():
    return 2


@pytest.mark.parametrize("exception", [KeyboardInterrupt, CtrlC, SystemExit(3), AsyncStop])
@pytest.mark.parametrize("call", [lambda: takes(Trigger()), gives], ids=["at call", "at return"])
def test_exception_of_the_recorders_work_reaches_the_program(serialiser, sarn_log, ctrl_c_handler, exception, call):
    serialiser.dump = staticmethod(dump_raising(exception))
    caught = []

    def program():
        try:
            call()
        except BaseException as error:  # noqa: B902 - what reached the program
            caught.append(type(error))
        after()

    doc = trace(record(program))
    expected = {CtrlC: KeyboardInterrupt}.get(exception, exception)
    expected = expected if isinstance(expected, type) else type(expected)
    assert caught == [expected]
    assert sarn_log == []  # not reported as a failure of the recorder
    assert [r["event"] for r in frames(doc, "after")] == ["call", "return"]


def test_an_exception_of_the_recorders_work_is_still_reported(serialiser, sarn_log):
    serialiser.dump = staticmethod(dump_raising(ValueError("not the program's")))
    doc = trace(record(lambda: takes(Trigger()) + after()))
    assert [r.exc_info[0] for r in sarn_log] == [ValueError, ValueError]  # takes' call and return
    assert [r["event"] for r in frames(doc, "after")] == ["call", "return"]


FORKING = """\
import os, sys

def child_work():
    return "child"

def parent_work(status):
    return status

pid = os.fork()
if pid == 0:
    child_work()
    {child_exit}
_, status = os.waitpid(pid, 0)
parent_work(status)
"""


def forking_env(folder):
    """The environment of a program that forks. Under the leak checker of the
    sanitizer run, the locks that the interpreter makes anew in a forked
    child (and never frees) are not counted as leaks."""
    env = dict(os.environ, PYTHONPATH="")
    options = env.get("LSAN_OPTIONS", "")
    match = re.search(r"suppressions=([^:]*)", options)
    if match:
        extra = folder / "lsan-fork-suppressions.txt"
        extra.write_text(open(match.group(1)).read() + "leak:PyThread_allocate_lock\n")
        env["LSAN_OPTIONS"] = options.replace(match.group(0), "suppressions=%s" % extra)
    return env


@pytest.mark.slow
@pytest.mark.parametrize("child_exit", ["sys.exit(0)", "os._exit(0)"])
@pytest.mark.parametrize("options", [[], ["--no-children"]])
def test_a_forked_child_records_a_trace_of_its_own(tmp_path, child_exit, options):
    (tmp_path / "forking.py").write_text(FORKING.format(child_exit=child_exit))
    done = subprocess.run([sys.executable, "-m", "sarn", "run"] + options + ["forking.py"], cwd=tmp_path,
                          env=forking_env(tmp_path), capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    database = str(tmp_path / ".sarn" / "db.sqlite3")
    names = [{r["co_name"] for r in frames(msgpack.unpackb(db.load_trace(database, info.id), raw=False))}
             for info in db.list_traces(database)]
    parent = [n for n in names if "parent_work" in n]
    child = [n for n in names if "child_work" in n]
    assert len(parent) == 1 and "child_work" not in parent[0]
    # os._exit skips every exit handler: only a recording of children saves before it.
    assert len(child) == (1 if child_exit == "sys.exit(0)" or not options else 0)
    assert all("parent_work" not in n for n in child)


IMPORTS = """\
import os, sys, tempfile
import sarn
names = ["sarn.serialize", "logging", "inspect", "collections.abc", "sarn.db", "sarn.git", "sarn.version"]
with sarn.record(db_path=os.path.join(tempfile.mkdtemp(), "t.sqlite3")):
    missing = [n for n in names if n not in sys.modules]
print(missing)
"""


def test_recording_starts_with_what_it_uses_imported():
    # Threads that record while one of these is still being imported
    # elsewhere would find it half made in sys.modules.
    done = subprocess.run([sys.executable, "-c", IMPORTS], capture_output=True, text=True, timeout=60,
                          env=dict(os.environ, PYTHONPATH=""))
    assert done.stdout == "[]\n", done.stderr


LOOP = """\
import sys
import threading


class Busy:
    def __repr__(self):
        return str(sum(range(200)))


class Plain:
    pass


VALUES = {"int": 1, "str": "text", "plain": Plain(), "busy": Busy()}


def step(value):
    return value


def spin(value):
    while True:
        step(value)


def produce(value):
    while True:
        yield step(value)


def run(value, loop):
    if loop == "generator":
        for _ in produce(value):
            pass
    elif loop == "thread":  # the main thread waits while a thread loops
        worker = threading.Thread(target=spin, args=(value,), daemon=True)
        worker.start()
        print("running", flush=True)
        worker.join()
    spin(value)


if sys.argv[2] != "thread":
    print("running", flush=True)
run(VALUES[sys.argv[1]], sys.argv[2])
"""


def engine_options():
    return ["setprofile"] + (["monitoring"] if sys.version_info >= (3, 12) else [])


@pytest.mark.slow
@pytest.mark.parametrize("engine", engine_options())
@pytest.mark.parametrize("value, loop", [("int", "plain"), ("str", "plain"), ("plain", "plain"), ("busy", "plain"),
                                         ("int", "generator"), ("int", "thread"), ("busy", "thread")])
def test_ctrl_c_stops_a_recorded_loop_and_keeps_its_trace(tmp_path, value, loop, engine):
    (tmp_path / "loop.py").write_text(LOOP)
    env = dict(os.environ, PYTHONPATH="")
    # With call_user_repr a Busy value's repr is Python code the recorder
    # runs, where Ctrl-C then mostly lands; with the others nothing of
    # Python runs in the recorder's work.
    options = ["-c", "call_user_repr=true", "-c", 'engine="%s"' % engine]
    if loop == "thread":
        options.append("--threads")
        # The daemon thread, still running at exit, leaves the interpreter's
        # own start-up block of it behind, which a sanitizer run would report
        # (and exit 1 for).
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
    child = subprocess.Popen([sys.executable, "-m", "sarn", "run"] + options + ["loop.py", value, loop],
                             cwd=tmp_path, env=env, preexec_fn=default_sigint,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "running\n"
        time.sleep(0.3)  # well inside the loop
        child.send_signal(signal.SIGINT)
        try:
            child.wait(timeout=20)
        except subprocess.TimeoutExpired:
            pytest.fail("the recorded program went on after Ctrl-C")
        err = child.stderr.read()
    finally:
        child.kill()
        child.wait()
    assert child.returncode == 130, err
    assert "KeyboardInterrupt" in err and "Exception ignored" not in err
    traces = db.list_traces(str(tmp_path / ".sarn" / "db.sqlite3"))
    assert len(traces) == 1 and traces[0].frame_count > 1


@pytest.mark.slow
@pytest.mark.parametrize("raised, code", [("KeyboardInterrupt", 130), ("SystemExit(4)", 4)])
def test_an_exit_raised_by_a_recorded_values_repr_reaches_the_program(tmp_path, raised, code):
    (tmp_path / "app.py").write_text(
        "class Stop:\n    def __repr__(self):\n        raise %s\n\n"
        "def take(value):\n    return 1\n\ntake(Stop())\nprint('went on')\n" % raised)
    done = subprocess.run([sys.executable, "-m", "sarn", "run", "-c", "call_user_repr=true", "app.py"],
                          cwd=tmp_path, capture_output=True, text=True, timeout=60,
                          env=dict(os.environ, PYTHONPATH=""))
    assert (done.returncode, done.stdout) == (code, ""), done.stderr
    assert "recorded app.py" in done.stderr


@pytest.mark.slow
def test_sarn_run_says_when_the_program_replaced_the_profile_function(tmp_path):
    (tmp_path / "app.py").write_text("import sys\n\ndef work():\n    return 1\n\nwork()\nsys.setprofile(None)\nwork()\n")
    done = subprocess.run([sys.executable, "-m", "sarn", "run", "-c", "engine=setprofile", "app.py"], cwd=tmp_path,
                          capture_output=True, text=True, timeout=60, env=dict(os.environ, PYTHONPATH=""))
    assert done.returncode == 0, done.stderr
    assert "recording stopped early: the program replaced the profile function" in done.stderr
