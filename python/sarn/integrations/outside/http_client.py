"""Outbound HTTP through the standard library's ``http.client``, which
``urllib.request``, ``urllib3`` and ``requests`` send through.

One request is one record pair on ``HTTPConnection.getresponse``: from the
request having been sent to the response's status line and headers having
been read (the body is left to the program). By then the connection no
longer holds the request line and headers, which ``_send_output`` sends
from its buffer: a second plugin reads that buffer as it is sent, adds no
record, and keeps the request for the connection's ``getresponse``.
"""

from __future__ import annotations

import weakref
from typing import Any, Dict, List, Mapping, Optional, Tuple

from sarn.integrations.outside.common import (
    cut_text, local, masked_headers, module_class, response_end, url_without_credentials,
)

PATH = "http/client.py"

# connection -> (method, request target, header pairs) of the request it sent last
_sent: "weakref.WeakKeyDictionary[Any, Tuple[str, str, List[Tuple[str, str]]]]" = weakref.WeakKeyDictionary()


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
    """The ``call`` test of ``_send_output``: keeps the request being sent
    and asks for no record."""
    connection = _connection(frame) if event == "call" else None
    if connection is not None:
        try:
            request = _parse_request(list(connection._buffer))
            if request is not None:
                _sent[connection] = request
        except Exception:
            pass
    return False


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


def process(frame: Any, event: str, arg: Any, context: Dict[str, Any]) -> Dict[str, Any]:
    connection = _connection(frame)
    if event != "call":
        return response_end(frame, arg, _items(getattr(arg, "msg", None)), getattr(arg, "status", None))
    method, target, headers = _sent.pop(connection, None) or (getattr(connection, "_method", None) or "", "", [])
    return {
        "method": cut_text(method),
        "url": _url(connection, target, headers),
        "request_headers": masked_headers(headers),
    }


def _items(message: Any) -> List[Tuple[Any, Any]]:
    try:
        return list(message.items())
    except Exception:
        return []


def specs(config: Mapping[str, Any]) -> List[Dict[str, Any]]:
    return [
        {
            "co_names": ["_send_output"],
            "path_fragment": PATH,
            "call_type": "http_request_sent",
            "return_type": "http_request_sent_end",
            "subtype": "http.client",
            "call": note_sent,
            "events": ["call"],
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
