#include <gtest/gtest.h>

#include <string>

#include "utils/utf8_text.hpp"

namespace {

// Characters of 1 to 4 bytes at every offset within the eight-byte words,
// against a byte-by-byte count.
TEST(Utf8Characters, CountsEveryWidthAtEveryOffset) {
    const std::string pieces[] = {"a", "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80", "\x7f"};
    for (size_t lead = 0; lead < 9; ++lead) {
        std::string text(lead, 'x');
        size_t expected = lead;
        for (int round = 0; round < 5; ++round) {
            for (const std::string& piece : pieces) {
                text += piece;
                ++expected;
                EXPECT_EQ(sarn::utf8_characters(text), expected) << "lead " << lead << ", " << text.size() << " bytes";
            }
        }
    }
    EXPECT_EQ(sarn::utf8_characters(""), 0u);
}

}  // namespace
