"""Jinja2 template renders: ``Template.render`` and ``render_async`` in
``jinja2/environment.py``, one record pair per render. A template of an
async environment rendered with ``render`` runs ``render_async`` in an
event loop: that inner call is the one recorded."""

from __future__ import annotations

from typing import Any, Dict, List, Mapping

from sarn.integrations.outside.common import first_start_or_last_end, local, module_class, template_render, watch

PATH = "jinja2/environment.py"


def call(frame: Any, event: str, arg: Any, context: Dict[str, Any]) -> bool:
    template = local(frame, "self")
    base = module_class("jinja2.environment", "Template")
    if base is None or not isinstance(template, base):
        return False
    if frame.f_code.co_name == "render_async":
        return first_start_or_last_end(frame, event, arg, context)
    return not getattr(getattr(template, "environment", None), "is_async", False)


def process(frame: Any, event: str, arg: Any, context: Dict[str, Any]) -> Dict[str, Any]:
    return template_render(frame, event, "jinja2")


def specs(config: Mapping[str, Any]) -> List[Dict[str, Any]]:
    return [watch("template", ["render", "render_async"], PATH, "jinja2", call, process)]
