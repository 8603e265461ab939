"""The conditions of ``sarn find --where``: a small expression language over
a call's argument names and ``result``, read with :mod:`ast` and walked
here, never evaluated by Python.

Allowed: names (the call's arguments, ``result``), attribute and item access
on them (``cart.owner``, ``item['name']``), literals (numbers, texts, None,
True, False, and tuples or lists of them), comparisons between them (``== != < <= > >=``,
``is``, ``is not``, ``in``, ``not in``), ``and``, ``or``, ``not``.

Recorded values are compared as recorded: an object that was not written
whole (a tagged map) compares by its repr text, and its attributes are read
by name. A comparison that cannot be made (a missing name, text against a
number) is false, never an error.
"""

from __future__ import annotations

import ast
import operator
from typing import Any, Callable, Dict, Optional

from sarn.serialize import TAG

from .index import text_digest

__all__ = ["WhereError", "compile_where", "compile_bounds", "where_names", "MISSING"]


class WhereError(ValueError):
    """The expression is not in the language."""


class _Missing:
    def __repr__(self) -> str:
        return "<missing>"


#: A name, attribute or item the call does not have.
MISSING = _Missing()

_COMPARE = {ast.Eq: operator.eq, ast.NotEq: operator.ne, ast.Lt: operator.lt, ast.LtE: operator.le,
            ast.Gt: operator.gt, ast.GtE: operator.ge,
            ast.Is: lambda a, b: a is b or (a is None and b is None),
            ast.IsNot: lambda a, b: not (a is b or (a is None and b is None)),
            ast.In: lambda a, b: a in b, ast.NotIn: lambda a, b: a not in b}

Values = Dict[str, Any]


def _plain(value: Any) -> Any:
    """A recorded value as comparable Python: tagged containers as lists
    (dicts as dicts), a cut text as its prefix, other objects as their repr."""
    if isinstance(value, dict) and TAG in value:
        kind = value.get(TAG)
        if kind in ("list", "tuple", "set", "frozenset"):
            return [_plain(item) for item in value.get("items") or []]
        if kind == "dict":
            return {_hashable(pair[0]): _plain(pair[1]) for pair in value.get("items") or []
                    if isinstance(pair, list) and len(pair) == 2}
        if kind in ("str", "bytes"):
            return value.get("value")
        return value.get("repr", "<%s>" % value.get("type"))
    if isinstance(value, list):
        return [_plain(item) for item in value]
    return value


def _hashable(key: Any) -> Any:
    key = _plain(key)
    return tuple(key) if isinstance(key, list) else key if not isinstance(key, dict) else repr(key)


def _member(value: Any, name: Any) -> Any:
    """An attribute of an object (its recorded "attrs") or an item of a map or list."""
    if isinstance(value, dict) and TAG in value:
        attrs = value.get("attrs")
        if isinstance(attrs, dict) and name in attrs:
            return attrs[name]
        value = _plain(value)
    try:
        return value[name]
    except (KeyError, IndexError, TypeError):
        return MISSING


def _literal(node: ast.AST) -> Any:
    try:
        return ast.literal_eval(node)
    except (ValueError, SyntaxError):
        raise WhereError("only literals may be compared with, not %s" % ast.dump(node)) from None


def _subscript_key(node: Any) -> Any:
    return _literal(node.value if type(node).__name__ == "Index" else node)  # Python 3.8 wraps it in Index


def _value(node: ast.AST) -> Callable[[Values], Any]:
    if isinstance(node, ast.Name):
        return lambda values: values.get(node.id, MISSING)
    if isinstance(node, ast.Attribute):
        inner = _value(node.value)
        return lambda values: _member(inner(values), node.attr)
    if isinstance(node, ast.Subscript):
        inner, key = _value(node.value), _subscript_key(node.slice)
        return lambda values: _member(inner(values), key)
    constant = _literal(node)
    return lambda values: constant


def _compare(node: ast.Compare) -> Callable[[Values], bool]:
    operands = [_value(node.left)] + [_value(item) for item in node.comparators]
    tests = []
    for op in node.ops:
        if type(op) not in _COMPARE:
            raise WhereError("unknown comparison %s" % type(op).__name__)
        tests.append(_COMPARE[type(op)])

    def check(values: Values) -> bool:
        current = [operand(values) for operand in operands]
        if any(item is MISSING for item in current):
            return False
        current = [_plain(item) for item in current]
        try:
            return all(test(current[i], current[i + 1]) for i, test in enumerate(tests))
        except TypeError:
            return False

    return check


def _condition(node: ast.AST) -> Callable[[Values], bool]:
    if isinstance(node, ast.BoolOp):
        parts = [_condition(value) for value in node.values]
        if isinstance(node.op, ast.And):
            return lambda values: all(part(values) for part in parts)
        return lambda values: any(part(values) for part in parts)
    if isinstance(node, ast.UnaryOp) and isinstance(node.op, ast.Not):
        inner = _condition(node.operand)
        return lambda values: not inner(values)
    if isinstance(node, ast.Compare):
        return _compare(node)
    if isinstance(node, (ast.Name, ast.Attribute, ast.Subscript)):
        value = _value(node)  # a bare name: true when recorded and truthy
        return lambda values: bool(_plain(value(values))) if value(values) is not MISSING else False
    raise WhereError("not a condition: %s" % type(node).__name__)


def compile_where(text: str) -> Callable[[Values], bool]:
    """A predicate on {argument name or "result": recorded value}."""
    try:
        tree = ast.parse(text.strip(), mode="eval")
    except SyntaxError as error:
        raise WhereError("cannot read %r: %s" % (text, error.msg)) from None
    return _condition(tree.body)


# --------------------------------------------------------------------------
# Whether a trace can hold a match, from its call index

#: What a comparison of an argument with a number can be true for, given
#: the least and greatest numbers passed in it: (low, high, literal).
_WITHIN = {ast.Eq: lambda low, high, n: low <= n <= high, ast.Lt: lambda low, high, n: low < n,
           ast.LtE: lambda low, high, n: low <= n, ast.Gt: lambda low, high, n: high > n,
           ast.GtE: lambda low, high, n: high >= n}
# The same comparison read from the literal's side (3 < n is n > 3).
_TURNED = {ast.Eq: ast.Eq, ast.NotEq: ast.NotEq, ast.Lt: ast.Gt, ast.LtE: ast.GtE, ast.Gt: ast.Lt,
           ast.GtE: ast.LtE}

Bounds = Dict[str, Any]
#: A test of the index's facts of one name: (numbers, texts) -> may match.
Judge = Callable[[Optional[Bounds], Optional[Bounds]], bool]


def _any(numbers: Optional[Bounds], texts: Optional[Bounds] = None) -> bool:
    return True


def _number(node: ast.AST) -> Any:
    try:
        value = ast.literal_eval(node)
    except (ValueError, SyntaxError):
        return None
    if isinstance(value, (int, float)) and value == value:
        return value
    return None


def _text(node: ast.AST) -> Optional[str]:
    try:
        value = ast.literal_eval(node)
    except (ValueError, SyntaxError):
        return None
    return value if isinstance(value, str) else None


def _number_judge(name: str, op: type, number: Any) -> Judge:
    within = _WITHIN[op]

    def check(numbers: Optional[Bounds], texts: Optional[Bounds] = None) -> bool:
        if numbers is None:
            return True
        if name not in numbers:
            return False  # never passed: a missing name matches nothing
        found = numbers[name]
        return found is not None and within(found[0], found[1], number)

    return check


def _text_judge(name: str, equal: bool, text: str) -> Judge:
    digest = text_digest(text)

    def check(numbers: Optional[Bounds], texts: Optional[Bounds] = None) -> bool:
        if texts is None:
            return True
        if name not in texts:
            return False
        found = texts[name]
        if found is None:
            return True
        # != is true for any other text, and for a value that is no text (null).
        return digest in found if equal else any(item != digest for item in found)

    return check


def _literal_judge(name: str, op: type, node: ast.AST) -> Judge:
    """How ``name <op> literal`` is judged; anything else may match."""
    number = _number(node)
    if number is not None and op in _WITHIN:
        return _number_judge(name, op, number)
    text = _text(node)
    if text is not None and op in (ast.Eq, ast.NotEq):
        return _text_judge(name, op is ast.Eq, text)
    return _any


def _compare_bounds(node: ast.Compare) -> Judge:
    if len(node.ops) != 1:
        return _any
    left, right, op = node.left, node.comparators[0], type(node.ops[0])
    if isinstance(right, ast.Name) and not isinstance(left, ast.Name) and op in _TURNED:
        left, right, op = right, left, _TURNED[op]
    # ``result`` is not in the index: the return value is not kept there.
    if not isinstance(left, ast.Name) or left.id == "result":
        return _any
    if op is ast.In and isinstance(right, (ast.Tuple, ast.List, ast.Set)):
        # Equal to one of them: each is judged as ==.
        items = [_literal_judge(left.id, ast.Eq, item) for item in right.elts]
        return lambda numbers, texts=None: any(item(numbers, texts) for item in items)
    return _literal_judge(left.id, op, right)


def _bounds(node: ast.AST) -> Judge:
    if isinstance(node, ast.BoolOp):
        parts = [_bounds(value) for value in node.values]
        if isinstance(node.op, ast.And):
            return lambda numbers, texts=None: all(part(numbers, texts) for part in parts)
        return lambda numbers, texts=None: any(part(numbers, texts) for part in parts)
    if isinstance(node, ast.Compare):
        return _compare_bounds(node)
    return _any  # "not", a bare name, ...: not judged from the index


def compile_bounds(text: str) -> Judge:
    """A test of whether the calls of one name can match ``text`` (a
    condition :func:`compile_where` accepts), from the index's facts of that
    name: ``numbers``, {argument name: [least, greatest] or None (none was a
    number)}, and ``texts``, {argument name: digests of the texts passed
    (null for a value that is not a text) or None (not known)}; either is
    None when not known at all. False only when no call can match. Judged:
    comparisons of an argument with a number, ``==`` and ``!=`` with a text,
    and ``in`` a literal list of them; anything else may match."""
    return _bounds(ast.parse(text.strip(), mode="eval").body)


def where_names(text: str) -> set:
    """The names a condition reads (arguments, ``result``)."""
    return {node.id for node in ast.walk(ast.parse(text.strip(), mode="eval")) if isinstance(node, ast.Name)}
