"""A trace exported as one HTML file, opened from disk in a real browser (headless Chromium)."""

import json
import os

import pytest

from sarn import cli, db
from sarn.web.share import html_page
from test_host_browser import OUTSIDE, browser, css, site, trace_db, wait  # noqa: F401 (fixtures)

pytestmark = pytest.mark.slow

SCREENSHOT = os.path.join(os.path.dirname(__file__), os.pardir, os.pardir, "build", "screenshots", "offline-trace.png")


@pytest.fixture(scope="module")
def exported(trace_db, tmp_path_factory):
    """The trace with queries, a log record and an HTTP call, written as one page."""
    path = str(tmp_path_factory.mktemp("offline") / "trace.html")
    assert cli.main(["export", OUTSIDE.trace_id, "--db", trace_db[0], "-o", path]) == 0
    return path


def open_page(driver, path):
    driver.get("file://" + path)
    wait(driver, lambda: driver.execute_script("return document.body.dataset.ready") == "true")


def rows(driver):
    return [row.get_attribute("textContent") for row in css(driver, ".thread .row")]


def details(driver):
    wait(driver, lambda: css(driver, "#details dd pre") or css(driver, "#details .error"))
    return [item.get_attribute("textContent") for item in css(driver, "#details dd pre, #details .error")]


def click_row(driver, text):
    row = [row for row in css(driver, ".thread .row") if text in row.get_attribute("textContent")][0]
    row.find_element("css selector", ".label").click()


def test_the_file_shows_the_tree_and_details_that_sarn_view_shows(browser, site, exported):
    browser.get(site + "trace/" + OUTSIDE.trace_id)
    wait(browser, lambda: browser.execute_script("return document.body.dataset.ready") == "true")
    served_rows = rows(browser)
    click_row(browser, "price_of(item=1)")
    served_details = details(browser)

    open_page(browser, exported)
    assert rows(browser) == served_rows
    kinds = [row.get_attribute("class").split()[1] for row in css(browser, ".thread .row")]
    assert kinds == ["kind-call"] + ["kind-call", "kind-sql"] * 3 + ["kind-log", "kind-http"]
    click_row(browser, "price_of(item=1)")
    assert details(browser) == served_details and "1" in served_details
    assert css(browser, "#details .detail-name")[0].text == "shop.models.price_of"
    # A query selects the call that issued it, as on the served page.
    click_row(browser, "SELECT amount")
    wait(browser, lambda: css(browser, "#details .issued-by"))
    assert "3 SQL queries in" in css(browser, "#outside")[0].text
    os.makedirs(os.path.dirname(SCREENSHOT), exist_ok=True)
    browser.save_screenshot(SCREENSHOT)


def test_the_file_fetches_nothing_and_keeps_no_link_to_a_server(browser, exported):
    open_page(browser, exported)
    click_row(browser, "price_of(item=2)")
    details(browser)
    assert browser.execute_script("return performance.getEntriesByType('resource').length") == 0
    assert browser.execute_script("return document.querySelectorAll('a[href]').length") == 0
    assert not css(browser, "#download")[0].is_displayed()
    assert len(css(browser, "script:not([type])")) == 4 and not css(browser, "img")
    assert "taken" not in browser.title


def test_a_call_whose_details_were_left_out_says_so(browser, trace_db, tmp_path, monkeypatch):
    from sarn.web.model import TraceModel

    model = TraceModel(db.load_trace(trace_db[0], OUTSIDE.trace_id))
    monkeypatch.setattr(html_page, "DATA_LIMIT", len(json.dumps(model.page(), ensure_ascii=False).encode()) + 600)
    path = str(tmp_path / "small.html")
    assert cli.main(["export", OUTSIDE.trace_id, "--db", trace_db[0], "-o", path]) == 0
    open_page(browser, path)
    assert len(rows(browser)) == 9
    click_row(browser, "price_of(item=2)")
    [message] = details(browser)
    assert message.startswith("This file leaves out the details of this call")
