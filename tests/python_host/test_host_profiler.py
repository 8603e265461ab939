"""The host profiler's life cycle, against a stand-in for the native core."""

import re
import sys
import threading
import time

import pytest

import sarn
import sarn.db
from sarn import profiler as profiler_module
from sarn.config import ConfigError
from sarn.plugins import PluginError
from sarn.profiler import CoreUnavailableError, Profiler, RecordingError, new_trace_id

ULID_TEXT = re.compile(r"^trc_[0-7][0-9A-HJKMNP-TV-Z]{25}$")
CROCKFORD = "0123456789ABCDEFGHJKMNPQRSTVWXYZ"


class StubCore:
    """Records what the host asks of the core, in order."""

    def __init__(self, fail_register=None):
        self.log = []
        self.fail_register = fail_register
        self.fail_save = None

    def register_profiler(self, profiler):
        self.log.append(("register", profiler.trace_id))
        if self.fail_register is not None:
            raise self.fail_register
        log = self.log
        stub = self

        class Native:
            def save_request_in_db(self):
                if stub.fail_save is not None:
                    raise stub.fail_save
                log.append(("save", getattr(threading, "_profile_hook", None), sys.getprofile()))

            def build_trace(self):
                return b"\x80"

            def take_trace_document(self):  # what a save takes, stored by the stubbed database
                self.save_request_in_db()
                return b"\x80"

            def register_threading_profiler(self, frame, event, arg):
                pass

        native = Native()
        profiler.rust_profiler = native
        sys.setprofile(lambda *args: None)
        if profiler.config.get("threading") is True:
            threading.setprofile(native.register_threading_profiler)

    def register_noop_profiler(self):
        self.log.append(("noop",))


@pytest.fixture
def core(monkeypatch):
    stub = StubCore()
    monkeypatch.setattr(sarn.db, "save_trace_in_sqlite", lambda *args, **kwargs: None)
    monkeypatch.setattr(sarn, "_sarn", stub, raising=False)
    monkeypatch.setitem(sys.modules, "sarn._sarn", stub)
    yield stub
    sys.setprofile(None)
    threading.setprofile(None)
    profiler_module._active = None


def test_trace_ids_are_ulids():
    ids = [new_trace_id() for _ in range(200)]
    assert all(ULID_TEXT.match(trace_id) for trace_id in ids)
    assert len(set(ids)) == 200
    milliseconds = 0
    for char in ids[-1][4:14]:
        milliseconds = milliseconds * 32 + CROCKFORD.index(char)
    assert abs(milliseconds / 1000 - time.time()) < 5


def test_profiler_carries_what_the_core_reads(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    host = Profiler({"threading": True}, "sub/db.sqlite3", one_trace_per_test=True, source="pytest")
    assert host.db_path == str(tmp_path / "sub" / "db.sqlite3")
    # The core reads a missing "engine" as the profile function: the package names its default.
    assert host.config == {"threading": True, "db_path": host.db_path, "engine": "monitoring"}
    assert Profiler({"engine": "setprofile"}).config["engine"] == "setprofile"
    assert host.one_trace_per_test is True and host.source == "pytest"
    assert ULID_TEXT.match(host.trace_id)
    assert callable(host) and host(None, "call", None) is None
    assert Profiler({"db_path": "other.db"}).db_path == str(tmp_path / "other.db")


def test_stop_removes_hooks_before_saving(core):
    host = Profiler({"threading": True}).start()
    assert threading._profile_hook is not None
    host.stop()
    assert core.log == [("register", host.trace_id), ("noop",), ("save", None, None)]
    assert not host.running


def test_stop_without_saving(core):
    host = Profiler({}).start()
    host.stop(save=False)
    assert core.log[-1] == ("noop",)
    host.save()
    assert core.log[-1][0] == "save"


def test_second_recording_is_refused_while_one_runs(core):
    first = Profiler({}).start()
    with pytest.raises(RecordingError, match=first.trace_id):
        Profiler({}).start()
    first.stop()
    Profiler({}).start().stop()
    assert [entry[0] for entry in core.log].count("register") == 2


def test_stop_on_another_thread_is_refused(core):
    host = Profiler({}).start()
    errors = []
    worker = threading.Thread(target=lambda: errors.append(pytest.raises(RecordingError, host.stop)))
    worker.start()
    worker.join()
    assert errors and host.running
    host.stop()


def test_failed_registration_leaves_nothing_running(core):
    core.fail_register = TypeError("profiler object is not callable")
    with pytest.raises(TypeError):
        Profiler({}).start()
    assert sys.getprofile() is None
    core.fail_register = None
    Profiler({}).start().stop()


def test_bad_plugin_is_reported_before_the_core_is_asked(core):
    with pytest.raises(PluginError):
        Profiler({"plugins": ["no_such_module_here:X"]}).start()
    assert core.log == []
    Profiler({}).start().stop()


def test_missing_core_is_reported_plainly(monkeypatch):
    monkeypatch.setattr(sarn, "_sarn", None, raising=False)
    monkeypatch.delattr(sarn, "_sarn")
    monkeypatch.setitem(sys.modules, "sarn._sarn", None)
    with pytest.raises(CoreUnavailableError, match="sarn._sarn is not available"):
        Profiler({}).start()
    assert profiler_module.active_profiler() is None


def test_record_context_manager_and_decorator(core, tmp_path):
    with sarn.record(db_path=tmp_path / "t.db", config={"threading": False}) as recording:
        assert profiler_module.active_profiler() is recording.profiler
    assert recording.db_path == str(tmp_path / "t.db")
    assert core.log[-1][0] == "save"

    @sarn.record(db_path=tmp_path / "t.db")
    def work(value):
        return value * 2

    assert work(21) == 42
    assert work.__name__ == "work"
    registered = [entry[1] for entry in core.log if entry[0] == "register"]
    assert len(registered) == 2 and registered[-1] != recording.trace_id


def test_bare_decorator(core):
    @sarn.record
    def work():
        return profiler_module.active_profiler()

    assert work() is not None
    assert profiler_module.active_profiler() is None


def test_record_saves_when_the_block_raises(core):
    with pytest.raises(KeyError):
        with sarn.record():
            raise KeyError("x")
    assert core.log[-1][0] == "save"


def test_nested_record_is_refused(core):
    with sarn.record() as outer:
        with pytest.raises(RecordingError, match=outer.trace_id):
            with sarn.record():
                pass
    assert core.log[-1][0] == "save"


def test_recursive_decorated_function_is_one_recording(core):
    @sarn.record()
    def countdown(n):
        return countdown(n - 1) if n else profiler_module.active_profiler().trace_id

    trace_id = countdown(3)
    assert [entry[0] for entry in core.log] == ["register", "noop", "save"]
    assert core.log[0][1] == trace_id


def test_concurrent_recording_from_another_thread_is_refused(core):
    @sarn.record()
    def work():
        return 1

    errors = []
    with sarn.record():
        worker = threading.Thread(target=lambda: errors.append(pytest.raises(RecordingError, work)))
        worker.start()
        worker.join()
    assert len(errors) == 1


def test_failed_save_does_not_hide_the_blocks_exception(core, caplog):
    core.fail_save = OSError("disk full")
    with pytest.raises(KeyError):
        with sarn.record():
            raise KeyError("original")
    assert "disk full" in caplog.text
    core.fail_save = None


def test_async_functions_cannot_be_decorated():
    async def work():
        return 1

    with pytest.raises(TypeError, match="async"):
        sarn.record()(work)


def test_importing_sarn_does_not_load_the_core(tmp_path):
    import subprocess

    code = "import sys, sarn; print('sarn._sarn' in sys.modules, sarn.__version__)"
    done = subprocess.run([sys.executable, "-c", code], stdout=subprocess.PIPE, check=True, cwd=str(tmp_path))
    assert done.stdout.decode().split() == ["False", sarn.__version__]


def test_record_takes_settings_with_dotted_names(core):
    with sarn.record(config={"filters.include_frames": ["lib/a/"]}) as recording:
        assert recording.profiler.config["filters"]["include_frames"] == ["lib/a/"]
    with pytest.raises(ConfigError, match="unknown key 'filter.include_frames'"):
        sarn.record(config={"filter.include_frames": ["lib/a/"]}).__enter__()
