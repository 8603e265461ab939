"""SQL run through psycopg 3's cursors, plain and async, client and server
side (``Cursor.execute`` and ``executemany`` are Python code in
``psycopg/cursor.py``, ``cursor_async.py`` and the server cursor modules;
``Connection.execute`` calls the cursor's, which is the one recorded)."""

from __future__ import annotations

import os
from typing import Any, Dict, List, Mapping

from sarn.integrations.outside.common import (
    SQL_TEXT_LIMIT, bounded_value, cut_text, end_error, first_start_or_last_end, local, rowcount_of, safe_str, sql_spec,
)

PATH = "psycopg/"
_CURSOR_FILES = ("cursor.py", "cursor_async.py", "server_cursor.py", "_server_cursor.py",
                 "_server_cursor_async.py", "client_cursor.py")


def _in_cursor_file(frame: Any) -> bool:
    return os.path.basename(frame.f_code.co_filename) in _CURSOR_FILES


def call(frame: Any, event: str, arg: Any, context: Dict[str, Any]) -> bool:
    if not _in_cursor_file(frame):
        return False
    if frame.f_code.co_flags & _ASYNC_FLAGS:
        return first_start_or_last_end(frame, event, arg, context)
    return True


_ASYNC_FLAGS = 0x80 | 0x100 | 0x200  # CO_COROUTINE, CO_ITERABLE_COROUTINE, CO_ASYNC_GENERATOR


def _query_text(query: Any, cursor: Any) -> str:
    if isinstance(query, str):
        return cut_text(query, SQL_TEXT_LIMIT)
    if isinstance(query, (bytes, bytearray)):
        return cut_text(bytes(query).decode("utf-8", "replace"), SQL_TEXT_LIMIT)
    try:  # a psycopg.sql composition, rendered for the cursor's connection
        return cut_text(query.as_string(cursor), SQL_TEXT_LIMIT)
    except Exception:
        return cut_text(safe_str(query), SQL_TEXT_LIMIT)


def process(frame: Any, event: str, arg: Any, context: Dict[str, Any]) -> Dict[str, Any]:
    cursor = local(frame, "self")
    if event != "call":
        return end_error(frame) or rowcount_of(cursor)
    try:
        dbname = cursor.connection.info.dbname
    except Exception:
        dbname = ""
    data = {"sql": _query_text(local(frame, "query"), cursor), "database": cut_text(dbname), "vendor": "postgresql"}
    if frame.f_code.co_name == "executemany":
        params = local(frame, "params_seq")
        if isinstance(params, (list, tuple)):
            data["many"] = len(params)
    else:
        params = local(frame, "params")
    if context.get("parameters", True):
        data["params"] = bounded_value(params)
    return data


def specs(config: Mapping[str, Any]) -> List[Dict[str, Any]]:
    return [sql_spec(["execute", "executemany"], PATH, "psycopg", call, process)]
