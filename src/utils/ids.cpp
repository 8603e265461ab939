#include "utils/ids.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace sarn {
namespace {

constexpr char crockford_alphabet[] = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";
constexpr size_t ulid_length = 26;

uint64_t millis_since_epoch(const timespec& now) noexcept {
    if (now.tv_sec < 0) return 0;
    return static_cast<uint64_t>(now.tv_sec) * 1000u +
           static_cast<uint64_t>(now.tv_nsec) / 1'000'000u;
}

// Counts forks seen by this process. A child must not hand out random bytes
// that its parent had buffered before the fork, since the parent hands out
// the same bytes: a changed count makes every buffer refill.
std::atomic<uint64_t> fork_generation{0};

void count_fork_in_child() noexcept {
    fork_generation.fetch_add(1, std::memory_order_relaxed);
}

[[noreturn]] void random_source_failed() noexcept {
    // Without a random source every identifier would be guessable and could
    // collide; there is nothing sensible to fall back to.
    std::fputs("sarn: the operating system's random source failed\n", stderr);
    std::abort();
}

// getrandom(2) through syscall(2) rather than glibc's wrapper (glibc 2.25+),
// so that the module runs on older C libraries too. Returns false when the
// kernel has no such call (before Linux 3.17).
bool fill_from_getrandom(unsigned char* out, size_t size) noexcept {
    while (size > 0) {
        const long got = syscall(SYS_getrandom, out, size, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            if (errno == ENOSYS) return false;
            random_source_failed();
        }
        out += got;
        size -= static_cast<size_t>(got);
    }
    return true;
}

void fill_from_urandom(unsigned char* out, size_t size) noexcept {
    const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) random_source_failed();
    while (size > 0) {
        const ssize_t got = read(fd, out, size);
        if (got <= 0) {
            if (got < 0 && errno == EINTR) continue;
            random_source_failed();
        }
        out += got;
        size -= static_cast<size_t>(got);
    }
    close(fd);
}

void fill_from_os(unsigned char* out, size_t size) noexcept {
    if (!fill_from_getrandom(out, size)) fill_from_urandom(out, size);
}

// Random bytes drawn from the OS in blocks, so that an identifier costs a
// copy rather than a system call. One pool per thread: no locking.
class RandomPool {
public:
    constexpr RandomPool() noexcept {}

    void take(unsigned char* out, size_t size) {
        const uint64_t generation = fork_generation.load(std::memory_order_relaxed);
        if (generation != generation_ || size > sizeof buffer_ - used_) refill(generation);
        std::memcpy(out, buffer_ + used_, size);
        used_ += size;
    }

private:
    void refill(uint64_t generation) {
        [[maybe_unused]] static const bool fork_handler_installed =
            pthread_atfork(nullptr, nullptr, count_fork_in_child) == 0;
        fill_from_os(buffer_, sizeof buffer_);
        used_ = 0;
        generation_ = generation;
    }

    unsigned char buffer_[4096]{};
    size_t used_ = sizeof buffer_;
    uint64_t generation_ = 0;
};

// `count` base32 digits of `value`, most significant first.
void write_digits(char* out, unsigned __int128 value, size_t count) noexcept {
    for (size_t i = count; i-- > 0;) {
        out[i] = crockford_alphabet[static_cast<unsigned>(value) & 31u];
        value >>= 5;
    }
}

// The 16 digits of the 80 random bits `high` (16 bits) : `low` (64 bits),
// as write_digits would write them, in 64-bit arithmetic: a frame id is made
// at every recorded call.
void write_random_digits(char* out, uint64_t high, uint64_t low) noexcept {
    // The last 12 digits hold the low 60 bits of `low`.
#pragma GCC unroll 12
    for (size_t i = 16; i-- > 4;) {
        out[i] = crockford_alphabet[low & 31u];
        low >>= 5;
    }
    // The first 4 hold the 20 bits above them: all of `high`, then the top 4 of `low`.
    uint64_t top = (high << 4) | low;
#pragma GCC unroll 4
    for (size_t i = 4; i-- > 0;) {
        out[i] = crockford_alphabet[top & 31u];
        top >>= 5;
    }
}

void write_ulid(char* out, uint64_t high, uint64_t low) noexcept {
    write_digits(out, (static_cast<unsigned __int128>(high) << 64) | low, ulid_length);
}

// The first 10 digits hold the 48-bit time alone (10 x 5 = 50 bits, the top
// two always zero), the last 16 the 80 random bits alone: the time's digits
// are kept for the millisecond they stand for.
constexpr size_t time_digits = 10;

struct TimeDigits {
    uint64_t millis = ~uint64_t{0};
    char text[time_digits] = {};
};

// One thread-local block, reached with one lookup per identifier.
struct IdentifierState {
    TimeDigits time;
    RandomPool random;
};
constinit thread_local IdentifierState identifier_state;

uint64_t ulid_millis(const timespec& now) noexcept { return millis_since_epoch(now) & ((uint64_t{1} << 48) - 1); }

void write_new_ulid(char* out, const timespec& now) {
    // The thread's block is found once: each access to a thread-local of a
    // loaded library is a call.
    IdentifierState& state = identifier_state;
    const uint64_t millis = ulid_millis(now);
    if (state.time.millis != millis) {
        write_digits(state.time.text, millis, time_digits);
        state.time.millis = millis;
    }
    std::memcpy(out, state.time.text, time_digits);
    unsigned char random[10];
    state.random.take(random, sizeof random);
    uint64_t low = 0;
    std::memcpy(&low, random + 2, sizeof low);
    const uint64_t high = (uint64_t{random[0]} << 8) | random[1];
    write_random_digits(out + time_digits, high, low);
}

std::string prefixed_ulid(std::string_view prefix) {
    std::string id(prefix.size() + ulid_length, '\0');
    std::memcpy(id.data(), prefix.data(), prefix.size());
    write_new_ulid(id.data() + prefix.size(), read_wall_clock());
    return id;
}

// The value of each Crockford digit by its character; other characters are 0.
constexpr std::array<uint8_t, 128> crockford_values = [] {
    std::array<uint8_t, 128> values{};
    for (uint8_t i = 0; i < 32; ++i) values[static_cast<uint8_t>(crockford_alphabet[i])] = i;
    return values;
}();

}  // namespace

timespec read_wall_clock() noexcept {
    timespec now{};
    // CLOCK_REALTIME always exists; the call cannot fail with a valid pointer.
    clock_gettime(CLOCK_REALTIME, &now);
    return now;
}

double timestamp_from(int64_t seconds, uint32_t nanos) {
    return static_cast<double>(seconds) + static_cast<double>(nanos) / 1e9;
}

std::expected<double, std::string> current_timestamp() {
    const timespec now = read_wall_clock();
    if (now.tv_sec < 0) return std::unexpected(std::string("System time is before unix epoch"));
    return timestamp_from(now.tv_sec, static_cast<uint32_t>(now.tv_nsec));
}

std::string ulid_text(uint64_t high, uint64_t low) {
    std::string text(ulid_length, '\0');
    write_ulid(text.data(), high, low);
    return text;
}

std::string new_ulid() { return prefixed_ulid(""); }
std::string new_frame_id() { return prefixed_ulid("frm_"); }
std::string new_trace_id() { return prefixed_ulid("trc_"); }

FrameId FrameId::make() { return make(read_wall_clock()); }

FrameId FrameId::make(const timespec& now) {
    FrameId id;
    std::memcpy(id.chars_.data(), "frm_", 4);
    write_new_ulid(id.chars_.data() + 4, now);
    return id;
}

bool FrameId::increment() noexcept {
    constexpr size_t random_from = 4 + time_digits;
    for (size_t i = length; i-- > random_from;) {
        const uint8_t digit = crockford_values[static_cast<uint8_t>(chars_[i]) & 127u];
        if (digit != 31) {
            chars_[i] = crockford_alphabet[digit + 1];
            return true;
        }
        chars_[i] = '0';
    }
    return false;
}

FrameId FrameIdSource::next(const timespec& now) {
    const uint64_t millis = ulid_millis(now);
    const uint64_t generation = fork_generation.load(std::memory_order_relaxed);
    if (millis != millis_ || generation != fork_generation_ || !last_.increment()) [[unlikely]] {
        last_ = FrameId::make(now);
        millis_ = millis;
        // Read after the draw, which installs the fork handler the first time.
        fork_generation_ = fork_generation.load(std::memory_order_relaxed);
    }
    return last_;
}

}  // namespace sarn
