// A cursor over MessagePack bytes: reads one head at a time and skips whole
// values without recursion, never reading past the end it was given. Shared
// by the readers of stored trace documents.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

namespace sarn::serialize {

enum class Kind { nil, boolean, uint, sint, real, str, bin, ext, array, map, invalid };

// One MessagePack head: its kind, and for containers the number of items
// (pairs for a map); a string's bytes are in `data`, a number (or a
// boolean, as 0 or 1) in `uint_value`, `sint_value` or, for a real, the
// bits of a double in `uint_value`.
struct Head {
    Kind kind = Kind::invalid;
    uint64_t items = 0;
    std::string_view data;
    uint64_t uint_value = 0;
    int64_t sint_value = 0;
};

class Cursor {
public:
    explicit Cursor(std::string_view bytes) : at_(bytes.data()), end_(bytes.data() + bytes.size()) {}

    [[nodiscard]] const char* position() const noexcept { return at_; }
    [[nodiscard]] bool failed() const noexcept { return failed_; }

    // Reads the next head; a string's, binary's or ext's bytes are consumed
    // with it, a container's items are not. The heads most values have (a
    // short text, a small integer, a short map or array) are read here,
    // small enough to be inlined; the others by next_any().
    Head next() {
        if (!failed_ && at_ < end_) {
            auto byte = static_cast<uint8_t>(*at_);
            if ((byte & 0xe0) == 0xa0) {
                size_t size = byte & 0x1fu;
                if (static_cast<size_t>(end_ - at_) > size) {
                    Head head;
                    head.kind = Kind::str;
                    head.data = std::string_view(at_ + 1, size);
                    at_ += 1 + size;
                    return head;
                }
            } else if (byte <= 0x7f) {
                ++at_;
                return uint_head(byte);
            } else if ((byte & 0xe0) == 0x80) {
                ++at_;
                return container((byte & 0x10) ? Kind::array : Kind::map, byte & 0x0fu);
            }
        }
        return next_any();
    }

    Head next_any() {
        Head head;
        if (!has(1)) return fail();
        auto byte = static_cast<uint8_t>(*at_++);
        if (byte <= 0x7f) return uint_head(byte);
        if (byte >= 0xe0) return sint_head(static_cast<int8_t>(byte));
        if (byte <= 0x8f) return container(Kind::map, byte & 0x0fu);
        if (byte <= 0x9f) return container(Kind::array, byte & 0x0fu);
        if (byte <= 0xbf) return bytes(Kind::str, byte & 0x1fu);
        switch (byte) {
            case 0xc0: head.kind = Kind::nil; return head;
            case 0xc2: case 0xc3: head.kind = Kind::boolean; head.uint_value = byte & 1u; return head;
            case 0xc4: return bytes(Kind::bin, read_uint(1));
            case 0xc5: return bytes(Kind::bin, read_uint(2));
            case 0xc6: return bytes(Kind::bin, read_uint(4));
            case 0xc7: { uint64_t size = read_uint(1); return bytes(Kind::ext, size + 1); }
            case 0xc8: { uint64_t size = read_uint(2); return bytes(Kind::ext, size + 1); }
            case 0xc9: { uint64_t size = read_uint(4); return bytes(Kind::ext, size + 1); }
            case 0xca: {
                uint64_t bits = read_uint(4);
                float value;
                auto narrow = static_cast<uint32_t>(bits);
                std::memcpy(&value, &narrow, sizeof value);
                return real_head(value);
            }
            case 0xcb: {
                uint64_t bits = read_uint(8);
                double value;
                std::memcpy(&value, &bits, sizeof value);
                return real_head(value);
            }
            case 0xcc: return uint_head(read_uint(1));
            case 0xcd: return uint_head(read_uint(2));
            case 0xce: return uint_head(read_uint(4));
            case 0xcf: return uint_head(read_uint(8));
            case 0xd0: return sint_head(static_cast<int8_t>(read_uint(1)));
            case 0xd1: return sint_head(static_cast<int16_t>(read_uint(2)));
            case 0xd2: return sint_head(static_cast<int32_t>(read_uint(4)));
            case 0xd3: return sint_head(static_cast<int64_t>(read_uint(8)));
            case 0xd4: return bytes(Kind::ext, 2);
            case 0xd5: return bytes(Kind::ext, 3);
            case 0xd6: return bytes(Kind::ext, 5);
            case 0xd7: return bytes(Kind::ext, 9);
            case 0xd8: return bytes(Kind::ext, 17);
            case 0xd9: return bytes(Kind::str, read_uint(1));
            case 0xda: return bytes(Kind::str, read_uint(2));
            case 0xdb: return bytes(Kind::str, read_uint(4));
            case 0xdc: return container(Kind::array, read_uint(2));
            case 0xdd: return container(Kind::array, read_uint(4));
            case 0xde: return container(Kind::map, read_uint(2));
            case 0xdf: return container(Kind::map, read_uint(4));
            default: return fail();
        }
    }

    // Skips one whole value, without recursion: deeply nested bytes cannot
    // exhaust the stack.
    void skip() { skip_rest_of(1); }

    // Skips the items of a head already read.
    void skip_items(const Head& head) {
        if (head.kind == Kind::array) skip_rest_of(head.items);
        else if (head.kind == Kind::map) skip_rest_of(head.items * 2);
    }

private:
    void skip_rest_of(uint64_t pending) {
        while (pending > 0 && !failed_) {
            --pending;
            Head head = next();
            if (head.kind == Kind::array) pending += head.items;
            else if (head.kind == Kind::map) pending += head.items * 2;
            // Every item takes at least one byte: a count beyond what is left
            // is damage, found at once rather than after billions of steps.
            if (pending > static_cast<uint64_t>(end_ - at_)) fail();
        }
    }

    [[nodiscard]] bool has(uint64_t size) const noexcept {
        return !failed_ && static_cast<uint64_t>(end_ - at_) >= size;
    }

    uint64_t read_uint(int size) {
        if (!has(static_cast<uint64_t>(size))) {
            fail();
            return 0;
        }
        uint64_t value = 0;
        for (int i = 0; i < size; ++i) value = (value << 8) | static_cast<uint8_t>(*at_++);
        return value;
    }

    Head fail() {
        failed_ = true;
        at_ = end_;
        return Head{};
    }
    Head uint_head(uint64_t value) {
        Head head;
        head.kind = Kind::uint;
        head.uint_value = value;
        return head;
    }
    Head sint_head(int64_t value) {
        Head head;
        head.kind = Kind::sint;
        head.sint_value = value;
        return head;
    }
    Head real_head(double value) {
        Head head;
        head.kind = Kind::real;
        std::memcpy(&head.uint_value, &value, sizeof value);
        return head;
    }
    Head container(Kind kind, uint64_t items) {
        if (failed_) return Head{};
        Head head;
        head.kind = kind;
        head.items = items;
        return head;
    }
    Head bytes(Kind kind, uint64_t size) {
        if (!has(size)) return fail();
        Head head;
        head.kind = kind;
        head.data = std::string_view(at_, static_cast<size_t>(size));
        at_ += size;
        return head;
    }

    const char* at_;
    const char* end_;
    bool failed_ = false;
};

// A number's head (an integer or a float) as a double; nothing for any
// other kind.
inline std::optional<double> number_of(const Head& head) {
    if (head.kind == Kind::real) {
        double value;
        std::memcpy(&value, &head.uint_value, sizeof value);
        return value;
    }
    if (head.kind == Kind::uint) return static_cast<double>(head.uint_value);
    if (head.kind == Kind::sint) return static_cast<double>(head.sint_value);
    return std::nullopt;
}

}  // namespace sarn::serialize
