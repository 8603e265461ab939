"""Outbound HTTP through the standard library's ``http.client``, which
``urllib.request``, ``urllib3`` and ``requests`` send through.

One request is one record pair on ``HTTPConnection.getresponse``: from the
request having been sent to the response's status line and headers having
been read (the body is left to the program). By then the connection no
longer holds the request line and headers, which ``_send_output`` sends
from its buffer: a second plugin reads that buffer as it is sent, adds no
record, and keeps the request for the connection's ``getresponse``.

A request that fails while being sent (the connection refused or timed
out, the name not resolved) never reaches ``getresponse``: it is recorded
from ``_send_output`` instead, when that frame is left by an exception, as
a pair from the start of the send to the failure.
"""

from __future__ import annotations

import time
import weakref
from typing import Any, Dict, List, Mapping, Optional, Tuple

from sarn.integrations.outside.common import (
    RAISED, cut_text, end_error, frame_exit, local, masked_headers, module_class, new_frame_id, response_end,
    url_without_credentials,
)

PATH = "http/client.py"

Request = Tuple[str, str, List[Tuple[str, str]]]
# connection -> (method, request target, header pairs) of the request it sent last
_sent: "weakref.WeakKeyDictionary[Any, Request]" = weakref.WeakKeyDictionary()
# id of a ``_send_output`` frame -> when its send started
_sending: Dict[int, float] = {}
# id of a ``_send_output`` frame that failed -> the frame id of its record
# pair, and when its send started
_failed: Dict[int, Tuple[str, float]] = {}


def _connection(frame: Any) -> Any:
    connection = local(frame, "self")
    base = module_class("http.client", "HTTPConnection")
    return connection if base is not None and isinstance(connection, base) else None


def _parse_request(lines: List[Any]) -> Optional[Tuple[str, str, List[Tuple[str, str]]]]:
    """(method, target, headers) from the buffered request line and header
    lines, as ``putrequest`` and ``putheader`` wrote them."""
    if not lines or not isinstance(lines[0], bytes):
        return None
    method, _, rest = lines[0].decode("latin-1").partition(" ")
    target = rest.rpartition(" ")[0] or rest
    headers = []
    for line in lines[1:]:
        if not isinstance(line, bytes) or not line:
            continue
        name, _, value = line.decode("latin-1").partition(":")
        headers.append((name, " ".join(value.split())))  # continuation lines folded
    return method, target, headers


def note_sent(frame: Any, event: str, arg: Any, context: Dict[str, Any]) -> bool:
    """The ``call`` test of ``_send_output``: at its call, keeps the request
    being sent and asks for no record; at its end, asks for the records of a
    failed request when the send raised."""
    connection = _connection(frame)
    if connection is None:
        return False
    if event == "call":
        try:
            request = _parse_request(list(connection._buffer))
            if request is not None:
                _sent[connection] = request
                _sending[id(frame)] = time.time()
        except Exception:
            pass
        return False
    started = _sending.pop(id(frame), None)
    if started is None or frame_exit(frame) != RAISED:
        return False
    _failed[id(frame)] = (new_frame_id(), started)
    return True


def failed_send(frame: Any, event: str, arg: Any, context: Dict[str, Any]) -> bool:
    """The ``call`` test of the end record of a failed send."""
    return id(frame) in _failed


def is_connection(frame: Any, event: str, arg: Any, context: Dict[str, Any]) -> bool:
    return _connection(frame) is not None


def _url(connection: Any, target: str, headers: List[Tuple[str, str]]) -> str:
    if "://" in target:  # absolute form, as sent to a proxy
        return url_without_credentials(target)
    scheme = "https" if getattr(connection, "default_port", 80) == 443 else "http"
    host = next((value for name, value in headers if name.lower() == "host"), None)
    if not host:
        host = str(getattr(connection, "host", ""))
        port = getattr(connection, "port", None)
        if isinstance(port, int) and port != getattr(connection, "default_port", None):
            host = "%s:%d" % (host, port)
    return url_without_credentials("%s://%s%s" % (scheme, host, target))


def _request_data(connection: Any) -> Dict[str, Any]:
    method, target, headers = _sent.pop(connection, None) or (getattr(connection, "_method", None) or "", "", [])
    return {
        "method": cut_text(method),
        "url": _url(connection, target, headers),
        "request_headers": masked_headers(headers),
    }


def process(frame: Any, event: str, arg: Any, context: Dict[str, Any]) -> Dict[str, Any]:
    if event != "call":
        return response_end(frame, arg, _items(getattr(arg, "msg", None)), getattr(arg, "status", None))
    return _request_data(_connection(frame))


def failed_request(frame: Any, event: str, arg: Any, context: Dict[str, Any]) -> Dict[str, Any]:
    """The call record of a failed send, dated from the send's start."""
    data = _request_data(_connection(frame))
    data["frame_id"], data["timestamp"] = _failed[id(frame)]
    return data


def failed_end(frame: Any, event: str, arg: Any, context: Dict[str, Any]) -> Dict[str, Any]:
    data = end_error(frame)
    data["frame_id"] = _failed.pop(id(frame))[0]
    return data


def _items(message: Any) -> List[Tuple[Any, Any]]:
    try:
        return list(message.items())
    except Exception:
        return []


def specs(config: Mapping[str, Any]) -> List[Dict[str, Any]]:
    return [
        {  # keeps each request as it is sent; records it only if the send fails
            "co_names": ["_send_output"],
            "path_fragment": PATH,
            "call_type": "http_request",
            "return_type": "http_request",
            "subtype": "http.client",
            "call": note_sent,
            "process": failed_request,
        },
        {  # the end of a failed send (listed after the plugin that notes it)
            "co_names": ["_send_output"],
            "path_fragment": PATH,
            "call_type": "http_request_end",
            "return_type": "http_request_end",
            "subtype": "http.client",
            "call": failed_send,
            "process": failed_end,
            "events": ["return"],
        },
        {
            "co_names": ["getresponse"],
            "path_fragment": PATH,
            "call_type": "http_request",
            "return_type": "http_request_end",
            "subtype": "http.client",
            "call": is_connection,
            "process": process,
        },
    ]
