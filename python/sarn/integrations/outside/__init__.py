"""What a recorded program does outside its own code: SQL queries, outbound
HTTP calls, log records and template renders, recorded as frames of
interest by built-in plugins.

Each module below watches one library. None imports its library: a
plugin's functions run only once the program has imported the library and
calls into it. The configuration turns each kind on or off
(``record_sql``, ``record_http``, ``record_logs``, ``record_templates``,
``record_tasks``, all on by default); ``sql_parameters`` and ``log_level`` refine them.

The records (a call record and, except for logs, an end record with the
same "frame_id"; each also carries "subtype", the library):

- "sql_query": "sql", "params" (unless ``sql_parameters`` is false),
  "many" (executemany: the number of parameter sets, when known without
  consuming them), "database", "vendor"; "sql_query_end": "rowcount" (when
  the driver knows it), "error" (when it raised).
- "http_request": "method", "url" (without credentials), "request_headers"
  (secret values masked); "http_request_end": "status", "response_size"
  (from Content-Length), "response_headers", "error".
- "log_record": "level", "levelno", "logger", "message", "exception".
- "template_render": "template", "engine"; "template_render_end": "error".
- "task_created", "task_enter", "task_leave": the asyncio tasks a thread's
  records belong to (:mod:`sarn.integrations.outside.asyncio_tasks`).

Texts are cut to the recorder's string limit so that they stay texts;
parameter values and headers are bounded like recorded values.
"""

from __future__ import annotations

from typing import Any, Dict, List, Mapping, Optional

from sarn.integrations.outside import (
    asyncio_tasks,
    django_sql,
    django_templates,
    http_client,
    httpx_calls,
    jinja2_templates,
    log_records,
    psycopg_sql,
    sqlalchemy_sql,
    sqlite3_sql,
)

__all__ = ["KINDS", "build_specs"]

#: The setting that turns each kind on, and the modules that record it.
KINDS = {
    "record_sql": (django_sql, sqlalchemy_sql, psycopg_sql, sqlite3_sql),
    "record_http": (http_client, httpx_calls),
    "record_logs": (log_records,),
    "record_templates": (django_templates, jinja2_templates),
    "record_tasks": (asyncio_tasks,),
}


def build_specs(config: Optional[Mapping[str, Any]]) -> List[Dict[str, Any]]:
    """The plugin specifications of the kinds that ``config`` leaves on
    (a missing setting counts as on)."""
    settings = config if isinstance(config, Mapping) else {}
    specs: List[Dict[str, Any]] = []
    for setting, modules in KINDS.items():
        if settings.get(setting, True) is False:
            continue
        for module in modules:
            specs.extend(module.specs(settings))
    return specs
