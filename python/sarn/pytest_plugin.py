"""pytest plugin: ``pytest --sarn`` records one trace per test.

Options:

* ``--sarn``: record the test run; each test (its setup, call and teardown)
  becomes a trace of its own in the trace database, labelled with the test's
  node id, with its outcome in the "end_test" record;
* ``--sarn-db PATH``: the database to use (default: ``[tool.sarn] db_path`` of
  the project's pyproject.toml, else ``.sarn/db.sqlite3``);
* ``--sarn-config KEY=VALUE``: a setting, as ``sarn run --config`` takes it
  (repeatable).

Each test is recorded from pytest's report of its start to the report of its
end, by a recording of its own: the trace starts when the test starts, and a
test that replaces the interpreter's profile function (cProfile, a debugger,
``sys.setprofile``) loses only the rest of its own trace. The test boundaries
come from the built-in plugin of :mod:`sarn.plugins`. Traces are written in
batches (:class:`sarn.db.TraceBatch`), and once more when the run ends; the
summary counts the traces that were written and those that could not be.
"""

from __future__ import annotations

import logging
import os
from typing import Any, List

import pytest

_RECORDER_NAME = "sarn-recorder"
_logger = logging.getLogger("sarn")


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
    group.addoption(
        "--sarn-config",
        action="append",
        default=[],
        metavar="KEY=VALUE",
        help="a sarn setting, e.g. filters.ignore_frames=tests/helpers/ (repeatable)",
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


def _settings(config: Any) -> Any:
    """The checked configuration, or a usage error saying what is wrong with it."""
    from sarn.config import ConfigError, load_config
    from sarn.plugins import PluginError, load_plugin_data
    from sarn.profiler import CoreUnavailableError, load_core

    db_path = config.getoption("sarn_db")
    try:
        settings = load_config({"db_path": db_path} if db_path else None, assignments=config.getoption("sarn_config"))
        load_plugin_data(settings)
        load_core()
    except (ConfigError, PluginError, CoreUnavailableError) as error:
        raise pytest.UsageError("sarn: %s" % error) from None
    # Fixed now: a test may change the working directory.
    settings["db_path"] = os.path.abspath(settings["db_path"])
    return settings


def pytest_configure(config: Any) -> None:
    if config.getoption("sarn") and _runs_tests_here(config) and not config.getoption("collectonly"):
        config.pluginmanager.register(_Recorder(_settings(config)), _RECORDER_NAME)


def _relax_hypothesis_deadlines(items: List[Any]) -> int:
    """Gives each collected hypothesis test its own settings without a
    deadline (the rest as they were): a recorded example runs many times
    slower, and would fail only for that. The number of tests relaxed."""
    import sys

    hypothesis = sys.modules.get("hypothesis")  # imported by the tests that use it
    settings_type = getattr(hypothesis, "settings", None)
    relaxed = 0
    for item in items if settings_type is not None else ():
        test = getattr(getattr(item, "obj", None), "__func__", getattr(item, "obj", None))
        current = getattr(test, "_hypothesis_internal_use_settings", None)
        if not isinstance(current, settings_type) or current.deadline is None:
            continue
        try:
            test._hypothesis_internal_use_settings = settings_type(parent=current, deadline=None)
        except Exception as error:  # an odd release: its deadlines stay
            _logger.warning("sarn: hypothesis deadlines are kept: %s", _failure(error))
            return relaxed
        relaxed += 1
    return relaxed


def _failure(error: BaseException) -> str:
    return "%s: %s" % (type(error).__name__, error)


class _Recorder:
    """Records each test and stores its trace."""

    def __init__(self, settings: Any) -> None:
        from sarn.db import TraceBatch

        self.settings = settings
        self.batch = TraceBatch(settings["db_path"], timeout=settings["sqlite_busy_timeout"])
        self.profiler: Any = None
        self.nodeid = ""
        self.reports: List[Any] = []  # of the test being recorded: its setup, call and teardown
        self.cut_short: List[str] = []
        self.errors: List[str] = []
        self.notes: List[str] = []  # what recording changed, said once in the summary

    def _report(self, text: str) -> None:
        _logger.warning("%s", text)
        if text not in self.errors:
            self.errors.append(text)

    # The last to hear of the start and the first to hear of the end: the
    # recording holds the test and as little of pytest's reporting as can be.
    @pytest.hookimpl(trylast=True)
    def pytest_runtest_logstart(self, nodeid: str) -> None:
        from sarn.profiler import Profiler

        self._finish()
        profiler = Profiler(self.settings, source="pytest")
        try:
            profiler.start()
        except (KeyboardInterrupt, SystemExit):
            raise
        except BaseException as error:  # the core's own failures derive from BaseException
            self._report("cannot record %s: %s" % (nodeid, _failure(error)))
            return
        self.profiler, self.nodeid, self.reports = profiler, nodeid, []

    def pytest_runtest_logreport(self, report: Any) -> None:
        if self.profiler is not None and getattr(report, "nodeid", None) == self.nodeid:
            self.reports.append(report)

    @pytest.hookimpl(tryfirst=True)
    def pytest_runtest_logfinish(self) -> None:
        self._finish()

    def _finish(self) -> None:
        """Stop recording the current test and hand its trace to the batch."""
        profiler, self.profiler = self.profiler, None
        if profiler is None:
            return
        if profiler.displaced():
            self.cut_short.append(self.nodeid)
        try:
            profiler.stop(save=False)
            document = profiler.take_trace_document()
        except (KeyboardInterrupt, SystemExit):
            raise
        except BaseException as error:
            self._report("the trace of %s is lost: %s" % (self.nodeid, _failure(error)))
            return
        self._store(lambda: self.batch.add_taken(profiler.trace_id, document, self._listed_facts()))

    def _listed_facts(self) -> Any:
        """The test's outcome and duration, as the list of traces shows them."""
        from sarn.plugins import outcome_of_reports

        facts = outcome_of_reports(self.reports if self.reports else None)
        return {key: facts[key] for key in ("outcome", "duration") if key in facts}

    def _store(self, write: Any) -> None:
        from sarn.db import SarnDbError

        try:
            write()
        except SarnDbError as error:
            self._report(str(error))

    def pytest_collection_modifyitems(self, items: List[Any]) -> None:
        if self.settings.get("relax_deadlines", True) and _relax_hypothesis_deadlines(items):
            self.notes.append("hypothesis deadlines are off while recording (relax_deadlines = false keeps them)")

    @pytest.hookimpl(hookwrapper=True)
    def pytest_runtestloop(self) -> Any:
        try:
            yield
        finally:
            # A test interrupted before its end was reported keeps what it has.
            self._finish()
            self._store(self.batch.flush)

    def pytest_terminal_summary(self, terminalreporter: Any) -> None:
        for line in self._summary():
            terminalreporter.write_line("sarn: " + line)

    def _summary(self) -> List[str]:
        from sarn.cli import _display_path

        where = _display_path(self.batch.db_path)
        lines = []
        if self.batch.saved or not self.batch.lost:
            lines.append("%s saved into %s (list them with: sarn traces)" % (_traces(self.batch.saved), where))
        if self.batch.lost:
            lines.append("%s could not be saved into %s" % (_traces(self.batch.lost), where))
        lines.extend(self.errors)
        lines.extend(self.notes)
        if self.cut_short:
            lines.append(
                "the recording of %d test%s was cut short when the profile function was replaced "
                "(by cProfile, a debugger or sys.setprofile): %s"
                % (len(self.cut_short), "" if len(self.cut_short) == 1 else "s", ", ".join(self.cut_short))
            )
        return lines


def _traces(count: int) -> str:
    return "%d test trace%s" % (count, "" if count == 1 else "s")
