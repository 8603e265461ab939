"""Two runs' call trees aligned, and what differs between them.

Sibling calls are aligned as sequences (difflib's SequenceMatcher): first on
the function, the line that called it and its arguments; the stretches left
unpaired then on the function and line alone, then on the name alone (a
call made from a moved line still pairs with its counterpart). A loop that
ran once more in one run is so one extra call, not every later call shifted. Paired calls are
compared (arguments, result or exception, and optionally locals at return
and duration) and their children aligned in turn.
"""

from __future__ import annotations

from difflib import SequenceMatcher
from typing import Any, Callable, List, Optional, Sequence, Tuple

from sarn.web.values import format_duration

from .calls import Call, Thread

__all__ = ["Change", "Pair", "Options", "align_calls", "align_threads", "compare_calls"]


class Change:
    """One difference of a paired call: ``kind`` is "site", "argument",
    "result", "exception", "local" or "time"; ``field`` the argument or local
    name; ``a`` and ``b`` the texts of each side ("" when absent)."""

    __slots__ = ("kind", "field", "a", "b")

    def __init__(self, kind: str, field: Optional[str], a: str, b: str) -> None:
        self.kind, self.field, self.a, self.b = kind, field, a, b


class Pair:
    """One position of the aligned trees: ``a`` and ``b`` the calls (one is
    None for a call made in one run only), ``changes`` how they differ,
    ``children`` their children aligned, ``differs`` whether anything under
    it (itself included) differs."""

    __slots__ = ("a", "b", "changes", "children", "differs")

    def __init__(self, a: Optional[Call], b: Optional[Call], changes: List[Change]) -> None:
        self.a, self.b, self.changes = a, b, changes
        self.children: List[Pair] = []
        self.differs = bool(changes) or a is None or b is None

    @property
    def call(self) -> Call:
        return self.a if self.a is not None else self.b  # type: ignore[return-value]


class Options:
    """What counts as a difference: ``locals`` compares the locals at return;
    ``time`` is a predicate on two durations (None: durations never count)."""

    def __init__(self, locals: bool = False, time: Optional[Callable[[float, float], bool]] = None) -> None:
        self.locals = locals
        self.time = time


def _by_name(values: Sequence[Tuple[str, bytes, str]]) -> dict:
    return {name: (digest, text) for name, digest, text in values}


def _map_changes(kind: str, a: Sequence[Tuple[str, bytes, str]], b: Sequence[Tuple[str, bytes, str]]) -> List[Change]:
    first, second = _by_name(a), _by_name(b)
    names = list(first) + [name for name in second if name not in first]
    changes = []
    for name in names:
        one, other = first.get(name), second.get(name)
        if one is None or other is None or one[0] != other[0]:
            changes.append(Change(kind, name, one[1] if one else "", other[1] if other else ""))
    return changes


def _outcome(call: Call) -> str:
    """How a call ended: "raised KeyError('x')", "-> 3", or "" when unknown."""
    if call.raised is not None:
        return "raised " + call.raised[1]
    return "-> " + call.result[1] if call.result is not None else ""


def compare_calls(a: Call, b: Call, options: Options) -> List[Change]:
    """How two paired calls differ, in the order a reader checks them."""
    changes = []
    if a.site != b.site:
        changes.append(Change("site", None, a.site or "", b.site or ""))
    if a.args != b.args:  # equal parts: equal digests
        changes.extend(_map_changes("argument", a.args, b.args))
    if a.raised is not None or b.raised is not None:
        if a.raised is None or b.raised is None or a.raised[0] != b.raised[0]:
            changes.append(Change("exception", None, _outcome(a), _outcome(b)))
    if a.raised is None and b.raised is None and a.result is not None and b.result is not None \
            and a.result[0] != b.result[0]:
        changes.append(Change("result", None, a.result[1], b.result[1]))
    if options.locals and a.locals != b.locals:
        # A local that is an argument already said to differ is not said twice.
        said = {change.field for change in changes if change.kind == "argument"}
        changes.extend(change for change in _map_changes("local", a.locals, b.locals) if change.field not in said)
    if options.time is not None and a.duration is not None and b.duration is not None \
            and options.time(a.duration, b.duration):
        changes.append(Change("time", None, format_duration(a.duration), format_duration(b.duration)))
    return changes


def _exact(call: Call) -> Any:
    # The arguments' parts: equal names and digests (the texts follow from
    # the digests), without a tuple of digests made for every call.
    return call.name, call.site, call.args


def _key(call: Call) -> Any:
    return call.name, call.site


def _name(call: Call) -> Any:
    return call.name


# The keys sibling lists are aligned on, in turn: a stretch left unpaired by
# one is aligned again by the next. Equal arguments first, so that of ten
# calls in a loop the one with new arguments is the extra one, not the first.
_KEYS = (_exact, _key, _name)


#: Sibling stretches at most this big (calls of A times calls of B) are
#: aligned as sequences; a bigger one (a long loop whose calls all changed)
#: pairs by position, since sequence alignment costs up to their product.
ALIGN_LIMIT = 4_000_000


def _opcodes(a: List[Any], b: List[Any]) -> List[Tuple[str, int, int, int, int]]:
    """difflib's opcodes, after equal heads and tails are taken off (the
    common case costs a pass), and by position when the rest is too big."""
    head = 0
    while head < len(a) and head < len(b) and a[head] == b[head]:
        head += 1
    tail = 0
    while tail < len(a) - head and tail < len(b) - head and a[-1 - tail] == b[-1 - tail]:
        tail += 1
    end_a, end_b = len(a) - tail, len(b) - tail
    middle: List[Tuple[str, int, int, int, int]] = []
    if (end_a - head) * (end_b - head) > ALIGN_LIMIT:
        both = min(end_a, end_b) - head
        middle.append(("replace", head, head + both, head, head + both))
        if end_a - head > both:
            middle.append(("delete", head + both, end_a, end_b, end_b))
        elif end_b - head > both:
            middle.append(("insert", end_a, end_a, head + both, end_b))
    elif end_a > head or end_b > head:
        matcher = SequenceMatcher(None, a[head:end_a], b[head:end_b], autojunk=False)
        middle = [(tag, i1 + head, i2 + head, j1 + head, j2 + head) for tag, i1, i2, j1, j2 in matcher.get_opcodes()]
    codes = [("equal", 0, head, 0, head)] if head else []
    codes.extend(middle)
    if tail:
        codes.append(("equal", end_a, len(a), end_b, len(b)))
    return codes


def _siblings(a: Sequence[Call], b: Sequence[Call], options: Options, keys: Sequence[Any] = _KEYS) -> List[Pair]:
    pairs: List[Pair] = []
    for tag, i1, i2, j1, j2 in _opcodes([keys[0](call) for call in a], [keys[0](call) for call in b]):
        if tag == "equal":
            pairs.extend(Pair(one, other, compare_calls(one, other, options)) for one, other in zip(a[i1:i2], b[j1:j2]))
        elif tag == "replace" and len(keys) > 1:
            pairs.extend(_siblings(a[i1:i2], b[j1:j2], options, keys[1:]))
        elif tag == "replace" and (i2 - i1) * (j2 - j1) > ALIGN_LIMIT:
            for one, other in zip(a[i1:i2], b[j1:j2]):  # by position: only calls of one function pair
                pairs.extend([Pair(one, other, compare_calls(one, other, options))] if one.name == other.name
                             else [Pair(one, None, []), Pair(None, other, [])])
        else:
            pairs.extend(Pair(one, None, []) for one in a[i1:i2])
            pairs.extend(Pair(None, other, []) for other in b[j1:j2])
    return pairs


def align_calls(a: Sequence[Call], b: Sequence[Call], options: Options) -> List[Pair]:
    """Two sibling lists aligned, with every paired call's subtree aligned
    too (iteratively: a deep recursion in the program is no deep recursion
    here), and ``differs`` set on every pair."""
    top = _siblings(a, b, options)
    order: List[Pair] = []
    stack = list(top)
    while stack:
        pair = stack.pop()
        order.append(pair)
        # (Most calls make none: their empty lists are not aligned.)
        if pair.a is not None and pair.b is not None and (pair.a.children or pair.b.children):
            pair.children = _siblings(pair.a.children, pair.b.children, options)
            stack.extend(pair.children)
    for pair in reversed(order):  # children come after their parent in ``order``
        if not pair.differs and pair.children:
            pair.differs = any(child.differs for child in pair.children)
    return top


def align_threads(a: Sequence[Thread], b: Sequence[Thread], options: Options) -> List[Tuple[str, List[Pair]]]:
    """The threads of two runs paired by name (the n-th thread of a name in
    one run with the n-th of that name in the other; native ids differ
    between runs), each with its calls aligned. A thread of one run only is
    aligned against no calls."""
    def numbered(threads: Sequence[Thread]) -> List[Tuple[Tuple[str, int], Thread]]:
        seen: dict = {}
        out = []
        for thread in threads:
            seen[thread.name] = seen.get(thread.name, -1) + 1
            out.append(((thread.name, seen[thread.name]), thread))
        return out

    first, second = numbered(a), dict(numbered(b))
    result = []
    for key, thread in first:
        other = second.pop(key, None)
        result.append((thread.name, align_calls(thread.roots, other.roots if other else [], options)))
    for key, other in second.items():
        result.append((other.name, align_calls([], other.roots, options)))
    return result
