// Reads the fields of a stored record that its readers rely on, with the
// types the Python reader checks, without decoding the rest: shared by the
// native passes over a document's records.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>

#include "serialize/msgpack_cursor.hpp"

namespace sarn::serialize::record_scan {

// Nesting past this depth is left to the Python reader (as the record
// decoder does), unless it has accepted the record already.
constexpr int max_depth = 512;

struct StringHash {
    using is_transparent = void;
    size_t operator()(std::string_view text) const noexcept { return std::hash<std::string_view>{}(text); }
};

// Texts that repeat in every record (names, paths), kept once by a pass.
class Interned {
public:
    const std::string* get(std::string_view text) {
        auto found = texts_.find(text);
        if (found == texts_.end()) found = texts_.emplace(text).first;
        return &*found;
    }

private:
    std::unordered_set<std::string, StringHash, std::equal_to<>> texts_;
};

// Skips the items of a container head already read, as the record decoder
// reads them: no deeper than `max_depth`, and no array or map as a map key
// (the Python reader cannot take one). False when the bytes fail that.
inline bool skip_items_checked(Cursor& cursor, const Head& head, int depth) {
    if (head.kind != Kind::array && head.kind != Kind::map) return !cursor.failed();
    if (depth > max_depth) return false;
    const uint64_t count = head.kind == Kind::map ? head.items * 2 : head.items;
    for (uint64_t i = 0; i < count; ++i) {
        Head item = cursor.next();
        if (cursor.failed()) return false;
        if (head.kind == Kind::map && i % 2 == 0 && (item.kind == Kind::array || item.kind == Kind::map)) {
            return false;
        }
        if (!skip_items_checked(cursor, item, depth + 1)) return false;
    }
    return true;
}

// Whether `text` is the literal: its size is known here, so the bytes are
// compared inline rather than by a call (a record's keys are compared
// against the field names millions of times).
template <size_t N>
inline bool same(std::string_view text, const char (&literal)[N]) {
    return text.size() == N - 1 && std::memcmp(text.data(), literal, N - 1) == 0;
}

// A text field of a record: absent or nil, or its bytes.
struct Text {
    bool set = false;
    std::string_view bytes;

    template <size_t N>
    [[nodiscard]] bool is(const char (&literal)[N]) const {
        return set && same(bytes, literal);
    }
    [[nodiscard]] bool truthy() const { return set && !bytes.empty(); }
};

// What the pass reads of one record; the rest is skipped.
struct Record {
    std::string_view bytes;  // the whole record
    Text type, frame_id, thread, event, qualname, co_name, path;
    enum class Id { absent, none, value } native_id = Id::absent;
    bool id_negative = false;
    uint64_t id_value = 0;
    bool has_timestamp = false;
    double timestamp = 0.0;
    bool has_site = false;
    Text site_frame_id;
    bool locals_qualname = false, locals_module = false;
};

// Reads one record's fields with the types the Python reader checks; false
// when the record is damaged or must be judged by that reader.
class Scanner {
public:
    Scanner(std::string_view data, bool lenient) : cursor_(data), lenient_(lenient) {}

    [[nodiscard]] const char* position() const { return cursor_.position(); }

    bool record(Record& out) {
        const char* begin = cursor_.position();
        Head head = cursor_.next();
        if (cursor_.failed() || head.kind != Kind::map) return false;
        // Frame fields are checked only on frame records, whose type may come
        // after them: their kinds are noted and judged at the end.
        Kind event = Kind::nil, qualname = Kind::nil, co_name = Kind::nil, path = Kind::nil;
        for (uint64_t i = 0; i < head.items; ++i) {
            Head key = cursor_.next();
            if (cursor_.failed()) return false;
            if (key.kind != Kind::str) {
                if (!skip_key(key) || !skip()) return false;
                continue;
            }
            std::string_view name = key.data;
            if (same(name, "type")) {
                if (!text(out.type)) return false;
            } else if (same(name, "frame_id")) {
                if (!text(out.frame_id)) return false;
            } else if (same(name, "thread")) {
                if (!text(out.thread)) return false;
            } else if (same(name, "thread_native_id")) {
                Head value = cursor_.next();
                if (value.kind == Kind::nil) {
                    out.native_id = Record::Id::none;
                } else if (value.kind == Kind::uint) {
                    out.native_id = Record::Id::value;
                    out.id_negative = false;
                    out.id_value = value.uint_value;
                } else if (value.kind == Kind::sint) {
                    out.native_id = Record::Id::value;
                    out.id_negative = value.sint_value < 0;
                    out.id_value = static_cast<uint64_t>(value.sint_value);
                } else {
                    return false;
                }
            } else if (same(name, "timestamp")) {
                Head value = cursor_.next();
                out.has_timestamp = true;
                if (value.kind == Kind::nil) out.has_timestamp = false;
                else if (value.kind == Kind::uint) out.timestamp = static_cast<double>(value.uint_value);
                else if (value.kind == Kind::sint) out.timestamp = static_cast<double>(value.sint_value);
                else if (value.kind == Kind::real) std::memcpy(&out.timestamp, &value.uint_value, sizeof(double));
                else return false;
            } else if (same(name, "user_code_call_site")) {
                if (!site(out)) return false;
            } else if (same(name, "event")) {
                if (!loose_text(out.event, event)) return false;
            } else if (same(name, "qualname")) {
                if (!loose_text(out.qualname, qualname)) return false;
            } else if (same(name, "co_name")) {
                if (!loose_text(out.co_name, co_name)) return false;
            } else if (same(name, "path")) {
                if (!loose_text(out.path, path)) return false;
            } else if (same(name, "locals")) {
                if (!locals(out)) return false;
            } else if (!skip()) {
                return false;
            }
        }
        // A field read past the end of the data reads as nil: the record
        // is not whole here.
        if (cursor_.failed()) return false;
        if (out.type.is("frame")) {
            for (Kind kind : {event, qualname, co_name, path}) {
                if (kind != Kind::nil && kind != Kind::str) return false;
            }
        }
        out.bytes = std::string_view(begin, static_cast<size_t>(cursor_.position() - begin));
        return true;
    }

private:
    // A field that must be a text or nil (a later duplicate key wins).
    bool text(Text& out) {
        Head value = cursor_.next();
        if (value.kind == Kind::nil) {
            out = Text{};
            return true;
        }
        if (value.kind != Kind::str) return false;
        out = Text{true, value.data};
        return true;
    }

    // A field that is a text or nil on a frame record, anything elsewhere.
    bool loose_text(Text& out, Kind& kind) {
        Head value = cursor_.next();
        if (cursor_.failed()) return false;
        kind = value.kind;
        out = value.kind == Kind::str ? Text{true, value.data} : Text{};
        if (value.kind == Kind::str || value.kind == Kind::nil) return true;
        return skip_items(value, 1);
    }

    bool site(Record& out) {
        Head value = cursor_.next();
        if (value.kind == Kind::nil) {
            out.has_site = false;
            out.site_frame_id = Text{};
            return true;
        }
        if (value.kind != Kind::map) return false;
        out.has_site = true;
        out.site_frame_id = Text{};
        for (uint64_t i = 0; i < value.items; ++i) {
            Head key = cursor_.next();
            if (cursor_.failed()) return false;
            if (key.kind != Kind::str) {
                if (!skip_key(key) || !skip()) return false;
            } else if (same(key.data, "call_frame_id")) {
                if (!text(out.site_frame_id)) return false;
            } else if (same(key.data, "line_number")) {
                Head line = cursor_.next();
                if (line.kind != Kind::nil && line.kind != Kind::uint && line.kind != Kind::sint) return false;
            } else if (!skip()) {
                return false;
            }
        }
        return !cursor_.failed();
    }

    // The locals of a frame record: whether they hold "__qualname__" and
    // "__module__" (a class body's namespace).
    bool locals(Record& out) {
        Head value = cursor_.next();
        if (cursor_.failed()) return false;
        out.locals_qualname = out.locals_module = false;
        if (value.kind != Kind::map) return skip_items(value, 1);
        for (uint64_t i = 0; i < value.items; ++i) {
            Head key = cursor_.next();
            if (cursor_.failed()) return false;
            if (key.kind == Kind::str) {
                if (same(key.data, "__qualname__")) out.locals_qualname = true;
                else if (same(key.data, "__module__")) out.locals_module = true;
            } else if (!skip_key(key)) {
                return false;
            }
            if (!skip()) return false;
        }
        return true;
    }

    // A map key that is not a text: an array or a map is left to the
    // Python reader (it cannot be a key there).
    bool skip_key(const Head& key) {
        if (key.kind == Kind::array || key.kind == Kind::map) {
            if (!lenient_) return false;
            cursor_.skip_items(key);
        }
        return !cursor_.failed();
    }

    bool skip() {
        Head head = cursor_.next();
        if (cursor_.failed()) return false;
        return skip_items(head, 1);
    }

    // Skips a container's items, with the checks the record decoder makes.
    bool skip_items(const Head& head, int depth) {
        if (lenient_ && (head.kind == Kind::array || head.kind == Kind::map)) {
            cursor_.skip_items(head);
            return !cursor_.failed();
        }
        return skip_items_checked(cursor_, head, depth);
    }

    Cursor cursor_;
    bool lenient_;
};

}  // namespace sarn::serialize::record_scan
