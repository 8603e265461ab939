"""Outbound HTTP through httpx, sync and async.

Recorded at the transport (``handle_request`` and ``handle_async_request``
of the transports in ``httpx/_transports/``): one record pair per request
sent, so each hop of a redirect, or the second request of an
authentication, is a pair of its own. The response's body stream is left
unread.
"""

from __future__ import annotations

from typing import Any, Dict, List, Mapping, Tuple

from sarn.integrations.outside.common import (
    cut_text, first_start_or_last_end, local, masked_headers, response_end, url_without_credentials, watch,
)

PATH = "httpx/_transports/"


def call(frame: Any, event: str, arg: Any, context: Dict[str, Any]) -> bool:
    if frame.f_code.co_name == "handle_async_request":
        return first_start_or_last_end(frame, event, arg, context)
    return True


def _pairs(headers: Any) -> List[Tuple[Any, Any]]:
    try:
        return list(headers.multi_items())
    except Exception:
        return []


def process(frame: Any, event: str, arg: Any, context: Dict[str, Any]) -> Dict[str, Any]:
    if event != "call":
        return response_end(frame, arg, _pairs(getattr(arg, "headers", None)), getattr(arg, "status_code", None))
    request = local(frame, "request")
    return {
        "method": cut_text(getattr(request, "method", "")),
        "url": url_without_credentials(getattr(request, "url", "")),
        "request_headers": masked_headers(_pairs(getattr(request, "headers", None))),
    }


def specs(config: Mapping[str, Any]) -> List[Dict[str, Any]]:
    return [watch("http", ["handle_request", "handle_async_request"], PATH, "httpx", call, process)]
