"""The development scripts: what scripts/setup.sh installs into a venv for the
demo and for the tests, and which interpreter scripts/find-python.sh picks
for "any".

setup.sh runs for real on a copy of the scripts, with stand-ins for the
system tools and for the venv's python, which notes the pip commands it is
given instead of running them: nothing is installed."""

import os
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

if sys.version_info >= (3, 11):
    import tomllib
else:
    import tomli as tomllib

ROOT = Path(__file__).resolve().parents[1]
SCRIPTS = ROOT / "scripts"
SUPPORTED = ["3.8", "3.9", "3.10", "3.11", "3.12", "3.13", "3.14", "3.15"]
# As the scripts name this interpreter: "3.14t" for a free-threaded 3.14.
VERSION = "%d.%d" % sys.version_info[:2] + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else "")

pytestmark = [
    pytest.mark.skipif(not (SCRIPTS / "setup.sh").exists(), reason="needs the source tree's scripts"),
    # Shell scripts only: under the sanitizer runs the preloaded runtime would
    # report what bash and the tools it starts leave at exit (ASan), or stop
    # bash outright (TSan).
    pytest.mark.skipif(any(runtime in os.environ.get("LD_PRELOAD", "") for runtime in ("libasan", "libtsan")),
                       reason="no native code of ours runs"),
]

# A venv's python that passes the health check (`python -c ''`) and notes
# every other command line.
RECORDING_PYTHON = """#!/bin/sh
[ "$1" = -c ] && exit 0
echo "$*" >>"$(dirname "$0")/../commands.log"
"""


def executable(path, text):
    path.write_text(text)
    path.chmod(0o755)


def listed_project():
    with open(ROOT / "pyproject.toml", "rb") as handle:
        return tomllib.load(handle)["project"]


def listed_test_requirements():
    return listed_project()["optional-dependencies"]["test"]


def installed_one_by_one(commands):
    """The requirements installed one per command, wheels preferred."""
    return [command[1:] for command in commands if len(command) == 2 and command[0] == "--prefer-binary"]


@pytest.fixture
def tree(tmp_path):
    """A source tree holding the set-up scripts and a venv made for this
    interpreter, with nothing installed into it yet."""
    (tmp_path / "scripts").mkdir()
    for name in ("setup.sh", "common.sh", "find-python.sh"):
        shutil.copy(str(SCRIPTS / name), str(tmp_path / "scripts" / name))
    shutil.copy(str(ROOT / "pyproject.toml"), str(tmp_path))
    (tmp_path / "CMakeLists.txt").write_text("")
    (tmp_path / "src").mkdir()
    (tmp_path / "src" / "core.cpp").write_text("int x;\n")
    (tmp_path / "python").mkdir()
    tools = tmp_path / "tools"
    tools.mkdir()
    for tool in ("cmake", "g++", "make", "chromium", "chromedriver"):
        executable(tools / tool, "#!/bin/sh\nexit 0\n")
    interpreter = subprocess.check_output([sys.executable, "-c", "import sys; print(sys.executable)"],
                                          universal_newlines=True).strip()
    for kind in ("py", "tsan"):  # the plain venv and the ThreadSanitizer build's
        venv = tmp_path / ".venv" / (kind + VERSION)
        (venv / "bin").mkdir(parents=True)
        executable(venv / "bin" / "python", RECORDING_PYTHON)
        (venv / ".sarn-base").write_text(interpreter + "\n")
    return tmp_path


def setup_sh(tree, *options):
    env = dict(os.environ, PATH=str(tree / "tools") + os.pathsep + os.environ["PATH"])
    env["PY" + VERSION.replace(".", "")] = sys.executable
    env.pop("SARN_PYTHON", None)
    return subprocess.run(["bash", str(tree / "scripts" / "setup.sh")] + list(options) + [VERSION], env=env,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True)


def run_setup(tree, *options, kind="py"):
    """Runs setup.sh for this interpreter; returns the pip commands it gave
    to the venv of that kind, each as its arguments after "install"."""
    log = tree / ".venv" / (kind + VERSION) / "commands.log"
    if log.exists():
        log.unlink()
    done = setup_sh(tree, *options)
    assert done.returncode == 0, done.stdout
    if not log.exists():
        return []
    commands = [line.split() for line in log.read_text().splitlines()]
    assert all(command[:3] == ["-m", "pip", "--disable-pip-version-check"] for command in commands)
    return [command[command.index("install") + 1:] for command in commands]


def builds(commands):
    """The targets of the commands that build sarn."""
    return [command[2] for command in commands if command[:2] == ["-v", "--no-build-isolation"]]


def test_demo_setup_installs_the_build_tools_then_the_dependencies_then_sarn_alone(tree):
    commands = run_setup(tree, "--no-test-requirements")
    assert len(commands) == 3
    assert commands[0][0] == "--upgrade" and "ninja" in commands[0]
    # sarn's install skips build isolation: its dependencies come first, as
    # wheels where there are any.
    assert " ".join(commands[1]) == " ".join(["--prefer-binary"] + listed_project()["dependencies"])
    assert builds(commands) == ["."]


def test_test_setup_after_the_demo_adds_the_test_requirements_without_a_rebuild(tree):
    run_setup(tree, "--no-test-requirements")
    commands = run_setup(tree)
    assert installed_one_by_one(commands) == [[r] for r in listed_test_requirements()]
    assert len(commands) == len(listed_test_requirements())
    assert run_setup(tree) == []


def test_demo_setup_after_the_test_setup_does_nothing(tree):
    commands = run_setup(tree)
    assert builds(commands) == [".[test]"]
    assert installed_one_by_one(commands) == [[r] for r in listed_test_requirements()]
    assert run_setup(tree, "--no-test-requirements") == []


def test_a_changed_source_is_rebuilt_once(tree):
    run_setup(tree, "--no-test-requirements")
    (tree / "src" / "core.cpp").write_text("int y;\n")
    assert builds(run_setup(tree, "--no-test-requirements")) == ["."]
    assert run_setup(tree, "--no-test-requirements") == []


def test_tsan_setup_builds_into_its_own_venv_and_build_tree(tree):
    commands = run_setup(tree, "--tsan", "--no-test-requirements", kind="tsan")
    [build] = [command for command in commands if command[:2] == ["-v", "--no-build-isolation"]]
    assert "--config-settings=cmake.define.SARN_TSAN=ON" in build
    assert "--config-settings=build-dir=build/tsan-{wheel_tag}" in build
    assert not any("SARN_SANITIZE" in argument for argument in build)
    assert not (tree / ".venv" / ("py" + VERSION) / "commands.log").exists()
    # The plain build of the same sources is another build.
    assert builds(run_setup(tree, "--no-test-requirements")) == ["."]


def test_asan_and_tsan_exclude_each_other(tree):
    done = setup_sh(tree, "--asan", "--tsan")
    assert done.returncode != 0 and "exclude each other" in done.stdout


def find_python(version):
    env = dict(os.environ)
    env.pop("SARN_PYTHON", None)
    done = subprocess.run(["bash", str(SCRIPTS / "find-python.sh"), version], env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, universal_newlines=True)
    return done.stdout.strip() if done.returncode == 0 else None


def test_any_interpreter_is_the_newest_supported_one_found():
    found = [version for version in SUPPORTED if find_python(version)]
    if not found:
        pytest.skip("no supported interpreter found by scripts/find-python.sh")
    assert find_python("any") == find_python(found[-1])


# A command under scripts/asan-run.sh that fails, leaving the reports it is
# given, the first time; passes the second time.
FLAKY_COMMAND = """#!/bin/sh
reports="$(dirname "$0")/build/sanitizer-reports"
count="$(dirname "$0")/runs"
echo run >>"$count"
[ "$(wc -l <"$count")" -gt 1 ] && exit 0
printf '%s\\n' "$REPORT" >"$reports/asan.1"
exit 1
"""

CHECKER_FAILURE = "Tracer caught signal 11\n==1==LeakSanitizer has encountered a fatal error."


@pytest.mark.parametrize("report, runs, status", [
    (CHECKER_FAILURE, 2, 0),
    ("==1==ERROR: LeakSanitizer: detected memory leaks\n" + CHECKER_FAILURE, 1, 1),
    ("x.cpp:3:5: runtime error: signed integer overflow", 1, 1),
], ids=["the leak checker's own failure", "a leak", "undefined behaviour"])
def test_asan_run_runs_again_only_when_the_leak_checker_failed_alone(tmp_path, report, runs, status):
    (tmp_path / "scripts").mkdir()
    shutil.copy(str(SCRIPTS / "asan-run.sh"), str(tmp_path / "scripts"))
    executable(tmp_path / "command", FLAKY_COMMAND)
    # An empty file stands in for the sanitizer runtimes (the loader ignores
    # it): the command is a shell script.
    (tmp_path / "runtime.so").write_text("")
    executable(tmp_path / "cxx", "#!/bin/sh\necho %s\n" % (tmp_path / "runtime.so"))
    env = dict(os.environ, CXX=str(tmp_path / "cxx"), REPORT=report)
    done = subprocess.run(["bash", str(tmp_path / "scripts" / "asan-run.sh"), str(tmp_path / "command")],
                          env=env, capture_output=True, text=True)
    assert (done.returncode, len((tmp_path / "runs").read_text().split())) == (status, runs), done.stderr
