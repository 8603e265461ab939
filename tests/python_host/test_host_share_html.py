"""sarn export --format html: the trace page as one file that opens offline."""

import base64
import hashlib
import html.parser
import json
import os
import re
import shutil

import pytest

from host_support import DocumentBuilder
from sarn import cli, db
from sarn.web.model import TraceModel
from sarn.web.share import html_page

TRACE_ID = "trc_01TESTHTML00000000000000000"
HOSTILE = "</script><script>document.title='taken'</script><!--"


class _Page(html.parser.HTMLParser):
    """The tags, inline scripts and styles of a page."""

    def __init__(self):
        super().__init__()
        self.tags = []
        self.texts = {"script": [], "style": []}
        self._open = None

    def handle_starttag(self, tag, attrs):
        self.tags.append((tag, dict(attrs)))
        self._open = tag if tag in self.texts else None

    def handle_endtag(self, tag):
        self._open = None

    def handle_data(self, data):
        if self._open:
            self.texts[self._open].append((self.tags[-1][1], data))


def parse(text):
    page = _Page()
    page.feed(text)
    return page


def embedded(text):
    found = re.search(r'<script type="application/json" id="sarn-offline-data">(.*?)</script>', text, re.S)
    return json.loads(found.group(1))


def deep_trace():
    """A call with a hostile argument over three levels of calls, and a query."""
    builder = DocumentBuilder(trace_id=TRACE_ID)
    builder.call("app.main", arguments={"note": HOSTILE})
    builder.call("app.middle", arguments={"depth": 1})
    builder.call("app.leaf", arguments={"payload": "x" * 3000})
    builder.operation("sql_query", "sql_query_end", end={"rowcount": 1}, sql="SELECT 1 -- " + HOSTILE,
                      vendor="sqlite")
    builder.ret(1)
    builder.ret(2)
    builder.ret(HOSTILE)
    return builder


@pytest.fixture
def stored(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    db.save_trace_in_sqlite("t.db", TRACE_ID, timeout=5, msgpack=deep_trace().pack(), label="nightly " + HOSTILE,
                            meta={"status": 200})
    return tmp_path


def export(capsys, *extra):
    code = cli.main(["export", TRACE_ID, "--db", "t.db", "--format", "html", "-o", "t.html"] + list(extra))
    out, err = capsys.readouterr()
    assert "Traceback" not in err
    return code, err


def test_the_page_holds_its_files_and_data_and_asks_for_nothing(stored, capsys):
    code, err = export(capsys)
    assert code == 0 and err == "sarn: wrote trace %s to t.html: its call tree of 4 entries, with the details of all\n" % TRACE_ID
    text = (stored / "t.html").read_text(encoding="utf-8")
    page = parse(text)
    # Nothing to fetch: no source, and no style sheet or other link but the icon's data URL
    # (the page's script takes off its links to the server: see the browser's test).
    for tag, attributes in page.tags:
        assert "src" not in attributes, tag
        assert tag != "link" or attributes["href"].startswith("data:"), attributes
    assert not re.search(r"https?://|//[a-z]", " ".join(t for _, t in page.texts["script"] if _.get("type") is None))
    # The page's own scripts and style sheet, as the server sends them.
    static = html_page.STATIC_DIR
    scripts = [data for attributes, data in page.texts["script"] if "type" not in attributes]
    for name in ("common.js", "outside.js", "trace.js"):
        assert open(os.path.join(static, name), encoding="utf-8").read() in scripts
    assert [data for _, data in page.texts["style"]] == [open(os.path.join(static, "sarn.css")).read()]
    # A policy that runs exactly those scripts and that style sheet, and forbids any request.
    [policy] = [attributes["content"] for tag, attributes in page.tags
                if tag == "meta" and attributes.get("http-equiv") == "Content-Security-Policy"]
    assert policy.startswith("default-src 'none';") and "unsafe" not in policy and "connect-src" not in policy
    allowed = set(re.findall(r"'sha256-([^']+)'", policy))
    digests = {base64.b64encode(hashlib.sha256(data.encode()).digest()).decode()
               for _, data in page.texts["script"] + page.texts["style"] if _.get("type") is None}
    assert allowed == digests


def test_the_data_is_what_sarn_view_serves_and_no_value_becomes_markup(stored, capsys):
    export(capsys)
    text = (stored / "t.html").read_text(encoding="utf-8")
    model = TraceModel(db.load_trace("t.db", TRACE_ID), db.get_trace_info("t.db", TRACE_ID))
    data = embedded(text)
    assert data["page"] == json.loads(model.page_json())
    assert data["details"] == [model.details(number) for number in range(len(model.nodes))]
    assert data["page"]["what"] == "nightly " + HOSTILE
    assert HOSTILE not in text and text.count("</script>") == len(parse(text).texts["script"])


def test_the_page_is_made_of_the_trace_page_s_files_of_the_day(stored, capsys, monkeypatch, tmp_path):
    copy = str(tmp_path / "static")
    shutil.copytree(html_page.STATIC_DIR, copy)
    with open(os.path.join(copy, "trace.js"), "a", encoding="utf-8") as handle:
        handle.write("// a new line of the trace page\n")
    with open(os.path.join(copy, "extra.css"), "w", encoding="utf-8") as handle:
        handle.write(".new-rule { color: red; }\n")
    trace_page = os.path.join(copy, "trace.html")
    with open(trace_page, encoding="utf-8") as handle:
        markup = handle.read().replace("</head>", '<link rel="stylesheet" href="/static/extra.css">\n</head>')
    with open(trace_page, "w", encoding="utf-8") as handle:
        handle.write(markup)
    monkeypatch.setattr(html_page, "STATIC_DIR", copy)
    export(capsys)
    text = (stored / "t.html").read_text(encoding="utf-8")
    assert "// a new line of the trace page" in text and ".new-rule { color: red; }" in text
    assert "/static/" not in text


def test_a_big_trace_keeps_its_tree_and_the_outermost_details_that_fit(stored, capsys, monkeypatch):
    model = TraceModel(db.load_trace("t.db", TRACE_ID), db.get_trace_info("t.db", TRACE_ID))
    tree = len(json.dumps(model.page(), ensure_ascii=False).encode())
    # Room for the tree and the two outer calls' details, not for the leaf's long argument.
    outer = sum(len(json.dumps(model.details(number), ensure_ascii=False).encode()) + 1 for number in (0, 1))
    monkeypatch.setattr(html_page, "DATA_LIMIT", tree + outer + 100)
    code, err = export(capsys)
    assert code == 0 and "with the details of the outermost 2 (an HTML file holds at most" in err
    data = embedded((stored / "t.html").read_text(encoding="utf-8"))
    assert len(data["page"]["nodes"]) == 4
    assert [details is not None for details in data["details"]] == [True, True, False, False]

    monkeypatch.setattr(html_page, "DATA_LIMIT", tree - 1)
    os.remove("t.html")
    code, err = export(capsys)
    assert code == cli.EXIT_USAGE
    assert "call tree of trace %s alone takes" % TRACE_ID in err and "sarn export ID -o trace.sarn" in err
    assert os.listdir(".") == ["t.db"]


def test_the_help_says_how_much_a_page_holds(capsys):
    assert cli.main(["export", "--help"]) == 0
    assert "up to %d MB of data" % (html_page.DATA_LIMIT // 2 ** 20) in " ".join(capsys.readouterr().out.split())
