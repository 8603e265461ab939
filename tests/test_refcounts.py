"""What the profiler holds and that it lets go: frames, plugin callables and
contexts, per-event temporaries, the host object and the instance itself."""

import gc
import sys
import threading
import weakref

import pytest

import sarn.serialize
from sarn import _sarn
from core_support import Host, no_profile_left, plugins, record, simple_dump, trace  # noqa: F401


class Token:
    pass


class Context(dict):
    pass


class Payload(bytearray):
    pass


def alive(ref):
    gc.collect()
    return ref() is not None


@pytest.fixture
def dumps(monkeypatch, plugins):
    """Host serialisers that keep nothing; `dumps[0]` may be replaced."""
    chosen = [simple_dump]
    for name in ("dump_msgpack", "dump_msgpack_lightweight_repr"):
        monkeypatch.setattr(sarn.serialize, name, lambda value: chosen[0](value))
    return chosen


@pytest.fixture
def weak_plugin(monkeypatch, dumps):
    """Weak references to a plugin's callables and context, which only the
    profiler holds once loading is over, and to what its `process` returned."""
    refs = {"results": []}

    def load_plugin_data(config):
        def build_context(config):
            context = Context()
            refs["context"] = weakref.ref(context)
            return context

        def process(frame, event, arg, context):
            result = Context(extra=1)
            refs["results"].append(weakref.ref(result))
            return result

        spec = {"co_names": ["work"], "path_fragment": "", "call_type": "c", "return_type": "r",
                "call": lambda *args: True, "process": process, "build_context": build_context}
        refs.update((key, weakref.ref(spec[key])) for key in ("call", "process", "build_context"))
        return [spec]

    monkeypatch.setattr("sarn.plugins.load_plugin_data", load_plugin_data)
    return refs


def work():
    return 1


def left_open(refs):
    token = Token()
    refs.append(weakref.ref(token))
    _sarn.register_noop_profiler()  # the return of this frame is never seen


def closed(refs):
    token = Token()
    refs.append(weakref.ref(token))


def drop(host):
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
        def run_worker():
            worker = threading.Thread(target=scenario)
            worker.start()
            worker.join()
        host = record(run_worker, Host({"threading": True}))
    else:
        host = record(scenario)
    closed_token, open_token = refs
    assert not alive(closed_token)  # popped on its return
    assert alive(open_token)  # still on the stack, even once its thread has ended
    drop(host)
    assert not alive(open_token)


def test_plugins_are_released_with_the_profiler(weak_plugin):
    host = record(work)
    assert [r["type"] for r in trace(host)["frames_of_interest"]] == ["c", "frame", "frame", "r"]
    assert [alive(ref) for ref in weak_plugin.pop("results")] == [False, False]
    assert not alive(weak_plugin.pop("build_context"))  # needed only while loading
    assert all(alive(ref) for ref in weak_plugin.values())
    drop(host)
    assert not any(alive(ref) for ref in weak_plugin.values())


def test_failed_build_releases_what_it_took(weak_plugin):
    with pytest.raises(TypeError):
        _sarn.register_profiler(Host(source=None))
    weak_plugin.pop("results")
    assert len(weak_plugin) == 4 and not any(alive(ref) for ref in weak_plugin.values())


@pytest.mark.parametrize("kept_by", [None, "hook", "threading", "host"])
def test_instance_lives_while_referenced(weak_plugin, kept_by):
    host = Host({"threading": True})
    _sarn.register_profiler(host)
    if kept_by != "hook":
        _sarn.register_noop_profiler()
    if kept_by != "threading":
        threading.setprofile(None)
    if kept_by != "host":
        del host.rust_profiler
    assert alive(weak_plugin["context"]) == (kept_by is not None)


def stops_inside(host):
    assert host.rust_profiler is not None
    _sarn.register_noop_profiler()  # the recording ends inside a recorded frame


def record_in_a_cycle(through, refs):
    host = Host()
    _sarn.register_profiler(host)
    if through == "open frame":
        stops_inside(host)
    else:
        _sarn.register_noop_profiler()
        refs["context"]()["host"] = host


@pytest.mark.parametrize("through", ["open frame", "plugin context"])
def test_cycles_through_the_instance_are_collected(weak_plugin, through):
    record_in_a_cycle(through, weak_plugin)
    assert not alive(weak_plugin["context"])


def test_host_and_config_are_not_kept(plugins):
    config = Context()
    host = Host(config)
    host_ref, config_ref = weakref.ref(host), weakref.ref(config)
    profiler = record(lambda: None, host).rust_profiler
    del host, config
    assert not alive(host_ref) and not alive(config_ref)
    assert profiler.build_trace()[:1] == b"\x88"


def make_token():
    return Token()


def test_event_temporaries_are_released(dumps):
    payloads, returned = [], []

    def dump(value):
        payload = Payload(simple_dump(value))
        payloads.append(weakref.ref(payload))
        return payload

    dumps[0] = dump
    profiler = record(lambda: returned.append(weakref.ref(make_token()))).rust_profiler
    assert len(payloads) == 8  # argument and locals of four events
    assert not alive(returned[0]) and not any(alive(ref) for ref in payloads)

    arguments = [Token(), Token(), Token()]
    before = [sys.getrefcount(a) for a in arguments]
    profiler.register_threading_profiler(*arguments)
    sys.setprofile(None)
    with pytest.raises(TypeError):
        profiler.register_threading_profiler(*arguments[:2])
    profiler(*arguments)  # as a profile function, outside any event
    with pytest.raises(TypeError):
        profiler(*arguments[:2])
    assert [sys.getrefcount(a) for a in arguments] == before


def test_profiler_dropped_by_its_own_plugin_survives_the_event(plugins):
    # A plugin that stops recording and drops the last reference to the
    # profiler while the profiler is handling the event that called it.
    host = Host()

    def stop_recording(frame, event, arg, context):
        _sarn.register_noop_profiler()
        del host.rust_profiler
        return {}

    plugins.append({"co_names": ["target"], "path_fragment": "", "call_type": "c",
                    "return_type": "r", "process": stop_recording})

    def target():
        return 1

    def scenario():
        target()

    record(scenario, host)
    assert not hasattr(host, "rust_profiler")


def test_name_memos_keep_no_class_and_let_go_of_names(dumps, tmp_path):
    """What kept frames' names are made of is remembered without keeping a
    class alive, and the remembered names go with the profiler."""
    import inspect

    module_name = "".join(["dynamic", "_module"])  # a str object of this test's own
    # What the count reads for a local alone differs between interpreters
    # (3.14 borrows an argument's reference): compared with itself.
    name_refs_alone = sys.getrefcount(module_name)
    namespace = {"__name__": module_name}
    exec(compile("class Dynamic:\n    def method(self):\n        return 1\n", str(tmp_path / "dyn.py"), "exec"),
         namespace)
    lookup_refs = sys.getrefcount(inspect.getattr_static)
    instance = namespace["Dynamic"]()
    profiler = record(lambda: (instance.method(), instance.method())).rust_profiler
    assert [r["qualname"] for r in trace_frames(profiler, "method")] == ["dynamic_module.Dynamic.method"] * 4
    cls = weakref.ref(namespace["Dynamic"])
    del instance, namespace
    assert not alive(cls)
    del profiler
    gc.collect()
    # Counted outside the asserts, whose rewriting holds references of its own.
    name_refs, now_lookup_refs = sys.getrefcount(module_name), sys.getrefcount(inspect.getattr_static)
    assert name_refs == name_refs_alone
    assert now_lookup_refs == lookup_refs


def test_code_objects_are_held_until_the_profiler_goes(dumps, tmp_path):
    """The thread's caches of lines and of records' first fields hold the
    code objects of kept frames, and let go of them with the profiler."""
    namespace = {"__name__": "held_code"}
    exec(compile("def f(n):\n    return n\n", str(tmp_path / "held.py"), "exec"), namespace)
    code = namespace["f"].__code__
    refs_alone = sys.getrefcount(code)
    profiler = record(lambda: [namespace["f"](n) for n in range(3)]).rust_profiler
    assert len(trace_frames(profiler, "f")) == 6
    assert sys.getrefcount(code) > refs_alone
    del profiler
    gc.collect()
    refs_after = sys.getrefcount(code)
    assert refs_after == refs_alone


def trace_frames(profiler, co_name):
    from recording_support import decode, frames
    return frames(decode(profiler.build_trace()), co_name)


@pytest.mark.skipif(sys.version_info < (3, 12), reason="sys.monitoring is new in 3.12")
def test_monitoring_callbacks_and_profiler_go_with_the_recording(weak_plugin):
    """The registered callables and the instance that the session holds (its
    plugin context shows it alive) are released when the recording stops."""
    host = Host({"engine": "monitoring"})
    _sarn.register_profiler(host)
    [tool] = [i for i in range(6) if sys.monitoring.get_tool(i) == "sarn"]
    start = sys.monitoring.events.PY_START
    callback = sys.monitoring.register_callback(tool, start, None)
    sys.monitoring.register_callback(tool, start, callback)
    callback_ref = weakref.ref(callback)
    del callback, host.rust_profiler
    assert alive(callback_ref) and alive(weak_plugin["context"])  # held by the session only
    _sarn.register_noop_profiler()
    assert not alive(callback_ref) and not alive(weak_plugin["context"])
