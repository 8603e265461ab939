"""A trace document as JSON (``sarn export --json``), written record by
record as the document is read, so that a big trace is never held whole.
"""

from __future__ import annotations

import base64
import io
import json
import math
from typing import Any, Optional

import msgpack

from sarn.serialize import TAG
from sarn.web.document import MAIN_LIST, iter_document, takes_sink

__all__ = ["jsonable", "to_json", "write_json"]


def jsonable(value: Any) -> Any:
    """A decoded document or value made fit for JSON: bytes become
    {"__sarn__": "bin", "type": "bytes", "base64": ...}, non-finite floats the
    strings "nan", "inf" and "-inf", and map keys text."""
    t = type(value)
    if t is dict:
        return {_json_key(key): jsonable(item) for key, item in value.items()}
    if t is list or t is tuple:
        return [jsonable(item) for item in value]
    if t is bytes:
        return {TAG: "bin", "type": "bytes", "base64": base64.b64encode(value).decode("ascii")}
    if t is float and not math.isfinite(value):
        return "nan" if math.isnan(value) else ("inf" if value > 0 else "-inf")
    if value is None or t in (str, int, bool, float):
        return value
    if isinstance(value, msgpack.ExtType):
        return {TAG: "ext", "type": "ext", "code": value.code, "base64": base64.b64encode(value.data).decode("ascii")}
    return repr(value)


def _json_key(key: Any) -> str:
    if isinstance(key, str):
        return key
    if isinstance(key, bytes):
        return key.decode("utf-8", "backslashreplace")
    if key is None or isinstance(key, (int, float, bool)):
        return json.dumps(key)
    return repr(key)


def to_json(document: Any, indent: Optional[int] = None) -> str:
    """The decoded trace document as JSON text."""
    out = io.StringIO()
    write_json(document, out, indent=indent)
    return out.getvalue()


def write_json(document: Any, out: Any, indent: Optional[int] = None, progress: Any = None) -> None:
    """Writes the document as JSON to the text file ``out``, record by
    record: the records are written as they are read, the other entries
    (which come after them in a document) at the end."""
    newline = "\n" if indent else ""
    separator = "," + newline if indent else ", "

    def pad(level: int) -> str:
        return " " * (indent * level) if indent else ""

    def dump(value: Any, level: int) -> str:
        text = json.dumps(jsonable(value), indent=indent, ensure_ascii=False)
        return text.replace("\n", "\n" + pad(level)) if indent else text

    state = {"keys": 0, "threads": False, "threads_items": 0, "list": None, "items": 0}
    native = _native_pass(out, indent, dump)

    def key(name: str) -> None:
        out.write((separator if state["keys"] else "") + pad(1) + json.dumps(name, ensure_ascii=False) + ": ")
        state["keys"] += 1

    def close_list() -> None:
        if state["list"] is not None:
            level = 1 if state["list"] is MAIN_LIST else 2
            out.write((newline + pad(level) if state["items"] else "") + "]")
            state["list"] = None

    def close_threads() -> None:
        close_list()
        if state["threads"]:
            out.write((newline + pad(1) if state["threads_items"] else "") + "}")
            state["threads"] = False

    out.write("{" + newline)
    for kind, fallback, value in iter_document(document, progress, sink=native):
        if native is not None:  # it wrote the records of the list before this entry
            native.flush()
            if state["list"] is not None:
                state["items"] = native.items()
        if kind == "record":
            level = 2 if state["list"] is MAIN_LIST else 3
            out.write((separator if state["items"] else "") + pad(level) + dump(value, level))
            state["items"] += 1
        elif kind == "threads":
            close_threads()
            key("frames")
            out.write("{" + newline)
            state["threads"], state["threads_items"] = True, 0
        elif kind == "list":
            close_list()
            if fallback is MAIN_LIST:
                close_threads()
                key("frames_of_interest")
            else:
                out.write((separator if state["threads_items"] else "") + pad(2)
                          + json.dumps(_json_key(fallback), ensure_ascii=False) + ": ")
                state["threads_items"] += 1
            out.write("[" + newline)
            state["list"], state["items"] = fallback, 0
            if native is not None:
                native.begin_list(2 if fallback is MAIN_LIST else 3)
        else:
            close_threads()
            for name, item in value.items():
                key(_json_key(name))
                out.write(dump(item, 1))
    out.write(newline + "}")


def _native_pass(out: Any, indent: Optional[int], dump: Any) -> Any:
    """The native writer of the records, when the extension is there and the
    indentation is one it writes (none, or some spaces); else None."""
    if _JsonPass is None or not takes_sink() or not (indent is None or (type(indent) is int and 0 < indent <= 1024)):
        return None

    def dump_record(data: bytes, level: int) -> str:
        record = msgpack.unpackb(data, raw=False, strict_map_key=False, unicode_errors="replace")
        return dump(record, level)

    return _JsonPass(out.write, indent, dump_record)


try:
    from sarn._serialize import JsonPass as _JsonPass
except ImportError:  # a build without the extension
    _JsonPass = None
