// JSON text as json.dumps writes it with ensure_ascii=False: texts (checked
// as UTF-8 the way Python's strict decoder checks it, replaced as its
// "replace" handler replaces) and integers. Shared by the native writers of
// JSON.
#pragma once

#include <Python.h>

#include <charconv>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "utils/error.hpp"
#include "utils/ref.hpp"

namespace sarn::serialize::json_text {

// The length of the valid UTF-8 sequence at `at` (as Python's strict
// decoder takes it: no overlong forms, surrogates or code points past
// U+10FFFF), or 0.
inline size_t sequence_length(const unsigned char* at, const unsigned char* end) {
    auto follows = [](unsigned char byte) { return (byte & 0xc0u) == 0x80u; };
    size_t left = static_cast<size_t>(end - at);
    unsigned char lead = at[0];
    if (lead >= 0xc2 && lead <= 0xdf) return left >= 2 && follows(at[1]) ? 2 : 0;
    if (lead >= 0xe0 && lead <= 0xef) {
        if (left < 3 || !follows(at[1]) || !follows(at[2])) return 0;
        if (lead == 0xe0 && at[1] < 0xa0) return 0;
        if (lead == 0xed && at[1] > 0x9f) return 0;
        return 3;
    }
    if (lead >= 0xf0 && lead <= 0xf4) {
        if (left < 4 || !follows(at[1]) || !follows(at[2]) || !follows(at[3])) return 0;
        if (lead == 0xf0 && at[1] < 0x90) return 0;
        if (lead == 0xf4 && at[1] > 0x8f) return 0;
        return 4;
    }
    return 0;
}

// Whether none of the eight bytes of `word` needs a look of its own: none
// is past ASCII, a control character, a quote or a backslash.
inline bool plain_word(uint64_t word) {
    constexpr uint64_t ones = 0x0101010101010101ULL;
    constexpr uint64_t highs = 0x8080808080808080ULL;
    uint64_t quotes = word ^ (ones * '"');
    uint64_t backslashes = word ^ (ones * '\\');
    uint64_t special = (word - ones * 0x20) | (quotes - ones) | (backslashes - ones);
    special &= ~word;
    return ((special | word) & highs) == 0;
}

// Appends `text` as a JSON string, as json.dumps writes it with
// ensure_ascii=False; false (nothing appended) when `text` is not valid
// UTF-8 as Python's strict decoder takes it.
inline bool quoted_if_valid(std::string& out, std::string_view text) {
    static const char hex[] = "0123456789abcdef";
    size_t mark = out.size();
    out.push_back('"');
    const auto* begin = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = begin + text.size();
    const auto* at = begin;
    const auto* run = begin;
    while (at < end) {
        if (end - at >= 8) {
            uint64_t word;
            std::memcpy(&word, at, sizeof word);
            if (plain_word(word)) {
                at += 8;
                continue;
            }
        }
        unsigned char byte = *at;
        if (byte >= 0x80) {
            size_t length = sequence_length(at, end);
            if (length == 0) {
                out.resize(mark);
                return false;
            }
            at += length;
            continue;
        }
        if (byte >= 0x20 && byte != '"' && byte != '\\') {
            ++at;
            continue;
        }
        out.append(reinterpret_cast<const char*>(run), static_cast<size_t>(at - run));
        run = ++at;
        switch (byte) {
            case '"': out.append("\\\""); break;
            case '\\': out.append("\\\\"); break;
            case '\n': out.append("\\n"); break;
            case '\r': out.append("\\r"); break;
            case '\t': out.append("\\t"); break;
            case '\b': out.append("\\b"); break;
            case '\f': out.append("\\f"); break;
            default:
                out.append("\\u00");
                out.push_back(hex[byte >> 4]);
                out.push_back(hex[byte & 0x0f]);
        }
    }
    out.append(reinterpret_cast<const char*>(run), static_cast<size_t>(end - run));
    out.push_back('"');
    return true;
}

inline bool valid_utf8(std::string_view text) {
    const auto* at = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = at + text.size();
    while (at < end) {
        if (end - at >= 8) {
            uint64_t word;
            std::memcpy(&word, at, sizeof word);
            if ((word & 0x8080808080808080ULL) == 0) {
                at += 8;
                continue;
            }
        }
        if (*at < 0x80) {
            ++at;
            continue;
        }
        size_t length = sequence_length(at, end);
        if (length == 0) return false;
        at += length;
    }
    return true;
}

// The UTF-8 of bytes decoded by Python with `errors` ("replace" as the
// reader decodes texts, "backslashreplace" as map keys that are bytes
// become texts).
inline Result<std::string> decoded(std::string_view bytes, const char* errors) {
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), errors));
    if (!text) return fail_fetch();
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (data == nullptr) return fail_fetch();
    return std::string(data, static_cast<size_t>(size));
}

inline Status quoted(std::string& out, std::string_view text) {
    if (quoted_if_valid(out, text)) return {};
    Result<std::string> replaced = decoded(text, "replace");
    if (!replaced) return fail(std::move(replaced.error()));
    quoted_if_valid(out, *replaced);
    return {};
}

inline void number(std::string& out, uint64_t value) {
    char digits[24];
    auto done = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, static_cast<size_t>(done.ptr - digits));
}

inline void number(std::string& out, int64_t value) {
    char digits[24];
    auto done = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, static_cast<size_t>(done.ptr - digits));
}

// Appends repr(value) of a finite float when it is written in fixed
// notation (from 1e-4 to 1e16, and zero): the shortest digits that read
// back as it, with ".0" when they have no point; false (nothing appended)
// for the others, which Python writes.
inline bool fixed_repr(std::string& out, double value) {
    double size = value < 0 ? -value : value;
    if (!(size == 0.0 || (size >= 1e-4 && size < 1e16))) return false;
    char digits[64];
    auto done = std::to_chars(digits, digits + sizeof digits, value, std::chars_format::fixed);
    if (done.ec != std::errc()) return false;
    std::string_view text(digits, static_cast<size_t>(done.ptr - digits));
    out.append(text);
    if (text.find('.') == std::string_view::npos) out.append(".0");
    return true;
}

}  // namespace sarn::serialize::json_text
