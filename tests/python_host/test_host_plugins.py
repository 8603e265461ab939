"""Plugin specifications: the built-in test boundary and configured plugins."""

import inspect
import os
import sys
import types

import pytest

from sarn import plugins
from sarn.plugins import PluginError, load_plugin_data


class FakeItem:
    nodeid = "tests/test_x.py::test_one[1]"
    location = ("tests/test_x.py", 9, "test_one[1]")


class FakeFrame:
    def __init__(self, **local_values):
        self.f_locals = local_values


class Report:
    def __init__(self, when, outcome, duration=0.25, wasxfail=None, text=""):
        self.when = when
        self.passed = outcome == "passed"
        self.failed = outcome == "failed"
        self.skipped = outcome == "skipped"
        self.duration = duration
        self.longreprtext = text
        if wasxfail is not None:
            self.wasxfail = wasxfail


def test_builtin_plugin_watches_the_function_that_runs_one_test():
    import _pytest.runner

    (spec,) = [spec for spec in load_plugin_data({}) if spec["call_type"] == "start_test"]
    assert spec["return_type"] == "end_test"
    assert spec["path_fragment"] in _pytest.runner.__file__.replace(os.sep, "/")
    for name in spec["co_names"]:
        function = getattr(_pytest.runner, name)
        assert inspect.getsourcefile(function) == _pytest.runner.__file__
        assert "item" in inspect.signature(function).parameters


def test_builtin_plugin_is_called_once_per_test_with_setup_and_teardown(tmp_path):
    """Run a real pytest session and watch the built-in plugin's functions with
    a profile function, as the recording core does."""
    (tmp_path / "test_two.py").write_text(
        "import pytest\n"
        "@pytest.fixture\n"
        "def fixture_value():\n    yield 1\n"
        "def test_a(fixture_value):\n    assert fixture_value\n"
        "@pytest.mark.parametrize('n', [1, 2])\n"
        "def test_b(n):\n    assert n\n"
    )
    (spec,) = [spec for spec in load_plugin_data({}) if spec["call_type"] == "start_test"]
    seen = []
    open_tests = []
    hooks_inside = []

    def profile(frame, event, arg):
        code = frame.f_code
        if event in ("call", "return") and code.co_name in spec["co_names"] and spec["path_fragment"] in code.co_filename.replace(os.sep, "/"):
            seen.append((event, spec["process"](frame, event, arg, {})))
            open_tests.append(1) if event == "call" else open_tests.pop()
        if event == "call" and code.co_name in ("pytest_runtest_setup", "pytest_runtest_teardown"):
            hooks_inside.append((code.co_name, len(open_tests)))

    sys.setprofile(profile)
    try:
        code = pytest.main(["-q", "-p", "no:cacheprovider", "-p", "no:sarn", str(tmp_path)])
    finally:
        sys.setprofile(None)
    assert code == 0
    names = [data["test_name"] for event, data in seen if event == "call"]
    assert [name.rpartition("::")[2] for name in names] == ["test_a", "test_b[1]", "test_b[2]"]
    assert [event for event, _ in seen] == ["call", "return"] * 3
    assert all(data["outcome"] == "passed" for event, data in seen if event == "return")
    # Every setup and teardown runs inside exactly one watched call.
    assert sorted(set(hooks_inside)) == [("pytest_runtest_setup", 1), ("pytest_runtest_teardown", 1)]


@pytest.mark.parametrize(
    "reports, outcome",
    [
        ([Report("setup", "passed"), Report("call", "passed"), Report("teardown", "passed")], "passed"),
        ([Report("setup", "passed"), Report("call", "failed", text="E  boom"), Report("teardown", "passed")], "failed"),
        ([Report("setup", "failed"), Report("teardown", "passed")], "error"),
        ([Report("setup", "passed"), Report("call", "passed"), Report("teardown", "failed")], "error"),
        ([Report("setup", "passed"), Report("call", "failed"), Report("teardown", "failed")], "failed"),
        ([Report("setup", "skipped"), Report("teardown", "passed")], "skipped"),
        ([Report("setup", "passed"), Report("call", "skipped", wasxfail=""), Report("teardown", "passed")], "xfailed"),
        ([Report("setup", "passed"), Report("call", "passed", wasxfail=""), Report("teardown", "passed")], "xpassed"),
        (None, "interrupted"),
    ],
)
def test_end_of_test_carries_the_outcome(reports, outcome):
    data = plugins.pytest_test_process(FakeFrame(item=FakeItem()), "return", reports, {})
    assert data["outcome"] == outcome
    assert data["test_name"] == "tests/test_x.py::test_one[1]"
    if reports is not None:
        assert data["duration"] == pytest.approx(0.25 * len(reports))


def test_start_of_test_carries_name_and_location_only():
    data = plugins.pytest_test_process(FakeFrame(item=FakeItem(), log=True), "call", None, {})
    assert data == {
        "test_name": "tests/test_x.py::test_one[1]",
        "test_path": "tests/test_x.py",
        "test_line": 10,
        "test_function": "test_one[1]",
    }


def test_failure_message_is_kept_short():
    reports = [Report("call", "failed", text="x" * 10_000)]
    data = plugins.pytest_test_process(FakeFrame(item=FakeItem()), "return", reports, {})
    assert 0 < len(data["message"]) <= 2000


@pytest.mark.parametrize(
    "frame",
    [FakeFrame(), FakeFrame(item=object()), types.SimpleNamespace()],
    ids=["no item", "odd item", "no locals"],
)
def test_unusual_frames_give_what_can_be_read(frame):
    assert plugins.pytest_test_process(frame, "call", None, {}) == {}


USER_SPEC = {"co_names": ["handle"], "path_fragment": "app/views", "call_type": "request", "return_type": "response"}
USER_SPECS = [USER_SPEC, dict(USER_SPEC, subtype="admin", events=["call"])]


def make_specs(config):
    return [dict(USER_SPEC, subtype=str(config.get("threading")))]


@pytest.fixture
def plugin_module(monkeypatch):
    module = types.ModuleType("sarn_test_plugins")
    module.ONE = USER_SPEC
    module.MANY = USER_SPECS
    module.make = make_specs
    module.nested = types.SimpleNamespace(spec=USER_SPEC)
    module.broken = lambda config: 1 / 0
    monkeypatch.setitem(sys.modules, "sarn_test_plugins", module)
    return module


@pytest.mark.parametrize(
    "entry, expected",
    [
        (USER_SPEC, [USER_SPEC]),
        ("sarn_test_plugins:ONE", [USER_SPEC]),
        ("sarn_test_plugins:MANY", USER_SPECS),
        ("sarn_test_plugins:make", [dict(USER_SPEC, subtype="True")]),
        ("sarn_test_plugins:nested.spec", [USER_SPEC]),
    ],
)
def test_configured_plugins_follow_the_builtin_ones(plugin_module, entry, expected):
    specs = load_plugin_data({"plugins": [entry], "threading": True})
    assert specs[: len(plugins.builtin_plugins())] == plugins.builtin_plugins()
    assert specs[len(plugins.builtin_plugins()):] == expected


@pytest.mark.parametrize(
    "entry, message",
    [
        ("no_such_module_here:X", "cannot import plugin module"),
        ("sarn_test_plugins:missing", "has no attribute 'missing'"),
        ("sarn_test_plugins", "module:attribute"),
        ("sarn_test_plugins:broken", "raised ZeroDivisionError"),
        (42, "must be a specification dict"),
        ({"path_fragment": "x", "call_type": "a", "return_type": "b"}, "no 'co_names'"),
        (dict(USER_SPEC, co_names="handle"), "not a single string"),
        (dict(USER_SPEC, co_names=[1]), "holds a int"),
        (dict(USER_SPEC, path_fragment=None), "'path_fragment' must be a str"),
        ({k: v for k, v in USER_SPEC.items() if k != "return_type"}, "no 'return_type'"),
        (dict(USER_SPEC, subtype=None), "'subtype' must be a str"),
        (dict(USER_SPEC, events="call"), "'events' must be a list"),
        (dict(USER_SPEC, process=3), "'process' must be callable"),
    ],
)
def test_unusable_plugins_are_refused_clearly(plugin_module, entry, message):
    with pytest.raises(PluginError, match=message):
        load_plugin_data({"plugins": [entry]})


@pytest.mark.parametrize("entry, message", [
    ("sarn_test_exits_on_import:X", "cannot import plugin module 'sarn_test_exits_on_import': SystemExit: 3"),
    ("sarn_test_plugins:exits", "raised SystemExit: 3"),
])
def test_a_plugin_that_exits_is_refused_like_one_that_raises(plugin_module, tmp_path, monkeypatch, entry, message):
    (tmp_path / "sarn_test_exits_on_import.py").write_text("import sys\nsys.exit(3)\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    plugin_module.exits = lambda config: sys.exit(3)
    with pytest.raises(PluginError, match=message):
        load_plugin_data({"plugins": [entry]})


@pytest.mark.parametrize("config", [{}, {"plugins": None}, None])
def test_no_configured_plugins(config):
    assert load_plugin_data(config) == plugins.builtin_plugins()


def test_builtin_specs_are_fresh_copies():
    first = load_plugin_data({})
    first[0]["co_names"].append("changed")
    first[0]["subtype"] = "changed"
    assert load_plugin_data({})[0]["co_names"] == ["runtestprotocol"]
    assert "subtype" not in load_plugin_data({})[0]
