"""``sarn view``'s server and ``sarn export --format chrome``, without a browser."""

import http.client
import json
import subprocess
import sys
import threading

import msgpack
import pytest

from host_support import DocumentBuilder
from sarn import cli, db, viewer
from sarn.web.chrome import trace_events
from sarn.web.model import TraceModel
from sarn.web.server import make_server


def two_thread_document():
    builder = DocumentBuilder(trace_id="trc_01WEB0000000000000000000000")
    builder.interest("start_test", test_name="test_shop.py::test_total")
    builder.call("shop.total", arguments={"cart": ["tea", "cake"]}, line=7)
    builder.call("shop.price", arguments={"item": "<b>tea</b>"})
    builder.ret(3.5)
    builder.ret(9.25)
    builder.call("shop.audit", arguments={"n": 2})  # no return recorded
    builder.call("worker.run", thread_id=200, thread="worker")
    builder.ret("done", thread_id=200)
    return builder.pack()


@pytest.fixture(scope="module")
def served(tmp_path_factory):
    db_path = str(tmp_path_factory.mktemp("web") / "traces.sqlite3")
    db.save_trace_in_sqlite(db_path, "trc_01WEB0000000000000000000000", timeout=5, msgpack=two_thread_document(),
                            label="GET /total", meta={"status": 200, "duration": 0.01})
    server = make_server(db_path)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield server
    server.shutdown()
    server.server_close()


def request(server, path, method="GET", host=None):
    connection = http.client.HTTPConnection("127.0.0.1", server.server_address[1], timeout=10)
    connection.putrequest(method, path, skip_host=True)
    connection.putheader("Host", host or "127.0.0.1:%d" % server.server_address[1])
    connection.endheaders()
    response = connection.getresponse()
    body = response.read()
    connection.close()
    return response, body


@pytest.mark.parametrize(
    "path, status, content_type",
    [
        ("/", 200, "text/html"),
        ("/trace/trc_01WEB0000000000000000000000", 200, "text/html"),
        ("/static/trace.js", 200, "text/javascript"),
        ("/static/sarn.css", 200, "text/css"),
        ("/api/traces", 200, "application/json"),
        ("/api/traces/latest", 200, "application/json"),
        ("/api/traces/trc_01WEB/nodes/2", 200, "application/json"),
        ("/api/traces/latest/chrome", 200, "application/json"),
        ("/static/../db.py", 404, "text/plain"),
        ("/static/%2e%2e%2fdb.py", 404, "text/plain"),
        ("/static/server.py", 404, "text/plain"),
        ("/../../../etc/passwd", 404, "text/plain"),
        ("/static/..%2F..%2F..%2Fetc%2Fpasswd", 404, "text/plain"),
        ("/trace/%3Cscript%3E", 404, "text/plain"),
        ("/api/traces/trc_NONE", 404, "text/plain"),
        ("/api/traces/latest/nodes/99", 404, "text/plain"),
    ],
)
def test_server_answers_only_its_own_routes(served, path, status, content_type):
    response, _ = request(served, path)
    assert response.status == status
    assert response.getheader("Content-Type").startswith(content_type)
    policy = response.getheader("Content-Security-Policy")
    assert "script-src 'self'" in policy and "unsafe-inline" not in policy
    assert response.getheader("X-Content-Type-Options") == "nosniff"


@pytest.mark.parametrize(
    "host, status",
    [("localhost:{port}", 200), ("127.0.0.1:{port}", 200), ("attacker.example:{port}", 403), ("127.0.0.1.nip.io", 403)],
)
def test_server_refuses_foreign_host_names(served, host, status):
    response, _ = request(served, "/api/traces", host=host.format(port=served.server_address[1]))
    assert response.status == status


def test_server_refuses_other_methods(served):
    assert request(served, "/api/traces", method="POST")[0].status == 501


def test_trace_api_gives_the_tree_and_each_calls_details(served):
    _, body = request(served, "/api/traces/latest")
    page = json.loads(body)
    assert (page["what"], page["facts"]["status"]) == ("GET /total", 200)
    nodes = page["nodes"]
    main, worker = page["threads"]
    assert (main["name"], worker["name"], worker["native_id"]) == ("MainThread", "worker", 200)
    assert [nodes[index]["k"] for index in main["roots"]] == ["start_test", "call", "call"]
    total = nodes[main["roots"][1]]
    assert (total["n"], total["a"], total["r"]) == ("shop.total", "(cart=['tea', 'cake'])", "9.25")
    price = nodes[total["c"][0]]
    assert price["n"] == "shop.price" and price["s"] < price["e"] <= total["e"]
    audit = nodes[main["roots"][2]]
    assert audit["x"] == "no return recorded" and "e" not in audit or audit["e"] is None
    _, body = request(served, "/api/traces/latest/nodes/%d" % total["c"][0])
    details = json.loads(body)
    assert details["arguments"] == [["item", "'<b>tea</b>'"]]
    assert details["return"] == "3.5"


def test_chrome_events_nest_per_thread_with_names_and_values():
    events = trace_events(two_thread_document())["traceEvents"]
    names = {(e["tid"], e["args"]["name"]) for e in events if e["ph"] == "M" and e["name"] == "thread_name"}
    assert names == {(100, "MainThread"), (200, "worker")}
    calls = {e["name"]: e for e in events if e["ph"] == "X"}
    total, price, audit = calls["shop.total"], calls["shop.price"], calls["shop.audit"]
    assert total["tid"] == price["tid"] == 100 and calls["worker.run"]["tid"] == 200
    assert total["ts"] <= price["ts"] and price["ts"] + price["dur"] <= total["ts"] + total["dur"]
    assert price["args"]["arguments"] == {"item": "'<b>tea</b>'"} and price["args"]["return"] == "3.5"
    assert audit["dur"] >= 0 and "return" not in audit["args"]
    (start,) = [e for e in events if e["ph"] == "i"]
    assert start["name"] == "start_test" and start["args"]["test_name"] == "'test_shop.py::test_total'"


def test_chrome_events_of_a_deep_call_tree():
    builder = DocumentBuilder()
    for depth in range(1200):
        builder.call("app.down", arguments={"depth": depth})
    for _ in range(1200):
        builder.ret(None)
    events = [e for e in trace_events(builder.pack())["traceEvents"] if e["ph"] == "X"]
    assert len(events) == 1200
    assert len(TraceModel(builder.pack()).page()["nodes"]) == 1200


@pytest.mark.parametrize("format_name", ["chrome", "perfetto"])
def test_export_writes_the_trace_event_format(tmp_path, capsys, format_name):
    path = str(tmp_path / "t.db")
    db.save_trace_in_sqlite(path, "trc_01WEB0000000000000000000000", timeout=5, msgpack=two_thread_document())
    assert cli.main(["export", "latest", "--format", format_name, "--db", path]) == 0
    exported = json.loads(capsys.readouterr().out)
    assert exported == json.loads(json.dumps(trace_events(two_thread_document())))


def recorder_shapes():
    """Records as the recorder writes them: a frame of interest, calls nested, returned and not, a return
    without its call, an exception record (no time, no call site), a second thread with a module body, and
    the marker of a cut trace."""
    builder = DocumentBuilder()
    builder.interest("start_test", test_name="test_total")
    total = builder.call("shop.total", arguments={"cart": ["tea"]})
    builder.call("shop.price", arguments={"item": "tea"})
    builder.ret(3.5)
    lost = builder.call("shop.lost")  # no return recorded: it ends with its caller
    builder.stacks[100].pop()
    builder.main.append(dict(builder.calls[lost], event="return", frame_id="frm_unknown", timestamp=builder._tick(),
                             user_code_call_site={"call_frame_id": total, "line_number": 3}))
    builder.call("shop.fail")
    builder.ret(None)
    builder.main.append({"type": "exception", "frame_id": builder.main[-1]["frame_id"], "thread": "MainThread",
                         "thread_native_id": 100, "exception": {"__sarn__": "object", "type": "KeyError",
                                                                "repr": "KeyError('x')"}})
    builder.ret(9.25)
    builder.call("shop.audit")  # no return recorded
    builder.call("worker.<module>", thread_id=200, thread="worker")
    builder.call("worker.run", thread_id=200, thread="worker", n=1)
    builder.ret("done", thread_id=200)
    builder.ret(None, thread_id=200)
    builder.main.append({"type": "trace_cut", "max_trace_bytes": 1000, "timestamp": builder._tick()})
    return builder


# What the export gives: the events that it gave when it built every event
# from the whole document, but an exception told on the call it ended
# rather than as an instant of its own. (ph, cat, name, tid, ts, dur, args)
SHAPES_EVENTS = [
    ("M", None, "process_name", 0, None, None, {"name": "sarn run app.py --flag"}),
    ("M", None, "thread_name", 100, None, None, {"name": "MainThread"}),
    ("M", None, "thread_sort_index", 100, None, None, {"sort_index": 0}),
    ("i", "interest", "start_test", 100, 999.928, None, {"test_name": "'test_total'"}),
    ("X", "call", "shop.total", 100, 1999.855, 6999.493,
     {"path": "app.py:1", "arguments": {"cart": "['tea']"}, "return": "9.25"}),
    ("X", "call", "shop.price", 100, 2999.783, 999.927,
     {"path": "app.py:1", "arguments": {"item": "'tea'"}, "return": "3.5"}),
    ("X", "call", "shop.lost", 100, 4999.638, 3999.71, {"path": "app.py:1", "arguments": {}}),
    ("X", "call", "shop.lost", 100, 1999.855, 3999.71, {"path": "app.py:1", "return": "None"}),
    ("X", "call", "shop.fail", 100, 6999.493, 999.927,
     {"path": "app.py:1", "arguments": {}, "exception": "KeyError('x')"}),
    ("X", "call", "shop.audit", 100, 9999.275, 0.0, {"path": "app.py:1", "arguments": {}}),
    ("M", None, "thread_name", 100, None, None, {"name": "thread"}),
    ("M", None, "thread_sort_index", 100, None, None, {"sort_index": 1}),
    ("i", "interest", "trace_cut", 100, 14998.913, None, {"max_trace_bytes": "1000"}),
    ("M", None, "thread_name", 200, None, None, {"name": "worker"}),
    ("M", None, "thread_sort_index", 200, None, None, {"sort_index": 2}),
    ("X", "body", "worker.<module>", 200, 10999.203, 2999.782, {"path": "app.py:1"}),
    ("X", "call", "worker.run", 200, 11999.13, 999.928,
     {"path": "app.py:1", "arguments": {"n": "1"}, "return": "'done'"}),
]


def brief(events):
    assert all(event["pid"] == 1 and event.get("s", "t") == "t" for event in events)
    return sorted(((e["ph"], e.get("cat"), e["name"], e["tid"], e.get("ts"), e.get("dur"), e["args"]) for e in events),
                  key=repr)


@pytest.mark.parametrize("builder, expected", [
    pytest.param(recorder_shapes(), SHAPES_EVENTS, id="shapes"),
    pytest.param(DocumentBuilder(), SHAPES_EVENTS[:1], id="empty"),
])
def test_chrome_export_read_record_by_record_gives_the_events_of_the_whole_document(tmp_path, capsys, builder,
                                                                                   expected):
    path = str(tmp_path / "t.db")
    db.save_trace_in_sqlite(path, builder.trace_id, timeout=5, msgpack=builder.pack())
    assert cli.main(["export", "latest", "--format", "chrome", "--db", path, "--indent", "2"]) == 0
    exported = json.loads(capsys.readouterr().out)
    in_memory = trace_events(builder.pack())  # its start read from the document, not from the listing
    assert brief(exported["traceEvents"]) == brief(in_memory["traceEvents"]) == sorted(expected, key=repr)
    assert exported["otherData"] == {"trace_id": builder.trace_id, "source": "run", "command": "app.py --flag"}
    assert exported == in_memory


def test_chrome_export_of_a_recorded_trace_is_the_same_from_the_database_the_server_and_memory(tmp_path, capsys):
    import sarn

    def lookup(stock, name):
        return stock[name]

    def restock(stock):
        for name in stock:
            yield lookup(stock, name)

    def work():
        try:
            lookup({}, "tea")
        except KeyError:
            pass
        return list(restock({"tea": 1, "jam": 2}))

    path = str(tmp_path / "t.db")
    with sarn.record(db_path=path, config={"threading": True}):
        thread = threading.Thread(target=work, name="courier")
        thread.start()
        thread.join()
        work()
    document = db.load_trace(path, "latest")
    assert cli.main(["export", "latest", "--format", "chrome", "--db", path]) == 0
    exported = json.loads(capsys.readouterr().out)
    server = make_server(path)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        response, body = request(server, "/api/traces/latest/chrome")
    finally:
        server.shutdown()
        server.server_close()
    assert response.status == 200 and response.getheader("Content-Length") == str(len(body))
    assert json.loads(body) == exported == trace_events(document)
    decoded = msgpack.unpackb(document, strict_map_key=False)
    lists = [decoded["frames_of_interest"], *decoded["frames"].values()]
    records = [record for records in lists for record in records if record.get("event") == "call"]
    calls = [event for event in exported["traceEvents"] if event["ph"] == "X"]
    names = sorted(record["qualname"] or record["co_name"] for record in records)
    assert sorted(event["name"] for event in calls) == names
    assert {event["tid"] for event in calls} == {record["thread_native_id"] for record in records}
    assert all(event["ts"] >= 0 and event["dur"] >= 0 for event in calls)
    threads = {event["args"]["name"] for event in exported["traceEvents"] if event["name"] == "thread_name"}
    assert {"MainThread", "courier"} <= threads
    # How a frame ended, or that it resumed one, is told on its call's event.
    assert not [event for event in exported["traceEvents"] if event.get("cat") == "interest"]
    by_name = lambda name: [event["args"] for event in calls if event["name"].endswith(name)]
    raised = [args["exception"] for args in by_name("lookup") if "exception" in args]
    assert len(raised) == 2 and set(raised) <= {"KeyError('tea')", "an exception"}  # 3.8 to 3.11: not which
    assert [("resumed" in args, "yielded" in args) for args in by_name("restock")] == \
        [(False, True), (True, True), (True, False)] * 2


def test_a_frame_ended_by_an_exception_says_so_in_place_of_its_value():
    model = TraceModel(recorder_shapes().pack())
    nodes = model.page()["nodes"]
    [fail] = [number for number, node in enumerate(nodes) if node["n"] == "shop.fail"]
    assert nodes[fail]["t"] == "KeyError('x')" and "r" not in nodes[fail]
    assert not [node for node in nodes if node["n"] == "exception"]  # not a line of its own
    details = model.details(fail)
    assert details["raised"] == "KeyError('x')" and "return" not in details


@pytest.mark.slow
def test_sarn_view_prints_its_address_and_serves(tmp_path):
    path = str(tmp_path / "t.db")
    db.save_trace_in_sqlite(path, "trc_01WEB0000000000000000000000", timeout=5, msgpack=two_thread_document())
    process = subprocess.Popen(
        [sys.executable, "-m", "sarn", "view", "--db", path], stdout=subprocess.PIPE, text=True
    )
    try:
        line = process.stdout.readline()
        assert line.startswith("sarn: serving the traces of ") and "http://127.0.0.1:" in line
        port = int(line.rsplit(":", 1)[1].split("/")[0])
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
        connection.request("GET", "/api/traces")
        answer = json.loads(connection.getresponse().read())
        assert [trace["id"] for trace in answer["traces"]] == ["trc_01WEB0000000000000000000000"]
    finally:
        process.terminate()
        process.wait(10)


# ----------------------------------------------------------------------------
# SQL queries, HTTP calls, log records and template renders

LONG_SQL = "SELECT price.amount\nFROM price\nWHERE price.item_id = ?" + " AND 1 = 1" * 40


def outside_document():
    """A view that runs the same query for three items from one line, an HTTP call that fails, a warning
    with its traceback and a template render; a worker thread's query; an HTTP call whose end was not
    recorded and an end whose call was not."""
    builder = DocumentBuilder()
    builder.call("shop.views.list_items", path="shop/views.py:18", line=22)
    for item in range(3):
        builder.operation("sql_query", "sql_query_end", seconds=0.002, end={"rowcount": 1}, subtype="sqlalchemy",
                          sql=LONG_SQL, params=[item], database="sqlite://", vendor="sqlite")
    builder.operation("http_request", "http_request_end", seconds=0.25,
                      end={"status": 503, "response_headers": {"Retry-After": "5"}, "error": "HTTPError: 503"},
                      subtype="urllib", method="GET", url="https://rates.example/eur",
                      request_headers={"Accept": "*/*", "Authorization": "***"})
    builder.operation("log_record", subtype="logging", level="WARNING", levelno=30, logger="shop",
                      message="rates down", exception="Traceback ...\nHTTPError: 503")
    builder.operation("template_render", "template_render_end", seconds=0.003, template="list.html",
                      engine="jinja2")
    builder.ret(None)
    builder.call("worker.run", thread_id=200, thread="worker", line=4)
    builder.operation("sql_query", "sql_query_end", thread_id=200, thread="worker", end={}, sql="SELECT 1",
                      vendor="sqlite")
    builder.ret(None, thread_id=200, thread="worker")
    builder.call("shop.views.late", path="shop/views.py:40", line=41)
    builder.operation("http_request", "http_request_end", started=False, end={"status": 200}, method="POST")
    builder.operation("http_request", method="PUT", url="https://a.example/never")
    builder.ret(None)
    return builder


@pytest.fixture(scope="module")
def outside_model():
    model = TraceModel(outside_document().pack())
    return model, model.page()


def children_of(page, name):
    [node] = [node for node in page["nodes"] if node["n"] == name]
    return [(number, page["nodes"][number]) for number in node["c"]]


@pytest.mark.parametrize("position, expected", [
    (0, {"k": "sql", "n": "SQL", "q": [["value", "[0]"], ["", "1 row"]], "m": 3, "p": "shop/views.py:22"}),
    (3, {"k": "http", "n": "HTTP", "a": "https://rates.example/eur", "l": ["", "GET"], "q": [["error", "-> 503"]],
         "t": "HTTPError: 503"}),
    (4, {"k": "log", "n": "LOG", "a": "shop: rates down", "l": ["time", "WARNING"],
         "q": [["error", "!! HTTPError: 503"]]}),
    (5, {"k": "template", "n": "TEMPLATE", "a": "list.html (jinja2)"}),
], ids=["sql", "http", "log", "template"])
def test_trace_api_gives_each_operation_as_a_node_under_its_call(outside_model, position, expected):
    _, page = outside_model
    children = children_of(page, "shop.views.list_items")
    assert [node["k"] for _, node in children] == ["sql", "sql", "sql", "http", "log", "template"]
    node = children[position][1]
    assert {key: node.get(key) for key in expected} == expected
    assert node["s"] < node.get("e", node["s"] + 1)
    assert [node["s"] for _, node in children] == sorted(node["s"] for _, node in children)


def test_an_operations_node_keeps_its_text_to_one_line_and_its_span(outside_model):
    _, page = outside_model
    query = children_of(page, "shop.views.list_items")[0][1]
    assert "\n" not in query["a"] and query["a"].startswith("SELECT price.amount FROM price WHERE")
    assert len(query["a"]) <= 300 and query["a"].endswith("...")
    assert query["e"] - query["s"] == pytest.approx(0.002, abs=1e-6)
    assert "m" not in [node for node in page["nodes"] if node["a"] == "SELECT 1"][0]


@pytest.mark.parametrize("position, note, text", [(0, "began before recording", "?"),
                                                   (1, "no end recorded", "https://a.example/never")])
def test_an_operation_cut_by_the_recording_says_so(outside_model, position, note, text):
    _, page = outside_model
    node = children_of(page, "shop.views.late")[position][1]
    assert (node["k"], node["x"], node["a"]) == ("http", note, text)
    assert (node.get("e") is not None) == (position == 0)


@pytest.mark.parametrize("position, shown", [
    (0, [["sql", LONG_SQL], ["params", "[0]"], ["rowcount", "1"], ["database", "sqlite://"], ["vendor", "sqlite"]]),
    (3, [["method", "GET"], ["url", "https://rates.example/eur"], ["status", "503"], ["error", "HTTPError: 503"],
         ["request_headers", "Accept: */*\nAuthorization: ***"], ["response_headers", "Retry-After: 5"]]),
    (4, [["level", "WARNING"], ["logger", "shop"], ["message", "rates down"],
         ["exception", "Traceback ...\nHTTPError: 503"], ["levelno", "30"]]),
], ids=["sql", "http", "log"])
def test_an_operations_details_are_its_records_in_full_with_its_call(outside_model, position, shown):
    model, page = outside_model
    number = children_of(page, "shop.views.list_items")[position][0]
    [issuer] = [index for index, node in enumerate(page["nodes"]) if node["n"] == "shop.views.list_items"]
    details = model.details(number)
    assert details["issuer"] == issuer and details["name"] == "shop.views.list_items"
    assert details["operation"]["data"] == shown
    assert details["operation"]["site"] == "shop/views.py:22"


def test_the_panel_lists_each_kind_in_time_order_and_groups_similar_queries(outside_model):
    model, page = outside_model
    panel = page["outside"]
    nodes = page["nodes"]
    first_three = [number for number, node in children_of(page, "shop.views.list_items")][:3]
    worker_query = [number for number, node in enumerate(nodes) if node.get("a") == "SELECT 1"]
    assert panel["kinds"]["sql"] == first_three + worker_query
    assert [len(panel["kinds"][kind]) for kind in ("http", "log", "template")] == [3, 1, 1]
    assert panel["similar"] == [first_three]
    # The same sums as sarn show's.
    shown = viewer.render(outside_document().pack(), summary=True)
    assert panel["summary"] and all(line in shown for line in panel["summary"])
    assert panel["summary"][0].startswith("4 SQL queries in 7.00 ms; 3 similar at shop/views.py:22")


def test_a_trace_without_operations_has_an_empty_panel():
    assert TraceModel(two_thread_document()).page()["outside"] == {"summary": [], "kinds": {}, "similar": []}


@pytest.mark.parametrize("name, category, phase, args", [
    ("SELECT price.amount FROM price WHERE price.item_id = ? AND 1 = 1", "sql", "X",
     {"sql": LONG_SQL, "params": "[1]", "rowcount": 1, "database": "sqlite://", "vendor": "sqlite",
      "site": "shop/views.py:22"}),
    ("GET https://rates.example/eur", "http", "X",
     {"method": "GET", "url": "https://rates.example/eur", "request_headers": {"Accept": "*/*", "Authorization": "***"},
      "status": 503, "response_headers": {"Retry-After": "5"}, "error": "HTTPError: 503",
      "site": "shop/views.py:22"}),
    ("WARNING shop: rates down", "log", "i",
     {"level": "WARNING", "levelno": 30, "logger": "shop", "message": "rates down",
      "exception": "Traceback ...\nHTTPError: 503", "site": "shop/views.py:22"}),
    ("list.html (jinja2)", "template", "X", {"template": "list.html", "engine": "jinja2", "site": "shop/views.py:22"}),
], ids=["sql", "http", "log", "template"])
def test_chrome_events_of_operations(name, category, phase, args):
    builder = outside_document()
    events = [event for event in trace_events(builder.pack())["traceEvents"] if event.get("cat") == category]
    event = [event for event in events if event["name"].startswith(name)][1 if category == "sql" else 0]
    assert len(event["name"]) <= 100
    assert (event["ph"], event["tid"], event["args"]) == (phase, 100, args)
    kind = {"sql": "sql_query", "http": "http_request", "log": "log_record", "template": "template_render"}[category]
    start = builder.document()["timestamp"]
    calls = [round((record["timestamp"] - start) * 1e6, 3) for record in builder.main if record["type"] == kind]
    assert event["ts"] in calls
    if phase == "X":
        [parent] = [e for e in trace_events(builder.pack())["traceEvents"] if e["name"] == "shop.views.list_items"]
        assert parent["ts"] <= event["ts"] and event["ts"] + event["dur"] <= parent["ts"] + parent["dur"]


def test_chrome_events_of_operations_cut_by_the_recording_and_of_other_threads():
    events = trace_events(outside_document().pack())["traceEvents"]
    calls = {event["name"]: event for event in events if event["ph"] == "X"}
    late, worker = calls["shop.views.late"], calls["worker.run"]
    # Its call not recorded: it starts with its caller. Its end not recorded: it lasts to the thread's last record.
    began, never = calls["?"], calls["PUT https://a.example/never"]
    assert began["ts"] == late["ts"] and began["args"]["status"] == 200
    assert never["ts"] + never["dur"] == pytest.approx(max(e["ts"] + e.get("dur", 0) for e in events
                                                          if e["tid"] == 100 and e["ph"] != "M"), abs=0.01)
    assert calls["SELECT 1"]["tid"] == worker["tid"] == 200
    assert len([event for event in events if event.get("cat") == "sql"]) == 4


def test_trace_list_gives_the_queries_of_each_trace(tmp_path):
    path = str(tmp_path / "t.db")
    db.save_trace_in_sqlite(path, "trc_01WEB0000000000000000000000", timeout=5, msgpack=outside_document().pack())
    server = make_server(path)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        _, body = request(server, "/api/traces")
    finally:
        server.shutdown()
        server.server_close()
    [listed] = json.loads(body)["traces"]
    assert listed["sql_count"] == 4 and listed["sql_time"] == pytest.approx(0.007, abs=1e-6)


def test_a_test_trace_says_its_outcome_and_its_boundaries_as_text():
    builder = DocumentBuilder(source="pytest")
    builder.interest("start_test", test_name="tests/test_shop.py::test_price", test_line=3)
    builder.call("test_shop.test_price", path="tests/test_shop.py:3")
    builder.ret(None)
    message = "def test_price():\n>       assert price('it\\'s') == 2\nE       assert 1 == 2\n\ntest_shop.py:4: AssertionError"
    builder.interest("end_test", test_name="tests/test_shop.py::test_price", outcome="failed", duration=0.5,
                     message=message)
    model = TraceModel(builder.pack())
    assert model.page()["facts"] == {"outcome": "failed", "duration": 0.5, "failure": "assert 1 == 2"}
    start, end = (model.details(number) for number, node in enumerate(model.page()["nodes"])
                  if node["k"] in ("start_test", "end_test"))
    assert (start["name"], end["name"]) == ("start_test", "end_test")
    assert dict(end["data"]) == {"test_name": "tests/test_shop.py::test_price", "outcome": "failed",
                                 "duration": "500.00 ms", "message": message}
    assert dict(start["data"])["test_line"] == "3"


def test_a_calls_details_say_where_it_was_called_from_and_left_and_show_values_whole(builder):
    long_text = "unsupported operand type(s) for //: 'NoneType' and 'int' " * 3
    builder.call("app.main", path="app.py:20", line=22)
    # Long, yet within what one recorded value holds (its text budget).
    builder.call("shop.take", path="shop.py:5", stock={"item%d" % i: "x" * 100 for i in range(8)})
    builder.raise_(TypeError(long_text), path="shop.py:7")
    builder.ret(None)
    model = TraceModel(builder.pack())
    nodes = model.page()["nodes"]
    take = next(number for number, node in enumerate(nodes) if node["n"] == "shop.take")
    assert nodes[take]["w"] == "app.py:22" and "w" not in nodes[0]
    details = model.details(take)
    assert (details["site"], details["left"]) == ("app.py:22", ["raised at", "shop.py:7"])
    assert details["raised"] == "TypeError(%r)" % long_text
    assert details["arguments"][0][1] == repr({"item%d" % i: "x" * 100 for i in range(8)})
    assert model.details(0)["left"] == ["returned at", "app.py:20"]


@pytest.mark.parametrize("code, normal", [(0, True), (None, True), (2, False)])
def test_the_trace_page_shows_an_exit_of_status_zero_as_a_normal_end(builder, code, normal):
    builder.call("__main__.<module>", path="app.py:1")
    builder.raise_(SystemExit(code), path="app.py:9")
    model = TraceModel(builder.pack())
    line, details = model.page()["nodes"][0], model.details(0)
    text = "SystemExit(%r)" % (code,)
    assert (line.get("q"), line.get("t")) == ((text, None) if normal else (None, text))
    assert details["left"][0] == ("exited at" if normal else "raised at")
    assert details.get("exited" if normal else "raised") == text


def test_family_api_links_a_trace_to_its_parent_and_its_children(tmp_path):
    """A child process saved after its parent is found when the parent's page
    asks; a trace of no family has none; an unknown one is a 404."""
    db_path = str(tmp_path / "family.sqlite3")
    ids = {name: "trc_01FAM%s" % name.upper().ljust(21, "0") for name in ("parent", "child", "grandchild", "alone")}
    site = {"function": "main", "path": "/src/app.py", "line": 12}
    links = {"parent": None, "child": {"kind": "child", "parent": ids["parent"], "started_by": site},
             "grandchild": {"kind": "child", "parent": ids["child"]}, "alone": None}
    server = make_server(db_path)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        for when, name in enumerate(("parent", "alone", "child", "grandchild")):
            builder = DocumentBuilder(trace_id=ids[name])
            builder.call("app.%s" % name)
            builder.ret(None)
            db.save_trace_in_sqlite(db_path, ids[name], timeout=5, msgpack=builder.pack(), label=name,
                                    meta=links[name], created=1000.0 + when)
        family = {name: json.loads(request(server, "/api/traces/%s/family" % ids[name])[1]) for name in ids}
        missing, _ = request(server, "/api/traces/trc_01NOSUCHTRACE/family")
    finally:
        server.shutdown()
        server.server_close()
    assert [(kin["what"], kin["depth"]) for kin in family["parent"]["children"]] == [("child", 1), ("grandchild", 2)]
    assert family["parent"]["parent"] is None
    assert family["child"]["parent"]["what"] == "parent" and family["child"]["started_by"] == site
    assert family["grandchild"]["parent"]["id"] == ids["child"]
    assert family["alone"] == {"parent": None, "started_by": None, "children": []}
    assert missing.status == 404
