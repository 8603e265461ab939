"""Failed events reported on the "sarn" logger, the choice and results of the
host serialiser, and the user's program left untouched by either."""

import logging
import sys

import pytest

from core_support import (Host, events, frames, no_profile_left, plugins, record,  # noqa: F401
                          sarn_log, serialiser, simple_dump, trace)

MESSAGE = ("Unexpected exception in Rust.\n    co_filename: %s\n    co_name: %s\n"
           "    event: %s\n    frame locals: %s\n")


def work():
    return 1


def victim():
    x = 1
    poison = 2
    return x + poison - 2


def refuse_poison(value):
    if isinstance(value, dict) and "poison" in value:
        raise ValueError("cannot serialise poison")
    return simple_dump(value)


def innermost_function(traceback):
    while traceback.tb_next is not None:
        traceback = traceback.tb_next
    return traceback.tb_frame.f_code.co_name


def test_failed_event_is_reported_once_and_dropped(serialiser, sarn_log):
    serialiser.dump = refuse_poison
    results = []
    host = record(lambda: results.append((victim(), work())))
    assert results == [(1, 1)]
    [report] = sarn_log  # the call of `victim` had no `poison` yet
    assert (report.name, report.levelno, report.msg) == ("sarn", logging.WARNING, MESSAGE)
    assert report.args == (victim.__code__.co_filename, "victim", "return", {"x": 1, "poison": 2})
    assert report.getMessage().endswith("    event: return\n    frame locals: {'x': 1, 'poison': 2}\n")
    error_type, error, traceback = report.exc_info
    assert error_type is ValueError and str(error) == "cannot serialise poison"
    assert innermost_function(traceback) == "refuse_poison"
    assert events(frames(trace(host))) == [
        ("<lambda>", "call"), ("victim", "call"), ("work", "call"), ("work", "return"), ("<lambda>", "return")]


def fail_to_log(*args, **kwargs):
    raise RuntimeError("the logger is broken")


@pytest.mark.parametrize("silence", [None, "disabled", "level", "broken"])
def test_reports_only_where_the_logger_emits(request, monkeypatch, capfd, serialiser, silence):
    serialiser.dump = refuse_poison
    logger = logging.getLogger("sarn")
    handler = logging.StreamHandler(sys.stderr)
    monkeypatch.setattr(logger, "handlers", [handler])
    monkeypatch.setattr(logger, "propagate", False)
    if silence == "disabled":
        monkeypatch.setattr(logger, "disabled", True)
    elif silence == "level":
        request.addfinalizer(lambda level=logger.level: logger.setLevel(level))
        logger.setLevel(logging.ERROR)
    elif silence == "broken":
        monkeypatch.setattr(logger, "warning", fail_to_log)
        monkeypatch.setattr(sys, "unraisablehook", lambda unraisable: None)
    results = []
    record(lambda: results.append(victim()))
    assert results == [1]
    out, err = capfd.readouterr()
    assert out == ""
    if silence is None:
        assert "Unexpected exception in Rust.\n    co_filename: " in err
        assert "ValueError: cannot serialise poison" in err
    else:
        assert err == ""


def payload_type(value):
    return value.get("type") if isinstance(value, dict) else None


@pytest.mark.parametrize("config, chosen", [
    ({"lightweight_repr": True}, "dump_msgpack_lightweight_repr"),
    ({"lightweight_repr": False}, "dump_msgpack"),
    ({"lightweight_repr": 1}, "dump_msgpack"),
    ({}, "dump_msgpack"),
])
def test_serialiser_choice(plugins, serialiser, config, chosen):
    plugins.append({"co_names": ["work"], "path_fragment": "", "call_type": "w_call", "return_type": "w_return"})
    doc = trace(record(work, Host(config)))
    assert {name for name, _ in serialiser.calls} == {chosen}
    # The plugin's payloads, the event arguments and the locals all go through it.
    inputs = [value for _, value in serialiser.calls]
    assert [payload_type(v) for v in inputs if payload_type(v)] == ["w_call", "w_return"]
    assert None in inputs and 1 in inputs
    assert len(frames(doc, "work")) == 2


@pytest.mark.parametrize("convert", [bytes, bytearray, list, tuple], ids=lambda c: c.__name__)
def test_serialiser_results_that_are_accepted(serialiser, convert):
    serialiser.dump = lambda value: convert(simple_dump(value))
    call, ret = frames(trace(record(work)), "work")
    assert (call["arg"], ret["arg"]) == (None, 1)


@pytest.mark.parametrize("result, error", [
    ("\x91\x01", TypeError),
    (5, TypeError),
    (None, TypeError),
    ([0x91, 256], OverflowError),
    ([0x91, -1], OverflowError),
    ([0x91, "1"], TypeError),
])
def test_serialiser_results_that_are_refused(serialiser, sarn_log, result, error):
    serialiser.dump = lambda value: result
    returned = []
    doc = trace(record(lambda: returned.append(work())))
    assert returned == [1]
    assert frames(doc) == []
    assert len(sarn_log) == 4  # call and return of the lambda and of `work`
    assert {report.exc_info[0] for report in sarn_log} == {error}


class Marker:
    pass


def returns_marker():
    marker_local = 1
    return Marker() if marker_local else None


def test_failed_argument_skips_the_locals(serialiser, sarn_log):
    def refuse_marker(value):
        if isinstance(value, Marker):
            raise ValueError("no markers")
        return simple_dump(value)

    serialiser.dump = refuse_marker
    record(returns_marker)
    inputs = [value for _, value in serialiser.calls]
    # "arg" then locals for the call; the return stops at its argument.
    assert inputs[:2] == [None, {}]
    assert len(inputs) == 3 and isinstance(inputs[2], Marker)
    assert [report.args[2] for report in sarn_log] == ["return"]


def catcher():
    try:
        yield 1
    except ValueError as error:
        yield "caught " + str(error)


def raiser():
    raise KeyError("k")


@pytest.mark.parametrize("healthy", [True, False])
def test_pending_exceptions_are_preserved(serialiser, sarn_log, healthy):
    if not healthy:
        serialiser.dump = fail_to_log
    seen = []

    def scenario():
        generator = catcher()
        next(generator)
        seen.append(generator.throw(ValueError("thrown")))
        try:
            raiser()
        except KeyError as error:
            seen.append(error.args)

    record(scenario)
    assert seen == ["caught thrown", ("k",)]
    assert sys.exc_info() == (None, None, None)
    assert bool(sarn_log) != healthy


def test_failing_plugin_leaves_the_event_recorded(plugins, serialiser, sarn_log):
    plugins.append({"co_names": ["work"], "path_fragment": "", "call_type": "bad", "return_type": "bad",
                    "call": fail_to_log})
    plugins.append({"co_names": ["work"], "path_fragment": "", "call_type": "good_call",
                    "return_type": "good_return"})
    doc = trace(record(work))
    assert [report.args[1:3] for report in sarn_log] == [("work", "call"), ("work", "return")]
    assert all(report.exc_info[0] is RuntimeError for report in sarn_log)
    types = [r["type"] for r in doc["frames_of_interest"]]
    assert types == ["good_call", "frame", "frame", "good_return"]
