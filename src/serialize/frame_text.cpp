#include "serialize/frame_text.hpp"

#include <algorithm>
#include <charconv>
#include <string_view>
#include <utility>
#include <vector>

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
    for (char c : text) {
        if (is_control(c)) escaped_control(c, out);
        else out.push_back(c);
    }
}

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
        if (total != nullptr && count > size) {
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
            return wrap("dict", text);
        }
        if (kind == "set" && texts.empty()) {
            text = "set()";
        } else {
            text = kind == "list" ? "[" : kind == "tuple" ? "(" : kind == "set" ? "{" : "frozenset({";
            if (kind == "tuple" && texts.size() == 1 && total == nullptr && !more) {
                text.append(texts[0]);
                text.push_back(',');
            } else {
                join(texts, text);
            }
            text.append(kind == "list" ? "]" : kind == "tuple" ? ")" : kind == "set" ? "}" : "})");
        }
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
    Py_ssize_t used = 0;
    bool first = true;
    PyObject* key;
    PyObject* item;
    Py_ssize_t at = 0;
    while (PyDict_Next(local_values, &at, &key, &item)) {
        std::string_view name;
        if (!ascii_of(key, name)) return false;
        if (name == "__class__") continue;
        if (!first) out.append(", ");
        first = false;
        if (used > args_width) {
            out.append("...");
            break;
        }
        size_t start = out.size();
        printable(name, out);
        out.push_back('=');
        Py_ssize_t room = std::min(value_width, std::max<Py_ssize_t>(12, args_width - used));
        Result<bool> done = value(item, room, out);
        if (!done || !*done) return done;
        used += static_cast<Py_ssize_t>(out.size() - start) + 2;
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

}  // namespace sarn::serialize
