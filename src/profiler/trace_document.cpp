#include "profiler/trace_document.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

namespace sarn {

TraceDocument::TraceDocument(std::vector<RecordChunk> pieces, DocumentFacts facts)
    : pieces_(std::move(pieces)), facts_(std::move(facts)) {
    for (const RecordChunk& piece : pieces_) size_ += piece.size;
}

Result<uint64_t> TraceDocument::read(char* out, uint64_t room) {
    uint64_t copied = 0;
    while (copied < room && piece_ < pieces_.size()) {
        const RecordChunk& piece = pieces_[piece_];
        const uint64_t step = std::min(room - copied, piece.size - within_piece_);
        if (piece.spilled()) {
            auto read = piece.file->read(piece.offset + within_piece_, step, out + copied);
            if (!read) return fail(std::move(read.error()));
        } else {
            std::memcpy(out + copied, piece.bytes.data() + within_piece_, step);
        }
        copied += step;
        within_piece_ += step;
        if (within_piece_ == piece.size) {
            ++piece_;
            within_piece_ = 0;
        }
    }
    position_ += copied;
    return copied;
}

void TraceDocument::rewind() noexcept {
    position_ = 0;
    piece_ = 0;
    within_piece_ = 0;
}

void PieceSink::chunks(std::vector<RecordChunk>& chunks) {
    flush();
    for (RecordChunk& chunk : chunks) {
        if (chunk.size != 0) pieces_.push_back(std::move(chunk));
    }
    chunks.clear();
}

std::vector<RecordChunk> PieceSink::finish() {
    flush();
    return std::move(pieces_);
}

void PieceSink::flush() {
    if (pending_.empty()) return;
    RecordChunk piece;
    piece.size = pending_.size();
    piece.bytes = ChunkBuffer::copy_of(pending_);
    pending_.clear();
    pieces_.push_back(std::move(piece));
}

}  // namespace sarn
