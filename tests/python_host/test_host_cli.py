"""The sarn command on inputs that need no recording core."""

import json
import sqlite3
import subprocess
import sys
import threading

import pytest

from host_support import DocumentBuilder
from sarn import cli, db


@pytest.fixture
def workdir(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(sys, "argv", list(sys.argv))
    monkeypatch.setattr(sys, "path", list(sys.path))
    monkeypatch.delenv("NO_COLOR", raising=False)
    return tmp_path


def run_cli(capsys, *argv):
    code = cli.main(list(argv))
    out, err = capsys.readouterr()
    return code, out, err


def store(path, trace_id, source="run", calls=("app.main",)):
    builder = DocumentBuilder(trace_id=trace_id, source=source)
    for name in calls:
        builder.call(name)
    for _ in calls:
        builder.ret(None)
    db.save_trace_in_sqlite(path, trace_id, timeout=5, msgpack=builder.pack())


def one_error_line(err):
    lines = err.strip().splitlines()
    assert len(lines) == 1, err
    assert "Traceback" not in err
    return lines[0]


@pytest.mark.parametrize(
    "argv, code, message",
    [
        (["run", "missing.py"], cli.EXIT_NO_TARGET, "can't open file 'missing.py'"),
        (["run", "folder"], cli.EXIT_NO_TARGET, "can't find '__main__' module"),
        (["run", "-m", "no_such_module_anywhere"], cli.EXIT_NO_TARGET, "no module named 'no_such_module_anywhere'"),
        (["run", "-mno_such_module_anywhere"], cli.EXIT_NO_TARGET, "no module named"),
        (["run", "-m", "brokenpkg.sub"], cli.EXIT_NO_TARGET, "cannot import module 'brokenpkg.sub': ZeroDivisionError"),
        (["run", "-m", "plainpkg"], cli.EXIT_NO_TARGET, "is a package and cannot be directly executed"),
        (["run", "--config", "threading=maybe", "ok.py"], cli.EXIT_USAGE, "'threading' must be true or false"),
        (["run", "--config", "nonsense", "ok.py"], cli.EXIT_USAGE, "KEY=VALUE"),
        (["traces"], cli.EXIT_DB, "no trace database at"),
        (["show", "latest", "--db", "absent.db"], cli.EXIT_DB, "no trace database at absent.db"),
        (["export", "latest", "--json"], cli.EXIT_DB, "no trace database"),
    ],
)
def test_bad_input_gives_one_line_and_its_exit_code(workdir, capsys, argv, code, message):
    (workdir / "folder").mkdir()
    (workdir / "ok.py").write_text("print('ok')\n")
    (workdir / "brokenpkg").mkdir()
    (workdir / "brokenpkg" / "__init__.py").write_text("1 / 0\n")
    (workdir / "plainpkg").mkdir()
    (workdir / "plainpkg" / "__init__.py").write_text("")
    sys.path.insert(0, str(workdir))
    result, out, err = run_cli(capsys, *argv)
    assert result == code
    line = one_error_line(err)
    assert line.startswith("sarn: error: ")
    assert message in line
    assert out == ""


@pytest.mark.parametrize(
    "argv",
    [["run"], ["run", "--threads"], ["run", "--bogus", "x.py"], ["export", "x", "--format", "xml"], ["show", "--depth", "x"], ["nonsense"]],
)
def test_usage_errors_exit_2(workdir, capsys, argv):
    code, _, err = run_cli(capsys, *argv)
    assert code == cli.EXIT_USAGE
    assert "usage:" in err and "Traceback" not in err


def test_script_arguments_are_not_taken_as_options(workdir):
    options, kind, target, rest = cli._split_run_arguments(
        ["--db", "x.db", "--threads", "-c", "threading=true", "app.py", "--db", "-m", "--help"]
    )
    assert options == ["--db", "x.db", "--threads", "-c", "threading=true"]
    assert (kind, target, rest) == ("script", "app.py", ["--db", "-m", "--help"])
    assert cli._split_run_arguments(["-m", "pkg.mod", "-x"])[1:] == ("module", "pkg.mod", ["-x"])
    assert cli._split_run_arguments(["--", "-odd-name.py", "a"])[1:] == ("script", "-odd-name.py", ["a"])


@pytest.mark.parametrize("reader", [["traces"], ["show", "latest"], ["export", "latest", "--json"]])
def test_newer_database_is_refused(workdir, capsys, reader):
    path = str(workdir / ".sarn" / "db.sqlite3")
    store(path, "trc_A")
    with sqlite3.connect(path) as connection:
        connection.execute("PRAGMA user_version = 99")
    code, _, err = run_cli(capsys, *reader)
    assert code == cli.EXIT_DB
    assert "upgrade sarn" in one_error_line(err)


@pytest.mark.parametrize("reader", [["traces"], ["show", "latest"]])
def test_corrupt_database_is_refused(workdir, capsys, reader):
    path = workdir / ".sarn" / "db.sqlite3"
    path.parent.mkdir()
    path.write_bytes(b"garbage" * 1000)
    code, _, err = run_cli(capsys, *reader)
    assert code == cli.EXIT_DB
    assert "not a sarn trace database" in one_error_line(err)


def test_locked_database_is_reported(workdir, capsys):
    from sarn import config

    if config._toml_reader() is None:
        pytest.skip("no TOML reader installed")
    (workdir / "pyproject.toml").write_text("[tool.sarn]\nsqlite_busy_timeout = 0\n")
    path = str(workdir / ".sarn" / "db.sqlite3")
    store(path, "trc_A")
    ready = threading.Event()
    release = threading.Event()

    def hold():
        connection = sqlite3.connect(path, isolation_level=None)
        connection.execute("BEGIN EXCLUSIVE")
        ready.set()
        release.wait(30)
        connection.execute("COMMIT")
        connection.close()

    holder = threading.Thread(target=hold)
    holder.start()
    ready.wait()
    try:
        code, _, err = run_cli(capsys, "traces")
    finally:
        release.set()
        holder.join()
    assert code == cli.EXIT_DB
    assert "locked" in one_error_line(err)


def test_unknown_trace_id(workdir, capsys):
    store(str(workdir / ".sarn" / "db.sqlite3"), "trc_A")
    code, out, err = run_cli(capsys, "show", "trc_nope")
    assert code == cli.EXIT_NO_TRACE
    assert "no trace 'trc_nope'" in one_error_line(err)


def test_traces_lists_newest_first(workdir, capsys):
    path = str(workdir / ".sarn" / "db.sqlite3")
    store(path, "trc_OLD", source="pytest")
    store(path, "trc_NEW", calls=("app.a", "app.b"))
    code, out, _ = run_cli(capsys, "traces")
    assert code == 0
    header, newest, oldest = out.splitlines()
    assert header.split()[:5] == ["ID", "SAVED", "SOURCE", "FRAMES", "SIZE"]
    assert newest.startswith("trc_NEW") and " run " in newest and " 2 " in newest
    assert oldest.startswith("trc_OLD") and " pytest " in oldest
    code, out, _ = run_cli(capsys, "traces", "--limit", "1")
    assert out.splitlines()[1].startswith("trc_NEW") and "--limit 0" in out.splitlines()[-1]


def test_traces_with_a_configured_database(workdir, capsys):
    (workdir / "pyproject.toml").write_text('[tool.sarn]\ndb_path = "elsewhere/t.db"\n')
    from sarn import config

    if config._toml_reader() is None:
        pytest.skip("no TOML reader installed")
    store(str(workdir / "elsewhere" / "t.db"), "trc_CONF")
    code, out, _ = run_cli(capsys, "traces")
    assert code == 0 and "trc_CONF" in out


def test_show_and_export(workdir, capsys):
    store(str(workdir / "t.db"), "trc_SHOW", calls=("app.main", "app.lookup"))
    code, out, _ = run_cli(capsys, "show", "trc_SH", "--db", "t.db", "--color", "never")
    assert code == 0
    assert out.startswith("trace trc_SHOW")
    assert "\x1b[" not in out
    lookup = [line for line in out.splitlines() if "app.lookup(" in line][0]
    main = [line for line in out.splitlines() if "app.main(" in line][0]
    assert len(lookup) - len(lookup.lstrip()) == len(main) - len(main.lstrip()) + 2
    code, out, _ = run_cli(capsys, "show", "latest", "--db", "t.db", "--depth", "1", "--color", "always")
    assert "app.lookup(" not in out and "\x1b[" in out
    code, out, _ = run_cli(capsys, "export", "latest", "--json", "--db", "t.db")
    assert json.loads(out)["trace_id"] == "trc_SHOW"
    code, out, _ = run_cli(capsys, "export", "latest", "--json", "--db", "t.db", "-o", "out.json", "--indent", "2")
    assert out == "" and json.loads((workdir / "out.json").read_text())["meta"]["source"] == "run"


@pytest.mark.parametrize("on_terminal", [True, False], ids=["terminal", "pipe"])
@pytest.mark.parametrize("argv", [["show", "latest", "--all"], ["export", "latest", "--json"],
                                  ["export", "latest", "--format", "chrome"]], ids=["show", "json", "chrome"])
def test_big_work_shows_progress_on_a_terminal_only(workdir, capsys, monkeypatch, argv, on_terminal):
    store(str(workdir / "t.db"), "trc_BIG", calls=["app.step%d" % i for i in range(200)])
    monkeypatch.setattr(cli, "PROGRESS_BYTES", 1)
    monkeypatch.setattr(cli, "_is_terminal", lambda stream: on_terminal and stream is sys.stderr)
    code, out, err = run_cli(capsys, *argv, "--db", "t.db")
    assert code == 0 and "app.step199" in out
    assert ("sarn: " in err and "the trace" in err) == on_terminal, err
    assert "app.step" not in err


def test_show_depth_must_be_positive(workdir, capsys):
    store(str(workdir / "t.db"), "trc_A")
    code, _, err = run_cli(capsys, "show", "--db", "t.db", "--depth", "0")
    assert code == cli.EXIT_USAGE and "--depth" in one_error_line(err)


def test_missing_core_is_exit_6(workdir, monkeypatch, capsys):
    import sarn

    monkeypatch.setattr(sarn, "_sarn", None, raising=False)
    monkeypatch.delattr(sarn, "_sarn")
    monkeypatch.setitem(sys.modules, "sarn._sarn", None)
    (workdir / "ok.py").write_text("print('ran')\n")
    code, out, err = run_cli(capsys, "run", "ok.py")
    assert code == cli.EXIT_NO_CORE
    assert "sarn._sarn is not available" in one_error_line(err)
    assert out == "", "the program must not run unrecorded"


def test_python_dash_m_sarn_is_the_command(tmp_path):
    done = subprocess.run(
        [sys.executable, "-m", "sarn", "show", "--db", str(tmp_path / "none.db")],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=str(tmp_path),
    )
    assert done.returncode == cli.EXIT_DB
    assert done.stderr.decode().startswith("sarn: error: no trace database")


def test_output_to_a_closed_pipe_is_quiet(tmp_path):
    path = str(tmp_path / "t.db")
    builder = DocumentBuilder(trace_id="trc_BIG")
    for _ in range(3000):
        builder.call("app.work")
        builder.ret(1)
    db.save_trace_in_sqlite(path, "trc_BIG", timeout=5, msgpack=builder.pack())
    reader = subprocess.Popen(
        [sys.executable, "-m", "sarn", "show", "--db", path],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=str(tmp_path),
    )
    reader.stdout.read(100)
    reader.stdout.close()
    _, err = reader.communicate(timeout=60)
    assert b"Traceback" not in err
    assert reader.returncode == 0
