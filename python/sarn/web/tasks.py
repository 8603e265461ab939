"""The asyncio tasks of a trace: which task each record of a thread belongs
to, read from the "task_created", "task_enter" and "task_leave" records
(:mod:`sarn.integrations.outside.asyncio_tasks`).

Everything a thread records between a task's enter and leave records is
that task's: its coroutines' resumptions and the calls they make. The rest
is the thread's own (the code around the event loop). A task's life is its
steps: the time inside them is the time it ran, the rest of its life (from
its creation to its last step) the time it waited at its awaits.
"""

from __future__ import annotations

import re
from typing import Any, Dict, Iterable, List, Optional, Tuple

__all__ = ["TASK_RECORDS", "Task", "Splitter", "split_records", "count_tasks", "more_than_one_task", "TaskLook"]

TASK_RECORDS = frozenset(("task_created", "task_enter", "task_leave"))
_LINE_NUMBER = re.compile(r":\d+$")


def _number(value: Any) -> Optional[float]:
    return float(value) if isinstance(value, (int, float)) and not isinstance(value, bool) else None


def _millis(seconds: float) -> str:
    return "%.1f ms" % (seconds * 1000.0) if seconds < 10.0 else "%.2f s" % seconds


class Task:
    """One task as its records tell it."""

    __slots__ = ("key", "name", "thread", "coro", "site", "created", "first", "last", "ran", "steps", "state",
                 "error", "struck", "records", "running", "_entered", "_raised")

    def __init__(self, key: str, name: str, thread: Any) -> None:
        self.key = key
        self.name = name
        self.thread = thread  # the key of the thread that ran it
        self.coro: Optional[str] = None
        self.site: Optional[str] = None  # the user line that created it, "app.py:12"
        self.created: Optional[float] = None
        self.first: Optional[float] = None  # its first step's start
        self.last: Optional[float] = None  # its last step's end (or start, when the recording stopped in it)
        self.ran = 0.0
        self.steps = 0
        self.state = "pending"
        self.error: Optional[str] = None
        self.struck: Optional[str] = None  # where the exception that ended it was raised, "app.py:30"
        self.records = 0  # frame records of its own
        self.running = False  # in a step that the records do not end: the recording stopped in it
        self._entered: Optional[float] = None
        self._raised: Optional[str] = None

    @property
    def waited(self) -> Optional[float]:
        """Its life less the time it ran: the time it spent at its awaits."""
        start = self.created if self.created is not None else self.first
        if start is None or self.last is None:
            return None
        return max(0.0, self.last - start - self.ran)

    def title(self) -> str:
        """"task Task-3 (worker), created at app.py:12: 3 steps, ran 0.4 ms, waited 20.1 ms; done"."""
        text = "task " + self.name
        if self.coro and self.coro != self.name:
            text += " (%s)" % self.coro
        if self.site:
            text += ", created at " + self.site
        facts = ["%d step%s" % (self.steps, "" if self.steps == 1 else "s"), "ran " + _millis(self.ran)]
        waited = self.waited
        if waited is not None:
            facts.append("waited " + _millis(waited))
        outcome = "running when the recording stopped" if self.running else self.state
        if self.state in ("cancelled", "failed") and self.struck:
            outcome += " at " + self.struck
        if self.error:
            outcome += ": " + self.error
        return "%s: %s; %s" % (text, ", ".join(facts), outcome)

    def facts(self) -> Dict[str, Any]:
        """What the trace page and the export say of the task."""
        facts: Dict[str, Any] = {"task": self.name, "steps": self.steps, "ran": self.ran,
                                 "state": "running" if self.running else self.state}
        for key in ("coro", "site", "error", "struck", "waited"):
            value = getattr(self, key)
            if value is not None:
                facts[key] = value
        return facts


class Splitter:
    """Follows records in their recorded order, thread by thread, and says
    which task each belongs to. The task records themselves are consumed."""

    def __init__(self) -> None:
        self.tasks: Dict[str, Task] = {}
        self.order: List[Task] = []
        self._current: Dict[Any, Optional[Task]] = {}
        self._paths: Dict[Any, Dict[Any, str]] = {}  # per thread: open call's frame id -> its path
        self._returned: Dict[Any, Optional[str]] = {}  # per thread: the path of the last return

    def _task(self, record: Dict[str, Any], thread: Any) -> Task:
        key = str(record.get("task"))
        task = self.tasks.get(key)
        if task is None:
            name = record.get("name")
            task = self.tasks[key] = Task(key, name if isinstance(name, str) else key, thread)
            self.order.append(task)
        return task

    def place(self, record: Dict[str, Any], thread: Any) -> Tuple[bool, Optional[Task]]:
        """(whether the record is one of the thread's records to show, the
        task it belongs to: None for the thread's own)."""
        kind = record.get("type")
        current = self._current.get(thread)
        if kind == "frame":
            paths = self._paths.setdefault(thread, {})
            frame_id, path = record.get("frame_id"), record.get("path")
            if record.get("event") == "call":
                if frame_id is not None and isinstance(path, str):
                    paths[frame_id] = path
            else:
                paths.pop(frame_id, None)
                self._returned[thread] = path if isinstance(path, str) else None
            if current is not None:
                current.records += 1
            return True, current
        if kind == "exception":
            if current is not None and current._raised is None:
                current._raised = self._returned.get(thread)
            return True, current
        if kind not in TASK_RECORDS:
            return True, current
        site = record.get("user_code_call_site")
        path = self._paths.get(thread, {}).get(site.get("call_frame_id")) if isinstance(site, dict) else None
        self.take(record, thread, path)
        return False, None

    def take(self, record: Dict[str, Any], thread: Any, site_path: Optional[str] = None) -> Task:
        """Takes a task record ("task_created", "task_enter" or
        "task_leave") of ``thread``: ``site_path`` is the path of the call
        that made it, when open. The task it names."""
        kind = record.get("type")
        task = self._task(record, thread)
        name = record.get("name")
        if isinstance(name, str):
            task.name = name  # named after its creation by asyncio.create_task before 3.11, or renamed
        stamp = _number(record.get("timestamp"))
        if kind == "task_created":
            task.created = stamp
            coro = record.get("coro")
            task.coro = coro if isinstance(coro, str) else None
            task.site = self._site(record, site_path)
        elif kind == "task_enter":
            self._current[thread] = task
            task.thread = thread
            task.steps += 1
            task.running = True
            task._entered, task._raised = stamp, None
            if task.first is None:
                task.first = stamp
            if stamp is not None:
                task.last = stamp  # it waited until now
        else:
            self._current[thread] = None
            task.running = False
            if stamp is not None:
                if task._entered is not None:
                    task.ran += max(0.0, stamp - task._entered)
                task.last = stamp
            state = record.get("state")
            task.state = state if isinstance(state, str) else "pending"
            error = record.get("error")
            task.error = error if isinstance(error, str) else None
            if task.state in ("cancelled", "failed"):
                task.struck = task._raised
        return task

    @staticmethod
    def _site(record: Dict[str, Any], path: Optional[str]) -> Optional[str]:
        site = record.get("user_code_call_site")
        if not isinstance(site, dict):
            return None
        line = site.get("line_number")
        if not isinstance(line, int) or path is None:
            return None
        return "%s:%d" % (_LINE_NUMBER.sub("", path), line)

    def shown(self, thread: Any = None) -> List[Task]:
        """The tasks that ran recorded code (of ``thread``, when given), in the order they first appeared."""
        return [task for task in self.order if task.records and (thread is None or task.thread == thread)]


def split_records(records: Iterable[Dict[str, Any]], thread: Any = None,
                  splitter: Optional[Splitter] = None) -> Tuple[List[Dict[str, Any]], Dict[str, List[Dict[str, Any]]],
                                                                Splitter]:
    """One thread's records as (its own records, {task key: the task's
    records}, the splitter that holds the tasks), task records left out."""
    splitter = splitter if splitter is not None else Splitter()
    own: List[Dict[str, Any]] = []
    by_task: Dict[str, List[Dict[str, Any]]] = {}
    for record in records:
        keep, task = splitter.place(record, thread)
        if not keep:
            continue
        if task is None:
            own.append(record)
        else:
            by_task.setdefault(task.key, []).append(record)
    return own, by_task, splitter


# --------------------------------------------------------------------------
# Counting without decoding: whether ``sarn show`` splits by default.

# The "task" entry of a task record as the serialiser writes it: the key as a
# fixstr, then the value ("t" and digits) as a fixstr whose length is read
# from its header.
_TASK_KEY = b"\xa4task"
_CHUNK = 1 << 20
_LONGEST_ENTRY = 5 + 1 + 31


def _find_task_keys(block: bytes) -> Iterable[bytes]:
    # bytes.find runs at memory speed where most blocks hold no task at all.
    at = block.find(_TASK_KEY)
    while at >= 0:
        head = at + len(_TASK_KEY)
        if head < len(block) and 0xa2 <= block[head] <= 0xbf:
            start = head + 1
            end = start + block[head] - 0xa0
            value = block[start:end]
            if end <= len(block) and value[:1] == b"t" and value[1:].isdigit():
                yield value
        at = block.find(_TASK_KEY, at + 1)


try:
    from sarn._serialize import task_keys as _task_keys  # the same scan, natively
except ImportError:  # a build without the extension
    _task_keys = _find_task_keys


def count_tasks(data: Any, enough: int = 2) -> int:
    """How many tasks a stored trace document (bytes, or a binary file read
    to its end) names, counting up to ``enough``: a scan of the bytes, not
    a decoding."""
    seen = set()
    if isinstance(data, (bytes, bytearray, memoryview)):
        for key in _task_keys(bytes(data)):
            seen.add(key)
            if len(seen) >= enough:
                break
        return len(seen)
    tail = b""
    while len(seen) < enough:
        chunk = data.read(_CHUNK)
        if not chunk:
            break
        block = tail + chunk
        seen.update(_task_keys(block))
        # An entry cut by the end of this read is found whole in the next block.
        tail = block[-_LONGEST_ENTRY:]
    return min(len(seen), enough)


def more_than_one_task(data: Any) -> bool:
    return count_tasks(data) > 1


class TaskLook:
    """:func:`count_tasks` over bytes given chunk by chunk as a reader reads
    them (``look(chunk)``), so that a document read for another purpose is
    not read again to count its tasks. Each chunk is scanned alone and its
    junction with the chunk before (an entry cut by the end of a read) on
    its own, without copying the chunk."""

    def __init__(self, enough: int = 2) -> None:
        self.seen: set = set()
        self.enough = enough
        self._tail = b""

    def __call__(self, chunk: bytes) -> None:
        if len(self.seen) >= self.enough:
            return
        self.seen.update(_task_keys(chunk))
        if self._tail:
            self.seen.update(_task_keys(self._tail + chunk[:_LONGEST_ENTRY]))
        self._tail = (self._tail + chunk[-_LONGEST_ENTRY:])[-_LONGEST_ENTRY:]

    @property
    def many(self) -> bool:
        return len(self.seen) > 1
