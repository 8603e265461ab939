"""Recorded values as compared between two runs.

Two runs of one program never agree on object ids, addresses in reprs
("<Cart object at 0x7f...>") or timestamps; those are taken out before
comparing, and so are the fields the user names (``--ignore created_at``).
What is kept of a value is a digest of the rest and a short text to show,
so that a compared trace costs memory per call, not per recorded byte.
"""

from __future__ import annotations

import hashlib
import re
from typing import Any, Collection, Dict, Tuple

import msgpack

from sarn.serialize import TAG
from sarn.web.values import format_value

__all__ = ["Summary", "normalise", "summarise", "summarise_map"]

#: A value as compared: (digest, short text).
Summary = Tuple[bytes, str]

# Addresses in reprs, and a thread's ident in its repr ("<Thread(worker,
# started 1405...)>").
_ADDRESS = re.compile(r" at 0x[0-9a-fA-F]+")
_THREAD_IDENT = re.compile(r"(\((?:[^()]*, )?(?:started|stopped)(?: daemon)?) \d+\)")
#: Attributes that hold a thread's ids (threading.Thread and its subclasses):
#: never the same in two runs.
THREAD_ID_ATTRS = frozenset(("_ident", "_native_id"))


def _clean_text(text: str) -> str:
    return _THREAD_IDENT.sub(r"\1 ?)", _ADDRESS.sub(" at 0x?", text))


def normalise(value: Any, ignore: Collection[str] = ()) -> Any:
    """``value`` without addresses, object ids and the ``ignore`` fields
    (keys of maps, attributes of objects, at any depth)."""
    kind = type(value)
    if kind is str:
        return _clean_text(value)
    if kind is list:
        return [normalise(item, ignore) for item in value]
    if kind is not dict:
        return value
    if TAG not in value:
        return {key: normalise(item, ignore) for key, item in value.items() if key not in ignore}
    clean: Dict[str, Any] = {}
    for key, item in value.items():
        if key == "id":
            continue  # the object's id(): a different number in every run
        if key == "attrs" and isinstance(item, dict):
            clean[key] = {name: normalise(attr, ignore) for name, attr in item.items()
                          if name not in ignore and name not in THREAD_ID_ATTRS}
        elif key == "items" and value.get(TAG) == "dict" and isinstance(item, list):
            clean[key] = [normalise(pair, ignore) for pair in item
                          if not (isinstance(pair, list) and len(pair) == 2 and pair[0] in ignore)]
        else:
            clean[key] = normalise(item, ignore)
    return clean


_SCALARS = (bool, int, float)


def summarise(value: Any, ignore: Collection[str] = ()) -> Summary:
    """The digest and short text of a recorded value, as compared."""
    if value is None or type(value) in _SCALARS:
        text = repr(value)  # short, and the whole value: it is its own digest
        return text.encode(), text
    clean = normalise(value, ignore)
    try:
        packed = msgpack.packb(clean, use_bin_type=True)
    except (TypeError, ValueError, OverflowError):
        packed = repr(clean).encode("utf-8", "backslashreplace")
    return hashlib.blake2b(packed, digest_size=8).digest(), format_value(clean)


def summarise_map(values: Any, ignore: Collection[str] = ()) -> Tuple[Tuple[str, bytes, str], ...]:
    """A call's arguments or locals, name by name: ((name, digest, text), ...);
    the ``ignore`` names and a method's implicit ``__class__`` cell left out."""
    if not isinstance(values, dict) or TAG in values:
        return ()
    return tuple((str(name),) + summarise(value, ignore) for name, value in values.items()
                 if name not in ignore and name != "__class__")
