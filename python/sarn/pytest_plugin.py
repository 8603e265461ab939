"""pytest plugin: ``pytest --sarn`` records one trace per test.

Options:

* ``--sarn``: record the test run; each test (its setup, call and teardown)
  becomes a trace of its own in the trace database, labelled with the test's
  node id, with its outcome in the "end_test" record;
* ``--sarn-db PATH``: the database to use (default: ``[tool.sarn] db_path`` of
  the project's pyproject.toml, else ``.sarn/db.sqlite3``).

Recording runs on the thread that runs the tests (and, with the configuration's
``threading``, the threads they start) from the start of the test loop to its
end. The test boundaries come from the built-in plugin of :mod:`sarn.plugins`;
the recording core saves each test's trace when the test ends.
"""

from __future__ import annotations

from typing import Any, Optional

import pytest

_PROFILER_ATTRIBUTE = "_sarn_profiler"


def pytest_addoption(parser: Any) -> None:
    group = parser.getgroup("sarn", "recording with sarn")
    group.addoption(
        "--sarn",
        action="store_true",
        default=False,
        help="record one trace per test into the sarn trace database",
    )
    group.addoption(
        "--sarn-db",
        metavar="PATH",
        default=None,
        help="the sarn trace database (default: [tool.sarn] db_path, else .sarn/db.sqlite3)",
    )


def _runs_tests_here(config: Any) -> bool:
    """False in a pytest-xdist controller, whose workers run the tests."""
    if getattr(config, "workerinput", None) is not None:
        return True
    try:
        dist = config.getoption("dist")
    except (ValueError, AttributeError):
        return True
    return dist in (None, "no")


def _start(config: Any) -> Optional[Any]:
    from sarn.config import ConfigError, load_config
    from sarn.plugins import PluginError
    from sarn.profiler import Profiler, RecordingError

    db_path = config.getoption("sarn_db")
    try:
        settings = load_config({"db_path": db_path} if db_path else None)
    except ConfigError as error:
        raise pytest.UsageError("sarn: %s" % error) from None
    profiler = Profiler(settings, one_trace_per_test=True, source="pytest")
    try:
        profiler.start()
    except (RecordingError, PluginError) as error:
        raise pytest.UsageError("sarn: %s" % error) from None
    return profiler


@pytest.hookimpl(hookwrapper=True)
def pytest_runtestloop(session: Any) -> Any:
    config = session.config
    profiler = None
    if config.getoption("sarn") and _runs_tests_here(config) and not config.getoption("collectonly"):
        profiler = _start(config)
        setattr(config, _PROFILER_ATTRIBUTE, profiler)
    try:
        yield
    finally:
        if profiler is not None and profiler.running:
            # Each test's trace was saved when the test ended; what was recorded
            # after the last test belongs to no test and is not saved.
            profiler.stop(save=False)


def pytest_terminal_summary(terminalreporter: Any) -> None:
    profiler = getattr(terminalreporter.config, _PROFILER_ATTRIBUTE, None)
    if profiler is None:
        return
    from sarn.cli import _display_path

    terminalreporter.write_line(
        "sarn: one trace per test saved into %s (list them with: sarn traces)" % _display_path(profiler.db_path)
    )
