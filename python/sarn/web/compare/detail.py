"""Where inside two values they differ.

A compared call keeps only a digest and a short text of each value, so two
objects that differ deep inside can show the same text. For such changes
both documents are read once more, record by record, and only the values
in question are kept; the change then names the place that differs
("self.inventory.items['tea'].quantity") and the values there.
"""

from __future__ import annotations

from typing import Any, Collection, Dict, Iterator, List, Optional, Tuple

from sarn.serialize import TAG
from sarn.web.document import iter_document, unpack_value
from sarn.web.values import format_value

from .align import Change, Pair
from .normal import normalise

__all__ = ["unclear_changes", "read_values", "pointed", "sharpen"]

#: Changes made pointed at most: each needs its two values held.
LIMIT = 200

# What to read for a change: (which call's record, which value of it).
Want = Tuple[int, str, Optional[str]]


def _wants(pair: Pair, change: Change) -> Optional[Tuple[Want, Want]]:
    a, b = pair.a, pair.b
    if a is None or b is None or not change.a or not change.b:
        return None
    if change.kind == "argument":
        return (a.index, "locals", change.field), (b.index, "locals", change.field)
    if change.kind == "result":
        return (a.end, "arg", None), (b.end, "arg", None)
    if change.kind == "local":
        return (a.end, "locals", change.field), (b.end, "locals", change.field)
    return None


def unclear_changes(threads: List[Tuple[str, List[Pair]]]) -> Iterator[Tuple[Change, Want, Want]]:
    """The value changes whose texts do not show the difference: equal,
    or cut short ("...")."""
    stack = [pair for _, pairs in threads for pair in pairs if pair.differs]
    count = 0
    while stack and count < LIMIT:
        pair = stack.pop()
        stack.extend(child for child in pair.children if child.differs)
        for change in pair.changes:
            wants = _wants(pair, change)
            if wants and (change.a == change.b or change.a.endswith("...") or change.b.endswith("...")):
                count += 1
                yield change, wants[0], wants[1]


def read_values(stream: Any, wants: Collection[Want]) -> Dict[Want, Any]:
    """The values ``wants`` names, read from the document ``stream``."""
    by_index: Dict[int, List[Want]] = {}
    for want in wants:
        by_index.setdefault(want[0], []).append(want)
    found: Dict[Want, Any] = {}
    index = 0
    for kind, _, record in iter_document(stream, calls=True):
        if kind != "record":
            continue
        for want in by_index.get(index, ()):
            found[want] = _wanted(record, want)
        index += 1
    return found


def _wanted(record: Any, want: Want) -> Any:
    """The value ``want`` names in a record (a call tuple or a dict): the
    whole field, or the item of that name when the field is a map."""
    _, field, name = want
    if type(record) is not tuple:
        value = record.get(field)
    else:
        data = record[10] if field == "locals" else record[11] if field == "arg" else None
        if type(data) is tuple:  # plain locals: only the one asked for is decoded
            if name is not None:
                return next((unpack_value(item) for key, item in reversed(data) if key == name), None)
            return {key: unpack_value(item) for key, item in data}
        value = None if data is None else unpack_value(data)
    return value.get(name) if name is not None and isinstance(value, dict) else value


def _children(value: Any) -> Optional[Dict[str, Any]]:
    """The parts of a container or object by their place (".name", "[0]", "['key']")."""
    if isinstance(value, list):
        return {"[%d]" % index: item for index, item in enumerate(value)}
    if not isinstance(value, dict):
        return None
    if TAG not in value:
        return {"[%r]" % key: item for key, item in value.items()}
    if isinstance(value.get("attrs"), dict):
        return {"." + str(name): item for name, item in value["attrs"].items()}
    items = value.get("items")
    if not isinstance(items, list):
        return None
    if value.get(TAG) == "dict":
        return {"[%s]" % format_value(pair[0], 40): pair[1] for pair in items if isinstance(pair, list) and len(pair) == 2}
    return {"[%d]" % index: item for index, item in enumerate(items)}


def pointed(a: Any, b: Any) -> Tuple[str, Any, Any]:
    """The first place inside two (normalised) values that differs, and the
    values there: ("", a, b) when they differ as a whole."""
    path = ""
    while True:
        parts_a, parts_b = _children(a), _children(b)
        same_kind = not isinstance(a, dict) or not isinstance(b, dict) or (a.get(TAG), a.get("type")) == (b.get(TAG), b.get("type"))
        if parts_a is None or parts_b is None or not same_kind or list(parts_a) != list(parts_b):
            return path, a, b
        inner = next((place for place in parts_a if parts_a[place] != parts_b[place]), None)
        if inner is None:
            return path, a, b
        path, a, b = path + inner, parts_a[inner], parts_b[inner]


def sharpen(change: Change, a: Any, b: Any, ignore: Collection[str]) -> None:
    """Point ``change`` at the place inside its values that differs."""
    where, inner_a, inner_b = pointed(normalise(a, ignore), normalise(b, ignore))
    if not where:
        return
    change.field = (change.field or "result") + where
    change.a, change.b = format_value(inner_a), format_value(inner_b)
