"""sarn diff and sarn find on recorded programs."""

import json
import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("sarn._sarn")

from sarn import cli, db  # noqa: E402

# Which exception ended a frame is recorded from Python 3.12 on.
EXCEPTION_KNOWN = sys.version_info >= (3, 12)

APP = """
    import os
    import time

    from pricing import Order, price_in, total


    def checkout(order, items, rate):
        return total([price_in(name, price, rate) for name, price in items])


    def main():
        variant = os.environ["VARIANT"]
        items = [("tea", 3.0), ("cake", 4.0)]
        if variant == "extra":
            items.append(("jam", 2.0))
        if variant == "boom":
            items.append(("void", 1.0))
        if variant == "slow":
            time.sleep(0.2)
        order = Order(time.time())
        return checkout(order, items, None if variant == "rate" else 0.2)


    if __name__ == "__main__":
        try:
            main()
        except KeyError:
            pass
"""

PRICING = """
    class Order:
        def __init__(self, created_at):
            self.created_at = created_at
            self.lock = object()


    def price_in(name, price, rate):
        if name == "void":
            raise KeyError(name)
        return round(price * (1 + (rate or 0)), 2)


    def total(prices):
        return sum(prices)
"""


@pytest.fixture(scope="module")
def recorded(tmp_path_factory):
    """One run of the program per variant (two of "base"), in one database:
    {variant: trace id}."""
    folder = tmp_path_factory.mktemp("shop")
    (folder / "app.py").write_text(textwrap.dedent(APP))
    (folder / "pricing.py").write_text(textwrap.dedent(PRICING))
    path = str(folder / "traces.db")
    ids = {}
    for variant in ("base", "base", "rate", "extra", "boom", "slow"):
        done = subprocess.run([sys.executable, "-m", "sarn", "run", "--db", path, "app.py"], cwd=str(folder),
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300,
                              env=dict(_environ(), VARIANT=variant))
        assert done.returncode == 0, done.stderr.decode()
        newest = db.list_traces(path, limit=1)[0].id
        ids[variant if variant not in ids else "again"] = newest
    return path, ids


def run_cli(capsys, *argv):
    code = cli.main(list(argv))
    out, err = capsys.readouterr()
    return code, out, err


def diff_json(capsys, path, a, b, *options):
    code, out, err = run_cli(capsys, "diff", a, b, "--db", path, "--json", *options)
    return code, json.loads(out)


def test_identical_runs_have_no_differences(recorded, capsys):
    # Each run has its own object ids, addresses ("<object object at 0x...>"),
    # timestamps and thread ids; only the time stored in Order differs, and
    # the difference inside the order is pointed at.
    path, ids = recorded
    code, out, _ = run_cli(capsys, "diff", ids["base"], ids["again"], "--db", path, "--ignore", "created_at")
    assert code == 0
    assert out.splitlines()[-1] == "no differences"
    code, report = diff_json(capsys, path, ids["base"], ids["again"])
    assert code == 1
    assert {(entry["kind"], entry["field"]) for entry in report["differences"]} == {("argument", "order.created_at"), ("argument", "created_at")}


@pytest.mark.parametrize(
    "variant, first, kinds",
    [
        # One argument changed deep in the tree: every price_in call differs
        # in it, and so do the prices.
        ("rate", ("argument", "checkout", "rate", "0.2", "None"),
         {("argument", "price_in"), ("argument", "checkout"), ("result", "price_in"), ("result", "total"),
          ("argument", "total"), ("result", "checkout"), ("result", "main")}),
        # One more loop iteration: one extra call, the others pair as they were.
        ("extra", ("argument", "checkout", "items", None, None),
         {("only_b", "price_in"), ("argument", "checkout"), ("argument", "total"), ("result", "total"),
          ("result", "checkout"), ("result", "main")}),
        # An exception: the call raised in B only, and its callers ended by it.
        ("boom", ("argument", "checkout", "items", None, None),
         {("argument", "checkout"), ("only_b", "price_in"), ("only_a", "total"), ("exception", "checkout"),
          ("exception", "main")}),
    ],
)
def test_differences_of_two_runs(recorded, capsys, variant, first, kinds):
    path, ids = recorded
    code, report = diff_json(capsys, path, ids["base"], ids[variant], "--ignore", "created_at")
    assert code == 1 and not report["equal"]
    found = report["first"]
    assert (found["kind"], found["name"], found["field"]) == (first[0], "__main__." + first[1], first[2])
    assert found["path"] == ["__main__.<module>", "__main__.main"]
    if first[3] is not None:
        assert (found["a"], found["b"]) == first[3:]
    # Python before 3.12 runs a list comprehension as a call of its own.
    assert {(entry["kind"], entry["name"].rpartition(".")[2]) for entry in report["differences"]
            if "<listcomp>" not in entry["name"]} == kinds
    assert report["a"]["id"] == ids["base"] and report["b"]["id"] == ids[variant]
    assert set(found) >= {"thread", "path", "name", "site", "kind", "a", "b"}


def test_an_extra_iteration_is_one_call_and_raised_shows(recorded, capsys):
    path, ids = recorded
    code, out, _ = run_cli(capsys, "diff", ids["base"], ids["boom"], "--db", path, "--ignore", "created_at",
                           "--context", "0", "--color", "never")
    assert code == 1
    lines = out.splitlines()
    extra = [line for line in lines if line.startswith("+") and "price_in(" in line]
    assert len(extra) == 1 and "name='void'" in extra[0] and " raised " in extra[0]
    assert "raised KeyError('void')" in extra[0] or not EXCEPTION_KNOWN
    assert not any(line.startswith("-") and "price_in" in line for line in lines)
    assert any(line.startswith("! ") and "checkout()" in line for line in lines)


def test_color_marks_each_side(recorded, capsys):
    path, ids = recorded
    _, out, _ = run_cli(capsys, "diff", ids["base"], ids["rate"], "--db", path, "--color", "always")
    assert "\x1b[31m-" in out and "\x1b[32m+" in out
    _, out, _ = run_cli(capsys, "diff", ids["base"], ids["rate"], "--db", path)  # not a terminal
    assert "\x1b[" not in out


@pytest.mark.parametrize(
    "options, code, kinds",
    [
        (["--time", "50ms"], 1, {"time"}),  # main slept 0.2 s in B
        (["--time", "10x"], 1, {"time"}),
        (["--time", "10s"], 0, set()),
        (["--locals"], 1, {"local"}),  # checkout's order holds another time
    ],
)
def test_time_and_locals_options(recorded, capsys, options, code, kinds):
    path, ids = recorded
    ignore = [] if "--locals" in options else ["--ignore", "created_at"]
    ignore += ["--ignore", "order"] if "--locals" not in options else []
    found, report = diff_json(capsys, path, ids["base"], ids["slow"], *(options + ignore))
    assert found == code
    assert {entry["kind"] for entry in report["differences"]} - {"argument"} == kinds


@pytest.mark.parametrize(
    "argv, code, message",
    [
        (["diff", "trc_nope", "latest"], cli.EXIT_NO_TRACE, "no trace 'trc_nope'"),
        (["diff", "latest"], cli.EXIT_USAGE, "give two traces"),
        (["diff", "--test", "t.py::nothing"], cli.EXIT_NO_TRACE, "no traces of test 't.py::nothing'"),
        (["diff", "latest", "latest", "--time", "fast"], cli.EXIT_USAGE, "--time"),
        (["find", "x", "--where", "__import__('os').system('true')"], cli.EXIT_USAGE, "--where"),
        (["find", "x", "--since", "yesterday"], cli.EXIT_USAGE, "--since"),
    ],
)
def test_command_errors(recorded, capsys, argv, code, message):
    path, _ = recorded
    found, _, err = run_cli(capsys, *(argv + ["--db", path]))
    assert found == code
    assert message in err


TESTS = """
    import os


    def price(rate):
        return 3.0 * (1 + rate)


    def test_price():
        assert price(float(os.environ["RATE"])) > 0
"""


def test_diff_of_a_test_compares_its_last_two_traces(tmp_path, capsys):
    (tmp_path / "test_shop.py").write_text(textwrap.dedent(TESTS))
    path = str(tmp_path / "tests.db")
    for rate in ("0.1", "0.2", "0.2"):
        done = subprocess.run([sys.executable, "-m", "pytest", "-p", "no:cacheprovider", "-q", "--sarn", "--sarn-db",
                               path, "test_shop.py"], cwd=str(tmp_path), stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, timeout=300, env=dict(_environ(), RATE=rate))
        assert done.returncode == 0, done.stdout.decode()
    code, out, _ = run_cli(capsys, "diff", "--test", "test_shop.py::test_price", "--db", path)
    assert code == 0, out
    assert out.splitlines()[-1] == "no differences"


def _environ():
    import os

    return {key: value for key, value in os.environ.items() if key != "PYTHONPATH"}


# --------------------------------------------------------------------------
# sarn find


@pytest.mark.parametrize(
    "options, expected",
    [
        (["pricing.price_in", "--where", "rate is None"], {("rate", 2)}),
        (["price_in", "--where", "name == 'jam' or name == 'void'"], {("extra", 1), ("boom", 1)}),
        (["pricing.*", "--where", "result > 7"], {(variant, 1) for variant in ("base", "again", "extra", "slow")}),
        pytest.param(["*.price_in", "--raised", "KeyError"], {("boom", 1)},
                     marks=pytest.mark.skipif(not EXCEPTION_KNOWN, reason="the exception is recorded from 3.12")),
        (["*.price_in", "--raised", "*"], {("boom", 1)}),
        (["main", "--slower", "150ms"], {("slow", 1)}),
        (["checkout", "--where", "order.created_at > 0 and rate == 0.2 and 'tea' in items[0]"],
         {(variant, 1) for variant in ("base", "again", "extra", "boom", "slow")}),
    ],
)
def test_find_over_every_trace(recorded, capsys, options, expected):
    path, ids = recorded
    names = {trace_id: variant for variant, trace_id in ids.items()}
    code, out, _ = run_cli(capsys, "find", *options, "--db", path)
    lines = out.splitlines()
    assert lines[-1].endswith("found")
    found = {}
    for line in lines[:-1]:
        variant = names[line.split()[0]]
        found[variant] = found.get(variant, 0) + 1
    assert set(found.items()) == expected
    assert code == 0


def test_find_narrows_the_traces(recorded, capsys):
    path, ids = recorded
    code, out, _ = run_cli(capsys, "find", "price_in", "--trace", ids["rate"], "--limit", "1", "--db", path)
    assert code == 0 and len(out.splitlines()) == 1 and out.startswith(ids["rate"])
    assert "app.py:" in out and "rate=None" in out
    code, out, _ = run_cli(capsys, "find", "price_in", "--source", "pytest", "--db", path)
    assert code == 1 and out == "0 calls found\n"
    code, out, _ = run_cli(capsys, "find", "price_in", "--since", "2h", "--db", path)
    assert out.splitlines()[-1] == "14 calls found"
