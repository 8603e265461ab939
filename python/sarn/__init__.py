"""sarn records what a Python program does, call by call, for later inspection.

From Python::

    import sarn

    with sarn.record() as recording:
        run_the_work()
    print(recording.trace_id)        # then: sarn show <id>

    with sarn.record(label="import orders"):
        import_orders()              # listed as "import orders"

    @sarn.record(db_path="traces.sqlite3")
    def handle(request):             # one trace per call
        ...

From the shell: ``sarn run app.py``, ``sarn traces``, ``sarn show latest``;
from pytest: ``pytest --sarn`` (one trace per test).

Importing this package is cheap: the native recording core is loaded only
when a recording starts.
"""

from __future__ import annotations

import functools
from typing import Any, Callable, Mapping, Optional

from sarn.version import __version__

__all__ = ["record", "Recording", "__version__"]


class Recording:
    """A recording set up by :func:`record`: a context manager and a decorator.

    As a context manager it records the block on the current thread and saves
    the trace when the block ends, whether it returns or raises. As a
    decorator, each call of the function is recorded and saved as a trace of
    its own. ``trace_id`` is the id of the latest trace started through it.
    A decorated function called while a recording runs on the same thread
    (when it recurses, say) is recorded as part of that recording.
    """

    def __init__(
        self,
        db_path: Any = None,
        config: Optional[Mapping[str, Any]] = None,
        source: str = "python",
        *,
        save: bool = True,
        label: Optional[str] = None,
        children: bool = False,
    ) -> None:
        self._db_path = db_path
        self.children = bool(children)
        self._config = dict(config) if config else {}
        self.source = source
        self.save = save
        self.label = None if label is None else str(label)
        self.trace_id: Optional[str] = None
        self.db_path: Optional[str] = None
        self.profiler: Any = None

    def _make_profiler(self) -> Any:
        from sarn.config import load_config
        from sarn.profiler import Profiler

        overrides = dict(self._config)
        if self._db_path is not None:
            overrides["db_path"] = self._db_path
        config = load_config(overrides)
        return Profiler(config, source=self.source, label=self.label, children=self.children)

    def __enter__(self) -> "Recording":
        if self.profiler is not None and self.profiler.running:
            from sarn.profiler import RecordingError

            raise RecordingError("this sarn recording is already running; it cannot be entered twice")
        profiler = self._make_profiler()
        profiler.start()
        self.profiler = profiler
        self.trace_id = profiler.trace_id
        self.db_path = profiler.db_path
        return self

    def __exit__(self, exc_type: Any, exc: Any, tb: Any) -> None:
        profiler = self.profiler
        if profiler is None or not profiler.running:
            return
        if exc_type is None:
            profiler.stop(save=self.save)
            return
        # The block's own exception goes on; a failed save must not replace it.
        try:
            profiler.stop(save=self.save)
        except Exception as error:
            import logging

            logging.getLogger("sarn").warning("could not save trace %s: %s", profiler.trace_id, error)

    def __call__(self, function: Callable[..., Any]) -> Callable[..., Any]:
        import inspect

        if inspect.iscoroutinefunction(function) or inspect.isasyncgenfunction(function):
            raise TypeError(
                "sarn.record cannot decorate async functions: it records one thread, "
                "and an event loop runs other work in between"
            )
        settings = self

        @functools.wraps(function)
        def recorded(*args: Any, **kwargs: Any) -> Any:
            from sarn.profiler import active_profiler

            current = active_profiler()
            if current is not None and current.started_on_this_thread():
                # Already recording here (a recursive call, or a call from
                # inside another recording): the call belongs to that trace.
                return function(*args, **kwargs)
            with Recording(settings._db_path, settings._config, settings.source, save=settings.save,
                           label=settings.label, children=settings.children) as run:
                settings.trace_id = run.trace_id
                settings.db_path = run.db_path
                return function(*args, **kwargs)

        return recorded


def record(
    db_path: Any = None,
    config: Optional[Mapping[str, Any]] = None,
    source: str = "python",
    *,
    save: bool = True,
    label: Optional[str] = None,
    children: bool = False,
) -> Recording:
    """Record a block (``with sarn.record(): ...``) or every call of a function
    (``@sarn.record()``) into the trace database.

    ``db_path`` overrides where traces go (default ``.sarn/db.sqlite3``, or the
    ``[tool.sarn]`` setting of the project's pyproject.toml); ``config`` holds
    further settings (see :mod:`sarn.config`), ``source`` the source the trace
    is listed with (the SOURCE column of ``sarn traces``), and ``label`` what
    it is listed as (the WHAT column, and the list page of ``sarn view``; by
    default the program's command line). With ``children=True`` the Python
    processes started during the recording (multiprocessing, process pools,
    ``subprocess`` running Python) record themselves too, each into a trace
    of its own linked to this one (one trace per task for pool workers). With ``save=False`` nothing is
    stored; the trace document can then be had from
    ``recording.profiler.build_trace()`` after the block.
    Recordings cannot be nested: starting one inside another raises
    :class:`sarn.profiler.RecordingError`.
    """
    if callable(db_path) and not isinstance(db_path, (str, bytes)) and not hasattr(db_path, "__fspath__"):
        # Used bare, as ``@sarn.record``.
        return Recording()(db_path)  # type: ignore[return-value]
    return Recording(db_path, config, source, save=save, label=label, children=children)
