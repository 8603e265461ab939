"""Programs no one here wrote, recorded: the test suites that pure-Python
projects ship inside their packages (run with ``pytest --sarn``) and the
interpreter's own regression tests (run with ``sarn run -m unittest``), each
with an include fragment that keeps the code under test. Recording must not
change a single outcome, and what it stores must read back."""

import json
import os
import re
import subprocess
import sys

import pytest

from sarn import db, viewer

# Run once per recording engine: through the profile function on the oldest
# supported interpreter, through sys.monitoring on the newest; each suite
# takes tens of seconds recorded.
ENGINE_INTERPRETERS = {(3, 8), (3, 13)}
pytestmark = pytest.mark.skipif(
    sys.version_info[:2] not in ENGINE_INTERPRETERS or "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="real suites are recorded on CPython 3.8 and 3.13 (one per engine), without the sanitizers")

# Writes each test's outcome, by node id, to the file named in SARN_OUTCOMES.
OUTCOME_PLUGIN = """\
import json, os

outcomes = {}

def pytest_runtest_logreport(report):
    if hasattr(report, "wasxfail"):
        outcome = "xpassed" if report.passed else "xfailed"
    elif report.failed:
        outcome = "failed" if report.when == "call" else "error"
    else:
        outcome = report.outcome
    if outcome != "passed" or report.when == "call":
        outcomes.setdefault(report.nodeid, outcome)

def pytest_sessionfinish(session):
    with open(os.environ["SARN_OUTCOMES"], "w") as out:
        json.dump(outcomes, out)
"""

# name: (pytest arguments, the include fragment of the project's own files).
# Each suite runs in a few seconds unrecorded. pyflakes' checker walks
# syntax trees through many small calls, each holding the whole checker
# (some 10 kB a record), so only its API tests are recorded; a few of them
# fail in any installed copy (they run a script that only its source tree
# has), which recording must not change either.
SUITES = {
    "toolz": (["--pyargs", "toolz"], "site-packages/toolz/"),
    # Less the test that decodes every character one by one: a trace of
    # 300 MB, a test of the viewer's bulk rather than of recording.
    "simplejson": (["--pyargs", "simplejson.tests", "-k", "not test_unicode_decode"], "site-packages/simplejson/"),
    "pyflakes": (["--pyargs", "pyflakes.test.test_api"], "site-packages/pyflakes/"),
}


def clean_env(**extra):
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PYTEST_", "SARN_", "COV_"))}
    env.pop("PYTHONPATH", None)
    env.update(extra)
    return env


def run_suite(tmp_path, name, recorded):
    arguments, fragment = SUITES[name]
    outcomes = tmp_path / ("%s-%s.json" % (name, "recorded" if recorded else "plain"))
    command = [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-p", "outcome_log",
               "--rootdir", str(tmp_path), "-c", str(tmp_path / "pytest.ini")] + arguments
    if recorded:
        command += ["--sarn", "--sarn-db", str(tmp_path / "traces.sqlite3"),
                    "--sarn-config", "filters.include_frames=" + fragment]
    done = subprocess.run(command, cwd=str(tmp_path), capture_output=True, text=True, timeout=600,
                          env=clean_env(PYTHONPATH=str(tmp_path), SARN_OUTCOMES=str(outcomes)))
    assert outcomes.exists(), done.stdout[-3000:] + done.stderr[-3000:]
    return done, json.loads(outcomes.read_text())


def check_stored(db_path, expected_labels, fragment):
    """Every stored document decodes, renders and exports; returns the number
    of kept frame records whose file holds `fragment`."""
    infos = db.list_traces(db_path)
    assert sorted(info.label for info in infos) == sorted(expected_labels)
    kept = 0
    for info in infos:
        document = viewer.decode_document(db.load_trace(db_path, info.id))
        assert viewer.render(document)
        json.loads(viewer.to_json(document))
        for _, _, records in viewer.thread_records(document):
            kept += sum(1 for r in records if r.get("type") == "frame" and fragment in r.get("path", ""))
    return kept


@pytest.mark.slow
@pytest.mark.parametrize("name", sorted(SUITES))
def test_a_projects_suite_recorded_has_the_same_outcomes(tmp_path, name):
    (tmp_path / "outcome_log.py").write_text(OUTCOME_PLUGIN)
    (tmp_path / "pytest.ini").write_text("[pytest]\n")
    plain_run, plain = run_suite(tmp_path, name, recorded=False)
    recorded_run, recorded = run_suite(tmp_path, name, recorded=True)
    assert len(plain) > 20 and "passed" in plain.values(), plain_run.stdout[-3000:]
    assert recorded == plain, recorded_run.stdout[-3000:] + recorded_run.stderr[-3000:]
    assert recorded_run.returncode == plain_run.returncode
    assert "%d test traces saved" % len(plain) in recorded_run.stdout
    assert "could not be saved" not in recorded_run.stdout
    # The project's code sits in site-packages: only the fragment keeps it.
    fragment = SUITES[name][1].split("/", 1)[1]
    assert check_stored(str(tmp_path / "traces.sqlite3"), plain, fragment) > len(plain)


# name: (unittest names, include fragment, extra `sarn run` options). The
# json tests leave out test_unicode, which decodes every character one by
# one (half a million frames, a trace of a gigabyte), and the pure-Python
# encoder's recursion tests: on 3.8 they nest a thousand generators, each
# resumed for every piece that the innermost yields, a million events.
GENERATORS = "test.test_generators."
STDLIB_SUITES = {
    "json": (["test.test_json." + name for name in ("test_decode", "test_recursion.TestCRecursion",
                                                     "test_scanstring", "test_fail", "test_enum", "test_speedups")],
             "json/", []),
    "dataclasses": (["test.test_dataclasses.TestCase"], "dataclasses.py", []),
    "functools": (["test.test_functools." + name for name in ("TestLRUPy", "TestPartialPy", "TestTotalOrdering")],
                  "functools.py", []),
    "generators": ([GENERATORS + name for name in ("FinalizationTest", "GeneratorTest", "ExceptionTest",
                                                    "YieldFromTests")], "test_generators.py", []),
    "threads": (["test.test_threading_local"], "threading", ["--threads"]),
    "asyncio": (["test.test_asyncio.test_locks"], "asyncio/locks.py", []),
    # A SIGINT that arrives just before a generator is resumed is raised in
    # the innermost generator, as unrecorded, although the recorder's own
    # Python work at the resume (a repr) runs the signal handler first.
    "signal at resume": ([GENERATORS + "SignalAndYieldFromTest"], "test_generators.py", []),
}

RAN = re.compile(r"^Ran (\d+) tests? in [\d.]+s$", re.M)


def unittest_outcome(stderr):
    """The count of tests run and unittest's verdict line."""
    ran = RAN.findall(stderr)
    verdict = [line for line in stderr.splitlines() if re.match(r"^(OK|FAILED)\b", line)]
    return ran, verdict


@pytest.mark.slow
@pytest.mark.parametrize("suite", STDLIB_SUITES.values(), ids=list(STDLIB_SUITES))
def test_the_interpreters_own_tests_recorded_have_the_same_outcome(tmp_path, suite):
    names, fragment, options = suite
    try:
        __import__(names[0].rsplit(".", 1)[0] if names[0].rsplit(".", 1)[1][0].isupper() else names[0])
    except ImportError as error:
        pytest.skip("this interpreter lacks its regression tests (%s)" % error)
    unittest = ["-m", "unittest"] + names
    plain = subprocess.run([sys.executable] + unittest, cwd=str(tmp_path), capture_output=True,
                           text=True, timeout=600, env=clean_env())
    db_path = str(tmp_path / "traces.sqlite3")
    recorded = subprocess.run([sys.executable, "-m", "sarn", "run", "--db", db_path,
                               "-c", "filters.include_frames=" + fragment] + options + unittest,
                              cwd=str(tmp_path), capture_output=True, text=True, timeout=600, env=clean_env())
    ran, verdict = unittest_outcome(plain.stderr)
    assert ran and verdict, plain.stderr[-3000:]
    assert (recorded.returncode, unittest_outcome(recorded.stderr)) == (plain.returncode, (ran, verdict)), \
        recorded.stderr[-3000:]
    [info] = db.list_traces(db_path)
    assert "as %s (" % info.id in recorded.stderr, recorded.stderr[-500:]
    document = viewer.decode_document(db.load_trace(db_path, info.id))
    assert viewer.render(document)
    kept = [r for _, _, records in viewer.thread_records(document) for r in records
            if r.get("type") == "frame" and fragment in r.get("path", "")]
    assert kept, "no frame of %s was kept" % fragment
    if "--threads" in options:
        assert len(viewer.thread_records(document)) > 1
