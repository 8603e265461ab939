#include "profiler/directory_memo.hpp"

#include "utils/host_import.hpp"
#include "utils/relative_path.hpp"

namespace sarn {

namespace directory_changes {

void watch() {
    PendingErrorScope keep_pending;
    auto chdir = import_attribute("os", "chdir");
    auto fchdir = import_attribute("os", "fchdir");
    watched[0].store(chdir ? chdir->get() : nullptr, std::memory_order_relaxed);
    watched[1].store(fchdir ? fchdir->get() : nullptr, std::memory_order_relaxed);
}

}  // namespace directory_changes

void DirectoryMemo::refresh_if_due(const timespec& clock) {
    // Any other millisecond, earlier ones included: the wall clock may be set back.
    const int64_t now = static_cast<int64_t>(clock.tv_sec) * 1000 + clock.tv_nsec / 1'000'000;
    const bool read_before = version_ != 0;
    const uint64_t changes = directory_changes::count.load(std::memory_order_relaxed);
    if (read_before && changes_seen_ == changes && now == read_at_ms_) return;
    changes_seen_ = changes;
    read_at_ms_ = now;
    std::optional<std::string> directory = current_directory();
    if (read_before && directory == directory_) return;
    directory_ = std::move(directory);
    ++version_;
}

std::string_view DirectoryMemo::relative(PyObject* filename_object, std::string_view filename) {
    auto found = entries_.find(filename_object);
    if (found != entries_.end() && found->second.directory_version == version_) return found->second.relative;
    std::string relative = directory_ ? relative_to(filename, *directory_) : std::string(filename);
    if (found == entries_.end() && entries_.size() >= max_entries) entries_.clear();
    Entry& entry = entries_.insert_or_assign(filename_object, Entry{Ref::borrow(filename_object), version_, std::move(relative)})
                       .first->second;
    return entry.relative;
}

}  // namespace sarn
