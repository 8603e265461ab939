"""Connections and cursors of the ``sqlite3`` module whose statements the
recorder can see.

``sqlite3`` runs statements in C: no Python frame marks a query, so there is
nothing for a plugin to watch. Once installed (:func:`install`, as a
recording starts), ``sqlite3.connect`` makes its connections
of a subclass of the connection class asked for (``sqlite3.Connection``, or
the ``factory`` given), whose cursors are of a subclass of theirs; their
``execute``, ``executemany`` and ``executescript`` are Python functions that
call the inherited ones, and the SQL plugin watches those functions.

The subclasses carry the names of their bases and add no attribute, so a
connection reads and prints as before; only an exact type test
(``type(connection) is sqlite3.Connection``) tells them apart. Only
``sqlite3.connect`` is replaced: ``sqlite3.dbapi2.connect``, which Django
and SQLAlchemy call (and whose statements their own plugins record), is left
as it is. A connection made before the installation, or through a
``connect`` bound before it, is not seen.
"""

from __future__ import annotations

import functools
import sys
import weakref
from typing import Any, Callable, Dict, Optional

__all__ = ["install", "database_of", "CURSOR_CODES", "STATEMENTS"]

# connection -> the database it was opened on, as given to connect()
_databases: "weakref.WeakKeyDictionary[Any, str]" = weakref.WeakKeyDictionary()
# base class -> its recording subclass
_subclasses: "weakref.WeakKeyDictionary[type, type]" = weakref.WeakKeyDictionary()


def _cursor_statement(name: str) -> Callable[..., Any]:
    """A statement method of a recording cursor: it calls the inherited one,
    keeping the exception it raised in a local variable (read by the
    recorder as the frame ends, on every interpreter). Its code carries the
    method's name, which tracebacks show and the SQL plugin tells apart."""

    def statement(self: Any, *args: Any, **kwargs: Any) -> Any:
        __traceback_hide__ = True  # noqa: F841
        try:
            return getattr(_base_of(type(self)), name)(self, *args, **kwargs)
        except BaseException as error:
            failure = error  # noqa: F841
            raise

    statement.__code__ = statement.__code__.replace(co_name=name)
    statement.__name__ = statement.__qualname__ = name
    return statement


#: The code of the cursor methods whose frames are the statements.
STATEMENTS = ("execute", "executemany", "executescript")
_CURSOR_METHODS: Dict[str, Any] = {name: _cursor_statement(name) for name in STATEMENTS}
CURSOR_CODES = frozenset(method.__code__ for method in _CURSOR_METHODS.values())


def _connection_cursor(self: Any, *args: Any, **kwargs: Any) -> Any:
    __traceback_hide__ = True  # noqa: F841
    base = _base_of(type(self))
    if args or kwargs or base.cursor is not _connection_base().cursor:
        # A factory given, or a connection class whose own cursor() chooses
        # one: its choice is kept, and the cursor made a recording one of its
        # class where the class allows that.
        return _recorded(base.cursor(self, *args, **kwargs))
    return base.cursor(self, _recording_class(_cursor_base(), _CURSOR_METHODS))


def _recorded(cursor: Any) -> Any:
    recording = _recording_class(type(cursor), _CURSOR_METHODS)
    if recording is not None and type(cursor) is not recording:
        try:  # a class of the program's own: the layout is the same
            cursor.__class__ = recording
        except TypeError:  # a class of C code: left unrecorded
            pass
    return cursor


def _connection_statement(name: str) -> Callable[..., Any]:
    # Connection.execute and its kin make a cursor and run the statement on
    # it, as the C methods do, so that the statement is the cursor's.
    def statement(self: Any, *args: Any, **kwargs: Any) -> Any:
        __traceback_hide__ = True  # noqa: F841
        return getattr(self.cursor(), name)(*args, **kwargs)

    statement.__name__ = statement.__qualname__ = name
    return statement


_CONNECTION_METHODS: Dict[str, Any] = dict(
    {name: _connection_statement(name) for name in STATEMENTS},
    cursor=_connection_cursor,
)


def _cursor_base() -> type:
    return sys.modules["sqlite3"].Cursor


def _connection_base() -> type:
    return sys.modules["sqlite3"].Connection


def _base_of(cls: type) -> type:
    """The class after the recording subclass in ``cls``'s MRO."""
    mro = cls.__mro__
    for index, klass in enumerate(mro):
        if "_sarn_recording" in klass.__dict__:
            return mro[index + 1]
    return mro[1]


def _recording_class(base: Any, methods: Dict[str, Any]) -> Optional[type]:
    """The recording subclass of ``base`` (made once), or None when ``base``
    is not a class that can be subclassed."""
    if not isinstance(base, type):
        return None
    if getattr(base, "_sarn_recording", False):
        return base
    known = _subclasses.get(base)
    if known is not None:
        return known
    namespace = dict(methods, __module__=base.__module__, __qualname__=base.__qualname__, __doc__=base.__doc__,
                     _sarn_recording=True)
    # No instance dict: a connection gains no attribute. A weak reference
    # slot where the base has none, so that the database can be kept aside.
    namespace["__slots__"] = () if base.__weakrefoffset__ else ("__weakref__",)
    try:
        recording = type(base)(base.__name__, (base,), namespace)
    except Exception:  # a final class, or a metaclass with demands of its own
        return None
    _subclasses[base] = recording
    return recording


def database_of(connection: Any) -> str:
    """The database a connection was opened on ("" when not known)."""
    try:
        return _databases.get(connection, "")
    except TypeError:
        return ""


def _recording_connect(connect: Callable[..., Any]) -> Callable[..., Any]:
    @functools.wraps(connect)
    def recording_connect(*args: Any, **kwargs: Any) -> Any:
        __traceback_hide__ = True  # noqa: F841
        # factory is connect()'s sixth parameter.
        factory = kwargs["factory"] if "factory" in kwargs else args[5] if len(args) > 5 else _connection_base()
        recording = _recording_class(factory, _CONNECTION_METHODS)
        if recording is not None:
            if len(args) > 5:
                args = args[:5] + (recording,) + args[6:]
            else:
                kwargs["factory"] = recording
        connection = connect(*args, **kwargs)
        database = kwargs.get("database", args[0] if args else None)
        if recording is not None and type(connection) is recording:
            _databases[connection] = _database_text(database)
        return connection

    recording_connect._sarn_recording = True  # type: ignore[attr-defined]
    return recording_connect


def _database_text(database: Any) -> str:
    if isinstance(database, bytes):
        return database.decode("utf-8", "replace")
    return database if isinstance(database, str) else str(database) if database is not None else ""


def install() -> None:
    """Make ``sqlite3.connect`` open recording connections (once). The
    module is imported if it is not yet: sarn stores its traces with it."""
    try:
        import sqlite3 as module
    except ImportError:  # an interpreter built without it
        return
    connect = getattr(module, "connect", None)
    if connect is None or getattr(connect, "_sarn_recording", False):
        return
    module.connect = _recording_connect(connect)  # type: ignore[union-attr]
