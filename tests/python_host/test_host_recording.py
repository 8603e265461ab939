"""End to end through the native core: sarn run, sarn.record and pytest --sarn."""

import os
import re
import subprocess
import sys
import textwrap

import msgpack
import pytest

pytest.importorskip("sarn._sarn")

from sarn import db, viewer  # noqa: E402
from sarn.web.model import TraceModel  # noqa: E402

PROGRAM = {
    "app.py": """
        import sys
        import threading

        from shop import Cart, parse_quantity, restock


        def worker(cart):
            cart.add("tea", 1)


        def main():
            cart = Cart("ann")
            cart.add("cake", parse_quantity("2"))
            cart.add("jam", parse_quantity("lots"))
            thread = threading.Thread(target=worker, args=(cart,), name="courier")
            thread.start()
            thread.join()
            low = list(restock({"tea": 1, "cake": 9}))
            print("items", cart.count(), "low", low)
            return 0


        if __name__ == "__main__":
            sys.exit(main())
    """,
    "shop.py": """
        class Cart:
            def __init__(self, owner):
                self.owner = owner
                self.lines = []

            def add(self, name, quantity):
                self.lines.append((name, quantity))
                return len(self.lines)

            def count(self):
                return sum(quantity for _, quantity in self.lines)


        def parse_quantity(text):
            try:
                return int(text)
            except ValueError:
                return 1


        def restock(stock):
            for name, left in stock.items():
                if left < 3:
                    yield name
    """,
}


def write_program(folder, files):
    for name, text in files.items():
        (folder / name).write_text(textwrap.dedent(text))


def sarn(args, cwd, **options):
    return subprocess.run(
        [sys.executable, "-m", "sarn"] + list(args), cwd=str(cwd),
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300, **options
    )


def python(args, cwd):
    return subprocess.run([sys.executable] + list(args), cwd=str(cwd), stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300)


def all_records(document):
    records = list(document["frames_of_interest"])
    for thread_records in document["frames"].values():
        records.extend(thread_records)
    return records


def calls(document):
    return [record["qualname"] for record in all_records(document) if record["type"] == "frame" and record["event"] == "call"]


@pytest.fixture
def program(tmp_path):
    write_program(tmp_path, PROGRAM)
    return tmp_path


def test_run_behaves_like_python_and_saves_the_trace(program):
    plain = python(["app.py"], program)
    recorded = sarn(["run", "--threads", "app.py"], program)
    assert recorded.returncode == plain.returncode == 0
    assert recorded.stdout == plain.stdout
    *program_err, summary = recorded.stderr.decode().splitlines()
    assert program_err == plain.stderr.decode().splitlines()
    assert summary.startswith("sarn: recorded app.py into .sarn")
    trace_id = summary.split(" as ")[1].split()[0]
    document = msgpack.unpackb(db.load_trace(str(program / ".sarn" / "db.sqlite3"), trace_id), strict_map_key=False)
    assert document["trace_id"] == trace_id
    assert document["command_line_args"] == ["app.py"]
    assert document["meta"]["source"] == "run"
    names = calls(document)
    for expected in ("__main__.main", "shop.Cart.add", "shop.parse_quantity", "shop.restock", "__main__.worker"):
        assert expected in names, (expected, names)
    resumed = sum(1 for record in all_records(document) if record["type"] == "resumption")
    assert "%d frames" % (len(names) - resumed) in summary  # a resumed generator counts once
    assert not [name for name in names if name and name.startswith("sarn.")]
    assert [name for name in names if name and name.startswith("threading")] == []


def test_show_prints_the_call_tree(program):
    assert sarn(["run", "--threads", "app.py"], program).returncode == 0
    shown = sarn(["show", "latest", "--color", "never"], program)
    assert shown.returncode == 0
    lines = shown.stdout.decode().splitlines()

    def line(text):
        (found,) = [entry for entry in lines if text in entry]
        return found

    main = line("__main__.main()")
    parse = line("shop.parse_quantity(text='lots') -> 1")
    assert len(parse) - len(parse.lstrip()) == len(main) - len(main.lstrip()) + 2
    assert "-> 0" in main and "app.py:" in main
    assert line("thread courier")
    assert "name='tea', quantity=1" in line("shop.Cart.add(self=Cart(owner='ann', lines=[('cake', 2), ('jam', 1)]), name='tea'")


@pytest.mark.parametrize(
    "body, code",
    [
        ("raise ValueError('broken on purpose')", 1),
        ("import sys; sys.exit(7)", 7),
        ("import sys; sys.exit('leaving with a message')", 1),
        ("raise SystemExit", 0),
        ("def f():\n    return g()\ndef g():\n    raise KeyError('k')\nf()", 1),
    ],
)
def test_program_exits_and_crashes_are_the_programs_own(tmp_path, body, code):
    (tmp_path / "prog.py").write_text(body + "\n")
    plain = python(["prog.py"], tmp_path)
    recorded = sarn(["run", "prog.py"], tmp_path)
    assert recorded.returncode == plain.returncode == code
    *program_err, summary = recorded.stderr.decode().splitlines()
    assert program_err == plain.stderr.decode().splitlines()
    assert summary.startswith("sarn: recorded prog.py")
    assert db.count_traces(str(tmp_path / ".sarn" / "db.sqlite3")) == 1


def test_run_module_sets_main_and_argv(tmp_path):
    package = tmp_path / "tool"
    package.mkdir()
    (package / "__init__.py").write_text("")
    (package / "__main__.py").write_text("import sys\nprint(__name__, sys.argv[1:])\n")
    recorded = sarn(["run", "--db", "t.db", "-m", "tool", "x", "--flag"], tmp_path)
    assert recorded.returncode == 0
    assert recorded.stdout.decode().strip() == "__main__ ['x', '--flag']"
    assert "recorded -m tool into t.db" in recorded.stderr.decode()


@pytest.mark.parametrize("engine", ["monitoring", "setprofile", None])
def test_the_host_knows_the_engine_the_core_records_through(tmp_path, engine):
    from sarn.profiler import Profiler

    host = Profiler({} if engine is None else {"engine": engine}, str(tmp_path / "t.db"))
    if engine is None:
        del host.config["engine"]  # the core's own default
    host.start()
    try:
        hooked = sys.getprofile() is host.rust_profiler
    finally:
        host.stop(save=False)
    assert hooked == (engine != "monitoring" or sys.version_info < (3, 12))
    assert host.through_monitoring is not hooked


THREADS_PROGRAM = {
    "worker.py": """
        import threading


        def fetch(n):
            return n * 2


        def store(value):
            return [value]


        class ReportWorker(threading.Thread):
            def __init__(self, n):
                super().__init__(name="report")
                self.n = n

            def run(self):
                store(fetch(self.n))


        def deliver(k):
            return store(fetch(k))


        for thread in (ReportWorker(3), threading.Thread(target=deliver, args=(5,), name="courier")):
            thread.start()
            thread.join()
    """,
}


@pytest.mark.parametrize("engine", ["monitoring", "setprofile"])
def test_a_thread_started_while_recording_is_recorded_from_its_first_frame(tmp_path, engine):
    write_program(tmp_path, THREADS_PROGRAM)
    assert sarn(["run", "--threads", "--db", "t.db", "-c", "engine=" + engine, "worker.py"], tmp_path).returncode == 0
    [info] = db.list_traces(str(tmp_path / "t.db"))
    document = msgpack.unpackb(db.load_trace(str(tmp_path / "t.db"), info.id), strict_map_key=False)
    records = [r for r in all_records(document) if r["type"] == "frame"]
    for thread, first, argument in [("report", "__main__.ReportWorker.run", "self"), ("courier", "__main__.deliver", "k")]:
        mine = [r for r in records if r["thread"] == thread]
        assert [(r["qualname"], r["event"]) for r in mine] == [
            (first, "call"), ("__main__.fetch", "call"), ("__main__.fetch", "return"),
            ("__main__.store", "call"), ("__main__.store", "return"), (first, "return")]
        assert argument in mine[0]["locals"]
        # the calls nest under the thread's first frame
        assert {r["user_code_call_site"]["call_frame_id"] for r in mine[1:5]} == {mine[0]["frame_id"]}
    assert "entered before recording" not in viewer.render(db.load_trace(str(tmp_path / "t.db"), info.id))


def test_record_api_saves_a_trace(tmp_path):
    (tmp_path / "use_api.py").write_text(textwrap.dedent(
        """
        import sarn

        def square(value):
            return value * value

        @sarn.record(db_path="api.db")
        def decorated():
            return square(3)

        with sarn.record(db_path="api.db", source="block") as recording:
            square(2)
            try:
                with sarn.record(db_path="api.db"):
                    pass
            except sarn.profiler.RecordingError as error:
                print("nested refused")
        decorated()
        print(recording.trace_id)
        """
    ))
    done = python(["use_api.py"], tmp_path)
    assert done.returncode == 0, done.stderr.decode()
    refused, trace_id = done.stdout.decode().split("\n")[:2]
    assert refused == "nested refused"
    traces = db.list_traces(str(tmp_path / "api.db"))
    assert len(traces) == 2
    block = msgpack.unpackb(db.load_trace(str(tmp_path / "api.db"), trace_id), strict_map_key=False)
    assert block["meta"]["source"] == "block"
    assert calls(block) == ["__main__.square"]
    decorated = msgpack.unpackb(db.load_trace(str(tmp_path / "api.db"), "latest"), strict_map_key=False)
    assert calls(decorated) == ["__main__.decorated", "__main__.square"]


def test_a_recording_s_label_is_what_its_trace_is_listed_as(tmp_path):
    (tmp_path / "rec.py").write_text(textwrap.dedent(
        """
        import sarn

        def load(name):
            return name

        for label in ("nightly import", "retry"):
            with sarn.record(db_path="t.db", label=label):
                load(label)

        @sarn.record(db_path="t.db", label="decorated")
        def job():
            return load("job")

        job()
        with sarn.record(db_path="t.db"):
            load("plain")
        """
    ))
    done = python(["rec.py"], tmp_path)
    assert done.returncode == 0, done.stderr.decode()
    listed = sarn(["traces", "--db", "t.db"], tmp_path).stdout.decode().splitlines()[1:]
    assert [line.split("  ")[-1] for line in listed] == ["rec.py", "decorated", "retry", "nightly import"]
    from sarn.web.server import _listed

    page_list = [_listed(row)["what"] for row in db.list_traces(str(tmp_path / "t.db"))]
    assert page_list == ["rec.py", "decorated", "retry", "nightly import"]


SAMPLE_TESTS = """
    import pytest


    def double(value):
        return value * 2


    def triple(value):
        return value * 3


    @pytest.fixture
    def base():
        return double(5)


    def test_doubles(base):
        assert double(base) == 20


    def test_triples():
        assert triple(2) == 7


    @pytest.mark.parametrize("n", [1, 2])
    def test_param(n):
        assert triple(n) > 0
"""


def plugin_is_installed():
    """True when the package's pytest11 entry point is installed (it is not when
    the package is only on the import path)."""
    from importlib import metadata

    found = metadata.entry_points()
    group = found.select(group="pytest11") if hasattr(found, "select") else found.get("pytest11", [])
    return any(entry.value == "sarn.pytest_plugin" for entry in group)


def run_pytest(folder, *args):
    load = [] if plugin_is_installed() else ["-p", "sarn.pytest_plugin"]
    done = subprocess.run(
        [sys.executable, "-m", "pytest"] + load + ["-q", "-p", "no:cacheprovider"] + list(args),
        cwd=str(folder), stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300,
    )
    return done.returncode, done.stdout.decode() + done.stderr.decode()


def test_pytest_records_one_trace_per_test(tmp_path):
    (tmp_path / "test_sample.py").write_text(textwrap.dedent(SAMPLE_TESTS))
    code, output = run_pytest(tmp_path, "--sarn", "--sarn-db", "tests.db", "test_sample.py")
    assert code == 1, output
    assert "1 failed, 3 passed" in output
    assert "sarn: 4 test traces saved into tests.db" in output
    path = str(tmp_path / "tests.db")
    traces = {info.label: info for info in db.list_traces(path)}
    assert set(traces) == {
        "test_sample.py::test_doubles", "test_sample.py::test_triples",
        "test_sample.py::test_param[1]", "test_sample.py::test_param[2]",
    }
    expected_calls = {
        "test_sample.py::test_doubles": ["test_sample.base", "test_sample.double", "test_sample.test_doubles", "test_sample.double"],
        "test_sample.py::test_triples": ["test_sample.test_triples", "test_sample.triple"],
        "test_sample.py::test_param[1]": ["test_sample.test_param", "test_sample.triple"],
        "test_sample.py::test_param[2]": ["test_sample.test_param", "test_sample.triple"],
    }
    for label, info in traces.items():
        assert info.source == "pytest"
        document = msgpack.unpackb(db.load_trace(path, info.id), strict_map_key=False)
        records = all_records(document)
        kinds = [record["type"] for record in records if record["type"] != "frame"]
        # The failing test function ends by its AssertionError.
        raised = ["exception"] if label.endswith("test_triples") else []
        assert kinds == ["start_test", *raised, "end_test"], (label, kinds)
        assert records[0]["type"] == "start_test" and records[-1]["type"] == "end_test"
        assert records[0]["test_name"] == records[-1]["test_name"] == label
        assert records[-1]["outcome"] == ("failed" if label.endswith("test_triples") else "passed")
        assert [name for name in calls(document) if name and name.startswith("test_sample.")] == expected_calls[label]
    failed = viewer.render(db.load_trace(path, traces["test_sample.py::test_triples"].id))
    assert "end_test test_sample.py::test_triples failed" in failed
    # The list of traces says each test's outcome and duration.
    assert {label: info.meta["outcome"] for label, info in traces.items()} == {
        label: "failed" if label.endswith("test_triples") else "passed" for label in traces}
    assert all(isinstance(info.meta["duration"], float) for info in traces.values())
    listed = subprocess.run([sys.executable, "-m", "sarn", "traces", "--db", path], stdout=subprocess.PIPE,
                            universal_newlines=True, check=True).stdout
    assert re.search(r"test_sample.py::test_triples  failed  \d+(\.\d+)? (us|ms|s)$", listed, re.M), listed
    # Each trace starts when its test starts, after the test before it ended.
    documents = [msgpack.unpackb(db.load_trace(path, info.id), strict_map_key=False) for info in traces.values()]
    documents.sort(key=lambda document: document["timestamp"])
    for before, document in zip([None] + documents, documents):
        assert document["timestamp"] <= document["frames_of_interest"][0]["timestamp"]
        if before is not None:
            assert before["frames_of_interest"][-1]["timestamp"] <= document["timestamp"]
    assert sorted(info.started for info in traces.values()) == [document["timestamp"] for document in documents]


DISPLACING_TESTS = """
    import cProfile
    import sys


    def helper(value):
        return value


    def test_first():
        helper(1)
        {displace}
        helper(2)


    def test_second():
        assert helper(3) == 3
"""

DISPLACE = {
    "cProfile": "profile = cProfile.Profile(); profile.enable(); profile.disable()",
    "setprofile": "sys.setprofile(None)",
}


@pytest.mark.parametrize("how", sorted(DISPLACE))
def test_pytest_records_the_tests_after_one_that_replaces_the_profile_function(tmp_path, how):
    (tmp_path / "test_displace.py").write_text(textwrap.dedent(DISPLACING_TESTS).format(displace=DISPLACE[how]))
    code, output = run_pytest(tmp_path, "--sarn", "--sarn-db", "t.db", "test_displace.py")
    assert code == 0, output
    assert "sarn: 2 test traces saved into t.db" in output
    traces = {info.label: info for info in db.list_traces(str(tmp_path / "t.db"))}
    first, second = [
        msgpack.unpackb(db.load_trace(str(tmp_path / "t.db"), traces["test_displace.py::" + name].id), strict_map_key=False)
        for name in ("test_first", "test_second")
    ]
    assert calls(second) == ["test_displace.test_second", "test_displace.helper"]
    assert calls(first)[:2] == ["test_displace.test_first", "test_displace.helper"]
    # From 3.12 sarn records through sys.monitoring, which neither displaces.
    displaced = sys.version_info < (3, 12)
    assert ("test_displace.py::test_first" in output.split("cut short")[-1]) == displaced, output


SLOW_EXAMPLES = """
import time

from hypothesis import Phase, given, settings, strategies


def slow(x):
    time.sleep(0.15)  # past the test's own deadline
    return x


@settings(max_examples=1, deadline=100, derandomize=True, database=None, phases=[Phase.generate])
@given(strategies.integers())
def test_slow(x):
    assert slow(x) == x
"""


@pytest.mark.parametrize("relax, outcome", [([], "1 passed"), (["--sarn-config", "relax_deadlines=false"], "1 failed")])
def test_pytest_relaxes_hypothesis_deadlines_unless_told_not_to(tmp_path, relax, outcome):
    pytest.importorskip("hypothesis")
    (tmp_path / "test_slow.py").write_text(SLOW_EXAMPLES)
    code, output = run_pytest(tmp_path, "--sarn", "--sarn-db", "t.db", *relax, "test_slow.py")
    assert outcome in output, output
    told = "sarn: hypothesis deadlines are off while recording (relax_deadlines = false keeps them)"
    assert (told in output) == (not relax)


@pytest.mark.parametrize("args, code, message", [
    (["--sarn-config", "filters.ignore_frames=test_conf.py", "--sarn-config", "threading=true"], 0,
     "sarn: 1 test trace saved into t.db"),
    (["--sarn-config", "bogus=1"], 4, "unknown key 'bogus'"),
    (["--sarn-config", "threading"], 4, "a setting is written KEY=VALUE, not 'threading'"),
    (["--sarn-db", "folder"], 0, "sarn: 1 test trace could not be saved into folder\nsarn: cannot open database"),
])
def test_pytest_settings_and_summary(tmp_path, args, code, message):
    (tmp_path / "test_conf.py").write_text("def double(x):\n    return 2 * x\n\ndef test_x():\n    assert double(1) == 2\n")
    (tmp_path / "folder").mkdir()
    done, output = run_pytest(tmp_path, "--sarn", "--sarn-db", "t.db", *args, "test_conf.py")
    assert done == code and message in output, output
    assert ("saved into" in output.replace("could not be saved into", "")) == os.path.exists(tmp_path / "t.db")
    if os.path.exists(tmp_path / "t.db"):
        [info] = db.list_traces(str(tmp_path / "t.db"))
        assert (info.label, info.frame_count) == ("test_conf.py::test_x", 0)


RUNNER_TESTS = """
    import sys
    import unittest


    def helper():
        return 1


    def test_restores_the_profile_function():
        old = sys.getprofile()
        sys.setprofile(None)
        sys.setprofile(old)
        assert helper() == 1


    class Case(unittest.TestCase):
        def test_one(self):
            self.assertEqual(helper(), 1)
"""


def test_pytest_recording_survives_a_restored_profile_function_and_leaves_the_runner_out(tmp_path):
    (tmp_path / "test_sample.py").write_text(textwrap.dedent(RUNNER_TESTS))
    code, output = run_pytest(tmp_path, "--sarn", "--sarn-db", "tests.db", "test_sample.py")
    assert code == 0 and "2 passed" in output, output
    path = str(tmp_path / "tests.db")
    traces = {info.label: db.load_trace(path, info.id) for info in db.list_traces(path)}
    assert set(traces) == {"test_sample.py::test_restores_the_profile_function", "test_sample.py::Case::test_one"}
    for label, data in traces.items():
        records = all_records(msgpack.unpackb(data, strict_map_key=False))
        assert [r["type"] for r in records if r["type"] != "frame"] == ["start_test", "end_test"], label
        assert "test_sample.helper" in [r["qualname"] for r in records if r["type"] == "frame"], label
    # A test case's `self` leads to unittest's and pytest's objects, which
    # are shown by type and repr only.
    case = traces["test_sample.py::Case::test_one"]
    record = next(r for r in all_records(msgpack.unpackb(case, strict_map_key=False)) if r.get("co_name") == "test_one")
    assert record["locals"]["self"]["attrs"]["_testMethodName"] == "test_one"
    assert "attrs" not in record["locals"]["self"]["attrs"]["_outcome"]
    assert len(case) < 16_000


def test_a_frame_that_ends_by_an_exception_is_recorded_and_shown_so(tmp_path):
    (tmp_path / "raises.py").write_text(textwrap.dedent(
        """
        import sarn

        def lookup(name):
            return {"ann": 1}[name]

        def main():
            try:
                lookup("nobody")
            except KeyError:
                pass
            return lookup("ann")

        with sarn.record(db_path="t.db"):
            main()
        """
    ))
    done = python(["raises.py"], tmp_path)
    assert done.returncode == 0, done.stderr.decode()
    path = str(tmp_path / "t.db")
    document = msgpack.unpackb(db.load_trace(path, "latest"), strict_map_key=False)
    records = document["frames_of_interest"]
    kinds = [(r["type"], r.get("event"), r.get("co_name")) for r in records]
    assert kinds == [("frame", "call", "main"), ("frame", "call", "lookup"), ("frame", "return", "lookup"),
                     ("exception", None, None), ("frame", "call", "lookup"), ("frame", "return", "lookup"),
                     ("frame", "return", "main")]
    raised, noted, returned = records[2], records[3], records[5]
    # The return record itself is that of a return of None.
    assert list(raised) == list(returned) and raised["arg"] is None
    assert noted["frame_id"] == raised["frame_id"] and noted["thread"] == raised["thread"]
    shown = viewer.render(db.load_trace(path, "latest"))
    line = [line for line in shown.splitlines() if "lookup(name='nobody')" in line][0]
    if sys.version_info >= (3, 12):  # sys.monitoring passes the exception
        assert "KeyError('nobody')" in repr(noted["exception"]) and "!! KeyError('nobody')" in line
    else:
        assert noted["exception"] is None and "!! an exception" in line
    assert "->" not in line
    assert "-> 1" in [line for line in shown.splitlines() if "lookup(name='ann')" in line][0]


def test_a_generator_s_yields_and_resumptions_are_recorded_and_shown_so(tmp_path):
    (tmp_path / "gens.py").write_text(textwrap.dedent(
        """
        import sarn

        def numbers(n):
            for i in range(n):
                yield i

        def guarded():
            try:
                yield 1
            finally:
                pass

        def main():
            closing = guarded()
            next(closing)
            closing.close()
            return sum(numbers(3))

        with sarn.record(db_path="t.db"):
            main()
        """
    ))
    done = python(["gens.py"], tmp_path)
    assert done.returncode == 0, done.stderr.decode()
    stored = db.load_trace(str(tmp_path / "t.db"), "latest")
    lines = viewer.render(stored, summary=True).splitlines()
    numbers = [line.strip() for line in lines if "numbers(n=3" in line]
    assert [line.split("  ")[0] for line in numbers] == [
        "__main__.numbers(n=3) <- yield 0", "__main__.numbers(n=3, i=0) resumed <- yield 1",
        "__main__.numbers(n=3, i=1) resumed <- yield 2", "__main__.numbers(n=3, i=2) resumed -> None"]
    # A close ends the frame by an exception at its yield: no yield is shown.
    closed = [line for line in lines if "guarded()" in line]
    assert "<- yield 1" in closed[0] and "resumed !! " in closed[1] and "yield" not in closed[1]
    # A resumption is not a call of its own.
    [title] = [line for line in lines if line.startswith("thread ")]
    assert title.endswith(": 3 calls, 4 resumptions, 1 ended by an exception")
    assert [line.split() for line in lines if line.endswith("__main__.numbers")][0][0] == "1"
    shown = [(node["r"], node.get("u", False), node.get("y", False))
             for node in TraceModel(stored).page()["nodes"] if node["n"] == "__main__.numbers"]
    assert shown == [("0", False, True), ("1", True, True), ("2", True, True), ("None", True, False)]


def test_a_trace_past_max_trace_bytes_ends_with_a_marker_and_the_next_starts_afresh(tmp_path):
    (tmp_path / "long.py").write_text(textwrap.dedent(
        """
        import sarn

        def work(i):
            return i * 2

        for run in range(2):
            with sarn.record(db_path="t.db", config={"max_trace_bytes": 20000}):
                total = sum(work(i) for i in range(1000))
        print(total)
        """
    ))
    done = python(["long.py"], tmp_path)
    assert done.returncode == 0 and done.stdout.decode().strip() == "999000", done.stderr.decode()
    path = str(tmp_path / "t.db")
    for info in db.list_traces(path):
        document = msgpack.unpackb(db.load_trace(path, info.id), strict_map_key=False)
        records = document["frames_of_interest"]
        assert records[-1]["type"] == "trace_cut" and records[-1]["max_trace_bytes"] == 20000
        assert sum(len(msgpack.packb(record)) for record in records[:-1]) <= 20000
        assert 10 < info.frame_count < 1000
        shown = viewer.render(db.load_trace(path, info.id))
        assert "recording stopped early: the trace reached max_trace_bytes (20,000 bytes)" in shown


@pytest.mark.parametrize("threading_on, said", [(False, "2 threads ran unrecorded (--threads records them)"),
                                                 (True, None)])
def test_threads_that_ran_unrecorded_are_counted_in_the_trace(tmp_path, threading_on, said):
    (tmp_path / "threads.py").write_text(textwrap.dedent(
        """
        import sys, threading
        import sarn

        def work():
            return 1

        with sarn.record(db_path="t.db", config={"threading": %s}):
            for _ in range(2):
                thread = threading.Thread(target=work)
                thread.start()
                thread.join()
        print(threading.getprofile() if sys.version_info >= (3, 10) else None)
        """ % threading_on
    ))
    done = python(["threads.py"], tmp_path)
    assert done.returncode == 0 and done.stdout.decode().strip() == "None", done.stderr.decode()
    path = str(tmp_path / "t.db")
    [info] = db.list_traces(path)
    document = msgpack.unpackb(db.load_trace(path, info.id), strict_map_key=False)
    assert document["meta"].get("unrecorded") == (None if said is None else {"threads": 2})
    shown = viewer.render(db.load_trace(path, info.id))
    assert (said in shown) if said else ("unrecorded" not in shown)
