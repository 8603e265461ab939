// The name and native id of the current thread, as the `threading` module
// knows them.
#pragma once

#include "profiler/thread_caches.hpp"
#include "utils/error.hpp"

namespace sarn {

// Asks `threading.current_thread()` afresh.
[[nodiscard]] Result<ThreadInfo> current_thread_info();

// The thread's details, asked for once per thread and kept in its cache.
[[nodiscard]] Status ask_thread_info(ThreadCache& cache);

[[nodiscard]] inline Result<const ThreadInfo*> cached_thread_info(ThreadCache& cache) {
    if (!cache.thread_info) [[unlikely]] {
        if (auto asked = ask_thread_info(cache); !asked) return fail(std::move(asked.error()));
    }
    return &*cache.thread_info;
}

}  // namespace sarn
