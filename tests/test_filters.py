"""Which frames are recorded: user code is kept; library, generated and
recorder code is skipped; the configured include and ignore lists adjust that."""

import os

import pytest

import sarn
from recording_support import LIBRARY, HostProfiler, compile_function, frames, record, trace

SOURCE = "def f():\n    return 1\n"


def filename(tmp_path, where):
    return where if where[:1] in ("", "<") else str(tmp_path / where)


@pytest.mark.parametrize("where, filters, kept", [
    ("myapp/views.py", None, True),
    (LIBRARY + "/pkg/mod.py", None, False),
    (LIBRARY + "/pkg/mod.py", {"include_frames": ["site-packages/pkg/"]}, True),
    (LIBRARY + "/pkg/mod.py", {"include_frames": [""]}, True),
    (LIBRARY + "/pkg/mod.py", {"include_frames": ["site-packages\\pkg\\"]}, True),
    ("myapp/views.py", {"ignore_frames": [""]}, False),
    ("myapp/migrations/m1.py", {"ignore_frames": ["myapp/migrations"]}, False),
    ("myapp/migrations/m1.py", {"ignore_frames": ["myapp\\migrations"]}, False),
    ("myapp/migrations/m1.py", {"ignore_frames": ["MyApp/migrations"]}, True),
    ("myapp/migrations/m1.py", {"ignore_frames": ["migrations"], "include_frames": ["migrations/m1"]}, True),
    ("myapp/migrations/m1.py", {"ignore_frames": ("nothing", "m1.py")}, False),
    ("myapp/db.py", None, True),  # named like a module of the recorder, but elsewhere
    ("vendored/sarn/db.py", None, False),
    ("vendored/sarn/web/app.py", None, False),
    ("python/lib/tools.py", None, False),
    ("Python/app.py", None, True),
    ("PYTHON/LIB/app.py", None, True),
    ("mylib/pythonic/app.py", None, False),
    ("Python38/x64/lib/app.py", None, False),
    ("<string>", None, False),
    ("exec of <string> here", None, False),
    ("<frozen importlib._bootstrap>", None, False),
    ("<pytest match expression>", None, False),
    ("<pytest match expression> ", None, True),
    ("<attrs generated init app.Model>", None, False),
])
def test_keep_or_skip(tmp_path, where, filters, kept):
    config = {} if filters is None else {"filters": filters}
    f = compile_function(filename(tmp_path, where), SOURCE)
    records = frames(trace(record(f, HostProfiler(config))), "f")
    assert [r["event"] for r in records] == (["call", "return"] if kept else [])


@pytest.mark.parametrize("callers, kept", [
    (["vendor/attr/_make.py"], False),
    (["vendor/attr/_make.py", ""], False),  # a caller without a file name is looked through
    (["vendor/attr/_make.py", "", ""], True),  # but only one
    (["vendor/attr/_make.py", "app/models.py"], True),
    ([""], True),
])
def test_code_called_by_the_attrs_class_builder(tmp_path, callers, kept):
    target = compile_function(tmp_path / "app" / "models.py", SOURCE)
    for where in reversed(callers):  # callers are listed outermost first
        namespace = {"__name__": "hop", "target": target}
        exec(compile("def hop():\n    return target()\n", filename(tmp_path, where), "exec"), namespace)
        target = namespace["hop"]
    assert len(frames(trace(record(target)), "f")) == (2 if kept else 0)


def test_every_file_of_the_package_is_skipped():
    probes = []
    for folder, _, names in os.walk(os.path.dirname(sarn.__file__)):
        probes += [compile_function(os.path.join(folder, n), SOURCE) for n in names if n.endswith(".py")]
    assert len(probes) >= 6

    def call_all():
        for probe in probes:
            probe()

    assert [r["path"] for r in frames(trace(record(call_all)), "f")] == []


def test_decisions_follow_each_code_object(tmp_path):
    expected = []

    def compile_call_and_drop():
        for i in range(400):
            where = f"app/m{i}.py" if i % 3 else f"{LIBRARY}/m{i}.py"
            f = compile_function(tmp_path / where, SOURCE)
            f()
            del f  # frees the code object: its address can be reused by the next one
            if i % 3:
                expected.append(f"{tmp_path / where}:1")

    doc = trace(record(compile_call_and_drop))
    assert [r["path"] for r in frames(doc, "f") if r["event"] == "call"] == expected
