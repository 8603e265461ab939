#include "serialize/frame_text.hpp"

#include <algorithm>
#include <charconv>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "serialize/msgpack_cursor.hpp"
#include "serialize/record_scan.hpp"

namespace sarn::serialize {

// Its own namespace: the module's sources are built as one unit.
namespace frame_text {
namespace {


// Characters shown of one value, and of a call's whole argument list.
constexpr Py_ssize_t value_width = 60;
constexpr Py_ssize_t args_width = 120;
// Nesting of a value followed here.
constexpr int max_depth = 100;

// The text of an exact str that is all ASCII; false for anything else.
bool ascii_of(PyObject* object, std::string_view& out) {
    if (object == nullptr || !PyUnicode_CheckExact(object)) return false;
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(object) < 0) {
        PyErr_Clear();
        return false;
    }
#endif
    if (!PyUnicode_IS_ASCII(object)) return false;
    out = std::string_view(static_cast<const char*>(PyUnicode_DATA(object)),
                           static_cast<size_t>(PyUnicode_GET_LENGTH(object)));
    return true;
}

bool has_controls(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char c) { return c < 0x20 || c == 0x7f; });
}

bool is_word(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// (A byte past ASCII, negative as a char, is escaped too.)
bool is_control(char c) { return c < 0x20 || c == 0x7f; }

// Appends a control character escaped as Python's repr escapes it.
void escaped_control(char c, std::string& out) {
    static const char hex[] = "0123456789abcdef";
    if (c == '\n') {
        out.append("\\n");
    } else if (c == '\r') {
        out.append("\\r");
    } else if (c == '\t') {
        out.append("\\t");
    } else {
        out.append("\\x");
        out.push_back(hex[(c >> 4) & 0x0f]);
        out.push_back(hex[c & 0x0f]);
    }
}

// Appends ASCII text with its control characters escaped.
void printable(std::string_view text, std::string& out) {
    if (std::none_of(text.begin(), text.end(), is_control)) {
        out.append(text);
        return;
    }
    for (char c : text) {
        if (is_control(c)) escaped_control(c, out);
        else out.push_back(c);
    }
}

// A call's "name=value, ..." written one argument at a time, cut with "..."
// once it has passed `args_width`: each value gets the room its width and
// what is left allow, and at least 12.
class ArgumentList {
public:
    ArgumentList(std::string& out, Py_ssize_t args_width, Py_ssize_t value_width)
        : out_(out), args_width_(args_width), value_width_(value_width) {}

    // Writes the separator and `name=`; the room for the value, or nothing
    // (the cut written) once the list is full.
    std::optional<Py_ssize_t> next(std::string_view name) {
        if (!first_) out_.append(", ");
        first_ = false;
        if (used_ > args_width_) {
            out_.append("...");
            return std::nullopt;
        }
        start_ = out_.size();
        printable(name, out_);
        out_.push_back('=');
        return std::min(value_width_, std::max<Py_ssize_t>(12, args_width_ - used_));
    }
    // Counts the argument whose value was just written.
    void written() { used_ += static_cast<Py_ssize_t>(out_.size() - start_) + 2; }

private:
    std::string& out_;
    Py_ssize_t args_width_, value_width_;
    Py_ssize_t used_ = 0;
    size_t start_ = 0;
    bool first_ = true;
};

// Appends the repr of an ASCII str.
void repr_text(std::string_view text, std::string& out) {
    bool single = text.find('\'') != std::string_view::npos;
    bool twice = text.find('"') != std::string_view::npos;
    char quote = single && !twice ? '"' : '\'';
    out.push_back(quote);
    for (char c : text) {
        if (c == quote || c == '\\') {
            out.push_back('\\');
            out.push_back(c);
        } else if (is_control(c)) {
            escaped_control(c, out);
        } else {
            out.push_back(c);
        }
    }
    out.push_back(quote);
}

bool is_token(char c) { return is_word(c) || c == '.' || c == '@' || c == '-'; }

// `text` in at most `limit` characters, ending in "..." when cut, cut
// between tokens.
void cut(std::string_view text, Py_ssize_t limit, std::string& out) {
    if (static_cast<Py_ssize_t>(text.size()) <= limit) {
        out.append(text);
        return;
    }
    auto room = static_cast<size_t>(std::max<Py_ssize_t>(0, limit - 3));
    std::string_view head = text.substr(0, room);
    if (!head.empty() && is_token(head.back()) && is_token(text[room])) {
        size_t where = head.find_last_of(" ,([{=:");
        if (where != std::string_view::npos) head = head.substr(0, where + 1);
    }
    while (!head.empty() && (head.back() == ',' || head.back() == ' ')) head.remove_suffix(1);
    out.append(head);
    out.append("...");
}

// Appends the ASCII repr that Python gives an object; false when it is not ASCII.
Result<bool> python_repr(PyObject* object, std::string& out) {
    Ref text = Ref::steal(PyObject_Repr(object));
    if (!text) return fail_fetch();
    std::string_view view;
    if (!ascii_of(text.get(), view)) return false;
    out.append(view);
    return true;
}

void integer(std::string& out, long long value) {
    char digits[24];
    auto done = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, static_cast<size_t>(done.ptr - digits));
}

Status fixed(std::string& out, double value, int precision) {
    char* text = PyOS_double_to_string(value, 'f', precision, 0, nullptr);
    if (text == nullptr) return fail_fetch();
    out.append(text);
    PyMem_Free(text);
    return {};
}

// "12 us", "3.40 ms", "1.250 s".
Status duration_text(double seconds, std::string& out) {
    if (seconds < 0.9995e-3) {
        if (Status done = fixed(out, seconds * 1e6, 0); !done) return done;
        out.append(" us");
    } else if (seconds < 0.999995) {
        if (Status done = fixed(out, seconds * 1e3, 2); !done) return done;
        out.append(" ms");
    } else {
        if (Status done = fixed(out, seconds, 3); !done) return done;
        out.append(" s");
    }
    return {};
}

// The type's name without its module; false for a type name that is not an
// ASCII text or none.
bool short_type(PyObject* name, std::string_view& out) {
    if (name == nullptr || name == Py_None) {
        out = "None";
        return true;
    }
    if (!ascii_of(name, out)) return false;
    size_t dot = out.rfind('.');
    if (dot != std::string_view::npos) out = out.substr(dot + 1);
    return true;
}

// Matches "<module.Type object at 0x...>" and "<Type object; repr() failed:
// Error>", giving the type's name.
bool default_repr(std::string_view text, std::string_view& name) {
    if (text.size() < 2 || text.front() != '<' || text.back() != '>') return false;
    size_t end = 1;
    while (end < text.size() && (is_word(text[end]) || text[end] == '.')) ++end;
    std::string_view run = text.substr(1, end - 1);
    size_t dot = run.rfind('.');
    name = dot == std::string_view::npos ? run : run.substr(dot + 1);
    if (name.empty()) return false;
    std::string_view rest = text.substr(end, text.size() - end - 1);
    constexpr std::string_view object = " object";
    if (rest.substr(0, object.size()) != object) return false;
    rest.remove_prefix(object.size());
    constexpr std::string_view at = " at 0x";
    constexpr std::string_view failed = "; repr() failed: ";
    auto all = [&](std::string_view part, auto test) {
        return !part.empty() && std::all_of(part.begin(), part.end(), test);
    };
    if (rest.substr(0, at.size()) == at) {
        return all(rest.substr(at.size()), [](char c) { return is_digit(c) || (c >= 'a' && c <= 'f') ||
                                                                 (c >= 'A' && c <= 'F'); });
    }
    if (rest.substr(0, failed.size()) == failed) return all(rest.substr(failed.size()), is_word);
    return false;
}

bool equals(PyObject* object, std::string_view text) {
    std::string_view view;
    return ascii_of(object, view) && view == text;
}

// Whether a dict is there and holds something (as `record or ...` reads it).
bool filled(PyObject* record) { return record != nullptr && PyDict_Check(record) && PyDict_GET_SIZE(record) > 0; }

void join(const std::vector<std::string>& texts, std::string& out) {
    for (size_t i = 0; i < texts.size(); ++i) {
        if (i) out.append(", ");
        out.append(texts[i]);
    }
}

// A list, tuple, set, frozenset or dict shown from its items' texts: "... +N"
// after them when the record holds its total length and N items were left
// out, "..." when the limit cut them; in the brackets of its kind.
std::string container_text(std::string_view kind, std::vector<std::string>& texts, bool has_total, long long count,
                           Py_ssize_t size, bool more) {
    if (has_total && count > size) {
        std::string left = "... +";
        integer(left, count - static_cast<long long>(texts.size()));
        texts.push_back(std::move(left));
    } else if (more) {
        texts.emplace_back("...");
    }
    std::string text;
    if (kind == "dict") {
        text.push_back('{');
        join(texts, text);
        text.push_back('}');
        return text;
    }
    if (kind == "set" && texts.empty()) return "set()";
    text = kind == "list" ? "[" : kind == "tuple" ? "(" : kind == "set" ? "{" : "frozenset({";
    if (kind == "tuple" && texts.size() == 1 && !has_total && !more) {
        text.append(texts[0]);
        text.push_back(',');
    } else {
        join(texts, text);
    }
    text.append(kind == "list" ? "]" : kind == "tuple" ? ")" : kind == "set" ? "}" : "})");
    return text;
}

// Renders items until about `limit` characters are used; `more` when some
// were left out.
template <class One>
Result<bool> items(Py_ssize_t count, Py_ssize_t limit, std::vector<std::string>& texts, bool& more, One one) {
    Py_ssize_t used = 0;
    more = false;
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (used >= limit) {
            more = true;
            return true;
        }
        std::string text;
        Result<bool> done = one(i, limit - used, text);
        if (!done || !*done) return done;
        used += static_cast<Py_ssize_t>(text.size()) + 2;
        texts.push_back(std::move(text));
    }
    return true;
}

// -- values read from their MessagePack bytes

// Keys of a map followed here, past which it is left to the decoded reading
// (their distinctness is checked pair by pair).
constexpr size_t most_keys = 64;

bool ascii_only(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return (c & 0x80) == 0; });
}

Head packed_head(std::string_view span) {
    Cursor cursor(span);
    return cursor.next();
}

// The bytes of the next whole value at the cursor.
bool packed_span(Cursor& cursor, std::string_view& out) {
    const char* start = cursor.position();
    Head head = cursor.next();
    cursor.skip_items(head);
    if (cursor.failed()) return false;
    out = std::string_view(start, static_cast<size_t>(cursor.position() - start));
    return true;
}

// The items of an array; false when the span is not a whole array.
bool packed_items(std::string_view span, std::vector<std::string_view>& out) {
    Cursor cursor(span);
    Head head = cursor.next();
    if (cursor.failed() || head.kind != Kind::array || head.items > span.size()) return false;
    out.resize(static_cast<size_t>(head.items));
    for (auto& item : out) {
        if (!packed_span(cursor, item)) return false;
    }
    return true;
}

// The pairs of a map, in order; false when the span is not a whole map.
bool packed_pairs(std::string_view span, std::vector<std::pair<std::string_view, std::string_view>>& out) {
    Cursor cursor(span);
    Head head = cursor.next();
    if (cursor.failed() || head.kind != Kind::map || head.items > span.size()) return false;
    out.resize(static_cast<size_t>(head.items));
    for (auto& [key, value] : out) {
        if (!packed_span(cursor, key) || !packed_span(cursor, value)) return false;
    }
    return true;
}

// The value of the text key `name` (the last, as the decoded dict keeps it).
bool packed_find(const std::vector<std::pair<std::string_view, std::string_view>>& pairs, std::string_view name,
          std::string_view& out) {
    bool found = false;
    for (const auto& [key, value] : pairs) {
        Head head = packed_head(key);
        if (head.kind == Kind::str && head.data == name) {
            out = value;
            found = true;
        }
    }
    return found;
}

// Whether every key is an ASCII text and no two are the same: the map then
// reads pair by pair as the dict decoded from it.
bool packed_plain_keys(const std::vector<std::pair<std::string_view, std::string_view>>& pairs) {
    if (pairs.size() > most_keys) return false;
    std::string_view names[most_keys];
    for (size_t i = 0; i < pairs.size(); ++i) {
        Head head = packed_head(pairs[i].first);
        if (head.kind != Kind::str || !ascii_only(head.data)) return false;
        for (size_t j = 0; j < i; ++j) {
            if (names[j] == head.data) return false;
        }
        names[i] = head.data;
    }
    return true;
}

// Python's truth of a value; -1 when left to the decoded reading.
int packed_truth(std::string_view span) {
    Head head = packed_head(span);
    switch (head.kind) {
        case Kind::nil: return 0;
        case Kind::boolean:
        case Kind::uint: return head.uint_value != 0;
        case Kind::sint: return head.sint_value != 0;
        case Kind::real: {
            double number;
            std::memcpy(&number, &head.uint_value, sizeof number);
            return number != 0.0;
        }
        case Kind::str:
        case Kind::bin: return !head.data.empty();
        case Kind::array:
        case Kind::map: return head.items != 0;
        default: return -1;
    }
}

// The ASCII text of a value; false for anything else.
bool packed_text(std::string_view span, std::string_view& out) {
    Head head = packed_head(span);
    if (head.kind != Kind::str || !ascii_only(head.data)) return false;
    out = head.data;
    return true;
}

bool packed_nil(std::string_view span) { return packed_head(span).kind == Kind::nil; }

// short_type() of a type name that may be absent (empty) or nil.
bool packed_short_type(std::string_view span, std::string_view& out) {
    if (span.empty() || packed_nil(span)) {
        out = "None";
        return true;
    }
    if (!packed_text(span, out)) return false;
    size_t dot = out.rfind('.');
    if (dot != std::string_view::npos) out = out.substr(dot + 1);
    return true;
}

void packed_unsigned(std::string& out, uint64_t value) {
    char digits[24];
    auto done = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, static_cast<size_t>(done.ptr - digits));
}

// The record fields a call's line reads, as spans (empty when absent; a
// later duplicate key wins, as in the decoded record).
struct PackedRecord {
    bool present = false;
    bool filled = false;  // holds one of these fields
    std::string_view qualname, co_name, path, locals, timestamp, site, arg;
};

bool packed_record(std::string_view bytes, PackedRecord& out) {
    if (bytes.empty()) return true;
    out.present = true;
    Cursor cursor(bytes);
    Head head = cursor.next();
    if (cursor.failed() || head.kind != Kind::map) return false;
    for (uint64_t i = 0; i < head.items; ++i) {
        Head key = cursor.next();
        if (cursor.failed()) return false;
        std::string_view* field = nullptr;
        if (key.kind == Kind::str) {
            std::string_view name = key.data;
            if (record_scan::same(name, "qualname")) field = &out.qualname;
            else if (record_scan::same(name, "co_name")) field = &out.co_name;
            else if (record_scan::same(name, "path")) field = &out.path;
            else if (record_scan::same(name, "locals")) field = &out.locals;
            else if (record_scan::same(name, "timestamp")) field = &out.timestamp;
            else if (record_scan::same(name, "user_code_call_site")) field = &out.site;
            else if (record_scan::same(name, "arg")) field = &out.arg;
        } else {
            cursor.skip_items(key);
        }
        std::string_view value;
        if (!packed_span(cursor, value)) return false;
        if (field != nullptr) {
            *field = value;
            out.filled = true;
        }
    }
    return true;
}

}  // namespace
}  // namespace frame_text

using namespace frame_text;

Status FrameText::make() {
    struct Named {
        Ref* ref;
        const char* text;
    };
    const Named keys[] = {{&tag_, "__sarn__"}, {&type_, "type"}, {&len_, "len"}, {&repr_, "repr"},
                          {&attrs_, "attrs"}, {&more_attrs_, "more_attrs"}, {&value_, "value"},
                          {&items_, "items"}, {&locals_, "locals"}, {&qualname_, "qualname"},
                          {&module_, "__module__"}, {&co_name_, "co_name"}, {&path_, "path"}, {&arg_, "arg"},
                          {&exception_, "exception"}, {&site_, "user_code_call_site"},
                          {&line_number_, "line_number"}, {&timestamp_, "timestamp"}, {&class_, "__class__"}};
    for (const Named& key : keys) {
        *key.ref = Ref::steal(PyUnicode_InternFromString(key.text));
        if (!*key.ref) return fail_fetch();
    }
    dunder_qualname_ = Ref::steal(PyUnicode_InternFromString("__qualname__"));
    if (!dunder_qualname_) return fail_fetch();
    return {};
}

// A key's value in a dict (borrowed), or null when absent or not a dict.
PyObject* FrameText::get(PyObject* dict, const Ref& key) {
    if (dict == nullptr || !PyDict_Check(dict)) return nullptr;
    PyObject* found = PyDict_GetItemWithError(dict, key.get());
    if (found == nullptr) PyErr_Clear();
    return found;
}

Result<bool> FrameText::fmt(PyObject* value, Py_ssize_t limit, std::string& out) {
    // Deep values are left to Python, which has its own limit.
    if (limit < 0 || depth_ >= max_depth) return false;
    ++depth_;
    Result<bool> done = fmt_one(value, limit, out);
    --depth_;
    return done;
}

Result<bool> FrameText::fmt_one(PyObject* value, Py_ssize_t limit, std::string& out) {
    if (value == Py_None) {
        out.append("None");
        return true;
    }
    if (PyBool_Check(value)) {
        out.append(value == Py_True ? "True" : "False");
        return true;
    }
    if (PyLong_CheckExact(value)) {
        int overflow = 0;
        long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (number == -1 && PyErr_Occurred()) return fail_fetch();
        if (overflow != 0) return python_repr(value, out);
        integer(out, number);
        return true;
    }
    if (PyFloat_CheckExact(value)) {
        char* text = PyOS_double_to_string(PyFloat_AS_DOUBLE(value), 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
        if (text == nullptr) return fail_fetch();
        out.append(text);
        PyMem_Free(text);
        return true;
    }
    if (PyUnicode_CheckExact(value)) {
        std::string_view text;
        if (!ascii_of(value, text)) return false;
        repr_text(text.substr(0, static_cast<size_t>(std::min<Py_ssize_t>(limit, text.size()))), out);
        return true;
    }
    if (PyBytes_CheckExact(value)) {
        Py_ssize_t size = std::min(limit, PyBytes_GET_SIZE(value));
        Ref part = Ref::steal(PyBytes_FromStringAndSize(PyBytes_AS_STRING(value), size));
        if (!part) return fail_fetch();
        return python_repr(part.get(), out);
    }
    if (PyList_CheckExact(value)) {
        std::vector<std::string> texts;
        bool more = false;
        Result<bool> done = items(PyList_GET_SIZE(value), limit, texts, more, [&](Py_ssize_t i, Py_ssize_t room,
                                                                                std::string& text) {
            return fmt(PyList_GET_ITEM(value, i), room, text);
        });
        if (!done || !*done) return done;
        out.push_back('[');
        join(texts, out);
        if (more) out.append(", ...");
        out.push_back(']');
        return true;
    }
    if (PyDict_CheckExact(value)) {
        int tagged_value = PyDict_Contains(value, tag_.get());
        if (tagged_value < 0) return fail_fetch();
        if (tagged_value) return tagged(value, limit, out);
        std::vector<std::pair<PyObject*, PyObject*>> pairs;
        PyObject* key;
        PyObject* item;
        Py_ssize_t at = 0;
        while (PyDict_Next(value, &at, &key, &item)) pairs.emplace_back(key, item);
        std::vector<std::string> texts;
        bool more = false;
        Result<bool> done = items(static_cast<Py_ssize_t>(pairs.size()), limit, texts, more,
                                  [&](Py_ssize_t i, Py_ssize_t room, std::string& text) -> Result<bool> {
                                      PyObject* name = pairs[static_cast<size_t>(i)].first;
                                      std::string_view view;
                                      if (PyUnicode_CheckExact(name)) {
                                          if (!ascii_of(name, view)) return false;
                                          repr_text(view, text);
                                      } else if (name == Py_None || PyBool_Check(name) || PyLong_CheckExact(name) ||
                                                 PyFloat_CheckExact(name) || PyBytes_CheckExact(name)) {
                                          Result<bool> shown = python_repr(name, text);
                                          if (!shown || !*shown) return shown;
                                      } else {
                                          return false;
                                      }
                                      text.append(": ");
                                      return fmt(pairs[static_cast<size_t>(i)].second, room, text);
                                  });
        if (!done || !*done) return done;
        out.push_back('{');
        join(texts, out);
        if (more) out.append(", ...");
        out.push_back('}');
        return true;
    }
    return false;
}

Result<bool> FrameText::with_attrs(std::string_view short_name, PyObject* value, PyObject* attrs, Py_ssize_t limit,
                                   std::string& out) {
    // Private attributes last, each group in its order.
    std::vector<std::pair<std::string_view, PyObject*>> sorted;
    for (int private_pass = 0; private_pass < 2; ++private_pass) {
        PyObject* key;
        PyObject* item;
        Py_ssize_t at = 0;
        while (PyDict_Next(attrs, &at, &key, &item)) {
            std::string_view name;
            if (!ascii_of(key, name)) return false;
            bool is_private = !name.empty() && name.front() == '_';
            if (is_private == (private_pass == 1)) sorted.emplace_back(name, item);
        }
    }
    std::vector<std::string> texts;
    bool more = false;
    Result<bool> done = items(static_cast<Py_ssize_t>(sorted.size()), limit, texts, more,
                              [&](Py_ssize_t i, Py_ssize_t room, std::string& text) {
                                  text.append(sorted[static_cast<size_t>(i)].first);
                                  text.push_back('=');
                                  return fmt(sorted[static_cast<size_t>(i)].second, room, text);
                              });
    if (!done || !*done) return done;
    PyObject* more_attrs = get(value, more_attrs_);
    int truthy = more_attrs == nullptr ? 0 : PyObject_IsTrue(more_attrs);
    if (truthy < 0) return fail_fetch();
    if (more || truthy) texts.emplace_back("...");
    out.append(short_name);
    out.push_back('(');
    join(texts, out);
    out.push_back(')');
    return true;
}

Result<bool> FrameText::tagged(PyObject* value, Py_ssize_t limit, std::string& out) {
    std::string_view kind;
    if (!ascii_of(get(value, tag_), kind)) return false;
    PyObject* type_name = get(value, type_);
    PyObject* total = get(value, len_);
    if (total == Py_None) total = nullptr;
    if (kind == "object") {
        PyObject* text = get(value, repr_);
        PyObject* attrs = get(value, attrs_);
        bool attrs_map = attrs != nullptr && PyDict_Check(attrs);
        std::string_view short_name;
        if (text == nullptr || !PyUnicode_Check(text)) {
            if (!short_type(type_name, short_name)) return false;
            if (attrs_map) return with_attrs(short_name, value, attrs, limit, out);
            out.push_back('<');
            out.append(short_name);
            out.push_back('>');
            return true;
        }
        std::string_view shown;
        if (!ascii_of(text, shown) || has_controls(shown)) return false;
        int attrs_truthy = attrs == nullptr ? 0 : PyObject_IsTrue(attrs);
        if (attrs_truthy < 0) return fail_fetch();
        std::string_view matched;
        bool is_default = default_repr(shown, matched);
        if (is_default && !attrs_truthy && shown.find("failed") != std::string_view::npos) {
            out.push_back('<');
            out.append(matched);
            out.push_back('>');
            return true;
        }
        if (is_default && attrs_map) return with_attrs(matched, value, attrs, limit, out);
        if (attrs_truthy && attrs_map) {
            if (!short_type(type_name, short_name)) return false;
            return with_attrs(short_name, value, attrs, limit, out);
        }
        out.append(shown);
        return true;
    }
    // A type name other than the kind's own wraps the text: "deque([1])".
    auto wrap = [&](std::string_view own, std::string& text) -> bool {
        if (type_name == nullptr || type_name == Py_None || equals(type_name, own)) {
            out.append(text);
            return true;
        }
        std::string_view short_name;
        if (!short_type(type_name, short_name)) return false;
        out.append(short_name);
        out.push_back('(');
        out.append(text);
        out.push_back(')');
        return true;
    };
    if (kind == "str") {
        PyObject* text = get(value, value_);
        std::string shown;
        Result<bool> done = text == nullptr ? Result<bool>(true) : fmt(text, limit, shown);
        if (!done || !*done) return done;
        out.append(text == nullptr ? "''" : shown);
        out.append("...");
        return true;
    }
    if (kind == "bytes") {
        PyObject* data = get(value, value_);
        std::string text;
        if (data == nullptr) {
            text = "b''";
        } else if (!PyBytes_CheckExact(data)) {
            return false;
        } else {
            Result<bool> done = python_repr(data, text);
            if (!done || !*done) return done;
        }
        if (!wrap("bytes", text)) return false;
        if (total != nullptr) out.append("...");
        return true;
    }
    bool sequence = kind == "list" || kind == "tuple" || kind == "set" || kind == "frozenset";
    if (sequence || kind == "dict") {
        long long count = 0;
        if (total != nullptr) {
            if (!PyLong_CheckExact(total)) return false;
            int overflow = 0;
            count = PyLong_AsLongLongAndOverflow(total, &overflow);
            if (count == -1 && PyErr_Occurred()) return fail_fetch();
            if (overflow != 0) return false;
        }
        PyObject* raw = get(value, items_);
        Py_ssize_t size = raw != nullptr && PyList_CheckExact(raw) ? PyList_GET_SIZE(raw) : 0;
        std::vector<std::string> texts;
        bool more = false;
        Result<bool> done = items(size, limit, texts, more, [&](Py_ssize_t i, Py_ssize_t room,
                                                                std::string& text) -> Result<bool> {
            PyObject* item = PyList_GET_ITEM(raw, i);
            if (kind == "dict" && PyList_CheckExact(item) && PyList_GET_SIZE(item) == 2) {
                Result<bool> key = fmt(PyList_GET_ITEM(item, 0), room, text);
                if (!key || !*key) return key;
                text.append(": ");
                return fmt(PyList_GET_ITEM(item, 1), room, text);
            }
            return fmt(item, room, text);
        });
        if (!done || !*done) return done;
        std::string text = container_text(kind, texts, total != nullptr, count, size, more);
        return wrap(kind, text);
    }
    if (kind == "cycle") {
        std::string_view name = "None";
        if (type_name != nullptr && type_name != Py_None && !ascii_of(type_name, name)) return false;
        if (name == "list") out.append("[...]");
        else if (name == "dict" || name == "set") out.append("{...}");
        else if (name == "tuple") out.append("(...)");
        else {
            out.append("<cycle ");
            out.append(name);
            out.push_back('>');
        }
        return true;
    }
    return false;
}

Result<bool> FrameText::value(PyObject* value, Py_ssize_t limit, std::string& out) {
    std::string text;
    Result<bool> done = fmt(value == nullptr ? Py_None : value, limit, text);
    if (!done || !*done) return done;
    std::string shown;
    cut(text, limit, shown);
    printable(shown, out);
    return true;
}

Result<bool> FrameText::args(PyObject* call, std::string& out) {
    PyObject* local_values = get(call, locals_);
    if (local_values == nullptr || !PyDict_Check(local_values)) {
        out.append("(...)");
        return true;
    }
    int tagged_value = PyDict_Contains(local_values, tag_.get());
    if (tagged_value < 0) return fail_fetch();
    out.push_back('(');
    if (tagged_value) {
        Result<bool> done = value(local_values, args_width, out);
        if (!done || !*done) return done;
        out.push_back(')');
        return true;
    }
    ArgumentList list(out, args_width, value_width);
    PyObject* key;
    PyObject* item;
    Py_ssize_t at = 0;
    while (PyDict_Next(local_values, &at, &key, &item)) {
        std::string_view name;
        if (!ascii_of(key, name)) return false;
        if (name == "__class__") continue;
        auto room = list.next(name);
        if (!room) break;
        Result<bool> done = value(item, *room, out);
        if (!done || !*done) return done;
        list.written();
    }
    out.push_back(')');
    return true;
}

// Whether the exception record says its frame ended by a SystemExit of
// status 0; -1 when left to Python.
Result<int> FrameText::normal_exit(PyObject* record) {
    PyObject* value = get(record, exception_);
    if (value != nullptr && PyDict_Check(value)) {
        if (!equals(get(value, tag_), "object")) return 0;
        PyObject* type_name = get(value, type_);
        if (!equals(type_name, "SystemExit") && !equals(type_name, "builtins.SystemExit")) return 0;
        value = get(value, repr_);
    }
    if (value == nullptr || !PyUnicode_Check(value)) return 0;
    std::string_view text;
    if (!ascii_of(value, text)) return 0;
    if (!text.empty() && text.back() == '\n') text.remove_suffix(1);  // as "$" matches before it
    return text == "SystemExit()" || text == "SystemExit(0)" || text == "SystemExit(None)" ||
           text == "SystemExit(False)";
}

Result<bool> FrameText::exception_text(PyObject* record, std::string& out) {
    PyObject* value = get(record, exception_);
    if (value == nullptr || value == Py_None) {
        out.append("an exception");
        return true;
    }
    if (PyUnicode_Check(value)) {
        std::string_view text;
        if (!ascii_of(value, text)) return false;
        std::string shown;
        cut(text, value_width, shown);
        printable(shown, out);
        return true;
    }
    return this->value(value, value_width, out);
}

Result<bool> FrameText::line(const FrameParts& parts, const LineStyle& style, std::string& out) {
    PyObject* record = filled(parts.call) ? parts.call : filled(parts.ret) ? parts.ret : nullptr;
    // The name: a class body's qualified name is known once it has run.
    std::string_view name = "?";
    bool named = false;
    for (PyObject* source : {parts.call, parts.ret}) {
        if (!filled(source)) continue;
        PyObject* qualname = get(source, qualname_);
        if (qualname == nullptr || qualname == Py_None) continue;
        int truthy = PyObject_IsTrue(qualname);
        if (truthy < 0) return fail_fetch();
        if (!truthy) continue;
        if (!ascii_of(qualname, name)) return false;
        named = true;
        break;
    }
    PyObject* co_name = get(record, co_name_);
    if (!named && co_name != nullptr && co_name != Py_None) {
        int truthy = PyObject_IsTrue(co_name);
        if (truthy < 0) return fail_fetch();
        if (truthy && !ascii_of(co_name, name)) return false;
    }
    bool module_body = equals(co_name, "<module>");
    bool body = module_body;
    for (PyObject* source : {parts.call, parts.ret}) {
        if (body || !filled(source)) continue;
        PyObject* local_values = get(source, locals_);
        if (local_values == nullptr || !PyDict_Check(local_values)) continue;
        int has_qualname = PyDict_Contains(local_values, dunder_qualname_.get());
        int has_module = has_qualname > 0 ? PyDict_Contains(local_values, module_.get()) : 0;
        if (has_qualname < 0 || has_module < 0) return fail_fetch();
        body = has_qualname && has_module;
    }
    auto coloured = [&](const std::string& colour, std::string_view text) {
        if (colour.empty()) {
            out.append(text);
            return;
        }
        out.append(colour);
        out.append(text);
        out.append(style.reset);
    };
    if ((!module_body && body) || name.substr(0, 6) == "class ") out.append("class ");
    std::string part;
    printable(name, part);
    coloured(style.name, part);
    if (parts.call != nullptr && !body) {
        Result<bool> done = args(parts.call, out);
        if (!done || !*done) return done;
    }
    // How it ended.
    if (parts.resumed) coloured(style.mark, " resumed");
    bool raised = false;
    if (parts.exception != nullptr) {
        Result<int> normal = normal_exit(parts.exception);
        if (!normal) return fail(std::move(normal.error()));
        raised = *normal == 0;
        part = raised ? " !! " : " exits: ";
        Result<bool> done = exception_text(parts.exception, part);
        if (!done || !*done) return done;
        coloured(raised ? style.error : style.mark, part);
    } else if (parts.ret != nullptr && (parts.suspended || !body)) {
        out.append(parts.suspended ? " <- yield " : " -> ");
        part.clear();
        Result<bool> done = value(get(parts.ret, arg_), value_width, part);
        if (!done || !*done) return done;
        coloured(style.value, part);
    }
    // Where it was, where it raised, what called it, how long it took.
    PyObject* path = get(record, path_);
    std::string_view path_text;
    bool has_path = false;
    if (path != nullptr && path != Py_None) {
        int truthy = PyObject_IsTrue(path);
        if (truthy < 0) return fail_fetch();
        if (truthy) {
            if (!ascii_of(path, path_text)) return false;
            has_path = true;
            out.append("  ");
            part.clear();
            printable(path_text, part);
            coloured(style.dim, part);
        }
    }
    if (raised && parts.ret != nullptr) {
        PyObject* left = get(parts.ret, path_);
        std::string_view left_text;
        if (left != nullptr && PyUnicode_Check(left)) {
            if (!ascii_of(left, left_text) || (!left_text.empty() && left_text.back() == '\n')) return false;
            size_t digits = left_text.size();
            while (digits > 0 && is_digit(left_text[digits - 1])) --digits;
            if (digits < left_text.size() && digits > 0 && left_text[digits - 1] == ':') {
                out.append("  ");
                part = "raised at line ";
                part.append(left_text.substr(digits));
                coloured(style.error, part);
            }
        }
    }
    PyObject* site = get(record, site_);
    PyObject* line_number = get(site, line_number_);
    std::string_view caller;
    if (line_number != nullptr && PyLong_CheckExact(line_number) && parts.caller_path != nullptr) {
        caller = *parts.caller_path;
        bool ascii = std::all_of(caller.begin(), caller.end(), [](char c) { return (c & 0x80) == 0; });
        if (!ascii || (!caller.empty() && caller.back() == '\n')) return false;
        size_t digits = caller.size();
        while (digits > 0 && is_digit(caller[digits - 1])) --digits;
        if (digits < caller.size() && digits > 0 && caller[digits - 1] == ':') caller = caller.substr(0, digits - 1);
        std::string site_text(caller);
        site_text.push_back(':');
        Result<bool> shown = python_repr(line_number, site_text);
        if (!shown || !*shown) return shown;
        if (!has_path || site_text != path_text) {
            out.append("  ");
            part = "from ";
            printable(site_text, part);
            coloured(style.dim, part);
        }
    }
    if (parts.call != nullptr && parts.ret != nullptr) {
        PyObject* start = get(parts.call, timestamp_);
        PyObject* end = get(parts.ret, timestamp_);
        auto number = [](PyObject* object) {
            return object != nullptr && (PyFloat_CheckExact(object) || PyLong_CheckExact(object));
        };
        if (number(start) && number(end)) {
            double seconds;
            if (PyLong_CheckExact(start) && PyLong_CheckExact(end)) {
                long long first = PyLong_AsLongLong(start);
                long long last = PyLong_AsLongLong(end);
                if (PyErr_Occurred()) {
                    PyErr_Clear();
                    return false;
                }
                if ((first < 0) != (last < 0)) return false;  // a difference past 64 bits
                seconds = static_cast<double>(last - first);
            } else {
                double first = PyFloat_AsDouble(start);
                double last = PyFloat_AsDouble(end);
                if (PyErr_Occurred()) {
                    PyErr_Clear();
                    return false;
                }
                seconds = last - first;
            }
            out.append("  ");
            part.clear();
            if (Status done = duration_text(seconds > 0.0 ? seconds : 0.0, part); !done) {
                return fail(std::move(done.error()));
            }
            coloured(style.time, part);
        }
    }
    if (parts.call == nullptr) {
        out.append("  ");
        coloured(style.dim, "[entered before recording]");
    } else if (parts.ret == nullptr) {
        out.append("  ");
        coloured(style.dim, "[no return recorded]");
    }
    return true;
}

// -- the same, from the records' bytes

Result<bool> FrameText::packed_fmt(Span value, Py_ssize_t limit, std::string& out) {
    if (limit < 0 || depth_ >= max_depth) return false;
    ++depth_;
    Result<bool> done = packed_fmt_one(value, limit, out);
    --depth_;
    return done;
}

Result<bool> FrameText::packed_fmt_one(Span value, Py_ssize_t limit, std::string& out) {
    Head head = packed_head(value);
    switch (head.kind) {
        case Kind::nil: out.append("None"); return true;
        case Kind::boolean: out.append(head.uint_value ? "True" : "False"); return true;
        case Kind::uint: packed_unsigned(out, head.uint_value); return true;
        case Kind::sint: integer(out, head.sint_value); return true;
        case Kind::real: {
            double number;
            std::memcpy(&number, &head.uint_value, sizeof number);
            char* text = PyOS_double_to_string(number, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
            if (text == nullptr) return fail_fetch();
            out.append(text);
            PyMem_Free(text);
            return true;
        }
        case Kind::str: {
            if (!ascii_only(head.data)) return false;
            repr_text(head.data.substr(0, static_cast<size_t>(std::min<Py_ssize_t>(limit, head.data.size()))), out);
            return true;
        }
        case Kind::array: {
            std::vector<Span> list;
            if (!packed_items(value, list)) return false;
            std::vector<std::string> texts;
            bool more = false;
            Result<bool> done = items(static_cast<Py_ssize_t>(list.size()), limit, texts, more,
                                      [&](Py_ssize_t i, Py_ssize_t room, std::string& text) {
                                          return packed_fmt(list[static_cast<size_t>(i)], room, text);
                                      });
            if (!done || !*done) return done;
            out.push_back('[');
            join(texts, out);
            if (more) out.append(", ...");
            out.push_back(']');
            return true;
        }
        case Kind::map: {
            Pairs pairs;
            if (!packed_pairs(value, pairs)) return false;
            Span tag;
            if (packed_find(pairs, "__sarn__", tag)) return packed_tagged(pairs, limit, out);
            if (!packed_plain_keys(pairs)) return false;
            std::vector<std::string> texts;
            bool more = false;
            Result<bool> done = items(static_cast<Py_ssize_t>(pairs.size()), limit, texts, more,
                                      [&](Py_ssize_t i, Py_ssize_t room, std::string& text) {
                                          repr_text(packed_head(pairs[static_cast<size_t>(i)].first).data, text);
                                          text.append(": ");
                                          return packed_fmt(pairs[static_cast<size_t>(i)].second, room, text);
                                      });
            if (!done || !*done) return done;
            out.push_back('{');
            join(texts, out);
            if (more) out.append(", ...");
            out.push_back('}');
            return true;
        }
        default: return false;  // binary, an extension type, damage
    }
}

Result<bool> FrameText::packed_with_attrs(std::string_view short_name, const Pairs& pairs, Span attrs,
                                          Py_ssize_t limit, std::string& out) {
    Pairs named;
    if (!packed_pairs(attrs, named) || !packed_plain_keys(named)) return false;
    // Private attributes last, each group in its order.
    std::vector<std::pair<std::string_view, Span>> sorted;
    for (int private_pass = 0; private_pass < 2; ++private_pass) {
        for (const auto& [key, item] : named) {
            std::string_view name = packed_head(key).data;
            bool is_private = !name.empty() && name.front() == '_';
            if (is_private == (private_pass == 1)) sorted.emplace_back(name, item);
        }
    }
    std::vector<std::string> texts;
    bool more = false;
    Result<bool> done = items(static_cast<Py_ssize_t>(sorted.size()), limit, texts, more,
                              [&](Py_ssize_t i, Py_ssize_t room, std::string& text) {
                                  text.append(sorted[static_cast<size_t>(i)].first);
                                  text.push_back('=');
                                  return packed_fmt(sorted[static_cast<size_t>(i)].second, room, text);
                              });
    if (!done || !*done) return done;
    Span more_attrs;
    int truthy = packed_find(pairs, "more_attrs", more_attrs) ? packed_truth(more_attrs) : 0;
    if (truthy < 0) return false;
    if (more || truthy) texts.emplace_back("...");
    out.append(short_name);
    out.push_back('(');
    join(texts, out);
    out.push_back(')');
    return true;
}

Result<bool> FrameText::packed_tagged(const Pairs& pairs, Py_ssize_t limit, std::string& out) {
    Span tag, type_name, total, found;
    std::string_view kind;
    if (!packed_find(pairs, "__sarn__", tag) || !packed_text(tag, kind)) return false;
    packed_find(pairs, "type", type_name);
    if (packed_find(pairs, "len", total) && packed_nil(total)) total = Span();
    if (kind == "object") {
        Span text, attrs;
        bool has_text = packed_find(pairs, "repr", text) && packed_head(text).kind == Kind::str;
        bool attrs_map = packed_find(pairs, "attrs", attrs) && packed_head(attrs).kind == Kind::map;
        std::string_view short_name;
        if (!has_text) {
            if (!packed_short_type(type_name, short_name)) return false;
            if (attrs_map) return packed_with_attrs(short_name, pairs, attrs, limit, out);
            out.push_back('<');
            out.append(short_name);
            out.push_back('>');
            return true;
        }
        std::string_view shown;
        if (!packed_text(text, shown) || has_controls(shown)) return false;
        int attrs_truthy = attrs.empty() ? 0 : packed_truth(attrs);
        if (attrs_truthy < 0) return false;
        std::string_view matched;
        bool is_default = default_repr(shown, matched);
        if (is_default && !attrs_truthy && shown.find("failed") != std::string_view::npos) {
            out.push_back('<');
            out.append(matched);
            out.push_back('>');
            return true;
        }
        if (is_default && attrs_map) return packed_with_attrs(matched, pairs, attrs, limit, out);
        if (attrs_truthy && attrs_map) {
            if (!packed_short_type(type_name, short_name)) return false;
            return packed_with_attrs(short_name, pairs, attrs, limit, out);
        }
        out.append(shown);
        return true;
    }
    // A type name other than the kind's own wraps the text: "deque([1])".
    auto wrap = [&](std::string_view own, const std::string& text) -> bool {
        std::string_view name;
        if (type_name.empty() || packed_nil(type_name) || (packed_text(type_name, name) && name == own)) {
            out.append(text);
            return true;
        }
        std::string_view short_name;
        if (!packed_short_type(type_name, short_name)) return false;
        out.append(short_name);
        out.push_back('(');
        out.append(text);
        out.push_back(')');
        return true;
    };
    if (kind == "str") {
        std::string shown;
        bool has_value = packed_find(pairs, "value", found);
        Result<bool> done = has_value ? packed_fmt(found, limit, shown) : Result<bool>(true);
        if (!done || !*done) return done;
        out.append(has_value ? shown : "''");
        out.append("...");
        return true;
    }
    bool sequence = kind == "list" || kind == "tuple" || kind == "set" || kind == "frozenset";
    if (!sequence && kind != "dict") {
        if (kind != "cycle") return false;  // bytes among them: left to the decoded reading
        std::string_view name = "None";
        if (!type_name.empty() && !packed_nil(type_name) && !packed_text(type_name, name)) return false;
        if (name == "list") out.append("[...]");
        else if (name == "dict" || name == "set") out.append("{...}");
        else if (name == "tuple") out.append("(...)");
        else {
            out.append("<cycle ");
            out.append(name);
            out.push_back('>');
        }
        return true;
    }
    long long count = 0;
    if (!total.empty()) {
        Head number = packed_head(total);
        if (number.kind == Kind::sint) count = number.sint_value;
        else if (number.kind == Kind::uint && number.uint_value <= static_cast<uint64_t>(INT64_MAX)) {
            count = static_cast<long long>(number.uint_value);
        } else {
            return false;
        }
    }
    std::vector<Span> list;
    if (packed_find(pairs, "items", found) && packed_head(found).kind == Kind::array && !packed_items(found, list)) return false;
    Py_ssize_t size = static_cast<Py_ssize_t>(list.size());
    std::vector<std::string> texts;
    bool more = false;
    std::vector<Span> pair;
    Result<bool> done = items(size, limit, texts, more, [&](Py_ssize_t i, Py_ssize_t room,
                                                            std::string& text) -> Result<bool> {
        Span item = list[static_cast<size_t>(i)];
        if (kind == "dict" && packed_head(item).kind == Kind::array && packed_items(item, pair) && pair.size() == 2) {
            Result<bool> key = packed_fmt(pair[0], room, text);
            if (!key || !*key) return key;
            text.append(": ");
            Span second = pair[1];
            return packed_fmt(second, room, text);
        }
        return packed_fmt(item, room, text);
    });
    if (!done || !*done) return done;
    std::string text = container_text(kind, texts, !total.empty(), count, size, more);
    return wrap(kind, text);
}

Result<bool> FrameText::packed_value(Span value, Py_ssize_t limit, std::string& out) {
    static constexpr char nil[] = "\xc0";
    std::string text;
    Result<bool> done = packed_fmt(value.empty() ? Span(nil, 1) : value, limit, text);
    if (!done || !*done) return done;
    std::string shown;
    cut(text, limit, shown);
    printable(shown, out);
    return true;
}

Result<bool> FrameText::packed_args(Span call_locals, bool has_locals, std::string& out) {
    Pairs pairs;
    if (!has_locals || packed_head(call_locals).kind != Kind::map) {
        out.append("(...)");
        return true;
    }
    if (!packed_pairs(call_locals, pairs)) return false;
    out.push_back('(');
    Span tag;
    if (packed_find(pairs, "__sarn__", tag)) {
        Result<bool> done = packed_value(call_locals, args_width, out);
        if (!done || !*done) return done;
        out.push_back(')');
        return true;
    }
    if (!packed_plain_keys(pairs)) return false;
    ArgumentList list(out, args_width, value_width);
    for (const auto& [key, item] : pairs) {
        std::string_view name = packed_head(key).data;
        if (name == "__class__") continue;
        auto room = list.next(name);
        if (!room) break;
        Result<bool> done = packed_value(item, *room, out);
        if (!done || !*done) return done;
        list.written();
    }
    out.push_back(')');
    return true;
}

Result<bool> FrameText::line(const PackedParts& parts, const LineStyle& style, std::string& out) {
    PackedRecord call, ret;
    if (!packed_record(parts.call, call) || !packed_record(parts.ret, ret)) return false;
    const PackedRecord* record = call.filled ? &call : ret.filled ? &ret : nullptr;
    // The name: a class body's qualified name is known once it has run.
    std::string_view name = "?";
    bool named = false;
    for (const PackedRecord* source : {&call, &ret}) {
        if (!source->filled || source->qualname.empty()) continue;
        Head qualname = packed_head(source->qualname);
        if (qualname.kind == Kind::nil) continue;
        if (qualname.kind != Kind::str) return false;
        if (qualname.data.empty()) continue;
        if (!ascii_only(qualname.data)) return false;
        name = qualname.data;
        named = true;
        break;
    }
    Head co_name = record != nullptr && !record->co_name.empty() ? packed_head(record->co_name) : Head{};
    if (co_name.kind != Kind::invalid && co_name.kind != Kind::nil && co_name.kind != Kind::str) return false;
    if (!named && co_name.kind == Kind::str && !co_name.data.empty()) {
        if (!ascii_only(co_name.data)) return false;
        name = co_name.data;
    }
    bool module_body = co_name.kind == Kind::str && co_name.data == "<module>";
    bool body = module_body;
    for (const PackedRecord* source : {&call, &ret}) {
        if (body || !source->filled || source->locals.empty()) continue;
        Pairs pairs;
        if (packed_head(source->locals).kind != Kind::map) continue;
        if (!packed_pairs(source->locals, pairs)) return false;
        Span found;
        body = packed_find(pairs, "__qualname__", found) && packed_find(pairs, "__module__", found);
    }
    auto coloured = [&](const std::string& colour, std::string_view text) {
        if (colour.empty()) {
            out.append(text);
            return;
        }
        out.append(colour);
        out.append(text);
        out.append(style.reset);
    };
    if ((!module_body && body) || name.substr(0, 6) == "class ") out.append("class ");
    std::string part;
    printable(name, part);
    coloured(style.name, part);
    if (call.present && !body) {
        Result<bool> done = packed_args(call.locals, !call.locals.empty(), out);
        if (!done || !*done) return done;
    }
    // How it ended.
    if (parts.resumed) coloured(style.mark, " resumed");
    bool raised = false;
    if (parts.exception != nullptr) {
        Result<int> normal = normal_exit(parts.exception);
        if (!normal) return fail(std::move(normal.error()));
        raised = *normal == 0;
        part = raised ? " !! " : " exits: ";
        Result<bool> done = exception_text(parts.exception, part);
        if (!done || !*done) return done;
        coloured(raised ? style.error : style.mark, part);
    } else if (ret.present && (parts.suspended || !body)) {
        out.append(parts.suspended ? " <- yield " : " -> ");
        part.clear();
        Result<bool> done = packed_value(ret.arg, value_width, part);
        if (!done || !*done) return done;
        coloured(style.value, part);
    }
    // Where it was, where it raised, what called it, how long it took.
    std::string_view path_text;
    bool has_path = false;
    if (record != nullptr && !record->path.empty()) {
        Head path = packed_head(record->path);
        if (path.kind != Kind::nil && path.kind != Kind::str) return false;
        if (path.kind == Kind::str && !path.data.empty()) {
            if (!ascii_only(path.data)) return false;
            path_text = path.data;
            has_path = true;
            out.append("  ");
            part.clear();
            printable(path_text, part);
            coloured(style.dim, part);
        }
    }
    if (raised && ret.present && !ret.path.empty()) {
        Head left = packed_head(ret.path);
        if (left.kind == Kind::str) {
            std::string_view left_text = left.data;
            if (!ascii_only(left_text) || (!left_text.empty() && left_text.back() == '\n')) return false;
            size_t digits = left_text.size();
            while (digits > 0 && is_digit(left_text[digits - 1])) --digits;
            if (digits < left_text.size() && digits > 0 && left_text[digits - 1] == ':') {
                out.append("  ");
                part = "raised at line ";
                part.append(left_text.substr(digits));
                coloured(style.error, part);
            }
        }
    }
    Head line_number;
    if (record != nullptr && !record->site.empty() && packed_head(record->site).kind == Kind::map) {
        Pairs site;
        Span found;
        if (!packed_pairs(record->site, site)) return false;
        if (packed_find(site, "line_number", found)) line_number = packed_head(found);
    }
    if ((line_number.kind == Kind::uint || line_number.kind == Kind::sint) && parts.caller_path != nullptr) {
        std::string_view caller = *parts.caller_path;
        if (!ascii_only(caller) || (!caller.empty() && caller.back() == '\n')) return false;
        size_t digits = caller.size();
        while (digits > 0 && is_digit(caller[digits - 1])) --digits;
        if (digits < caller.size() && digits > 0 && caller[digits - 1] == ':') caller = caller.substr(0, digits - 1);
        std::string site_text(caller);
        site_text.push_back(':');
        if (line_number.kind == Kind::uint) packed_unsigned(site_text, line_number.uint_value);
        else integer(site_text, line_number.sint_value);
        if (!has_path || site_text != path_text) {
            out.append("  ");
            part = "from ";
            printable(site_text, part);
            coloured(style.dim, part);
        }
    }
    if (call.present && ret.present && !call.timestamp.empty() && !ret.timestamp.empty()) {
        Head start = packed_head(call.timestamp);
        Head end = packed_head(ret.timestamp);
        auto number = [](const Head& head) {
            return head.kind == Kind::uint || head.kind == Kind::sint || head.kind == Kind::real;
        };
        if (number(start) && number(end)) {
            // A number as Python's float() gives it; false past 64 bits signed.
            auto as_double = [](const Head& head) {
                double value;
                if (head.kind == Kind::real) std::memcpy(&value, &head.uint_value, sizeof value);
                else if (head.kind == Kind::uint) value = static_cast<double>(head.uint_value);
                else value = static_cast<double>(head.sint_value);
                return value;
            };
            double seconds;
            if (start.kind != Kind::real && end.kind != Kind::real) {
                auto big = [](const Head& head) {
                    return head.kind == Kind::uint && head.uint_value > static_cast<uint64_t>(INT64_MAX);
                };
                if (big(start) || big(end)) return false;
                long long first = start.kind == Kind::uint ? static_cast<long long>(start.uint_value) : start.sint_value;
                long long last = end.kind == Kind::uint ? static_cast<long long>(end.uint_value) : end.sint_value;
                if ((first < 0) != (last < 0)) return false;  // a difference past 64 bits
                seconds = static_cast<double>(last - first);
            } else {
                seconds = as_double(end) - as_double(start);
            }
            out.append("  ");
            part.clear();
            if (Status done = duration_text(seconds > 0.0 ? seconds : 0.0, part); !done) {
                return fail(std::move(done.error()));
            }
            coloured(style.time, part);
        }
    }
    if (!call.present) {
        out.append("  ");
        coloured(style.dim, "[entered before recording]");
    } else if (!ret.present) {
        out.append("  ");
        coloured(style.dim, "[no return recorded]");
    }
    return true;
}

}  // namespace sarn::serialize
