"""Any configuration and any plugin specification: the core either records
or refuses with an ordinary exception when the profiler is built, and the
host package either records or refuses with ConfigError. Nothing crashes and
nothing else escapes."""

import logging

import pytest
from hypothesis import HealthCheck, event, example, given, settings
from hypothesis import strategies as st

import sarn
from sarn import db
from sarn.config import ConfigError, validate
from sarn.plugins import PluginError
from recording_support import HostProfiler, decode, frames, record

SETTINGS = settings(max_examples=150, deadline=None, database=None, suppress_health_check=list(HealthCheck))


class Opaque:
    """A value of a class of the program's, compared and hashed by identity."""


class Hostile:
    def __eq__(self, other):
        raise RuntimeError("eq")

    def __hash__(self):
        return 1

    def __iter__(self):
        raise RuntimeError("iter")

    def __bool__(self):
        raise RuntimeError("bool")

    def __str__(self):
        raise RuntimeError("str")

    def __getitem__(self, key):
        raise RuntimeError("getitem")


def raises(*args):
    raise ValueError("from a callback")


texts = st.text(max_size=12) | st.sampled_from(["call", "return", "watched", "test_properties", "\udc80", ""])
scalars = (st.none() | st.booleans() | st.integers(min_value=-2 ** 70, max_value=2 ** 70) | st.floats()
           | texts | st.binary(max_size=8) | st.builds(Opaque) | st.builds(Hostile))
values = st.recursive(scalars, lambda inner: st.lists(inner, max_size=4) | st.tuples(inner, inner)
                      | st.dictionaries(texts, inner, max_size=4), max_leaves=12)
callbacks = st.sampled_from([None, raises, lambda *a: True, lambda *a: False, lambda *a: 1,
                             lambda *a: {"extra": a[-1]}, lambda *a: [1], lambda *a: {1: 2}, lambda *a: {}, "text"])

CONFIG_KEYS = ["filters", "threading", "lightweight_repr", "sqlite_busy_timeout", "call_user_repr",
               "plugins", "engine", "db_path"]
configs = st.dictionaries(st.sampled_from(CONFIG_KEYS) | texts, values
                          | st.dictionaries(st.sampled_from(["include_frames", "ignore_frames"]) | texts,
                                            values, max_size=3), max_size=6)
spec_values = {
    "co_names": st.lists(st.sampled_from(["watched", "helper"]) | texts, max_size=3) | values,
    "path_fragment": st.sampled_from(["test_properties", "", "tests/", "elsewhere"]) | values,
    "call_type": texts | values,
    "return_type": texts | values,
    "subtype": texts | values,
    "call": callbacks,
    "process": callbacks,
    "events": st.sampled_from([None, ["call"], ("return",), ["call", "return"], "call", [1]]) | values,
    "build_context": callbacks | st.just(lambda config: {"seen": config}),
}
REQUIRED = ("co_names", "path_fragment", "call_type", "return_type")
plausible_specs = st.fixed_dictionaries(
    {"co_names": st.lists(st.sampled_from(["watched", "helper"]), max_size=2),
     "path_fragment": st.sampled_from(["test_properties", "", "tests/", "elsewhere"]),
     "call_type": texts, "return_type": texts},
    optional={key: value for key, value in spec_values.items() if key not in REQUIRED})
specs = plausible_specs | st.fixed_dictionaries({}, optional=spec_values) | values
fragments = st.lists(st.sampled_from(["test_properties", "tests/", "site-packages/", ""]) | texts, max_size=3)


def host_config(anything):
    """Host configurations: plausible values of each key, or anything too."""
    def either(plausible):
        return plausible | values if anything else plausible
    return st.fixed_dictionaries({}, optional={
        "filters": either(st.fixed_dictionaries({}, optional={"include_frames": either(fragments),
                                                              "ignore_frames": either(fragments)})),
        "threading": either(st.booleans()),
        "lightweight_repr": either(st.booleans()),
        "call_user_repr": either(st.booleans()),
        "sqlite_busy_timeout": either(st.integers(min_value=0, max_value=100)),
        "engine": either(st.sampled_from(["monitoring", "setprofile"])),
        "plugins": either(st.lists(plausible_specs, max_size=2)),
    })


host_configs = host_config(False) | host_config(True) | configs


def watched(value):
    return helper(value)


def helper(value):
    return [value]


@pytest.fixture(autouse=True)
def quiet_sarn_log():
    """Failing callbacks are reported once per event: keep them out of the output."""
    logger = logging.getLogger("sarn")
    disabled, logger.disabled = logger.disabled, True
    yield
    logger.disabled = disabled


@SETTINGS
@given(config=configs, plugin_specs=st.lists(specs, max_size=3))
def test_the_core_records_or_refuses_any_configuration(config, plugin_specs):
    host = HostProfiler(config)
    try:
        record(lambda: watched(Opaque()), host, plugin_specs)
    except Exception as error:
        # An ordinary refusal: the profiler was not built.
        event("refused: %s" % type(error).__name__)
        assert getattr(host, "rust_profiler", None) is None
        return
    doc = decode(host.rust_profiler.build_trace())
    event("recorded, %s frames of interest" % ("with" if doc["frames_of_interest"] else "without"))
    assert [r["event"] for r in frames(doc) if r["co_name"] == "watched"] in ([], ["call", "return"])


@SETTINGS
@given(config=host_configs)
@example(config={"engine": Hostile()})
@example(config={"filters": {"include_frames": [], Hostile(): []}})
def test_the_host_records_or_refuses_any_configuration(tmp_path_factory, config):
    try:
        checked = validate(config)
    except ConfigError:
        event("refused by validate")
        return
    event("valid")
    checked["db_path"] = str(tmp_path_factory.mktemp("db") / "traces.sqlite3")
    try:
        with sarn.record(config=checked) as recording:
            watched(1)
    except PluginError:
        event("plugin refused")
        return  # a plugin specification refused when recording starts
    except (ValueError, TypeError) as error:
        # What the plugin's own build_context raised, or the core's refusal
        # of what it returned: it is run once, when recording starts.
        assert str(error) == "from a callback" or "cannot be converted to 'PyDict'" in str(error), error
        return
    event("recorded")
    assert db.get_trace_info(checked["db_path"], recording.trace_id).id == recording.trace_id


@pytest.mark.parametrize("config, error", [
    ({"filters": {"include_frames": ["app\udc80/"]}}, ConfigError),
    ({"plugins": [{"co_names": ["f"], "path_fragment": "app/", "call_type": "a", "return_type": "b\ud800"}]},
     PluginError),
    ({"plugins": [{"co_names": ["f\udc80"], "path_fragment": "app/", "call_type": "a", "return_type": "b"}]},
     PluginError),
], ids=["fragment", "payload type", "function name"])
def test_text_the_core_cannot_read_is_refused_by_the_host(tmp_path, config, error):
    with pytest.raises(error, match="lone surrogate"):
        with sarn.record(config=dict(config, db_path=str(tmp_path / "t.sqlite3"))):
            pass
