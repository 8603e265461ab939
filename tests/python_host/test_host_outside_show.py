"""SQL queries, HTTP calls, log records and template renders in the trace viewer."""

import io

import msgpack
import pytest

from host_support import DocumentBuilder, indent_of, line_with, lines_of
from sarn import cli, db, viewer
from sarn.serialize import dump_msgpack



def serialised(value):
    return msgpack.unpackb(dump_msgpack(value), strict_map_key=False)


def sql(builder, text="SELECT name FROM shop_item WHERE id = %s", params=(7,), seconds=0.0004, **end):
    return builder.operation("sql_query", "sql_query_end", seconds=seconds, end=end, subtype="django", sql=text,
                             params=serialised(params), database="default", vendor="sqlite")


@pytest.mark.parametrize(
    "record, expected",
    [
        (lambda b: sql(b, rowcount=3), "SQL  SELECT name FROM shop_item WHERE id = %s  (7,)  400 us  3 rows  views.py:22"),
        (lambda b: sql(b, "DELETE FROM cart", params=None, rowcount=1), "SQL  DELETE FROM cart  400 us  1 row  views.py:22"),
        (lambda b: b.operation("sql_query", "sql_query_end", end={}, sql="INSERT INTO t VALUES (%s)", many=50),
         "SQL  INSERT INTO t VALUES (%s)  50 parameter sets  1.00 ms  views.py:22"),
        (lambda b: b.operation("http_request", "http_request_end", seconds=0.268,
                               end={"status": 200, "response_size": 1234, "response_headers": {}},
                               subtype="httpx", method="GET", url="https://api.example.com/rate",
                               request_headers={"Authorization": "***"}),
         "HTTP GET https://api.example.com/rate -> 200  268.00 ms  1.2 KB  views.py:22"),
        (lambda b: b.operation("log_record", subtype="logging", level="WARNING", levelno=30, logger="shop.views",
                               message="stock low for 'tea'"),
         "LOG  WARNING shop.views: stock low for 'tea'  views.py:22"),
        (lambda b: b.operation("template_render", "template_render_end", seconds=0.0031, subtype="django",
                               template="shop/list.html", engine="django"),
         "TEMPLATE shop/list.html (django)  3.10 ms  views.py:22"),
    ],
    ids=["select", "no-params", "executemany", "http", "log", "template"],
)
def test_an_operation_is_one_line_under_the_call_that_issued_it(builder, record, expected):
    builder.call("shop.views.list_items", path="shop/views.py:18", line=22)
    builder.call("shop.views.before", path="shop/views.py:40")
    builder.ret(None)
    record(builder)
    builder.call("shop.views.after", path="shop/views.py:50")
    builder.ret(None)
    builder.ret(None)
    lines = lines_of(builder.pack())
    line = line_with(lines, expected.split()[0] + " ")
    assert line.strip() == expected
    call = line_with(lines, "shop.views.list_items(")
    assert indent_of(line) == indent_of(call) + 2
    assert lines.index(line_with(lines, "before(")) < lines.index(line) < lines.index(line_with(lines, "after("))


def test_operations_pair_by_frame_id_and_nest_in_their_own_call(builder):
    builder.call("app.main", path="app.py:1", line=5)
    outer = builder.operation("http_request", subtype="httpx", method="POST", url="https://a.example/x")
    builder.call("app.inner", path="lib.py:10", line=12)
    sql(builder, "SELECT 1", params=None, seconds=0.002, rowcount=1)
    builder.ret(None)
    builder.main.append({"frame_id": outer, "timestamp": builder._tick(0.5), "thread": "MainThread",
                         "thread_native_id": 100, "user_code_call_site": None, "type": "http_request_end",
                         "status": 503})
    builder.ret(None)
    lines = lines_of(builder.pack())
    http = line_with(lines, "HTTP POST")
    query = line_with(lines, "SQL  SELECT 1")
    assert indent_of(http) == indent_of(line_with(lines, "app.main(")) + 2
    assert indent_of(query) == indent_of(line_with(lines, "app.inner(")) + 2
    # The end came after the inner call: the whole span, the status of its own end.
    assert "-> 503  505.00 ms  app.py:5" in http
    assert "2.00 ms  1 row  lib.py:12" in query


def test_the_same_query_from_one_line_is_flagged_and_summed_up(builder):
    builder.call("shop.views.list_items", path="shop/views.py:18", line=22)
    for item in range(4):
        sql(builder, "SELECT price FROM shop_price\n  WHERE item_id = %s", params=(item,))
    sql(builder, "SELECT count(*) FROM shop_item", params=())
    builder.ret(None)
    # The same text from another line is not the same pattern ...
    builder.call("shop.views.detail", path="shop/views.py:30", line=33)
    sql(builder, "SELECT price FROM shop_price WHERE item_id = %s", params=(9,))
    builder.ret(None)
    # ... but one line run in several calls of its function is.
    for item in range(3):
        builder.call("shop.models.Item.price", path="shop/models.py:8", line=9)
        sql(builder, "SELECT value FROM shop_rate WHERE item_id = %s", params=(item,))
        builder.ret(None)
    lines = lines_of(builder.pack(), summary=True)
    repeated = [line for line in lines if "shop_price" in line and "views.py:22" in line]
    assert len(repeated) == 4 and all(line.endswith("(similar x4)") for line in repeated)
    assert "similar" not in line_with(lines, "count(*)")
    assert "similar" not in line_with(lines, "views.py:33")
    rates = [line for line in lines if "shop_rate" in line]
    assert len(rates) == 3 and all(line.endswith("models.py:9  (similar x3)") for line in rates)
    totals = line_with(lines, "SQL queries in")
    assert totals.strip().startswith("9 SQL queries in 3.60 ms")
    assert totals.endswith("; 4 similar at shop/views.py:22; 3 similar at shop/models.py:9")


def test_summary_totals_per_kind(builder):
    builder.call("app.main", path="app.py:1", line=3)
    sql(builder, "SELECT 1", seconds=0.001)
    sql(builder, "SELECT 2", seconds=0.002, error="OperationalError: database is locked")
    builder.operation("http_request", "http_request_end", seconds=0.268, end={"status": 200}, method="GET",
                      url="https://a.example/")
    for level, number in [("WARNING", 30), ("ERROR", 40), ("WARNING", 30), ("INFO", 20)]:
        builder.operation("log_record", level=level, levelno=number, logger="app", message="m")
    builder.ret(None)
    lines = [line.strip() for line in lines_of(builder.pack(), summary=True)]
    assert "2 SQL queries in 3.00 ms, 1 failed" in lines
    assert "1 HTTP call in 268.00 ms" in lines
    assert "log records: 1 INFO, 2 WARNING, 1 ERROR" in lines
    assert not [line for line in lines if "template" in line]
    # Only the summary says it.
    assert not [line for line in lines_of(builder.pack()) if "SQL queries" in line]


@pytest.mark.parametrize(
    "record, expected",
    [
        (lambda b: sql(b, "SELECT * FROM shop_item", params=None, error="OperationalError: no such table: shop_item"),
         "SQL  SELECT * FROM shop_item  !! OperationalError: no such table: shop_item  400 us  app.py:3"),
        (lambda b: b.operation("http_request", "http_request_end", end={"error": "ConnectError: refused"},
                               method="GET", url="http://localhost:1/"),
         "HTTP GET http://localhost:1/  !! ConnectError: refused  1.00 ms  app.py:3"),
        (lambda b: b.operation("http_request", "http_request_end", end={"status": 404}, method="GET",
                               url="http://x.example/missing"),
         "HTTP GET http://x.example/missing -> 404  1.00 ms  app.py:3"),
        (lambda b: b.operation("template_render", "template_render_end",
                               end={"error": "TemplateSyntaxError: Invalid block tag\non line 3"},
                               template="<string>", engine="jinja2"),
         "TEMPLATE <string> (jinja2)  !! TemplateSyntaxError: Invalid block tag on line 3  1.00 ms  app.py:3"),
        (lambda b: b.operation("log_record", level="ERROR", levelno=40, logger="app", message="failed\nbadly",
                               exception="Traceback (most recent call last):\n  ...\nValueError: bad price\n"),
         "LOG  ERROR app: failed badly  !! ValueError: bad price  app.py:3"),
    ],
    ids=["sql", "http-raised", "http-status", "template", "log-exception"],
)
def test_errors_read_like_exceptions_of_calls(builder, record, expected):
    builder.call("app.main", path="app.py:1", line=3)
    record(builder)
    builder.ret(None)
    lines = lines_of(builder.pack())
    assert line_with(lines, expected.split()[0] + " ").strip() == expected
    assert "\x1b" not in "\n".join(lines)
    coloured = "\n".join(lines_of(builder.pack(), color=True))
    assert "\x1b[1;31m" in coloured


@pytest.mark.parametrize(
    "make, expected, top_level",
    [
        # Issued with no user frame on the stack.
        (lambda b: sql(b, "SELECT 1", params=None, rowcount=1), "SQL  SELECT 1  400 us  1 row", True),
        # Recording started in the middle of the query: its end alone.
        (lambda b: b.operation("sql_query", "sql_query_end", end={"rowcount": 2}, started=False),
         "SQL  [began before recording]  2 rows", True),
        # Recording stopped before it ended.
        (lambda b: b.operation("http_request", method="GET", url="https://a.example/"),
         "HTTP GET https://a.example/  [no end recorded]", True),
    ],
    ids=["no-user-call", "end-without-call", "call-without-end"],
)
def test_incomplete_operations_are_shown_at_the_threads_top_level(builder, make, expected, top_level):
    make(builder)
    builder.call("app.main", path="app.py:1", line=3)
    make(builder)
    builder.ret(None)
    lines = lines_of(builder.pack(), summary=True)
    found = [line for line in lines if line.strip().startswith(expected)]
    assert len(found) == 2, lines
    assert indent_of(found[0]) == 0
    assert found[1].strip() == expected + "  app.py:3"
    assert indent_of(found[1]) == 2


def test_a_site_whose_call_is_not_recorded_shows_its_line_at_top_level(builder):
    builder.stacks[100] = [("frm_entered_before_recording", 41)]
    sql(builder, "SELECT 1", params=None)
    lines = lines_of(builder.pack())
    assert line_with(lines, "SQL ") == "SQL  SELECT 1  400 us  line 41"


@pytest.fixture
def shop(builder):
    builder.call("shop.views.list_items", path="shop/views.py:18", line=22)
    builder.call("shop.views.load", path="shop/views.py:40", line=44)
    for item in range(5):
        sql(builder, "SELECT * FROM shop_item WHERE id = %s", params=(item,))
    builder.operation("log_record", level="WARNING", levelno=30, logger="shop", message="stock low")
    builder.ret(None)
    builder.call("shop.views.render", path="shop/views.py:60")
    builder.ret(None)
    builder.ret(None)
    return builder


@pytest.mark.parametrize(
    "options, shown, hidden, says",
    [
        (dict(depth=1), ["list_items("], ["load(", "SQL ", "LOG "], "... 8 more below"),
        (dict(depth=2), ["load(", "render("], ["SQL ", "LOG "], "... 6 more below"),
        (dict(children=2), ["load(", "WHERE id = %s  (1,)"], ["(2,)", "LOG  WARNING"], "... 4 more calls: SQL x3, LOG x1"),
        (dict(lines=4), ["load(", "(1,)"], ["(2,)", "render("], "... 5 more lines left out"),
        (dict(filter="shop_item"), ["list_items(", "load(", "(4,)"], ["render(", "LOG "], None),
        (dict(filter="stock low"), ["load(", "LOG  WARNING shop: stock low"], ["SQL ", "render("], None),
        (dict(filter="views.load"), ["load(", "(4,)", "LOG "], ["render("], None),
    ],
    ids=["depth-1", "depth-2", "children", "lines", "filter-sql", "filter-log", "filter-caller"],
)
def test_limits_treat_operations_as_children_of_their_call(shop, options, shown, hidden, says):
    lines = lines_of(shop.pack(), **options)
    for text in shown:
        assert [line for line in lines if text in line], (text, lines)
    for text in hidden:
        assert not [line for line in lines if text in line], (text, lines)
    if says is not None:
        assert line_with(lines, says)
    # Totals count every operation, shown or not.
    assert "5 SQL queries in" in viewer.render(shop.pack(), summary=True, **options)


LONG_SQL = "SELECT " + ", ".join("shop_item.column_%d" % index for index in range(40)) + "\nFROM shop_item WHERE id = %s"


@pytest.mark.parametrize(
    "options, whole, longest",
    [
        (dict(width=100), False, 100),
        (dict(width=100, full=True), True, None),
        (dict(), False, 230),
        (dict(full=True), True, None),
    ],
    ids=["terminal", "terminal-all", "pipe", "pipe-all"],
)
def test_long_sql_is_cut_to_the_room_its_line_leaves(builder, options, whole, longest):
    builder.call("shop.views.list_items", path="shop/views.py:18", line=22)
    sql(builder, LONG_SQL, params=(7,), rowcount=1)
    builder.ret(None)
    line = line_with(lines_of(builder.pack(), **options), "SQL ")
    one_line = " ".join(LONG_SQL.split())
    assert (one_line in line) is whole
    assert "\\n" not in line
    if longest is not None:
        assert len(line) <= longest
        # What follows the text is kept: the cut falls in the SQL.
        assert "...  (7,)  400 us  1 row  views.py:22" in line


def test_operations_of_other_threads_stay_in_their_thread(builder):
    builder.call("app.main", path="app.py:1", line=2)
    builder.call("app.worker", path="app.py:9", line=11, thread_id=200, thread="worker")
    builder.operation("sql_query", "sql_query_end", end={"rowcount": 1}, sql="SELECT 1", thread_id=200,
                      thread="worker")
    builder.ret(None, thread_id=200)
    builder.ret(None)
    lines = lines_of(builder.pack())
    query = line_with(lines, "SQL  SELECT 1")
    assert lines.index(line_with(lines, "thread worker")) < lines.index(query)
    assert query.strip().endswith("app.py:11")


# --------------------------------------------------------------------------
# The listing: queries per trace, counted when the trace is saved


def shop_document(queries=3, trace_id="trc_SHOP"):
    builder = DocumentBuilder(trace_id=trace_id)
    builder.call("shop.views.list_items", path="shop/views.py:18", line=22)
    for item in range(queries):
        sql(builder, params=(item,), seconds=0.0004, rowcount=1)
    builder.ret(None)
    return builder


def test_query_facts_of_odd_documents_are_read_natively_as_decoding_reads_them():
    builder = shop_document(queries=2)
    builder.call("app.other", path="app.py:1")
    builder.operation("sql_query", "sql_query_end", seconds=0.002, started=False)  # an end alone
    builder.operation("sql_query", sql="SELECT 1")  # a query alone
    builder.operation("http_request", "http_request_end", seconds=0.5, method="GET", url="https://a.example/")
    builder.ret(None)
    document = builder.pack()
    native, decoded = db._summarise(document), db._summarise_decoded(document)
    assert native["sql_count"] == decoded["sql_count"] == 3
    assert native["sql_time"] == pytest.approx(decoded["sql_time"]) == pytest.approx(0.0008, abs=1e-6)


class Taken:
    """A document as the recorder hands it over: read piece by piece, with its counted facts."""

    def __init__(self, document):
        self.data = io.BytesIO(document)
        self.size = len(document)
        self.facts = {"started": 1.0, "source": "run", "argv": ["app.py", "--flag"], "frame_count": 1, "record_count": 1,
                      "thread_count": 1, "test_record": None}

    def read(self, size):
        return self.data.read(size)


@pytest.mark.parametrize(
    "saved, count, time",
    [
        (lambda document: document, 3, 0.0012),
        (Taken, 3, 0.0012),
        (lambda document: Taken(document + b"\x00" * (8 << 10)), None, None),
    ],
    ids=["bytes", "taken", "taken-too-big"],
)
def test_traces_lists_the_queries_and_their_time(db_path, capsys, monkeypatch, saved, count, time):
    monkeypatch.setattr(db, "INDEX_BYTES", 8 << 10)
    db.save_trace_in_sqlite(db_path, "trc_SHOP", timeout=5, msgpack=saved(shop_document().pack()))
    db.save_trace_in_sqlite(db_path, "trc_NONE", timeout=5, msgpack=shop_document(0, "trc_NONE").pack())
    infos = {info.id: info for info in db.list_traces(db_path)}
    assert (infos["trc_NONE"].sql_count, infos["trc_NONE"].sql_time) == (0, 0.0)
    assert infos["trc_SHOP"].sql_count == count
    assert infos["trc_SHOP"].sql_time == (None if time is None else pytest.approx(time, abs=1e-6))
    assert cli.main(["traces", "--db", db_path]) == 0
    head, first, second = capsys.readouterr().out.splitlines()
    assert head.split() == ["ID", "SAVED", "SOURCE", "FRAMES", "SIZE"] + (["SQL"] if count else []) + ["WHAT"]
    shop, none = (first, second) if "trc_SHOP" in first else (second, first)
    assert ("3 in 1.20 ms" in shop) is bool(count)
    # Columns stay aligned: the label starts where the other row's does.
    assert shop.index("app.py --flag") == none.index("app.py --flag")


def test_traces_without_queries_list_no_query_column(db_path, capsys):
    db.save_trace_in_sqlite(db_path, "trc_NONE", timeout=5, msgpack=shop_document(0, "trc_NONE").pack())
    assert cli.main(["traces", "--db", db_path]) == 0
    assert "SQL" not in capsys.readouterr().out


@pytest.mark.parametrize("options, whole", [([], False), (["--all"], True)])
def test_sarn_show_all_shows_sql_whole(db_path, capsys, options, whole):
    builder = DocumentBuilder(trace_id="trc_LONG")
    builder.call("shop.views.list_items", path="shop/views.py:18", line=22)
    sql(builder, LONG_SQL, rowcount=1)
    builder.ret(None)
    db.save_trace_in_sqlite(db_path, "trc_LONG", timeout=5, msgpack=builder.pack())
    assert cli.main(["show", "--db", db_path, "--no-pager"] + options) == 0
    line = line_with(capsys.readouterr().out.splitlines(), "SQL  SELECT")
    assert (" ".join(LONG_SQL.split()) in line) is whole
    assert line.endswith("1 row  views.py:22")
