"""The "qualname" of frame records.

Interpreters whose code objects carry co_qualname name every frame from it;
older ones reconstruct the name from the frame's surroundings, which cannot
always succeed.
"""

import _thread
import sys
import time

import pytest

from recording_support import HostProfiler, frames, load_module, record, trace

CO_QUALNAME = sys.version_info >= (3, 11)

MODULE = '''
def function():
    return 1

def outer():
    def nested():
        return 2
    return nested()

class Shop:
    def method(self):
        return 3
    @property
    def getter(self):
        return 4
    @classmethod
    def factory(cls):
        return 5
    def by_cls(cls):
        return 6
    def odd(this):
        return 7

def takes_cls(cls):
    return 8
'''


def nothing(module):
    pass


def call_with_decoy(module):
    function = nothing  # the caller's local under the callee's name is looked at first
    return module.function()


@pytest.mark.parametrize("co_name, event, action, reconstructed, from_co_qualname", [
    ("<module>", "call", nothing, "pkg.mod.<module>", "pkg.mod.<module>"),
    ("function", "call", lambda m: m.function(), "pkg.mod.function", "pkg.mod.function"),
    ("function", "call", call_with_decoy, __name__ + ".nothing", "pkg.mod.function"),
    ("nested", "call", lambda m: m.outer(), "pkg.mod.outer.<locals>.nested", "pkg.mod.outer.<locals>.nested"),
    ("method", "return", lambda m: m.Shop().method(), "pkg.mod.Shop.method", "pkg.mod.Shop.method"),
    ("getter", "call", lambda m: m.Shop().getter, "pkg.mod.Shop.getter", "pkg.mod.Shop.getter"),
    ("by_cls", "call", lambda m: m.Shop.by_cls(m.Shop), "pkg.mod.Shop.by_cls", "pkg.mod.Shop.by_cls"),
    # Bound to something that is not a class, "cls" is no help: the module global is found.
    ("takes_cls", "call", lambda m: m.takes_cls(5), "pkg.mod.takes_cls", "pkg.mod.takes_cls"),
    ("by_cls", "return", lambda m: m.Shop.by_cls(5), None, "pkg.mod.Shop.by_cls"),
    # Found through "cls" as the classmethod object, named by the function it wraps.
    ("factory", "call", lambda m: m.Shop.factory(), "pkg.mod.Shop.factory", "pkg.mod.Shop.factory"),
    ("odd", "call", lambda m: m.Shop().odd(), None, "pkg.mod.Shop.odd"),
    # A class body sets __qualname__ only once it runs.
    ("Shop", "call", nothing, None, "pkg.mod.Shop"),
    ("Shop", "return", nothing, "pkg.mod.Shop", "pkg.mod.Shop"),
])
def test_qualified_name(tmp_path, co_name, event, action, reconstructed, from_co_qualname):
    def load_and_act():
        action(load_module(tmp_path / "pkg" / "mod.py", MODULE, "pkg.mod"))

    [found] = [r for r in frames(trace(record(load_and_act)), co_name) if r["event"] == event]
    assert found["qualname"] == (from_co_qualname if CO_QUALNAME else reconstructed)


def test_outermost_frame_has_no_reconstructed_name():
    host = HostProfiler()
    started = []

    def thread_main():  # the first frame of its thread: no caller
        host.rust_profiler.register_threading_profiler(None, None, None)
        started.append(True)
        return "done"

    def start_and_wait():
        ident = _thread.start_new_thread(thread_main, ())
        deadline = time.monotonic() + 10
        while (not started or ident in sys._current_frames()) and time.monotonic() < deadline:
            time.sleep(0.001)

    [ret] = frames(trace(record(start_and_wait, host)), "thread_main")
    assert ret["event"] == "return" and ret["arg"] == "done" and ret["frame_id"] is None
    if CO_QUALNAME:
        assert ret["qualname"].endswith(".test_outermost_frame_has_no_reconstructed_name.<locals>.thread_main")
    else:
        assert ret["qualname"] is None
