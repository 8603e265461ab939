"""What the trace page shows: a trace document turned into a call tree of
numbered nodes, each with short texts for its line, and the full details of
one node on demand.

Values stay text made by :func:`sarn.format_value`: the page never
interprets them, it only shows them. SQL queries, HTTP calls, log records
and template renders are nodes too, under the call that issued them, drawn
by :mod:`sarn.web.outside_view`.
"""

from __future__ import annotations

import json
from typing import Any, Dict, List, Optional, Tuple

from sarn.serialize import TAG
from sarn.web import outside, outside_view
from sarn.web.boundaries import BOUNDARIES, end_facts
from sarn.web.document import decode_document, thread_records
from sarn.web.tasks import TASK_RECORDS, Splitter, split_records
from sarn.web.tree import Node, build_tree
from sarn.web.values import exception_text, format_args, format_duration, format_value, is_normal_exit

__all__ = ["TraceModel", "DETAIL_WIDTH"]

#: Characters shown of one value in the details of a node: all of it.
DETAIL_WIDTH = None
#: Characters of a node's argument list and return value on its line.
LINE_WIDTH = 100

_STANDARD_KEYS = frozenset(["frame_id", "timestamp", "thread", "thread_native_id", "user_code_call_site", "type", "subtype"])


def _number(value: Any) -> Optional[float]:
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        return float(value)
    return None


def _pairs(values: Any, skip: Tuple[str, ...] = ()) -> List[List[str]]:
    """[[name, text], ...] of a serialised locals mapping."""
    if not isinstance(values, dict):
        return [] if values is None else [["", format_value(values, DETAIL_WIDTH)]]
    if TAG in values:
        return [["", format_value(values, DETAIL_WIDTH)]]
    return [[str(key), format_value(value, DETAIL_WIDTH)] for key, value in values.items() if key not in skip]


def _test_pairs(record: Dict[str, Any]) -> List[List[str]]:
    """[[name, text], ...] of a test's boundary record: texts as they are
    (pytest's report is many lines), the duration as a duration."""
    pairs = []
    for key, value in record.items():
        if key in _STANDARD_KEYS:
            continue
        if key == "duration" and _number(value) is not None:
            text = format_duration(_number(value))
        else:
            text = value if isinstance(value, str) else format_value(value, DETAIL_WIDTH)
        pairs.append([str(key), text])
    return pairs


def _kind(node: Node) -> str:
    if node.interest is not None:
        kind = str(node.interest.get("type", "interest"))
        return kind if kind in BOUNDARIES else "interest"
    return "body" if node.is_body() else "call"


def _interest_text(record: Dict[str, Any]) -> str:
    if record.get("type") in BOUNDARIES:
        parts = [str(record.get("test_name", ""))]
        if record.get("outcome"):
            parts.append(str(record["outcome"]))
        duration = _number(record.get("duration"))
        if duration is not None:
            parts.append(format_duration(duration))
        return "  ".join(part for part in parts if part)
    data = ["%s=%s" % (key, format_value(value, 40)) for key, value in record.items() if key not in _STANDARD_KEYS]
    return " ".join(data)


class TraceModel:
    """The nodes of one trace, numbered in the order the page shows them."""

    def __init__(self, document: Any, info: Any = None) -> None:
        self.document = decode_document(document)
        self.info = info
        self.start = _number(self.document.get("timestamp")) or 0.0
        self.nodes: List[Node] = []
        self._index: Dict[int, int] = {}  # id(node) -> its number
        self._page_json: Optional[bytes] = None
        self._issuers: Optional[Dict[int, int]] = None  # operation's number -> its caller's
        self.totals = outside.Totals()
        self.threads: List[Dict[str, Any]] = []
        self.test: Dict[str, Any] = {}  # what the test's end record says, in a test trace
        # The asyncio tasks' records are lanes of their own beside their
        # thread's when the trace has more than one task.
        splitter = Splitter()
        lanes = []
        for name, native_id, records in thread_records(self.document):
            for record in records:
                if record.get("type") == "end_test":
                    self.test = end_facts(record)
            lanes.append((name, native_id, records, split_records(records, native_id, splitter)))
        split = len(splitter.shown()) > 1
        for name, native_id, records, (own, by_task, _) in lanes:
            if not split:
                self._add_lane({"name": name, "native_id": native_id}, [record for record in records
                                                                       if record.get("type") not in TASK_RECORDS])
                continue
            self._add_lane({"name": name, "native_id": native_id}, own)
            for task in splitter.shown(native_id):
                facts = dict(task.facts(), title=task.title(), thread=name)
                self._add_lane({"name": task.name, "native_id": native_id, "task": facts}, by_task[task.key])

    def _add_lane(self, lane: Dict[str, Any], records: List[Dict[str, Any]]) -> None:
        roots = build_tree(records, self.totals)
        calls = sum(1 for record in records if record.get("type") == "frame" and record.get("event") == "call")
        calls -= sum(1 for record in records if record.get("type") == "resumption")  # not calls of their own
        self.threads.append(dict(lane, calls=calls, roots=self._number_all(roots)))

    def _number_all(self, roots: List[Node]) -> List[int]:
        first = len(self.nodes)
        stack = list(reversed(roots))
        while stack:
            node = stack.pop()
            self.nodes.append(node)
            stack.extend(reversed(node.children))
        for number in range(first, len(self.nodes)):
            self._index[id(self.nodes[number])] = number
        return [self._index[id(node)] for node in roots]

    def _offset(self, record: Optional[Dict[str, Any]]) -> Optional[float]:
        value = _number(record.get("timestamp")) if record else None
        return None if value is None else value - self.start

    def _line(self, node: Node) -> Dict[str, Any]:
        if node.operation is not None:
            return outside_view.line(node.operation, self.totals, self._offset)
        kind = _kind(node)
        record = node.record
        line: Dict[str, Any] = {"k": kind, "n": node.name, "p": str(record.get("path") or "")}
        site = node.call_site()
        if site:
            line["w"] = site  # the line that made the call
        if node.interest is not None:
            line["a"] = _interest_text(record)
            line["s"] = self._offset(record)
        else:
            if node.call is not None and kind != "body":
                line["a"] = format_args(node.call)
            if node.exception is not None and is_normal_exit(node.exception):
                line["q"] = exception_text(node.exception)  # the program's normal end
            elif node.exception is not None:
                line["t"] = exception_text(node.exception)  # what ended it, in place of a value
            elif node.ret is not None and kind != "body":
                line["r"] = format_value(node.ret.get("arg"), LINE_WIDTH)
            # A generator's or coroutine's frame: "u" resumed by this call,
            # "y" suspended by this return (its value was yielded).
            if node.resumed:
                line["u"] = True
            if node.suspended:
                line["y"] = True
            line["s"] = self._offset(node.call)
            line["e"] = self._offset(node.ret)
            if node.call is None:
                line["x"] = "entered before recording"
            elif node.ret is None:
                line["x"] = "no return recorded"
        if node.children:
            line["c"] = [self._index[id(child)] for child in node.children]
        return line

    def page(self) -> Dict[str, Any]:
        """Everything the trace page draws."""
        document = self.document
        meta = document.get("meta") if isinstance(document.get("meta"), dict) else {}
        argv = document.get("command_line_args")
        info = self.info
        return {
            "id": document.get("trace_id") or (info.id if info else None),
            "source": meta.get("source"),
            "started": self.start,
            "command": " ".join(str(arg) for arg in argv) if isinstance(argv, list) else None,
            "commit": document.get("current_commit_sha"),
            "what": info.label if info else None,
            "facts": dict(self.test, **(info.meta if info and info.meta else {})),
            "threads": self.threads,
            "nodes": [self._line(node) for node in self.nodes],
            "outside": outside_view.panel(self._operations(), self.totals),
        }

    def _operations(self) -> List[Tuple[int, outside.Operation]]:
        return [(number, node.operation) for number, node in enumerate(self.nodes) if node.operation is not None]

    def _issuer(self, number: int) -> Optional[int]:
        """The number of the call that issued operation ``number`` (None at the top level)."""
        if self._issuers is None:
            self._issuers = {}
            for parent, node in enumerate(self.nodes):
                for child in node.children:
                    if child.operation is not None:
                        self._issuers[self._index[id(child)]] = parent
        return self._issuers.get(number)

    def page_json(self) -> bytes:
        """:meth:`page` as JSON, made once."""
        if self._page_json is None:
            self._page_json = json.dumps(self.page(), ensure_ascii=False).encode("utf-8")
        return self._page_json

    def details(self, number: int) -> Dict[str, Any]:
        """The full arguments, locals and return value of node ``number``
        (IndexError when there is none)."""
        if number < 0:
            raise IndexError(number)
        node = self.nodes[number]
        if node.operation is not None:
            return self._operation_details(number, node.operation)
        record = node.record
        details: Dict[str, Any] = {
            "name": node.title(),
            "path": record.get("path"),
            "site": node.call_site(),
            "thread": record.get("thread"),
            "native_id": record.get("thread_native_id"),
            "frame_id": record.get("frame_id"),
            "start": self._offset(node.call or node.interest or node.ret),
            "duration": node.duration(),
        }
        if node.interest is not None and record.get("type") in BOUNDARIES:
            details["data"] = _test_pairs(record)
            return details
        if node.interest is not None:
            details["data"] = _pairs({key: value for key, value in record.items() if key not in _STANDARD_KEYS})
            return details
        if node.call is not None:
            details["arguments"] = _pairs(node.call.get("locals"), skip=("__class__", "__builtins__"))
        if node.ret is not None:
            details["locals"] = _pairs(node.ret.get("locals"), skip=("__class__", "__builtins__"))
            if node.exception is not None and is_normal_exit(node.exception):
                details["exited"] = exception_text(node.exception, DETAIL_WIDTH)
                how = "exited at"
            elif node.exception is not None:
                details["raised"] = exception_text(node.exception, DETAIL_WIDTH)
                how = "raised at"
            else:
                details["return"] = format_value(node.ret.get("arg"), DETAIL_WIDTH)
                how = "yielded at" if node.suspended else "returned at"
            details["left"] = [how, node.ret.get("path")]  # the line its frame left at
        return details

    def _operation_details(self, number: int, operation: outside.Operation) -> Dict[str, Any]:
        """The details of the call that issued the operation ("issuer", its
        number), with the operation's own in "operation"."""
        issuer = self._issuer(number)
        if issuer is not None:
            details = self.details(issuer)
        else:
            record = operation.call or operation.end or {}
            details = {"name": outside.label(operation.kind), "thread": record.get("thread"),
                       "native_id": record.get("thread_native_id"), "frame_id": record.get("frame_id"),
                       "start": self._offset(record), "duration": operation.duration()}
        details["issuer"] = issuer
        details["operation"] = outside_view.details(operation, self.totals)
        return details
