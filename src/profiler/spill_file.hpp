// A file that holds full chunks of records out of memory while a long run is
// recorded. It has no name (it is unlinked, or made without one), so it goes
// away with the process however that ends; chunks are appended and read back
// by offset, never changed.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "utils/error.hpp"

namespace sarn {

class SpillFile {
public:
    // A spill file in `directory` (beside the database), or in the system's
    // temporary folder when that directory refuses one.
    [[nodiscard]] static Result<std::shared_ptr<SpillFile>> open(const std::string& directory);

    SpillFile(const SpillFile&) = delete;
    SpillFile& operator=(const SpillFile&) = delete;
    ~SpillFile();

    // Appends the bytes; their offset in the file.
    [[nodiscard]] Result<uint64_t> append(std::string_view bytes);
    // Reads `size` bytes at `offset` into `out`.
    [[nodiscard]] Status read(uint64_t offset, uint64_t size, char* out) const;

    // The process that made the file: a forked child appends to a file of
    // its own, since its parent goes on appending to this one.
    [[nodiscard]] pid_t owner() const noexcept { return owner_; }

private:
    SpillFile(int fd, pid_t owner) noexcept : fd_(fd), owner_(owner) {}

    int fd_;
    pid_t owner_;
    std::mutex append_mutex_;
    uint64_t end_ = 0;
};

}  // namespace sarn
