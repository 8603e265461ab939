"""Django template renders: ``Template.render`` in
``django/template/base.py`` (what ``render``, ``render_to_string`` and the
template backend all end in), one record pair per template, included and
extended ones too. The nodes' own ``render`` methods in the same file are
not recorded."""

from __future__ import annotations

from typing import Any, Dict, List, Mapping

from sarn.integrations.outside.common import module_class, template_render, watch

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
    return template_render(frame, event, "django")


def specs(config: Mapping[str, Any]) -> List[Dict[str, Any]]:
    return [watch("template", ["render"], PATH, "django", call, process)]
