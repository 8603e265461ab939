"""Recording the Python child processes of a recorded program.

A recording started with ``children`` on (``sarn run`` does so) hands what a
child needs to record itself to every process it starts, in the environment
variable ``SARN_CHILD_RECORDING``: the database, the configuration, the
parent's trace id and the call that started the child. Each child saves
traces of its own into the same database, with ``parent`` and
``started_by`` in their meta:

- a child made by ``os.fork()`` records on from the fork (see
  :mod:`sarn.profiler`), and saves its trace when it ends, ``os._exit``
  included;
- a child that runs the same interpreter (``subprocess``, ``os.system``...)
  reads the variable at start-up, through the ``.pth`` file installed with
  the package, and records from there to its exit;
- a ``multiprocessing`` process records what its ``run()`` does; a worker of
  a ``multiprocessing.Pool`` or of a ``ProcessPoolExecutor`` lives long, so
  its trace is cut per task: one trace per task, labelled with the
  function it ran.

A child saves only what it recorded itself and never waits on its parent or
its siblings; one killed before it saved loses its unsaved work only. A
child trace with no call of the program's own code (the helper processes of
multiprocessing) is not kept.
"""

from __future__ import annotations

import atexit
import json
import logging
import os
import sys
from typing import Any, Dict, Optional

__all__ = ["ENVIRONMENT_VARIABLE", "bootstrap", "enable", "disable", "starting_call", "link_meta"]

ENVIRONMENT_VARIABLE = "SARN_CHILD_RECORDING"

logger = logging.getLogger("sarn")

_PACKAGE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def _library_dirs() -> tuple:
    import sysconfig

    dirs = {_PACKAGE_DIR}
    for key in ("stdlib", "platstdlib", "purelib", "platlib"):
        try:
            dirs.add(os.path.abspath(sysconfig.get_paths()[key]))
        except (KeyError, OSError):
            pass
    return tuple(path + os.sep for path in dirs)


_libraries: Optional[tuple] = None


def starting_call(frame: Any = None) -> Optional[Dict[str, Any]]:
    """The innermost call of the program's own code on the calling thread's
    stack (not sarn's, not the standard library's or an installed
    package's): {"function", "path", "line"}, or None."""
    global _libraries
    if _libraries is None:
        _libraries = _library_dirs()
    frame = frame if frame is not None else sys._getframe(1)
    while frame is not None:
        code = frame.f_code
        filename = code.co_filename
        if not filename.startswith("<") and not os.path.abspath(filename).startswith(_libraries):
            return {"function": getattr(code, "co_qualname", code.co_name), "path": filename,
                    "line": frame.f_lineno}
        frame = frame.f_back
    return None


def link_meta(parent: Optional[str], started_by: Optional[Dict[str, Any]], **extra: Any) -> Dict[str, Any]:
    """The meta that links a child's trace to its parent's."""
    meta: Dict[str, Any] = {"kind": "child", "parent": parent, "pid": os.getpid()}
    if started_by:
        meta["started_by"] = started_by
    meta.update(extra)
    return meta


# --------------------------------------------------------------------------
# The parent's side


class _Settings:
    """What a child reads to record itself (and hands on to its own children)."""

    def __init__(self, config: Dict[str, Any], parent: Optional[str], started_by: Optional[Dict[str, Any]] = None):
        self.config = config
        self.parent = parent
        self.started_by = started_by

    def encoded(self, started_by: Optional[Dict[str, Any]] = None) -> str:
        return json.dumps({"config": self.config, "parent": self.parent, "started_by": started_by},
                          default=str)

    @classmethod
    def decoded(cls, text: str) -> "Optional[_Settings]":
        try:
            value = json.loads(text)
            return cls(dict(value["config"]), value.get("parent"), value.get("started_by"))
        except (ValueError, TypeError, KeyError):
            return None


_settings: Optional[_Settings] = None
_saved_environment: Any = None
_patched = False


def enable(profiler: Any) -> None:
    """Makes the processes started from now on record themselves as children
    of ``profiler``'s trace."""
    global _settings, _saved_environment
    if _settings is None:
        _saved_environment = os.environ.get(ENVIRONMENT_VARIABLE)
    _settings = _Settings(dict(profiler.config), profiler.trace_id)
    os.environ[ENVIRONMENT_VARIABLE] = _settings.encoded()
    _patch_starts()


def disable() -> None:
    """Processes started from now on are not recorded (the environment is
    as it was before :func:`enable`)."""
    global _settings, _saved_environment
    if _settings is None:
        return
    _settings = None
    if _saved_environment is None:
        os.environ.pop(ENVIRONMENT_VARIABLE, None)
    else:
        os.environ[ENVIRONMENT_VARIABLE] = _saved_environment
    _saved_environment = None


class _told:
    """The environment variable set to ``text`` while a child is started."""

    def __init__(self, text: str) -> None:
        self.text = text

    def __enter__(self) -> None:
        self.before = os.environ.get(ENVIRONMENT_VARIABLE)
        os.environ[ENVIRONMENT_VARIABLE] = self.text

    def __exit__(self, *exc_info: Any) -> None:
        if self.before is None:
            os.environ.pop(ENVIRONMENT_VARIABLE, None)
        else:
            os.environ[ENVIRONMENT_VARIABLE] = self.before


def _patch_starts() -> None:
    """Wraps what starts processes so that each child learns which call
    started it. The wrappers do nothing more once recording has stopped."""
    global _patched
    if _patched:
        return
    _patched = True
    import subprocess
    from multiprocessing import process

    execute_child = subprocess.Popen._execute_child  # type: ignore[attr-defined]

    def _execute_child(self: Any, *args: Any, **kwargs: Any) -> Any:
        settings = _settings
        text = None
        if settings is not None and len(args) > 6:
            try:
                text = settings.encoded(starting_call())
                env = args[6]
                if env is not None and ENVIRONMENT_VARIABLE in env:
                    env = dict(env)
                    env[ENVIRONMENT_VARIABLE] = text
                    args = args[:6] + (env,) + args[7:]
            except Exception as error:  # the child is started all the same
                logger.debug("sarn: cannot tell a child where it was started: %s", error)
        if text is None or args[6] is not None:
            return execute_child(self, *args, **kwargs)
        with _told(text):
            return execute_child(self, *args, **kwargs)

    start = process.BaseProcess.start

    def _start(self: Any) -> None:
        settings = _settings
        if settings is None:
            return start(self)
        text = None
        try:
            # Goes with the process object: kept by a forked child, pickled
            # to a spawned one and to the fork server.
            self._sarn_link = (settings.parent, starting_call(), settings.config)
            text = settings.encoded(self._sarn_link[1])
        except Exception as error:
            logger.debug("sarn: cannot tell a child where it was started: %s", error)
        if text is None:
            return start(self)
        with _told(text):
            return start(self)

    subprocess.Popen._execute_child = _execute_child  # type: ignore[attr-defined]
    process.BaseProcess.start = _start  # type: ignore[assignment]


# --------------------------------------------------------------------------
# The child's side


class _ChildRecording:
    """One trace of a child: started, then stopped and saved once."""

    def __init__(self, config: Dict[str, Any], meta: Dict[str, Any], label: Optional[str]) -> None:
        from sarn.profiler import Profiler

        self.profiler = Profiler(config, source="child", label=label, children=True)
        self.profiler.yields_to_others = True
        self.meta = meta
        self.done = False

    def start(self) -> "_ChildRecording":
        self.profiler.start()
        return self

    def finish(self) -> None:
        """Stops recording and saves the trace, unless it holds no call of
        the program's own code. Never raises."""
        if self.done:
            return
        self.done = True
        profiler = self.profiler
        try:
            if profiler.running:
                profiler.stop(save=False)
            save_child_trace(profiler, self.meta)
        except Exception as error:
            logger.warning("sarn: could not save the trace of a child process: %s: %s", type(error).__name__, error)


def save_child_trace(profiler: Any, meta: Dict[str, Any]) -> bool:
    """Saves what ``profiler`` recorded with ``meta``; False when it held no
    call of the program's own code and was dropped."""
    from sarn import db
    from sarn.integrations.recorder import _holds_frames

    document = profiler.take_trace_document()
    if not _holds_frames(document):
        document.close()
        return False
    db.save_trace_in_sqlite(profiler.db_path, profiler.trace_id, timeout=profiler.config.get("sqlite_busy_timeout", 60),
                            msgpack=document, label=profiler.label, meta=meta)
    return True


_current: Optional[_ChildRecording] = None
_child_hooks = False


def _finish_current() -> None:
    global _current
    recording, _current = _current, None
    if recording is not None:
        recording.finish()


def yield_current() -> None:
    """Saves and ends this child's own recording, so that the program can
    start one of its own."""
    _finish_current()


def _install_child_hooks() -> None:
    """In a child: saves its trace at exit and before ``os._exit``, and
    records what multiprocessing runs in it."""
    global _child_hooks
    if _child_hooks:
        return
    _child_hooks = True
    atexit.register(_finish_current)
    real_exit = os._exit

    def _exit(code: int) -> None:
        try:
            _finish_current()
            _finish_forked()
        finally:
            real_exit(code)

    _exit.__doc__ = real_exit.__doc__
    os._exit = _exit  # type: ignore[assignment]
    _patch_bootstrap()


def _patch_bootstrap() -> None:
    from multiprocessing import process

    bootstrap = process.BaseProcess._bootstrap  # type: ignore[attr-defined]
    if getattr(bootstrap, "_sarn", False):
        return

    def _bootstrap(self: Any, *args: Any, **kwargs: Any) -> Any:
        link = getattr(self, "_sarn_link", None)
        if link is None:
            return bootstrap(self, *args, **kwargs)
        _drop_forked()  # the fork's copy of the parent's recording: multiprocessing's own work
        _finish_current()
        parent, started_by, config = link
        if _task_queues(self, parent, started_by, config):
            return bootstrap(self, *args, **kwargs)
        global _current
        target = getattr(self, "_target", None)
        name = _name_of(target) if target is not None else type(self).__qualname__ + ".run"
        meta = link_meta(parent, started_by, process=self.name, function=name)
        try:
            _current = _ChildRecording(config, meta, "%s: %s" % (self.name, name)).start()
        except Exception as error:
            logger.warning("sarn: cannot record a child process: %s: %s", type(error).__name__, error)
        try:
            return bootstrap(self, *args, **kwargs)
        finally:
            _finish_current()

    _bootstrap._sarn = True  # type: ignore[attr-defined]
    process.BaseProcess._bootstrap = _bootstrap  # type: ignore[attr-defined]


def _name_of(function: Any) -> str:
    module = getattr(function, "__module__", None)
    name = getattr(function, "__qualname__", None) or getattr(function, "__name__", None) or repr(function)
    return "%s.%s" % (module, name) if module and module not in ("__main__", "__mp_main__") else str(name)


def _task_function(task: Any) -> Optional[str]:
    """The user's function a pool task runs, named; None for no task."""
    if isinstance(task, tuple) and len(task) == 5:  # multiprocessing.pool: (job, i, func, args, kwds)
        function, args = task[2], task[3]
        if getattr(function, "__module__", None) == "multiprocessing.pool" and args and isinstance(args[0], tuple):
            function = args[0][0]  # mapstar / starmapstar: (function, chunk)
        return _name_of(function)
    function = getattr(task, "fn", None)  # concurrent.futures.process._CallItem
    if function is None:
        return None
    import functools

    if isinstance(function, functools.partial) and function.args and \
            getattr(function.func, "__name__", "") == "_process_chunk":
        function = function.args[0]  # executor.map
    return _name_of(function)


class _TaskCutter:
    """Records a pool worker task by task: a recording starts when the
    worker takes a task and is saved when it puts the result back."""

    def __init__(self, parent: Optional[str], started_by: Any, config: Dict[str, Any], process_name: str) -> None:
        self.parent = parent
        self.started_by = started_by
        self.config = config
        self.process_name = process_name
        self.count = 0

    def begin(self, task: Any) -> None:
        global _current
        _finish_current()
        name = _task_function(task)
        if name is None:
            return
        self.count += 1
        meta = link_meta(self.parent, self.started_by, process=self.process_name, function=name, task=self.count)
        try:
            _current = _ChildRecording(self.config, meta, "task %s" % name).start()
        except Exception as error:
            logger.warning("sarn: cannot record a pool task: %s: %s", type(error).__name__, error)

    def end(self) -> None:
        _finish_current()


class _Queue:
    """A pool's queue, seen by its worker: tells the cutter as tasks are
    taken and results put back; everything else is the queue's own."""

    def __init__(self, queue: Any, cutter: _TaskCutter) -> None:
        self._sarn_queue = queue
        self._sarn_cutter = cutter

    def get(self, *args: Any, **kwargs: Any) -> Any:
        task = self._sarn_queue.get(*args, **kwargs)
        self._sarn_cutter.begin(task)
        return task

    def put(self, *args: Any, **kwargs: Any) -> Any:
        self._sarn_cutter.end()
        return self._sarn_queue.put(*args, **kwargs)

    def __getattr__(self, name: str) -> Any:
        return getattr(self._sarn_queue, name)


def _task_queues(process: Any, parent: Optional[str], started_by: Any, config: Dict[str, Any]) -> bool:
    """Gives a pool worker's queues to the task cutter; False when
    ``process`` is not a pool worker."""
    target = getattr(process, "_target", None)
    where = (getattr(target, "__module__", None), getattr(target, "__name__", None))
    if where not in (("multiprocessing.pool", "worker"), ("concurrent.futures.process", "_process_worker")):
        return False
    args = tuple(process._args)
    if len(args) < 2:
        return False
    cutter = _TaskCutter(parent, started_by, config, process.name)
    process._args = (_Queue(args[0], cutter), _Queue(args[1], cutter)) + args[2:]
    return True


# A forked child's recording (started by sarn.profiler at the fork).


def _drop_forked() -> None:
    from sarn.profiler import active_profiler

    profiler = active_profiler()
    if profiler is not None and profiler.started_on_this_thread() and getattr(profiler, "child_meta", None):
        profiler.child_meta = None
        try:
            profiler.stop(save=False)
        except Exception:
            pass


def _finish_forked() -> None:
    from sarn.profiler import active_profiler

    profiler = active_profiler()
    meta = getattr(profiler, "child_meta", None) if profiler is not None else None
    if not meta or not profiler.started_on_this_thread():
        return
    profiler.child_meta = None
    try:
        profiler.stop(save=False)
        save_child_trace(profiler, meta)
    except Exception as error:
        logger.warning("sarn: could not save the trace of a forked child: %s: %s", type(error).__name__, error)


def forked(profiler: Any, parent: str) -> None:
    """Called in a child made by ``os.fork()`` while ``profiler`` records
    with children on: links its trace to the parent's, saves it at exit and
    hands the new trace id on to its own children."""
    global _settings, _current
    _current = None  # the parent's recording, copied by the fork: not this child's to save
    profiler.child_meta = link_meta(parent, starting_call())
    if profiler.label is None:
        profiler.label = "fork of " + " ".join(getattr(sys, "argv", None) or ["?"])
    if _settings is not None:
        _settings = _Settings(_settings.config, profiler.trace_id)
        os.environ[ENVIRONMENT_VARIABLE] = _settings.encoded()
    _install_child_hooks()
    atexit.register(_finish_forked)


def bootstrap() -> None:
    """Run at the start-up of a Python process whose environment asks it to
    record itself (from the package's ``.pth`` file). Never raises."""
    if getattr(sys, "_sarn_child_bootstrap", False):
        return
    sys._sarn_child_bootstrap = True  # type: ignore[attr-defined]
    text = os.environ.get(ENVIRONMENT_VARIABLE)
    if not text:
        return
    settings = _Settings.decoded(text)
    if settings is None:
        return
    try:
        _record_process(settings)
    except Exception as error:
        logger.warning("sarn: cannot record this child process: %s: %s", type(error).__name__, error)


def _record_process(settings: _Settings) -> None:
    global _current
    _install_child_hooks()
    argv = list(getattr(sys, "argv", []) or [])
    if "--multiprocessing-fork" in argv:
        return  # a spawned multiprocessing process: recorded from its _bootstrap
    orig = list(getattr(sys, "orig_argv", []) or [])
    if any("from multiprocessing." in arg for arg in orig):
        return  # the fork server or the resource tracker: recorded in the forks
    meta = link_meta(settings.parent, settings.started_by)
    # Started with children on: this process's own children are children of its trace.
    _current = _ChildRecording(settings.config, meta, _command_line(argv, orig)).start()


def _command_line(argv: list, orig: list) -> str:
    """What a child is listed as: its script and arguments, or for ``-c``
    and ``-m`` the interpreter's command line (the code itself only where
    the interpreter keeps it, from Python 3.10 on)."""
    if argv and argv[0] not in ("-c", "-m"):
        return " ".join(argv)
    shown = orig[1:] if orig else argv
    return "python " + " ".join(shown)
