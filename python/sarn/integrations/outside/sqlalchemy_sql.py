"""SQL run through SQLAlchemy (1.4 and 2.x), Core and ORM alike.

Every statement reaches the DB-API cursor through one of the dialect's
``do_execute``, ``do_executemany`` or ``do_execute_no_params`` (defined in
``sqlalchemy/engine/default.py``, overridden by some dialects under
``sqlalchemy/dialects/``): one record pair per cursor execution, so an
ORM flush that sends several batches shows each of them.
"""

from __future__ import annotations

from typing import Any, Dict, List, Mapping

from sarn.integrations.outside.common import (
    SQL_TEXT_LIMIT, bounded_value, cut_text, end_error, local, outermost_call, rowcount_of, safe_str, sql_spec,
)

PATH = "sqlalchemy/"
_outermost = outermost_call(PATH)


def _database(dialect_context: Any) -> str:
    """The engine's URL without its password."""
    try:
        url = dialect_context.root_connection.engine.url
    except Exception:
        return ""
    try:
        return cut_text(url.render_as_string(hide_password=True))
    except Exception:
        return cut_text(safe_str(url))  # URL's own text masks the password too


def process(frame: Any, event: str, arg: Any, context: Dict[str, Any]) -> Dict[str, Any]:
    if event != "call":
        return end_error(frame) or rowcount_of(local(frame, "cursor"))
    name = frame.f_code.co_name
    data = {
        "sql": cut_text(local(frame, "statement"), SQL_TEXT_LIMIT),
        "database": _database(local(frame, "context")),
        "vendor": cut_text(getattr(local(frame, "self"), "name", "")),
    }
    if name == "do_execute_no_params":
        return data
    parameters = local(frame, "parameters")
    if name == "do_executemany" and isinstance(parameters, (list, tuple)):
        data["many"] = len(parameters)
    if context.get("parameters", True):
        data["params"] = bounded_value(parameters)
    return data


def specs(config: Mapping[str, Any]) -> List[Dict[str, Any]]:
    return [sql_spec(["do_execute", "do_executemany", "do_execute_no_params"], PATH, "sqlalchemy", _outermost, process)]
