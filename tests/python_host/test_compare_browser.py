"""Two traces ticked in the list of ``sarn view`` and compared side by side."""

import os
import threading

import pytest

from host_support import DocumentBuilder
from sarn import db
from sarn.web.server import make_server
from test_host_browser import HOSTILE, browser, css, wait  # noqa: F401  (browser is a fixture)

pytestmark = pytest.mark.slow
SCREENSHOT = os.path.join(os.path.dirname(__file__), os.pardir, os.pardir, "build", "screenshots", "compare-page.png")


def shop_trace(trace_id, rate, extra):
    builder = DocumentBuilder(trace_id=trace_id)
    builder.call("shop.checkout", path="shop.py:10", line=12)
    for item in ["tea", "cake"] + (["jam"] if extra else []):
        builder.call("shop.price_in", path="shop.py:20", arguments={"item": item, "rate": rate, "note": HOSTILE})
        builder.ret(3.0)
    builder.ret(None)
    return builder


@pytest.fixture(scope="module")
def site(tmp_path_factory):
    path = str(tmp_path_factory.mktemp("compare") / "traces.sqlite3")
    for trace_id, rate, extra in (("trc_01COMPAREA000000000000000", 0.2, False),
                                  ("trc_01COMPAREB000000000000000", None, True)):
        builder = shop_trace(trace_id, rate, extra)
        db.save_trace_in_sqlite(path, trace_id, timeout=5, msgpack=builder.pack())
    server = make_server(path)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield server.url
    server.shutdown()
    server.server_close()


def test_two_ticked_traces_open_side_by_side(browser, site):  # noqa: F811
    browser.get(site)
    rows = wait(browser, lambda: css(browser, "#traces tbody tr"))
    button = css(browser, "#compare")[0]
    assert not button.is_enabled()
    for row in rows:
        row.find_element("css selector", "td.pick input").click()
    assert button.is_enabled()
    button.click()
    wait(browser, lambda: css(browser, ".side-by-side tbody tr"))
    assert browser.current_url.endswith("/compare/trc_01COMPAREA000000000000000/trc_01COMPAREB000000000000000")
    assert css(browser, "#first")[0].text.startswith("First difference: shop.checkout › shop.price_in: argument rate")
    changes = [(row.find_element("css selector", "td.a").text, row.find_element("css selector", "td.b").text)
               for row in css(browser, "tr.kind-change")]
    assert changes == [("rate=0.2", "rate=None")] * 2
    extra = css(browser, "tr.kind-only_b")
    assert len(extra) == 1 and "item='jam'" in extra[0].text and not css(browser, "tr.kind-only_a")
    assert browser.title.startswith("sarn: ") and "taken" not in browser.title  # values stay text
    assert css(browser, "#summary")[0].text == "3 differences"
    os.makedirs(os.path.dirname(SCREENSHOT), exist_ok=True)
    browser.save_screenshot(SCREENSHOT)
