"""Turn any Python value into exactly one MessagePack value.

The recording core calls these two functions for every recorded call and
return (the return value, and the frame's locals mapping) and for every plugin
payload, and splices the bytes they return into its records unchanged:

* ``dump_msgpack(value)``: the full form; containers keep their structure and
  objects show their type, a bounded ``repr`` and their instance attributes.
* ``dump_msgpack_lightweight_repr(value)``: the cheap form; only the top-level
  mapping (a frame's locals, a plugin payload) keeps its structure, and every
  value that is not a primitive is written as its type and bounded ``repr``.

Both always return ``bytes`` holding one complete MessagePack value and never
raise, whatever the value does: a ``__repr__`` that raises or returns a
non-string, attribute access, ``__len__``, ``__iter__``, ``__eq__`` or
``__hash__`` that raise, cycles, deep nesting, huge containers and strings.
Built-in containers are read through their base type's own methods, so a
subclass's overrides are not run; only ``repr`` (and a ``__dict__`` property,
should a class define one) calls into the value's own code.

What counts as library code follows the recorder's frame filter (installed
packages, the standard library, sarn itself, and the configured
``filters``; :func:`set_config` takes them from a recording's
configuration). Objects of classes defined in library code are written
without their attributes. A ``__repr__`` written in the program's own code
(not one of a library, nor one that dataclasses or attrs generate for a
class of the program's, which counts as the program's own) is not run unless
``call_user_repr`` is set, since it may do anything; the value is then written
by its type, ``id`` and attributes. A repr that does run runs once per value
while one value (or, for the recording core, one record) is written.

Output shape (what the trace viewer reads back)
-----------------------------------------------

Plain MessagePack values:

* nil, boolean, float 64, and integers from -2**63 to 2**64-1.
* str: a ``str`` of at most ``MAX_STR`` characters. Lone surrogates, which
  UTF-8 cannot hold, are written as backslash escapes (``"\\udc80"``).
* bin: a ``bytes`` object of at most ``MAX_BYTES`` bytes.
* array: a ``list`` of at most ``MAX_ITEMS`` items, each item in this shape.
* map with str keys: a ``dict`` of at most ``MAX_ITEMS`` entries whose keys
  are all ``str`` and none of which is ``"__sarn__"``.

Everything else is a tagged map whose first key is ``"__sarn__"`` (a plain
map never holds that key, so the two cannot be confused). Every tagged map
has ``"type"``, the value's type as ``module.QualName`` (built-ins without a
module: ``"int"``, ``"list"``):

* ``{"__sarn__": "object", "type": T, "repr": R}``: any other value; ``R`` is
  its ``repr`` cut to ``MAX_REPR`` characters (ending in ``"..."`` when cut),
  or a ``"<T object; repr() failed: ...>"`` text. In the full form an instance
  of an ordinary class of the program's own also has ``"attrs"``: a map from
  attribute name to value (in this shape) read from its ``__dict__`` and
  ``__slots__``, dunder names left out, at most ``MAX_ATTRS`` of them, plus
  ``"more_attrs"``: the number left out when there were more. Named tuples
  list their fields as ``"attrs"``. Integers outside the 64-bit range are
  objects of type "int" whose repr is their decimal digits.
* ``{"__sarn__": "object", "type": T, "id": N}``, with ``"attrs"`` as above in
  the full form: a value whose ``__repr__`` is not run; ``N`` is its ``id``.
  Inside a repr text (of a container, in the lightweight form) such a value
  reads ``"<T object at 0x...>"``.
* ``{"__sarn__": "str", "type": "str", "value": PREFIX, "len": N}``: a string
  longer than ``MAX_STR`` characters; N is its full length.
* ``{"__sarn__": "bytes", "type": T, "value": PREFIX, "len": N}``: a ``bytes``
  longer than ``MAX_BYTES``, or a ``bytearray`` (then "len" only when cut).
* ``{"__sarn__": K, "type": T, "items": [...]}`` with K one of "list",
  "tuple", "set", "frozenset": a tuple, set or frozenset, a subclass of
  ``list``, a ``collections.deque``, or a list that was cut.
* ``{"__sarn__": "dict", "type": T, "items": [[KEY, VALUE], ...]}``: a mapping
  with a key that is not a ``str`` (or is ``"__sarn__"``), a ``dict`` subclass,
  or a dict that was cut.
* ``{"__sarn__": "cycle", "type": T}``: a container or object met again inside
  itself.

Containers and the ``"attrs"`` of objects are cut: beyond ``MAX_ITEMS`` items
(``MAX_ATTRS`` attributes), below a nesting depth of ``MAX_DEPTH``, and once
``MAX_NODES`` containers and objects have been written for one value. A cut
tagged container has ``"len"``, its full number of items, and holds only the
items that were kept (none when cut by depth or by the node budget); a cut
object has no ``"attrs"``.

Text is cut too: one value writes at most ``MAX_TEXT`` characters of strings,
keys, attribute names and reprs in all. Past that budget a string longer than
``SHORT_STR`` characters keeps only what is left of it (its cut form, with
``"len"``, possibly with an empty ``"value"``), and a repr is not taken: it
reads ``"..."`` (one cut in the middle of the budget ends in ``"..."``).
Keys and attribute names take from the budget but are not cut by it.

The lightweight form writes nil, booleans, 64-bit integers, floats, and
``str`` and ``bytes`` (cut as above) as themselves, and every other value as
``{"__sarn__": "object", "type": T, "repr": R}``, where the repr of a built-in
container shows only its first few items. A top-level ``dict`` with ``str``
keys stays a map (at most ``MAX_ITEMS`` entries; beyond that the rest are left
out and the key ``"__sarn__"`` is never written), so a frame's locals stay
readable by name and a plugin payload keeps its keys. Its entries, and the
items each short repr shows (at every level it shows), count against
``MAX_VALUES`` as the full form's items do: a repr whose items no longer fit
is not taken and reads ``"..."``, so the lightweight form is bounded as the full
form is.
"""

from __future__ import annotations

import os
import reprlib
import sys
import threading
import types
import weakref
from collections import deque
from functools import partial
from itertools import islice
from typing import Any, Dict, List, Mapping, Optional, Tuple

import msgpack

__all__ = [
    "dump_msgpack",
    "dump_msgpack_lightweight_repr",
    "set_config",
    "TAG",
    "MAX_DEPTH",
    "MAX_ITEMS",
    "MAX_STR",
    "MAX_BYTES",
    "MAX_REPR",
    "MAX_ATTRS",
    "MAX_NODES",
    "MAX_VALUES",
    "MAX_TEXT",
    "SHORT_STR",
]

#: The key that marks a tagged map.
TAG = "__sarn__"
#: Containers and objects nested deeper than this are written without content.
MAX_DEPTH = 6
#: Items kept of one list, tuple, set or dict.
MAX_ITEMS = 50
#: Characters kept of one string (values, keys and attribute names alike).
MAX_STR = 500
#: Bytes kept of one bytes or bytearray value.
MAX_BYTES = 256
#: Characters kept of one repr.
MAX_REPR = 200
#: Attributes kept of one object.
MAX_ATTRS = 30
#: Containers and objects written with content for one value, in all.
MAX_NODES = 100
#: Items, entries and attributes written for one value, in all: what bounds
#: the record of a frame whose locals hold a large object graph. In the
#: lightweight form, the short repr of a container counts the items it shows.
MAX_VALUES = 100
#: Characters of text written for one value, in all: strings, keys, attribute
#: names and reprs. Past it, a string is cut to what is left of it, and a repr
#: is not taken (it reads "...").
MAX_TEXT = 1000
#: A string of at most this many characters is written whole even past the
#: text budget: its cut form would be no shorter.
SHORT_STR = 32

_INT_MIN = -(1 << 63)
_INT_MAX = (1 << 64) - 1
_CUT_MARK = "..."

# Types whose instances never get "attrs": their __dict__ is either huge
# (modules, classes) or uninteresting (functions and methods).
_NO_ATTRS_TYPES = (
    type,
    types.ModuleType,
    types.FunctionType,
    types.BuiltinFunctionType,
    types.MethodType,
    types.CodeType,
    types.FrameType,
    types.TracebackType,
)

class _Repr(reprlib.Repr):
    """reprlib's bounded reprs, which leave a __repr__ that is not to run
    (see ``_repr_runs``) alone, and show the first items of a dict or set in
    its own order, as repr does. (reprlib sorts every key first: costly for
    a big mapping met at every event, and running the keys' own ``__lt__``;
    it also reads each value back through the class's ``__getitem__``.)"""

    def repr_dict(self, x: Any, level: int) -> str:
        if not isinstance(x, dict):
            return reprlib.Repr.repr_dict(self, x, level)
        n = dict.__len__(x)
        if n == 0:
            return "{}"
        if level <= 0:
            return "{...}"
        repr1 = self.repr1
        pieces = ["%s: %s" % (repr1(key, level - 1), repr1(item, level - 1))
                  for key, item in islice(dict.items(x), self.maxdict)]
        if n > self.maxdict:
            pieces.append("...")
        return "{%s}" % ", ".join(pieces)

    def _first_of_set(self, x: Any, base: type, limit: int) -> List[Any]:
        return list(islice(base.__iter__(x), limit + 1))

    def repr_set(self, x: Any, level: int) -> str:
        if not isinstance(x, set) or not set.__len__(x):
            return reprlib.Repr.repr_set(self, x, level)
        return self._repr_iterable(self._first_of_set(x, set, self.maxset), level, "{", "}", self.maxset)

    def repr_frozenset(self, x: Any, level: int) -> str:
        if not isinstance(x, frozenset) or not frozenset.__len__(x):
            return reprlib.Repr.repr_frozenset(self, x, level)
        first = self._first_of_set(x, frozenset, self.maxfrozenset)
        return self._repr_iterable(first, level, "frozenset({", "})", self.maxfrozenset)

    def repr_instance(self, x: Any, level: int) -> str:
        t = type(x)
        name, _, _, repr_runs = _info(t)
        if not repr_runs:
            return _unrun_repr(name, x)
        found = _container_base(t)
        if found is None or not _is_long(x, found[0]):
            return reprlib.Repr.repr_instance(self, x, level)
        text = _base_form(t, found[1], x, level)
        if len(text) <= self.maxother:
            return text
        i = max(0, (self.maxother - 3) // 2)
        j = max(0, self.maxother - 3 - i)
        return text[:i] + "..." + text[len(text) - j:]


def _unrun_repr(type_name: str, value: Any) -> str:
    """What stands in a text for a repr that is not run: object's own form."""
    return "<%s object at %#x>" % (type_name, id(value))


_reprlib = _Repr()
_reprlib.maxlevel = 3
_reprlib.maxtuple = 8
_reprlib.maxlist = 8
_reprlib.maxarray = 8
_reprlib.maxdict = 6
_reprlib.maxset = 8
_reprlib.maxfrozenset = 8
_reprlib.maxdeque = 8
_reprlib.maxstring = 60
_reprlib.maxlong = 60
_reprlib.maxother = MAX_REPR
# Class names reprlib shows through a method of their own (``repr_list``...),
# whatever module the class is from.
_REPRLIB_TYPE_NAMES = frozenset(name[len("repr_"):] for name in dir(_reprlib) if name.startswith("repr_"))
_BOUNDED_REPR_TYPES = (list, tuple, dict, set, frozenset, deque)

# A slot to read: (shown name, name in the class dict, index in the MRO of
# the class that defines it). It names the class by position rather than
# holding its descriptor, whose reference to the class would keep it alive.
_Slot = Tuple[str, str, int]
# (type name, attribute plan, kind, whether its __repr__ is run)
_Info = Tuple[str, Optional[Tuple[_Slot, ...]], str, bool]

# Per type: id(type) -> (weak reference to the type, (type name, attribute
# plan, kind)). Weak references let classes made at run time be freed; their entry
# is dropped when they are.
_type_cache: Dict[int, Tuple[Any, _Info]] = {}


class _Ctx:
    __slots__ = ("budget", "items", "text", "path", "reprs")

    def __init__(self) -> None:
        self.budget = MAX_NODES
        self.items = MAX_VALUES
        self.text = MAX_TEXT
        self.path: set = set()
        self.reprs: Dict[int, Tuple[Any, str]] = {}


def _repr_once(value: Any, type_name: str, reprs: Dict[int, Tuple[Any, str]]) -> str:
    """The bounded repr of ``value``, taken once however often the value is
    met while one value is written (``reprs`` holds it, so its id stays its)."""
    known = reprs.get(id(value))
    if known is not None and known[0] is value:
        return known[1]
    text = _bounded_repr(value, type_name)
    reprs[id(value)] = (value, text)
    return text


def _shown_repr(value: Any, type_name: str, ctx: _Ctx) -> str:
    """The repr as the text budget lets it be written: whole while it fits,
    cut to what is left of the budget, and not taken at all once none is."""
    if ctx.text <= 0:
        return _CUT_MARK
    text = _repr_once(value, type_name, ctx.reprs)
    if len(text) > ctx.text:
        text = text[:ctx.text] + _CUT_MARK
    ctx.text -= len(text)
    return text


# --------------------------------------------------------------------------
# Library code and the program's own code
#
# Instances of classes defined in library code (code the recorder's frame
# filter skips: installed packages, the standard library, sarn itself) are
# written shallowly, as their type and bounded repr: a test case's `self`
# would otherwise bring the whole test runner along. A __repr__ written in
# the program's own code is not run unless the configuration asks for it
# ("call_user_repr"): it may do anything (compute a lazy value, count its
# calls), and recording must not change what the program does.

_settings: Dict[str, Any] = {"call_user_repr": False, "include": (), "ignore": ()}


def set_config(config: Optional[Mapping[str, Any]] = None) -> None:
    """Take what shapes the written values from a recording's configuration
    (see :mod:`sarn.config`): "call_user_repr", and the "filters" fragments,
    which decide what counts as library code here as they do for frames.
    None restores the defaults."""
    config = config or {}
    filters = config.get("filters") or {}

    def fragments(key: str) -> Tuple[str, ...]:
        return tuple(str(f).replace("\\", os.sep).replace("/", os.sep) for f in filters.get(key) or ())

    _settings.update(call_user_repr=config.get("call_user_repr") is True,
                     include=fragments("include_frames"), ignore=fragments("ignore_frames"))
    _type_cache.clear()
    if _native is not None:
        _native.configure(sys.modules[__name__])  # it forgets what it knew of each type


def _library_file(filename: str) -> bool:
    """Whether the frame filter skips code of this file. Without the native
    extension only the configured fragments say so."""
    if any(fragment in filename for fragment in _settings["include"]):
        return False
    if any(fragment in filename for fragment in _settings["ignore"]):
        return True
    return _native is not None and _native.skips_file(filename)


_BUILT_IN_ORIGINS = ("built-in", "frozen")


def _library_class(t: type) -> bool:
    """Whether ``t`` is defined in library code: by the file of its module,
    or, for a module without one, by its being built into the interpreter.
    A class of a module that is not imported counts as the program's own."""
    name = type.__getattribute__(t, "__module__")
    if name == "builtins":
        return True
    module = sys.modules.get(name) if type(name) is str else None
    if module is None:
        return False
    namespace = object.__getattribute__(module, "__dict__")
    filename = namespace.get("__file__")
    if type(filename) is str:
        return _library_file(filename)
    spec = namespace.get("__spec__")
    return name in sys.builtin_module_names or getattr(spec, "origin", None) in _BUILT_IN_ORIGINS


_C_METHODS = (types.BuiltinFunctionType, types.WrapperDescriptorType, types.MethodDescriptorType,
              types.MethodWrapperType)


def _unwrapped(method: Any) -> Any:
    """What a decorator made with functools.wraps wraps, all the way down."""
    for _ in range(100):
        try:
            wrapped = object.__getattribute__(method, "__dict__").get("__wrapped__")
        except Exception:
            break
        if wrapped is None:
            break
        method = wrapped
    return method


def _closed_over_functions(function: types.FunctionType) -> List[types.FunctionType]:
    found = []
    for cell in function.__closure__ or ():
        try:
            inner = cell.cell_contents
        except ValueError:  # an empty cell
            continue
        if isinstance(inner, types.FunctionType) and inner is not function:
            found.append(inner)
    return found


def _written_in_library(function: types.FunctionType, depth: int = 0) -> Optional[bool]:
    """Whether a function is library code (True) or the program's own
    (False); None for code generated at run time (no source file), which
    belongs to whatever it was made for. A wrapper from library code counts
    as the functions it closes over (reprlib.recursive_repr's does not name
    what it wraps)."""
    filename = function.__code__.co_filename
    if type(filename) is not str or (filename.startswith("<") and not filename.startswith("<frozen ")):
        return None
    if not _library_file(filename):
        return False
    for inner in _closed_over_functions(function) if depth < 3 else ():
        verdict = _written_in_library(inner, depth + 1)
        if verdict is not True:
            return verdict
    return True


def _repr_runs(t: type) -> bool:
    """Whether the __repr__ of values of ``t`` is run: unless it is written
    in the program's own code (or the configuration asks for it anyway).
    C functions and library code are trusted not to change the program;
    code generated for a class (dataclasses, attrs) counts as its class's."""
    if _settings["call_user_repr"]:
        return True
    for klass in type.__getattribute__(t, "__mro__"):
        method = type.__getattribute__(klass, "__dict__").get("__repr__")
        if method is not None:
            break
    else:
        return True
    method = _unwrapped(method)
    if isinstance(method, _C_METHODS):
        return True
    verdict = _written_in_library(method) if isinstance(method, types.FunctionType) else None
    return _library_class(klass) if verdict is None else verdict


# --------------------------------------------------------------------------
# Type names and repr


def _compute_type_name(t: type) -> str:
    try:
        module = type.__getattribute__(t, "__module__")
        qualname = type.__getattribute__(t, "__qualname__")
    except Exception:
        return "<unknown type>"
    if type(qualname) is not str:
        return "<unknown type>"
    if type(module) is not str or module == "builtins":
        return qualname
    return module + "." + qualname


def _slot_plan(t: type) -> Optional[Tuple[_Slot, ...]]:
    """The slots of ``t`` (see ``_Slot``), or None when instances of ``t`` get
    no attributes at all."""
    if issubclass(t, _NO_ATTRS_TYPES):
        return None
    plan: List[_Slot] = []
    seen = set()
    for index, klass in enumerate(t.__mro__):
        slots = klass.__dict__.get("__slots__", ())
        if isinstance(slots, str):
            slots = (slots,)
        try:
            names = list(slots)
        except Exception:
            continue
        for name in names:
            if type(name) is not str or name in ("__dict__", "__weakref__"):
                continue
            stored = name
            if name.startswith("__") and not name.endswith("__"):
                stored = "_" + klass.__name__.lstrip("_") + name
            descriptor = klass.__dict__.get(stored)
            if descriptor is None or stored in seen:
                continue
            seen.add(stored)
            plan.append((name, stored, index))
    return tuple(plan)


def _forget_type(key: int, ref: Any) -> None:
    entry = _type_cache.get(key)
    if entry is not None and entry[0] is ref:
        del _type_cache[key]


def _kind_of(t: type) -> str:
    """How values of a type that is not an exact built-in are written."""
    if issubclass(t, dict):
        return "dict"
    if issubclass(t, list):
        return "list"
    if issubclass(t, tuple):
        return "namedtuple" if isinstance(getattr(t, "_fields", None), tuple) else "tuple"
    if issubclass(t, set):
        return "set"
    if issubclass(t, frozenset):
        return "frozenset"
    if issubclass(t, deque):
        return "deque"
    if issubclass(t, bytearray):
        return "bytearray"
    return "object"


def _compute_info(t: type) -> _Info:
    try:
        library = _library_class(t)
    except Exception:
        library = False
    try:
        plan = None if library else _slot_plan(t)
    except Exception:
        plan = None
    try:
        kind = _kind_of(t)
    except Exception:
        kind = "object"
    try:
        repr_runs = _repr_runs(t)
    except Exception:
        repr_runs = False
    info = (_compute_type_name(t), plan, kind, repr_runs)
    key = id(t)
    try:
        ref = weakref.ref(t, lambda dead, key=key: _forget_type(key, dead))
    except TypeError:
        return info
    _type_cache[key] = (ref, info)
    return info


def _info(t: type) -> _Info:
    entry = _type_cache.get(id(t))
    if entry is not None and entry[0]() is t:
        return entry[1]
    return _compute_info(t)


def _type_name(t: type) -> str:
    return _info(t)[0]


def _cut_text(text: str, limit: int) -> str:
    if len(text) > limit:
        return text[:limit] + _CUT_MARK
    return text


_REPRLIB_METHODS = (
    (dict, _reprlib.repr_dict),
    (list, _reprlib.repr_list),
    (tuple, _reprlib.repr_tuple),
    (set, _reprlib.repr_set),
    (frozenset, _reprlib.repr_frozenset),
    (deque, _reprlib.repr_deque),
)


_SIMPLE_TYPES = (int, float, bool, type(None))
_SHORT_REPR_ITEMS = 8


def _is_small_and_flat(value: Any, t: type) -> bool:
    """True for a built-in container of a few numbers and short strings, whose
    full repr is cheap and short."""
    if t is dict:
        if dict.__len__(value) > _SHORT_REPR_ITEMS:
            return False
        items: Any = dict.items(value)
        return all(type(k) is str and len(k) < 40 and type(v) in _SIMPLE_TYPES for k, v in items)
    if t is list or t is tuple:
        if len(value) > _SHORT_REPR_ITEMS:
            return False
        for item in value:
            item_type = type(item)
            if item_type not in _SIMPLE_TYPES and not (item_type is str and len(item) < 40):
                return False
        return True
    return False


def _container_repr(value: Any, t: type) -> Optional[str]:
    """A repr of a built-in container that shows only its first items, or None
    when ``value`` is not one (or its class writes its own repr, and the
    container is short)."""
    if t in _BOUNDED_REPR_TYPES:
        if _is_small_and_flat(value, t):
            return repr(value)
        return _reprlib.repr(value)
    found = _container_base(t)
    if found is None:
        return None
    base, method = found
    if getattr(t, "__repr__", None) is not base.__repr__ and not _is_long(value, base):
        return None
    return _base_form(t, method, value, _reprlib.maxlevel)


def _base_form(t: type, method: Any, value: Any, level: int) -> str:
    """A subclass's value as reprlib shows its base, under the subclass's name."""
    return "%s(%s)" % (t.__name__, method(value, level))


def _container_base(t: type) -> Optional[Tuple[type, Any]]:
    """The built-in container ``t`` derives from, with reprlib's method for it."""
    for base, method in _REPRLIB_METHODS:
        if issubclass(t, base):
            return base, method
    return None


def _is_long(value: Any, base: type) -> bool:
    """Whether a container holds more items than reprlib shows of it. A
    repr of its class's own (a Counter's, an OrderedDict's, a program's
    scope's) would show them all, at every event: such a container is shown
    as reprlib shows its base, with its class's name. A tuple never counts:
    a named tuple's or a struct sequence's repr names its fields, and they
    are as many as its class says."""
    return base is not tuple and base.__len__(value) > _SHOWN_LIMITS[base]


# Views of a mapping, and read-only proxies of one: their own repr shows
# every item, however many and however deeply nested.
_MAPPING_VIEW_TYPES = (type({}.keys()), type({}.values()), type({}.items()))
_MAPPING_PROXY_TYPE = types.MappingProxyType


def _view_repr(value: Any, t: type) -> Optional[str]:
    """The repr of a mapping view or proxy with only its first items, or of a
    bound method or partial with the reprs of what it holds bounded (and not
    run where they are not to run), in the form of its own repr; None for
    any other value."""
    if t is types.MethodType:
        function = value.__func__
        name = getattr(function, "__qualname__", None)
        return "<bound method %s of %s>" % (name if type(name) is str else "?",
                                              _reprlib.repr1(value.__self__, _reprlib.maxlevel))
    if issubclass(t, partial):
        held = [value.func] + list(value.args)
        shown = [_reprlib.repr1(item, _reprlib.maxlevel) for item in held]
        shown += ["%s=%s" % (key, _reprlib.repr1(item, _reprlib.maxlevel)) for key, item in value.keywords.items()]
        return "%s(%s)" % (_type_name(t), ", ".join(shown))
    if issubclass(t, _MAPPING_VIEW_TYPES):
        first = list(islice(value, _reprlib.maxlist + 1))
        return "%s(%s)" % (t.__name__, _reprlib.repr_list(first, _reprlib.maxlevel))
    if t is _MAPPING_PROXY_TYPE:
        first = dict(islice(value.items(), _reprlib.maxdict + 1))
        return "mappingproxy(%s)" % _reprlib.repr_dict(first, _reprlib.maxlevel)
    return None


def _bounded_repr(value: Any, type_name: Optional[str] = None) -> str:
    """repr(value) cut to MAX_REPR characters; a failing repr gives a fixed text."""
    try:
        t = type(value)
        text = _container_repr(value, t) if issubclass(t, _BOUNDED_REPR_TYPES) else _view_repr(value, t)
        if text is None:
            text = repr(value)
        if type(text) is not str:
            text = str.__str__(text)
        if len(text) > MAX_REPR:
            text = text[:MAX_REPR] + _CUT_MARK
        return text
    except Exception as error:
        if type_name is None:
            type_name = _type_name(type(value))
        return "<%s object; repr() failed: %s>" % (type_name, _type_name(type(error)))


# --------------------------------------------------------------------------
# Full form


def _object(value: Any, t: type, depth: int, ctx: _Ctx, info: Any = None) -> Dict[str, Any]:
    name, plan, kind, repr_runs = info if info is not None else _info(t)
    result: Dict[str, Any] = {TAG: "object", "type": name}
    if repr_runs:
        result["repr"] = _shown_repr(value, name, ctx)
    else:
        result["id"] = id(value)
    if plan is None or depth >= MAX_DEPTH or ctx.budget <= 0 or ctx.items <= 0:
        return result
    key = id(value)
    if key in ctx.path:
        return {TAG: "cycle", "type": name}
    ctx.budget -= 1
    ctx.path.add(key)
    attrs: Dict[str, Any] = {}
    more = 0
    child = depth + 1
    try:
        if kind == "namedtuple":
            for field, item in zip(t._fields, tuple.__iter__(value)):
                if type(field) is not str:
                    continue
                if len(attrs) >= MAX_ATTRS or ctx.items <= 0:
                    more += 1
                    continue
                ctx.items -= 1
                ctx.text -= len(field)
                attrs[field] = _full(item, child, ctx)
        try:
            instance_dict = object.__getattribute__(value, "__dict__")
        except Exception:
            instance_dict = None
        if type(instance_dict) is dict:
            for attr, item in list(dict.items(instance_dict)):
                if type(attr) is not str or attr[:2] == "__":
                    continue
                if len(attrs) >= MAX_ATTRS or ctx.items <= 0:
                    more += 1
                    continue
                if len(attr) > MAX_STR:
                    attr = attr[:MAX_STR] + _CUT_MARK
                ctx.items -= 1
                ctx.text -= len(attr)
                attrs[attr] = _full(item, child, ctx)
        for attr, stored, index in plan:
            try:
                item = t.__mro__[index].__dict__.get(stored).__get__(value, t)
            except Exception:
                continue
            if len(attrs) >= MAX_ATTRS or ctx.items <= 0:
                more += 1
                continue
            ctx.items -= 1
            ctx.text -= len(attr)
            attrs[attr] = _full(item, child, ctx)
    except Exception:
        return result
    finally:
        ctx.path.discard(key)
    if attrs or more:
        result["attrs"] = attrs
    if more:
        result["more_attrs"] = more
    return result


def _enter(kind: str, name: str, total: int, depth: int, ctx: _Ctx, value: Any) -> Optional[Dict[str, Any]]:
    """The entry into a tagged container: what to write for one cut by depth
    or by the node or item budget, or met again inside itself; otherwise
    None, and one node of the budget is taken."""
    if depth >= MAX_DEPTH or ctx.budget <= 0 or ctx.items <= 0:
        return {TAG: kind, "type": name, "items": [], "len": total}
    if id(value) in ctx.path:
        return {TAG: "cycle", "type": name}
    ctx.budget -= 1
    return None


def _sequence(kind: str, name: str, items: Any, total: int, depth: int, ctx: _Ctx, value: Any):
    """A tagged list/tuple/set/frozenset from an iterator over at most MAX_ITEMS items."""
    written = _enter(kind, name, total, depth, ctx, value)
    if written is not None:
        return written
    key = id(value)
    ctx.path.add(key)
    try:
        kept = list(islice(items, min(MAX_ITEMS, ctx.items)))
        ctx.items -= len(kept)
        converted = [_full(item, depth + 1, ctx) for item in kept]
    finally:
        ctx.path.discard(key)
    result = {TAG: kind, "type": name, "items": converted}
    if total > len(converted):
        result["len"] = total
    return result


_PLAIN_TYPES = frozenset((float, bool, type(None)))


def _plain_text(items: Any) -> int:
    """The characters of the strings among ``items`` when every item is
    written as itself (a number in range, a bool, None or a str of at most
    MAX_STR characters); -1 otherwise."""
    text = 0
    for item in items:
        t = type(item)
        if t is int:
            if not _INT_MIN <= item <= _INT_MAX:
                return -1
        elif t is str:
            if len(item) > MAX_STR:
                return -1
            text += len(item)
        elif t not in _PLAIN_TYPES:
            return -1
    return text


def _all_plain(items: Any, ctx: _Ctx) -> bool:
    """True when every item is written as itself, its strings within the text
    budget (which they then take): the container can then be packed as it
    is, which is several times cheaper than converting item by item."""
    text = _plain_text(items)
    if text < 0 or text > ctx.text:
        return False
    ctx.text -= text
    return True


def _plain_keys(value: dict) -> bool:
    """True when every key of the dict is written as itself."""
    for key in value:
        if type(key) is not str or len(key) > MAX_STR or key == TAG:
            return False
    return True


def _list(value: list, depth: int, ctx: _Ctx) -> Any:
    total = list.__len__(value)
    if type(value) is list and total <= min(MAX_ITEMS, ctx.items) and depth < MAX_DEPTH and ctx.budget > 0 and ctx.items > 0:
        key = id(value)
        if key in ctx.path:
            return {TAG: "cycle", "type": "list"}
        ctx.budget -= 1
        items = list.__getitem__(value, slice(0, MAX_ITEMS))
        ctx.items -= len(items)
        if _all_plain(items, ctx):
            return items
        ctx.path.add(key)
        try:
            return [_full(item, depth + 1, ctx) for item in items]
        finally:
            ctx.path.discard(key)
    items = list.__getitem__(value, slice(0, MAX_ITEMS))
    return _sequence("list", _type_name(type(value)), items, total, depth, ctx, value)


def _dict(value: dict, depth: int, ctx: _Ctx) -> Any:
    total = dict.__len__(value)
    exact = type(value) is dict
    name = "dict" if exact else _type_name(type(value))
    written = _enter("dict", name, total, depth, ctx, value)
    if written is not None:
        return written
    key = id(value)
    ctx.path.add(key)
    try:
        limit = min(MAX_ITEMS, ctx.items)
        ctx.items -= min(total, limit)
        plain = exact and total <= limit
        if plain:
            for entry_key in value:
                if type(entry_key) is not str or entry_key == TAG:
                    plain = False
                    break
        if plain:
            values_text = _plain_text(dict.values(value))
            keys_text = _plain_text(dict.keys(value)) if values_text >= 0 else -1
            if keys_text >= 0 and values_text + keys_text <= ctx.text:
                ctx.text -= values_text + keys_text
                return dict(value)
            result = {}
            for entry_key, item in value.items():
                if len(entry_key) > MAX_STR:
                    entry_key = entry_key[:MAX_STR] + _CUT_MARK
                ctx.text -= len(entry_key)
                result[entry_key] = _full(item, depth + 1, ctx)
            return result
        entries = list(islice(dict.items(value), limit))
        child = depth + 1
        pairs = []
        for entry_key, item in entries:
            if type(entry_key) is str and len(entry_key) <= MAX_STR:
                ctx.text -= len(entry_key)
            else:
                entry_key = _full(entry_key, child, ctx)
            pairs.append([entry_key, _full(item, child, ctx)])
    finally:
        ctx.path.discard(key)
    result = {TAG: "dict", "type": name, "items": pairs}
    if total > len(pairs):
        result["len"] = total
    return result


def _str(value: str, ctx: _Ctx) -> Any:
    """A str, whole while it fits MAX_STR and the text budget (or is short),
    otherwise its first characters and its length."""
    length = len(value)
    left = ctx.text
    if length <= MAX_STR and (length <= left or length <= SHORT_STR):
        ctx.text = left - length
        return value
    kept = min(MAX_STR, max(left, 0))
    ctx.text = left - kept
    return {TAG: "str", "type": "str", "value": value[:kept], "len": length}


def _cut_bytes(value: bytes) -> Dict[str, Any]:
    return {TAG: "bytes", "type": "bytes", "value": value[:MAX_BYTES], "len": len(value)}


def _big_int_repr(value: int) -> str:
    try:
        digits = int.__repr__(value)
    except ValueError:
        # Past the interpreter's limit on int-to-text conversion.
        digits = "<int of %d bits>" % value.bit_length()
    return _cut_text(digits, MAX_REPR)


def _big_int(value: int) -> Dict[str, Any]:
    return {TAG: "object", "type": "int", "repr": _big_int_repr(value)}


_SCALAR_TYPES = frozenset((str, int, float, bool, type(None), bytes))


def _full(value: Any, depth: int, ctx: _Ctx) -> Any:
    t = type(value)
    if t is str:
        return _str(value, ctx)
    if t is int:
        return value if _INT_MIN <= value <= _INT_MAX else _big_int(value)
    if value is None or t is float or t is bool:
        return value
    if t is bytes:
        return value if len(value) <= MAX_BYTES else _cut_bytes(value)
    try:
        if t is dict:
            return _dict(value, depth, ctx)
        if t is list:
            # A short list of plain values, the commonest container, is
            # written as it is (it cannot hold a cycle).
            if depth < MAX_DEPTH and ctx.budget > 0 and ctx.items > 0:
                total = len(value)
                limit = min(MAX_ITEMS, ctx.items)
                items = value if total <= limit else value[:limit]
                if _all_plain(items, ctx):
                    ctx.budget -= 1
                    ctx.items -= len(items)
                    if total <= limit:
                        return value
                    return {TAG: "list", "type": "list", "items": items, "len": total}
            return _list(value, depth, ctx)
        if t is tuple:
            if len(value) <= min(MAX_ITEMS, ctx.items) and depth < MAX_DEPTH and ctx.budget > 0 and _all_plain(value, ctx):
                ctx.budget -= 1
                ctx.items -= len(value)
                return {TAG: "tuple", "type": "tuple", "items": list(value)}
            return _sequence("tuple", "tuple", tuple.__getitem__(value, slice(0, MAX_ITEMS)), tuple.__len__(value), depth, ctx, value)
        if t is set or t is frozenset:
            return _sequence(t.__name__, t.__name__, islice(t.__iter__(value), MAX_ITEMS), t.__len__(value), depth, ctx, value)
        return _subclass_or_object(value, t, depth, ctx)
    except RecursionError:
        raise
    except Exception as error:
        name = _type_name(t)
        return {TAG: "object", "type": name, "repr": "<%s object; not readable: %s>" % (name, _type_name(type(error)))}


def _subclass_or_object(value: Any, t: type, depth: int, ctx: _Ctx) -> Any:
    info = _info(t)
    kind = info[2]
    if kind == "object" or kind == "namedtuple":
        return _object(value, t, depth, ctx, info)
    if kind == "dict":
        return _dict(value, depth, ctx)
    if kind == "list":
        return _list(value, depth, ctx)
    name = info[0]
    if kind == "tuple":
        items = tuple.__getitem__(value, slice(0, MAX_ITEMS))
        return _sequence("tuple", name, items, tuple.__len__(value), depth, ctx, value)
    if kind == "set" or kind == "frozenset":
        base = set if kind == "set" else frozenset
        return _sequence(kind, name, islice(base.__iter__(value), MAX_ITEMS), base.__len__(value), depth, ctx, value)
    if kind == "deque":
        return _sequence("list", name, islice(deque.__iter__(value), MAX_ITEMS), deque.__len__(value), depth, ctx, value)
    total = bytearray.__len__(value)
    result = {TAG: "bytes", "type": name, "value": bytes(bytearray.__getitem__(value, slice(0, MAX_BYTES)))}
    if total > MAX_BYTES:
        result["len"] = total
    return result


# --------------------------------------------------------------------------
# Lightweight form


# How many items the short repr of each kind of container shows at most
# (reprlib's limits); built-in containers among them show theirs in turn.
_SHOWN_LIMITS = {
    list: _reprlib.maxlist,
    tuple: _reprlib.maxtuple,
    dict: _reprlib.maxdict,
    set: _reprlib.maxset,
    frozenset: _reprlib.maxfrozenset,
    deque: _reprlib.maxdeque,
}
_KIND_BASES = {"list": list, "tuple": tuple, "dict": dict, "set": set, "frozenset": frozenset, "deque": deque}
_NESTED_SHOWN = (list, tuple, dict, set, frozenset)


def _shown_items(value: Any, base: type, level: int) -> int:
    """The items the short repr of ``value`` (read as a ``base``) shows, at
    every level it shows (an entry of a dict counts once)."""
    if level <= 0:
        return 0
    items = dict.values(value) if base is dict else base.__iter__(value)
    shown = 0
    for item in islice(items, _SHOWN_LIMITS[base]):
        shown += 1
        t = type(item)
        if t in _NESTED_SHOWN:
            shown += _shown_items(item, t, level - 1)
    return shown


def _light(value: Any, ctx: _Ctx) -> Any:
    """In the lightweight form a repr counts the items it shows against the
    item budget, as the full form counts the items it writes: it is taken
    only while they fit, and reads "..." otherwise."""
    t = type(value)
    if t in _SCALAR_TYPES:
        return _full(value, 0, ctx)  # scalars are written alike in both forms
    name, _, kind, repr_runs = _info(t)
    if not repr_runs:
        return {TAG: "object", "type": name, "id": id(value)}
    base = _KIND_BASES.get(kind)
    shown = 1 if base is None else max(1, _shown_items(value, base, _reprlib.maxlevel))
    if shown > ctx.items:
        return {TAG: "object", "type": name, "repr": _CUT_MARK}
    ctx.items -= shown
    return {TAG: "object", "type": name, "repr": _shown_repr(value, name, ctx)}


def _light_top(value: Any) -> Any:
    ctx = _Ctx()
    if type(value) is dict:
        entries = list(islice(dict.items(value), MAX_ITEMS))
        if all(type(key) is str and key != TAG for key, _ in entries):
            ctx.items -= len(entries)
            result = {}
            for key, item in entries:
                if len(key) > MAX_STR:
                    key = key[:MAX_STR] + _CUT_MARK
                ctx.text -= len(key)
                result[key] = _light(item, ctx)
            return result
    return _light(value, ctx)


# --------------------------------------------------------------------------
# Packing


def _clean(value: Any) -> Any:
    """Replace lone surrogates in every string of an already converted value."""
    t = type(value)
    if t is str:
        return value.encode("utf-8", "backslashreplace").decode("utf-8")
    if t is list:
        return [_clean(item) for item in value]
    if t is dict:
        return {_clean(key): _clean(item) for key, item in value.items()}
    return value


# One packer per thread: making a packer costs more than packing a small
# value, and this runs twice for every recorded call and return.
_packers = threading.local()


def _packer() -> Any:
    try:
        return _packers.packer
    except AttributeError:
        _packers.packer = msgpack.Packer(use_bin_type=True)
        return _packers.packer


def _pack(converted: Any) -> bytes:
    try:
        return _packer().pack(converted)
    except UnicodeEncodeError:
        # A failed pack leaves the packer's buffer empty again.
        return _packer().pack(_clean(converted))


def _failure(value: Any, error: BaseException) -> bytes:
    try:
        name = _type_name(type(value))
    except Exception:
        name = "<unknown type>"
    try:
        reason = _type_name(type(error))
    except Exception:
        reason = "error"
    try:
        return msgpack.packb(
            {TAG: "object", "type": name, "repr": "<%s object; not serialisable: %s>" % (name, reason)},
            use_bin_type=True,
        )
    except Exception:
        return _FALLBACK


_FALLBACK = msgpack.packb({TAG: "object", "type": "<unknown type>", "repr": "<not serialisable>"}, use_bin_type=True)


_NIL = msgpack.packb(None)


def _dump_msgpack_py(value: Any) -> bytes:
    """The full MessagePack form of ``value`` (see the module docstring). Never raises."""
    if value is None:  # the argument of every call event
        return _NIL
    try:
        # A frame's locals are most often a small dict of plain values.
        if type(value) is dict and dict.__len__(value) <= MAX_ITEMS and _plain_keys(value):
            text = _plain_text(dict.values(value))
            if 0 <= text and text + _plain_text(dict.keys(value)) <= MAX_TEXT:
                return _pack(value)
        return _pack(_full(value, 0, _Ctx()))
    except Exception as error:
        return _failure(value, error)


def _dump_msgpack_lightweight_repr_py(value: Any) -> bytes:
    """The lightweight MessagePack form of ``value`` (see the module docstring). Never raises."""
    if value is None:
        return _NIL
    try:
        return _pack(_light_top(value))
    except Exception as error:
        return _failure(value, error)


# The native walker writes the same bytes several times faster; it asks this
# module for type names, attribute plans and reprs. The Python walker above is
# what runs without it (a source tree whose extension is not built).
try:
    from sarn import _serialize as _native
except ImportError:
    _native = None

if _native is not None:
    _native.configure(sys.modules[__name__])
    dump_msgpack = _native.dump_msgpack
    dump_msgpack_lightweight_repr = _native.dump_msgpack_lightweight_repr
else:
    dump_msgpack = _dump_msgpack_py
    dump_msgpack_lightweight_repr = _dump_msgpack_lightweight_repr_py
