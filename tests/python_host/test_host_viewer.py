"""The trace viewer on synthetic trace documents."""

import json
import re
import time

import msgpack
import pytest

from host_support import DocumentBuilder, indent_of, line_with, lines_of
from sarn import viewer
from sarn.serialize import TAG, dump_msgpack



@pytest.fixture
def shop(builder):
    builder.call("app.<module>", path="app.py:1", line=30)
    builder.call("app.main", path="app.py:20", line=22)
    builder.call("shop.Cart.add", path="shop.py:5", count=3, name="tea")
    builder.ret(None)
    builder.call("shop.Cart.total", path="shop.py:9")
    builder.ret(7.5, seconds=0.25)
    builder.ret(0)
    builder.ret(None)
    return builder


def test_calls_nest_under_their_call_site_and_pair_with_returns(shop):
    lines = lines_of(shop.pack())
    module = line_with(lines, "app.<module>")
    main = line_with(lines, "app.main(")
    add = line_with(lines, "shop.Cart.add(")
    total = line_with(lines, "shop.Cart.total(")
    assert indent_of(main) == indent_of(module) + 2
    assert indent_of(add) == indent_of(total) == indent_of(main) + 2
    assert "count=3" in add and "name='tea'" in add and "shop.py:5" in add
    assert "-> 7.5" in total and "250.00 ms" in total
    assert "-> 0" in main
    assert lines.index(add) < lines.index(total)


def test_header_and_thread_summary(shop):
    lines = lines_of(shop.pack())
    assert lines[0].startswith("trace trc_01TESTTRACE")
    assert "source run" in lines[0]
    assert "command: app.py --flag" in lines
    assert line_with(lines, "thread MainThread (native id 100): 4 calls")


def test_module_frames_show_no_arguments(builder):
    builder.call("app.<module>", path="app.py:1", os="<module 'os'>", sys=1)
    builder.ret(None)
    line = line_with(lines_of(builder.pack()), "app.<module>")
    assert "os=" not in line and "(" not in line.split("->")[0]


def test_calls_without_returns_and_returns_without_calls_are_marked(builder):
    # A return whose call came before recording started: no frame id, no call site.
    builder.main.append(
        {
            "path": "app.py:40", "co_name": "outer", "qualname": "app.outer", "event": "return",
            "frame_id": None, "arg": 5, "locals": {}, "thread": "MainThread", "thread_native_id": 100,
            "timestamp": 1.0, "type": "frame", "user_code_call_site": None,
        }
    )
    builder.call("app.unfinished")
    lines = lines_of(builder.pack())
    assert "[entered before recording]" in line_with(lines, "app.outer")
    assert "-> 5" in line_with(lines, "app.outer")
    assert "[no return recorded]" in line_with(lines, "app.unfinished")


def test_frames_of_interest_are_shown_in_place(builder):
    builder.interest("start_test", test_name="tests/test_a.py::test_one")
    builder.call("tests.test_a.test_one", path="tests/test_a.py:3")
    builder.interest("checkpoint", subtype="db", rows=3)
    builder.ret(None)
    builder.interest("end_test", test_name="tests/test_a.py::test_one", outcome="failed", duration=0.5,
                     message="long\ntext\nE   assert 1 == 2")
    lines = lines_of(builder.pack())
    start = line_with(lines, "start_test")
    call = line_with(lines, "test_one(")
    checkpoint = line_with(lines, "checkpoint/db")
    end = line_with(lines, "end_test")
    assert lines.index(start) < lines.index(call) < lines.index(checkpoint) < lines.index(end)
    assert indent_of(checkpoint) == indent_of(call) + 2
    assert indent_of(start) == indent_of(end) == indent_of(call)
    assert "tests/test_a.py::test_one" in start
    assert "failed" in end and "500.00 ms" in end and end.endswith(" assert 1 == 2")
    assert "rows=3" in checkpoint


def test_threads_are_shown_separately(builder):
    builder.call("app.main")
    builder.call("app.work", thread_id=200, thread="worker")
    builder.call("app.step", thread_id=200, thread="worker")
    builder.ret(1, thread_id=200)
    builder.ret(2, thread_id=200)
    builder.ret(None)
    lines = lines_of(builder.pack())
    main_header = line_with(lines, "thread MainThread")
    worker_header = line_with(lines, "thread worker (native id 200): 2 calls")
    assert lines.index(main_header) < lines.index(line_with(lines, "app.main(")) < lines.index(worker_header)
    assert indent_of(line_with(lines, "app.step(")) == indent_of(line_with(lines, "app.work(")) + 2


def test_depth_hides_deeper_calls_and_says_how_many(shop):
    lines = lines_of(shop.pack(), depth=2)
    assert line_with(lines, "app.main(")
    assert not [line for line in lines if "shop.Cart" in line]
    assert "... 2 more below" in line_with(lines, "more below")


@pytest.mark.parametrize(
    "text, shown, hidden",
    [
        ("total", ["app.<module>", "app.main(", "shop.Cart.total("], ["shop.Cart.add("]),
        ("CART.ADD", ["app.main(", "shop.Cart.add("], ["shop.Cart.total("]),
        ("app.main", ["app.main(", "shop.Cart.add(", "shop.Cart.total("], []),
        ("shop.py:9", ["shop.Cart.total("], ["shop.Cart.add("]),
        ("nothing matches", [], ["app.main(", "shop.Cart.add("]),
    ],
)
def test_filter_keeps_matches_their_callers_and_callees(shop, text, shown, hidden):
    lines = lines_of(shop.pack(), filter=text)
    for name in shown:
        assert [line for line in lines if name in line], name
    for name in hidden:
        assert not [line for line in lines if name in line], name


def test_colour_only_when_asked(shop):
    assert "\x1b[" not in viewer.render(shop.pack())
    assert "\x1b[" in viewer.render(shop.pack(), color=True)


def frames_document(count):
    builder = DocumentBuilder()
    builder.call("app.main")
    for index in range(count):
        builder.call("app.work", path="app.py:%d" % index, index=index, payload={"k": [1, 2, 3]}, text="x" * 300)
        builder.ret({"result": list(range(20))})
    builder.ret(None)
    return builder.pack()


def test_rendering_grows_linearly_with_the_frames():
    """Ten thousand frames are all rendered, in about four times what a
    quarter of them takes: a rendering that grew faster than linearly would
    take sixteen. (CPU time and a ratio, so that neither a busy machine nor a
    sanitizer build fails it; the speed itself is measured by benchmarks/.)"""
    took = {}
    for count in (2_500, 10_000):
        data = frames_document(count)
        started = time.process_time()
        lines = lines_of(data)
        took[count] = time.process_time() - started
        assert len([line for line in lines if "app.work(" in line]) == count
    assert took[10_000] < 8 * took[2_500], took


def test_deep_recursion_renders(builder):
    for _ in range(3000):
        builder.call("app.recurse")
    for _ in range(3000):
        builder.ret(1)
    lines = lines_of(builder.pack(), depth=None)
    assert len([line for line in lines if "app.recurse(" in line]) == 3000


def serialised(value):
    return msgpack.unpackb(dump_msgpack(value), strict_map_key=False)


class Point:
    def __init__(self):
        self.x = 1
        self.y = [2]


class Item:
    """A class with a repr of its own, which the serialiser does not run."""

    def __init__(self, **attributes):
        self.__dict__.update(attributes)

    def __repr__(self):
        return "Item!"


@pytest.mark.parametrize(
    "value, expected",
    [
        (None, "None"),
        (1.5, "1.5"),
        ("it's", '"it\'s"'),
        (b"\x00a", "b'\\x00a'"),
        ([1, "a"], "[1, 'a']"),
        ({"k": [1]}, "{'k': [1]}"),
        ((1,), "(1,)"),
        ((1, 2), "(1, 2)"),
        (set(), "set()"),
        (frozenset([1]), "frozenset({1})"),
        ({1: "a"}, "{1: 'a'}"),
        (2 ** 70, str(2 ** 70)),
        (Point(), "Point(x=1, y=[2])"),
        (Item(name="tea", price=3.5), "Item(name='tea', price=3.5)"),
        (Item(), "<Item>"),
        ([Item()], "[<Item>]"),
        (list(range(60)), "[0, 1, 2"),
    ],
)
def test_values_read_like_python(value, expected):
    assert viewer.format_value(serialised(value), limit=200).startswith(expected)


def test_cut_values_say_so():
    assert viewer.format_value(serialised("x" * 1000), limit=30).endswith("...")
    cut_list = viewer.format_value(serialised(list(range(500))), limit=2000)
    assert cut_list.endswith("... +450]")
    cycle = [1]
    cycle.append(cycle)
    assert viewer.format_value(serialised(cycle)) == "[1, [...]]"


def test_format_value_respects_its_limit():
    big = serialised({"k%d" % i: "v" * 50 for i in range(40)})
    assert len(viewer.format_value(big, limit=80)) <= 80


def test_not_a_document_is_a_format_error():
    with pytest.raises(viewer.TraceFormatError):
        viewer.render(b"\xc1\xc1")
    with pytest.raises(viewer.TraceFormatError):
        viewer.render(msgpack.packb([1, 2]))


def test_to_json_round_trips_and_tags_binary(builder):
    builder.call("app.f", blob=b"\x00\xff", ratio=float("nan"))
    builder.ret(None)
    builder.call("app.work", thread_id=200, thread="worker")
    builder.ret(None, thread_id=200)
    data = builder.pack()
    decoded = json.loads(viewer.to_json(data))
    assert decoded["trace_id"] == builder.trace_id
    assert list(decoded["frames"]) == ["200"]
    record = decoded["frames_of_interest"][0]
    assert record["locals"]["blob"] == {TAG: "bin", "type": "bytes", "base64": "AP8="}
    assert record["locals"]["ratio"] == "nan"


def test_class_bodies_are_named_from_their_return(builder):
    builder.call("app.<module>", path="app.py:1")
    call = builder.main[-1]
    builder.call("Cart", path="app.py:3")
    builder.main[-1]["qualname"] = None  # not known before the body has run
    builder.ret(None)
    builder.main[-1].update(qualname="app.Cart", locals={"__module__": "app", "__qualname__": "Cart", "add": "f"})
    builder.call("app.Cart.__init__", arguments={"self": UnreadyCart(), "__class__": "cell"})
    builder.ret(None)
    builder.ret(None)
    lines = lines_of(builder.pack())
    assert call["co_name"] == "<module>"
    assert line_with(lines, "class app.Cart").split()[:3] == ["class", "app.Cart", "app.py:3"]
    assert line_with(lines, "app.<module>").split()[:2] == ["app.<module>", "app.py:1"]
    assert "(self=<UnreadyCart>)" in line_with(lines, "__init__")


class UnreadyCart:
    """An object whose repr fails, as ``self`` does before ``__init__`` has run."""

    def __repr__(self):
        return self.missing


# What the records say beyond the function's own line


def test_each_call_shows_the_line_that_made_it_and_a_raise_the_line_it_left(builder):
    builder.call("app.<module>", path="app.py:1", line=30)
    builder.call("app.main", path="app.py:20", line=22)
    builder.call("shop.Cart.add", path="shop.py:5")
    builder.raise_(LookupError("no tea"), path="shop.py:7")
    builder.ret(0)
    builder.ret(None)
    lines = lines_of(builder.pack())
    assert line_with(lines, "app.main(").split("  ")[-3:-1] == ["app.py:20", "from app.py:30"]
    add = line_with(lines, "shop.Cart.add(")
    assert "!! LookupError('no tea')  shop.py:5  raised at line 7  from app.py:22  " in add
    assert "from" not in line_with(lines, "app.<module>")  # made by no recorded call


def test_a_class_body_is_not_said_to_come_from_its_own_line(builder):
    builder.call("app.<module>", path="app.py:1", line=3)
    builder.call("app.Cart", path="app.py:3")
    builder.ret(None)
    builder.main[-1].update(locals={"__module__": "app", "__qualname__": "Cart"})
    builder.ret(None)
    assert "from" not in line_with(lines_of(builder.pack()), "class app.Cart")


@pytest.mark.parametrize("code, normal", [(0, True), (None, True), (False, True), (1, False), ("bye", False)])
def test_an_exit_of_status_zero_is_a_normal_end(builder, code, normal):
    builder.call("__main__.<module>", path="app.py:1")
    builder.raise_(SystemExit(code), path="app.py:9")
    lines = lines_of(builder.pack(), summary=True)
    line = lines[-1]
    text = "SystemExit(%r)" % (code,)
    assert (" exits: " + text in line) is normal
    assert (" !! " + text in line) is not normal
    assert ("raised at line 9" in line) is not normal
    assert ("ended by an exception" in line_with(lines, "thread MainThread")) is not normal
    assert ("1 ended by an exception" in line_with(lines, "summary:")) is not normal


# The small print of sarn show


def test_one_call_is_said_in_the_singular(builder):
    builder.call("app.main")
    builder.ret(None)
    lines = lines_of(builder.pack(), summary=True)
    assert line_with(lines, "summary:") == "summary: 1 call of 1 function in 1 thread"
    assert line_with(lines, "thread MainThread") == "thread MainThread (native id 100): 1 call"


def test_a_filter_that_matches_nothing_prints_no_summary(shop):
    lines = lines_of(shop.pack(), filter="nowhere", summary=True)
    assert not [line for line in lines if line.startswith(("summary:", "slowest", "deepest"))]
    assert lines[-1] == "no call or frame of interest matches 'nowhere'"


def test_the_summary_names_a_class_body_as_the_tree_does(builder):
    builder.call("app.<module>", path="app.py:1")
    builder.call("ReportWorker", path="app.py:3")
    builder.main[-1]["qualname"] = None  # not known before the body has run
    builder.ret(None)
    builder.main[-1].update(qualname="app.ReportWorker", locals={"__module__": "app", "__qualname__": "ReportWorker"})
    builder.ret(None)
    lines = lines_of(builder.pack(), summary=True)
    functions = lines[lines.index(line_with(lines, "  function")) + 1:lines.index("slowest calls:")]
    assert [line.split("  ")[-1] for line in functions] == ["app.<module>", "class app.ReportWorker"]
    assert line_with(lines, "deepest call").endswith("app.<module> > class app.ReportWorker")
    assert "class app.ReportWorker" in line_with(lines, "app.py:3")


@pytest.mark.parametrize("ending", ["raise", "return"])
def test_a_line_cut_to_the_terminal_keeps_its_place_and_duration(builder, ending):
    builder.call("app.main", path="app.py:20", line=22)
    builder.call("shop.Inventory.take", path="shop.py:21", inventory={"item%d" % i: i for i in range(30)},
                 name="cake", count=1)
    if ending == "raise":
        builder.raise_(TypeError("unsupported operand type(s) for //: 'NoneType' and 'int'"), path="shop.py:24")
    else:
        builder.ret({"found": list(range(40))})
    builder.ret(None)
    line = line_with(lines_of(builder.pack(), width=110), "shop.Inventory.take(")
    assert len(line) <= 110
    # The arguments give way first; the calling line only when the value would be cut short.
    if ending == "raise":
        assert re.search(r"take\(\.\.\.\) !! TypeError\(.unsupported operand type\(s.*\.\.\.  shop.py:21  "
                         r"raised at line 24  \d+\.\d\d ms$", line), line
    else:
        assert re.search(r" -> \{'found': \[0, 1, .*\.\.\.  shop.py:21  from app.py:22  \d+\.\d\d ms$", line), line


# A model object as the serialiser writes it: the repr of its library's base
# class, and the attributes of the program's own class.
CATEGORY = {
    TAG: "object", "type": "shop.models.Category", "repr": "<Category: Category object (1)>",
    "attrs": {"_state": {TAG: "object", "type": "django.db.models.base.ModelState",
                         "repr": "<django.db.models.base.ModelState object at 0x7f5b56c33920>"},
              "id": 1, "slug": "tea", "title": "Tea"},
}


@pytest.mark.parametrize(
    "value, limit, expected",
    [
        (CATEGORY, 60, "Category(id=1, slug='tea', title='Tea', _state=..."),
        (CATEGORY, None, "Category(id=1, slug='tea', title='Tea', "
                         "_state=<django.db.models.base.ModelState object at 0x7f5b56c33920>)"),
        (dict(CATEGORY, attrs={}), 60, "<Category: Category object (1)>"),
        ({TAG: "object", "type": "shop.Money", "repr": "Money('3.50 EUR')"}, 60, "Money('3.50 EUR')"),
    ],
)
def test_an_object_recorded_with_its_attributes_shows_them(value, limit, expected):
    assert viewer.format_value(value, limit) == expected


def test_a_value_shown_whole_is_not_cut():
    text = "unsupported operand type(s) for //: 'NoneType' and 'int'"
    record = {"type": "exception", "exception": serialised(TypeError(text))}
    assert viewer.exception_text(record).endswith("...")
    assert viewer.exception_text(record, None) == "TypeError(%r)" % text
    # Long, yet within what one recorded value holds (its text budget).
    big = serialised({"k%d" % i: "v" * 20 for i in range(30)})
    assert viewer.format_value(big, None) == repr({"k%d" % i: "v" * 20 for i in range(30)})
