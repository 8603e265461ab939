"""The host profiler: switches recording on and off on the calling thread.

A :class:`Profiler` carries what the recording core reads when recording
starts (``config``, ``db_path``, ``one_trace_per_test``, ``trace_id``,
``source``) and the ``label`` its traces are listed as;
:meth:`Profiler.start` hands it to the core, which builds its own profiler,
stores it as ``rust_profiler`` and records the calling thread (and, with
``config["threading"]``, every thread started afterwards), through
``sys.monitoring`` or the thread's profile function (``config["engine"]``).
:meth:`Profiler.stop` removes it again and saves the trace.

One recording runs at a time in a process: starting a second one while the
first runs raises :class:`RecordingError`, since both would share the
interpreter's profile functions and neither trace would be whole.

A child made by ``os.fork()`` while a recording runs records on as a trace of
its own, under a new trace id, from the fork on: the parent's trace is never
saved twice or replaced. The child's trace is saved when the child stops the
recording or, under ``sarn run``, exits normally (``os._exit`` skips that, as
it skips every exit handler). With ``children`` on, the child's trace is
linked to the parent's and saved at any exit, ``os._exit`` included, and the
processes the program starts record themselves too
(:mod:`sarn.integrations.children`).
"""

from __future__ import annotations

import logging
import os
import sys
import threading
import time
from typing import Any, Dict, Mapping, Optional, Set

__all__ = [
    "Profiler",
    "RecordingError",
    "CoreUnavailableError",
    "new_trace_id",
    "load_core",
    "active_profiler",
]

_CROCKFORD = "0123456789ABCDEFGHJKMNPQRSTVWXYZ"

_lock = threading.Lock()
_active: "Optional[Profiler]" = None


class RecordingError(RuntimeError):
    """Recording cannot be started or stopped as asked."""


class CoreUnavailableError(RecordingError, ImportError):
    """The native recording core ``sarn._sarn`` cannot be imported."""


def new_trace_id() -> str:
    """A new trace id: "trc_" and a ULID (48 bits of milliseconds since the Unix
    epoch, then 80 random bits) in Crockford base32, 30 characters in all."""
    milliseconds = max(0, time.time_ns() // 1_000_000) & ((1 << 48) - 1)
    value = (milliseconds << 80) | int.from_bytes(os.urandom(10), "big")
    chars = []
    for _ in range(26):
        chars.append(_CROCKFORD[value & 31])
        value >>= 5
    return "trc_" + "".join(reversed(chars))


def load_core() -> Any:
    """The native core module, or :class:`CoreUnavailableError` saying why not."""
    try:
        from sarn import _sarn
    except ImportError as error:
        raise CoreUnavailableError(
            "the native recording core sarn._sarn is not available (%s); "
            "install sarn with pip so that its extension is built" % error
        ) from None
    return _sarn


def active_profiler() -> "Optional[Profiler]":
    """The profiler that is recording now, if any."""
    return _active


class Profiler:
    """The object the recording core is registered with.

    ``config`` is the whole configuration dict (see :mod:`sarn.config`; it is
    checked, and dotted keys are moved into their tables); the
    database path is taken from ``db_path`` when given, else from
    ``config["db_path"]``, and made absolute so that a program that changes its
    working directory still saves where it was asked to.
    """

    def __init__(
        self,
        config: Optional[Mapping[str, Any]] = None,
        db_path: "Optional[os.PathLike[str] | str]" = None,
        *,
        one_trace_per_test: bool = False,
        source: str = "python",
        trace_id: Optional[str] = None,
        label: Optional[str] = None,
        children: bool = False,
    ) -> None:
        from sarn.config import DEFAULT_DB_PATH, DEFAULTS, validate

        self.config: Dict[str, Any] = validate(config or {})
        # The core takes a configuration without "engine" to mean the profile
        # function; the package's own recordings ask for its default by name.
        self.config.setdefault("engine", DEFAULTS["engine"])
        if db_path is None:
            db_path = self.config.get("db_path") or DEFAULT_DB_PATH
        self.db_path: str = os.path.abspath(os.fspath(db_path))
        self.config["db_path"] = self.db_path
        self.one_trace_per_test = bool(one_trace_per_test)
        self.trace_id: str = trace_id if trace_id is not None else new_trace_id()
        self.source = str(source)
        #: What its traces are listed as; None: the command line (or test name).
        self.label = label
        #: Whether the processes it starts record themselves as its children
        #: (sarn.integrations.children).
        self.children = bool(children)
        #: Whether a recording started on its thread replaces it (see start).
        self.yields_to_others = False
        self.rust_profiler: Any = None
        self._thread_id: Optional[int] = None
        self._core: Any = None

    def __call__(self, frame: Any, event: str, arg: Any) -> None:
        """The core requires a callable host object; events never reach it."""
        return None

    def __repr__(self) -> str:
        state = "recording" if self.running else "idle"
        return "<sarn Profiler %s %s -> %s>" % (self.trace_id, state, self.db_path)

    @property
    def running(self) -> bool:
        return self._thread_id is not None

    def started_on_this_thread(self) -> bool:
        """True while this profiler records, started on the calling thread."""
        return self._thread_id is not None and self._thread_id == threading.get_ident()

    @property
    def through_monitoring(self) -> bool:
        """True when this profiler records through sys.monitoring."""
        return _records_through_monitoring(self.config)

    def displaced(self) -> bool:
        """True when the calling thread's profile function is no longer this
        recording's (the program or a tool such as cProfile replaced it), so
        nothing more is recorded there. Recording through sys.monitoring
        cannot be displaced that way."""
        if self.rust_profiler is None or _records_through_monitoring(self.config):
            return False
        return sys.getprofile() is not self.rust_profiler

    def start(self) -> "Profiler":
        """Start recording on the calling thread (and, with threading on, on the
        threads it starts from now on)."""
        global _active
        core = load_core()
        # Check the plugins here, so that a bad configured plugin is reported
        # plainly rather than as a failure inside the core.
        from sarn.plugins import load_plugin_data

        load_plugin_data(self.config)
        yielding = _active
        if yielding is not None and yielding.yields_to_others and yielding.started_on_this_thread():
            # The recording of a child process, or of a pool task, gives way
            # to one the child's own code starts (sarn run, sarn.record):
            # it saves what it holds and the new one goes on unlinked.
            from sarn.integrations import children

            children.yield_current()
        with _lock:
            if _active is not None:
                raise RecordingError(
                    "a sarn recording is already running (trace %s); recordings cannot be nested "
                    "or run at the same time" % _active.trace_id
                )
            _active = self
        # How values are written follows this recording's configuration.
        from sarn import serialize

        serialize.set_config(self.config)
        try:
            core.register_profiler(self)
        except BaseException:
            with _lock:
                _active = None
            core.register_noop_profiler()
            sys.setprofile(None)
            raise
        self._core = core
        self._thread_id = threading.get_ident()
        if self.children:
            from sarn.integrations import children

            children.enable(self)
        _forget_unrecorded()
        if self.config.get("threading") is not True:
            threading.setprofile(_count_unrecorded_thread)
        return self

    def stop(self, save: bool = True) -> None:
        """Stop recording and, unless ``save`` is false, store the trace.

        Must be called on the thread that started the recording. Through the
        profile function, threads that are still running keep recording until
        they end (with ``save`` false, call :meth:`save` once they have);
        through ``sys.monitoring`` (Python 3.12+) every thread stops here.
        """
        global _active
        if self._thread_id is None:
            raise RecordingError("this sarn recording is not running")
        if self._thread_id != threading.get_ident():
            raise RecordingError("a sarn recording must be stopped on the thread that started it")
        try:
            self._core.register_noop_profiler()
            threading.setprofile(None)
            sys.setprofile(None)
        finally:
            self._thread_id = None
            if self.children:
                from sarn.integrations import children

                children.disable()
            with _lock:
                if _active is self:
                    _active = None
        if save:
            self.save()

    def save(self) -> None:
        """Store what has been recorded so far under the current trace id."""
        if self.rust_profiler is None:
            raise RecordingError("nothing to save: this recording never started")
        if self.one_trace_per_test:  # the core knows the current test's trace id
            self.rust_profiler.save_request_in_db()
            return
        from sarn import db

        db.save_trace_in_sqlite(self.db_path, self.trace_id, timeout=self.config.get("sqlite_busy_timeout", 60),
                                msgpack=self.take_trace_document(), label=self.label)

    def build_trace(self) -> bytes:
        """The trace document of what has been recorded since the last save."""
        if self.rust_profiler is None:
            raise RecordingError("nothing to build: this recording never started")
        return self.rust_profiler.build_trace()

    def take_trace_document(self) -> Any:
        """What has been recorded since the last save, as a document read
        piece by piece (``read(size)``, ``rewind()``, ``size``, ``facts``):
        :func:`sarn.db.save_trace_in_sqlite` stores it without holding it
        whole in memory."""
        if self.rust_profiler is None:
            raise RecordingError("nothing to take: this recording never started")
        return self.rust_profiler.take_trace_document()


# Threads started while recording with threading off: each runs the counter
# once, as its first profile event, and goes on without a profile function.
# Their idents are kept too, so that one whose work a request integration
# then records is taken off the count, once (a later thread may reuse an
# ended one's ident).
_unrecorded_threads = [0]
_unrecorded_idents: Set[int] = set()


def _count_unrecorded_thread(frame: Any, event: str, arg: Any) -> None:
    _unrecorded_threads[0] += 1
    _unrecorded_idents.add(threading.get_ident())
    sys.setprofile(None)


def thread_recorded() -> None:
    """The calling thread is recorded after all (a worker thread that runs
    a recorded request's code): it is not one that ran unrecorded."""
    ident = threading.get_ident()
    if ident in _unrecorded_idents:
        _unrecorded_idents.discard(ident)
        _unrecorded_threads[0] = max(0, _unrecorded_threads[0] - 1)


def _forget_unrecorded() -> int:
    threads, _unrecorded_threads[0] = _unrecorded_threads[0], 0
    _unrecorded_idents.clear()
    return threads


def take_unrecorded() -> Dict[str, int]:
    """What ran unrecorded since the last call, for the trace document's
    meta: {"threads": count} when threads did; called by the core as it takes
    the records of a trace."""
    threads = _forget_unrecorded()
    return {"threads": threads} if threads else {}


def _records_through_monitoring(config: Mapping[str, Any]) -> bool:
    # As the core reads it: without "engine", the profile function.
    return sys.version_info >= (3, 12) and config.get("engine", "setprofile") == "monitoring"


def _record_on_in_forked_child() -> None:
    """Gives a forked child's recording a trace id and a core profiler of its
    own; the child's copy of the parent's records is dropped with the old one."""
    global _lock
    _lock = threading.Lock()  # another thread may have held it at the fork
    profiler = _active
    if profiler is None or profiler._core is None:
        return
    # Through sys.monitoring the recorded threads keep no profile function:
    # the thread that started the recording is the one taken to record.
    recording_here = sys.getprofile() is profiler.rust_profiler or (
        _records_through_monitoring(profiler.config) and threading.get_ident() == profiler._thread_id
    )
    parent = profiler.trace_id
    profiler.trace_id = new_trace_id()
    profiler._thread_id = threading.get_ident()
    try:
        profiler._core.register_profiler(profiler)
        if profiler.children:
            from sarn.integrations import children

            children.forked(profiler, parent)
        if not recording_here:  # the forking thread was not recorded: it stays so
            profiler._core.register_noop_profiler()
            sys.setprofile(None)
    except BaseException as error:  # the child goes on unrecorded
        profiler._core.register_noop_profiler()
        sys.setprofile(None)
        threading.setprofile(None)
        logging.getLogger("sarn").warning("cannot record on in a forked child: %s: %s", type(error).__name__, error)


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_record_on_in_forked_child)
