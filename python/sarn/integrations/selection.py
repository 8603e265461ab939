"""Which requests a middleware records: path prefixes, a sampling rate, a header."""

from __future__ import annotations

import random
from typing import Callable, Iterable, Optional, Tuple

__all__ = ["RequestSelector"]

# Header values that ask not to record.
_NO = frozenset(["", "0", "false", "no", "off"])


class RequestSelector:
    """Decides per request whether it is to be recorded.

    A request is recorded when every condition given holds: its path starts
    with one of ``paths``, it carries ``header`` with a value other than
    empty, "0", "false", "no" or "off", and it is drawn with probability
    ``sample`` (1.0: every request). Draws come from a generator of their own,
    so the program's seeded ``random`` sequence is not disturbed.
    """

    def __init__(
        self,
        paths: Optional[Iterable[str]] = None,
        sample: float = 1.0,
        header: Optional[str] = None,
    ) -> None:
        if isinstance(paths, str):
            paths = [paths]
        self.paths: Optional[Tuple[str, ...]] = None if paths is None else tuple(str(path) for path in paths)
        self.sample = float(sample)
        if not 0.0 <= self.sample <= 1.0:
            raise ValueError("sample must lie between 0.0 and 1.0, not %r" % (sample,))
        self.header = header.lower() if header else None
        self._random = random.Random()

    def wants(self, path: str, header_value: Callable[[str], Optional[str]]) -> bool:
        """True when the request to ``path`` is to be recorded; ``header_value``
        gives a request header's value by its lower-case name, or None."""
        if self.paths is not None and not path.startswith(self.paths):
            return False
        if self.header is not None:
            value = header_value(self.header)
            if value is None or value.strip().lower() in _NO:
                return False
        if self.sample >= 1.0:
            return True
        return self._random.random() < self.sample
