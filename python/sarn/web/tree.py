"""A thread's records as a call tree, held whole in memory (the trace page
of ``sarn view`` and the Trace Event export build it; ``sarn show`` reads
record by record instead, :mod:`sarn.web.terminal_pass`).

Each call is paired with its return by "frame_id" and placed under the call
that "user_code_call_site" names; the records that say more of a frame
record ("exception", "suspension", "resumption") mark its node.
"""

from __future__ import annotations

import re
from typing import Any, Dict, Iterable, List, Optional

from sarn.web import outside
from sarn.web.tasks import TASK_RECORDS
from sarn.web.values import is_normal_exit

__all__ = ["Node", "build_tree", "call_site", "file_of", "interest_name", "SWITCHES"]


class Node:
    """One call (its call and return records) or one frame of interest.
    ``resumed``: the call resumed a suspended generator or coroutine;
    ``suspended``: the return suspended it; ``exception``: the record that
    says the frame ended by an exception; ``operation``: the operation
    outside the user's code that the frame of interest starts."""

    __slots__ = ("call", "ret", "interest", "children", "shown", "under_match", "resumed", "suspended",
                 "exception", "operation", "caller_path")

    def __init__(self, call: Any = None, ret: Any = None, interest: Any = None, caller_path: Any = None) -> None:
        self.call = call
        self.ret = ret
        self.interest = interest
        self.caller_path = caller_path  # the "path" of the call that made this one
        self.children: List[Node] = []
        self.shown = True
        self.under_match = False
        self.resumed = self.suspended = False
        self.exception: Optional[Dict[str, Any]] = None
        self.operation: Optional[outside.Operation] = None

    @property
    def record(self) -> Dict[str, Any]:
        return self.call or self.ret or self.interest or {}

    @property
    def name(self) -> str:
        if self.interest is not None:
            return interest_name(self.interest)
        # A class body's qualified name is known only once the body has run.
        for record in (self.call, self.ret):
            if record and record.get("qualname"):
                return str(record["qualname"])
        name = self.record.get("co_name")
        return str(name) if name else "?"

    def title(self) -> str:
        """The name as the tree shows it: "class app.Cart" for a class body."""
        if self.interest is None and self.record.get("co_name") != "<module>" and self.is_body():
            return "class " + self.name
        return self.name

    def call_site(self) -> Optional[str]:
        """The user line that made the call, "app.py:40" (None when not known)."""
        return call_site(self.record, self.caller_path)

    def left_at(self) -> Optional[str]:
        """The line its frame left at, "line 25", when the frame raised (None otherwise)."""
        if self.exception is None or self.ret is None or is_normal_exit(self.exception):
            return None
        path = self.ret.get("path")
        line = _LINE_NUMBER.search(path) if isinstance(path, str) else None
        return "line " + line.group(1) if line else None

    def is_body(self) -> bool:
        """True for a module or class body, whose locals are a namespace."""
        if self.record.get("co_name") == "<module>":
            return True
        for record in (self.call, self.ret):
            local_values = record.get("locals") if record else None
            if isinstance(local_values, dict) and "__qualname__" in local_values and "__module__" in local_values:
                return True
        return False

    def duration(self) -> Optional[float]:
        if self.call is None or self.ret is None:
            return None
        start, end = self.call.get("timestamp"), self.ret.get("timestamp")
        if isinstance(start, (int, float)) and isinstance(end, (int, float)):
            return max(0.0, end - start)
        return None


_LINE_NUMBER = re.compile(r":(\d+)$")


def interest_name(record: Dict[str, Any]) -> str:
    """A frame of interest's name: its type, and subtype ("end_test", "checkpoint/db")."""
    subtype = record.get("subtype")
    return str(record.get("type", "?")) + ("/%s" % subtype if subtype else "")


def call_site(record: Dict[str, Any], caller_path: Any) -> Optional[str]:
    """The user line that made a call: the caller's file (from its "path",
    ``caller_path``) and the line its frame was at, as "app.py:40"; None
    when either is unknown."""
    site = record.get("user_code_call_site")
    line = site.get("line_number") if isinstance(site, dict) else None
    if not isinstance(line, int) or isinstance(line, bool) or not isinstance(caller_path, str):
        return None
    return "%s:%d" % (file_of(caller_path), line)


def file_of(path: str) -> str:
    """The file of a frame's "path" ("app.py:12" -> "app.py")."""
    return _LINE_NUMBER.sub("", path)


def build_tree(records: Iterable[Dict[str, Any]], totals: Optional[outside.Totals] = None) -> List[Node]:
    """The call tree of one thread's records: the top-level nodes, in order.
    An operation outside the user's code is one node, at its call record;
    the operations are added to ``totals``."""
    roots: List[Node] = []
    by_id: Dict[Any, Node] = {}
    pairing = outside.Pairing(totals if totals is not None else outside.Totals())
    for record in records:
        if not isinstance(record, dict):
            continue
        kind = record.get("type")
        if kind in TASK_RECORDS:
            continue  # which task ran the records: read by sarn.web.tasks
        if kind in SWITCHES:
            node = by_id.get(record.get("frame_id"))
            if node is not None:
                setattr(node, SWITCHES[kind], True)
            continue
        if kind == "exception":
            # It follows the return record of the frame it ended.
            node = by_id.get(record.get("frame_id"))
            if node is not None and node.ret is not None and node.exception is None:
                node.exception = record
                continue
        site = record.get("user_code_call_site")
        parent = by_id.get(site.get("call_frame_id")) if isinstance(site, dict) else None
        siblings = parent.children if parent is not None else roots
        if kind == "frame":
            frame_id = record.get("frame_id")
            caller_path = parent.record.get("path") if parent is not None else None
            if record.get("event") == "call":
                node = Node(call=record, caller_path=caller_path)
                if frame_id is not None:
                    by_id[frame_id] = node
                siblings.append(node)
                continue
            node = by_id.get(frame_id) if frame_id is not None else None
            if node is not None and node.ret is None and node.call is not None:
                node.ret = record
            else:
                siblings.append(Node(ret=record, caller_path=caller_path))
        else:
            node = Node(interest=record)
            if outside.label(kind) is not None:
                where = (parent.call or {}).get("path") if parent is not None else None
                node.operation, started = pairing.add(record, where)
                if not started:
                    continue
            siblings.append(node)
    pairing.finish()
    return roots


# The records that mark a generator's frame record, and what each sets on its
# call's node or entry.
SWITCHES = {"resumption": "resumed", "suspension": "suspended"}
