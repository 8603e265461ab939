"""``sarn show``: the call trees of a trace document as text, one per
thread, after its head and (when asked) its summary."""

from __future__ import annotations

from typing import Any, Callable, Dict, Iterator, List, Optional, Tuple

from sarn.web import outside
from sarn.web.document import MAIN_LIST, iter_document, takes_sink
from sarn.web.summary import summary_lines
from sarn.web.tasks import Splitter, TaskLook, more_than_one_task
from sarn.web.terminal_lines import Style, cut_line, fit_to, head_lines, thread_title
from sarn.web.terminal_pass import Limits, NativeHost, Thread, native_threads
from sarn.web.values import printable

__all__ = ["render", "render_lines", "render_blocks"]

# Bytes of lines in one block of render_blocks.
_BLOCK = 1 << 18


def render_lines(
    document: Any,
    *,
    depth: Optional[int] = None,
    filter: Optional[str] = None,
    color: bool = False,
    summary: bool = False,
    children: Optional[int] = None,
    lines: Optional[int] = None,
    width: Optional[int] = None,
    progress: Any = None,
    head: Any = True,
    full: bool = False,
    tasks: Optional[bool] = None,
    reopen: Optional[Callable[[], Any]] = None,
    _blocks: bool = False,
) -> Iterator[str]:
    """The lines of :func:`render` (in blocks for :func:`render_blocks`).
    The document (bytes, a dict, or a binary file such as
    :func:`sarn.db.open_trace` gives) is read once, record by record; what
    is kept in memory is what will be shown.

    ``reopen``, for a file and ``tasks`` None, gives the same document anew
    (a context manager, as :func:`sarn.db.open_trace` gives): the file is
    then looked through for asyncio tasks as it is read, and read again,
    split into tasks, only when it names more than one."""
    return _render(document, depth, filter, color, summary, children, lines, width, progress, head, full, tasks,
                   reopen, _blocks)


def render_blocks(document: Any, **options: Any) -> Iterator[str]:
    """What :func:`render_lines` gives with the same keyword options, in
    blocks of one or more lines joined by newlines (none ends with one): the
    lines of a long tree come from the native pass a block at a time,
    without a Python text per line."""
    return render_lines(document, **options, _blocks=True)


def _render(document: Any, depth: Optional[int], filter: Optional[str], color: bool, summary: bool,
            children: Optional[int], lines: Optional[int], width: Optional[int], progress: Any, head: Any,
            full: bool, tasks: Optional[bool], reopen: Optional[Callable[[], Any]], blocks: bool) -> Iterator[str]:
    style = Style(color)
    display = outside.Display(style, width, full)
    needle = filter.lower() if filter else None
    limits = Limits(depth, children, lines)
    native = needle is None and _ShowPass is not None and takes_sink()
    look = None
    if tasks is None and reopen is not None and hasattr(document, "read"):
        if native:
            look = TaskLook()  # counted as the document is read
        else:
            with reopen() as again:
                tasks = more_than_one_task(again)
    elif tasks is None:
        tasks = _many_tasks(document)
    if native and not tasks:
        text = blocks and width is None
        threads, header, cut = _read_threads_natively(document, progress, limits, display, look, text)
        if look is not None and look.many:
            display = outside.Display(style, width, full)  # its totals counted anew
            with reopen() as again:  # type: ignore[misc]
                threads, header, cut = _read_threads(again, progress, limits, needle, display, True)
    else:
        threads, header, cut = _read_threads(document, progress, limits, needle, display, bool(tasks))
    fit = (lambda line: fit_to(line, width)) if width else (lambda line: line)
    if head:
        for line in head_lines(header, style, first=head != "rest"):
            yield fit(line)
    if cut is not None:
        yield fit(cut_line(cut, style))
    if not threads:
        yield "(no records)"
        return
    every = [each for thread in threads for each in [thread] + thread.tasks]
    if needle is not None and not any(thread.matches for thread in every):
        yield ""
        yield "no call or frame of interest matches %r" % printable(filter)
        return
    if summary:
        for line in summary_lines(every, style, display.totals):
            yield fit(line)
    for thread in threads:
        if needle is not None and not any(each.matches for each in [thread] + thread.tasks):
            continue
        yield ""
        yield fit(style.head + thread_title(thread) + style.reset)
        yield from thread.lines(fit)
        for task in thread.tasks:
            if needle is not None and not task.matches:
                continue
            yield ""
            yield fit(style.head + task.task.title() + style.reset)
            yield from task.lines(fit)


def _many_tasks(document: Any) -> bool:
    """Whether the document, when it is in memory, names more than one
    asyncio task (a file is read once, so it is shown by thread unless the
    caller says otherwise)."""
    if isinstance(document, (bytes, bytearray, memoryview)):
        return more_than_one_task(document)
    if isinstance(document, dict):
        splitter = Splitter()
        for records in [document.get("frames_of_interest")] + list((document.get("frames") or {}).values()):
            for record in records if isinstance(records, list) else ():
                if isinstance(record, dict):
                    splitter.place(record, record.get("thread_native_id"))
        return len(splitter.shown()) > 1
    return False


def _read_threads(document: Any, progress: Any, limits: Limits, needle: Optional[str], display: outside.Display,
                  split: bool = False) -> Tuple[List[Thread], Dict[str, Any], Optional[Dict[str, Any]]]:
    """One pass over the document: its threads (the main list's first), its
    other entries, and the record that says the recording was cut, if any.
    With ``split``, the records of each asyncio task are a tree of their
    own, listed in the thread's ``tasks``."""
    threads: Dict[Any, Thread] = {}
    header: Dict[str, Any] = {}
    cut: Optional[Dict[str, Any]] = None
    splitter = Splitter()

    def new_thread(key: Any, name: Any, fallback: Any) -> Thread:
        thread = threads[key] = Thread(str(name) if name is not None else "thread", key[0], limits, needle,
                                       display.style, display)
        thread.from_main = fallback is MAIN_LIST
        return thread

    for kind, fallback, record in iter_document(document, progress):
        if kind == "header":
            header = record
            break
        if kind != "record":
            continue
        if record.get("type") == "trace_cut":
            cut = record
            continue
        base = (record.get("thread_native_id", fallback), record.get("thread"))
        keep, task = splitter.place(record, base)
        if not keep:
            continue
        owner = threads.get(base) or new_thread(base, record.get("thread"), fallback)
        if split and task is not None:
            key = base + (task.key,)
            thread = threads.get(key)
            if thread is None:
                thread = new_thread(key, task.name, fallback)
                thread.task = task
                owner.tasks.append(thread)
            owner = thread
        owner.add(record)
    for thread in threads.values():
        thread.finish()
    # The main list's threads first, as the document's readers expect.
    ordered = sorted((thread for thread in threads.values() if thread.task is None),
                     key=lambda thread: not thread.from_main)
    for thread in threads.values():
        if thread.native_id is MAIN_LIST:
            thread.native_id = header.get("main_thread_id")
    return ordered, header, cut


def _read_threads_natively(document: Any, progress: Any, limits: Limits, display: outside.Display,
                           look: Any = None, text: bool = False
                           ) -> Tuple[List[Thread], Dict[str, Any], Optional[Dict[str, Any]]]:
    """What :func:`_read_threads` gives, the records handed to the native
    pass as bytes (no filter: the filter reads each record's values). With
    ``text``, each thread's lines stay in the pass, taken from it in blocks."""
    labels = {kind: outside.label(kind) for kind in list(outside.CALLS) + list(outside.ENDS)}
    native = _ShowPass(NativeHost(display.style, display), labels, MAIN_LIST, *limits, text=text)
    header: Dict[str, Any] = {}
    for kind, _, value in iter_document(document, progress, sink=native, look=look):
        if kind == "header":
            header = value
    parts, cut = native.finish()
    threads = native_threads(parts, limits, display.style, display)
    if text:
        for position, thread in enumerate(threads):
            thread.blocks = _blocks_of(native, position)
    ordered = sorted(threads, key=lambda thread: not thread.from_main)
    for thread in ordered:
        if thread.native_id is MAIN_LIST:
            thread.native_id = header.get("main_thread_id")
    return ordered, header, cut


def _blocks_of(native: Any, position: int) -> Callable[[], Iterator[str]]:
    def blocks() -> Iterator[str]:
        while True:
            block = native.text(position, _BLOCK)
            if block is None:
                return
            yield block

    return blocks


try:
    from sarn._serialize import ShowPass as _ShowPass
except ImportError:  # a build without the extension
    _ShowPass = None


def render(
    document: Any,
    *,
    depth: Optional[int] = None,
    filter: Optional[str] = None,
    color: bool = False,
    summary: bool = False,
    children: Optional[int] = None,
    lines: Optional[int] = None,
    width: Optional[int] = None,
    full: bool = False,
    tasks: Optional[bool] = None,
) -> str:
    """The call trees of a trace document as text, one per thread.

    ``depth`` shows only that many levels of calls (below each match, when
    filtering); ``filter`` shows only the calls whose qualified name or path
    holds the text (case-insensitive), with their callers and the calls they
    make; ``children`` and ``lines`` show at most that many calls under each
    call and lines per thread, saying what was left out; ``summary`` puts the
    calls per function, the slowest calls and the deepest path first, and
    the totals of SQL queries, HTTP calls, log records and template renders;
    ``width`` cuts lines to that many characters (an SQL text or a URL to
    what is left of it, unless ``full``); ``color`` adds terminal colours.
    ``tasks`` shows each asyncio task's calls as a tree of its own under its
    thread (None: when the trace has more than one task).
    """
    return "\n".join(render_blocks(document, depth=depth, filter=filter, color=color, summary=summary,
                                    children=children, lines=lines, width=width, full=full, tasks=tasks)) + "\n"
