"""Plugins: loading their specifications, and the frames of interest they add."""

import os
import re
import subprocess
import sys
import threading
import time
import types

import pytest

import sarn.plugins
from sarn import _sarn
from recording_support import (HostProfiler, frames, labels, LIBRARY, load_module, payloads, record,
                               trace, unregister)

FRAME_ID = re.compile(r"frm_[0-7][0-9A-HJKMNP-TV-Z]{25}")


def watched():
    return "result"


def run():
    watched()


def spec(**changes):
    """A plugin specification watching `watched`; a change to KeyError removes the key."""
    result = {"co_names": ["watched"], "path_fragment": "", "call_type": "called", "return_type": "returned"}
    result.update(changes)
    return {key: value for key, value in result.items() if value is not KeyError}


def raise_value_error(*args):
    raise ValueError("plugin callback failed")


@pytest.mark.parametrize("specs, error, match", [
    ([spec(subtype=None)], TypeError, "'NoneType' object cannot be converted to 'PyString'"),
    ([spec(events="call")], TypeError, "Can't extract `str` to `Vec`"),
    ([spec(events={"call"})], TypeError, "'set' object cannot be converted to 'Sequence'"),
    ([spec(co_names=["watched", 3])], TypeError, "'int' object cannot be converted to 'PyString'"),
    ([spec(co_names=5)], TypeError, "not iterable"),
    ([spec(call_type=KeyError)], KeyError, "call_type"),
    ([["not", "a", "dict"]], TypeError, "'list' object cannot be converted to 'PyDict'"),
    ([spec(build_context=lambda config: [])], TypeError, "'list' object cannot be converted to 'PyDict'"),
    ([spec(build_context=raise_value_error)], ValueError, "plugin callback failed"),
    ([spec(events=("call",))], None, None),
    ([spec(events=None, call=None, process=None, build_context=None)], None, None),
])
def test_loading_rules(specs, error, match):
    if error is None:
        assert payloads(trace(record(run, specs=specs)))
    else:
        with pytest.raises(error, match=re.escape(match)):
            record(run, specs=specs)


@pytest.mark.parametrize("break_loading, text", [
    (lambda m: m.setattr(sarn.plugins, "load_plugin_data", raise_value_error), "load_plugin_data should be callable: "),
    (lambda m: m.delattr(sarn.plugins, "load_plugin_data"), "load_plugin_data should exist: "),
    (lambda m: m.setattr(sarn.plugins, "load_plugin_data", lambda c: ()), "load_plugin_data should return a list"),
    (lambda m: m.setitem(sys.modules, "sarn.plugins", None), "sarn.plugins should always be importable: "),
])
def test_broken_plugin_module_is_an_internal_failure(monkeypatch, capfd, break_loading, text):
    break_loading(monkeypatch)
    try:
        with pytest.raises(BaseException) as raised:
            _sarn.register_profiler(HostProfiler())
    finally:
        unregister()
    assert not isinstance(raised.value, Exception)
    assert str(raised.value).startswith(text)
    assert text in capfd.readouterr().err


def test_build_context_once_per_specification():
    built = []

    def build_context(config):
        built.append((config, {"seen": []}))
        return built[-1][1]

    def call(frame, event, arg, context):
        context["seen"].append(frame.f_code.co_name + ":" + event)
        return True

    host = HostProfiler({"key": "value"})
    record(run, host, [spec(co_names=[], build_context=build_context),
                       spec(co_names=["watched", "run"], build_context=build_context, call=call)])
    assert len(built) == 2 and all(config is host.config for config, _ in built)
    # One context, shared by the records made for every name of one plugin.
    assert built[1][1]["seen"] == ["run:call", "watched:call", "watched:return", "run:return"]


def test_plugins_on_one_name_in_order_with_own_ids():
    doc = trace(record(run, specs=[spec(call_type="first", return_type="first"),
                                   spec(call_type="second", return_type="second")]))
    assert labels(doc["frames_of_interest"]) == [
        "run:call", "first", "second", "watched:call", "watched:return", "second", "first", "run:return"]
    first, second = ([p["frame_id"] for p in payloads(doc) if p["type"] == t] for t in ("first", "second"))
    assert first[0] == first[1] and second[0] == second[1] and first[0] != second[0]
    assert first[0] not in {r["frame_id"] for r in frames(doc)}


@pytest.mark.parametrize("co_names, path_fragment, events, payload_types", [
    (["elsewhere"], "", None, None),
    (["watched"], "", None, ["called", "returned"]),
    (["watched"], "tests/test_plugins.py", None, ["called", "returned"]),
    (["watched"], "tests\\test_plugins", None, ["called", "returned"]),
    (["watched"], "TESTS/", None, None),
    (["watched"], "tests/test_plugins.py/", None, None),
    (["watched"], "", ["return"], ["returned"]),
    (["watched"], "", ("call",), ["called"]),
    (["watched"], "", [], []),
])
def test_matching(co_names, path_fragment, events, payload_types):
    tested = []
    call = lambda frame, event, arg, context: tested.append(event) or True  # noqa: E731
    got = payloads(trace(record(run, specs=[spec(co_names=co_names, path_fragment=path_fragment,
                                                 events=events, call=call)])))
    # The call test runs once the name and the path match, before the events test.
    assert tested == ([] if payload_types is None else ["call", "return"])
    assert labels(got) == (payload_types or [])
    assert all(FRAME_ID.fullmatch(p["frame_id"]) for p in got)


@pytest.mark.parametrize("call, first_plugin_adds, warnings", [
    (lambda *a: True, True, 0),
    (lambda *a: False, False, 0),
    (lambda *a: 1, False, 2),
    (raise_value_error, False, 2),
])
def test_call_test(caplog, call, first_plugin_adds, warnings):
    caplog.set_level("WARNING", logger="sarn")
    doc = trace(record(run, specs=[spec(call=call, call_type="first", return_type="first"), spec()]))
    expected = ["first", "called", "returned", "first"] if first_plugin_adds else ["called", "returned"]
    assert labels(payloads(doc)) == expected
    assert len(frames(doc)) == 4
    assert len([r for r in caplog.records if r.name == "sarn"]) == warnings


@pytest.mark.parametrize("result, payload", [
    ({"type": "start_test", "extra": 1}, {"type": "start_test", "subtype": "sub", "extra": 1}),
    (types.MappingProxyType({"extra": 2}), {"type": "called", "subtype": "sub", "extra": 2}),
    ([("extra", 1)], None),
    ({"type": 5}, None),
])
def test_process_result_is_merged(caplog, result, payload):
    process_args = []

    def process(*args):
        process_args.append(args)
        return result

    doc = trace(record(run, specs=[spec(subtype="sub", process=process, events=["call"])]))
    [(frame, event, arg, context)] = process_args
    assert (frame.f_code.co_name, event, arg, context) == ("watched", "call", None, {})
    if payload is None:
        assert payloads(doc) == [] and len(caplog.records) == 1
        return
    [got] = payloads(doc)
    assert list(got) == ["frame_id", "timestamp", "thread", "thread_native_id", "user_code_call_site",
                         "type", "subtype", "extra"]
    assert {key: got[key] for key in payload} == payload
    assert (got["thread"], got["thread_native_id"]) == (threading.current_thread().name, threading.get_native_id())
    run_call = frames(doc, "run")[0]
    assert got["user_code_call_site"] == {"call_frame_id": run_call["frame_id"],
                                          "line_number": run.__code__.co_firstlineno + 1}


def test_library_frame_gives_payloads_but_no_record(tmp_path):
    library = load_module(tmp_path / LIBRARY / "libpkg" / "api.py", "def watched():\n    return 1\n")
    doc = trace(record(library.watched, specs=[spec(path_fragment="libpkg/api.py")]))
    assert labels(doc["frames_of_interest"]) == ["called", "returned"]


def slow(*args):
    time.sleep(0.002)  # lets the interpreter switch threads inside the plugin step
    return True


def busy_threads():
    """Two recorded threads whose plugin callbacks keep letting the other one run."""
    def busy():
        for _ in range(25):
            watched()

    def two_threads():
        threads = [threading.Thread(target=busy, daemon=True) for _ in range(2)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(timeout=20)
        assert not any(thread.is_alive() for thread in threads)

    doc = trace(record(two_threads, HostProfiler({"threading": True}),
                       [spec(call=slow, process=lambda *args: slow() and {})]))
    print(len(payloads(doc)))


def test_threads_waiting_for_plugins_do_not_deadlock():
    # A deadlock would keep the interpreter lock for good: run where it can be abandoned.
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    done = subprocess.run([sys.executable, "-c", "import test_plugins; test_plugins.busy_threads()"],
                          env=env, capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout) == (0, "100\n"), done.stderr
