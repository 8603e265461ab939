#include "utils/msgpack_writer.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <limits>
#include <string>
#include <vector>

namespace sarn {
namespace {

// Expected output spelled as a mix of single bytes and literal texts.
struct Piece {
    std::string text;
    Piece(int byte) : text(1, static_cast<char>(byte)) {}
    Piece(const char* literal) : text(literal) {}
    Piece(std::string literal) : text(std::move(literal)) {}
};

Bytes bytes(std::initializer_list<Piece> pieces) {
    Bytes out;
    for (const Piece& piece : pieces) out += piece.text;
    return out;
}

std::string hex(const Bytes& data) {
    std::string out;
    for (unsigned char c : data) {
        char buffer[4];
        std::snprintf(buffer, sizeof buffer, out.empty() ? "%02x" : " %02x", c);
        out += buffer;
    }
    return out;
}

// Runs `fill` against each of the three sinks and checks that they agree:
// the same bytes through StringSink and PointerSink, the same length
// counted by CountingSink, and PointerSink filling its buffer exactly.
template <class Fill>
Bytes encode(Fill&& fill) {
    Bytes appended;
    {
        StringSink sink(appended);
        Writer writer(sink);
        fill(writer);
    }
    CountingSink counter;
    {
        Writer writer(counter);
        fill(writer);
    }
    EXPECT_EQ(counter.count(), appended.size());

    Bytes placed(counter.count(), '\x55');
    PointerSink pointer(placed.data());
    {
        Writer writer(pointer);
        fill(writer);
    }
    EXPECT_EQ(pointer.cursor(), placed.data() + placed.size());
    EXPECT_EQ(hex(placed), hex(appended));
    return appended;
}

struct UintCase {
    uint64_t value;
    Bytes expected;
};

class UnsignedForms : public testing::TestWithParam<UintCase> {};

TEST_P(UnsignedForms, SmallestForm) {
    const auto& c = GetParam();
    EXPECT_EQ(hex(encode([&](auto& w) { w.uint(c.value); })), hex(c.expected));
}

INSTANTIATE_TEST_SUITE_P(
    Table, UnsignedForms,
    testing::Values(UintCase{0, bytes({0x00})}, UintCase{5, bytes({0x05})},
                    UintCase{127, bytes({0x7f})}, UintCase{128, bytes({0xcc, 0x80})},
                    UintCase{255, bytes({0xcc, 0xff})}, UintCase{256, bytes({0xcd, 0x01, 0x00})},
                    UintCase{65535, bytes({0xcd, 0xff, 0xff})},
                    UintCase{65536, bytes({0xce, 0x00, 0x01, 0x00, 0x00})},
                    UintCase{4294967295u, bytes({0xce, 0xff, 0xff, 0xff, 0xff})},
                    UintCase{4294967296u,
                             bytes({0xcf, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00})},
                    UintCase{std::numeric_limits<uint64_t>::max(),
                             bytes({0xcf, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff})}));

struct SintCase {
    int64_t value;
    Bytes expected;
};

class SignedForms : public testing::TestWithParam<SintCase> {};

TEST_P(SignedForms, SmallestForm) {
    const auto& c = GetParam();
    EXPECT_EQ(hex(encode([&](auto& w) { w.sint(c.value); })), hex(c.expected));
    // The generic value writer takes the same path for signed numbers.
    EXPECT_EQ(hex(encode([&](auto& w) { write_value(w, Value(c.value)); })), hex(c.expected));
}

INSTANTIATE_TEST_SUITE_P(
    Table, SignedForms,
    testing::Values(
        SintCase{5, bytes({0x05})}, SintCase{0, bytes({0x00})},
        SintCase{200, bytes({0xcc, 0xc8})},  // non-negative: unsigned forms
        SintCase{70000, bytes({0xce, 0x00, 0x01, 0x11, 0x70})},
        SintCase{-1, bytes({0xff})}, SintCase{-32, bytes({0xe0})},
        SintCase{-33, bytes({0xd0, 0xdf})}, SintCase{-128, bytes({0xd0, 0x80})},
        SintCase{-129, bytes({0xd1, 0xff, 0x7f})}, SintCase{-32768, bytes({0xd1, 0x80, 0x00})},
        SintCase{-32769, bytes({0xd2, 0xff, 0xff, 0x7f, 0xff})},
        SintCase{-2147483648LL, bytes({0xd2, 0x80, 0x00, 0x00, 0x00})},
        SintCase{-2147483649LL,
                 bytes({0xd3, 0xff, 0xff, 0xff, 0xff, 0x7f, 0xff, 0xff, 0xff})},
        SintCase{std::numeric_limits<int64_t>::min(),
                 bytes({0xd3, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00})}));

struct HeaderCase {
    uint32_t count;
    Bytes map;
    Bytes array;
};

class HeaderForms : public testing::TestWithParam<HeaderCase> {};

TEST_P(HeaderForms, SmallestForm) {
    const auto& c = GetParam();
    EXPECT_EQ(hex(encode([&](auto& w) { w.map_header(c.count); })), hex(c.map));
    EXPECT_EQ(hex(encode([&](auto& w) { w.array_header(c.count); })), hex(c.array));
}

INSTANTIATE_TEST_SUITE_P(
    Table, HeaderForms,
    testing::Values(HeaderCase{0, bytes({0x80}), bytes({0x90})},
                    HeaderCase{12, bytes({0x8c}), bytes({0x9c})},
                    HeaderCase{15, bytes({0x8f}), bytes({0x9f})},
                    HeaderCase{16, bytes({0xde, 0x00, 0x10}), bytes({0xdc, 0x00, 0x10})},
                    HeaderCase{65535, bytes({0xde, 0xff, 0xff}), bytes({0xdc, 0xff, 0xff})},
                    HeaderCase{65536, bytes({0xdf, 0x00, 0x01, 0x00, 0x00}),
                               bytes({0xdd, 0x00, 0x01, 0x00, 0x00})},
                    HeaderCase{4294967295u, bytes({0xdf, 0xff, 0xff, 0xff, 0xff}),
                               bytes({0xdd, 0xff, 0xff, 0xff, 0xff})}));

struct StrCase {
    size_t length;
    Bytes header;
};

class StringForms : public testing::TestWithParam<StrCase> {};

TEST_P(StringForms, HeaderThenBytes) {
    const auto& c = GetParam();
    std::string text(c.length, 'x');
    if (!text.empty()) text.front() = 'a', text.back() = 'z';
    const Bytes out = encode([&](auto& w) { w.str(text); });
    EXPECT_EQ(hex(out.substr(0, c.header.size())), hex(c.header));
    EXPECT_EQ(out.size(), c.header.size() + c.length);
    EXPECT_EQ(out.substr(c.header.size()), text);
}

INSTANTIATE_TEST_SUITE_P(Table, StringForms,
                         testing::Values(StrCase{0, bytes({0xa0})}, StrCase{1, bytes({0xa1})},
                                         StrCase{31, bytes({0xbf})},
                                         StrCase{32, bytes({0xd9, 0x20})},
                                         StrCase{255, bytes({0xd9, 0xff})},
                                         StrCase{256, bytes({0xda, 0x01, 0x00})},
                                         StrCase{65535, bytes({0xda, 0xff, 0xff})},
                                         StrCase{65536, bytes({0xdb, 0x00, 0x01, 0x00, 0x00})}));

TEST(StringForms, BytesAreCopiedUnchanged) {
    const std::string text = "caf\xc3\xa9";  // UTF-8 bytes pass through as they are
    const std::string with_nul("a\0b", 3);
    EXPECT_EQ(hex(encode([&](auto& w) { w.str(text); })), hex(bytes({0xa5}) + text));
    EXPECT_EQ(hex(encode([&](auto& w) { w.str(with_nul); })), hex(bytes({0xa3}) + with_nul));
}

struct FloatCase {
    double value;
    Bytes expected;
};

class FloatForm : public testing::TestWithParam<FloatCase> {};

TEST_P(FloatForm, AlwaysFloat64) {
    const auto& c = GetParam();
    EXPECT_EQ(hex(encode([&](auto& w) { w.float64(c.value); })), hex(c.expected));
}

INSTANTIATE_TEST_SUITE_P(
    Table, FloatForm,
    testing::Values(
        FloatCase{1.5, bytes({0xcb, 0x3f, 0xf8, 0, 0, 0, 0, 0, 0})},
        FloatCase{0.0, bytes({0xcb, 0, 0, 0, 0, 0, 0, 0, 0})},
        FloatCase{-0.0, bytes({0xcb, 0x80, 0, 0, 0, 0, 0, 0, 0})},
        FloatCase{1700000000.0, bytes({0xcb, 0x41, 0xd9, 0x54, 0xfc, 0x40, 0, 0, 0})},
        FloatCase{-2.25, bytes({0xcb, 0xc0, 0x02, 0, 0, 0, 0, 0, 0})}));

TEST(Scalars, NilAndBooleans) {
    EXPECT_EQ(hex(encode([](auto& w) { w.nil(); })), "c0");
    EXPECT_EQ(hex(encode([](auto& w) { w.boolean(true); })), "c3");
    EXPECT_EQ(hex(encode([](auto& w) { w.boolean(false); })), "c2");
}

TEST(Scalars, RawIsAppendedVerbatim) {
    EXPECT_EQ(hex(encode([](auto& w) { w.raw(std::string_view("\x92\x01\x02", 3)); })),
              "92 01 02");
    EXPECT_EQ(hex(encode([](auto& w) { w.raw({}); })), "");
}

// The value walker goes back to what it wrote through the cursor: a map
// header mended in place (one byte made three), a tail dropped, a span
// copied out; the buffer keeps what came before the sink opened.
TEST(CursorSinkEdits, ReplaceTruncateAndCopyByOffset) {
    for (size_t before : {size_t{0}, size_t{5}, size_t{300}}) {
        Bytes out(before, 'p');
        {
            CursorSink sink(out);
            Writer writer(sink);
            const size_t header_at = sink.position();
            writer.raw(std::string_view("\x80", 1));
            for (int i = 0; i < 300; ++i) writer.raw("ab");
            sink.replace_byte(header_at, std::string_view("\xde\x01\x2c", 3));
            EXPECT_EQ(sink.copy(header_at, 5), Bytes("\xde\x01\x2c" "ab", 5)) << before;
            const size_t end = sink.position();
            writer.raw("dropped");
            sink.truncate(end);
            writer.raw("z");
        }
        Bytes expected(before, 'p');
        expected += Bytes("\xde\x01\x2c", 3);
        for (int i = 0; i < 300; ++i) expected += "ab";
        expected += "z";
        EXPECT_EQ(out, expected) << before;
    }
}

TEST(Keys, FixedAsciiKeysAreFixstr) {
    EXPECT_EQ(hex(encode([](auto& w) { w.str("frames"); })), hex(bytes({0xa6, "frames"})));
    EXPECT_EQ(hex(encode([](auto& w) { w.str("use_frame_boundaries"); })),
              hex(bytes({0xb4, "use_frame_boundaries"})));
}

TEST(Fields, TextAndOptionalFields) {
    struct Case {
        const char* name;
        Bytes actual;
        Bytes expected;
    };
    const std::optional<std::string> none;
    const Case cases[] = {
        {"str", encode([](auto& w) { write_str_field(w, "event", "call"); }),
         bytes({0xa5, "event", 0xa4, "call"})},
        {"opt str present",
         encode([](auto& w) { write_opt_str_field(w, "qualname", std::string("A.f")); }),
         bytes({0xa8, "qualname", 0xa3, "A.f"})},
        {"opt str absent", encode([&](auto& w) { write_opt_str_field(w, "frame_id", none); }),
         bytes({0xa8, "frame_id", 0xc0})},
        {"opt uint present",
         encode([](auto& w) { write_opt_uint_field(w, "thread_native_id", uint64_t{128}); }),
         bytes({0xb0, "thread_native_id", 0xcc, 0x80})},
        {"opt uint absent",
         encode([](auto& w) { write_opt_uint_field(w, "thread_native_id", std::nullopt); }),
         bytes({0xb0, "thread_native_id", 0xc0})},
        {"timestamp", encode([](auto& w) { write_timestamp_field(w, 1.5); }),
         bytes({0xa9, "timestamp", 0xcb, 0x3f, 0xf8, 0, 0, 0, 0, 0, 0})},
        {"integral timestamp", encode([](auto& w) { write_timestamp_field(w, 0.0); }),
         bytes({0xa9, "timestamp", 0xcb, 0, 0, 0, 0, 0, 0, 0, 0})},
    };
    for (const Case& c : cases) EXPECT_EQ(hex(c.actual), hex(c.expected)) << c.name;
}

TEST(Fields, RawFieldTakesOverTheSource) {
    const Bytes out = encode([](auto& w) {
        Bytes source("\x92\x01\x02", 3);
        write_raw_field(w, "arg", std::move(source));
        EXPECT_TRUE(source.empty());
    });
    EXPECT_EQ(hex(out), hex(bytes({0xa3, "arg", 0x92, 0x01, 0x02})));
}

TEST(Fields, MapOfFifteenAndSixteenFields) {
    auto fields = [](uint32_t n) {
        return encode([n](auto& w) {
            w.map_header(n);
            for (uint32_t i = 0; i < n; ++i) write_opt_uint_field(w, "k", uint64_t{i});
        });
    };
    const Bytes fifteen = fields(15);
    const Bytes sixteen = fields(16);
    EXPECT_EQ(static_cast<unsigned char>(fifteen[0]), 0x8f);
    EXPECT_EQ(fifteen.size(), 1u + 15 * 3);
    EXPECT_EQ(hex(sixteen.substr(0, 3)), "de 00 10");
    EXPECT_EQ(sixteen.size(), 3u + 16 * 3);
    EXPECT_EQ(hex(sixteen.substr(sixteen.size() - 3)), hex(bytes({0xa1, "k", 0x0f})));
}

TEST(RecordArray, HeaderThenRecordsBackToBack) {
    struct Case {
        size_t count;
        Bytes header;
    };
    for (const Case& c : {Case{0, bytes({0x90})}, Case{2, bytes({0x92})},
                          Case{15, bytes({0x9f})}, Case{16, bytes({0xdc, 0x00, 0x10})}}) {
        std::vector<Bytes> records;
        Bytes concatenated;
        for (size_t i = 0; i < c.count; ++i) {
            records.push_back(bytes({0x81, 0xa1, "n", static_cast<int>(i)}));
            concatenated += records.back();
        }
        const Bytes out = encode([&](auto& w) { write_record_array(w, records); });
        EXPECT_EQ(hex(out), hex(c.header + concatenated)) << c.count << " records";
    }
}

TEST(GenericValue, CallSiteMap) {
    const Value site = Value::map({{"call_frame_id", "frm_01"}, {"line_number", int64_t{200}}});
    EXPECT_EQ(hex(encode([&](auto& w) { write_value(w, site); })),
              hex(bytes({0x82, 0xad, "call_frame_id", 0xa6, "frm_01", 0xab, "line_number", 0xcc,
                         0xc8})));
}

TEST(GenericValue, NestedMapInStoredOrder) {
    const Value nested = Value::map({
        {"z", Value()},
        {int64_t{-1}, uint64_t{300}},
        {"inner", Value::map({{"a", int64_t{-200}}, {uint64_t{7}, ValueMap{}}})},
    });
    EXPECT_EQ(hex(encode([&](auto& w) { write_value(w, nested); })),
              hex(bytes({0x83, 0xa1, "z", 0xc0,                    //
                         0xff, 0xcd, 0x01, 0x2c,                   //
                         0xa5, "inner", 0x82, 0xa1, "a", 0xd1, 0xff, 0x38, 0x07, 0x80})));
}

TEST(GenericValue, ConstructorsPickTheKind) {
    EXPECT_TRUE(Value().is_nil());
    EXPECT_TRUE(Value(std::nullopt).is_nil());
    EXPECT_TRUE(std::holds_alternative<int64_t>(Value(5).v));
    EXPECT_TRUE(std::holds_alternative<int64_t>(Value(int32_t{-5}).v));
    EXPECT_TRUE(std::holds_alternative<uint64_t>(Value(5u).v));
    EXPECT_TRUE(std::holds_alternative<std::string>(Value(std::string_view("t")).v));
    EXPECT_EQ(Value::map({{"a", 1}}), Value::map({{"a", 1}}));
    EXPECT_NE(Value::map({{"a", 1}}), Value::map({{"a", 2u}}));
}

TEST(Sinks, StringSinkAppendsToExistingBytes) {
    Bytes buffer = "\x81";
    StringSink sink(buffer);
    Writer writer(sink);
    write_str_field(writer, "a", "b");
    EXPECT_EQ(hex(buffer), hex(bytes({0x81, 0xa1, "a", 0xa1, "b"})));
    EXPECT_EQ(&sink.bytes(), &buffer);
}

TEST(Sinks, WholeRecordIsOneValueInFieldOrder) {
    // A record shaped like a frame event, built through every writer.
    std::vector<Bytes> records = {bytes({0x80}), bytes({0x91, 0x01})};
    const Bytes out = encode([&](auto& w) {
        w.map_header(5);
        write_str_field(w, "path", "app/views.py:12");
        write_opt_str_field(w, "frame_id", std::nullopt);
        write_raw_field(w, "arg", Bytes("\xc0", 1));
        write_timestamp_field(w, 1700000000.25);
        w.str("frames");
        write_record_array(w, records);
    });
    EXPECT_EQ(hex(out), hex(bytes({0x85, 0xa4, "path", 0xaf, "app/views.py:12",
                                   0xa8, "frame_id", 0xc0,
                                   0xa3, "arg", 0xc0,
                                   0xa9, "timestamp",
                                   0xcb, 0x41, 0xd9, 0x54, 0xfc, 0x40, 0x10, 0x00, 0x00,
                                   0xa6, "frames", 0x92, 0x80, 0x91, 0x01})));
}

}  // namespace
}  // namespace sarn
