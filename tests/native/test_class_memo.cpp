#include "serialize/class_memo.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace sarn::serialize {
namespace {

// Classes are only compared by address: any distinct addresses will do,
// spaced as real class objects are.
const void* fake_class(size_t i) { return reinterpret_cast<const void*>(uintptr_t{0x7f0000000000} + 0x3a0 * (i + 1)); }

TEST(ClassMemo, FindsEveryClassPutAcrossGrowth) {
    ClassMemo<int> memo;
    std::vector<int> released;
    EXPECT_EQ(memo.find(fake_class(0)), nullptr);
    for (size_t i = 0; i < 1000; ++i) memo.put(fake_class(i), static_cast<int>(i), released);
    EXPECT_EQ(memo.size(), 1000u);
    EXPECT_TRUE(released.empty());
    for (size_t i = 0; i < 1000; ++i) {
        const int* found = memo.find(fake_class(i));
        ASSERT_NE(found, nullptr) << i;
        EXPECT_EQ(*found, static_cast<int>(i));
    }
    EXPECT_EQ(memo.find(fake_class(1000)), nullptr);
}

TEST(ClassMemo, ReplacedEntryIsHandedBackForRelease) {
    ClassMemo<int> memo;
    std::vector<int> released;
    memo.put(fake_class(3), 1, released);
    memo.put(fake_class(3), 2, released);
    EXPECT_EQ(memo.size(), 1u);
    EXPECT_EQ(*memo.find(fake_class(3)), 2);
    EXPECT_EQ(released, std::vector<int>{1});
}

TEST(ClassMemo, StartsAgainWhenFull) {
    ClassMemo<int> memo;
    std::vector<int> released;
    for (size_t i = 0; i < 4096; ++i) memo.put(fake_class(i), 7, released);
    memo.put(fake_class(5000), 8, released);
    EXPECT_EQ(released.size(), 4096u);
    EXPECT_EQ(memo.size(), 1u);
    EXPECT_EQ(memo.find(fake_class(0)), nullptr);
    EXPECT_EQ(*memo.find(fake_class(5000)), 8);
}

}  // namespace
}  // namespace sarn::serialize
