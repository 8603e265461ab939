"""The call index kept beside each stored trace, which lets ``sarn find``
leave unread the traces that cannot hold a call it looks for.

Per qualified name called in a trace it keeps: how many calls, the longest
one's duration, the exception types its calls raised, and per argument name
the least and greatest number passed in it (None when none was a number)
and the digests of the few distinct texts passed in it (:func:`text_digest`;
null among them when a value that is not a text was passed; None when a map,
which may be an object compared by its repr, or more than ``TEXT_LIMIT``
distinct texts were). A search reads a trace only when one of its names
matches the pattern and that name's facts do not rule out ``--raised``,
``--slower`` and the comparisons of ``--where`` with numbers and texts
(:func:`.where.compile_bounds`).

The index of a document's bytes is read by one native pass
(``sarn._serialize.call_index``) when the extension is there and the
document is not damaged; :class:`CallIndex` builds the same rows from the
records of a document being read anyway (a search of a trace stored
without its index).

The facts are those :func:`.search.find_in` judges by: the name at the call
record, the duration from call to return (0 when it never returned), the
exception of an exception record that follows the return.
"""

from __future__ import annotations

import hashlib
import json
import math
from typing import Any, Dict, Iterable, List, Optional, Set, Tuple

from sarn.serialize import TAG
from sarn.web.document import iter_document, unpack_value
from sarn.web.values import is_normal_exit

from .calls import exception_type

__all__ = ["CallIndex", "index_document", "Row", "NUMBER_LIMIT", "TEXT_LIMIT", "text_digest"]

#: A row of the index, without the trace id: (qualname, calls, slowest,
#: raised as JSON, numbers as JSON or None, texts as JSON or None).
Row = Tuple[str, int, float, str, Optional[str], Optional[str]]

#: Integers beyond this size have no exact float: their argument's range is
#: then unbounded, never wrong.
NUMBER_LIMIT = 2 ** 53
#: Distinct texts kept per argument name; more make its texts unknown.
TEXT_LIMIT = 16


def text_digest(text: str) -> str:
    """How the index knows a text: 16 hex digits of its hash."""
    return hashlib.blake2b(text.encode("utf-8", "surrogatepass"), digest_size=8).hexdigest()


def _texts_entry(texts: Iterable[str], other: bool) -> List[Optional[str]]:
    entry: List[Optional[str]] = sorted(text_digest(text) for text in texts)
    return entry + [None] if other else entry

# First bytes of the MessagePack forms of numbers and booleans: the only
# values a comparison with a number can be true for.
_NUMBER_HEADS = frozenset(list(range(0x00, 0x80)) + list(range(0xe0, 0x100)) + list(range(0xca, 0xd4)) + [0xc2, 0xc3])


class _Texts:
    """The texts passed in one argument: distinct (by their UTF-8), and
    whether a value that is not a text was passed."""

    __slots__ = ("seen", "other")

    def __init__(self) -> None:
        self.seen: Dict[bytes, str] = {}
        self.other = False


class _Name:
    __slots__ = ("calls", "slowest", "raised", "numbers", "texts")

    def __init__(self) -> None:
        self.calls = 0
        self.slowest = 0.0
        self.raised: Set[str] = set()
        # argument name -> [least, greatest] or None; None whole when an
        # argument list was not a plain map (and then texts too).
        self.numbers: Optional[Dict[str, Optional[List[float]]]] = {}
        # argument name -> _Texts, or None when they cannot be told.
        self.texts: Dict[str, Optional[_Texts]] = {}


class CallIndex:
    """The index of one document, fed its records in order (the call
    tuples of ``iter_document(calls=True)``, other records as dicts)."""

    def __init__(self) -> None:
        self.names: Dict[str, _Name] = {}
        self.open: Dict[Any, Tuple[_Name, Any]] = {}  # frame id -> (facts, call timestamp)
        self.ended: Optional[Tuple[Any, _Name]] = None  # the last return, for its exception record

    def add(self, record: Any) -> None:
        if type(record) is not tuple:
            ended, self.ended = self.ended, None
            if ended is not None and record.get("type") == "exception" and record.get("frame_id") == ended[0] \
                    and not is_normal_exit(record):
                ended[1].raised.add(exception_type(record.get("exception")))
            return
        self.ended = None
        frame_id = record[1]
        if record[0] == "call":
            name = str(record[2] or record[3] or "")
            facts = self.names.get(name)
            if facts is None:
                facts = self.names[name] = _Name()
            facts.calls += 1
            if facts.numbers is not None:
                self._numbers(facts, record[10])
            self.open[frame_id] = (facts, record[7])
            return
        started = self.open.pop(frame_id, None)
        if started is None:
            return
        facts, start = started
        end = record[7]
        if start is not None and end is not None and end - start > facts.slowest:
            facts.slowest = float(end - start)
        self.ended = (frame_id, facts)

    @staticmethod
    def _numbers(facts: _Name, values: Any) -> None:
        numbers = facts.numbers
        if values is None:
            return
        if type(values) is bytes:  # not a plain map: what --where sees is not known by name
            facts.numbers = None
            return
        texts = facts.texts
        for name, data in values:
            found = texts.get(name, _UNSEEN)
            if found is _UNSEEN:
                found = texts[name] = _Texts()
            if found is not None and not _text(found, data):
                texts[name] = None
            seen = numbers.get(name, _UNSEEN)
            if not data or data[0] not in _NUMBER_HEADS:
                if seen is _UNSEEN:
                    numbers[name] = None
                continue
            number = unpack_value(data)
            if isinstance(number, float) and math.isnan(number):
                continue  # no comparison is true for it
            if isinstance(number, int) and abs(number) > NUMBER_LIMIT:
                low, high = -math.inf, math.inf
            else:
                low = high = number
            if seen is _UNSEEN or seen is None:
                numbers[name] = [low, high]
            else:
                if low < seen[0]:
                    seen[0] = low
                if high > seen[1]:
                    seen[1] = high

    def rows(self) -> List[Row]:
        rows = []
        for name, facts in self.names.items():
            numbers = texts = None
            if facts.numbers is not None:
                numbers = json.dumps({key: None if value is None else [float(value[0]), float(value[1])]
                                      for key, value in facts.numbers.items()})
                texts = json.dumps({key: None if value is None else _texts_entry(value.seen.values(), value.other)
                                    for key, value in facts.texts.items()})
            rows.append((name, facts.calls, facts.slowest, json.dumps(sorted(facts.raised)), numbers, texts))
        return rows


_UNSEEN = object()
# First bytes of the MessagePack forms of texts and maps, and the length of
# their heads.
_TEXT_HEADS = dict([(head, 1) for head in range(0xa0, 0xc0)] + [(0xd9, 2), (0xda, 3), (0xdb, 5)])
_MAP_HEADS = frozenset(list(range(0x80, 0x90)) + [0xde, 0xdf])


def _text(texts: _Texts, data: bytes) -> bool:
    """Notes a value's bytes among the texts passed in an argument; False
    when they can no longer be told (a map: an object compares by its repr
    text; a text that is not UTF-8: compared as decoded with replacements;
    more than TEXT_LIMIT distinct texts)."""
    head = data[0] if data else 0xc0
    if head in _MAP_HEADS:
        return False
    skip = _TEXT_HEADS.get(head)
    if skip is None:
        texts.other = True
        return True
    text = data[skip:]
    if text in texts.seen:
        return True
    try:
        texts.seen[text] = text.decode("utf-8")
    except UnicodeDecodeError:
        return False
    return len(texts.seen) <= TEXT_LIMIT


def index_document(data: Any) -> List[Row]:
    """The index rows of a document (bytes or a binary file); raises
    TraceFormatError when it is damaged."""
    if _call_index is not None and isinstance(data, (bytes, bytearray, memoryview)):
        found = _call_index(data, TAG, TEXT_LIMIT)
        if found is not None:
            return _native_rows(*found)
    index = CallIndex()
    for kind, _, record in iter_document(data, calls=True):
        if kind == "record":
            index.add(record)
    return index.rows()


def _native_rows(names: List[Tuple[Any, ...]], exceptions: List[Tuple[int, bytes]]) -> List[Row]:
    """The rows of what the native pass read; the exception records it
    found after returns are judged here, as :class:`CallIndex` judges them."""
    raised: Dict[int, Set[str]] = {}
    for position, data in exceptions:
        record = unpack_value(data)
        if not is_normal_exit(record):
            raised.setdefault(position, set()).add(exception_type(record.get("exception")))
    rows = []
    for position, (name, calls, slowest, numbers, texts) in enumerate(names):
        if texts is not None:
            texts = json.dumps({key: None if value is None else _texts_entry(*value) for key, value in texts.items()})
        rows.append((name, calls, slowest, json.dumps(sorted(raised.get(position, ()))),
                     None if numbers is None else json.dumps(numbers), texts))
    return rows


try:
    from sarn._serialize import call_index as _call_index
except ImportError:  # a build without the extension
    _call_index = None
