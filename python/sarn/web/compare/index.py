"""The call index kept beside each stored trace, which lets ``sarn find``
leave unread the traces that cannot hold a call it looks for.

Per qualified name called in a trace it keeps: how many calls, the longest
one's duration, the exception types its calls raised, and per argument name
the least and greatest number passed in it (None when none was a number).
A search reads a trace only when one of its names matches the pattern and
that name's facts do not rule out ``--raised``, ``--slower`` and the
comparisons of ``--where`` with numbers (:func:`.where.compile_bounds`).

The facts are those :func:`.search.find_in` judges by: the name at the call
record, the duration from call to return (0 when it never returned), the
exception of an exception record that follows the return.
"""

from __future__ import annotations

import json
import math
from typing import Any, Dict, List, Optional, Set, Tuple

from sarn.web.document import iter_document, unpack_value
from sarn.web.values import is_normal_exit

from .calls import exception_type

__all__ = ["CallIndex", "index_document", "Row", "NUMBER_LIMIT"]

#: A row of the index, without the trace id: (qualname, calls, slowest,
#: raised as JSON, numbers as JSON or None).
Row = Tuple[str, int, float, str, Optional[str]]

#: Integers beyond this size have no exact float: their argument's range is
#: then unbounded, never wrong.
NUMBER_LIMIT = 2 ** 53

# First bytes of the MessagePack forms of numbers and booleans: the only
# values a comparison with a number can be true for.
_NUMBER_HEADS = frozenset(list(range(0x00, 0x80)) + list(range(0xe0, 0x100)) + list(range(0xca, 0xd4)) + [0xc2, 0xc3])


class _Name:
    __slots__ = ("calls", "slowest", "raised", "numbers")

    def __init__(self) -> None:
        self.calls = 0
        self.slowest = 0.0
        self.raised: Set[str] = set()
        # argument name -> [least, greatest] or None; None whole when an
        # argument list was not a plain map.
        self.numbers: Optional[Dict[str, Optional[List[float]]]] = {}


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
        for name, data in values:
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
            numbers = None if facts.numbers is None else json.dumps(
                {key: None if value is None else [float(value[0]), float(value[1])]
                 for key, value in facts.numbers.items()})
            rows.append((name, facts.calls, facts.slowest, json.dumps(sorted(facts.raised)), numbers))
        return rows


_UNSEEN = object()


def index_document(data: Any) -> List[Row]:
    """The index rows of a document (bytes or a binary file); raises
    TraceFormatError when it is damaged."""
    index = CallIndex()
    for kind, _, record in iter_document(data, calls=True):
        if kind == "record":
            index.add(record)
    return index.rows()
