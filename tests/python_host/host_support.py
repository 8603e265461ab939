"""Synthetic trace documents, built record by record the way the recording core builds them."""

import itertools
import subprocess
import sys
import textwrap

import msgpack

from sarn import db, viewer
from sarn.serialize import dump_msgpack

_ids = itertools.count(1)


def new_frame_id():
    return "frm_%026d" % next(_ids)


class DocumentBuilder:
    """Builds trace documents record by record, in recording order."""

    def __init__(self, trace_id="trc_01TESTTRACE0000000000000000", source="run", main_thread_id=100):
        self.trace_id = trace_id
        self.source = source
        self.main_thread_id = main_thread_id
        self.main = []
        self.threads = {}
        self.clock = 1_700_000_000.0
        self.stacks = {}
        self.calls = {}

    def _tick(self, seconds=0.001):
        self.clock += seconds
        return self.clock

    def _list(self, thread_id):
        if thread_id == self.main_thread_id:
            return self.main
        return self.threads.setdefault(thread_id, [])

    def _site(self, thread_id, skip=None):
        stack = [entry for entry in self.stacks.get(thread_id, []) if entry[0] != skip]
        if not stack:
            return None
        frame_id, line = stack[-1]
        return {"call_frame_id": frame_id, "line_number": line}

    def call(self, qualname, path="app.py:1", thread_id=None, thread="MainThread", line=1, arguments=None, **named):
        """Record a call; returns its frame id. ``line`` is the line the caller is
        at for calls made from inside this frame."""
        thread_id = self.main_thread_id if thread_id is None else thread_id
        frame_id = new_frame_id()
        record = {
            "path": path,
            "co_name": qualname.rpartition(".")[2],
            "qualname": qualname,
            "event": "call",
            "frame_id": frame_id,
            "arg": None,
            "locals": msgpack.unpackb(dump_msgpack(dict(arguments or {}, **named)), strict_map_key=False),
            "thread": thread,
            "thread_native_id": thread_id,
            "timestamp": self._tick(),
            "type": "frame",
            "user_code_call_site": self._site(thread_id),
        }
        self._list(thread_id).append(record)
        self.calls[frame_id] = record
        self.stacks.setdefault(thread_id, []).append((frame_id, line))
        return frame_id

    def ret(self, value=None, thread_id=None, thread="MainThread", seconds=0.001):
        thread_id = self.main_thread_id if thread_id is None else thread_id
        frame_id, _ = self.stacks[thread_id][-1]
        record = dict(self.calls[frame_id])
        record.update(
            event="return",
            arg=msgpack.unpackb(dump_msgpack(value), strict_map_key=False),
            locals={},
            timestamp=self._tick(seconds),
            user_code_call_site=self._site(thread_id, skip=frame_id),
        )
        self._list(thread_id).append(record)
        self.stacks[thread_id].pop()
        return frame_id

    def raise_(self, exception, path=None, thread_id=None, thread="MainThread"):
        """End the current call by ``exception`` (None: the interpreter did
        not say which), leaving its frame at ``path`` ("file:line")."""
        thread_id = self.main_thread_id if thread_id is None else thread_id
        frame_id = self.ret(None, thread_id=thread_id)
        if path is not None:
            self._list(thread_id)[-1]["path"] = path
        value = None if exception is None else msgpack.unpackb(dump_msgpack(exception), strict_map_key=False)
        self._list(thread_id).append({"type": "exception", "frame_id": frame_id, "thread": thread,
                                      "thread_native_id": thread_id, "exception": value})
        return frame_id

    def interest(self, kind, thread_id=None, thread="MainThread", **data):
        thread_id = self.main_thread_id if thread_id is None else thread_id
        record = {
            "frame_id": new_frame_id(),
            "timestamp": self._tick(),
            "thread": thread,
            "thread_native_id": thread_id,
            "user_code_call_site": self._site(thread_id),
            "type": kind,
        }
        record.update(data)
        self._list(thread_id).append(record)

    def operation(self, call_type, end_type=None, seconds=0.001, end=None, started=True, thread_id=None,
                  thread="MainThread", **data):
        """Record what a plugin saw outside the user's code, issued from the
        current call: a call record of ``call_type`` with ``data`` (values as
        they are, already in the serialised shape) and, with ``end_type``, its
        end record ``seconds`` later with the keys of ``end``. ``started``
        False leaves the call record out (recording began in the middle).
        Returns the frame id."""
        thread_id = self.main_thread_id if thread_id is None else thread_id
        frame_id = new_frame_id()
        common = {"frame_id": frame_id, "thread": thread, "thread_native_id": thread_id,
                  "user_code_call_site": self._site(thread_id)}
        if started:
            self._list(thread_id).append(dict(common, timestamp=self._tick(), type=call_type, **data))
        else:
            self._tick()
        if end_type is not None:
            self._list(thread_id).append(dict(common, timestamp=self._tick(seconds), type=end_type, **(end or {})))
        return frame_id

    def document(self):
        return {
            "command_line_args": ["app.py", "--flag"],
            "current_commit_sha": "0123456789abcdef0123456789abcdef01234567",
            "frames": self.threads,
            "frames_of_interest": self.main,
            "main_thread_id": self.main_thread_id,
            "meta": {"version": "0.1.0", "source": self.source, "use_frame_boundaries": True},
            "timestamp": 1_700_000_000.0,
            "trace_id": self.trace_id,
        }

    def pack(self):
        return msgpack.packb(self.document(), use_bin_type=True)


def one_call_document():
    """A document of `app.main` calling `app.take` once: (document, take's
    call record, take's return record), for a test to change before packing."""
    builder = DocumentBuilder()
    builder.call("app.main", path="app.py:1")
    builder.call("app.take", path="app.py:5", line=2)
    builder.ret(None)
    builder.ret(None)
    document = builder.document()
    call, ret = document["frames_of_interest"][1:3]
    return document, call, ret


def show_natively_and_in_python(document, failures=False, **options):
    """What `sarn show` prints of the document through the native pass, and
    through the pass in Python. With `failures`, a failure is shown as its
    repr (the same failure either way)."""
    from sarn.web import terminal

    def shown():
        if not failures:
            return terminal.render(document, **options)
        try:
            return terminal.render(document, **options)
        except Exception as error:
            return repr(error)

    native = shown()
    saved = terminal._ShowPass
    terminal._ShowPass = None
    try:
        return native, shown()
    finally:
        terminal._ShowPass = saved


# What `sarn show` prints of a document, line by line.

def lines_of(document, **options):
    return viewer.render(document, **options).splitlines()


def line_with(lines, text):
    found = [line for line in lines if text in line]
    assert len(found) == 1, (text, lines)
    return found[0]


def indent_of(line):
    return len(line) - len(line.lstrip(" "))


# A program with generators, an exception, a thread, asyncio tasks and a log
# record: the recorded program the native passes are compared on.
PROGRAM = textwrap.dedent('''
    import asyncio
    import logging
    import sys
    import threading

    def numbers(limit):
        for number in range(limit):
            yield number * 2

    async def fetch(value):
        await asyncio.sleep(0)
        return value + 1

    async def gather():
        return [await fetch(index) for index in range(3)]

    def fails(depth):
        if depth == 0:
            raise ValueError("no stock for %d" % depth)
        return fails(depth - 1)

    class Cart:
        size = 3

        def total(self, prices):
            return sum(prices)

    def worker(name):
        return [Cart().total(numbers(4)) for _ in range(3)]

    def main():
        logging.getLogger("shop").warning("stock low")
        total = sum(numbers(5))
        try:
            fails(3)
        except ValueError:
            pass
        thread = threading.Thread(target=worker, args=("one",), name="worker")
        thread.start()
        thread.join()
        asyncio.run(gather())
        for index in range(40):
            Cart().total([index, total])
        sys.exit(0)

    main()
''')



def record_shop(folder):
    """The trace document of PROGRAM, run by `sarn run` in `folder` with its
    threads recorded."""
    (folder / "shop.py").write_text(PROGRAM)
    (folder / "pyproject.toml").write_text("[tool.sarn]\nthreading = true\n")
    db_path = folder / "db.sqlite3"
    subprocess.run([sys.executable, "-m", "sarn", "run", "--db", str(db_path), "shop.py"], cwd=str(folder),
                   check=False, capture_output=True, timeout=120)
    with db.open_trace(db_path, "latest") as stream:
        return stream.read()
