// The name and native id of the current thread, as the `threading` module
// knows them.
#pragma once

#include "profiler/thread_caches.hpp"
#include "utils/error.hpp"

namespace sarn {

// Asks `threading.current_thread()` afresh.
[[nodiscard]] Result<ThreadInfo> current_thread_info();

// The thread's cached details, asked for once per thread.
[[nodiscard]] Result<const ThreadInfo*> cached_thread_info(ThreadCache& cache);

}  // namespace sarn
