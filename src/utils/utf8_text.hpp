// Counting the characters of UTF-8 text without decoding it: the text
// budgets of values count characters, as Python's len() does.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace sarn {

// The characters of UTF-8 text: its bytes that do not continue one (a
// continuation byte is 10xxxxxx), counted eight bytes at a time.
inline size_t utf8_characters(std::string_view text) noexcept {
    constexpr uint64_t high_bits = 0x8080808080808080u;
    size_t continuing = 0;
    size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
        uint64_t word;
        std::memcpy(&word, text.data() + i, sizeof word);
        if ((word & high_bits) == 0) continue;  // ASCII, the commonest
        // Bit 7 set and bit 6 clear, per byte (the shift's carry lands on bit 0, masked out).
        continuing += static_cast<size_t>(std::popcount(word & ~(word << 1) & high_bits));
    }
    for (; i < text.size(); ++i) continuing += (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80;
    return text.size() - continuing;
}

}  // namespace sarn
