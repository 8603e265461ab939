"""Failed events reported on the "sarn" logger, the host serialiser's choice and
results, and the user's program left untouched by either."""

import logging
import sys

import pytest

from core_support import (Host, events, frames, no_profile_left, plugins, record,  # noqa: F401
                          sarn_log, serialiser, simple_dump, trace)

MESSAGE = ("Unexpected exception in the recording core (sarn._sarn).\n    co_filename: %s\n    co_name: %s\n"
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


def broken(*args, **kwargs):
    raise RuntimeError("broken")


def test_failed_event_is_reported_once_and_dropped(serialiser, sarn_log):
    serialiser.dump = refuse_poison
    results = []
    host = record(lambda: results.append((victim(), work())))
    assert results == [(1, 1)]
    [report] = sarn_log  # only the return of `victim` has `poison` among its locals
    assert (report.name, report.levelno, report.msg) == ("sarn", logging.WARNING, MESSAGE)
    assert report.args == (victim.__code__.co_filename, "victim", "return", "{'x': 1, 'poison': 2}")
    assert report.getMessage().endswith("    event: return\n    frame locals: {'x': 1, 'poison': 2}\n")
    error_type, error, traceback = report.exc_info
    assert error_type is ValueError and str(error) == "cannot serialise poison"
    while traceback.tb_next:
        traceback = traceback.tb_next
    assert traceback.tb_frame.f_code.co_name == "refuse_poison"
    assert events(frames(trace(host))) == [
        ("<lambda>", "call"), ("victim", "call"), ("work", "call"), ("work", "return"), ("<lambda>", "return")]


@pytest.mark.parametrize("silence", [None, "disabled", "level", "broken"])
def test_reports_only_where_the_logger_emits(monkeypatch, capfd, serialiser, sarn_log, silence):
    serialiser.dump = refuse_poison
    logger = logging.getLogger("sarn")
    logger.addHandler(logging.StreamHandler(sys.stderr))
    monkeypatch.setattr(logger, "propagate", False)
    if silence == "disabled":
        logger.disabled = True
    elif silence == "level":
        logger.setLevel(logging.ERROR)
    elif silence == "broken":  # what then happens is the core's choice, as long as it stays inside
        monkeypatch.setattr(logger, "warning", broken)
        monkeypatch.setattr(sys, "unraisablehook", lambda unraisable: None)
    results = []
    record(lambda: results.append(victim()))
    assert results == [1]
    out, err = capfd.readouterr()
    assert out == "" and len(sarn_log) == (silence is None)
    if silence is None:
        assert "Unexpected exception in the recording core (sarn._sarn).\n    co_filename: " in err
        assert "ValueError: cannot serialise poison" in err
    else:
        assert err == ""


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
    # Plugin payloads, event arguments and locals all go through the chosen one.
    inputs = [value for _, value in serialiser.calls]
    assert [v["type"] for v in inputs if isinstance(v, dict) and "type" in v] == ["w_call", "w_return"]
    assert None in inputs and 1 in inputs
    assert len(frames(doc, "work")) == 2


@pytest.mark.parametrize("convert, error", [
    (bytes, None), (bytearray, None), (list, None),
    (lambda b: b.decode("latin-1"), TypeError),
    (lambda b: None, TypeError),
    (lambda b: list(b) + [256], OverflowError),
    (lambda b: [float(b[0])], TypeError),
])
def test_serialiser_results(serialiser, sarn_log, convert, error):
    serialiser.dump = lambda value: convert(simple_dump(value))
    returned = []
    recorded = frames(trace(record(lambda: returned.append(work()))), "work")
    assert returned == [1]
    if error is None:
        assert [r["arg"] for r in recorded] == [None, 1] and not sarn_log
    else:
        assert recorded == []
        assert [report.exc_info[0] for report in sarn_log] == [error] * 4  # two calls, two returns


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
    # The call: argument, then locals. The return stops at its argument.
    assert inputs[:2] == [None, {}] and len(inputs) == 3 and isinstance(inputs[2], Marker)
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
        serialiser.dump = broken
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
