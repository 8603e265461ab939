// An ordered list of encoded records, stored back to back in large chunks.
//
// A trace document only ever needs the records concatenated behind an array
// header, so the store keeps them that way from the start: no per-record
// allocation or bookkeeping, and resident memory close to the encoded size.
// Full chunks of a long recording can move out of memory into a spill file;
// the list also counts what a trace listing shows (records, calls, threads),
// so that saving a trace never reads it back to count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "profiler/chunk_buffer.hpp"
#include "profiler/spill_file.hpp"
#include "profiler/sql_queries.hpp"
#include "utils/error.hpp"
#include "utils/msgpack_writer.hpp"

namespace sarn {

// Records back to back: in memory, or in a spill file once moved out.
struct RecordChunk {
    ChunkBuffer bytes;
    std::shared_ptr<SpillFile> file;
    uint64_t offset = 0;  // in `file`
    uint64_t size = 0;    // bytes of records, wherever they are

    [[nodiscard]] bool spilled() const noexcept { return file != nullptr; }
};

// What a listing tells of stored records.
struct RecordCounts {
    uint64_t records = 0;
    uint64_t calls = 0;  // frame records of event "call"
    // Native ids of the threads with frame records (a thread without one as
    // nullopt); few, so a vector.
    std::vector<std::optional<uint64_t>> threads;

    // At every frame record: the thread of the record before is checked inline.
    void add_thread(std::optional<uint64_t> thread) {
        if (!threads.empty() && threads.back() == thread) [[likely]] return;
        add_other_thread(thread);
    }
    [[gnu::noinline]] void add_other_thread(std::optional<uint64_t> thread) {
        for (const auto& known : threads) {
            if (known == thread) return;
        }
        threads.push_back(thread);
    }
    void add(const RecordCounts& other) {
        records += other.records;
        calls += other.calls;
        for (const auto& thread : other.threads) add_thread(thread);
    }
};

class RecordList {
public:
    void append(std::string_view record) {
        if (chunks_.empty() || chunks_.back().spilled() || chunks_.back().bytes.room() < record.size()) [[unlikely]] {
            start_chunk(record.size());
        }
        chunks_.back().bytes.append(record);
        chunks_.back().size += record.size();
        ++counts_.records;
    }

    // Records in order: a vector of Bytes, or an array of views.
    template <class Records>
        requires(!std::is_convertible_v<const Records&, std::string_view>)
    void append(const Records& records) {
        for (std::string_view record : records) append(record);
    }

    // Counts frame records appended by the caller: `calls` of them calls,
    // all of the thread `thread`.
    void note_frames(uint64_t calls, std::optional<uint64_t> thread) {
        counts_.calls += calls;
        counts_.add_thread(thread);
    }

    // Notes a record appended by the caller whose type a plugin named.
    void note_typed(std::string_view type, std::string_view record) { sql_.note(type, record); }

    // Writes every full chunk still in memory to `file` and frees it; the
    // chunk being filled stays. The bytes freed; on a failure, what could not
    // be written stays in memory.
    Result<uint64_t> spill(const std::shared_ptr<SpillFile>& file) {
        uint64_t freed = 0;
        for (; first_in_memory_ + 1 < chunks_.size(); ++first_in_memory_) {
            RecordChunk& chunk = chunks_[first_in_memory_];
            if (chunk.spilled()) continue;
            auto offset = file->append(chunk.bytes.view());
            if (!offset) return fail(std::move(offset.error()));
            chunk.file = file;
            chunk.offset = *offset;
            recycle(std::move(chunk.bytes));
            freed += chunk.size;
        }
        return freed;
    }

    // Puts `earlier` in front of this list's records.
    void prepend(RecordList&& earlier) {
        earlier.chunks_.insert(earlier.chunks_.end(), std::make_move_iterator(chunks_.begin()),
                               std::make_move_iterator(chunks_.end()));
        chunks_ = std::move(earlier.chunks_);
        earlier.counts_.add(counts_);
        counts_ = std::move(earlier.counts_);
        sql_.prepend(std::move(earlier.sql_));
        first_in_memory_ = 0;
        earlier.clear();
    }

    [[nodiscard]] size_t size() const noexcept { return counts_.records; }
    [[nodiscard]] bool empty() const noexcept { return counts_.records == 0; }
    [[nodiscard]] const RecordCounts& counts() const noexcept { return counts_; }
    [[nodiscard]] const SqlFacts& sql() const noexcept { return sql_.facts(); }
    [[nodiscard]] const std::vector<RecordChunk>& chunks() const noexcept { return chunks_; }
    // The chunks, for a document to take over; the list is empty afterwards
    // once the caller clears it.
    [[nodiscard]] std::vector<RecordChunk>& release_chunks() noexcept { return chunks_; }
    void clear() noexcept {
        chunks_.clear();
        spare_.clear();
        counts_ = RecordCounts{};
        sql_.clear();
        first_in_memory_ = 0;
    }
    void swap(RecordList& other) noexcept {
        chunks_.swap(other.chunks_);
        std::swap(counts_, other.counts_);
        std::swap(sql_, other.sql_);
        std::swap(first_in_memory_, other.first_in_memory_);
        spare_.swap(other.spare_);
    }

private:
    // A list's first chunk is small, so that a short trace stays small; the
    // others are mapped with their pages populated.
    static constexpr size_t first_chunk_size = size_t{256} << 10;
    static constexpr size_t chunk_size = ChunkBuffer::mapped_size;

    [[gnu::noinline]] void start_chunk(size_t record_size) {
        const size_t wanted = chunks_.empty() ? first_chunk_size : chunk_size;
        chunks_.emplace_back();
        if (record_size <= chunk_size && !spare_.empty()) {
            chunks_.back().bytes = std::move(spare_.back());
            spare_.pop_back();
            return;
        }
        chunks_.back().bytes = ChunkBuffer(record_size > wanted ? record_size : wanted);
    }

    // The memory of a spilled chunk is kept for the chunks that follow:
    // fresh memory costs the kernel a page clearing for every 4 KiB. A list
    // keeps at most `max_spare` of them, and only those of the usual size.
    void recycle(ChunkBuffer bytes) {
        if (bytes.capacity() != chunk_size || spare_.size() >= max_spare) return;
        bytes.clear();
        spare_.push_back(std::move(bytes));
    }
    static constexpr size_t max_spare = 64;  // 128 MiB
    std::vector<ChunkBuffer> spare_;

    std::vector<RecordChunk> chunks_;
    RecordCounts counts_;
    SqlQueries sql_;
    size_t first_in_memory_ = 0;  // chunks before it are spilled
};

}  // namespace sarn
