"""Child processes of a recorded program record themselves: each saves traces
of its own, linked to its parent's, into the same database."""

import os
import sqlite3
import subprocess
import sys
import time

import msgpack
import pytest

from sarn import db
from sarn.integrations import children

pytestmark = pytest.mark.slow

HELPER = """\
def greet(name):
    return "hello " + name
"""

POOL = """\
import multiprocessing, sys

def square(n):
    return n * n

def main(method):
    with multiprocessing.get_context(method).Pool(2) as pool:
        print(pool.map(square, [2, 3, 4]))

if __name__ == "__main__":
    main(sys.argv[1])
"""

EXECUTOR = """\
import multiprocessing, sys
from concurrent.futures import ProcessPoolExecutor

def square(n):
    return n * n

def total(numbers):
    return sum(square(n) for n in numbers)

def main(method):
    with ProcessPoolExecutor(1, mp_context=multiprocessing.get_context(method)) as executor:
        print(executor.submit(total, [1, 2]).result(), list(executor.map(square, [5])))

if __name__ == "__main__":
    main(sys.argv[1])
"""

SUBPROCESS = """\
import subprocess, sys

def main():
    subprocess.run([sys.executable, "-c", "import helper; helper.greet('child')" + sys.argv[1]], check=False)

main()
"""

KILLED = """\
import os, signal
from concurrent.futures import ProcessPoolExecutor
from concurrent.futures.process import BrokenProcessPool

def square(n):
    return n * n

def die(n):
    square(n)
    os.kill(os.getpid(), signal.SIGKILL)

def main():
    with ProcessPoolExecutor(1) as executor:
        print(executor.submit(square, 7).result())
        try:
            executor.submit(die, 8).result()
        except BrokenProcessPool:
            print("broken")

if __name__ == "__main__":
    main()
"""

FORKED = """\
import os

def child_work():
    return "child"

def main():
    pid = os.fork()
    if pid == 0:
        child_work()
        os._exit(0)
    os.waitpid(pid, 0)

main()
"""

PARENT_FIRST = """\
import subprocess, sys

def main():
    subprocess.Popen([sys.executable, "-c", "import time, helper; time.sleep(1); helper.greet('late')"],
                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

main()
"""


def environment():
    env = dict(os.environ, PYTHONPATH="")
    env.pop(children.ENVIRONMENT_VARIABLE, None)
    return env


def sarn(folder, *arguments, check=True):
    done = subprocess.run([sys.executable, "-m", "sarn"] + list(arguments), cwd=folder, env=environment(),
                          capture_output=True, text=True, timeout=120)
    if check:
        assert done.returncode == 0, done.stderr
    return done


def run(folder, source, *arguments, check=True):
    (folder / "program.py").write_text(source)
    (folder / "helper.py").write_text(HELPER)
    return sarn(folder, "run", "program.py", *arguments, check=check)


def database(folder):
    return str(folder / ".sarn" / "db.sqlite3")


def family(folder):
    """(the parent trace, its child traces): TraceInfo rows."""
    infos = db.list_traces(database(folder))
    parents = [info for info in infos if db.parent_of(info) is None]
    assert len(parents) == 1, [(info.label, info.meta) for info in infos]
    return parents[0], [info for _, info in db.descendants(infos, parents[0].id)]


def calls(folder, info, path=None):
    """{function name: [arguments of each call]} recorded in a trace."""
    document = msgpack.unpackb(db.load_trace(path or database(folder), info.id), raw=False, strict_map_key=False)
    records = list(document["frames_of_interest"])
    for thread in document["frames"].values():
        records.extend(thread)
    found = {}
    for record in records:
        if record["type"] == "frame" and record["event"] == "call":
            found.setdefault(record["co_name"], []).append(record["locals"])
    return found


@pytest.mark.parametrize("method", ["fork", "spawn", "forkserver"])
def test_a_pool_map_saves_one_trace_per_task(tmp_path, method):
    done = run(tmp_path, POOL, method)
    assert done.stdout == "[4, 9, 16]\n"
    parent, tasks = family(tmp_path)
    assert "3 child traces" in done.stderr
    assert sorted(calls(tmp_path, task)["square"][0]["n"] for task in tasks) == [2, 3, 4]
    for task in tasks:
        assert set(calls(tmp_path, task)) == {"square"}  # the task alone, not the worker's life
        assert task.label == "task square"
        assert task.meta["parent"] == parent.id
        assert task.meta["started_by"]["function"] == "main"
        assert task.meta["started_by"]["path"].endswith("program.py")
    assert "square" not in calls(tmp_path, parent)


@pytest.mark.parametrize("method", ["fork", "spawn"])
def test_a_process_pool_executor_saves_one_trace_per_task(tmp_path, method):
    done = run(tmp_path, EXECUTOR, method)
    assert done.stdout == "5 [25]\n"
    parent, tasks = family(tmp_path)
    by_label = {task.label: calls(tmp_path, task) for task in tasks}
    assert set(by_label) == {"task total", "task square"}
    assert by_label["task total"]["total"] == [{"numbers": [1, 2]}]
    assert [c["n"] for c in by_label["task total"]["square"]] == [1, 2]
    assert [c["n"] for c in by_label["task square"]["square"]] == [5]
    assert {task.meta["parent"] for task in tasks} == {parent.id}


@pytest.mark.parametrize("ending", ["", "; import os; os._exit(3)", "; import sys; sys.exit(4)"])
def test_a_python_subprocess_records_itself_however_it_ends(tmp_path, ending):
    run(tmp_path, SUBPROCESS, ending)
    parent, (child,) = family(tmp_path)
    assert calls(tmp_path, child)["greet"] == [{"name": "child"}]
    assert child.meta["parent"] == parent.id and child.meta["started_by"]["function"] == "main"
    assert child.label.startswith("python -c")
    assert "greet" not in calls(tmp_path, parent)


def test_a_child_killed_mid_task_loses_that_task_only(tmp_path):
    done = run(tmp_path, KILLED)
    assert done.stdout == "49\nbroken\n"
    parent, tasks = family(tmp_path)
    assert [calls(tmp_path, task)["square"] for task in tasks] == [[{"n": 7}]]
    assert calls(tmp_path, parent)["main"]
    connection = sqlite3.connect(database(tmp_path))
    try:
        assert connection.execute("PRAGMA integrity_check").fetchone() == ("ok",)
    finally:
        connection.close()


def test_a_forked_child_that_calls_os_exit_saves_its_trace(tmp_path):
    run(tmp_path, FORKED)
    parent, (child,) = family(tmp_path)
    assert "child_work" in calls(tmp_path, child) and "child_work" not in calls(tmp_path, parent)
    assert child.meta["started_by"]["function"] == "main" and child.label == "fork of program.py"


def test_a_child_outliving_its_parent_saves_later_without_being_waited_for(tmp_path):
    started = time.monotonic()
    run(tmp_path, PARENT_FIRST)
    assert time.monotonic() - started < 30
    assert len(db.list_traces(database(tmp_path))) == 1  # the parent's, saved at once
    deadline = time.monotonic() + 30
    while len(db.list_traces(database(tmp_path))) < 2 and time.monotonic() < deadline:
        time.sleep(0.1)
    parent, (child,) = family(tmp_path)
    assert calls(tmp_path, child)["greet"] == [{"name": "late"}]


def test_show_and_traces_tree_list_the_family(tmp_path):
    run(tmp_path, POOL, "fork")
    parent, tasks = family(tmp_path)
    shown = sarn(tmp_path, "show", parent.id, "--no-pager", "--color", "never").stdout
    listing = shown[shown.index("child processes: 3 traces"):].splitlines()
    assert listing[1].startswith("  started by main (program.py:")
    assert sorted(line.split()[0] for line in listing[2:]) == sorted(task.id for task in tasks)
    tree = sarn(tmp_path, "traces", "--tree").stdout.splitlines()
    assert tree[1].startswith(parent.id)
    assert sorted(line.split()[0] for line in tree[2:]) == sorted(task.id for task in tasks)
    assert all(line.startswith("  trc_") for line in tree[2:])
    task = sarn(tmp_path, "show", tasks[0].id, "--no-pager", "--color", "never").stdout.splitlines()
    assert task[1].startswith("child of %s, started by main (program.py:" % parent.id)


def test_no_children_records_the_parent_only_and_leaves_the_environment_alone(tmp_path):
    source = SUBPROCESS.replace("helper.greet('child')\"", "helper.greet('child'); import os; "
                                "print(os.environ.get('%s'))\"" % children.ENVIRONMENT_VARIABLE)
    (tmp_path / "program.py").write_text(source)
    (tmp_path / "helper.py").write_text(HELPER)
    done = sarn(tmp_path, "run", "--no-children", "program.py", "")
    assert done.stdout == "None\n"
    assert [info.source for info in db.list_traces(database(tmp_path))] == ["run"]


RECORD_BLOCK = """\
import os, subprocess, sys
import sarn

with sarn.record(db_path="traces.sqlite3", children=True) as recording:
    subprocess.run([sys.executable, "-c", "import helper; helper.greet('block')"])
print(recording.trace_id, os.environ.get("%s"))
""" % children.ENVIRONMENT_VARIABLE


def test_a_recorded_block_with_children_links_them_and_restores_the_environment(tmp_path):
    (tmp_path / "helper.py").write_text(HELPER)
    done = subprocess.run([sys.executable, "-c", RECORD_BLOCK], cwd=tmp_path, env=environment(),
                          capture_output=True, text=True, timeout=60)
    trace_id, variable = done.stdout.split()
    assert variable == "None", done.stderr
    (child,) = [info for info in db.list_traces(str(tmp_path / "traces.sqlite3")) if db.parent_of(info)]
    assert child.meta["parent"] == trace_id


def test_the_start_up_hook_costs_nothing_when_not_asked():
    # The .pth line runs in every interpreter of this environment.
    done = subprocess.run([sys.executable, "-c", "import sys; print('sarn' in sys.modules)"],
                          env=environment(), capture_output=True, text=True, timeout=60)
    assert done.stdout == "False\n"


def _info(trace_id, parent=None):
    meta = None if parent is None else {"parent": parent}
    return db.TraceInfo(trace_id, 0.0, float(trace_id[-1]), "run", trace_id, 1, 1, 1, 1, meta, None, None)


@pytest.mark.parametrize("infos, root, expected", [
    ([_info("a1"), _info("b2", "a1"), _info("c3", "b2"), _info("d4", "a1")], "a1",
     [(1, "b2"), (2, "c3"), (1, "d4")]),
    ([_info("a1"), _info("b2", "c3"), _info("c3", "b2")], "b2", [(1, "c3")]),  # damaged meta: a loop
    ([_info("a1"), _info("b2", "x9")], "a1", []),
])
def test_descendants_are_listed_depth_first(infos, root, expected):
    assert [(depth, info.id) for depth, info in db.descendants(infos, root)] == expected


NESTED = """\
import subprocess, sys

def main():
    subprocess.run([sys.executable, "-m", "sarn", "run", "--db", "inner.sqlite3", "inner.py"], check=True)

main()
"""


def test_a_child_that_runs_sarn_itself_records_into_its_own_database(tmp_path):
    (tmp_path / "inner.py").write_text("import helper\nhelper.greet('inner')\n")
    done = run(tmp_path, NESTED)
    assert "recorded inner.py into inner.sqlite3" in done.stderr
    (inner,) = db.list_traces(str(tmp_path / "inner.sqlite3"))
    assert calls(tmp_path, inner, str(tmp_path / "inner.sqlite3"))["greet"] == [{"name": "inner"}]
    assert inner.source == "run" and db.parent_of(inner) is None


PROCESS = """\
import multiprocessing, sys

def work(n):
    return n * 2

def main(method):
    process = multiprocessing.get_context(method).Process(target=work, args=(21,))
    process.start()
    process.join()

if __name__ == "__main__":
    main(sys.argv[1])
"""


@pytest.mark.parametrize("method", ["fork", "spawn"])
def test_a_multiprocessing_process_records_its_run(tmp_path, method):
    run(tmp_path, PROCESS, method)
    parent, (child,) = family(tmp_path)
    assert calls(tmp_path, child)["work"] == [{"n": 21}]
    assert child.label.endswith("Process-1: work") and child.meta["started_by"]["function"] == "main"
