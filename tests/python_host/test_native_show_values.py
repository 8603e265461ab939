"""A call's line made by the native show pass straight from the record
bytes is the line Python makes of the decoded records, whatever the values
hold."""

import msgpack
import pytest

from host_support import one_call_document, show_natively_and_in_python
from sarn.web import terminal

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, given, settings, strategies as st  # noqa: E402

pytestmark = pytest.mark.skipif(terminal._ShowPass is None, reason="built without the native extension")

KINDS = ["object", "str", "bytes", "list", "tuple", "set", "frozenset", "dict", "cycle", "odd"]
TEXT = st.text(st.sampled_from(list("ab_.' \"\\\t\n<>:0x9") + ["\x7f", "\u00e9", "\u2603"]), max_size=12)
LEAVES = (st.none() | st.booleans() | st.integers(-(2**63), 2**64 - 1) | st.floats() | TEXT
          | st.binary(max_size=6))


def _tagged(children):
    optional = {"type": st.none() | st.sampled_from(["list", "collections.deque", "x.Y", "dict", 3]),
                "len": st.none() | st.integers(-1, 9) | st.booleans(), "repr": TEXT | st.sampled_from(
                    ["<m.T object at 0x1f>", "<T object; repr() failed: Error>", "T(1)"]) | st.integers(0, 9),
                "attrs": st.dictionaries(TEXT, children, max_size=3) | children, "more_attrs": children,
                "value": children, "items": st.lists(children | st.lists(children, max_size=3), max_size=4)}
    return st.fixed_dictionaries({"__sarn__": st.sampled_from(KINDS) | st.integers(0, 5)}, optional=optional)


VALUES = st.recursive(LEAVES, lambda children: st.lists(children, max_size=4)
                      | st.dictionaries(TEXT, children, max_size=4)
                      | st.dictionaries(st.integers(0, 3) | st.floats(0, 3) | st.booleans(), children, max_size=3)
                      | _tagged(children), max_leaves=12)


def _document(locals_, arg, call_time, return_time, line):
    document, call, ret = one_call_document()
    call.update(locals=locals_, timestamp=call_time)
    call["user_code_call_site"]["line_number"] = line
    ret.update(arg=arg, timestamp=return_time)
    return msgpack.packb(document, use_bin_type=True)


def _both(data, **options):
    return show_natively_and_in_python(data, failures=True, lines=None, children=None, **options)


@settings(max_examples=300, deadline=None, derandomize=True, database=None,
          suppress_health_check=list(HealthCheck))
@given(VALUES, VALUES, st.booleans())
def test_any_value_shows_alike(argument, result, color):
    native, python = _both(_document({"x": argument, "y": 1}, result, 1.0, 2.5, 3), color=color)
    assert native == python


@settings(max_examples=100, deadline=None, derandomize=True, database=None,
          suppress_health_check=list(HealthCheck))
@given(st.dictionaries(TEXT, VALUES, max_size=6) | VALUES)
def test_any_arguments_show_alike(arguments):
    native, python = _both(_document(arguments, None, 1.0, 2.5, 3))
    assert native == python


NUMBERS = [None, 0, 7, -3, 2**63 + 1, 1.5, -2.25, float("nan"), True]


@pytest.mark.parametrize("start", NUMBERS)
@pytest.mark.parametrize("end", NUMBERS)
def test_durations_of_any_timestamps_show_alike(start, end):
    native, python = _both(_document({}, None, start, end, 3))
    assert native == python


@pytest.mark.parametrize("line", [None, 0, -4, 2**64 - 1, True, "7", 1.0])
def test_calling_lines_of_any_kind_show_alike(line):
    native, python = _both(_document({}, None, 1.0, 2.0, line))
    assert native == python
