#include "profiler/thread_caches.hpp"

#include <atomic>

namespace sarn {

namespace {

std::atomic<uint64_t> next_owner_serial{1};
std::atomic<uint64_t> next_thread_serial{1};

uint64_t this_thread_serial() {
    thread_local const uint64_t serial = next_thread_serial.fetch_add(1, std::memory_order_relaxed);
    return serial;
}

}  // namespace

ThreadCaches::ThreadCaches() : serial_(next_owner_serial.fetch_add(1, std::memory_order_relaxed)) {}

ThreadCache& ThreadCaches::slow_current(Fast& fast) {
    ThreadCache* cache = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto& slot = caches_[this_thread_serial()];
        if (!slot) slot = std::make_unique<ThreadCache>();
        cache = slot.get();
    }
    fast.owner = serial_;
    fast.cache = cache;
    return *cache;
}

}  // namespace sarn
