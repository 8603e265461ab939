"""SQL run through the Django ORM, on any database backend.

Every query of the ORM, and of ``connection.cursor()`` used directly, goes
through ``CursorWrapper.execute`` or ``executemany`` in
``django/db/backends/utils.py`` (``CursorDebugWrapper`` when DEBUG is on,
whose methods call the plain ones: only the outer call is recorded).
"""

from __future__ import annotations

from typing import Any, Dict, List, Mapping

from sarn.integrations.outside.common import (
    SQL_TEXT_LIMIT, bounded_value, cut_text, end_error, local, outermost_call, rowcount_of, sql_spec,
)

PATH = "django/db/backends/utils.py"
_outermost = outermost_call(PATH)


def process(frame: Any, event: str, arg: Any, context: Dict[str, Any]) -> Dict[str, Any]:
    wrapper = local(frame, "self")
    if event != "call":
        data = end_error(frame)
        return data or rowcount_of(getattr(wrapper, "cursor", None))
    db = getattr(wrapper, "db", None)
    data = {
        "sql": cut_text(local(frame, "sql"), SQL_TEXT_LIMIT),
        "database": cut_text(getattr(db, "alias", "")),
        "vendor": cut_text(getattr(db, "vendor", "")),
    }
    if frame.f_code.co_name == "executemany":
        param_list = local(frame, "param_list")
        if isinstance(param_list, (list, tuple)):  # an iterator is not consumed
            data["many"] = len(param_list)
        if context.get("parameters", True):
            data["params"] = bounded_value(param_list)
    elif context.get("parameters", True):
        data["params"] = bounded_value(local(frame, "params"))
    return data


def specs(config: Mapping[str, Any]) -> List[Dict[str, Any]]:
    return [sql_spec(["execute", "executemany"], PATH, "django", _outermost, process)]

