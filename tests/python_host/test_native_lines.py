"""A call's line made by the native pass is the line the Python renderer makes."""

import pytest

from host_support import DocumentBuilder, show_natively_and_in_python
from sarn.web import terminal, terminal_pass

pytestmark = pytest.mark.skipif(terminal._ShowPass is None, reason="built without the native extension")


def _object(repr_text=None, type_name="app.Item", attrs=None, **more):
    value = {"__sarn__": "object", "type": type_name}
    if repr_text is not None:
        value["repr"] = repr_text
    if attrs is not None:
        value["attrs"] = attrs
    value.update(more)
    return value


def _tagged(kind, type_name=None, **fields):
    return dict({"__sarn__": kind, "type": type_name}, **fields)


VALUES = [
    None, True, False, 0, -7, 2 ** 64 - 1, -(2 ** 63), 1.5, 1e16, float("nan"), float("-inf"), -0.0,
    "plain", "it's", "say \"hi\" it's", "back\\slash", "tab\tnew\nline\x1b[31m\x7f", "caf\u00e9", "\u202eevil",
    "x" * 200, "quantity=1234567890 " * 8, b"\x00bytes\xff" * 20,
    [1, [2, [3, "four"]], {"k": "v"}], list(range(60)), {"a": 1, 2: "b", None: [], b"k": 1.0},
    _object("<app.Item object at 0x7f00aa>", attrs={"name": "tea", "_state": 1, "price": 3.5}),
    _object("<app.Item object at 0x7f00aa>"),
    _object("<Item object; repr() failed: ValueError>"),
    _object("<Item object; repr() failed: ValueError>", attrs={"a": 1}),
    _object("Item(name='tea')"),
    _object("<Category: Category object (1)>", attrs={"id": 1}, more_attrs=True),
    _object(None, attrs={"x": 1}),
    _object(None),
    _object("<a. object at 0x1>", attrs={"x": 1}),
    _object("<app.Item object at 0xZZ>", attrs={"x": 1}),
    _object("caf\u00e9"),
    _tagged("str", value="a long text cut here", len=5000),
    _tagged("str"),
    _tagged("bytes", "bytes", value=b"abc", len=900),
    _tagged("bytes", "app.Blob", value=b"abc"),
    _tagged("list", "list", items=[1, 2, 3], len=50),
    _tagged("tuple", "tuple", items=["one"]),
    _tagged("tuple", "tuple", items=["one"], len=3),
    _tagged("set", "set", items=[]),
    _tagged("frozenset", "frozenset", items=[1]),
    _tagged("list", "collections.UserList", items=list(range(40))),
    _tagged("dict", "dict", items=[["k", 1], ["j", [2]], "odd"], len=10),
    _tagged("dict", "collections.OrderedDict", items=[["k", 1]]),
    _tagged("cycle", "list"), _tagged("cycle", "dict"), _tagged("cycle", "app.Node"),
    _tagged("mystery", "x"),
]

EXCEPTIONS = [
    None, "ValueError('no stock')", "SystemExit(0)", "SystemExit(3)", "caf\u00e9 error",
    _object("SystemExit(None)", type_name="builtins.SystemExit"), _object("SystemExit()", type_name="SystemExit"),
    _object("KeyError('x')", type_name="KeyError"), "E" * 90,
]


def _document():
    builder = DocumentBuilder()
    builder.call("app.main", path="app.py:1", line=7)
    for index, _ in enumerate(VALUES):
        builder.call("app.f%d" % index, path="app.py:%d" % (10 + index), line=3)
        builder.ret(None)
    for index, _ in enumerate(EXCEPTIONS):
        builder.call("app.g%d" % index, path="lib/mod.py:%d" % (50 + index))
        builder.raise_(None, path="lib/mod.py:%d" % (60 + index))
    builder.call("app.gen", path="app.py:90")
    builder.ret(5)
    builder.call("app.left_open", path="app.py:95")
    builder.ret(None)
    document = builder.document()
    records = document["frames_of_interest"]
    calls = [record for record in records if record.get("event") == "call"]
    returns = [record for record in records if record.get("event") == "return"]
    for index, value in enumerate(VALUES):
        call = next(record for record in calls if record["qualname"] == "app.f%d" % index)
        call["locals"] = {"value": value, "more": [value, value], "__class__": 1}
        ret = next(record for record in returns if record["qualname"] == "app.f%d" % index)
        ret["arg"] = value
    exceptions = [record for record in records if record.get("type") == "exception"]
    for record, value in zip(exceptions, EXCEPTIONS):
        record["exception"] = value
    gen = next(record for record in returns if record["qualname"] == "app.gen")
    at = records.index(gen)
    records.insert(at + 1, {"type": "suspension", "frame_id": gen["frame_id"], "thread": "MainThread",
                            "thread_native_id": 100})
    records.insert(at, {"type": "resumption", "frame_id": gen["frame_id"], "thread": "MainThread",
                        "thread_native_id": 100})
    # A class body, a module body, integer times, a caller without a line,
    # a call without its return.
    body = dict(calls[1], frame_id="body", qualname=None, co_name="Cart", locals={}, user_code_call_site=None)
    records[:0] = [body, dict(body, event="return", timestamp=3, locals={"__qualname__": "Cart", "__module__": "a"})]
    module = dict(calls[2], frame_id="module", qualname=None, co_name="<module>", timestamp=1)
    records[:0] = [module, dict(module, event="return", timestamp=4, arg=1)]
    records.insert(0, dict(calls[3], frame_id="open", path="app.py", user_code_call_site=None))
    records.remove(next(record for record in returns if record["qualname"] == "app.left_open"))
    return document


@pytest.mark.parametrize("color", [False, True])
def test_lines_of_every_kind_of_value_are_alike(color):
    native, python = show_natively_and_in_python(_document(), color=color)
    assert native == python
    if not color:
        assert "!! ValueError" in native and "exits: SystemExit(0)" in native and "class Cart" in native
        assert "[entered before recording]" not in native or "raised at line 60" in native


def test_the_pass_makes_plain_lines_itself(monkeypatch):
    """Lines of plain ASCII values are made natively; the others by Python."""
    asked = []
    line = terminal_pass.NativeHost.line

    def counted(self, call, ret, *rest):
        asked.append((call or ret or {}).get("qualname"))
        return line(self, call, ret, *rest)

    monkeypatch.setattr(terminal_pass.NativeHost, "line", counted)
    terminal.render(_document())
    index = VALUES.index("caf\u00e9")
    assert "app.f%d" % index in asked
    assert "app.f0" not in asked and "app.main" not in asked
    asked.clear()
    terminal.render(_document(), width=80)  # cut to a width: Python cuts it
    assert "app.f0" in asked
