"""The trace pages of ``sarn view`` in a real browser (headless Chromium)."""

import os
import re
import shutil
import threading

import pytest

import sarn
from host_support import DocumentBuilder
from sarn import db
from sarn.web.server import make_server

pytestmark = pytest.mark.slow

HOSTILE = "<script>document.title='taken'</script><img src=x onerror=alert(1)>"
SCREENSHOT = os.path.join(os.path.dirname(__file__), os.pardir, os.pardir, "build", "screenshots", "trace-page.png")


def render_comment(text):
    return "<p>%s</p>" % text


def count_stock(limit):
    return sum(range(limit))


def stock_lines(count):
    for number in range(count):
        yield "line %d" % number


def shop_program():
    worker = threading.Thread(target=count_stock, args=(1000,), name="stock-worker")
    worker.start()
    page = render_comment(HOSTILE)
    list(stock_lines(2))
    worker.join()
    return page


def outside_trace():
    """Three items priced one query each from one line (and a hostile SQL text), a log record, an HTTP call."""
    builder = DocumentBuilder(trace_id="trc_01TESTOUTSIDE000000000000000")
    builder.call("shop.views.price_list", path="shop/views.py:10", line=12)
    for item in range(3):
        builder.call("shop.models.price_of", path="shop/models.py:5", line=6, arguments={"item": item})
        builder.operation("sql_query", "sql_query_end", end={"rowcount": 1}, params=[item], vendor="sqlite",
                          sql="SELECT amount\nFROM price\nWHERE item_id = ? -- " + HOSTILE)
        builder.ret(item)
    builder.operation("log_record", level="WARNING", levelno=30, logger="shop", message="honey is dear")
    builder.operation("http_request", "http_request_end", end={"status": 200}, method="GET", url="http://rates/eur")
    builder.ret(None)
    return builder


OUTSIDE = outside_trace()


@pytest.fixture(scope="module")
def trace_db(tmp_path_factory):
    path = str(tmp_path_factory.mktemp("view") / "traces.sqlite3")
    db.save_trace_in_sqlite(path, OUTSIDE.trace_id, timeout=5, msgpack=OUTSIDE.pack())
    builder = DocumentBuilder(trace_id="trc_01TESTBOUNDARIES0000000000", source="pytest")
    builder.interest("start_test", test_name="tests/test_shop.py::test_price")
    builder.call("test_shop.test_price")
    builder.ret(None)
    builder.interest("end_test", test_name="tests/test_shop.py::test_price", outcome="passed", duration=0.002)
    db.save_trace_in_sqlite(path, builder.trace_id, timeout=5, msgpack=builder.pack(),
                            meta={"outcome": "passed", "duration": 0.002})  # as pytest --sarn lists it
    many = DocumentBuilder(trace_id="trc_01TESTMANYCALLS00000000000", source="run")
    for number in range(250):
        many.call("app.step", arguments={"number": number})
        many.ret(number)
    db.save_trace_in_sqlite(path, many.trace_id, timeout=5, msgpack=many.pack())
    with sarn.record(db_path=path, config={"threading": True}) as recording:
        shop_program()
    return path, recording.trace_id


@pytest.fixture(scope="module")
def site(trace_db):
    server = make_server(trace_db[0])
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield server.url
    server.shutdown()
    server.server_close()


@pytest.fixture(scope="module")
def browser():
    webdriver = pytest.importorskip("selenium.webdriver", reason="selenium cannot be installed for this interpreter")
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    driver_path = shutil.which("chromedriver")
    if not chromium or not driver_path:
        pytest.skip("no chromium and chromedriver on PATH (scripts/setup.sh installs them as root)")
    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--window-size=1500,900"):
        options.add_argument(argument)
    # The browser must not inherit a sanitizer runtime preloaded for sarn's
    # extension (the sanitizer suite runs these tests too).
    env = {key: value for key, value in os.environ.items() if key != "LD_PRELOAD" and "SAN_OPTIONS" not in key}
    service = webdriver.ChromeService(executable_path=driver_path, env=env)
    driver = webdriver.Chrome(service=service, options=options)
    driver.implicitly_wait(0)
    yield driver
    driver.quit()


def wait(driver, condition):
    from selenium.webdriver.support.ui import WebDriverWait

    return WebDriverWait(driver, 20).until(lambda _: condition())


def css(driver, selector):
    from selenium.webdriver.common.by import By

    return driver.find_elements(By.CSS_SELECTOR, selector)


def test_list_shows_the_traces_and_opens_one(browser, site, trace_db):
    browser.get(site)
    rows = wait(browser, lambda: css(browser, "#traces tbody tr"))
    assert len(rows) == 4
    assert rows[3].find_element("css selector", "td.queries").text.startswith("3 in ")
    assert "tests/test_shop.py::test_price" in rows[2].text
    status, duration = rows[2].find_elements("css selector", "td")[3:5]
    assert (status.text, duration.text) == ("passed", "2.00 ms")
    assert "good" in status.find_element("css selector", ".badge").get_attribute("class")
    css(browser, "#filter")[0].send_keys("test_price")
    wait(browser, lambda: len(css(browser, "#traces tbody tr")) == 1)
    css(browser, "#filter")[0].clear()
    css(browser, "#filter")[0].send_keys(trace_db[1])
    link = wait(browser, lambda: css(browser, "#traces tbody tr td.what a"))[0]
    link.click()
    wait(browser, lambda: browser.execute_script("return document.body.dataset.ready") == "true")
    assert browser.current_url.endswith("/trace/" + trace_db[1])
    heads = [head.text for head in css(browser, ".thread-head")]
    assert len(heads) == 2 and "stock-worker" in heads[1]


def test_trace_page_folds_searches_and_shows_values_as_text(browser, site, trace_db):
    browser.get(site + "trace/" + trace_db[1])
    wait(browser, lambda: browser.execute_script("return document.body.dataset.ready") == "true")
    css(browser, "#collapse")[0].click()
    roots = css(browser, ".thread .row")
    assert [row.find_element("css selector", ".name").text for row in roots] == [
        "test_host_browser.shop_program",
        "test_host_browser.count_stock",
    ]
    roots[0].find_element("css selector", ".toggle").click()
    names = wait(browser, lambda: [row.text for row in css(browser, ".thread .row .name")])
    assert "test_host_browser.render_comment" in names
    # A generator's entries: its first call and each resumption, each with what it yielded.
    pieces = [text for text in (row.get_attribute("textContent") for row in css(browser, ".thread .row"))
              if "stock_lines" in text]
    assert [("resumed" in text, "← yield" in text, "→ None" in text) for text in pieces] == [
        (False, True, False), (True, True, False), (True, False, True)]
    assert "← yield 'line 1'" in pieces[1]

    search = css(browser, "#search")[0]
    search.send_keys("render_comment")
    wait(browser, lambda: css(browser, "#matches")[0].text.startswith("1 of 1"))
    current = css(browser, ".row.current .name")[0]
    assert current.get_attribute("textContent") == "test_host_browser.render_comment"
    shown = wait(browser, lambda: [pre.text for pre in css(browser, "#details dd pre")])
    assert repr(HOSTILE) in shown  # the argument, as text
    assert repr("<p>%s</p>" % HOSTILE) in shown  # the return value
    facts = dict(zip((dt.text for dt in css(browser, "#details .facts-list dt")),
                     (dd.text for dd in css(browser, "#details .facts-list dd"))))
    assert re.search(r"test_host_browser.py:\d+$", facts["called from"]) and facts["returned at"]
    # Nothing of it became markup: no new script or image, the title intact.
    assert len(css(browser, "script")) == 3 and not css(browser, "img")
    assert browser.title.startswith("sarn") and "taken" not in browser.title
    os.makedirs(os.path.dirname(SCREENSHOT), exist_ok=True)
    browser.save_screenshot(SCREENSHOT)


def test_test_boundaries_are_marked(browser, site):
    browser.get(site + "trace/trc_01TESTBOUNDARIES0000000000")
    wait(browser, lambda: browser.execute_script("return document.body.dataset.ready") == "true")
    kinds = [row.get_attribute("class") for row in css(browser, ".thread .row")]
    assert [kind.split()[1] for kind in kinds] == ["kind-start_test", "kind-call", "kind-end_test"]
    assert "passed" in css(browser, ".row.kind-end_test")[0].text
    badge = css(browser, "#status")[0]
    assert (badge.text, badge.get_attribute("class"), css(browser, "#duration")[0].text) == (
        "passed", "badge good", "2.00 ms")
    css(browser, ".row.kind-end_test .label")[0].click()
    wait(browser, lambda: [name.text for name in css(browser, "#details .detail-name")] == ["end_test"])
    data = [pre.text for pre in css(browser, "#details dd pre")]
    assert "tests/test_shop.py::test_price" in data and "2.00 ms" in data


def test_long_lists_of_calls_are_shown_in_parts(browser, site):
    browser.get(site + "trace/trc_01TESTMANYCALLS00000000000")
    wait(browser, lambda: browser.execute_script("return document.body.dataset.ready") == "true")
    assert len(css(browser, ".row[data-id]")) == 200
    more = css(browser, ".row.more")[0]
    assert "50 more calls" in more.text
    more.click()
    wait(browser, lambda: len(css(browser, ".row[data-id]")) == 250)
    assert not css(browser, ".row.more")


def test_queries_show_in_the_tree_and_the_panel_and_select_their_call(browser, site):
    browser.get(site + "trace/" + OUTSIDE.trace_id)
    wait(browser, lambda: browser.execute_script("return document.body.dataset.ready") == "true")
    rows = css(browser, ".thread .row")
    kinds = [row.get_attribute("class").split()[1] for row in rows]
    assert kinds == ["kind-call"] + ["kind-call", "kind-sql"] * 3 + ["kind-log", "kind-http"]
    query = rows[2].get_attribute("textContent")
    assert "SELECT amount FROM price" in query and "similar ×3" in query and "models.py:6" in query
    panel = css(browser, "#outside")[0]
    assert "3 SQL queries in" in panel.text and "log records: 1 WARNING" in panel.text
    assert [section.text.split("\n")[0] for section in css(browser, ".op-section summary")] == [
        "QUERIES (3)", "HTTP CALLS (1)", "LOG RECORDS (1)"]
    group = css(browser, ".op-entry.group")[0]
    assert "3× similar" in group.text
    group.click()
    members = wait(browser, lambda: css(browser, ".op-members .op-entry"))
    members[1].click()
    wait(browser, lambda: css(browser, "#details .issued-by"))
    selected = [row.find_element("css selector", ".label").get_attribute("textContent")
                for row in css(browser, ".row.selected")]
    assert len(selected) == 2 and selected[0].startswith("shop.models.price_of(item=1)")
    shown = [pre.get_attribute("textContent") for pre in css(browser, "#details dd pre")]
    assert "SELECT amount\nFROM price\nWHERE item_id = ? -- " + HOSTILE in shown and "[1]" in shown
    assert len(css(browser, "script")) == 3 and not css(browser, "img")
