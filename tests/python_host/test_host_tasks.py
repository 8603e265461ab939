"""asyncio tasks: each record placed in the task that ran it, read back by
``sarn show``, the Trace Event export and the trace page."""

import io
import os
import subprocess
import sys

import msgpack
import pytest

from sarn import cli, db, viewer
from sarn.web import chrome, tasks
from sarn.web.model import TraceModel

GATHER = """\
import asyncio


async def fetch(name, delay):
    await asyncio.sleep(delay)
    return parse(name)


def parse(name):
    return name.upper()


async def worker(name, delays):
    results = []
    for delay in delays:
        results.append(await fetch(name, delay))
    return results


async def main():
    return await asyncio.gather(
        worker("a", [0.01, 0.04]),
        worker("b", [0.02]),
        asyncio.ensure_future(worker("c", [0.005, 0.005])),
    )


print(asyncio.run(main()))
"""

WAIT_FOR = """\
import asyncio


async def slow():
    await asyncio.sleep(0.01)
    await asyncio.sleep(5)
    return "late"


def handled():
    return "timed out"


async def main():
    try:
        return await asyncio.wait_for(asyncio.ensure_future(slow()), 0.1)
    except asyncio.TimeoutError:
        return handled()


print(asyncio.run(main()))
"""

TASK_GROUP = """\
import asyncio


async def ok(n):
    await asyncio.sleep(0.5)
    return n


async def bad():
    await asyncio.sleep(0.01)
    raise ValueError("broken")


def report(group):
    return len(group.exceptions)


async def main():
    try:
        async with asyncio.TaskGroup() as group:
            group.create_task(ok(1), name="fine")
            group.create_task(bad(), name="failing")
    except* ValueError as group:
        report(group)


asyncio.run(main())
"""

ASYNC_GENERATOR = """\
import asyncio


async def ticks(count):
    for number in range(count):
        await asyncio.sleep(0.005)
        yield number


async def consume(name):
    return [number async for number in ticks(2)]


async def main():
    return await asyncio.gather(consume("x"), consume("y"))


print(asyncio.run(main()))
"""

PLAIN = """\
def square(n):
    return n * n


print([square(n) for n in range(3)])
"""


def _environment():
    env = dict(os.environ, PYTHONPATH="")
    env.pop("SARN_PARENT", None)
    return env


def sarn(folder, *arguments):
    done = subprocess.run([sys.executable, "-m", "sarn"] + list(arguments), cwd=str(folder), env=_environment(),
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout


def recorded(folder, source):
    """The stored document of ``source`` run under ``sarn run``."""
    (folder / "program.py").write_text(source)
    sarn(folder, "run", "program.py")
    path = str(folder / ".sarn" / "db.sqlite3")
    return db.load_trace(path, db.list_traces(path)[0].id)


def by_task(data):
    """({task name: Task}, {task name: [(event, function, arguments or value)]}, the thread's own
    calls): every frame record of the main thread, in the task that ran it."""
    document = viewer.decode_document(data)
    (_, _, records), = viewer.thread_records(document)
    own, grouped, splitter = tasks.split_records(records)
    found = {task.name: task for task in splitter.order}
    calls = {}
    for task in splitter.order:
        calls[task.name] = [(record["event"], record["qualname"] or record["co_name"], record["locals"] if record["event"] == "call"
                             else record["arg"])
                            for record in grouped.get(task.key, ()) if record["type"] == "frame"]
    return found, calls, [record["qualname"] for record in own if record["type"] == "frame"]


def names(calls, event="call"):
    return [name for kind, name, _ in calls if kind == event]


def test_gather_places_each_call_in_the_task_that_ran_it(tmp_path):
    data = recorded(tmp_path, GATHER)
    found, calls, own = by_task(data)
    assert own == ["__main__.<module>", "__main__.<module>"]
    assert sorted(found) == ["Task-1", "Task-2", "Task-3", "Task-4"]
    # The gathered workers, each with its own arguments only.
    workers = {calls[name][0][2]["name"]: name for name in found if found[name].coro == "worker"}
    assert sorted(workers) == ["a", "b", "c"]
    for letter, delays in (("a", 2), ("b", 1), ("c", 2)):
        mine = calls[workers[letter]]
        assert {args.get("name") for kind, _, args in mine if kind == "call"} == {letter}
        assert names(mine).count("__main__.parse") == delays
        assert names(mine).count("__main__.worker") == delays + 1  # first start, then one resumption per await
        task = found[workers[letter]]
        assert (task.state, task.steps) == ("done", delays + 1)
        assert task.waited is not None and task.waited > task.ran
    main = found["Task-1"]
    assert (main.coro, main.site, main.state) == ("main", "program.py:28", "done")
    assert names(calls["Task-1"]) == ["__main__.main", "__main__.main"]
    assert {found[name].site for name in workers.values()} == {"program.py:21", "program.py:24"}
    # The awaits interleaved the workers: their steps alternate on the thread.
    document = viewer.decode_document(data)
    entered = [record["name"] for record in document["frames_of_interest"] if record["type"] == "task_enter"]
    firsts = [entered.index(name) for name in workers.values()]
    lasts = [len(entered) - 1 - entered[::-1].index(name) for name in workers.values()]
    assert max(firsts) < min(lasts)


def test_show_prints_one_tree_per_task_and_merges_on_request(tmp_path):
    recorded(tmp_path, GATHER)
    shown = sarn(tmp_path, "show", "--no-pager", "--no-summary")
    heads = [line for line in shown.splitlines() if line.startswith("task ")]
    assert len(heads) == 4
    assert heads[0].startswith("task Task-1 (main), created at program.py:28: 2 steps")
    assert all(head.endswith("; done") for head in heads)
    under_b = shown.split([head for head in heads if "program.py:21" in head][1])[1].split("\n\n")[0]
    assert "worker(name='b'" in under_b and "'a'" not in under_b
    merged = sarn(tmp_path, "show", "--no-pager", "--no-summary", "--no-tasks")
    assert "task Task-" not in merged and "task_enter" not in merged
    assert "worker(name='b'" in merged


@pytest.mark.parametrize("source, opened", [(GATHER, 2), ("print(sum(range(5)))\n", 1)])
def test_show_reads_a_trace_again_only_to_split_its_tasks(tmp_path, monkeypatch, capsys, source, opened):
    recorded(tmp_path, source)
    expected = sarn(tmp_path, "show", "--no-pager", "--color", "never")
    opens = []
    real = db.open_trace
    monkeypatch.setattr(db, "open_trace", lambda *args, **named: opens.append(args) or real(*args, **named))
    monkeypatch.chdir(tmp_path)
    assert cli.main(["show", "--no-pager", "--color", "never"]) == 0
    assert capsys.readouterr().out == expected
    assert len(opens) == opened and all(args[1].startswith("trc_") for args in opens[1:])  # the same trace


def test_a_timed_out_wait_for_shows_the_cancellation_where_it_struck(tmp_path):
    found, calls, _ = by_task(recorded(tmp_path, WAIT_FOR))
    slow = found["Task-2"]
    assert (slow.coro, slow.state, slow.struck, slow.site) == ("slow", "cancelled", "program.py:6", "program.py:16")
    assert names(calls["Task-2"]) == ["__main__.slow"] * 3
    assert calls["Task-2"][-1][0] == "return"
    # The handler ran in the waiting task, not in the cancelled one.
    assert "__main__.handled" in names(calls["Task-1"])
    assert found["Task-1"].state == "done"


@pytest.mark.skipif(sys.version_info < (3, 11), reason="TaskGroup is new in 3.11")
def test_a_task_group_with_a_failing_task(tmp_path):
    found, calls, _ = by_task(recorded(tmp_path, TASK_GROUP))
    failing, fine = found["failing"], found["fine"]
    assert (failing.state, failing.error, failing.struck) == ("failed", "ValueError: broken", "program.py:11")
    assert (fine.state, fine.struck) == ("cancelled", "program.py:5")
    assert (failing.site, fine.site) == ("program.py:22", "program.py:21")
    assert names(calls["failing"]) == ["__main__.bad"] * 2
    assert names(calls["fine"]) == ["__main__.ok"] * 2
    assert "__main__.report" in names(calls["Task-1"])


def test_an_async_generator_runs_in_the_task_that_iterates_it(tmp_path):
    found, calls, _ = by_task(recorded(tmp_path, ASYNC_GENERATOR))
    consumers = [name for name in found if found[name].coro == "consume"]
    assert len(consumers) == 2
    for name in consumers:
        inlined = sys.version_info >= (3, 12)  # the comprehension is a frame of its own before
        # (named "<listcomp>" before 3.11, by its qualified name on 3.11)
        shown = {"<listcomp>" if function.endswith("<listcomp>") else function for function in names(calls[name])}
        assert shown == {"__main__.consume", "__main__.ticks"} | (set() if inlined else {"<listcomp>"})
        numbers = {args.get("number") for kind, function, args in calls[name]
                   if kind == "call" and function == "__main__.ticks"}
        assert numbers == {None, 0, 1}  # its start, then its resumptions after each yield
        assert found[name].steps == 3


def test_a_program_without_tasks_has_no_task_records(tmp_path):
    data = recorded(tmp_path, PLAIN)
    document = viewer.decode_document(data)
    assert not [record for record in document["frames_of_interest"] if record["type"] in tasks.TASK_RECORDS]
    assert tasks.count_tasks(data) == 0
    assert "task " not in sarn(tmp_path, "show", "--no-pager", "--no-summary")


def test_each_task_is_a_track_of_its_own_in_the_export_and_a_lane_on_the_page(tmp_path):
    data = recorded(tmp_path, GATHER)
    events = chrome.trace_events(data)["traceEvents"]
    track_names = {event["tid"]: event["args"]["name"] for event in events if event["name"] == "thread_name"}
    spans = {}
    for event in events:
        if event["ph"] == "X":
            spans.setdefault(track_names[event["tid"]], set()).add(event["name"])
    thread = [name for name in track_names.values() if "(" not in name]
    assert spans[thread[0]] == {"__main__.<module>"}
    assert spans["Task-1 (%s)" % thread[0]] == {"__main__.main"}
    assert sum(1 for name in spans if spans[name] == {"__main__.worker", "__main__.fetch", "__main__.parse"}) == 3
    states = [event["args"]["state"] for event in events if event.get("cat") == "task"]
    assert states == ["done"] * 4
    lanes = TraceModel(data).page()["threads"]
    assert [lane.get("task", {}).get("coro") for lane in lanes] == [None, "main", "worker", "worker", "worker"]
    assert all(lane["task"]["thread"] == lanes[0]["name"] for lane in lanes[1:])


@pytest.mark.parametrize("split", [0, 5, 7, 20])
def test_counting_tasks_finds_entries_cut_by_a_read(monkeypatch, split):
    entry = lambda key: msgpack.packb({"task": key})[1:]  # noqa: E731
    data = b"x" * split + entry("t1") + b"\x00" * 3 + entry("t22") + entry("t1")
    monkeypatch.setattr(tasks, "_CHUNK", 8)
    assert tasks.count_tasks(io.BytesIO(data), enough=5) == 2
    assert tasks.count_tasks(data, enough=5) == 2
    assert tasks.count_tasks(io.BytesIO(data)) == 2 and tasks.more_than_one_task(data)


@pytest.mark.parametrize("size", [1, 3, 8, 36, 37, 38, 4096])
def test_a_look_at_the_chunks_a_reader_reads_finds_what_counting_finds(size):
    entry = lambda key: msgpack.packb({"task": key})[1:]  # noqa: E731
    data = (b"x" * 5 + entry("t1") + b"\x00" * 3 + entry("t22") + entry("t1") + b"..\xa4task\xa4t12"
            + entry("t" + "9" * 30) + entry("t333"))
    look = tasks.TaskLook(enough=10)
    for start in range(0, len(data), size):
        look(data[start:start + size])
    assert look.seen == set(tasks._find_task_keys(data)) and len(look.seen) == 4 and look.many


@pytest.mark.parametrize("block", [
    b"\xa4task\xa3t12\xa4task\xa5t1234",
    b"\xa4task\xa4task\xa2t1",  # a key where the value was expected
    b"\xa4task\xa1t\xa4task\xc0\xa4task\xa3x12\xa4task\xa3t1x",  # too short, nil, not "t" and digits
    b"..\xa4task\xa4t12",  # cut by the end of the block
    b"\xa4task",
    b"",
    msgpack.packb([{"task": "t%d" % index, "type": "task_enter"} for index in range(40)]),
], ids=range(7))
def test_the_native_scan_for_task_keys_finds_what_the_python_one_finds(block):
    assert list(tasks._task_keys(block)) == list(tasks._find_task_keys(block))


@pytest.mark.parametrize("shift", [0, 1, 11, 12, 15, 16, 17])
def test_the_native_scan_finds_keys_at_every_place_of_a_long_block(shift):
    """The scan reads 16 places at a time: keys before, across and after
    those steps, near the end, and look-alikes ("\xa4tusk", "\xa4type")."""
    entries = b"".join(msgpack.packb({"task": "t%d" % index, "type": "x"})[1:] + b"\xa4tusk\xa2t9" + b"-" * index
                       for index in range(40))
    block = b"." * shift + entries + msgpack.packb({"task": "t77"})[1:]
    assert list(tasks._task_keys(block)) == list(tasks._find_task_keys(block))
    assert len(list(tasks._task_keys(block))) == 41


def test_a_request_under_uvicorn_holds_the_tasks_it_started(db_path):
    pytest.importorskip("uvicorn", reason="uvicorn cannot be installed for this interpreter")
    import asyncio

    from sarn.integrations import SarnASGI
    from server_support import asgi_server, get, stored

    async def part(name):
        await asyncio.sleep(0.01)
        return name

    async def app(scope, receive, send):
        if scope["type"] != "http":
            return
        body = "".join(await asyncio.gather(part("x"), part("y"))).encode()
        await send({"type": "http.response.start", "status": 200, "headers": [(b"content-type", b"text/plain")]})
        await send({"type": "http.response.body", "body": body})

    with asgi_server(SarnASGI(app, db_path=db_path)) as url:
        assert get(url + "/") == (200, "xy")
        info, = stored(db_path, 1)
    document = viewer.decode_document(db.load_trace(db_path, info.id))
    parts = {}
    for _, _, records in viewer.thread_records(document):
        _, grouped, splitter = tasks.split_records(records)
        for task in splitter.shown():
            if task.coro and task.coro.endswith(".part"):
                arguments = [record["locals"]["name"] for record in grouped[task.key]
                             if record["type"] == "frame" and record["event"] == "call"]
                parts[arguments[0]] = (task, arguments)
    assert sorted(parts) == ["x", "y"]
    for name, (task, arguments) in parts.items():
        assert arguments == [name, name] and task.state == "done"
        assert task.site.split(":")[0].endswith("test_host_tasks.py")


def _record(kind, stamp, **fields):
    return dict(fields, type=kind, timestamp=stamp, thread="MainThread", thread_native_id=1)


def test_steps_cut_by_the_recording_are_told_as_such():
    records = [
        _record("frame", 1.0, event="return", frame_id="f0", path="app.py:3"),  # a step begun before recording
        _record("task_leave", 1.1, task="t1", name="Task-1", state="pending"),
        _record("task_enter", 2.0, task="t1", name="Task-1"),
        _record("frame", 2.1, event="call", frame_id="f1", path="app.py:5"),
        _record("task_leave", 2.5, task="t1", name="renamed", state="pending"),
        _record("task_enter", 3.0, task="t1", name="renamed"),
        _record("frame", 3.1, event="call", frame_id="f2", path="app.py:5"),  # the recording stops here
    ]
    own, grouped, splitter = tasks.split_records(records)
    assert [record["frame_id"] for record in own] == ["f0"]
    assert [record["frame_id"] for record in grouped["t1"]] == ["f1", "f2"]
    task, = splitter.shown()
    assert (task.name, task.steps, task.running) == ("renamed", 2, True)
    assert task.ran == pytest.approx(0.5) and task.waited == pytest.approx(0.5)
    assert task.title().endswith("running when the recording stopped")
