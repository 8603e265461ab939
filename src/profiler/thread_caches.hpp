// Per-thread caches of one profiler.
//
// Each interpreter thread gets its own `ThreadCache`, reached without locking
// through a thread-local fast path. Caches are keyed by a per-thread serial
// number that is never reused, so a new thread never sees the values of a
// thread that has ended (native thread ids are recycled by the OS). The caches
// live as long as the profiler, not as long as their thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "filters/code_memo.hpp"
#include "profiler/directory_memo.hpp"
#include "profiler/frame_ids.hpp"
#include "profiler/line_cache.hpp"
#include "profiler/record_heads.hpp"
#include "profiler/record_list.hpp"
#include "utils/name_memo.hpp"
#include "utils/serialise.hpp"
#include "utils/error.hpp"
#include "utils/guarded.hpp"
#include "utils/msgpack_writer.hpp"
#include "utils/ref.hpp"

namespace sarn {

struct ThreadInfo {
    std::string name;
    std::optional<uint64_t> native_id;
    // "thread" and "thread_native_id" with their values, encoded once for
    // every frame record of the thread.
    std::string encoded_fields;
};

// The records of a thread that has a list of its own in the document.
struct OwnRecords {
    RecordList list;
    std::optional<uint64_t> native_id;  // what the list is filed under; set once it is used
};

// Where a kept frame was called from: the nearest kept frame enclosing it
// and that frame's line.
struct UserCodeCallSite {
    FrameId call_frame_id;
    int32_t line_number = 0;
};

// A kept frame that is open on this thread, with its frame id and the call
// site its call was recorded with. Its return has the same call site: the
// enclosing frame cannot run while it does.
struct OpenFrame {
    Ref frame;
    FrameId frame_id;
    std::optional<UserCodeCallSite> call_site;
};

struct ThreadCache {
    std::vector<OpenFrame> call_frames;                    // innermost last
    FrameIds frame_ids;                                    // frame address -> frame id
    FrameIdSource frame_id_source;                         // the ids of the thread's kept calls
    std::optional<ThreadInfo> thread_info;                 // filled once
    bool in_use = false;                                   // guards against nested use
    // An exception that must reach the program (Ctrl-C inside the recorder's
    // Python calls), raised by the hook when the event's work is done.
    std::optional<Error> interrupt;
    // Reused by each kept event of the thread, so that its steady state
    // allocates nothing.
    Bytes record_buffer;
    Bytes note_buffer;  // the record that may follow the frame record
    LineCache lines;
    RecordHeads record_heads;
    std::string qualname_buffer;
    // Filed here rather than in the profiler's map of threads, whose lock
    // every recording thread would take at every event; moved into the
    // document's map when the stores are taken.
    Guarded<OwnRecords, ParallelMutex> own_records;
#ifdef Py_GIL_DISABLED
    // The thread's own memos, which the profiler's threads share where the
    // interpreter lock orders them.
    CodeMemo code_memo;
    NameMemo name_memo;
    DirectoryMemo directories;
#endif
    SerialiserCache serialisers;
};

class ThreadCaches {
public:
    ThreadCaches();
    ThreadCaches(const ThreadCaches&) = delete;
    ThreadCaches& operator=(const ThreadCaches&) = delete;

    // The calling thread's cache, created empty on first use.
    ThreadCache& current() {
        Fast& fast = fast_path();
        if (fast.owner == serial_) [[likely]]
            return *fast.cache;
        return slow_current(fast);
    }

    // Calls `visit` with every thread's cache, oldest thread first. The
    // cycle collector calls it with the interpreter lock held (or every
    // thread paused): no thread is then inside `slow_current`, so the mutex
    // is free.
    template <class Visit>
    int for_each(Visit&& visit) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& [serial, cache] : caches_) {
            if (int result = visit(*cache)) return result;
        }
        return 0;
    }

private:
    struct Fast {
        uint64_t owner = 0;  // serial of the ThreadCaches the pointer belongs to
        ThreadCache* cache = nullptr;
    };
    static Fast& fast_path() noexcept {
        thread_local Fast fast;
        return fast;
    }
    ThreadCache& slow_current(Fast& fast);

    uint64_t serial_;  // never reused, so a stale fast path never matches
    std::mutex mutex_;
    std::map<uint64_t, std::unique_ptr<ThreadCache>> caches_;  // by thread serial, in order of creation
};

// A scope in which the calling thread's cache is being changed; a nested use
// (which the interpreter's suspension of profiling should make impossible) is
// refused instead of corrupting the cache.
class CacheUse {
public:
    explicit CacheUse(ThreadCache& cache) noexcept : cache_(cache), acquired_(!cache.in_use) {
        cache_.in_use = true;
    }
    ~CacheUse() {
        if (acquired_) cache_.in_use = false;
    }
    CacheUse(const CacheUse&) = delete;
    CacheUse& operator=(const CacheUse&) = delete;
    [[nodiscard]] bool acquired() const noexcept { return acquired_; }

private:
    ThreadCache& cache_;
    bool acquired_;
};

}  // namespace sarn
