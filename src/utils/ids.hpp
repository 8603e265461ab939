// Wall-clock timestamps and ULID-based identifiers of frames and traces.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <expected>
#include <string>
#include <string_view>

namespace sarn {

// Seconds since the Unix epoch, with the sub-second part as the fraction.
// Fails with "System time is before unix epoch" when the clock reads earlier.
std::expected<double, std::string> current_timestamp();

// The timestamp of a clock reading `seconds` + `nanos` after the epoch.
double timestamp_from(int64_t seconds, uint32_t nanos);

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
    static constexpr size_t words = 4;
    std::array<char, words * sizeof(uint64_t)> chars_{};
};

}  // namespace sarn
