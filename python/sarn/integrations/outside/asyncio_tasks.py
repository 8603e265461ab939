"""asyncio tasks: which task ran each stretch of a thread's records.

One event loop interleaves many tasks on one thread, and the recorder sees
only coroutine frames resumed and suspended. Three records, written by
plugins on two functions of asyncio's own Python code, tell them apart:

- "task_created" at the return of ``BaseEventLoop.create_task``, the one
  place ``asyncio.create_task``, ``ensure_future``, ``gather``,
  ``wait_for`` and ``TaskGroup.create_task`` all pass through: "task" (a
  key unique in the recording), "name", "coro" (the coroutine's qualified
  name) and "subtype" (the name again, so that the creator's tree shows
  "task_created/Task-3"). Its "user_code_call_site" is the user line that
  created the task.
- "task_enter" and "task_leave" around each step of a task: the event
  loop runs every callback through ``Handle._run``, and a task's step and
  wake-up are such callbacks (the C task's too). Everything recorded on
  the thread between the two belongs to that task. The leave record says
  the task's "state" once the step is over: "pending" (it awaits),
  "done", "cancelled" or "failed" (with "error").

The plugins read the task's name and state and change nothing: they never
call a method that marks an exception retrieved. A program that does not
use asyncio never reaches these functions, so it pays nothing but the
plugin table's look-up by name.
"""

from __future__ import annotations

import itertools
import os
import sys
import weakref
from typing import Any, Dict, List, Mapping, Optional

from sarn.integrations.outside.common import cut_text, exception_text, local

CREATE_PATH = "asyncio/base_events.py"
RUN_PATH = "asyncio/events.py"
LOOP_FILE = os.path.join("asyncio", "base_events.py")
#: A task's step and wake-up, as ``Handle._run`` holds them: the C task's
#: wrappers by type, bound methods by name (the C wake-up from 3.12 on,
#: the pure Python task's own methods).
STEP_TYPES = frozenset(("TaskStepMethWrapper", "TaskWakeupMethWrapper"))
STEP_NAMES = frozenset(("task_wakeup", "__step", "__wakeup"))
#: The states of a future as its ``_state`` gives them, and their names here.
STATES = {"PENDING": "pending", "CANCELLED": "cancelled", "FINISHED": "done"}


#: The key of each task seen, held weakly so that a finished task is freed
#: as usual; shared by both plugins and by successive recordings, so that a
#: key names one task for the life of the process.
_KEYS: "weakref.WeakKeyDictionary[Any, str]" = weakref.WeakKeyDictionary()
_SERIAL = itertools.count(1)


def build_context(config: Mapping[str, Any]) -> Dict[str, Any]:
    """A plugin's context: the tasks whose step runs now, by frame."""
    return {"running": {}}


def _is_task(value: Any) -> bool:
    asyncio = sys.modules.get("asyncio")
    if asyncio is None:
        return False
    kinds = (asyncio.Task,) + ((asyncio.tasks._PyTask,) if hasattr(asyncio.tasks, "_PyTask") else ())
    return isinstance(value, kinds)


def task_key(task: Any) -> str:
    """The key of ``task`` ("t1", "t2", ...), given at its creation or, for a
    task made before the recording started, when it is first seen; "" for
    the loop's own housekeeping tasks, which are not recorded."""
    try:
        key = _KEYS.get(task)
        if key is None:
            key = _KEYS[task] = "" if _housekeeping(task) else "t%d" % next(_SERIAL)
        return key
    except Exception:  # a task type that takes no weak reference, or hashes oddly
        return "t%d" % id(task)


def _housekeeping(task: Any) -> bool:
    """A task running one of the event loop's own coroutines (the shutdown
    of async generators and of the default executor at the end of
    ``asyncio.run``): no code of the program's runs in it."""
    try:
        filename = task.get_coro().cr_code.co_filename
    except Exception:
        return False
    return isinstance(filename, str) and filename.endswith(LOOP_FILE)


def task_name(task: Any) -> str:
    try:
        name = task.get_name()
    except Exception:
        return "Task"
    return cut_text(name) if isinstance(name, str) else "Task"


def _coro_name(task: Any) -> Optional[str]:
    try:
        coro = task.get_coro()
        name = getattr(coro, "__qualname__", None)
    except Exception:
        return None
    return cut_text(name) if isinstance(name, str) else None


# --------------------------------------------------------------------------
# Creation


def created_call(frame: Any, event: str, arg: Any, context: Dict[str, Any]) -> bool:
    return event == "return" and _is_task(arg) and task_key(arg) != ""


def created_process(frame: Any, event: str, arg: Any, context: Dict[str, Any]) -> Dict[str, Any]:
    name = task_name(arg)
    data = {"task": task_key(arg), "name": name, "subtype": name}
    coro = _coro_name(arg)
    if coro is not None:
        data["coro"] = coro
    return data


# --------------------------------------------------------------------------
# Steps


def _stepped_task(frame: Any) -> Any:
    """The task whose step or wake-up the ``Handle._run`` frame runs, or None."""
    handle = local(frame, "self")
    callback = getattr(handle, "_callback", None)
    if callback is None:
        return None
    if type(callback).__name__ not in STEP_TYPES and getattr(callback, "__name__", None) not in STEP_NAMES:
        return None
    try:
        task = callback.__self__
    except Exception:
        return None
    return task if _is_task(task) else None


def step_call(frame: Any, event: str, arg: Any, context: Dict[str, Any]) -> bool:
    # The leave record names the task the enter record named, kept by frame:
    # the handle's callback may be dropped while it runs (a cancelled handle).
    running = context["running"]
    if event == "call":
        task = _stepped_task(frame)
        if task is None or task_key(task) == "":
            return False
        running[id(frame)] = task
    else:
        task = running.pop(id(frame), None)
        if task is None:
            return False
    context["current"] = task
    return True


def step_process(frame: Any, event: str, arg: Any, context: Dict[str, Any]) -> Dict[str, Any]:
    task = context.pop("current", None)
    data: Dict[str, Any] = {"task": task_key(task), "name": task_name(task)}
    if event == "call":
        return data
    data["type"] = "task_leave"
    state = STATES.get(getattr(task, "_state", None), "pending")
    # ``_exception`` reads the outcome without marking it retrieved, as
    # ``exception()`` would: the loop still reports one nobody awaited.
    error = getattr(task, "_exception", None) if state == "done" else None
    if error is not None:
        state = "failed"
        data["error"] = exception_text(error)
    data["state"] = state
    return data


def specs(config: Mapping[str, Any]) -> List[Dict[str, Any]]:
    return [
        {"co_names": ["create_task"], "path_fragment": CREATE_PATH, "call_type": "task_created",
         "return_type": "task_created", "call": created_call, "process": created_process, "events": ["return"]},
        {"co_names": ["_run"], "path_fragment": RUN_PATH, "call_type": "task_enter", "return_type": "task_leave",
         "call": step_call, "process": step_process, "build_context": build_context},
    ]
