"""Code that bends the interpreter's usual shapes: recording keeps its frames,
and failure reports stay bounded."""

import os
import subprocess
import sys

import pytest

from core_support import frames, no_profile_left, plugins, record, sarn_log, serialiser, trace  # noqa: F401

GENERATED = """\
class Box:
    def open(self):
        return 1

def inner(secret):
    return Box().open()

inner("hunter2")
"""


def run_generated(namespace):
    exec(compile(GENERATED, "gen_code.py", "exec"), namespace)


@pytest.mark.parametrize("namespace, module", [({}, None), ({"__name__": "gen"}, "gen")],
                         ids=["bare globals", "named globals"])
def test_code_run_with_bare_globals_keeps_its_frames(plugins, sarn_log, namespace, module):
    doc = trace(record(lambda: run_generated(namespace)))
    names = [(r["co_name"], r["qualname"]) for r in frames(doc)
             if r["event"] == "call" and r["path"].startswith("gen_code.py") and r["co_name"] != "Box"]
    prefix = module + "." if module else ""
    assert names == [("<module>", prefix + "<module>"), ("inner", prefix + "inner"),
                         ("open", prefix + "Box.open")]
    assert sarn_log == []


def test_a_failure_report_bounds_each_local(serialiser, sarn_log):
    def refuse_module_locals(value):
        if isinstance(value, dict) and "big" in value:
            raise ValueError("refused")
        return b"\xc0"

    serialiser.dump = refuse_module_locals
    record(lambda: run_generated({"big": "x" * 10_000}))
    [report] = [r for r in sarn_log if r.args[1] == "<module>"][:1]
    text = report.getMessage()
    assert text.startswith("Unexpected exception in the recording core (sarn._sarn).\n")
    assert "'__builtins__': <builtins>" in text
    assert "'big': '" + "x" * 199 + "..." in text and "x" * 300 not in text
    assert len(text) < 2000


RECURSING = {
    "method": """\
class Node:
    def down(self, n):
        return self.down(n + 1)
""",
    "failing values": """\
class Unprintable:
    def __repr__(self):
        raise ValueError("no repr")

class Node:
    def down(self, value):
        return self.down(value)
""",
    "C recursion": """\
import json

class Endless(json.JSONEncoder):
    def default(self, o):
        return [o]

class Node:
    def down(self, value):
        return Endless(check_circular=False).encode(5j)
""",
}

CATCHING = """
import logging, sys
logging.getLogger("sarn").disabled = True  # one report per event would flood the output
sys.setrecursionlimit({limit})
def attempt():
    try:
        Node().down({argument})
    except RecursionError:
        return "caught"
print([attempt() for _ in range(3)])
"""


# A limit raised far past the default: from 3.11 a call from Python to
# Python takes no machine stack, so only the recorder's own use of it (and
# the interpreter's guard of it from 3.14) stands between deep recursion and
# a crash.
RAISED_LIMIT = 30_000 if sys.version_info >= (3, 11) else 5_000


def run_python(tmp_path, *args):
    return subprocess.run([sys.executable, *args], cwd=tmp_path, capture_output=True, text=True, timeout=300,
                          env=dict(os.environ, PYTHONPATH=""))


@pytest.mark.slow
@pytest.mark.parametrize("limit", [1000, RAISED_LIMIT], ids=["default limit", "raised limit"])
@pytest.mark.parametrize("program", sorted(RECURSING))
def test_a_caught_recursion_error_goes_on_recorded(tmp_path, program, limit):
    argument = "Unprintable()" if program == "failing values" else "0"
    (tmp_path / "deep.py").write_text(RECURSING[program] + CATCHING.format(argument=argument, limit=limit))
    if limit != 1000 and run_python(tmp_path, "deep.py").returncode != 0:
        pytest.skip("this interpreter cannot run the program unrecorded")
    done = run_python(tmp_path, "-m", "sarn", "run", "deep.py")
    assert (done.returncode, done.stdout) == (0, "['caught', 'caught', 'caught']\n"), done.stderr[-2000:]
    assert "recorded deep.py" in done.stderr
