#include "profiler/pipeline.hpp"

#include <csignal>

#include "lib/entry_point.hpp"
#include "lib/profiler_type.hpp"
#include "plugins/run_plugins.hpp"
#include "profiler/exit_drain.hpp"
#include "profiler/exit_exception.hpp"
#include "profiler/frame_ids.hpp"
#include "profiler/frame_record.hpp"
#include "profiler/report.hpp"
#include "profiler/suspension.hpp"
#include "profiler/thread_info.hpp"
#include "profiler/trace.hpp"
#include "utils/frame_access.hpp"
#include "utils/frame_suspension.hpp"
#include "utils/host_import.hpp"
#include "utils/ids.hpp"
#include "utils/qualified_name.hpp"
#include "utils/recursion_headroom.hpp"
#include "utils/serialise.hpp"

namespace sarn {

namespace {

struct Event {
    ProfilerState& state;
    ThreadCache& thread;
    PyThreadState* python_thread;  // the calling thread's state, found once per event
    const CodeFacts& facts;  // the event's own copy: the memo may change while it is handled
    EventSite site;
    PyObject* arg;
    bool kept;  // the filter's decision; plugins run whatever it is
    // A return of the innermost open kept frame: its id and call site are on
    // the stack (no event of the thread runs meanwhile to change it).
    bool innermost_return;
    bool near_limit;  // near the recursion limit: no Python code is run
    bool unwinding;   // a return by an exception (the engine passed no value)
    // Whether the event suspends or resumes the frame: Switch::no for code
    // other than a generator's, coroutine's or async generator's.
    Switch told;
};

// The facts of a code object seen for the first time by this profiler.
CodeFacts describe_code(const ProfilerState& state, PyCodeObject* code) {
    PendingErrorScope user_error;  // a failed conversion below is not the user's
    CodeFacts facts;
    Py_ssize_t filename_size = 0, name_size = 0;
    const char* filename = nullptr;
    const char* name = nullptr;
    if (PyUnicode_Check(code_filename(code)) && PyUnicode_Check(code_name(code))) {
        filename = PyUnicode_AsUTF8AndSize(code_filename(code), &filename_size);
        name = filename ? PyUnicode_AsUTF8AndSize(code_name(code), &name_size) : nullptr;
    }
    // Names that are not valid text (lone surrogates) cannot be recorded.
    if (name == nullptr) return facts;
    facts.valid = true;
    facts.filename = std::string_view(filename, static_cast<size_t>(filename_size));
    facts.name = std::string_view(name, static_cast<size_t>(name_size));
    state.filter.describe(facts.filename, facts);
    facts.watched = state.watched_names.contains(std::string(facts.name));
    return facts;
}

// Whether a return is that of the innermost open kept frame, which was kept
// at its call: the decision reads the frame's code and its caller, which
// stay the same while it runs (a generator's caller, until it yields), so it
// need not be made again.
bool returns_innermost_kept_frame(const ThreadCache& thread, PyFrameObject* frame) {
    return !thread.call_frames.empty() && thread.call_frames.back().frame.get() == as_object(frame);
}

void update_call_frames(ThreadCache& thread, const Event& event, const FrameRecord& record) {
    if (event.site.event == FrameEvent::call) {
        if (record.frame_id) {
            thread.call_frames.push_back({Ref::borrow(as_object(event.site.frame)), *record.frame_id, record.call_site});
        }
    } else if (!thread.call_frames.empty()) {
        thread.call_frames.pop_back();
    }
}

// The frame record followed by the record that notes an exception, a
// suspension or a resumption, after the plugin payloads if any. A return's
// batch is filed reversed: its note joins before its frame record. Out of
// line, so that the common path keeps its writers inlined.
[[gnu::noinline]] Status hand_over_noted(Event& event, const FrameRecord& record, const Bytes& encoded,
                                         Batch&& batch) {
    Bytes& note = event.thread.note_buffer;
    if (!event.unwinding) {
        write_switch(record, note);
    } else if (auto written = write_exit_exception(record, note); !written) {
        return written;
    }
    const FrameEvent kind = event.site.event;
    if (batch.types.empty()) {
        hand_over_noted_frame_record(event.state, *record.thread, encoded, note);
        return {};
    }
    const char* type = event.unwinding ? "exception" : switch_type(kind);
    if (kind == FrameEvent::ret) batch.append(type, Bytes(note));
    batch.append("frame", Bytes(encoded));
    if (kind == FrameEvent::call) batch.append(type, Bytes(note));
    return hand_over_records(event.state, kind, std::move(batch));
}

// The record's first fields as the thread wrote them last for the same code
// object, line, event, directory and name; else the relative file name they
// are written with.
void find_head(Event& event, FrameRecord& record) {
    DirectoryMemo& directories = directories_of(event.state, event.thread);
    directories.refresh_if_due(record.clock);
    record.heads = &event.thread.record_heads;
    record.head_key = {frame_code(event.site.frame), record.line, record.event, directories.version(), record.qualname};
    record.head = record.heads->find(record.head_key);
    if (record.head.empty()) record.relative_file = directories.relative(event.site.filename, event.facts.filename);
}

// A kept frame: its record joins the batch last, then the batch is handed over.
Status record_kept_frame(Event& event, Batch&& batch) {
    CacheUse use(event.thread);
    if (!use.acquired()) return fail_internal("already borrowed");
    PyFrameObject* frame = event.site.frame;
    // Asked before any Python code runs for the event.
    if (event.told == Switch::ask_frame) [[unlikely]] {
        event.told = frame_switches(frame, event.site.event, event.unwinding) ? Switch::yes : Switch::no;
    }

    FrameRecord record;
    // A thread's name is read (with Python code) at its first kept event,
    // which is never near the recursion limit in practice.
    if (event.near_limit && !event.thread.thread_info) return {};
    auto thread_info = cached_thread_info(event.thread);
    if (!thread_info) return fail(std::move(thread_info.error()));
    record.thread = *thread_info;
    FrameLocals locals;
    if (event.near_limit) {
        record.with_values = false;
    } else {
        if (auto read = locals.load(frame); !read) return read;
        // Written before any Python code runs, which could change the memo.
        auto named = qualified_name(frame, locals, name_memo_of(event.state, event.thread), event.thread.qualname_buffer);
        if (!named) return fail(std::move(named.error()));
        record.qualname = *named;
    }

    record.clock = read_wall_clock();
    if (event.innermost_return) {
        // Its id and call site are those its call pushed (the stack holds the
        // frame, so no other frame took its address since).
        const OpenFrame& open = event.thread.call_frames.back();
        record.frame_id = open.frame_id;
        record.call_site = open.call_site;
    } else {
        record.frame_id = frame_id_for_event(event.thread.frame_ids, frame, event.site.event,
                                             [&] { return event.thread.frame_id_source.next(record.clock); });
        if (auto found = find_user_code_call_site(event.thread.call_frames, record.frame_id, event.thread.lines,
                                                  record.call_site);
            !found) {
            return found;
        }
    }

    record.arg = event.arg;
    record.locals = record.with_values ? &locals : nullptr;
    record.lightweight_repr = event.state.lightweight_repr;
    record.serialisers = &event.thread.serialisers;
    record.co_name = event.facts.name;
    record.event = event.site.event;
    // Read last: no Python code runs between here and the record's writing.
    record.line = event.thread.lines.line(frame);
    find_head(event, record);
    Bytes& encoded = event.thread.record_buffer;
    if (auto begun = begin_frame_record(record, encoded); !begun) return begun;
    update_call_frames(event.thread, event, record);
    if (auto finished = finish_frame_record(record, encoded); !finished) return finished;
    if (event.unwinding || event.told == Switch::yes) return hand_over_noted(event, record, encoded, std::move(batch));
    if (batch.types.empty()) {
        hand_over_frame_record(event.state, *record.thread, event.site.event, encoded);
        return {};
    }
    batch.append("frame", Bytes(encoded));
    return hand_over_records(event.state, event.site.event, std::move(batch));
}

void handle_event(Event& event) {
    // The user's pending exception (if any) is put back untouched.
    PendingErrorScope user_error(event.python_thread);
    Batch batch;
    if (event.facts.watched && !event.near_limit) {
        PluginEvent plugin_event{event.site, event.arg, event.facts.filename, event.facts.name};
        run_plugins(event.state, event.thread, plugin_event, batch);
    }
    Status status = event.kept ? record_kept_frame(event, std::move(batch))
                               : hand_over_records(event.state, event.site.event, std::move(batch));
    // Reporting runs logging's Python code: near the recursion limit a
    // failure is dropped with the event.
    if (!status && !event.near_limit) {
        report_unexpected_error(std::move(status.error()), event.site, event.thread.interrupt);
    }
}

// Whether Python's own SIGINT handler is installed and this is the main
// thread, where that handler runs. Asked only after an interrupt.
bool default_sigint_handler_on_main_thread() {
    PendingErrorScope keep_clean;
    auto main_thread = import_attribute("threading", "main_thread");
    if (!main_thread) return false;
    Ref main = Ref::steal(PyObject_CallObject(main_thread->get(), nullptr));
    Ref ident = main ? Ref::steal(PyObject_GetAttrString(main.get(), "ident")) : Ref();
    if (!ident || !PyLong_Check(ident.get()) || PyLong_AsUnsignedLong(ident.get()) != PyThread_get_thread_ident()) {
        return false;
    }
    auto getsignal = import_attribute("signal", "getsignal");
    auto default_handler = import_attribute("signal", "default_int_handler");
    if (!getsignal || !default_handler) return false;
    Ref handler = Ref::steal(PyObject_CallFunction(getsignal->get(), "i", SIGINT));
    return handler && handler.get() == default_handler->get();
}

// A KeyboardInterrupt that the SIGINT handler raised while the recorder's
// own work for a call ran Python code (a repr) was meant for the program at
// its next check for signals: inside the called frame (in a `yield from`
// chain, the innermost generator), where the program may be waiting for it.
// The signal is marked as arrived again, for the handler to raise it there.
// (At a return, the caller's next check may lie outside the `try` around
// the call: there the interrupt is raised at the event.)
bool signal_again(const Error& interrupt, FrameEvent event) {
    if (event != FrameEvent::call || !interrupt.is_exactly(PyExc_KeyboardInterrupt) ||
        !default_sigint_handler_on_main_thread()) {
        return false;
    }
    PyErr_SetInterrupt();
    return true;
}

// Raises a kept interrupt as the exception of the event: the interpreter
// then raises it in the program where the call or return happened.
int raise_interrupt(ThreadCache& thread, FrameEvent event) {
    Error interrupt = std::move(*thread.interrupt);
    thread.interrupt.reset();
    if (signal_again(interrupt, event)) return 0;
    std::move(interrupt).raise_in_host();
    return -1;
}

// Everything but a memoised skip: the checks of the inputs, the first look at
// a code object, and kept or watched frames. Kept out of line so that the
// skip path in `process_event` needs no stack frame of its own.
[[gnu::noinline]] int process_unskipped_event(PyObject* registered, PyFrameObject* frame, FrameEvent kind,
                                              PyObject* arg, Switch told, bool& skipped) noexcept {
    if (registered == nullptr || !is_sarn_profiler(registered)) {
        if (registered == nullptr) PyErr_SetString(PyExc_TypeError, "no profiler object was registered");
        else not_a_sarn_profiler(registered).raise_in_host();
        return -1;
    }
    if (frame == nullptr) {
        PyErr_SetString(PyExc_SystemError, "Python gives us a PyFrame");
        return -1;
    }
    ProfilerState& state = state_of(registered);
    try {
        PyCodeObject* code = frame_code(frame);
        CodeMemo& memo = code_memo_of(state);
        const CodeFacts* known = memo.find(code);
        // A copy from here on: the memo may change as soon as Python code runs.
        CodeFacts facts = known != nullptr ? *known : memo.insert(code, describe_code(state, code));
        if (!facts.valid) return 0;
        if (facts.skipped_outright()) {
            skipped = true;
            return 0;
        }
        // The thread's caches are found once (a thread-local lookup), and
        // only for an event that needs them.
        ThreadCache* thread = nullptr;
        bool innermost_return = false;
        if (kind == FrameEvent::ret) {
            thread = &state.threads.current();
            innermost_return = returns_innermost_kept_frame(*thread, frame);
        }
        const bool kept = innermost_return || FrameFilter::keep_frame(facts, frame, memo);
        if (!kept && !facts.watched) return 0;
        if (thread == nullptr) thread = &state.threads.current();
        exit_drain::BusyScope busy;
        if (!busy.started()) return 0;

        // Python code run for this event (plugins, the serialiser, a save)
        // could replace the thread's profile function and drop the last
        // reference to the profiler: keep it alive until the event is done.
        Ref keep_alive = Ref::borrow(registered);
        PyThreadState* python_thread = PyThreadState_Get();
        Event event{state, *thread, python_thread, facts,
                    EventSite{frame, kind, code_filename(code), code_name(code)},
                    arg != nullptr ? arg : Py_None, kept, innermost_return, near_recursion_limit(python_thread),
                    kind == FrameEvent::ret && arg == nullptr,
                    (code->co_flags & suspendable_code_flags) != 0 ? told : Switch::no};
        handle_event(event);
        if (event.thread.interrupt) return raise_interrupt(event.thread, kind);
    } catch (...) {
        // A broken invariant must not reach the user's program either.
        PendingErrorScope user_error;
        raise_unexpected_exception();
    }
    return 0;
}

}  // namespace

int process_event(PyObject* registered, PyFrameObject* frame, FrameEvent kind, PyObject* arg, Switch told) noexcept {
    // The common case, decided by the memo alone: a library frame that no
    // plugin watches.
    if (registered != nullptr && frame != nullptr && is_exact_sarn_profiler(registered) &&
        code_memo_of(state_of(registered)).skips(frame_code(frame))) {
        return 0;
    }
    bool skipped = false;
    return process_unskipped_event(registered, frame, kind, arg, told, skipped);
}

int process_unskipped(PyObject* profiler, PyFrameObject* frame, FrameEvent kind, PyObject* arg, Switch told,
                      bool& skipped) noexcept {
    return process_unskipped_event(profiler, frame, kind, arg, told, skipped);
}

}  // namespace sarn
