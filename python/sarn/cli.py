"""The ``sarn`` command.

Commands::

    sarn run [--db PATH] [--threads] [--lightweight] [--config KEY=VALUE ...] script.py [args ...]
    sarn run [options] -m module [args ...]
    sarn traces [--db PATH] [--limit N]
    sarn show [TRACE_ID | latest] [--db PATH] [--depth N] [--children N] [--lines N] [--all]
              [--filter TEXT] [--no-summary] [--no-pager] [--color WHEN]
    sarn export TRACE_ID [--format json|chrome|perfetto|sarn|html] [--db PATH] [--output FILE] [--indent N]
    sarn import [--db PATH] [--replace] FILE ...
    sarn view [--db PATH] [--host ADDRESS] [--port N]
    sarn diff A B | --test NODE_ID [--db PATH] [--ignore FIELD ...] [--locals] [--time 2x|10ms]
              [--context N] [--json] [--color WHEN]
    sarn find PATTERN [--where EXPR] [--raised TYPE] [--slower DURATION] [--since WHEN]
              [--source SOURCE] [--trace ID] [--limit N] [--db PATH]

``sarn run`` runs the program as ``python script.py`` (or ``python -m module``)
would: same ``sys.argv``, ``sys.path[0]``, ``__main__``, output, exceptions and
exit code. It
records the main thread (and with ``--threads`` the threads the program
starts), and at exit, even when the program raised or called ``sys.exit``,
saves the trace and says on standard error where, under which id and how many
frames. A trace id may be given in full, as a unique prefix, or as ``latest``.

Exit codes are listed in ``EXIT_CODES_HELP`` below, which ``sarn --help`` prints.

For ``run``, a non-zero exit code of the program wins over 5 when the trace
could not be saved.
"""

from __future__ import annotations

EXIT_CODES_HELP = """exit codes:
  0    success (run: the program's own exit code is passed through; diff: no differences)
  1    run: the program ended with an uncaught exception; diff: the runs differ;
       find: no call found
  2    bad command line or configuration
  3    run: the script or module cannot be found or imported
  4    no stored trace matches the id given
  5    the trace database, or a file to import, is missing, locked, damaged
       or of a newer version
  6    the native recording core is not available
  70   an unexpected error inside sarn (SARN_DEBUG=1 shows its traceback)
  130  interrupted"""

import argparse
import builtins
import importlib.machinery
import importlib.util
import io
import os
import runpy
import sys
import threading
import traceback
import types
import zipfile
from typing import Any, Dict, List, Optional, Sequence, Tuple

from sarn.version import __version__

__all__ = [
    "main",
    "EXIT_OK",
    "EXIT_EXCEPTION",
    "EXIT_USAGE",
    "EXIT_NO_TARGET",
    "EXIT_NO_TRACE",
    "EXIT_DB",
    "EXIT_NO_CORE",
    "EXIT_INTERNAL",
    "EXIT_INTERRUPTED",
]

EXIT_OK = 0
EXIT_EXCEPTION = 1
EXIT_USAGE = 2
EXIT_NO_TARGET = 3
EXIT_NO_TRACE = 4
EXIT_DB = 5
EXIT_NO_CORE = 6
EXIT_INTERNAL = 70
EXIT_INTERRUPTED = 130

_RUN_VALUE_OPTIONS = ("--db", "--config", "-c")
_PACKAGE_DIR = os.path.dirname(os.path.abspath(__file__))


class _Failure(Exception):
    """A one-line error with its exit code."""

    def __init__(self, message: str, code: int) -> None:
        super().__init__(message)
        self.code = code


def _error(message: str) -> None:
    sys.stderr.write("sarn: error: %s\n" % message)


def _display_path(path: str, base: Optional[str] = None) -> str:
    try:
        relative = os.path.relpath(path, base or os.getcwd())
    except (ValueError, OSError):
        return path
    return path if relative.startswith(os.pardir) else relative


def _human_size(size: Optional[int]) -> str:
    if size is None:
        return "?"
    value = float(size)
    for unit in ("B", "KB", "MB", "GB"):
        if value < 1024 or unit == "GB":
            return ("%d %s" % (value, unit)) if unit == "B" else ("%.1f %s" % (value, unit))
        value /= 1024
    return "%d B" % size


# --------------------------------------------------------------------------
# Parsers


def _db_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--db", metavar="PATH", help="trace database (default: [tool.sarn] db_path, else .sarn/db.sqlite3)"
    )


def _run_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="sarn run",
        usage="sarn run [options] (script.py | -m module) [args ...]",
        description="Run a Python program as python would, recording what it does.",
    )
    _db_option(parser)
    parser.add_argument("--threads", action="store_true", help="also record the threads the program starts")
    parser.add_argument(
        "--lightweight", action="store_true", help="record values as type and short repr only (faster)"
    )
    parser.add_argument(
        "--no-children", dest="children", action="store_false",
        help="do not record the Python child processes the program starts (multiprocessing, process pools, "
             "subprocess): by default each saves traces of its own, linked to this one",
    )
    parser.add_argument(
        "--config", "-c", action="append", default=[], metavar="KEY=VALUE",
        help="a configuration setting, e.g. filters.ignore_frames=app/migrations (repeatable)",
    )
    return parser


def _main_parser() -> argparse.ArgumentParser:
    from sarn.web.share.export import FORMATS
    from sarn.web.share.html_page import DATA_LIMIT

    parser = argparse.ArgumentParser(
        prog="sarn",
        description="Record what a Python program does, and look at the recordings.",
        epilog=EXIT_CODES_HELP,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version="sarn %s" % __version__)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.add_parser("run", help="run a script or module and record it", add_help=False)

    traces = commands.add_parser("traces", help="list stored traces, newest first")
    _db_option(traces)
    traces.add_argument("--limit", type=int, default=50, help="show at most N traces (0: all; default 50)")
    traces.add_argument("--tree", action="store_true",
                        help="show each trace's child-process traces indented under it")

    show = commands.add_parser("show", help="print the call tree of a trace")
    show.add_argument("trace_id", nargs="?", default="latest", help="trace id, unique prefix, or 'latest'")
    _db_option(show)
    show.add_argument("--depth", type=int, metavar="N",
                      help="show N levels of calls (below each match with --filter; default %d)" % SHOW_DEPTH)
    show.add_argument("--children", type=int, metavar="N",
                      help="show N calls under each call, and how many more (default %d)" % SHOW_CHILDREN)
    show.add_argument("--lines", type=int, metavar="N", help="show N lines per thread (default %d)" % SHOW_LINES)
    show.add_argument("--all", action="store_true", help="show every call: no depth, child or line limit; SQL and URLs whole")
    show.add_argument("--filter", metavar="TEXT", help="show calls whose name or path, and queries, HTTP calls "
                      "and log records whose text, holds TEXT")
    show.add_argument("--no-summary", dest="summary", action="store_false",
                      help="leave out the summary (calls per function, slowest calls, deepest path, "
                           "SQL queries, HTTP calls and log records)")
    show.add_argument("--tasks", dest="tasks", action="store_true", default=None,
                      help="show each asyncio task's calls as a tree of its own under its thread "
                           "(the default when the trace has more than one task)")
    show.add_argument("--no-tasks", dest="tasks", action="store_false",
                      help="show asyncio tasks' calls in their thread's tree")
    show.add_argument("--no-pager", dest="pager", action="store_false", help="do not page the output on a terminal")
    show.add_argument("--color", choices=("auto", "always", "never"), default="auto")

    export = commands.add_parser(
        "export", help="write a trace as a file to share (.sarn, .html), as JSON, or for Perfetto",
        description="Write one stored trace to a file (or standard output).",
    )
    export.add_argument("trace_id", help="trace id, unique prefix, or 'latest'")
    export.add_argument(
        "--format", choices=FORMATS, metavar="FORMAT",
        help="sarn: a trace file that 'sarn import' stores again, with its label and facts; html: the trace page "
             "as one file that opens offline in a browser (it holds the call tree and, up to %d MB of data in all, "
             "the details of the calls, the outermost first); json: the decoded document, for reading (it cannot "
             "be imported); chrome or perfetto: the Trace Event Format. Default: by the suffix of --output "
             "(.sarn, .html), else json" % (DATA_LIMIT // 2 ** 20),
    )
    export.add_argument("--json", dest="format", action="store_const", const="json", help="the same as --format json")
    _db_option(export)
    export.add_argument("--output", "-o", metavar="FILE", help="write to FILE instead of standard output")
    export.add_argument("--indent", type=int, metavar="N", help="indent the JSON by N spaces")

    view = commands.add_parser("view", help="browse the stored traces in a web browser")
    _db_option(view)
    view.add_argument("--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1: this machine only)")
    view.add_argument("--port", type=int, default=0, help="port to listen on (default: a free one)")
    _diff_parser(commands)
    _find_parser(commands)
    imports = commands.add_parser(
        "import", help="store trace files (.sarn) into the database, and those a failed save kept aside",
        description="Store trace files into the database: a trace file written by 'sarn export ID -o "
                    "trace.sarn' keeps its label and facts; a trace a failed save kept aside (.msgpack) is "
                    "removed once stored. A trace already stored is not stored twice.",
    )
    imports.add_argument("files", nargs="+", metavar="FILE", help="a trace file (.sarn), or a kept trace (.msgpack)")
    _db_option(imports)
    imports.add_argument("--replace", action="store_true",
                         help="replace a different recording stored under the same trace id")
    return parser


def _diff_parser(commands: Any) -> None:
    diff = commands.add_parser(
        "diff", help="compare two traces: where do the runs part?",
        description="Align the call trees of two traces and show where they differ: calls made in one run only, "
                    "different arguments, results and exceptions. Object ids, addresses in reprs, timestamps and "
                    "thread ids never count. Exit code 0: no differences, 1: the runs differ.")
    diff.add_argument("a", nargs="?", help="trace A: id, unique prefix, or 'latest'")
    diff.add_argument("b", nargs="?", help="trace B: id, unique prefix, or 'latest'")
    diff.add_argument("--test", metavar="NODE_ID", help="compare the last two traces of this test (pytest --sarn)")
    _db_option(diff)
    diff.add_argument("--ignore", action="append", default=[], metavar="FIELD",
                      help="never compare fields, attributes or arguments of this name (repeatable)")
    diff.add_argument("--locals", action="store_true", help="compare the locals at return too")
    diff.add_argument("--time", metavar="THRESHOLD",
                      help="report durations that differ: '2x' (one took twice as long, and at least 1 ms) "
                           "or a duration such as '10ms' (they differ by that much)")
    diff.add_argument("--context", type=int, default=2, metavar="N",
                      help="show N equal sibling calls around each difference (default 2)")
    diff.add_argument("--json", action="store_true", help="write the differences as JSON")
    diff.add_argument("--color", choices=("auto", "always", "never"), default="auto")


def _find_parser(commands: Any) -> None:
    find = commands.add_parser(
        "find", help="search the calls of every stored trace",
        description="List the calls whose qualified name matches PATTERN (a glob, such as 'pricing.*') in every "
                    "stored trace, newest first, as they are found.")
    find.add_argument("pattern", help="qualified name glob ('*' and '?'): 'pricing.*', 'Cart.add', matched whole or by its last dotted parts")
    find.add_argument("--where", metavar="EXPR",
                      help="a condition on the arguments and 'result': comparisons with literals, 'is None', "
                           "'in', 'and', 'or', 'not' (e.g. \"rate is None and qty > 2\")")
    find.add_argument("--raised", metavar="TYPE", help="calls that raised an exception of this type name (a glob: '*Error'; '*': any exception)")
    find.add_argument("--slower", metavar="DURATION", help="calls that took at least this long (100ms, 2s)")
    find.add_argument("--since", metavar="WHEN", help="traces saved in the last 30m, 2h, 7d, or since a date")
    find.add_argument("--source", help="traces of this source only (run, pytest, ...)")
    find.add_argument("--trace", action="append", metavar="ID", help="search this trace only (repeatable)")
    find.add_argument("--limit", type=int, default=0, metavar="N", help="stop after N calls (default: all)")
    _db_option(find)


def _split_run_arguments(tokens: Sequence[str]) -> Tuple[List[str], Optional[str], Optional[str], List[str]]:
    """(sarn's own options, "script" or "module", the target, the program's arguments)."""
    options: List[str] = []
    index = 0
    while index < len(tokens):
        token = tokens[index]
        if token == "--":
            if index + 1 >= len(tokens):
                return options, None, None, []
            return options, "script", tokens[index + 1], list(tokens[index + 2:])
        if token == "-m":
            if index + 1 >= len(tokens):
                raise _Failure("-m needs a module name", EXIT_USAGE)
            return options, "module", tokens[index + 1], list(tokens[index + 2:])
        if token.startswith("-m") and not token.startswith("--"):
            return options, "module", token[2:], list(tokens[index + 1:])
        if token.startswith("-") and token != "-":
            options.append(token)
            if token in _RUN_VALUE_OPTIONS and index + 1 < len(tokens):
                options.append(tokens[index + 1])
                index += 1
            index += 1
            continue
        return options, "script", token, list(tokens[index + 1:])
    return options, None, None, []


# --------------------------------------------------------------------------
# Configuration


def _config(db: Optional[str], assignments: Sequence[str] = (), extra: Optional[Dict[str, Any]] = None) -> Dict[str, Any]:
    from sarn.config import ConfigError, load_config

    overrides: Dict[str, Any] = dict(extra or {})
    if db:
        overrides["db_path"] = db
    try:
        return load_config(overrides, assignments=assignments)
    except ConfigError as error:
        raise _Failure(str(error), EXIT_USAGE) from None


def _db_call(function: Any, *args: Any, **kwargs: Any) -> Any:
    from sarn import db

    try:
        return function(*args, **kwargs)
    except db.TraceNotFoundError as error:
        raise _Failure(str(error), EXIT_NO_TRACE) from None
    except db.SarnDbError as error:
        raise _Failure(str(error), EXIT_DB) from None


# --------------------------------------------------------------------------
# sarn run


def _check_script(path: str) -> str:
    if not os.path.exists(path):
        raise _Failure("can't open file %r: no such file" % path, EXIT_NO_TARGET)
    if os.path.isdir(path) and not os.path.exists(os.path.join(path, "__main__.py")):
        raise _Failure("can't find '__main__' module in %r" % path, EXIT_NO_TARGET)
    return path


def _check_module(name: str) -> None:
    # Looked up as `python -m` would: the working directory first, and a
    # package's __main__ found without importing the package, whose code is
    # the program's and runs only once recording has started.
    sys.path.insert(0, os.getcwd())
    try:
        spec = importlib.util.find_spec(name)
        if spec is not None and spec.submodule_search_locations is not None:
            locations = list(spec.submodule_search_locations)
            if importlib.machinery.PathFinder.find_spec("__main__", locations) is None:
                raise _Failure(
                    "no module named %s.__main__; %r is a package and cannot be directly executed" % (name, name),
                    EXIT_NO_TARGET,
                )
    except _Failure:
        raise
    except BaseException as error:
        raise _Failure(
            "cannot import module %r: %s: %s" % (name, type(error).__name__, error), EXIT_NO_TARGET
        ) from None
    finally:
        del sys.path[0]
    if spec is None:
        raise _Failure("no module named %r" % name, EXIT_NO_TARGET)


def _user_traceback(tb: Any) -> Any:
    """``tb`` without the leading entries of sarn and runpy, as Python would show it."""
    runpy_file = os.path.abspath(runpy.__file__) if getattr(runpy, "__file__", None) else ""
    while tb is not None:
        filename = tb.tb_frame.f_code.co_filename
        if (
            filename.startswith(_PACKAGE_DIR + os.sep)
            or filename.startswith("<frozen runpy")
            or (runpy_file and os.path.abspath(filename) == runpy_file)
        ):
            tb = tb.tb_next
            continue
        break
    return tb


def _exit_code_of(exit: SystemExit) -> int:
    code = exit.code
    if code is None:
        return 0
    if isinstance(code, int) and not isinstance(code, bool):
        return code
    if isinstance(code, bool):
        return int(code)
    sys.stderr.write("%s\n" % (code,))
    return 1


def _wait_for_threads() -> None:
    """Wait for the program's non-daemon threads, as the interpreter would at exit."""
    current = threading.current_thread()
    while True:
        pending = [
            thread for thread in threading.enumerate()
            if thread is not current and not thread.daemon and thread.is_alive()
        ]
        if not pending:
            return
        for thread in pending:
            thread.join()


def _run_script(path: str) -> None:
    """Run a script file as ``python path`` does: in a fresh ``__main__`` module
    that stays in place afterwards, with ``sys.argv[0]`` as given and, from
    Python 3.9 on, an absolute ``__file__`` (runpy.run_path would change
    ``sys.argv[0]`` too). Folders and zip files go through runpy."""
    if not os.path.isfile(path) or zipfile.is_zipfile(path):
        runpy.run_path(path, run_name="__main__")
        return
    filename = os.path.abspath(path) if sys.version_info >= (3, 9) else path
    with io.open_code(path) as handle:
        source = handle.read()
    code = compile(source, filename, "exec", dont_inherit=True)
    module = types.ModuleType("__main__")
    module.__dict__.update(
        __file__=filename,
        __cached__=None,
        __loader__=importlib.machinery.SourceFileLoader("__main__", filename),
        __spec__=None,
        __package__=None,
        __builtins__=builtins,
    )
    sys.modules["__main__"] = module
    exec(code, module.__dict__)


def _attempt(action: Any) -> Optional[str]:
    """Run ``action``; a description of what it raised, or None. The core's own
    failures derive from BaseException, so everything but an interrupt or an
    exit is caught."""
    try:
        action()
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as error:
        return "%s: %s" % (type(error).__name__, error)
    return None


def _cmd_run(tokens: Sequence[str]) -> int:
    parser = _run_parser()
    options, kind, target, program_args = _split_run_arguments(tokens)
    namespace = parser.parse_args(options)
    if kind is None or not target:
        parser.error("give a script to run, or -m and a module name")
    extra: Dict[str, Any] = {}
    if namespace.threads:
        extra["threading"] = True
    if namespace.lightweight:
        extra["lightweight_repr"] = True
    config = _config(namespace.db, namespace.config, extra)

    if kind == "script":
        _check_script(target)
    else:
        _check_module(target)

    from sarn.plugins import PluginError
    from sarn.profiler import CoreUnavailableError, Profiler, load_core

    try:
        load_core()
    except CoreUnavailableError as error:
        raise _Failure(str(error), EXIT_NO_CORE) from None

    start_dir = os.getcwd()
    label = target if kind == "script" else "-m " + target
    profiler = Profiler(config, source="run", children=namespace.children)
    sys.argv = [target] + list(program_args)
    # sys.path[0] is sarn's own entry; the program gets what python gives it.
    if sys.path:
        del sys.path[0]
    if kind == "module":
        sys.path.insert(0, start_dir)
    elif os.path.isfile(target) and not zipfile.is_zipfile(target):
        sys.path.insert(0, os.path.dirname(os.path.realpath(target)))
    # (runpy puts a folder or zip file itself first.)

    try:
        profiler.start()
    except PluginError as error:
        raise _Failure(str(error), EXIT_USAGE) from None
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as error:
        # Includes the core's own failure class, which derives from BaseException.
        raise _Failure("cannot start recording: %s: %s" % (type(error).__name__, error), EXIT_INTERNAL) from None

    exit_code = 0
    failure: Optional[Tuple[Any, BaseException, Any]] = None
    try:
        if kind == "script":
            _run_script(target)
        else:
            runpy.run_module(target, run_name="__main__", alter_sys=True)
    except SystemExit as exit:
        exit_code = _exit_code_of(exit)
    except BaseException as error:
        failure = (type(error), error, error.__traceback__)
        exit_code = EXIT_INTERRUPTED if isinstance(error, KeyboardInterrupt) else EXIT_EXCEPTION
    finally:
        displaced = profiler.displaced()
        stop_failure = _attempt(lambda: profiler.stop(save=False))
    if stop_failure is not None:
        _error("could not stop recording: %s" % stop_failure)

    if failure is not None:
        error_type, error, tb = failure
        tb = _user_traceback(tb)
        try:
            sys.excepthook(error_type, error.with_traceback(tb), tb)
        except BaseException:
            traceback.print_exception(error_type, error, tb)
        failure = None
        del error, tb
    try:
        sys.stdout.flush()
    except Exception:
        pass
    try:
        _wait_for_threads()
    except KeyboardInterrupt:
        exit_code = exit_code or EXIT_INTERRUPTED

    from sarn import db

    where = _display_path(profiler.db_path, start_dir)
    document = None
    try:
        document = profiler.take_trace_document()
        progress = _Progress("saving the trace", document.size)
        try:
            # A child made by os.fork() that came back here: its trace is linked to its parent's.
            db.save_trace_in_sqlite(profiler.db_path, profiler.trace_id, timeout=config["sqlite_busy_timeout"],
                                    msgpack=document, progress=progress, meta=getattr(profiler, "child_meta", None),
                                    label=profiler.label)
        finally:
            progress.clear()
        info = db.get_trace_info(profiler.db_path, profiler.trace_id, timeout=config["sqlite_busy_timeout"])
    except db.SarnDbError as error:
        kept = _keep_unsaved(document, profiler.db_path, profiler.trace_id) if document is not None else None
        if kept is None:
            _error("could not save the trace of %s: %s" % (label, error))
        else:
            _error("could not save the trace of %s: %s; it is kept in %s (store it with: sarn import %s)"
                   % (label, error, _display_path(kept, start_dir), _display_path(kept, start_dir)))
        return exit_code or EXIT_DB
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as error:
        _error("could not save the trace of %s: %s: %s" % (label, type(error).__name__, error))
        return exit_code or EXIT_INTERNAL
    frames = info.frame_count or 0
    details = "%d frame%s" % (frames, "" if frames == 1 else "s")
    if info.thread_count and info.thread_count > 1:
        details += ", %d threads" % info.thread_count
    unrecorded = document.facts.get("unrecorded_threads", 0) if hasattr(document, "facts") else 0
    if unrecorded:
        details += "; %d thread%s ran unrecorded (record them with --threads)" % (
            unrecorded, "" if unrecorded == 1 else "s")
    if profiler.children:
        family = _child_traces_saved(profiler.db_path, info.id, config["sqlite_busy_timeout"])
        if family:
            details += "; %d child trace%s" % (family, "" if family == 1 else "s")
    if displaced:
        details += "; recording stopped early: the program replaced the profile function " \
                   "(sys.setprofile, or a tool such as cProfile or a debugger)"
    sys.stderr.write("sarn: recorded %s into %s as %s (%s)\n" % (label, where, info.id, details))
    return exit_code


def _child_traces_saved(db_path: str, trace_id: str, timeout: float) -> int:
    """How many traces of child processes (and of their children) are saved
    so far under ``trace_id``; children still running save theirs later."""
    from sarn import db

    try:
        return len(db.descendants(db.list_traces(db_path, timeout=timeout), trace_id))
    except db.SarnDbError:
        return 0


def _unsaved_folder(db_path: str) -> str:
    return os.path.join(os.path.dirname(os.path.abspath(db_path)), "unsaved")


def _keep_unsaved(document: Any, db_path: str, trace_id: str) -> Optional[str]:
    """Writes a trace that the database refused (bytes, or a document taken
    from the recorder) to a file beside it, so that nothing recorded is lost;
    the file's path, or None if that failed too."""
    path = os.path.join(_unsaved_folder(db_path), trace_id + ".msgpack")
    try:
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path + ".part", "wb") as handle:
            if isinstance(document, bytes):
                handle.write(document)
            else:
                document.rewind()
                for piece in iter(lambda: document.read(4 << 20), b""):
                    handle.write(piece)
        os.replace(path + ".part", path)
    except (OSError, ValueError):
        return None
    return path


def _cmd_import(namespace: argparse.Namespace) -> int:
    """Stores each file given, and says what became of it; the exit code of
    the first that failed."""
    from sarn.web.share.errors import ShareError
    from sarn.web.share.importing import import_file

    config = _config(namespace.db)
    where = _display_path(config["db_path"])
    code = EXIT_OK
    for path in namespace.files:
        try:
            done = _db_call(import_file, path, config["db_path"], timeout=config["sqlite_busy_timeout"],
                            replace=namespace.replace)
        except ShareError as error:
            _error(str(error))
            code = code or (EXIT_USAGE if error.usage else EXIT_DB)
            continue
        except _Failure as failure:
            _error("%s: %s" % (path, failure))
            code = code or failure.code
            continue
        if done.stored:
            sys.stderr.write("sarn: stored %s into %s as %s\n" % (path, where, done.trace_id))
        else:
            sys.stderr.write("sarn: %s: trace %s is already stored in %s; nothing to do\n"
                             % (path, done.trace_id, where))
    return code


# --------------------------------------------------------------------------
# sarn traces / show / export


def _local_time(value: Optional[float]) -> str:
    import datetime

    if value is None:
        return "?"
    try:
        return datetime.datetime.fromtimestamp(value).strftime("%Y-%m-%d %H:%M:%S")
    except (OverflowError, OSError, ValueError):
        return "?"


def _what(row: Any) -> str:
    """The label, and for a request its status, for a test its outcome, and its duration."""
    text = row.label or ""
    meta = row.meta or {}
    if meta.get("status") is not None:
        text += "  %s" % meta["status"]
    elif isinstance(meta.get("outcome"), str):
        text += "  %s" % meta["outcome"]
    if isinstance(meta.get("duration"), (int, float)):
        from sarn.viewer import format_duration

        text += "  %s" % format_duration(meta["duration"])
    return text


def _queries(row: Any) -> str:
    """The SQL queries of a listed trace and their time ("7 in 2.50 ms"),
    "?" when not known, "" when there were none."""
    if row.sql_count is None:
        return "?"
    if not row.sql_count:
        return ""
    from sarn.viewer import format_duration

    return "%d in %s" % (row.sql_count, format_duration(row.sql_time or 0.0))


def _cmd_traces(namespace: argparse.Namespace) -> int:
    from sarn import db

    config = _config(namespace.db)
    limit = namespace.limit if namespace.limit and namespace.limit > 0 else None
    rows = _db_call(
        db.list_traces,
        config["db_path"],
        limit=None if limit is None else limit + 1,
        timeout=config["sqlite_busy_timeout"],
    )
    more = limit is not None and len(rows) > limit
    rows = rows[:limit] if limit is not None else rows
    depths = [0] * len(rows)
    if namespace.tree:
        rows, depths = _family_order(rows)
    if not rows:
        sys.stdout.write("no traces in %s\n" % _display_path(config["db_path"]))
        return EXIT_OK
    from sarn.viewer import printable

    # The queries' column only when a listed trace made some.
    queries = any(row.sql_count for row in rows)
    table = [("ID", "SAVED", "SOURCE", "FRAMES", "SIZE") + (("SQL",) if queries else ()) + ("WHAT",)]
    for row, depth in zip(rows, depths):
        table.append(
            (
                "  " * depth + printable(row.id),
                _local_time(row.created),
                printable(row.source or "?"),
                "?" if row.frame_count is None else str(row.frame_count),
                _human_size(row.size),
            )
            + ((_queries(row),) if queries else ())
            + (printable(_what(row)),)
        )
    columns = len(table[0]) - 1
    widths = [max(len(line[column]) for line in table) for column in range(columns)]
    lines = []
    for line in table:
        cells = [line[column].ljust(widths[column]) if column < 3 else line[column].rjust(widths[column])
                 for column in range(columns)]
        lines.append("  ".join(cells + [line[-1]]).rstrip())
    if more:
        lines.append("(more traces are stored; --limit 0 lists them all)")
    sys.stdout.write("\n".join(lines) + "\n")
    return EXIT_OK


def _family_order(rows: List[Any]) -> Tuple[List[Any], List[int]]:
    """``rows`` with each trace's child traces right below it, and the depth
    of each: traces whose parent is not listed stay in place, newest first."""
    from sarn import db

    listed = {row.id for row in rows}
    ordered: List[Any] = []
    depths: List[int] = []
    for row in rows:
        if db.parent_of(row) in listed:
            continue
        ordered.append(row)
        depths.append(0)
        for depth, child in db.descendants(rows, row.id):
            ordered.append(child)
            depths.append(depth)
    return ordered, depths


def _started_by(meta: Dict[str, Any]) -> str:
    started = meta.get("started_by") if isinstance(meta.get("started_by"), dict) else {}
    if not started:
        return "started by ?"
    return "started by %s (%s:%s)" % (started.get("function", "?"), _display_path(str(started.get("path", "?"))),
                                      started.get("line", "?"))


def _parent_line(info: Any) -> str:
    """For the trace of a child process: whose child it is, and where it was started."""
    from sarn import db
    from sarn.viewer import printable

    parent = db.parent_of(info)
    if parent is None:
        return ""
    meta = info.meta or {}
    return printable("child of %s, %s, pid %s" % (parent, _started_by(meta), meta.get("pid", "?")))


def _child_lines(config: Dict[str, Any], trace_id: str) -> List[str]:
    """The traces of the child processes of trace ``trace_id``, grouped by the
    call that started them, for the end of ``sarn show``."""
    from sarn import db
    from sarn.viewer import printable

    infos = _db_call(db.list_traces, config["db_path"], timeout=config["sqlite_busy_timeout"])
    full = next((info.id for info in infos if info.id.startswith(trace_id)), trace_id) \
        if trace_id != "latest" else (infos[0].id if infos else trace_id)
    family = db.descendants(infos, full)
    if not family:
        return []
    lines = ["", "child processes: %d trace%s" % (len(family), "" if len(family) == 1 else "s")]
    site = None
    for depth, info in family:
        meta = info.meta or {}
        here = _started_by(meta)
        if depth == 1 and here != site:
            lines.append("  " + printable(here))
            site = here
        lines.append("    " + "  " * (depth - 1) + printable("%s  pid %s  %s" % (info.id, meta.get("pid", "?"), _what(info))))
    return lines


def _use_color(choice: str, stream: Any) -> bool:
    if choice == "always":
        return True
    if choice == "never":
        return False
    if os.environ.get("NO_COLOR") or os.environ.get("TERM") == "dumb":
        return False
    try:
        return bool(stream.isatty())
    except Exception:
        return False


#: What `sarn show` shows by default: levels of calls, calls under each
#: call, and lines per thread.
SHOW_DEPTH = 6
SHOW_CHILDREN = 25
SHOW_LINES = 500
#: Documents at least this big show progress on a terminal while read.
PROGRESS_BYTES = 16 * 1024 * 1024


def _is_terminal(stream: Any) -> bool:
    try:
        return bool(stream.isatty())
    except Exception:
        return False


class _Progress:
    """A progress bar on standard error (tqdm: bytes done, rate, time left)
    for work on a big document, on a terminal only; gone when done."""

    def __init__(self, what: str, total: Optional[int]) -> None:
        self.bar: Any = None
        if total and total >= PROGRESS_BYTES and _is_terminal(sys.stderr):
            from tqdm import tqdm

            self.bar = tqdm(total=total, desc="sarn: " + what, unit="B", unit_scale=True, unit_divisor=1024,
                            leave=False, file=sys.stderr, dynamic_ncols=True)

    def __call__(self, done: int) -> None:
        if self.bar is not None:
            self.bar.update(min(done, self.bar.total) - self.bar.n)

    def clear(self) -> None:
        if self.bar is not None:
            self.bar.close()
            self.bar = None


def _open_trace(config: Dict[str, Any], trace_id: str) -> Any:
    from sarn import db

    return _db_call(db.open_trace, config["db_path"], trace_id, timeout=config["sqlite_busy_timeout"])


class _Pager:
    """Standard output, through ``$PAGER`` (``less -FRX``) on a terminal."""

    def __init__(self, wanted: bool) -> None:
        self.process: Any = None
        self.out: Any = sys.stdout
        if not wanted or not _is_terminal(sys.stdout):
            return
        import shlex
        import subprocess

        command = os.environ.get("PAGER") or "less"
        environment = dict(os.environ)
        environment.setdefault("LESS", "FRX")
        try:
            self.process = subprocess.Popen(shlex.split(command), stdin=subprocess.PIPE, env=environment,
                                            universal_newlines=True, errors="backslashreplace")
        except (OSError, ValueError):
            return
        self.out = self.process.stdin

    def write(self, text: str) -> bool:
        """False once the pager has gone (the reader quit it)."""
        try:
            self.out.write(text)
        except (BrokenPipeError, OSError):
            if self.process is None:
                raise
            return False
        return True

    def close(self) -> None:
        if self.process is None:
            return
        try:
            self.out.close()
        except (BrokenPipeError, OSError):
            pass
        self.process.wait()


# Characters of `sarn show` written to the pager at once: a write per line
# costs more than making the line, for the hundreds of thousands of `--all`.
_CHARS_A_WRITE = 1 << 16


def _write_lines(pager: "_Pager", blocks: Any, progress: "_Progress") -> bool:
    """Writes the blocks of lines (the progress line cleared before the
    first); False when the pager went before the end."""
    batch: List[str] = []
    size = 0
    first = True
    for block in blocks:
        if first:
            progress.clear()
            first = False
        batch.append(block)
        size += len(block)
        if size >= _CHARS_A_WRITE:
            if not pager.write("\n".join(batch) + "\n"):
                return False
            batch.clear()
            size = 0
    return not batch or pager.write("\n".join(batch) + "\n")


def _cmd_show(namespace: argparse.Namespace) -> int:
    import shutil

    from sarn import viewer

    config = _config(namespace.db)
    for option in ("depth", "children", "lines"):
        if getattr(namespace, option) is not None and getattr(namespace, option) < 1:
            raise _Failure("--%s must be 1 or more" % option, EXIT_USAGE)
    if namespace.all:
        limits = (namespace.depth, namespace.children, namespace.lines)
    else:
        limits = (namespace.depth if namespace.depth is not None else (None if namespace.filter else SHOW_DEPTH),
                  namespace.children or SHOW_CHILDREN, namespace.lines or SHOW_LINES)
    pager = _Pager(namespace.pager)
    color = _use_color(namespace.color, sys.stdout)
    width = shutil.get_terminal_size().columns if _is_terminal(sys.stdout) else None
    try:
        with _open_trace(config, namespace.trace_id) as stream:
            progress = _Progress("reading the trace", getattr(stream, "size", None))
            info = getattr(stream, "info", None)
            # Opened again only to split the trace into asyncio tasks, when it
            # names more than one: the same trace, whatever "latest" is then.
            again = info.id if info is not None else namespace.trace_id
            head = True
            if info is not None:
                # Said at once; the rest of the head is known once the document is read.
                pager.write(viewer.head_line(info.id, info.source, info.started, color) + "\n")
                parent = _parent_line(info)
                if parent:
                    pager.write(parent + "\n")
                pager.out.flush()
                head = "rest"
            try:
                lines = viewer.render_blocks(stream, depth=limits[0], children=limits[1], lines=limits[2],
                                             filter=namespace.filter, color=color, summary=namespace.summary,
                                             width=width, progress=progress, head=head, full=namespace.all,
                                             tasks=namespace.tasks, reopen=lambda: _open_trace(config, again))
                if _write_lines(pager, lines, progress):
                    full_id = info.id if info is not None else namespace.trace_id
                    for line in _child_lines(config, full_id):
                        if not pager.write(line + "\n"):
                            break
            finally:
                progress.clear()
    except viewer.TraceFormatError as error:
        pager.close()
        raise _Failure("trace %s: %s" % (namespace.trace_id, error), EXIT_DB) from None
    pager.close()
    return EXIT_OK


def _cmd_export(namespace: argparse.Namespace) -> int:
    from sarn import viewer
    from sarn.web.share import export
    from sarn.web.share.errors import ShareError

    config = _config(namespace.db)
    form = export.format_for(namespace.format, namespace.output)
    try:
        with _open_trace(config, namespace.trace_id) as stream:
            progress = _Progress("exporting the trace", getattr(stream, "size", None))
            try:
                told = export.export(stream, form, namespace.output, indent=namespace.indent, progress=progress)
            finally:
                progress.clear()
    except viewer.TraceFormatError as error:
        raise _Failure("trace %s: %s" % (namespace.trace_id, error), EXIT_DB) from None
    except ShareError as error:
        raise _Failure(str(error), EXIT_USAGE if error.usage else EXIT_DB) from None
    if told:
        sys.stderr.write("sarn: %s\n" % told)
    return EXIT_OK


def _cmd_view(namespace: argparse.Namespace) -> int:
    from sarn.web.server import make_server

    config = _config(namespace.db)
    try:
        server = make_server(config["db_path"], namespace.host, namespace.port)
    except OSError as error:
        raise _Failure("cannot listen on %s port %d: %s" % (namespace.host, namespace.port, error), EXIT_USAGE) from None
    where = _display_path(config["db_path"])
    sys.stdout.write("sarn: serving the traces of %s at %s (Ctrl-C stops)\n" % (where, server.url))
    if server.allowed_hosts is None:
        sys.stdout.write("sarn: listening on every interface: anyone who can reach it sees the recorded values\n")
    sys.stdout.flush()
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()
    return EXIT_OK


def _cmd_diff(namespace: argparse.Namespace) -> int:
    from sarn import viewer
    from sarn.web.compare.align import Options
    from sarn.web.compare.command import parse_time_threshold, run_diff, traces_of_test

    config = _config(namespace.db)
    timeout = config["sqlite_busy_timeout"]
    if namespace.test is not None and (namespace.a or namespace.b):
        raise _Failure("give either two traces or --test, not both", EXIT_USAGE)
    if namespace.test is None and not (namespace.a and namespace.b):
        raise _Failure("give two traces to compare (or --test NODE_ID)", EXIT_USAGE)
    if namespace.context < 0:
        raise _Failure("--context must be 0 or more", EXIT_USAGE)
    try:
        time = parse_time_threshold(namespace.time) if namespace.time else None
    except ValueError as error:
        raise _Failure("--time: %s" % error, EXIT_USAGE) from None
    a, b = (namespace.a, namespace.b) if namespace.test is None else \
        _db_call(traces_of_test, config["db_path"], namespace.test, timeout)
    try:
        return _db_call(run_diff, config["db_path"], a, b, sys.stdout.write, ignore=namespace.ignore,
                        options=Options(locals=namespace.locals, time=time), context=namespace.context,
                        color=_use_color(namespace.color, sys.stdout), as_json=namespace.json, timeout=timeout)
    except viewer.TraceFormatError as error:
        raise _Failure(str(error), EXIT_DB) from None


def _cmd_find(namespace: argparse.Namespace) -> int:
    from sarn import viewer
    from sarn.web.compare.search import SearchError, run_find

    config = _config(namespace.db)
    try:
        return _db_call(run_find, config["db_path"], namespace, sys.stdout, timeout=config["sqlite_busy_timeout"])
    except SearchError as error:
        raise _Failure(str(error), EXIT_USAGE) from None
    except viewer.TraceFormatError as error:
        raise _Failure(str(error), EXIT_DB) from None


# --------------------------------------------------------------------------
# Entry point


def _prepare_streams() -> None:
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.reconfigure(errors="backslashreplace")  # type: ignore[union-attr]
        except Exception:
            pass


def _dispatch(arguments: List[str]) -> int:
    if arguments and arguments[0] == "run":
        return _cmd_run(arguments[1:])
    parser = _main_parser()
    namespace = parser.parse_args(arguments)
    if namespace.command is None:
        parser.print_help(sys.stderr)
        return EXIT_USAGE
    if namespace.command == "traces":
        return _cmd_traces(namespace)
    if namespace.command == "show":
        return _cmd_show(namespace)
    if namespace.command == "export":
        return _cmd_export(namespace)
    if namespace.command == "view":
        return _cmd_view(namespace)
    if namespace.command == "diff":
        return _cmd_diff(namespace)
    if namespace.command == "find":
        return _cmd_find(namespace)
    if namespace.command == "import":
        return _cmd_import(namespace)
    parser.error("unknown command %r" % namespace.command)
    return EXIT_USAGE


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the ``sarn`` command with ``argv`` (default: ``sys.argv[1:]``) and
    return its exit code."""
    arguments = list(sys.argv[1:] if argv is None else argv)
    _prepare_streams()
    try:
        return _dispatch(arguments)
    except _Failure as failure:
        _error(str(failure))
        return failure.code
    except SystemExit as exit:  # from argparse: usage errors, --help, --version
        code = exit.code
        return code if isinstance(code, int) else (0 if code is None else EXIT_USAGE)
    except KeyboardInterrupt:
        sys.stderr.write("sarn: interrupted\n")
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader went away (``sarn show | head``); stop quietly.
        try:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
        except Exception:
            pass
        return EXIT_OK
    except Exception as error:
        if os.environ.get("SARN_DEBUG"):
            traceback.print_exc()
        _error("internal error: %s: %s (set SARN_DEBUG=1 to see where)" % (type(error).__name__, error))
        return EXIT_INTERNAL
