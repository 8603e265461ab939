"""Django template renders: ``Template.render`` in
``django/template/base.py`` (what ``render``, ``render_to_string`` and the
template backend all end in), one record pair per template, included and
extended ones too. The nodes' own ``render`` methods in the same file are
not recorded."""

from __future__ import annotations

from typing import Any, Dict, List, Mapping

from sarn.integrations.outside.common import cut_text, end_error, local, module_class

PATH = "django/template/base.py"


def call(frame: Any, event: str, arg: Any, context: Dict[str, Any]) -> bool:
    # Decided once per code object: is this Template.render itself?
    known = context.setdefault("codes", {})
    code = frame.f_code
    decision = known.get(code)
    if decision is None:
        template = module_class("django.template.base", "Template")
        render = getattr(template, "render", None)
        decision = known[code] = getattr(render, "__code__", None) is code
    return decision


def process(frame: Any, event: str, arg: Any, context: Dict[str, Any]) -> Dict[str, Any]:
    if event != "call":
        return end_error(frame)
    name = getattr(local(frame, "self"), "name", None)
    return {"template": cut_text(name) if isinstance(name, str) and name else "<string>", "engine": "django"}


def specs(config: Mapping[str, Any]) -> List[Dict[str, Any]]:
    return [{
        "co_names": ["render"],
        "path_fragment": PATH,
        "call_type": "template_render",
        "return_type": "template_render_end",
        "subtype": "django",
        "call": call,
        "process": process,
    }]
