"""Values that fight back, in recorded frames: the program run by `sarn run`
prints exactly what it prints unrecorded, exits 0, and its trace reads back,
under each way of writing values."""

import os
import subprocess
import sys

import pytest

from sarn import db, viewer

HOSTILE = r'''
import resource, sys, threading

def rss_mb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024

def take(*values):
    return len(values)

def give(value):
    return value

class Raising:
    def __repr__(self): raise ValueError("repr")
    def __getattr__(self, name): raise RuntimeError("getattr " + name)
    def __eq__(self, other): raise TypeError("eq")
    def __hash__(self): raise TypeError("hash")
    def __len__(self): raise OverflowError("len")
    def __iter__(self): raise StopIteration
    @property
    def __class__(self): raise AttributeError("class")
    @property
    def __dict__(self): raise KeyError("dict")

class Everything:
    def __getattribute__(self, name): raise RuntimeError(name)

class Looping:
    def __repr__(self): return repr(self)
    def __len__(self): return sys.maxsize
    def __iter__(self):
        while True:
            yield self

class Lying(list):
    def __len__(self): return 10 ** 9
    def __iter__(self):
        while True:
            yield 1
    def __repr__(self): return "Lying" * 10 ** 6

class BadRepr:
    def __repr__(self): return 42

class Unhook:
    def __repr__(self):
        sys.setprofile(None)
        return "Unhook()"

class Nested:
    def __repr__(self):
        import sarn
        with sarn.record(config={"db_path": "nested.sqlite3"}):
            give("inside")
        return "Nested()"

class Deep:
    pass

deep = Deep()
node = deep
for _ in range(100_000):
    node.child = Deep()
    node = node.child
chain = []
for _ in range(100_000):
    chain = [chain]

cyclic = {}
cyclic["self"] = cyclic
print(take(Raising(), Everything(), Looping(), Lying([1, 2]), BadRepr(), deep, chain, cyclic))
print(give(Nested()).__class__.__name__)

# Lone surrogates in values, keys, function and file names; keys that are
# not text.
weird = {"\udfff": "\ud800", b"\xff": 1, 3.5: None, (1, "\udc80"): [1], frozenset([1]): 2}
print(take(weird, "\udc80" * 3))
code = compile("def odd(v):\n    return v\n", "file\udc80name.py", "exec")
names = {"__name__": "mod\udc80"}
exec(code, names)
odd = names["odd"]
odd.__qualname__ = "odd\ud800"
if hasattr(odd.__code__, "replace"):
    odd.__code__ = odd.__code__.replace(co_name="odd\ud801")
print(ascii(odd("\udc80")))
strange = {"__builtins__": __builtins__, 1: "one", None: "none"}
exec(compile("def inner():\n    return 5\nresult = inner()\n", "strange_ns.py", "exec"), strange)
print(strange["result"])

class Prepared(type):
    @classmethod
    def __prepare__(metacls, name, bases):
        class Namespace(dict):
            pass
        namespace = Namespace()
        namespace[7] = "seven"
        return namespace

class Odd(metaclass=Prepared):
    x = 1
print(Odd.x)

# Huge values are cut where they are read, never copied whole.
huge_text = "x" * 100_000_000
huge_list = [0] * 10_000_000
before = rss_mb()
take(huge_text, huge_list, huge_list)
give(huge_text)
print("grew", (rss_mb() - before) < 60)
del huge_text, huge_list

# Containers changed by another thread while they are written.
shared = {"n": 0}
shared_list = []
stop = False
def churn():
    i = 0
    while not stop:
        i += 1
        shared[i % 500] = [i] * (i % 7)
        if i % 3 == 0:
            shared.pop((i - 1) % 500, None)
        shared_list.append(i)
        if len(shared_list) > 300:
            del shared_list[:200]
worker = threading.Thread(target=churn)
worker.start()
for _ in range(300):
    take(shared, shared_list)
stop = True
worker.join()
print("churned")
# Last: with user reprs on, this one ends the recording.
print(give(Unhook()).__class__.__name__)
'''

MODES = {
    "full": [],
    "user reprs": ["-c", "call_user_repr=true"],
    "lightweight": ["--lightweight"],
    "threads": ["--threads"],
}


@pytest.mark.slow
@pytest.mark.parametrize("mode", sorted(MODES))
def test_hostile_values_leave_the_program_as_it_was(tmp_path, mode):
    (tmp_path / "hostile.py").write_text(HOSTILE, encoding="utf-8", errors="surrogatepass")
    env = dict(os.environ, PYTHONPATH="", PYTHONIOENCODING="utf-8:backslashreplace")
    plain = subprocess.run([sys.executable, "hostile.py"], cwd=str(tmp_path), capture_output=True,
                           text=True, timeout=300, env=env)
    assert plain.returncode == 0, plain.stderr[-3000:]
    recorded = subprocess.run([sys.executable, "-m", "sarn", "run", "--db", "t.sqlite3"] + MODES[mode]
                              + ["hostile.py"], cwd=str(tmp_path), capture_output=True, text=True,
                              timeout=300, env=env)
    assert (recorded.returncode, recorded.stdout) == (0, plain.stdout), recorded.stderr[-3000:]
    assert "grew True" in plain.stdout
    [info] = db.list_traces(str(tmp_path / "t.sqlite3"))
    assert info.size < 50_000_000
    document = viewer.decode_document(db.load_trace(str(tmp_path / "t.sqlite3"), info.id))
    text = viewer.render(document)
    assert "take" in text and "give" in text
