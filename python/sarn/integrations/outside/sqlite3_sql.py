"""SQL run through the ``sqlite3`` module directly (not through an ORM).

The statements are the frames of the recording cursors' ``execute``,
``executemany`` and ``executescript`` (see :mod:`sqlite3_classes`), which
are installed as a recording starts (sarn stores its traces with
``sqlite3``, so the module is loaded in any case).
"""

from __future__ import annotations

from typing import Any, Dict, List, Mapping

from sarn.integrations.outside import sqlite3_classes
from sarn.integrations.outside.common import (
    RAISED, SQL_TEXT_LIMIT, bounded_value, cut_text, exception_text, frame_exit, local, rowcount_of, sql_spec,
)

PATH = "sarn/integrations/outside/sqlite3_classes.py"
# The first parameter's keyword name, per method.
_SQL_KEYWORDS = {"execute": "sql", "executemany": "sql", "executescript": "sql_script"}


def is_statement(frame: Any, event: str, arg: Any, context: Dict[str, Any]) -> bool:
    """A recording cursor's statement method, given a statement (a call
    without one is refused by sqlite3 before anything runs)."""
    return frame.f_code in sqlite3_classes.CURSOR_CODES and _sql(frame) is not None


def _sql(frame: Any) -> Any:
    return _argument(frame, 0, _SQL_KEYWORDS.get(frame.f_code.co_name, "sql"))


def _argument(frame: Any, index: int, keyword: str) -> Any:
    args, kwargs = local(frame, "args", ()), local(frame, "kwargs", {})
    if isinstance(args, tuple) and len(args) > index:
        return args[index]
    return kwargs.get(keyword) if isinstance(kwargs, dict) else None


def process(frame: Any, event: str, arg: Any, context: Dict[str, Any]) -> Dict[str, Any]:
    cursor = local(frame, "self")
    if event != "call":
        if frame_exit(frame) == RAISED:
            return {"error": exception_text(local(frame, "failure"))}
        return rowcount_of(cursor)
    name = frame.f_code.co_name
    data = {
        "sql": cut_text(_sql(frame), SQL_TEXT_LIMIT),
        "database": cut_text(sqlite3_classes.database_of(getattr(cursor, "connection", None))),
        "vendor": "sqlite",
    }
    if name == "executescript":
        return data
    keyword = "seq_of_parameters" if name == "executemany" else "parameters"
    parameters = _argument(frame, 1, keyword)
    if name == "executemany" and isinstance(parameters, (list, tuple)):  # an iterator is not consumed
        data["many"] = len(parameters)
    if context.get("parameters", True) and parameters is not None:
        data["params"] = bounded_value(parameters)
    return data


def specs(config: Mapping[str, Any]) -> List[Dict[str, Any]]:
    sqlite3_classes.install()
    return [sql_spec(list(sqlite3_classes.STATEMENTS), PATH, "sqlite3", is_statement, process)]
