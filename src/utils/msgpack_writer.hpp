// MessagePack writing for frame records and trace documents.
//
// Every value is written in the smallest form the format offers for it, with
// two exceptions that are deliberate: floats are always float 64 (0xcb), and
// strings are always the str family (bin only for byte strings). Writing is generic over the
// output stream so that one piece of encoding code can append to a record
// buffer (StringSink), measure a document before allocating it
// (CountingSink), or fill memory that was sized exactly (PointerSink).
#pragma once

#include <algorithm>
#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace sarn {

// An encoded MessagePack value (a record, a serialised value, a document).
using Bytes = std::string;

// Appends to a caller-owned buffer. std::string grows geometrically, so a
// run of small appends costs amortised constant time per byte. (The hot
// path, the value walker and the record's fields, writes through a cursor
// or a pointer instead.)
class StringSink {
public:
    explicit StringSink(Bytes& out) noexcept : out_(&out) {}
    void write(const char* data, size_t size) { out_->append(data, size); }
    Bytes& bytes() const noexcept { return *out_; }

private:
    Bytes* out_;
};

// Appends to a caller-owned buffer through a cursor, for the hot path: a
// write is a bounds check and a copy, not a library call. While the sink is
// open the buffer holds spare bytes past the cursor; `close` trims them,
// and must be called before anything else reads or appends to the buffer.
class CursorSink {
public:
    explicit CursorSink(Bytes& out) : out_(&out), used_(out.size()) { grow(256); }
    CursorSink(const CursorSink&) = delete;
    CursorSink& operator=(const CursorSink&) = delete;
    ~CursorSink() { close(); }

    // `data` must not lie in the buffer: claiming room may move it.
    [[gnu::always_inline]] void write(const char* data, size_t size) {
        std::memcpy(claim(size), data, size);
    }
    // Room for `size` bytes at the cursor, which moves past them.
    [[gnu::always_inline]] char* claim(size_t size) {
        if (out_->size() - used_ < size) [[unlikely]]
            grow(size);
        char* at = out_->data() + used_;
        used_ += size;
        return at;
    }
    // Room for at most `most` bytes at the cursor, which `advance` then moves
    // past those written: a header is written in place, not copied.
    [[gnu::always_inline]] char* room(size_t most) {
        if (out_->size() - used_ < most) [[unlikely]]
            grow(most);
        return out_->data() + used_;
    }
    [[gnu::always_inline]] void advance(size_t size) noexcept { used_ += size; }
    void close() {
        if (out_ != nullptr) out_->resize(used_);
        out_ = nullptr;
    }

    // For writers that go back to what they wrote: offsets count from the
    // start of the buffer, and only bytes before the cursor are touched.
    [[nodiscard]] size_t position() const noexcept { return used_; }
    // Drops what was written from `at` on.
    void truncate(size_t at) noexcept { used_ = std::min(used_, at); }
    [[nodiscard]] char* at(size_t offset) noexcept { return out_->data() + offset; }
    [[nodiscard]] Bytes copy(size_t from, size_t size) const { return Bytes(out_->data() + from, size); }
    // Puts `with` in place of the one byte at `offset`, moving what follows.
    void replace_byte(size_t offset, std::string_view with) {
        const size_t tail = used_ - offset - 1;
        claim(with.size() - 1);
        char* data = out_->data();
        std::memmove(data + offset + with.size(), data + offset + 1, tail);
        std::memcpy(data + offset, with.data(), with.size());
    }

private:
    // The spare bytes are left as they are: the cursor writes them before
    // anything reads them.
    void grow(size_t size) {
        const size_t wanted = std::max({out_->capacity(), 2 * out_->size(), used_ + size});
        out_->resize_and_overwrite(wanted, [](char*, size_t n) { return n; });
    }

    Bytes* out_;
    size_t used_;
};

// Counts what would be written without storing it.
class CountingSink {
public:
    void write(const char*, size_t size) noexcept { count_ += size; }
    size_t count() const noexcept { return count_; }

private:
    size_t count_ = 0;
};

// Writes through a cursor into memory the caller has already sized to hold
// everything that will be written (usually measured with CountingSink).
class PointerSink {
public:
    explicit PointerSink(char* start) noexcept : cursor_(start) {}
    void write(const char* data, size_t size) noexcept {
        if (size != 0) {
            std::memcpy(cursor_, data, size);
            cursor_ += size;
        }
    }
    // Room for `size` bytes at the cursor, which moves past them.
    [[gnu::always_inline]] char* claim(size_t size) noexcept {
        char* at = cursor_;
        cursor_ += size;
        return at;
    }
    [[gnu::always_inline]] char* room(size_t) noexcept { return cursor_; }
    [[gnu::always_inline]] void advance(size_t size) noexcept { cursor_ += size; }
    char* cursor() const noexcept { return cursor_; }

private:
    char* cursor_;
};

// The smallest header of each kind, written into `out`; the length is returned.
namespace forms {

// `value` in its low `bytes` bytes (1, 2, 4 or 8), most significant first:
// one byte swap and one store rather than a loop over the bytes.
template <class Word>
void store_big_endian(char* out, uint64_t value) noexcept {
    Word word = static_cast<Word>(value);
    if constexpr (std::endian::native == std::endian::little) word = std::byteswap(word);
    std::memcpy(out, &word, sizeof word);
}

inline size_t big_endian(char* out, uint8_t marker, uint64_t value, size_t bytes) noexcept {
    out[0] = static_cast<char>(marker);
    switch (bytes) {
        case 1: out[1] = static_cast<char>(value & 0xff); break;
        case 2: store_big_endian<uint16_t>(out + 1, value); break;
        case 4: store_big_endian<uint32_t>(out + 1, value); break;
        default: store_big_endian<uint64_t>(out + 1, value); break;
    }
    return bytes + 1;
}

// fixmap/fixarray/fixstr below `fix_limit`, then the 8-, 16- and 32-bit
// forms (`marker8` is 0 where the format has no 8-bit form).
inline size_t sized(char* out, uint32_t n, uint8_t fix, uint32_t fix_limit, uint8_t marker8, uint8_t marker16,
                    uint8_t marker32) noexcept {
    if (n < fix_limit) {
        out[0] = static_cast<char>(fix | n);
        return 1;
    }
    if (marker8 != 0 && n <= 0xff) return big_endian(out, marker8, n, 1);
    if (n <= 0xffff) return big_endian(out, marker16, n, 2);
    return big_endian(out, marker32, n, 4);
}

inline size_t map(char* out, uint32_t n) noexcept { return sized(out, n, 0x80, 16, 0, 0xde, 0xdf); }
inline size_t array(char* out, uint32_t n) noexcept { return sized(out, n, 0x90, 16, 0, 0xdc, 0xdd); }
inline size_t str(char* out, uint32_t n) noexcept { return sized(out, n, 0xa0, 32, 0xd9, 0xda, 0xdb); }
inline size_t bin(char* out, uint32_t n) noexcept { return sized(out, n, 0, 0, 0xc4, 0xc5, 0xc6); }

inline size_t uint(char* out, uint64_t v) noexcept {
    if (v <= 0x7f) {
        out[0] = static_cast<char>(v);
        return 1;
    }
    if (v <= 0xff) return big_endian(out, 0xcc, v, 1);
    if (v <= 0xffff) return big_endian(out, 0xcd, v, 2);
    if (v <= 0xffffffffu) return big_endian(out, 0xce, v, 4);
    return big_endian(out, 0xcf, v, 8);
}

inline size_t sint(char* out, int64_t v) noexcept {
    if (v >= 0) return uint(out, static_cast<uint64_t>(v));
    const auto bits = static_cast<uint64_t>(v);
    if (v >= -32) {
        out[0] = static_cast<char>(bits & 0xff);
        return 1;
    }
    if (v >= -128) return big_endian(out, 0xd0, bits, 1);
    if (v >= -32768) return big_endian(out, 0xd1, bits, 2);
    if (v >= -2147483648LL) return big_endian(out, 0xd2, bits, 4);
    return big_endian(out, 0xd3, bits, 8);
}

}  // namespace forms

template <class Stream>
class Writer {
public:
    explicit Writer(Stream& stream) : stream_(stream) {}
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    void map_header(uint32_t entries) { put(forms::map, entries); }
    void array_header(uint32_t elements) { put(forms::array, elements); }

    // A key or other literal: header and text are one write of a size
    // known at compile time.
    template <size_t N>
        requires(N <= 32)
    [[gnu::always_inline]] void str(const char (&text)[N]) {
        char buffer[N];
        buffer[0] = static_cast<char>(0xa0 | (N - 1));
        std::memcpy(buffer + 1, text, N - 1);
        stream_.write(buffer, N);
    }

    // A short string goes out with its header in one write.
    [[gnu::always_inline]] void str(std::string_view text) {
        const auto size = static_cast<uint32_t>(text.size());
        if constexpr (requires { stream_.claim(size_t{1}); }) {
            if (size < 32) {
                char* at = stream_.claim(size + 1);
                at[0] = static_cast<char>(0xa0 | size);
                std::memcpy(at + 1, text.data(), size);
                return;
            }
        }
        if (size < 32) {
            char buffer[32];
            buffer[0] = static_cast<char>(0xa0 | size);
            if (size != 0) std::memcpy(buffer + 1, text.data(), size);
            stream_.write(buffer, size + 1);
            return;
        }
        put(forms::str, size);
        stream_.write(text.data(), size);
    }

    // The header of a string whose bytes the caller writes next.
    void str_header(uint32_t size) { put(forms::str, size); }

    void bin(std::string_view data) {
        const auto size = static_cast<uint32_t>(data.size());
        put(forms::bin, size);
        if (size != 0) stream_.write(data.data(), size);
    }

    void uint(uint64_t value) { put(forms::uint, value); }

    // Non-negative values take the unsigned forms, as the format requires
    // for the smallest encoding.
    void sint(int64_t value) { put(forms::sint, value); }

    // Always float 64, even for integral values such as 0.0, which readers
    // of a timestamp expect as a float.
    void float64(double value) { put([](char* out, uint64_t bits) { return forms::big_endian(out, 0xcb, bits, 8); },
                                     std::bit_cast<uint64_t>(value)); }

    void nil() { byte(0xc0); }
    void boolean(bool value) { byte(value ? 0xc3 : 0xc2); }

    // Appends already-encoded bytes verbatim, with no header of their own.
    void raw(std::string_view bytes) {
        if (!bytes.empty()) stream_.write(bytes.data(), bytes.size());
    }

private:
    // Inlined so that each form's header is written without a call: in
    // place where the sink gives room, else copied from the stack.
    template <class Form, class Number>
    [[gnu::always_inline]] void put(Form form, Number number) {
        if constexpr (requires { stream_.room(size_t{9}); }) {
            stream_.advance(form(stream_.room(9), number));
        } else {
            char buffer[9];
            stream_.write(buffer, form(buffer, number));
        }
    }
    void byte(uint8_t value) {
        const char c = static_cast<char>(value);
        stream_.write(&c, 1);
    }

    Stream& stream_;
};

// Writes at most `most` bytes at the end of `out` through a plain pointer,
// then trims `out` to what was written. The compiler keeps that pointer in
// a register, where a cursor into the string itself is reloaded after every
// byte stored (a char store may alias the string's own fields). `write`
// is given a Writer<PointerSink> and returns nothing, or false to take back
// everything it wrote.
template <class Write>
bool append_bounded(Bytes& out, size_t most, Write&& write) {
    const size_t start = out.size();
    bool kept = true;
    out.resize_and_overwrite(start + most, [&](char* data, size_t) {
        PointerSink sink(data + start);
        Writer writer(sink);
        if constexpr (std::is_void_v<decltype(write(writer))>) {
            write(writer);
        } else {
            kept = write(writer);
            if (!kept) return start;
        }
        return static_cast<size_t>(sink.cursor() - data);
    });
    return kept;
}

// ---- Field writers: a key (always a string) followed by its value. The
// ---- caller has already counted the field in the enclosing map header.

template <class S, size_t K>
inline void write_str_field(Writer<S>& w, const char (&key)[K], std::string_view text) {
    w.str(key);
    w.str(text);
}

template <class S, size_t K>
inline void write_opt_str_field(Writer<S>& w, const char (&key)[K],
                                const std::optional<std::string>& text) {
    w.str(key);
    if (text) {
        w.str(*text);
    } else {
        w.nil();
    }
}

template <class S, size_t K>
inline void write_opt_uint_field(Writer<S>& w, const char (&key)[K],
                                 std::optional<uint64_t> value) {
    w.str(key);
    if (value) {
        w.uint(*value);
    } else {
        w.nil();
    }
}

template <class S>
inline void write_timestamp_field(Writer<S>& w, double seconds) {
    w.str("timestamp");
    w.float64(seconds);
}

// Takes over an encoded value: its bytes follow the key unchanged and its
// buffer is released, leaving `encoded` empty.
template <class S, size_t K>
inline void write_raw_field(Writer<S>& w, const char (&key)[K], Bytes&& encoded) {
    Bytes taken = std::move(encoded);
    encoded.clear();
    w.str(key);
    w.raw(taken);
}

// An array header counting the records, then the records back to back.
template <class S>
inline void write_record_array(Writer<S>& w, const std::vector<Bytes>& records) {
    w.array_header(static_cast<uint32_t>(records.size()));
    for (const Bytes& record : records) w.raw(record);
}

// ---- Generic values, for nested fields whose shape is built at run time.

struct Value;
using ValueMap = std::vector<std::pair<Value, Value>>;

struct Value {
    std::variant<std::monostate, int64_t, uint64_t, std::string, ValueMap> v;

    Value() = default;  // nil
    Value(std::nullopt_t) {}
    template <std::signed_integral T>
    Value(T number) : v(static_cast<int64_t>(number)) {}
    template <std::unsigned_integral T>
        requires(!std::same_as<T, bool>)
    Value(T number) : v(static_cast<uint64_t>(number)) {}
    Value(std::string text) : v(std::move(text)) {}
    Value(std::string_view text) : v(std::string(text)) {}
    Value(const char* text) : v(std::string(text)) {}
    Value(ValueMap entries) : v(std::move(entries)) {}

    // Value::map({{"key", 1}, {"other", "text"}})
    static Value map(ValueMap entries) { return Value(std::move(entries)); }

    bool is_nil() const noexcept { return std::holds_alternative<std::monostate>(v); }
    friend bool operator==(const Value&, const Value&) = default;
};

template <class S>
void write_value(Writer<S>& w, const Value& value) {
    struct Visitor {
        Writer<S>& w;
        void operator()(std::monostate) const { w.nil(); }
        void operator()(int64_t number) const { w.sint(number); }
        void operator()(uint64_t number) const { w.uint(number); }
        void operator()(const std::string& text) const { w.str(text); }
        void operator()(const ValueMap& entries) const {
            w.map_header(static_cast<uint32_t>(entries.size()));
            for (const auto& [key, item] : entries) {
                write_value(w, key);
                write_value(w, item);
            }
        }
    };
    std::visit(Visitor{w}, value.v);
}

extern template void write_value(Writer<StringSink>&, const Value&);
extern template void write_value(Writer<CountingSink>&, const Value&);
extern template void write_value(Writer<PointerSink>&, const Value&);

}  // namespace sarn
