"""Two aligned runs as the rows of the side-by-side page of ``sarn view``
(``/compare/A/B``): the same paths to the differences, with the same
context, as ``sarn diff`` prints, each row with what A and B have there."""

from __future__ import annotations

from typing import Any, Dict, List

from .align import Pair
from .report import args_text, call_text, change_text, differences, shown_pairs

__all__ = ["page_json"]

#: Equal sibling calls shown around each difference.
CONTEXT = 2


def _call_row(pair: Pair, depth: int) -> Dict[str, Any]:
    if pair.a is None or pair.b is None:
        call = pair.a if pair.a is not None else pair.b
        text = call_text(call)  # type: ignore[arg-type]
        return {"kind": "only_a" if pair.b is None else "only_b", "depth": depth,
                "a": text if pair.b is None else None, "b": text if pair.a is None else None,
                "under": call.size() - 1, "site": call.site}  # type: ignore[union-attr]
    text = pair.a.name + ("()" if pair.changes else args_text(pair.a, 60))
    return {"kind": "changed" if pair.changes else "same", "depth": depth, "a": text,
            "b": pair.b.name + ("()" if pair.changes else args_text(pair.b, 60)), "site": pair.a.site}


def _rows(pairs: List[Pair], depth: int, rows: List[Dict[str, Any]]) -> None:
    for hidden, pair in shown_pairs(pairs, CONTEXT):
        if hidden:
            rows.append({"kind": "hidden", "depth": depth, "count": hidden})
        if pair is None:
            continue
        rows.append(_call_row(pair, depth))
        for change in pair.changes:
            rows.append({"kind": "change", "depth": depth + 1, "a": change_text(change, "-"),
                         "b": change_text(change, "+")})
        if pair.a is not None and pair.b is not None and pair.differs:
            _rows(pair.children, depth + 1, rows)


def page_json(threads: List[Any], facts_a: Dict[str, Any], facts_b: Dict[str, Any]) -> Dict[str, Any]:
    """{"a", "b": the traces' facts, "first": the first difference or null,
    "count": how many, "threads": [{"name", "rows": [...]}]} for the page;
    a row has "kind" ("same", "changed", "change", "only_a", "only_b",
    "hidden"), "depth", and "a" and "b" texts."""
    found = list(differences(threads))
    shown = []
    for name, pairs in threads:
        if any(pair.differs for pair in pairs):
            rows: List[Dict[str, Any]] = []
            _rows(pairs, 0, rows)
            shown.append({"name": name, "rows": rows})
    return {"a": facts_a, "b": facts_b, "first": found[0] if found else None, "count": len(found), "threads": shown}
