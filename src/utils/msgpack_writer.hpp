// MessagePack writing for frame records and trace documents.
//
// Every value is written in the smallest form the format offers for it, with
// two exceptions that are deliberate: floats are always float 64 (0xcb), and
// strings are always the str family (bin only for byte strings). Writing is generic over the
// output stream so that one piece of encoding code can append to a record
// buffer (StringSink), measure a document before allocating it
// (CountingSink), or fill memory that was sized exactly (PointerSink).
#pragma once

#ifndef MSGPACK_NO_BOOST
#define MSGPACK_NO_BOOST
#endif
#include <msgpack.hpp>

#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace sarn {

// An encoded MessagePack value (a record, a serialised value, a document).
using Bytes = std::string;

// Appends to a caller-owned buffer. std::string grows geometrically, so a
// run of small appends costs amortised constant time per byte.
class StringSink {
public:
    explicit StringSink(Bytes& out) noexcept : out_(&out) {}
    void write(const char* data, size_t size) { out_->append(data, size); }
    Bytes& bytes() const noexcept { return *out_; }

private:
    Bytes* out_;
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
    char* cursor() const noexcept { return cursor_; }

private:
    char* cursor_;
};

template <class Stream>
class Writer {
public:
    explicit Writer(Stream& stream) : stream_(stream), packer_(stream) {}
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    void map_header(uint32_t entries) { packer_.pack_map(entries); }
    void array_header(uint32_t elements) { packer_.pack_array(elements); }

    void str(std::string_view text) {
        const auto size = static_cast<uint32_t>(text.size());
        packer_.pack_str(size);
        packer_.pack_str_body(text.data(), size);
    }

    void bin(std::string_view data) {
        const auto size = static_cast<uint32_t>(data.size());
        packer_.pack_bin(size);
        packer_.pack_bin_body(data.data(), size);
    }

    void uint(uint64_t value) { packer_.pack_uint64(value); }

    // Non-negative values take the unsigned forms, as the format requires
    // for the smallest encoding.
    void sint(int64_t value) { packer_.pack_int64(value); }

    // Always float 64. The packer's own pack_double writes integral doubles
    // such as 0.0 as integers, which readers of a timestamp do not expect.
    void float64(double value) {
        uint64_t bits = std::bit_cast<uint64_t>(value);
        char buffer[9];
        buffer[0] = static_cast<char>(0xcb);
        for (int i = 8; i >= 1; --i) {
            buffer[i] = static_cast<char>(bits & 0xff);
            bits >>= 8;
        }
        stream_.write(buffer, sizeof buffer);
    }

    void nil() { packer_.pack_nil(); }

    void boolean(bool value) {
        if (value) {
            packer_.pack_true();
        } else {
            packer_.pack_false();
        }
    }

    // Appends already-encoded bytes verbatim, with no header of their own.
    void raw(std::string_view bytes) {
        if (!bytes.empty()) stream_.write(bytes.data(), bytes.size());
    }

private:
    Stream& stream_;
    msgpack::packer<Stream> packer_;
};

// ---- Field writers: a key (always a string) followed by its value. The
// ---- caller has already counted the field in the enclosing map header.

template <class S>
inline void write_str_field(Writer<S>& w, std::string_view key, std::string_view text) {
    w.str(key);
    w.str(text);
}

template <class S>
inline void write_opt_str_field(Writer<S>& w, std::string_view key,
                                const std::optional<std::string>& text) {
    w.str(key);
    if (text) {
        w.str(*text);
    } else {
        w.nil();
    }
}

template <class S>
inline void write_opt_uint_field(Writer<S>& w, std::string_view key,
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
template <class S>
inline void write_raw_field(Writer<S>& w, std::string_view key, Bytes&& encoded) {
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

extern template class Writer<StringSink>;
extern template class Writer<CountingSink>;
extern template class Writer<PointerSink>;
extern template void write_value(Writer<StringSink>&, const Value&);
extern template void write_value(Writer<CountingSink>&, const Value&);
extern template void write_value(Writer<PointerSink>&, const Value&);

}  // namespace sarn
