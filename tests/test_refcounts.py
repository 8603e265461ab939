"""What the profiler holds, and that it lets go: frames, plugin callables and
contexts, per-event temporaries, the host object and the instance itself."""

import gc
import sys
import threading
import weakref

import pytest

from sarn import _sarn
import sarn.serialize
from core_support import Host, no_profile_left, plugins, record, simple_dump, trace  # noqa: F401


class Token:
    pass


@pytest.fixture
def dumps(monkeypatch, plugins):
    """Host serialisers that keep nothing; `dumps[0]` may be replaced."""
    chosen = [simple_dump]
    for name in ("dump_msgpack", "dump_msgpack_lightweight_repr"):
        monkeypatch.setattr(sarn.serialize, name, lambda value: chosen[0](value))
    return chosen


class Context(dict):
    pass


class Payload(bytearray):
    pass


def alive(ref):
    gc.collect()
    return ref() is not None


def work():
    return 1


def left_open(refs):
    token = Token()
    refs.append(weakref.ref(token))
    sys.setprofile(None)  # the return of this frame is never seen


def closed(refs):
    token = Token()
    refs.append(weakref.ref(token))


def drop(host):
    """Removes every reference to the host's profiler instance but the host's own, then that."""
    _sarn.register_noop_profiler()
    threading.setprofile(None)
    del host.rust_profiler


@pytest.mark.parametrize("on_thread", [False, True])
def test_open_frames_are_held_until_the_profiler_goes(dumps, on_thread):
    refs = []

    def scenario():
        closed(refs)
        left_open(refs)

    if on_thread:
        host = Host({"threading": True})
        _sarn.register_profiler(host)
        sys.setprofile(None)
        worker = threading.Thread(target=scenario)
        worker.start()
        worker.join()
        del worker
    else:
        host = record(scenario)
    closed_token, open_token = refs
    assert not alive(closed_token)  # popped from the stack on its return
    assert alive(open_token)  # its frame is still on the (ended) thread's stack
    drop(host)
    assert not alive(open_token)


def weak_plugin(refs):
    """A plugin specification whose callables and context can only be reached
    through the profiler once loading is over."""

    def build_context(config):
        context = Context()
        refs["context"] = weakref.ref(context)
        return context

    def call(frame, event, arg, context):
        return True

    def process(frame, event, arg, context):
        result = Context(extra=1)
        refs.setdefault("results", []).append(weakref.ref(result))
        return result

    refs.update(call=weakref.ref(call), process=weakref.ref(process), build_context=weakref.ref(build_context))
    return {"co_names": ["work"], "path_fragment": "", "call_type": "c", "return_type": "r",
            "call": call, "process": process, "build_context": build_context}


@pytest.fixture
def weak_plugins(monkeypatch, dumps):
    refs = {}
    monkeypatch.setattr("sarn.plugins.load_plugin_data", lambda config: [weak_plugin(refs)])
    return refs


def test_plugins_are_released_with_the_profiler(weak_plugins):
    host = record(work)
    assert [r["type"] for r in trace(host)["frames_of_interest"]] == ["c", "frame", "frame", "r"]
    assert [alive(ref) for ref in weak_plugins.pop("results")] == [False, False]
    assert not alive(weak_plugins.pop("build_context"))  # needed only while loading
    assert all(alive(ref) for ref in weak_plugins.values())
    drop(host)
    assert not any(alive(ref) for ref in weak_plugins.values())


def test_failed_build_releases_what_it_took(weak_plugins):
    host = Host(source=None)
    with pytest.raises(TypeError):
        _sarn.register_profiler(host)
    assert set(weak_plugins) == {"context", "call", "process", "build_context"}  # loading ran
    assert not any(alive(ref) for ref in weak_plugins.values())


@pytest.mark.parametrize("kept_by", [None, "hook", "threading", "host"])
def test_instance_lives_while_referenced(weak_plugins, kept_by):
    host = Host({"threading": True})
    _sarn.register_profiler(host)
    context = weak_plugins["context"]
    if kept_by != "hook":
        _sarn.register_noop_profiler()
    if kept_by != "threading":
        threading.setprofile(None)
    if kept_by != "host":
        del host.rust_profiler
    assert alive(context) == (kept_by is not None)


def stops_inside(host):
    assert host.rust_profiler is not None
    _sarn.register_noop_profiler()  # ends the recording inside a recorded frame


def record_in_a_cycle(through, refs):
    host = Host()
    _sarn.register_profiler(host)
    if through == "open frame":
        stops_inside(host)
    else:
        _sarn.register_noop_profiler()
        refs["context"]()["host"] = host


@pytest.mark.parametrize("through", ["open frame", "plugin context"])
def test_cycles_through_the_instance_are_collected(weak_plugins, through):
    record_in_a_cycle(through, weak_plugins)
    assert not alive(weak_plugins["context"])


def test_host_and_config_are_not_kept(plugins):
    config = Context()
    host = Host(config)
    host_ref, config_ref = weakref.ref(host), weakref.ref(config)
    _sarn.register_profiler(host)
    sys.setprofile(None)
    profiler = host.rust_profiler
    del host, config
    assert not alive(host_ref) and not alive(config_ref)
    assert profiler.build_trace()[:1] == b"\x88"


def make_token():
    return Token()


def test_event_temporaries_are_released(dumps):
    refs = []

    def dump(value):
        payload = Payload(simple_dump(value))
        refs.append(weakref.ref(payload))
        return payload

    dumps[0] = dump
    returned = []
    host = record(lambda: returned.append(weakref.ref(make_token())))
    assert len(refs) == 8  # "arg" and locals of four events
    assert not alive(returned[0]) and not any(alive(ref) for ref in refs)
    assert host.rust_profiler is not None

    profiler = host.rust_profiler
    arguments = [Token(), Token(), Token()]
    before = [sys.getrefcount(a) for a in arguments]
    profiler.register_threading_profiler(*arguments)
    sys.setprofile(None)
    with pytest.raises(TypeError):
        profiler.register_threading_profiler(*arguments[:2])
    assert [sys.getrefcount(a) for a in arguments] == before
