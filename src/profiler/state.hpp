// The state of one recording profiler, carried by a SarnProfiler instance.
//
// Settings are fixed when the state is built and only read afterwards. The
// stores change while recording, each behind its own mutex. The per-thread
// caches belong to one thread each.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "filters/code_memo.hpp"
#include "filters/frame_filter.hpp"
#include "plugins/plugin_table.hpp"
#include "profiler/directory_memo.hpp"
#include "profiler/record_list.hpp"
#include "profiler/spill_file.hpp"
#include "profiler/thread_caches.hpp"
#include "utils/error.hpp"
#include "utils/guarded.hpp"
#include "utils/msgpack_writer.hpp"
#include "utils/name_memo.hpp"

namespace sarn {

// How events reach the pipeline: the interpreter's profile function, or
// sys.monitoring callbacks (CPython 3.12 and later).
enum class Engine { profile_function, monitoring };

// Records filed per thread native id.
using ThreadFrames = std::unordered_map<uint64_t, RecordList>;

struct ProfilerState {
    // Settings.
    std::optional<uint64_t> main_thread_id;
    std::string db_path;
    FrameFilter filter;
    std::string source;
    uint64_t sqlite_busy_timeout = 60;
    // The most bytes of records one trace keeps; 0 for no limit.
    uint64_t max_trace_bytes = 0;
    // Past this many bytes of records in memory, full chunks move to a spill
    // file; 0 keeps them all in memory.
    uint64_t spill_after_bytes = 0;
    bool one_trace_per_test = false;
    bool threading = false;
    bool lightweight_repr = false;
    double timestamp = 0.0;
    std::unordered_set<std::string> watched_names;  // keys of the plugin table
    Engine engine = Engine::profile_function;
    // What the decision to skip a code object outright depends on (include
    // and ignore fragments, watched names): equal texts, equal decisions.
    std::string skip_fingerprint;

    // Stores; when several are held, they are taken in this order.
    Guarded<std::string> trace_id;
    // The record stores, taken at every kept event, are only ever held
    // across native code.
    Guarded<RecordList, ParallelMutex> frames_of_interest;
    Guarded<ThreadFrames, ParallelMutex> thread_frames;  // then each thread's own list (ThreadCache::own_records)
    Guarded<PluginTable> plugins;
    Guarded<std::optional<Bytes>> test_record;  // the trace's first "start_test" record
    Guarded<std::shared_ptr<SpillFile>> spill_file;
    // Bytes of records in the stores since they were last emptied, and
    // whether the limit cut the trace (its marker stored, later records
    // dropped). Changed next to the stores, read without their locks.
    std::atomic<uint64_t> stored_bytes{0};
    std::atomic<uint64_t> spilled_bytes{0};  // of them, moved out of memory
    std::atomic<bool> trace_cut{false};

    // Per-thread caches.
    ThreadCaches threads;

#ifndef Py_GIL_DISABLED
    // The memos below are shared by the threads, which the interpreter lock
    // takes in turn. On a free-threaded interpreter each thread has its own
    // in its cache instead, so that the skip path reads one without a lock.

    // What the filter and the plugin table say about each code object seen.
    // Only touched with the interpreter lock held and without running Python
    // code, which is what makes it safe to share between threads.
    CodeMemo code_memo;

    // What qualified names were made of; shared like the code memo, and
    // never held across Python code.
    NameMemo name_memo;

    // Relative file names, by file and current directory; shared likewise.
    DirectoryMemo directories;
#endif
};

#ifdef Py_GIL_DISABLED
inline CodeMemo& code_memo_of(ProfilerState&, ThreadCache& thread) noexcept { return thread.code_memo; }
inline NameMemo& name_memo_of(ProfilerState&, ThreadCache& thread) noexcept { return thread.name_memo; }
inline DirectoryMemo& directories_of(ProfilerState&, ThreadCache& thread) noexcept { return thread.directories; }
inline CodeMemo& code_memo_of(ProfilerState& state) { return state.threads.current().code_memo; }
#else
inline CodeMemo& code_memo_of(ProfilerState& state, ThreadCache&) noexcept { return state.code_memo; }
inline NameMemo& name_memo_of(ProfilerState& state, ThreadCache&) noexcept { return state.name_memo; }
inline DirectoryMemo& directories_of(ProfilerState& state, ThreadCache&) noexcept { return state.directories; }
inline CodeMemo& code_memo_of(ProfilerState& state) noexcept { return state.code_memo; }
#endif

// Builds the state from the host profiler object (borrowed).
[[nodiscard]] Result<std::unique_ptr<ProfilerState>> build_profiler_state(PyObject* host);

}  // namespace sarn
