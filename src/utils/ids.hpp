// Wall-clock timestamps and ULID-based identifiers of frames and traces.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <expected>
#include <string>
#include <string_view>

#include <time.h>

namespace sarn {

// The wall clock, read once per kept event: the record's timestamp, its
// frame id and the working directory's refresh all use the same reading.
timespec read_wall_clock() noexcept;

// Seconds since the Unix epoch, with the sub-second part as the fraction.
// Fails with "System time is before unix epoch" when the clock reads earlier.
std::expected<double, std::string> current_timestamp();

// The timestamp of a clock reading `seconds` + `nanos` after the epoch.
double timestamp_from(int64_t seconds, uint32_t nanos);
inline double timestamp_from(const timespec& now) { return timestamp_from(now.tv_sec, static_cast<uint32_t>(now.tv_nsec)); }

// The 26-character Crockford base32 text of the 128-bit value high:low,
// most significant digit first (it holds only the top 3 bits).
std::string ulid_text(uint64_t high, uint64_t low);

// A fresh ULID: 48 bits of milliseconds since the epoch (0 before it) and
// 80 random bits from a per-thread generator seeded by the operating system.
std::string new_ulid();

std::string new_frame_id();  // "frm_" + ULID
std::string new_trace_id();  // "trc_" + ULID

// A frame id held by value: frames are recorded often, and their ids are
// copied into stacks, maps and records, so they live without an allocation.
class FrameId {
public:
    static constexpr size_t length = 30;  // "frm_" + 26 characters
    [[nodiscard]] static FrameId make();  // a new "frm_" + ULID
    [[nodiscard]] static FrameId make(const timespec& now);  // the same, at a clock reading
    // An id made elsewhere (always `length` characters; longer ones are cut).
    [[nodiscard]] static FrameId from(std::string_view text) noexcept {
        FrameId id;
        std::memcpy(id.chars_.data(), text.data(), std::min(text.size(), length));
        return id;
    }
    [[nodiscard]] std::string_view view() const noexcept { return {chars_.data(), length}; }
    [[nodiscard]] std::string text() const { return std::string(view()); }
    // Compared as four words: the padding stays zero. (A comparison of 30
    // bytes is a call to memcmp; ids are compared at every kept event.)
    bool operator==(const FrameId& other) const noexcept {
        uint64_t mine[words], theirs[words];
        std::memcpy(mine, chars_.data(), sizeof mine);
        std::memcpy(theirs, other.chars_.data(), sizeof theirs);
        return ((mine[0] ^ theirs[0]) | (mine[1] ^ theirs[1]) | (mine[2] ^ theirs[2]) | (mine[3] ^ theirs[3])) == 0;
    }

private:
    friend class FrameIdSource;
    // Adds one to the random part; false when it was all ones.
    bool increment() noexcept;

    static constexpr size_t words = 4;
    std::array<char, words * sizeof(uint64_t)> chars_{};
};

// The frame ids of one thread. Within a millisecond each id is the one
// before it plus one (a monotonic ULID): the random part is drawn once per
// millisecond, and the next id costs an increment of its last digit. A
// forked child draws afresh, so that it never repeats its parent's ids.
class FrameIdSource {
public:
    [[nodiscard]] FrameId next(const timespec& now);

private:
    uint64_t millis_ = ~uint64_t{0};
    uint64_t fork_generation_ = 0;
    FrameId last_;
};

}  // namespace sarn
