"""Plugin specifications: which calls become frames of interest.

The recording core calls :func:`load_plugin_data` with the configuration when
a recording starts, and watches the calls that the returned specifications
name. A specification is a ``dict``:

==================  ========  ==============================================
``co_names``        required  function names (``co_name``) to watch
``path_fragment``   required  a piece of the function's file path ("/" as
                              separator; "" matches every file)
``call_type``       required  the record type written when such a call starts
``return_type``     required  the record type written when it returns
``subtype``         optional  a str added to every record as "subtype"
``call``            optional  ``call(frame, event, arg, context) -> bool``:
                              an extra test; False skips the event
``process``         optional  ``process(frame, event, arg, context) -> dict``:
                              extra keys merged into the record
``events``          optional  a list of "call"/"return": only these events
``build_context``   optional  ``build_context(config) -> dict``, called once
                              when recording starts; the dict is passed to
                              ``call`` and ``process`` as ``context``
==================  ========  ==============================================

Each record carries "frame_id", "timestamp", "thread", "thread_native_id",
"user_code_call_site" and "type" (and "subtype"), then whatever ``process``
returns. The types "start_test" and "end_test" mark the boundaries of a test:
when a recording keeps one trace per test, a "start_test" record starts a new
trace and an "end_test" record saves it.

Built in: :data:`PYTEST_TEST_PLUGIN`, which marks each pytest test (its setup,
call and teardown together) with a "start_test" and an "end_test" record
carrying the test's node id and, at the end, its outcome; and the plugins of
:mod:`sarn.integrations.outside`, which record SQL queries, outbound HTTP
calls, log records and template renders (each kind switched by a setting:
``record_sql``, ``record_http``, ``record_logs``, ``record_templates``).

Adding plugins: the configuration's ``plugins`` key is a list whose entries
are either specification dicts or ``"module:attribute"`` names (the attribute
may be dotted). A named attribute may be a specification dict, a list of
them, or a callable that takes the configuration and returns either::

    [tool.sarn]
    plugins = ["myproject.tracing:SARN_PLUGINS"]
"""

from __future__ import annotations

import importlib
from typing import Any, Dict, List, Mapping, Optional

__all__ = [
    "PluginError",
    "PYTEST_TEST_PLUGIN",
    "builtin_plugins",
    "load_plugin_data",
    "resolve_plugin_entry",
    "validate_spec",
    "pytest_test_process",
    "outcome_of_reports",
]

_REQUIRED_TEXT_KEYS = ("path_fragment", "call_type", "return_type")
_CALLABLE_KEYS = ("call", "process", "build_context")
_MESSAGE_LIMIT = 2000


class PluginError(ValueError):
    """A plugin specification, or a configured plugin name, is not usable."""


# --------------------------------------------------------------------------
# The pytest test boundary


def _test_location(item: Any) -> Dict[str, Any]:
    data: Dict[str, Any] = {}
    try:
        path, line, name = item.location
    except Exception:
        return data
    if isinstance(path, str):
        data["test_path"] = path
    if isinstance(line, int) and not isinstance(line, bool):
        data["test_line"] = line + 1
    if isinstance(name, str):
        data["test_function"] = name
    return data


def outcome_of_reports(reports: Any) -> Dict[str, Any]:
    """The outcome of one test from the reports of its setup, call and teardown,
    named as pytest's summary names them."""
    if not isinstance(reports, list):
        # The test protocol was left by an exception (an interrupted run).
        return {"outcome": "interrupted"}
    outcome = "passed"
    duration = 0.0
    message = None
    for report in reports:
        when = getattr(report, "when", None)
        try:
            duration += float(getattr(report, "duration", 0.0) or 0.0)
        except (TypeError, ValueError):
            pass
        xfail = hasattr(report, "wasxfail")
        if getattr(report, "failed", False):
            outcome = "error" if when in ("setup", "teardown") and outcome != "failed" else "failed"
            if message is None:
                try:
                    message = report.longreprtext
                except Exception:
                    message = None
        elif getattr(report, "skipped", False) and outcome == "passed":
            outcome = "xfailed" if xfail else "skipped"
        elif xfail and when == "call" and getattr(report, "passed", False) and outcome == "passed":
            outcome = "xpassed"
    data: Dict[str, Any] = {"outcome": outcome, "duration": duration}
    if isinstance(message, str) and message:
        data["message"] = message[:_MESSAGE_LIMIT]
    return data


def pytest_test_process(frame: Any, event: str, arg: Any, context: Dict[str, Any]) -> Dict[str, Any]:
    """The data of a test boundary, read from pytest's ``runtestprotocol`` frame:
    the test's node id as "test_name", its file, line and function, and on the
    return its outcome ("passed", "failed", "error", "skipped", "xfailed",
    "xpassed", or "interrupted"), its duration and, if it failed, the failure."""
    data: Dict[str, Any] = {}
    try:
        item = frame.f_locals.get("item")
    except Exception:
        item = None
    if item is not None:
        nodeid = getattr(item, "nodeid", None)
        if isinstance(nodeid, str):
            data["test_name"] = nodeid
        data.update(_test_location(item))
    if event == "return":
        data.update(outcome_of_reports(arg))
    return data


#: pytest runs each test item through ``runtestprotocol`` (setup, call and
#: teardown, whichever hook implementation drives it), once per test and run.
PYTEST_TEST_PLUGIN: Dict[str, Any] = {
    "co_names": ["runtestprotocol"],
    "path_fragment": "_pytest/runner.py",
    "call_type": "start_test",
    "return_type": "end_test",
    "process": pytest_test_process,
}


def builtin_plugins(config: Optional[Mapping[str, Any]] = None) -> List[Dict[str, Any]]:
    """Fresh copies of the built-in specifications, with those of the kinds of
    outside calls that ``config`` leaves on (all, without one)."""
    from sarn.integrations.outside import build_specs

    return [dict(PYTEST_TEST_PLUGIN, co_names=list(PYTEST_TEST_PLUGIN["co_names"]))] + build_specs(config)


# --------------------------------------------------------------------------
# Configured plugins


def validate_spec(spec: Any, where: str = "plugin") -> Dict[str, Any]:
    """Check one specification as the recording core will, with a clear message."""
    if not isinstance(spec, dict):
        raise PluginError("%s must be a dict, not %s" % (where, type(spec).__name__))
    if "co_names" not in spec:
        raise PluginError("%s has no 'co_names'" % where)
    co_names = spec["co_names"]
    if isinstance(co_names, (str, bytes)):
        raise PluginError("%s: 'co_names' must be a list of function names, not a single string" % where)
    try:
        names = list(co_names)
    except TypeError:
        raise PluginError("%s: 'co_names' must be a list of function names" % where) from None
    for name in names:
        if not isinstance(name, str):
            raise PluginError("%s: 'co_names' holds a %s, not a function name" % (where, type(name).__name__))
    for key in _REQUIRED_TEXT_KEYS:
        if key not in spec:
            raise PluginError("%s has no %r" % (where, key))
        if not isinstance(spec[key], str):
            raise PluginError("%s: %r must be a str, not %s" % (where, key, type(spec[key]).__name__))
    if "subtype" in spec and not isinstance(spec["subtype"], str):
        raise PluginError("%s: 'subtype' must be a str when given" % where)
    events = spec.get("events")
    if events is not None:
        if not isinstance(events, (list, tuple)) or not all(isinstance(event, str) for event in events):
            raise PluginError("%s: 'events' must be a list of event names ('call', 'return')" % where)
    # The recording core reads each text as UTF-8.
    texts = names + [spec[key] for key in _REQUIRED_TEXT_KEYS] + list(events or ())
    texts += [spec["subtype"]] if "subtype" in spec else []
    for text in texts:
        try:
            text.encode("utf-8")
        except UnicodeEncodeError:
            raise PluginError("%s holds %a, which UTF-8 cannot encode (a lone surrogate)" % (where, text)) from None
    for key in _CALLABLE_KEYS:
        value = spec.get(key)
        if value is not None and not callable(value):
            raise PluginError("%s: %r must be callable" % (where, key))
    return spec


def _import_attribute(name: str) -> Any:
    module_name, sep, attribute = name.partition(":")
    if not sep or not module_name or not attribute:
        raise PluginError("plugin name %r must be written 'module:attribute'" % name)
    try:
        target: Any = importlib.import_module(module_name)
    except (Exception, SystemExit) as error:  # a module that exits on import is refused like one that raises
        raise PluginError("cannot import plugin module %r: %s: %s" % (module_name, type(error).__name__, error)) from None
    for part in attribute.split("."):
        try:
            target = getattr(target, part)
        except AttributeError:
            raise PluginError("plugin %r: %r has no attribute %r" % (name, module_name, part)) from None
    return target


def resolve_plugin_entry(entry: Any, config: Mapping[str, Any]) -> List[Dict[str, Any]]:
    """The specifications that one entry of the configuration's "plugins" names."""
    where = "plugin %r" % (entry,) if isinstance(entry, str) else "plugin"
    target = _import_attribute(entry) if isinstance(entry, str) else entry
    if callable(target) and not isinstance(target, (dict, list, tuple)):
        try:
            target = target(config)
        except (Exception, SystemExit) as error:
            raise PluginError("%s raised %s: %s" % (where, type(error).__name__, error)) from None
    if isinstance(target, dict):
        return [validate_spec(target, where)]
    if isinstance(target, (list, tuple)):
        return [validate_spec(spec, "%s[%d]" % (where, index)) for index, spec in enumerate(target)]
    raise PluginError("%s must be a specification dict or a list of them, not %s" % (where, type(target).__name__))


def load_plugin_data(config: Optional[Mapping[str, Any]]) -> List[Dict[str, Any]]:
    """The built-in plugin specifications followed by those the configuration's
    "plugins" key adds. Raises :class:`PluginError` for an unusable entry."""
    specs = builtin_plugins(config)
    extra = config.get("plugins") if isinstance(config, Mapping) else None
    if extra is None:
        return specs
    if isinstance(extra, (str, dict)) or not isinstance(extra, (list, tuple)):
        raise PluginError("the 'plugins' setting must be a list, not %s" % type(extra).__name__)
    for entry in extra:
        specs.extend(resolve_plugin_entry(entry, config))
    return specs
