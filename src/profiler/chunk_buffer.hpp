// The memory of one chunk of stored records: a fixed capacity, filled by
// appending, never moved.
//
// A long recording writes a few hundred bytes of fresh memory per event, and
// the kernel takes a page fault for every 4 KiB of it touched for the first
// time: a tenth of the cost of a kept event. A big chunk is therefore mapped
// on its own with its pages populated at once, one system call instead of
// 512 faults. (Transparent huge pages were tried as well: the kernel's
// compaction and clearing of 2 MiB pages made recording slower and its time
// erratic.) Small chunks (the first of each list, the document's own fields)
// come from the ordinary allocator, so that a short trace stays small.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

namespace sarn {

class ChunkBuffer {
public:
    static constexpr size_t mapped_size = size_t{2} << 20;  // and bigger: mapped

    ChunkBuffer() noexcept = default;
    explicit ChunkBuffer(size_t capacity) {
        if (capacity == 0) return;
        mapped_ = capacity >= mapped_size;
        capacity_ = capacity;
        data_ = static_cast<char*>(mapped_ ? map_populated(capacity) : std::malloc(capacity));
        if (data_ == nullptr) throw std::bad_alloc();
    }
    // A buffer holding exactly `bytes`.
    static ChunkBuffer copy_of(std::string_view bytes) {
        ChunkBuffer buffer(bytes.size());
        buffer.append(bytes);
        return buffer;
    }

    ChunkBuffer(ChunkBuffer&& other) noexcept { swap(other); }
    ChunkBuffer& operator=(ChunkBuffer&& other) noexcept {
        ChunkBuffer(std::move(other)).swap(*this);
        return *this;
    }
    ChunkBuffer(const ChunkBuffer&) = delete;
    ChunkBuffer& operator=(const ChunkBuffer&) = delete;
    ~ChunkBuffer() { release(); }

    [[nodiscard]] const char* data() const noexcept { return data_; }
    [[nodiscard]] size_t size() const noexcept { return size_; }
    [[nodiscard]] size_t room() const noexcept { return capacity_ - size_; }
    [[nodiscard]] std::string_view view() const noexcept { return {data_, size_}; }
    [[nodiscard]] size_t capacity() const noexcept { return capacity_; }

    // Empty again, its memory kept for reuse.
    void clear() noexcept { size_ = 0; }

    // The caller makes sure the bytes fit (`room`).
    void append(std::string_view bytes) noexcept {
        if (bytes.empty()) return;
        std::memcpy(data_ + size_, bytes.data(), bytes.size());
        size_ += bytes.size();
    }

    void swap(ChunkBuffer& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        std::swap(capacity_, other.capacity_);
        std::swap(mapped_, other.mapped_);
    }

private:
    static void* map_populated(size_t size) noexcept {
        void* mapped = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
        return mapped == MAP_FAILED ? nullptr : mapped;
    }

    void release() noexcept {
        if (data_ == nullptr) return;
        if (mapped_) munmap(data_, capacity_);
        else std::free(data_);
        data_ = nullptr;
        size_ = capacity_ = 0;
    }

    char* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
    bool mapped_ = false;
};

}  // namespace sarn
