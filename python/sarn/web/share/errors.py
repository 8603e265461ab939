"""What the sharing commands report instead of a traceback."""

from __future__ import annotations

__all__ = ["ShareError"]


class ShareError(Exception):
    """A one-line reason why a trace cannot be exported or imported as asked.
    ``usage`` is true when a different command would do (a bad option, an
    output that cannot be written), false when the data is at fault."""

    usage = True
