"""Jinja2 template renders: ``Template.render`` and ``render_async`` in
``jinja2/environment.py``, one record pair per render. A template of an
async environment rendered with ``render`` runs ``render_async`` in an
event loop: that inner call is the one recorded."""

from __future__ import annotations

from typing import Any, Dict, List, Mapping

from sarn.integrations.outside.common import cut_text, end_error, first_start_or_last_end, local, module_class

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
    if event != "call":
        return end_error(frame)
    name = getattr(local(frame, "self"), "name", None)
    return {"template": cut_text(name) if isinstance(name, str) and name else "<string>", "engine": "jinja2"}


def specs(config: Mapping[str, Any]) -> List[Dict[str, Any]]:
    return [{
        "co_names": ["render", "render_async"],
        "path_fragment": PATH,
        "call_type": "template_render",
        "return_type": "template_render_end",
        "subtype": "jinja2",
        "call": call,
        "process": process,
    }]
