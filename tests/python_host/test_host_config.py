"""Configuration layers, parsing and validation."""

import os
import sys

import pytest

from sarn import config
from sarn.config import ConfigError

needs_toml = pytest.mark.skipif(config._toml_reader() is None, reason="no TOML reader installed")


def write_pyproject(folder, body):
    path = folder / "pyproject.toml"
    path.write_text(body)
    return path


class RaisingEq:
    """A value that cannot be compared, nor shown."""

    def __eq__(self, other):
        raise RuntimeError("eq")

    __hash__ = object.__hash__

    def __repr__(self):
        raise RuntimeError("repr")


class RaisingInt(int):
    def __lt__(self, other):
        raise RuntimeError("lt")


class RaisingEqText(str):
    def __eq__(self, other):
        raise RuntimeError("eq")

    __hash__ = str.__hash__


def test_defaults_are_fresh_copies(tmp_path):
    loaded = config.load_config(start=str(tmp_path), use_pyproject=False)
    assert loaded["db_path"] == os.path.join(".sarn", "db.sqlite3")
    loaded["filters"]["include_frames"].append("x")
    assert config.load_config(start=str(tmp_path), use_pyproject=False)["filters"]["include_frames"] == []


@needs_toml
def test_nearest_pyproject_table_is_read_from_a_subfolder(tmp_path):
    write_pyproject(
        tmp_path,
        '[project]\nname = "x"\n\n[tool.sarn]\nthreading = true\ndb_path = "traces/db.sqlite3"\n'
        'filters = { ignore_frames = ["app/migrations/"] }\n',
    )
    nested = tmp_path / "src" / "pkg"
    nested.mkdir(parents=True)
    loaded = config.load_config(start=str(nested))
    assert loaded["threading"] is True
    assert loaded["db_path"] == str(tmp_path / "traces" / "db.sqlite3")
    assert loaded["filters"] == {"include_frames": [], "ignore_frames": ["app/migrations/"]}


@needs_toml
def test_pyproject_without_sarn_table_gives_defaults(tmp_path):
    write_pyproject(tmp_path, '[project]\nname = "x"\n')
    assert config.load_config(start=str(tmp_path)) == config.load_config(start=str(tmp_path), use_pyproject=False)


@needs_toml
def test_layers_override_in_order(tmp_path):
    write_pyproject(tmp_path, "[tool.sarn]\nsqlite_busy_timeout = 5\nthreading = true\nlightweight_repr = true\n")
    loaded = config.load_config(
        {"threading": False},
        assignments=["sqlite_busy_timeout=9", "filters.include_frames=lib/a/,lib/b/"],
        start=str(tmp_path),
    )
    assert loaded["sqlite_busy_timeout"] == 9
    assert loaded["threading"] is False
    assert loaded["lightweight_repr"] is True
    assert loaded["filters"]["include_frames"] == ["lib/a/", "lib/b/"]


@needs_toml
@pytest.mark.parametrize(
    "body, message",
    [
        ("[tool.sarn]\nthreading = 'yes'\n", "'threading' must be true or false"),
        ("[tool.sarn]\nunknown = 1\n", "unknown key 'unknown'"),
        ("[tool.sarn\n", "not valid TOML"),
        ("[tool]\nsarn = 3\n", "must be a table"),
    ],
)
def test_bad_pyproject_is_reported_with_its_path(tmp_path, body, message):
    path = write_pyproject(tmp_path, body)
    with pytest.raises(ConfigError, match=message) as raised:
        config.load_config(start=str(tmp_path))
    assert str(path) in str(raised.value)


@pytest.mark.parametrize(
    "value, message",
    [
        ({"threading": 1}, "true or false"),
        ({"lightweight_repr": "true"}, "true or false"),
        ({"sqlite_busy_timeout": -1}, "whole number"),
        ({"sqlite_busy_timeout": True}, "whole number"),
        ({"sqlite_busy_timeout": 1.5}, "whole number"),
        ({"db_path": ""}, "non-empty path"),
        ({"db_path": 3}, "non-empty path"),
        ({"filters": ["a"]}, "must be a table"),
        ({"filters": {"include_frames": "app/"}}, "list of strings"),
        ({"filters": {"ignore_frames": [1]}}, "list of strings"),
        ({"filters": {"other": []}}, "unknown key 'other'"),
        ({"plugins": "pkg:specs"}, "must be a list"),
        ({"plugins": [3]}, "entries must be"),
        ({"bogus": 1}, "unknown key 'bogus'"),
        ({"engine": "sysmon"}, "'engine' must be \"monitoring\" or \"setprofile\", not 'sysmon'"),
        ({"engine": RaisingEq()}, "'engine' must be \"monitoring\" or \"setprofile\", not <RaisingEq object>"),
        ({"filters": {RaisingEq(): []}}, "'filters' cannot be checked: checking its dict raised RuntimeError"),
        ({"sqlite_busy_timeout": RaisingInt(5)}, "'sqlite_busy_timeout' cannot be checked"),
    ],
)
def test_invalid_values_are_refused(value, message):
    """Also a value whose comparison or repr raises: ConfigError names the key."""
    with pytest.raises(ConfigError, match=message):
        config.validate(value)


def test_engine_name_is_kept_as_plain_text():
    checked = config.validate({"engine": RaisingEqText("setprofile")})
    assert type(checked["engine"]) is str and checked["engine"] == "setprofile"


def test_validate_normalises_paths_and_sequences(tmp_path):
    checked = config.validate({"db_path": tmp_path / "x.db", "filters": {"include_frames": ("a", "b")}})
    assert checked == {"db_path": str(tmp_path / "x.db"), "filters": {"include_frames": ["a", "b"]}}


@pytest.mark.parametrize(
    "text, expected",
    [
        ("threading=true", {"threading": True}),
        ("sqlite_busy_timeout=30", {"sqlite_busy_timeout": 30}),
        ("db_path=traces.db", {"db_path": "traces.db"}),
        ("db_path=123", {"db_path": "123"}),
        ("filters.ignore_frames=a/, b/", {"filters": {"ignore_frames": ["a/", "b/"]}}),
        ('filters.include_frames=["x,y"]', {"filters": {"include_frames": ["x,y"]}}),
        ("plugins=pkg.mod:SPECS,other:X", {"plugins": ["pkg.mod:SPECS", "other:X"]}),
    ],
)
def test_command_line_assignments(text, expected):
    assert config.parse_assignment(text)[1] == expected


@pytest.mark.parametrize("text", ["threading", "=1", "filters.other=x"])
def test_malformed_assignments(text):
    with pytest.raises(ConfigError):
        config.parse_assignment(text)


def test_missing_toml_reader_is_not_an_error(tmp_path, monkeypatch):
    write_pyproject(tmp_path, "[tool.sarn]\nthreading = true\n")
    monkeypatch.setattr(config, "_toml_reader", lambda: None)
    assert config.load_config(start=str(tmp_path))["threading"] is False


@pytest.mark.skipif(sys.version_info < (3, 11), reason="tomllib is part of Python from 3.11")
def test_standard_library_reader_is_used_on_new_interpreters():
    import tomllib

    assert config._toml_reader() is tomllib


NESTED = {"filters": {"include_frames": ["lib/a/"], "ignore_frames": ["app/m/"]}, "threading": True}


@pytest.mark.parametrize("given", [
    {"filters.include_frames": ["lib/a/"], "filters.ignore_frames": ["app/m/"], "threading": True},
    {"filters.ignore_frames": ["app/m/"], "filters": {"include_frames": ["lib/a/"]}, "threading": True},
    NESTED,
])
def test_settings_are_given_dotted_or_nested(given):
    assert config.validate(given) == NESTED
    assert config.load_config(given, use_pyproject=False)["filters"] == NESTED["filters"]


@pytest.mark.parametrize("given, message", [
    ({"filters.other": []}, "unknown key 'other'"),
    ({"threading.deep": True}, r"unknown key 'threading.deep' \(known keys: db_path, filters.include_frames,"),
    ({"filters.ignore_frames": [3]}, "list of strings"),
])
def test_dotted_settings_are_checked(given, message):
    with pytest.raises(ConfigError, match=message):
        config.validate(given)
