// A trace document taken out of the stores, read in order piece by piece:
// the document's own fields, then the chunks of records as they were stored
// (in memory or in a spill file). Nothing is copied to make it; a reader
// holds only what it asks for, so a document bigger than memory can be
// compressed and written away.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "profiler/record_list.hpp"
#include "utils/error.hpp"
#include "utils/msgpack_writer.hpp"

namespace sarn {

// What a listing of traces shows, known without reading the records.
struct DocumentFacts {
    double started = 0.0;
    std::string source;
    std::vector<std::string> argv;
    RecordCounts counts;
    SqlFacts sql;
    std::optional<Bytes> test_record;  // the first "start_test" record
    uint64_t unrecorded_threads = 0;
};

class TraceDocument {
public:
    TraceDocument(std::vector<RecordChunk> pieces, DocumentFacts facts);

    [[nodiscard]] uint64_t size() const noexcept { return size_; }
    [[nodiscard]] uint64_t position() const noexcept { return position_; }
    [[nodiscard]] const DocumentFacts& facts() const noexcept { return facts_; }

    // Copies up to `room` bytes from the position into `out`; how many were
    // copied, 0 at the end.
    [[nodiscard]] Result<uint64_t> read(char* out, uint64_t room);
    // Back to the start, to read the document again.
    void rewind() noexcept;

private:
    std::vector<RecordChunk> pieces_;
    DocumentFacts facts_;
    uint64_t size_ = 0;
    uint64_t position_ = 0;
    size_t piece_ = 0;          // the piece at the position
    uint64_t within_piece_ = 0;  // and how far into it
};

// Gathers the pieces of a document as a writer writes its fields.
class PieceSink {
public:
    void write(const char* data, size_t size) { pending_.append(data, size); }
    // Records follow what was written so far; the chunks are moved.
    void chunks(std::vector<RecordChunk>& chunks);
    [[nodiscard]] std::vector<RecordChunk> finish();

private:
    void flush();

    Bytes pending_;
    std::vector<RecordChunk> pieces_;
};

}  // namespace sarn
