"""Helpers shared by the plugins that record what a program does outside its
own code: cutting texts and values to the recorder's limits, masking
secret headers, removing credentials from URLs, and telling how a watched
frame is left.

Everything here runs inside the recorder's plugin step, for library frames
the program is in the middle of: it reads, never changes, and never raises
for an odd object.
"""

from __future__ import annotations

import dis
import os
import sys
import time
from typing import Any, Dict, Iterable, List, Mapping, Optional, Tuple

from sarn.serialize import MAX_BYTES, MAX_ITEMS, MAX_STR

#: Header names whose values are replaced by :data:`MASK` (compared lowercased).
SECRET_HEADERS = frozenset(("authorization", "cookie", "set-cookie", "proxy-authorization"))
MASK = "***"
#: Characters kept of a statement's SQL text: a statement an ORM builds is
#: often longer than a recorded string value may be, and it is what the
#: reader looks for.
SQL_TEXT_LIMIT = 20_000
#: The "error" of a frame that raised when the recorder is not told which
#: exception it was: the profile function (before Python 3.12, or with the
#: "setprofile" engine) is only told that the frame ends.
UNKNOWN_ERROR = "exception (the recorder is not told which)"

_CUT = "..."
# Values inside parameter lists: containers are followed this deep.
_VALUE_DEPTH = 3
# Value types whose repr is the standard library's own, cheap and without
# side effects: shown as their repr (cut), any other object by its type.
_PLAIN_REPR_TYPES = ("datetime", "date", "time", "timedelta", "Decimal", "UUID")


def cut_text(text: Any, limit: int = MAX_STR, keep_end: bool = False) -> str:
    """``text`` as a str of at most ``limit`` characters (a longer one is cut
    and marked with "..."), so that it stays a plain string in the trace."""
    if not isinstance(text, str):
        text = safe_str(text)
    else:
        text = str.__str__(text)
    if len(text) <= limit:
        return text
    if keep_end:
        return _CUT + text[len(text) - (limit - len(_CUT)):]
    return text[: limit - len(_CUT)] + _CUT


def safe_str(value: Any) -> str:
    """``str(value)``, or a placeholder when that raises."""
    try:
        text = str(value)
    except Exception:
        return "<%s object>" % type_name(value)
    return text if type(text) is str else "<%s object>" % type_name(value)


def type_name(value: Any) -> str:
    try:
        return type(value).__qualname__
    except Exception:
        return "object"


def exception_text(error: Any) -> str:
    """An exception as its type's name and its message, cut."""
    message = safe_str(error)
    name = type_name(error)
    return cut_text("%s: %s" % (name, message) if message else name)


def bounded_value(value: Any, depth: int = 0) -> Any:
    """A copy of a parameter value made of plain data only: strings, bytes,
    numbers, lists and dicts, cut like recorded values (at most ``MAX_ITEMS``
    items per container, strings of at most ``MAX_STR`` characters, bytes of
    at most ``MAX_BYTES``). Other
    objects are shown by their type (or, for a few standard value types, a
    cut repr): no code of theirs runs."""
    kind = type(value)
    if value is None or kind in (bool, int, float):
        return value
    if kind is str:
        return cut_text(value)
    if kind in (bytes, bytearray, memoryview):
        try:
            return bytes(value[:MAX_BYTES])
        except Exception:
            return "<%s>" % kind.__name__
    if isinstance(value, (list, tuple)):
        base = list if isinstance(value, list) else tuple
        size = base.__len__(value)
        if depth >= _VALUE_DEPTH:
            return "<%s of %d>" % (kind.__name__, size)
        items = [bounded_value(item, depth + 1) for item in base.__getitem__(value, slice(0, MAX_ITEMS))]
        if size > MAX_ITEMS:
            items.append("... %d more" % (size - MAX_ITEMS))
        return items
    if isinstance(value, dict):
        size = dict.__len__(value)
        if depth >= _VALUE_DEPTH:
            return "<%s of %d>" % (kind.__name__, size)
        result = {}
        for index, (key, item) in enumerate(dict.items(value)):
            if index == MAX_ITEMS:
                result["..."] = "%d more" % (size - MAX_ITEMS)
                break
            result[_key_text(key)] = bounded_value(item, depth + 1)
        return result
    if kind.__name__ in _PLAIN_REPR_TYPES and kind.__module__ in ("datetime", "decimal", "uuid"):
        try:
            return cut_text(repr(value))
        except Exception:
            pass
    return "<%s>" % type_name(value)


def _key_text(key: Any) -> str:
    if type(key) is str:
        return cut_text(key)
    return cut_text(repr(key)) if type(key) in (int, float, bool) or key is None else "<%s>" % type_name(key)


def masked_headers(pairs: Iterable[Tuple[Any, Any]]) -> Dict[str, str]:
    """Header (name, value) pairs as a dict of texts, secret values masked,
    at most ``MAX_ITEMS`` headers; a repeated name has its values joined by
    ", " as HTTP allows."""
    headers: Dict[str, str] = {}
    try:
        for name, value in pairs:
            name = _header_text(name)
            value = MASK if name.lower() in SECRET_HEADERS else _header_text(value)
            if name in headers:
                headers[name] = cut_text(headers[name] + ", " + value)
            elif len(headers) < MAX_ITEMS:
                headers[cut_text(name)] = cut_text(value)
    except Exception:
        pass  # an odd headers object: keep what was read
    return headers


def _header_text(value: Any) -> str:
    if isinstance(value, (bytes, bytearray)):
        return bytes(value).decode("latin-1")
    return value if type(value) is str else safe_str(value)


def url_without_credentials(url: Any) -> str:
    """``url`` as text without the user name and password it may hold."""
    text = _header_text(url)
    scheme_end = text.find("://")
    if scheme_end < 0:
        return cut_text(text)
    start = scheme_end + 3
    end = len(text)
    for stop in "/?#":
        found = text.find(stop, start)
        if 0 <= found < end:
            end = found
    at = text.rfind("@", start, end)
    if at >= 0:
        text = text[:start] + text[at + 1:]
    return cut_text(text)


def content_length(headers: Dict[str, str]) -> Optional[int]:
    """The body size that a Content-Length header announces, if any."""
    for name, value in headers.items():
        if name.lower() == "content-length":
            try:
                size = int(value.strip())
            except ValueError:
                return None
            return size if size >= 0 else None
    return None


# --------------------------------------------------------------------------
# How a watched frame is left

_RETURN_OPS = frozenset(dis.opmap[name] for name in ("RETURN_VALUE", "RETURN_CONST") if name in dis.opmap)
_YIELD_OPS = frozenset(dis.opmap[name] for name in ("YIELD_VALUE", "YIELD_FROM") if name in dis.opmap)
_YIELD_FROM = dis.opmap.get("YIELD_FROM")
_YIELD_VALUE = dis.opmap.get("YIELD_VALUE")
_RESUME = dis.opmap.get("RESUME", -1)
# The bytecode of each watched code object, read once (on 3.11 and later
# ``co_code`` builds a new bytes object at each read).
_bytecode: Dict[Any, bytes] = {}

RETURNED, SUSPENDED, RAISED = "returned", "suspended", "raised"


def frame_exit(frame: Any) -> str:
    """How ``frame`` is being left at its return event: RETURNED, SUSPENDED
    (a coroutine or generator waiting: it will be resumed) or RAISED, told by
    the instruction it stopped at."""
    try:
        code = frame.f_code
        raw = _bytecode.get(code)
        if raw is None:
            raw = _bytecode[code] = code.co_code
        offset = frame.f_lasti
    except Exception:
        return RETURNED
    if offset < 0 or offset >= len(raw):
        return RETURNED
    op = raw[offset]
    if op in _RETURN_OPS:
        return RETURNED
    # Up to 3.10 a waiting ``await`` or ``yield from`` stops one instruction
    # before its YIELD_FROM, to run it again when resumed; from 3.12 on the
    # frame stops at the RESUME that follows its YIELD_VALUE.
    if op in _YIELD_OPS or (_YIELD_FROM is not None and offset + 2 < len(raw) and raw[offset + 2] == _YIELD_FROM):
        return SUSPENDED
    if op == _RESUME and offset >= 2 and raw[offset - 2] == _YIELD_VALUE:
        return SUSPENDED
    return RAISED


def unwinding_error() -> str:
    """The "error" text of a frame that is leaving by an exception: the
    exception when the recorder is told it (sys.monitoring), else
    :data:`UNKNOWN_ERROR`."""
    try:
        from sarn import _sarn

        error = _sarn._unwinding_exception()
    except Exception:
        error = None
    return UNKNOWN_ERROR if error is None else exception_text(error)


def end_error(frame: Any) -> Dict[str, str]:
    """``{"error": ...}`` when ``frame`` is leaving by an exception, else {}."""
    return {"error": unwinding_error()} if frame_exit(frame) == RAISED else {}


def first_start_or_last_end(frame: Any, event: str, arg: Any, context: Dict[str, Any]) -> bool:
    """A plugin's ``call`` test for a coroutine function: keeps its first
    start and its final end only, not the suspensions and resumptions of
    each ``await`` in between (each of which the interpreter reports as a
    return and a call)."""
    running = context.setdefault("running", set())
    key = id(frame)
    if event == "call":
        if key in running:
            return False
        running.add(key)
        return True
    if frame_exit(frame) == SUSPENDED:
        return False
    running.discard(key)
    return True


def outermost_call(fragment: str) -> Any:
    """A plugin's ``call`` test that keeps the outermost of nested calls: a
    frame whose caller is a function of the same name in a file whose path
    holds ``fragment`` (an override calling ``super()``'s, say) is skipped,
    since the outer one is recorded."""
    fragment = fragment.replace("/", os.sep)

    def test(frame: Any, event: str, arg: Any, context: Dict[str, Any]) -> bool:
        try:
            back = frame.f_back
            return back is None or back.f_code.co_name != frame.f_code.co_name or \
                fragment not in back.f_code.co_filename
        except Exception:
            return True

    return test


def local(frame: Any, name: str, default: Any = None) -> Any:
    """One local variable of ``frame``."""
    try:
        return frame.f_locals.get(name, default)
    except Exception:
        return default


def module_class(module: str, name: str) -> Any:
    """A class of an already imported module (never imports it), or None."""
    loaded = sys.modules.get(module)
    return getattr(loaded, name, None) if loaded is not None else None


def sql_context(config: Mapping[str, Any]) -> Dict[str, Any]:
    """The context of the SQL plugins: whether parameters are recorded."""
    return {"parameters": bool(config.get("sql_parameters", True))}


def rowcount_of(cursor: Any) -> Dict[str, int]:
    """``{"rowcount": n}`` from a DB-API cursor, or {} when the driver does
    not know it (-1, or no such attribute)."""
    try:
        count = cursor.rowcount
    except Exception:
        return {}
    return {"rowcount": count} if type(count) is int and count >= 0 else {}


#: The record types of each kind of operation: its start and its end.
RECORD_TYPES = {
    "sql": ("sql_query", "sql_query_end"),
    "http": ("http_request", "http_request_end"),
    "log": ("log_record", "log_record_end"),
    "template": ("template_render", "template_render_end"),
}


def watch(kind: str, co_names: List[str], path: str, subtype: str, call: Any, process: Any,
          **more: Any) -> Dict[str, Any]:
    """The plugin that records one kind of operation (a key of
    :data:`RECORD_TYPES`) at the functions ``co_names`` of files under ``path``."""
    call_type, return_type = RECORD_TYPES[kind]
    return dict({"co_names": co_names, "path_fragment": path, "call_type": call_type, "return_type": return_type,
                 "subtype": subtype, "call": call, "process": process}, **more)


def sql_spec(co_names: List[str], path: str, subtype: str, call: Any, process: Any) -> Dict[str, Any]:
    """The plugin of an SQL library: the functions every statement passes through."""
    return watch("sql", co_names, path, subtype, call, process, build_context=sql_context)


def template_render(frame: Any, event: str, engine: str) -> Dict[str, Any]:
    """A template render of ``engine``, read from its ``render`` frame: the
    template's name at the start, the error it raised at the end."""
    if event != "call":
        return end_error(frame)
    name = getattr(local(frame, "self"), "name", None)
    return {"template": cut_text(name) if isinstance(name, str) and name else "<string>", "engine": engine}


def response_end(frame: Any, response: Any, header_pairs: Iterable[Tuple[Any, Any]], status: Any) -> Dict[str, Any]:
    """The end record of an HTTP exchange: the error it raised, or the
    response's status, size (from its headers: the body is never read) and
    headers."""
    data: Dict[str, Any] = end_error(frame)
    if data or response is None:
        return data
    headers = masked_headers(header_pairs)
    if type(status) is int:
        data["status"] = status
    size = content_length(headers)
    if size is not None:
        data["response_size"] = size
    data["response_headers"] = headers
    return data


_CROCKFORD = "0123456789ABCDEFGHJKMNPQRSTVWXYZ"


def new_frame_id() -> str:
    """A new frame id in the recorder's form ("frm_" and a 26-character
    ULID), for a record pair a plugin makes of one frame's end."""
    value = (int(time.time() * 1000) << 80) | int.from_bytes(os.urandom(10), "big")
    return "frm_" + "".join(_CROCKFORD[(value >> shift) & 31] for shift in range(125, -5, -5))
