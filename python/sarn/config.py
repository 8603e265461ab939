"""Recording configuration.

A configuration is a plain ``dict``; the recording core reads some of its keys
and the host package the others. It is assembled in three layers, each
overriding the one before:

1. the defaults below;
2. the ``[tool.sarn]`` table of the nearest ``pyproject.toml``, looked for in
   the current directory and its parents (read with ``tomllib``, or ``tomli``
   before Python 3.11; a missing file, or a missing reader, is no error);
3. overrides from the command line (``sarn run --config KEY=VALUE``,
   ``--db``, ``--threads``; ``pytest --sarn-config KEY=VALUE``,
   ``--sarn-db``) or from the Python API (``sarn.record(config=...)``).

Keys:

=======================  =========  ======================================
``db_path``              str        where traces are stored; default
                                    ``.sarn/db.sqlite3`` under the current
                                    directory; a relative path in
                                    pyproject.toml is taken relative to
                                    that file's folder
``filters``              table      ``include_frames`` and ``ignore_frames``
                                    (also written ``filters.include_frames``
                                    and ``filters.ignore_frames``): lists of
                                    file-path fragments; a frame whose file
                                    contains an include fragment is always
                                    recorded, one that contains an ignore
                                    fragment never (unless included)
``threading``            bool       also record threads started while
                                    recording (default false)
``lightweight_repr``     bool       write values as type and short repr
                                    only, which is faster (default false)
``call_user_repr``       bool       run the ``__repr__`` methods written in
                                    the recorded code itself to show its
                                    objects (default false: they are shown
                                    by type, id and attributes, since such a
                                    method may change what the program does)
``sqlite_busy_timeout``  int        seconds to wait for a busy database
                                    (default 60)
``max_trace_bytes``      int        the most bytes of records one trace
                                    keeps (default 16 GiB; 0: no limit);
                                    past it, recording of that trace
                                    stops, and the trace says so
``spill_after_bytes``    int        past this many bytes of records in
                                    memory, full chunks of them move to a
                                    nameless file beside the database
                                    (default 16 MiB; 0: keep all in
                                    memory)
``plugins``              list       extra plugin specifications, see
                                    :mod:`sarn.plugins`
``record_sql``           bool       record the SQL queries run through
                                    Django's ORM, SQLAlchemy, psycopg 3
                                    and sqlite3 used directly (default
                                    true)
``sql_parameters``       bool       with them, their parameters (default
                                    true; false keeps values out of the
                                    trace)
``record_http``          bool       record outbound HTTP requests made
                                    through http.client (urllib, urllib3,
                                    requests) and httpx (default true)
``record_logs``          bool       record the log records that reach
                                    logging's handlers (default true)
``log_level``            str, int   the lowest level of the log records
                                    recorded: a name ("DEBUG", "INFO",
                                    "WARNING", "ERROR", "CRITICAL") or a
                                    number (default "DEBUG")
``record_templates``     bool       record Django and Jinja2 template
                                    renders (default true)
``record_tasks``         bool       record which asyncio task ran each
                                    part of a thread's calls (default
                                    true)
``relax_deadlines``      bool       under ``pytest --sarn``, turn off
                                    hypothesis's per-example deadline,
                                    which recording would make tests
                                    exceed (default true; the summary
                                    says so)
``engine``               str        "monitoring" (default): record through
                                    ``sys.monitoring`` on Python 3.12 and
                                    later, through the profile function
                                    before; "setprofile": through the
                                    profile function everywhere (the
                                    core, given no engine, takes the
                                    profile function: the package always
                                    names one)
=======================  =========  ======================================

Example::

    [tool.sarn]
    db_path = ".sarn/db.sqlite3"
    threading = true
    filters = { include_frames = ["site-packages/mylib/"], ignore_frames = ["app/migrations/"] }

The filters adjust what counts as library code, which is not recorded:
files of installed packages and of the standard library, frozen modules,
code compiled from strings or generated under an angle-bracket name
(``<decorator-gen-12>``, Jinja2's ``<template>``), code compiled from a file
whose extension names a template or text format (``.html``, ``.txt``,
``.j2``, ``.jinja``, ...), and sarn itself. Code the user typed stays user
code: ``<stdin>``, the interactive console, the Python 3.13 REPL
(``<python-input-N>``), IPython and notebook cells, doctest examples; so
does a script without an extension.

Invalid values raise :class:`ConfigError` with a message naming the key and
where it came from.
"""

from __future__ import annotations

import copy
import json
import os
import sys
from typing import Any, Dict, Iterable, List, Mapping, Optional, Tuple

__all__ = [
    "ConfigError",
    "DEFAULT_DB_PATH",
    "DEFAULTS",
    "KNOWN_KEYS",
    "default_config",
    "find_pyproject",
    "read_pyproject",
    "load_config",
    "validate",
    "parse_assignment",
    "merge",
]

DEFAULT_DB_PATH = os.path.join(".sarn", "db.sqlite3")

DEFAULTS: Dict[str, Any] = {
    "db_path": DEFAULT_DB_PATH,
    "filters": {"include_frames": [], "ignore_frames": []},
    "threading": False,
    "lightweight_repr": False,
    "call_user_repr": False,
    "sqlite_busy_timeout": 60,
    "max_trace_bytes": 16 << 30,
    "spill_after_bytes": 16 << 20,
    "plugins": [],
    "engine": "monitoring",
    "record_sql": True,
    "sql_parameters": True,
    "record_http": True,
    "record_logs": True,
    "log_level": "DEBUG",
    "record_templates": True,
    "record_tasks": True,
    "relax_deadlines": True,
}

KNOWN_KEYS = tuple(DEFAULTS)
_FILTER_KEYS = ("include_frames", "ignore_frames")
_ENGINES = ("monitoring", "setprofile")
_SWITCHES = ("threading", "lightweight_repr", "call_user_repr", "record_sql", "sql_parameters", "record_http",
             "record_logs", "record_templates", "record_tasks", "relax_deadlines")
_LOG_LEVELS = ("DEBUG", "INFO", "WARNING", "WARN", "ERROR", "CRITICAL", "FATAL", "NOTSET")
# Every key as it may be written, the table's keys with dotted names.
_SPELLED_KEYS = tuple(
    spelled
    for key in KNOWN_KEYS
    for spelled in (["filters." + inner for inner in _FILTER_KEYS] if key == "filters" else [key])
)


class ConfigError(ValueError):
    """A configuration value is missing, unknown or of the wrong type."""


def default_config() -> Dict[str, Any]:
    """A fresh copy of the defaults."""
    return copy.deepcopy(DEFAULTS)


def find_pyproject(start: Optional[str] = None) -> Optional[str]:
    """The nearest pyproject.toml in ``start`` (default: the current directory)
    or one of its parents, or None."""
    try:
        current = os.path.abspath(start if start is not None else os.getcwd())
    except OSError:
        return None
    while True:
        candidate = os.path.join(current, "pyproject.toml")
        if os.path.isfile(candidate):
            return candidate
        parent = os.path.dirname(current)
        if parent == current:
            return None
        current = parent


def _toml_reader():
    if sys.version_info >= (3, 11):
        import tomllib

        return tomllib
    try:
        import tomli
    except ImportError:
        return None
    return tomli


def read_pyproject(path: str) -> Dict[str, Any]:
    """The ``[tool.sarn]`` table of the pyproject.toml at ``path`` ({} when it has
    none, or when no TOML reader is installed). A relative ``db_path`` is made
    relative to the file's folder."""
    reader = _toml_reader()
    if reader is None:
        return {}
    try:
        with open(path, "rb") as handle:
            data = reader.load(handle)
    except OSError as error:
        raise ConfigError("cannot read %s: %s" % (path, error)) from None
    except Exception as error:  # the reader's own TOMLDecodeError
        raise ConfigError("%s is not valid TOML: %s" % (path, error)) from None
    tool = data.get("tool")
    table = tool.get("sarn") if isinstance(tool, dict) else None
    if table is None:
        return {}
    if not isinstance(table, dict):
        raise ConfigError("%s: [tool.sarn] must be a table" % path)
    table = dict(table)
    db_path = table.get("db_path")
    if isinstance(db_path, str) and db_path and not os.path.isabs(db_path):
        table["db_path"] = os.path.join(os.path.dirname(os.path.abspath(path)), db_path)
    return table


def _type_name(value: Any) -> str:
    return type(value).__name__


def _check_fragments(value: Any, where: str) -> List[str]:
    if isinstance(value, str) or not isinstance(value, (list, tuple)):
        raise ConfigError("%s must be a list of strings, not %s" % (where, _type_name(value)))
    for item in value:
        if not isinstance(item, str):
            raise ConfigError("%s must be a list of strings; it holds a %s" % (where, _type_name(item)))
        if not _encodable(item):
            raise ConfigError("%s holds %a, which UTF-8 cannot encode (a lone surrogate)" % (where, item))
    return [str(item) for item in value]


def _encodable(text: str) -> bool:
    """True when ``text`` can be written as UTF-8, as the recording core needs."""
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def _nest(config: Mapping[str, Any]) -> Dict[str, Any]:
    """``config`` with dotted keys ("filters.include_frames") moved into their
    tables, merged with the same table given whole."""
    result: Dict[str, Any] = {}
    for key, value in config.items():
        table, dot, inner = key.partition(".") if isinstance(key, str) else (key, "", "")
        if dot and table == "filters":
            key, value = table, {inner: value}
        if isinstance(value, Mapping) and key in result:
            if not isinstance(result[key], Mapping):
                continue  # keep the table given whole, which is not one, for the check
            value = {**result[key], **value}
        result[key] = value
    return result


def validate(config: Mapping[str, Any], source: str = "configuration") -> Dict[str, Any]:
    """A checked, normalised copy of a complete or partial configuration.

    Keys of the "filters" table may be given inside it or with dotted names
    (``{"filters.include_frames": [...]}``). Raises :class:`ConfigError` for an
    unknown key or a value of the wrong type.
    """
    if not isinstance(config, Mapping):
        raise ConfigError("%s must be a table of settings, not %s" % (source, _type_name(config)))
    result: Dict[str, Any] = {}
    for key, value in _nest(config).items():
        if key not in DEFAULTS:
            raise ConfigError("%s: unknown key %s (known keys: %s)" % (source, _shown(key), ", ".join(_SPELLED_KEYS)))
        where = "%s: %r" % (source, key)
        try:
            result[key] = _checked_value(key, value, where)
        except ConfigError:
            raise
        except Exception as error:  # a value whose comparison (or the like) raises
            raise ConfigError(
                "%s cannot be checked: checking its %s raised %s" % (where, _type_name(value), _type_name(error))
            ) from None
    return result


def _shown(value: Any) -> str:
    """``repr(value)``, or its type's name when that repr raises."""
    try:
        return repr(value)
    except Exception:
        return "<%s object>" % _type_name(value)


def _checked_value(key: str, value: Any, where: str) -> Any:
    """The checked, normalised value of the known key ``key``."""
    if key == "db_path":
        if isinstance(value, os.PathLike):
            value = os.fspath(value)
        if not isinstance(value, str) or not value:
            raise ConfigError("%s must be a non-empty path" % where)
    elif key in _SWITCHES:
        if not isinstance(value, bool):
            raise ConfigError("%s must be true or false, not %s" % (where, _shown(value)))
    elif key == "sqlite_busy_timeout":
        if isinstance(value, bool) or not isinstance(value, int) or value < 0:
            raise ConfigError("%s must be a whole number of seconds (0 or more), not %s" % (where, _shown(value)))
    elif key in ("max_trace_bytes", "spill_after_bytes"):
        if isinstance(value, bool) or not isinstance(value, int) or not 0 <= value < 1 << 64:
            raise ConfigError("%s must be a whole number of bytes (0: no limit), not %s" % (where, _shown(value)))
    elif key == "filters":
        if not isinstance(value, Mapping):
            raise ConfigError("%s must be a table with include_frames and ignore_frames" % where)
        filters = {}
        for filter_key, fragments in value.items():
            if filter_key not in _FILTER_KEYS:
                raise ConfigError(
                    "%s: unknown key %s (known keys: %s)" % (where, _shown(filter_key), ", ".join(_FILTER_KEYS))
                )
            filters[filter_key] = _check_fragments(fragments, "%s.%s" % (where, filter_key))
        value = filters
    elif key == "engine":
        # Compared, and kept, as plain text: the core reads the name as a string.
        name = str.__str__(value) if isinstance(value, str) else None
        if name not in _ENGINES:
            raise ConfigError("%s must be \"monitoring\" or \"setprofile\", not %s" % (where, _shown(value)))
        value = name
    elif key == "log_level":
        if isinstance(value, str) and str.upper(value) in _LOG_LEVELS:
            value = str.upper(value)
        elif isinstance(value, bool) or not isinstance(value, int) or value < 0:
            raise ConfigError(
                "%s must be a level name (%s) or a number of 0 or more, not %s"
                % (where, ", ".join(_LOG_LEVELS[:-1]), _shown(value))
            )
    elif key == "plugins":
        if isinstance(value, (str, dict)) or not isinstance(value, (list, tuple)):
            raise ConfigError("%s must be a list of plugin specifications or 'module:attribute' names" % where)
        for entry in value:
            if not isinstance(entry, (dict, str)):
                raise ConfigError(
                    "%s entries must be specification tables or 'module:attribute' names, not %s"
                    % (where, _type_name(entry))
                )
        value = list(value)
    return value


def merge(base: Dict[str, Any], overrides: Mapping[str, Any]) -> Dict[str, Any]:
    """``base`` updated with ``overrides``; "filters" is merged key by key."""
    result = copy.deepcopy(base)
    for key, value in overrides.items():
        if key == "filters" and isinstance(result.get("filters"), dict) and isinstance(value, Mapping):
            merged = dict(result["filters"])
            merged.update(copy.deepcopy(dict(value)))
            result["filters"] = merged
        else:
            result[key] = copy.deepcopy(value)
    return result


def parse_assignment(text: str) -> Tuple[str, Any]:
    """One ``KEY=VALUE`` of the command line as (key, partial configuration).

    The value is read as JSON when it parses (``true``, ``30``, ``["a", "b"]``),
    otherwise as a plain string. ``filters.include_frames`` and
    ``filters.ignore_frames`` also take a comma-separated list, and ``plugins``
    a comma-separated list of 'module:attribute' names.
    """
    key, sep, raw = text.partition("=")
    key = key.strip()
    if not sep or not key:
        raise ConfigError("a setting is written KEY=VALUE, not %r" % text)
    try:
        value: Any = json.loads(raw)
    except ValueError:
        value = raw
    if key.startswith("filters."):
        filter_key = key[len("filters."):]
        if filter_key not in _FILTER_KEYS:
            raise ConfigError("unknown key %r (known: filters.include_frames, filters.ignore_frames)" % key)
        if isinstance(value, str):
            value = [part for part in (piece.strip() for piece in value.split(",")) if part]
        return key, {"filters": {filter_key: value}}
    if key == "plugins" and isinstance(value, str):
        value = [part for part in (piece.strip() for piece in value.split(",")) if part]
    if key == "db_path" and not isinstance(value, str):
        value = raw
    return key, {key: value}


def load_config(
    overrides: Optional[Mapping[str, Any]] = None,
    *,
    assignments: Iterable[str] = (),
    start: Optional[str] = None,
    use_pyproject: bool = True,
) -> Dict[str, Any]:
    """The complete, validated configuration: defaults, then the ``[tool.sarn]``
    table of the nearest pyproject.toml (unless ``use_pyproject`` is false),
    then ``KEY=VALUE`` ``assignments``, then ``overrides``."""
    config = default_config()
    if use_pyproject:
        path = find_pyproject(start)
        if path is not None:
            config = merge(config, validate(read_pyproject(path), "%s [tool.sarn]" % path))
    for text in assignments:
        _, partial = parse_assignment(text)
        config = merge(config, validate(partial, "setting %s" % text))
    if overrides:
        config = merge(config, validate(overrides))
    return validate(config)
