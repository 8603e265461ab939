#include "utils/ids.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace sarn {
namespace {

constexpr std::string_view alphabet = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";

// Milliseconds encoded in the first ten characters of a ULID text.
uint64_t time_part(std::string_view ulid) {
    uint64_t millis = 0;
    for (char c : ulid.substr(0, 10)) millis = millis * 32 + alphabet.find(c);
    return millis;
}

uint64_t now_millis() {
    using namespace std::chrono;
    return static_cast<uint64_t>(
        duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

struct TextCase {
    uint64_t high;
    uint64_t low;
    std::string expected;
};

class UlidText : public testing::TestWithParam<TextCase> {};

TEST_P(UlidText, Base32MostSignificantFirst) {
    const auto& c = GetParam();
    EXPECT_EQ(ulid_text(c.high, c.low), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, UlidText,
    testing::Values(
        TextCase{0, 0, std::string(26, '0')},
        TextCase{~uint64_t{0}, ~uint64_t{0}, "7" + std::string(25, 'Z')},
        TextCase{0, 1, std::string(25, '0') + "1"},
        TextCase{0, 31, std::string(25, '0') + "Z"},
        TextCase{0, 32, std::string(24, '0') + "10"},
        TextCase{1, 0, "0000000000000G000000000000"},            // bit 64 crosses the words
        TextCase{uint64_t{1} << 60, 0, "0G" + std::string(24, '0')},
        TextCase{uint64_t{1} << 61, 0, "1" + std::string(25, '0')},  // top digit: 3 bits
        TextCase{0x01563e3ab5d3d676, 0x4c61efb99302bd5b, "01ARZ3NDEKTSV4RRFFQ69G5FAV"}));

struct IdKind {
    const char* name;
    std::function<std::string()> make;
    std::string prefix;
};

void PrintTo(const IdKind& kind, std::ostream* out) { *out << kind.name; }

class Identifiers : public testing::TestWithParam<IdKind> {};

TEST_P(Identifiers, PrefixThenUlidOfTheAlphabet) {
    const auto& kind = GetParam();
    for (int i = 0; i < 200; ++i) {
        const std::string id = kind.make();
        ASSERT_EQ(id.size(), kind.prefix.size() + 26) << id;
        ASSERT_TRUE(id.starts_with(kind.prefix)) << id;
        const std::string_view ulid = std::string_view(id).substr(kind.prefix.size());
        ASSERT_EQ(ulid.find_first_not_of(alphabet), std::string_view::npos) << id;
        ASSERT_LE(ulid[0], '7') << id;
    }
}

TEST_P(Identifiers, TimePartIsTheCurrentMillisecond) {
    const auto& kind = GetParam();
    const uint64_t before = now_millis();
    const std::string id = kind.make();
    const uint64_t after = now_millis();
    const uint64_t millis = time_part(std::string_view(id).substr(kind.prefix.size()));
    EXPECT_GE(millis, before);
    EXPECT_LE(millis, after);
}

TEST_P(Identifiers, BackToBackDifferAndTimeNeverGoesBack) {
    const auto& kind = GetParam();
    std::set<std::string> seen;
    std::string previous = kind.make();
    for (int i = 0; i < 2000; ++i) {
        const std::string id = kind.make();
        ASSERT_NE(id, previous);
        ASSERT_GE(id.substr(0, kind.prefix.size() + 10),
                  previous.substr(0, kind.prefix.size() + 10));
        seen.insert(id);
        previous = id;
    }
    EXPECT_EQ(seen.size(), 2000u);
}

INSTANTIATE_TEST_SUITE_P(Kinds, Identifiers,
                         testing::Values(IdKind{"ulid", new_ulid, ""},
                                         IdKind{"frame", new_frame_id, "frm_"},
                                         IdKind{"trace", new_trace_id, "trc_"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RandomPart, EveryRandomDigitVaries) {
    // 16 digits carry the 80 random bits; with fixed or misplaced bits some
    // position would keep (nearly) one value.
    std::vector<std::set<char>> values(16);
    for (int i = 0; i < 3000; ++i) {
        const std::string ulid = new_ulid();
        for (size_t p = 0; p < 16; ++p) values[p].insert(ulid[10 + p]);
    }
    for (size_t p = 0; p < 16; ++p) EXPECT_EQ(values[p].size(), 32u) << "position " << 10 + p;
}

TEST(RandomPart, ThreadsDrawIndependentBits) {
    constexpr int threads = 4;
    constexpr int per_thread = 3000;
    std::vector<std::vector<std::string>> made(threads);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&made, t] {
            for (int i = 0; i < per_thread; ++i) made[t].push_back(new_frame_id().substr(14));
        });
    for (auto& worker : workers) worker.join();
    std::set<std::string> random_parts;
    for (const auto& list : made) random_parts.insert(list.begin(), list.end());
    EXPECT_EQ(random_parts.size(), size_t{threads * per_thread});
}

TEST(RandomPart, ForkedChildDoesNotRepeatItsParent) {
    new_ulid();  // make sure this thread's random bytes are buffered
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const std::string id = new_ulid();
        const ssize_t written = write(pipe_fds[1], id.data(), id.size());
        _exit(written == static_cast<ssize_t>(id.size()) ? 0 : 1);
    }
    const std::string parent_id = new_ulid();
    char buffer[26];
    ASSERT_EQ(read(pipe_fds[0], buffer, sizeof buffer), 26);
    int status = 0;
    waitpid(child, &status, 0);
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    EXPECT_NE(std::string(buffer + 10, 16), parent_id.substr(10));
}

timespec at_millis(int64_t millis) { return timespec{millis / 1000, static_cast<long>(millis % 1000) * 1'000'000}; }

// The ULID of a frame id, as a number (its digits compare in the same order).
std::string ulid_of(const FrameId& id) { return std::string(id.view().substr(4)); }

TEST(FrameIdSource, WithinAMillisecondEachIdIsTheLastPlusOne) {
    FrameIdSource source;
    const timespec now = at_millis(1'700'000'000'123);
    FrameId previous = source.next(now);
    EXPECT_EQ(time_part(ulid_of(previous)), 1'700'000'000'123u);
    for (int i = 0; i < 5000; ++i) {
        const FrameId id = source.next(now);
        const std::string before = ulid_of(previous), after = ulid_of(id);
        ASSERT_GT(after, before);
        // One more in the last digit, with a carry through any trailing Zs.
        const size_t changed = before.find_last_not_of('Z');
        ASSERT_EQ(after.substr(0, changed), before.substr(0, changed));
        ASSERT_EQ(alphabet.find(after[changed]), alphabet.find(before[changed]) + 1);
        ASSERT_EQ(after.substr(changed + 1), std::string(25 - changed, '0'));
        previous = id;
    }
}

TEST(FrameIdSource, ANewMillisecondDrawsANewRandomPart) {
    FrameIdSource source;
    std::set<std::string> random_parts;
    for (int64_t millis = 0; millis < 200; ++millis) {
        const std::string ulid = ulid_of(source.next(at_millis(1'700'000'000'000 + millis)));
        EXPECT_EQ(time_part(ulid), uint64_t(1'700'000'000'000 + millis));
        random_parts.insert(ulid.substr(10, 12));  // the upper digits, which an increment leaves alone
    }
    EXPECT_EQ(random_parts.size(), 200u);
}

TEST(FrameIdSource, AForkedChildDoesNotContinueItsParentsIds) {
    FrameIdSource source;
    const timespec now = at_millis(1'700'000'000'456);
    (void)source.next(now);
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const FrameId id = source.next(now);
        const ssize_t written = write(pipe_fds[1], id.view().data(), FrameId::length);
        _exit(written == static_cast<ssize_t>(FrameId::length) ? 0 : 1);
    }
    const FrameId parent_id = source.next(now);
    char buffer[FrameId::length];
    ASSERT_EQ(read(pipe_fds[0], buffer, sizeof buffer), static_cast<ssize_t>(FrameId::length));
    int status = 0;
    waitpid(child, &status, 0);
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    EXPECT_NE(std::string_view(buffer, sizeof buffer), parent_id.view());
}

struct StampCase {
    int64_t seconds;
    uint32_t nanos;
    double expected;
};

class Timestamps : public testing::TestWithParam<StampCase> {};

TEST_P(Timestamps, SecondsPlusNanos) {
    const auto& c = GetParam();
    EXPECT_EQ(timestamp_from(c.seconds, c.nanos), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Table, Timestamps,
                         testing::Values(StampCase{1, 500000000, 1.5}, StampCase{0, 0, 0.0},
                                         StampCase{0, 999999999, 0.999999999},
                                         StampCase{1700000000, 250000000, 1700000000.25}));

TEST(CurrentTimestamp, ReadsTheWallClock) {
    using namespace std::chrono;
    const double before = duration<double>(system_clock::now().time_since_epoch()).count();
    const auto stamp = current_timestamp();
    const double after = duration<double>(system_clock::now().time_since_epoch()).count();
    ASSERT_TRUE(stamp.has_value()) << stamp.error();
    EXPECT_GE(*stamp, before - 1e-6);
    EXPECT_LE(*stamp, after + 1e-6);
}

}  // namespace
}  // namespace sarn
