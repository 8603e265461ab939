"""The profiler as `sys.getprofile()` returns it: putting it back resumes
recording, and a tool that passes its events on to it gets them recorded."""

import sys
import threading

import pytest

from recording_support import HostProfiler, frames, labels, record, trace


def on_the_profile_path():
    """The idiom concerns the profile function (sys.monitoring keeps none)."""
    return HostProfiler({"engine": "setprofile"})


def work():
    return 1


def restore():
    old = sys.getprofile()
    sys.setprofile(None)
    sys.setprofile(old)
    work()


def restore_nested():
    outer = sys.getprofile()
    sys.setprofile(None)
    inner = sys.getprofile()
    sys.setprofile(None)
    sys.setprofile(inner)
    sys.setprofile(outer)
    again = sys.getprofile()
    sys.setprofile(again)  # put back twice before any event
    sys.setprofile(again)
    work()


def chain():
    old = sys.getprofile()
    tool = lambda frame, event, arg: old(frame, event, arg)  # noqa: E731
    sys.setprofile(tool)
    work()
    assert sys.getprofile() is tool
    sys.setprofile(old)


def restore_in_thread():
    threading.setprofile(sys.getprofile())
    worker = threading.Thread(target=work)
    worker.start()
    worker.join()
    threading.setprofile(None)


@pytest.mark.parametrize("scenario", [restore, restore_nested, chain, restore_in_thread])
def test_putting_the_profiler_back_resumes_recording(scenario):
    doc = trace(record(scenario, on_the_profile_path()))
    name = scenario.__name__
    # (Garbage of other tests collected meanwhile may leave records of its own.)
    ours = [r for r in frames(doc) if r["co_name"] in (name, "work")]
    assert labels(ours) == [name + ":call", "work:call", "work:return", name + ":return"]
    assert ours[0]["frame_id"] == ours[3]["frame_id"] and ours[1]["frame_id"] == ours[2]["frame_id"]
    if scenario is not restore_in_thread:
        assert ours[1]["user_code_call_site"]["call_frame_id"] == ours[0]["frame_id"]


def test_called_outside_a_profile_event_it_records_nothing():
    def scenario():
        profiler = sys.getprofile()
        assert profiler(sys._getframe(), "call", None) is None

    assert labels(frames(trace(record(scenario, on_the_profile_path())))) == ["scenario:call", "scenario:return"]
