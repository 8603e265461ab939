// File names relative to the working directory, without a system call per
// event.
//
// Reading the working directory costs about a microsecond, more than the
// rest of a kept event. The directory is read again when the profile hook
// has seen `os.chdir` or `os.fchdir` called on a recorded thread, and in any
// case once the event's clock reading is in another millisecond than the
// last reading, which bounds how long a change made where the hook cannot see it
// (an unrecorded thread, native code) goes unnoticed. Relative names are
// remembered per file name object and directory.
#pragma once

#include <Python.h>
#include <time.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "utils/ref.hpp"

namespace sarn {

// What the profile hook tells about calls that change the directory.
namespace directory_changes {

// The functions whose calls count as a change (borrowed and only compared:
// a stale pointer can only cause an extra reading).
inline std::atomic<PyObject*> watched[2] = {nullptr, nullptr};
inline std::atomic<uint64_t> count{0};

inline void note_c_function(PyObject* function) noexcept {
    if (function == watched[0].load(std::memory_order_relaxed) ||
        function == watched[1].load(std::memory_order_relaxed)) {
        count.fetch_add(1, std::memory_order_relaxed);
    }
}

// Looks up os.chdir and os.fchdir; a failure leaves nothing pending (the
// clock bound remains).
void watch();

}  // namespace directory_changes

class DirectoryMemo {
public:
    // Reads the directory again when it may have changed, at the wall
    // clock's reading `now`.
    void refresh_if_due(const timespec& now);
    // Changes whenever the directory read differs from the one before.
    [[nodiscard]] uint64_t version() const noexcept { return version_; }

    // `filename` (the text of `filename_object`) relative to the directory
    // last read; valid until the next call.
    std::string_view relative(PyObject* filename_object, std::string_view filename);

private:

    struct Entry {
        Ref filename;  // keeps the key's object from being replaced at its address
        uint64_t directory_version;
        std::string relative;
    };
    static constexpr size_t max_entries = 1 << 14;

    std::optional<std::string> directory_;
    uint64_t version_ = 0;         // 0 before the first reading; changes when the directory read differs
    uint64_t changes_seen_ = ~uint64_t{0};
    int64_t read_at_ms_ = 0;
    std::unordered_map<PyObject*, Entry> entries_;
};

}  // namespace sarn
