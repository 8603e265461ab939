"""Log records written through ``logging``: each record that reaches the
handlers (``Logger.callHandlers``, after the logger's level and filters
have let it through), at or above the ``log_level`` setting. A record is
one "log_record" entry with no end. The logging configuration and the
record itself are left as they are."""

from __future__ import annotations

import traceback
from typing import Any, Dict, List, Mapping

from sarn.integrations.outside.common import cut_text, local, module_class, safe_str, type_name, watch

PATH = "logging/__init__.py"
LEVEL_NAMES = {"CRITICAL": 50, "FATAL": 50, "ERROR": 40, "WARNING": 30, "WARN": 30, "INFO": 20, "DEBUG": 10,
               "NOTSET": 0}


def level_number(level: Any) -> int:
    """The number of a ``log_level`` setting: a level name or a number."""
    if isinstance(level, str):
        return LEVEL_NAMES[level.upper()]
    return int(level)


def build_context(config: Mapping[str, Any]) -> Dict[str, Any]:
    try:
        level = level_number(config.get("log_level", "DEBUG"))
    except (KeyError, TypeError, ValueError):
        level = 0
    return {"level": level}


def _record(frame: Any) -> Any:
    record = local(frame, "record")
    base = module_class("logging", "LogRecord")
    return record if base is not None and isinstance(record, base) else None


def call(frame: Any, event: str, arg: Any, context: Dict[str, Any]) -> bool:
    if event != "call":
        return False
    record = _record(frame)
    if record is None:
        return False
    levelno = getattr(record, "levelno", 0)
    return not isinstance(levelno, int) or levelno >= context["level"]


def _message(record: Any) -> str:
    try:
        return cut_text(record.getMessage())
    except Exception as error:  # arguments that do not fit the format, as a handler would report
        return cut_text("%s (formatting it raised %s)" % (safe_str(getattr(record, "msg", "")), type_name(error)))


def _exception(record: Any) -> str:
    text = getattr(record, "exc_text", None)
    if not text:
        exc_info = getattr(record, "exc_info", None)
        if not exc_info or not isinstance(exc_info, tuple) or exc_info[0] is None:
            return ""
        try:
            text = "".join(traceback.format_exception(*exc_info))
        except Exception:
            text = safe_str(exc_info[1])
    return cut_text(text.rstrip("\n"), keep_end=True)


def process(frame: Any, event: str, arg: Any, context: Dict[str, Any]) -> Dict[str, Any]:
    record = _record(frame)
    levelno = getattr(record, "levelno", 0)
    data = {
        "level": cut_text(getattr(record, "levelname", "")),
        "levelno": levelno if type(levelno) is int else 0,
        "logger": cut_text(getattr(record, "name", "")),
        "message": _message(record),
    }
    exception = _exception(record)
    if exception:
        data["exception"] = exception
    return data


def specs(config: Mapping[str, Any]) -> List[Dict[str, Any]]:
    return [watch("log", ["callHandlers"], PATH, "logging", call, process, events=["call"],
                  build_context=build_context)]
