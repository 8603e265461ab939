#include "lib/monitoring.hpp"

#if PY_VERSION_HEX >= 0x030C0000

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "lib/profiler_type.hpp"
#include "profiler/directory_memo.hpp"
#include "profiler/exit_exception.hpp"
#include "profiler/pipeline.hpp"
#include "utils/free_threading.hpp"
#include "utils/host_import.hpp"

namespace sarn::monitoring {

namespace {

constexpr const char* tool_name = "sarn";
// Tool ids in order of preference: first the ones no convention assigns, so
// that a debugger, coverage measurement or a profiler (cProfile takes the
// profiler id) started while recording finds its own id free.
constexpr int preferred_tool_ids[] = {3, 4, 5, 2, 1, 0};

struct Session {
    uint64_t serial = 0;
    int tool_id = -1;
    uint64_t starter = 0;         // thread serial of the thread whose stop ends it
    Ref monitoring;               // sys.monitoring
    Ref disable;                  // sys.monitoring.DISABLE
    std::vector<Ref> callbacks;   // the registered native callables
    std::vector<Ref> profilers;   // every instance a thread records into
};

// Starting, joining and stopping hold this lock; on a free-threaded
// interpreter threads may do so at the same time.
InterpreterMutex session_mutex;

// The running session, or null. Heap-held and never destroyed at process
// exit, when its references could no longer be released.
Session* session = nullptr;
// Its serial (0: none) and DISABLE, read by every event without touching it
// and without the lock: on a free-threaded interpreter, while another thread
// starts or stops a session.
std::atomic<uint64_t> active_serial{0};
std::atomic<PyObject*> disable_object{nullptr};
uint64_t next_session_serial = 1;

// Under what the events disabled for a tool id were disabled: the tool id
// and what the filter's skip decisions depend on. A session with another
// configuration re-enables them first.
std::string disabled_under;

struct Followed {
    uint64_t serial = 0;           // the session that follows this thread
    PyObject* profiler = nullptr;  // held by that session
};
thread_local Followed followed;

uint64_t this_thread_serial() noexcept {
    static std::atomic<uint64_t> next{1};
    thread_local const uint64_t serial = next.fetch_add(1, std::memory_order_relaxed);
    return serial;
}

// ---------------------------------------------------------------------------
// The callbacks. Calls and returns map as the interpreter's own profile
// function maps them: a start, resumption or throw into a frame is a call
// (a throw's argument is the exception before 3.13, None from 3.13 on); a
// return, yield or unwinding is a return (an unwinding frame returns None).
// A resumption and a yield say so; whether a throw resumes the frame or
// meets it unstarted is the frame's to tell.

// DISABLE, or None once the session has ended meanwhile (on another thread).
PyObject* disable_result() noexcept {
    PyObject* disable = disable_object.load(std::memory_order_acquire);
    return Py_NewRef(disable != nullptr ? disable : Py_None);
}

[[gnu::noinline]] PyObject* handle_event(PyObject* profiler, PyObject* const* args, Py_ssize_t nargs,
                                         FrameEvent kind, bool may_disable, bool has_value, Switch told) noexcept {
    if (nargs < 2) return Py_NewRef(Py_None);
    const uint64_t serial = active_serial.load(std::memory_order_relaxed);
    // Python code run for the event may end the session and drop the profiler.
    Ref keep_alive = Ref::borrow(profiler);
    // PY_UNWIND: no value, as the profile function is told; the exception aside.
    const bool unwinding = kind == FrameEvent::ret && !may_disable;
    PyObject* arg = has_value && nargs >= 3 ? args[2] : (unwinding ? nullptr : Py_None);
    // Set only when unwinding: each use of a thread-local costs a call in a
    // shared library.
    std::optional<UnwindingException> exception;
    if (unwinding) exception.emplace(nargs >= 3 ? args[2] : nullptr);
    // The callback has looked the code up in the memo already: skipped, it
    // would not be here.
    bool skipped = false;
    if (process_unskipped(profiler, PyEval_GetFrame(), kind, arg, told, skipped) < 0) return nullptr;
    if (may_disable && skipped && active_serial.load(std::memory_order_relaxed) == serial) return disable_result();
    return Py_NewRef(Py_None);
}

// PY_START, PY_RESUME, PY_RETURN and PY_YIELD may be disabled per location;
// PY_THROW and PY_UNWIND may not. An unfollowed thread never disables: that
// would disable the code for every thread.
template <FrameEvent kind, bool may_disable, bool has_value, Switch told>
PyObject* on_event(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    const Followed& me = followed;
    if (me.serial != active_serial.load(std::memory_order_relaxed) || me.serial == 0) [[unlikely]] {
        return Py_NewRef(Py_None);
    }
    if (may_disable && nargs >= 1 &&
        code_memo_of(state_of(me.profiler)).skips(reinterpret_cast<PyCodeObject*>(args[0]))) {
        return disable_result();
    }
    return handle_event(me.profiler, args, nargs, kind, may_disable, has_value, told);
}

template <FrameEvent kind, bool may_disable, bool has_value, Switch told = Switch::no>
PyCFunction callback() {
    return reinterpret_cast<PyCFunction>(
        reinterpret_cast<void (*)()>(&on_event<kind, may_disable, has_value, told>));
}

constexpr bool throw_passes_exception = PY_VERSION_HEX < 0x030D0000;

struct EventCallback {
    const char* event;
    PyMethodDef def;
};

EventCallback event_callbacks[] = {
    {"PY_START", {"sarn_py_start", callback<FrameEvent::call, true, false>(), METH_FASTCALL, nullptr}},
    {"PY_RESUME", {"sarn_py_resume", callback<FrameEvent::call, true, false, Switch::yes>(), METH_FASTCALL, nullptr}},
    {"PY_THROW", {"sarn_py_throw", callback<FrameEvent::call, false, throw_passes_exception, Switch::ask_frame>(),
                  METH_FASTCALL, nullptr}},
    {"PY_RETURN", {"sarn_py_return", callback<FrameEvent::ret, true, true>(), METH_FASTCALL, nullptr}},
    {"PY_YIELD", {"sarn_py_yield", callback<FrameEvent::ret, true, true, Switch::yes>(), METH_FASTCALL, nullptr}},
    {"PY_UNWIND", {"sarn_py_unwind", callback<FrameEvent::ret, false, false>(), METH_FASTCALL, nullptr}},
};

// ---------------------------------------------------------------------------
// The session.

Result<Ref> call(PyObject* monitoring, const char* function, PyObject* first, PyObject* second = nullptr,
                 PyObject* third = nullptr) {
    Ref name = Ref::steal(PyUnicode_FromString(function));
    if (!name) return fail_fetch();
    return checked(PyObject_CallMethodObjArgs(monitoring, name.get(), first, second, third, nullptr));
}

Result<long> event_bit(PyObject* monitoring, const char* event) {
    auto events = checked(PyObject_GetAttrString(monitoring, "events"));
    if (!events) return fail(std::move(events.error()));
    auto bit = checked(PyObject_GetAttrString(events->get(), event));
    if (!bit) return fail(std::move(bit.error()));
    long value = PyLong_AsLong(bit->get());
    if (value == -1 && PyErr_Occurred()) return fail_fetch();
    return value;
}

// Takes the first free tool id in order of preference.
Result<int> take_tool_id(PyObject* monitoring) {
    Ref name = Ref::steal(PyUnicode_FromString(tool_name));
    if (!name) return fail_fetch();
    std::string holders;
    for (int id : preferred_tool_ids) {
        Ref tool = Ref::steal(PyLong_FromLong(id));
        if (!tool) return fail_fetch();
        auto holder = call(monitoring, "get_tool", tool.get());
        if (!holder) return fail(std::move(holder.error()));
        if (holder->get() == Py_None) {
            auto used = call(monitoring, "use_tool_id", tool.get(), name.get());
            if (!used) return fail(std::move(used.error()));
            return id;
        }
        Ref text = Ref::steal(PyObject_Str(holder->get()));
        const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
        if (utf8 == nullptr) PyErr_Clear();
        holders += (holders.empty() ? "" : ", ") + std::to_string(id) + " (" + (utf8 ? utf8 : "?") + ")";
    }
    return fail(Error::raise(PyExc_RuntimeError,
                             "sarn cannot record through sys.monitoring: every tool id is in use: " + holders +
                                 "; set engine = \"setprofile\" to record through the profile function"));
}

// Unregisters the callbacks, switches the events off and frees the tool id.
// Every step is tried; the first failure is returned.
Status release(Session& ended) {
    Status first;
    auto keep = [&first](auto result) {
        if (!result && first) first = fail(std::move(result.error()));
    };
    if (ended.tool_id < 0 || !ended.monitoring) return first;
    Ref tool = Ref::steal(PyLong_FromLong(ended.tool_id));
    if (!tool) return fail_fetch();
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!zero) return fail_fetch();
    keep(call(ended.monitoring.get(), "set_events", tool.get(), zero.get()));
    for (const EventCallback& entry : event_callbacks) {
        auto bit = event_bit(ended.monitoring.get(), entry.event);
        if (!bit) {
            keep(std::move(bit));
            continue;
        }
        Ref event = Ref::steal(PyLong_FromLong(*bit));
        if (!event) return fail_fetch();
        keep(call(ended.monitoring.get(), "register_callback", tool.get(), event.get(), Py_None));
    }
    keep(call(ended.monitoring.get(), "free_tool_id", tool.get()));
    return first;
}

// Registers the callbacks and switches their events on.
Status register_callbacks(Session& running) {
    Ref tool = Ref::steal(PyLong_FromLong(running.tool_id));
    if (!tool) return fail_fetch();
    long mask = 0;
    for (EventCallback& entry : event_callbacks) {
        auto bit = event_bit(running.monitoring.get(), entry.event);
        if (!bit) return fail(std::move(bit.error()));
        Ref event = Ref::steal(PyLong_FromLong(*bit));
        auto function = checked(PyCFunction_NewEx(&entry.def, nullptr, nullptr));
        if (!event || !function) return fail_fetch();
        running.callbacks.push_back(std::move(*function));
        auto registered = call(running.monitoring.get(), "register_callback", tool.get(), event.get(),
                               running.callbacks.back().get());
        if (!registered) return fail(std::move(registered.error()));
        mask |= *bit;
    }
    Ref events = Ref::steal(PyLong_FromLong(mask));
    if (!events) return fail_fetch();
    auto set = call(running.monitoring.get(), "set_events", tool.get(), events.get());
    if (!set) return fail(std::move(set.error()));
    return {};
}

// Re-enables disabled events unless they were disabled under the same skip
// decisions (tool id, filter and plugin table): restarting also re-enables
// the events other tools have disabled, so it is done only when needed.
Status restart_if_decisions_changed(PyObject* monitoring, int tool_id, const std::string& fingerprint) {
    std::string wanted = std::to_string(tool_id) + ":" + fingerprint;
    if (disabled_under == wanted) return {};
    // Also at the first session: another tool may have used the id before.
    auto restarted = checked(PyObject_CallMethod(monitoring, "restart_events", nullptr));
    if (!restarted) return fail(std::move(restarted.error()));
    disabled_under = std::move(wanted);
    return {};
}

// No C calls reach the callbacks, so a change of the working directory is
// learnt from the audit event that os.chdir and os.fchdir raise. An audit
// hook stays for the process; it counts only while a session runs.
int note_directory_change(const char* event, PyObject*, void*) noexcept {
    if (active_serial.load(std::memory_order_relaxed) != 0 && std::strcmp(event, "os.chdir") == 0) {
        directory_changes::count.fetch_add(1, std::memory_order_relaxed);
    }
    return 0;
}

void watch_directory_changes() {
    static bool added = false;
    if (added) return;
    added = true;
    PendingErrorScope keep_pending;  // a refused hook leaves the clock bound
    (void)PySys_AddAuditHook(note_directory_change, nullptr);
}

Status begin_session(PyObject* profiler) {
    auto running = std::make_unique<Session>();
    auto monitoring = import_attribute("sys", "monitoring");
    if (!monitoring) return fail(std::move(monitoring.error()));
    running->monitoring = std::move(*monitoring);
    auto disable = checked(PyObject_GetAttrString(running->monitoring.get(), "DISABLE"));
    if (!disable) return fail(std::move(disable.error()));
    running->disable = std::move(*disable);
    auto tool_id = take_tool_id(running->monitoring.get());
    if (!tool_id) return fail(std::move(tool_id.error()));
    running->tool_id = *tool_id;

    Status ready = restart_if_decisions_changed(running->monitoring.get(), running->tool_id,
                                                state_of(profiler).skip_fingerprint);
    if (ready) ready = register_callbacks(*running);
    if (!ready) {
        (void)release(*running);  // the first failure is the one to report
        return ready;
    }
    watch_directory_changes();
    running->serial = next_session_serial++;
    disable_object.store(running->disable.get(), std::memory_order_release);
    active_serial.store(running->serial, std::memory_order_release);
    session = running.release();
    return {};
}

void follow(PyObject* profiler) {
    // A thread may join many times (a worker thread followed call by call),
    // mostly into the same profiler: it is held once.
    bool held = false;
    for (const Ref& known : session->profilers) held = held || known.get() == profiler;
    if (!held) session->profilers.push_back(Ref::borrow(profiler));
    followed = Followed{session->serial, profiler};
}

}  // namespace

Status start_on_calling_thread(PyObject* profiler) {
    std::lock_guard<InterpreterMutex> hold(session_mutex);
    if (session == nullptr) {
        if (auto begun = begin_session(profiler); !begun) return begun;
    } else if (auto ready = restart_if_decisions_changed(session->monitoring.get(), session->tool_id,
                                                         state_of(profiler).skip_fingerprint);
               !ready) {
        return ready;
    }
    session->starter = this_thread_serial();
    follow(profiler);
    return {};
}

Status join_on_calling_thread(PyObject* profiler) {
    std::lock_guard<InterpreterMutex> hold(session_mutex);
    if (session == nullptr) return {};
    if (auto ready = restart_if_decisions_changed(session->monitoring.get(), session->tool_id,
                                                  state_of(profiler).skip_fingerprint);
        !ready) {
        return ready;
    }
    follow(profiler);
    return {};
}

Result<bool> stop_on_calling_thread() {
    std::lock_guard<InterpreterMutex> hold(session_mutex);
    if (session == nullptr || followed.serial != session->serial) return false;
    followed = Followed{};
    if (session->starter != this_thread_serial()) return true;
    // Detached before anything is released: releasing can run Python code.
    std::unique_ptr<Session> ended(std::exchange(session, nullptr));
    active_serial.store(0, std::memory_order_release);
    disable_object.store(nullptr, std::memory_order_release);
    // The profilers go only after the release: switching the events off
    // pauses every thread at a safe point (on a free-threaded interpreter
    // too), and a callback reaches none before it holds its own reference,
    // so no thread is then left using a profiler it does not hold.
    Status released = release(*ended);
    ended.reset();
    if (!released) return fail(std::move(released.error()));
    return true;
}

uint64_t pause_calling_thread() noexcept {
    if (followed.serial == 0 || followed.serial != active_serial.load(std::memory_order_relaxed)) return 0;
    return std::exchange(followed.serial, 0);
}

void resume_calling_thread(uint64_t token) noexcept {
    if (token != 0 && token == active_serial.load(std::memory_order_relaxed) && followed.serial == 0 && followed.profiler != nullptr) {
        followed.serial = token;
    }
}

}  // namespace sarn::monitoring

#else  // no sys.monitoring: the profile function is the only engine

namespace sarn::monitoring {

Status start_on_calling_thread(PyObject*) { return fail_internal("sys.monitoring needs CPython 3.12"); }
Status join_on_calling_thread(PyObject*) { return {}; }
Result<bool> stop_on_calling_thread() { return false; }
uint64_t pause_calling_thread() noexcept { return 0; }
void resume_calling_thread(uint64_t) noexcept {}

}  // namespace sarn::monitoring

#endif
