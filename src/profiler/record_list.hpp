// An ordered list of encoded records, stored back to back in large chunks.
//
// A trace document only ever needs the records concatenated behind an array
// header, so the store keeps them that way from the start: no per-record
// allocation or bookkeeping, and resident memory close to the encoded size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "utils/msgpack_writer.hpp"

namespace sarn {

class RecordList {
public:
    void append(std::string_view record) {
        if (chunks_.empty() || chunks_.back().capacity() - chunks_.back().size() < record.size()) {
            chunks_.emplace_back();
            chunks_.back().reserve(record.size() > chunk_size ? record.size() : chunk_size);
        }
        chunks_.back().append(record);
        ++count_;
    }

    void append(std::vector<Bytes>&& records) {
        for (const Bytes& record : records) append(record);
        records.clear();
    }

    // Puts `earlier` in front of this list's records.
    void prepend(RecordList&& earlier) {
        earlier.chunks_.insert(earlier.chunks_.end(), std::make_move_iterator(chunks_.begin()),
                               std::make_move_iterator(chunks_.end()));
        chunks_ = std::move(earlier.chunks_);
        count_ += std::exchange(earlier.count_, 0);
        earlier.chunks_.clear();
    }

    [[nodiscard]] size_t size() const noexcept { return count_; }
    [[nodiscard]] bool empty() const noexcept { return count_ == 0; }
    [[nodiscard]] const std::vector<Bytes>& chunks() const noexcept { return chunks_; }
    // Access to the chunks for writing them out and freeing them one by
    // one; the list is empty afterwards once the caller clears it.
    [[nodiscard]] std::vector<Bytes>& release_chunks() noexcept { return chunks_; }
    void clear() noexcept {
        chunks_.clear();
        count_ = 0;
    }
    void swap(RecordList& other) noexcept {
        chunks_.swap(other.chunks_);
        std::swap(count_, other.count_);
    }

private:
    static constexpr size_t chunk_size = size_t{1} << 20;
    std::vector<Bytes> chunks_;
    size_t count_ = 0;
};

// The array header counting the records, then the records back to back.
template <class S>
void write_record_array(Writer<S>& writer, const RecordList& records) {
    writer.array_header(static_cast<uint32_t>(records.size()));
    for (const Bytes& chunk : records.chunks()) writer.raw(chunk);
}

// The same, freeing each chunk once written: the records are then held only
// once, in what is being written.
template <class S>
void write_record_array_releasing(Writer<S>& writer, RecordList& records) {
    writer.array_header(static_cast<uint32_t>(records.size()));
    for (Bytes& chunk : records.release_chunks()) {
        writer.raw(chunk);
        Bytes().swap(chunk);
    }
}

}  // namespace sarn
