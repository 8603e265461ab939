#include "serialize/json_pass.hpp"

#include <charconv>
#include <cmath>
#include <deque>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "lib/entry_point.hpp"
#include "serialize/json_text.hpp"
#include "serialize/msgpack_cursor.hpp"
#include "serialize/pass_type.hpp"
#include "serialize/record_scan.hpp"
#include "utils/error.hpp"
#include "utils/ref.hpp"

namespace sarn::serialize {

// Its own namespace: the module's sources are built as one unit.
namespace json_pass {
namespace {

using namespace json_text;

// Text held before it is handed to `write`.
constexpr size_t flush_size = 1 << 20;
// Nesting the writer follows itself; deeper values go to `dump`.
constexpr int max_depth = 256;
// Map keys compared pairwise up to this count, through a set above it.
constexpr size_t few_keys = 16;

void base64(std::string& out, std::string_view data) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
    size_t i = 0;
    for (; i + 3 <= data.size(); i += 3) {
        uint32_t group = (uint32_t{bytes[i]} << 16) | (uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
        out.push_back(alphabet[(group >> 18) & 63]);
        out.push_back(alphabet[(group >> 12) & 63]);
        out.push_back(alphabet[(group >> 6) & 63]);
        out.push_back(alphabet[group & 63]);
    }
    size_t left = data.size() - i;
    if (left == 0) return;
    uint32_t group = uint32_t{bytes[i]} << 16;
    if (left == 2) group |= uint32_t{bytes[i + 1]} << 8;
    out.push_back(alphabet[(group >> 18) & 63]);
    out.push_back(alphabet[(group >> 12) & 63]);
    out.push_back(left == 2 ? alphabet[(group >> 6) & 63] : '=');
    out.push_back('=');
}

// Writes one value as json.dumps(jsonable(value)) does; false (nothing
// pending) when the value is one the pass leaves to Python.
class Writer {
public:
    Writer(std::string& out, int indent) : out_(out), indent_(indent) {}

    Result<bool> value(Cursor& cursor, int depth, int level) {
        Head head = cursor.next();
        if (cursor.failed()) return false;
        switch (head.kind) {
            case Kind::nil: out_.append("null"); return true;
            case Kind::boolean: out_.append(head.uint_value ? "true" : "false"); return true;
            case Kind::uint: number(out_, head.uint_value); return true;
            case Kind::sint: number(out_, head.sint_value); return true;
            case Kind::real: {
                double number;
                std::memcpy(&number, &head.uint_value, sizeof number);
                return real(number);
            }
            case Kind::str: {
                if (Status done = quoted(out_, head.data); !done) return fail(std::move(done.error()));
                return true;
            }
            case Kind::bin: bin(head.data, level); return true;
            case Kind::array: return array(cursor, head.items, depth, level);
            case Kind::map: return map(cursor, head.items, depth, level);
            default: return false;  // an extension type: Python decodes it into an object of its own
        }
    }

private:
    Result<bool> real(double number) {
        if (std::isnan(number)) {
            out_.append("\"nan\"");
            return true;
        }
        if (std::isinf(number)) {
            out_.append(number > 0 ? "\"inf\"" : "\"-inf\"");
            return true;
        }
        if (fixed_repr(out_, number)) return true;
        char* text = PyOS_double_to_string(number, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
        if (text == nullptr) return fail_fetch();
        out_.append(text);
        PyMem_Free(text);
        return true;
    }

    // Before an item of a container at `level`: its separator and indentation.
    void item(bool first, int level) {
        if (indent_ > 0) {
            if (!first) out_.push_back(',');
            out_.push_back('\n');
            out_.append(static_cast<size_t>(indent_) * static_cast<size_t>(level + 1), ' ');
        } else if (!first) {
            out_.append(", ");
        }
    }

    void close(char bracket, int level) {
        if (indent_ > 0) {
            out_.push_back('\n');
            out_.append(static_cast<size_t>(indent_) * static_cast<size_t>(level), ' ');
        }
        out_.push_back(bracket);
    }

    void bin(std::string_view data, int level) {
        out_.push_back('{');
        item(true, level);
        out_.append("\"__sarn__\": \"bin\"");
        item(false, level);
        out_.append("\"type\": \"bytes\"");
        item(false, level);
        out_.append("\"base64\": \"");
        base64(out_, data);
        out_.push_back('"');
        close('}', level);
    }

    Result<bool> array(Cursor& cursor, uint64_t items, int depth, int level) {
        if (depth >= max_depth) return false;
        if (items == 0) {
            out_.append("[]");
            return true;
        }
        out_.push_back('[');
        for (uint64_t i = 0; i < items; ++i) {
            item(i == 0, level);
            Result<bool> done = value(cursor, depth + 1, level + 1);
            if (!done || !*done) return done;
        }
        close(']', level);
        return true;
    }

    // A map's keys become texts as jsonable makes them; a map with a key it
    // would not make so simply (a number that Python would merge with
    // another, a container) or with two keys that become one text is left
    // to Python, which keeps the last value at the first key's place.
    Result<bool> map(Cursor& cursor, uint64_t items, int depth, int level) {
        if (depth >= max_depth) return false;
        if (items == 0) {
            out_.append("{}");
            return true;
        }
        size_t mark = keys_.size();
        size_t owned_mark = owned_.size();
        std::unordered_set<std::string_view> seen;
        std::unordered_set<std::string_view>* many = items > few_keys ? &seen : nullptr;
        out_.push_back('{');
        Result<bool> done = true;
        for (uint64_t i = 0; i < items && done && *done; ++i) {
            item(i == 0, level);
            done = key(cursor, mark, many);
            if (!done || !*done) break;
            out_.append(": ");
            done = value(cursor, depth + 1, level + 1);
        }
        keys_.resize(mark);
        owned_.resize(owned_mark);
        if (done && *done) close('}', level);
        return done;
    }

    Result<bool> key(Cursor& cursor, size_t mark, std::unordered_set<std::string_view>* seen) {
        Head head = cursor.next();
        if (cursor.failed()) return false;
        std::string_view text;
        switch (head.kind) {
            case Kind::str:
                if (valid_utf8(head.data)) {
                    text = head.data;
                } else {
                    Result<std::string> replaced = decoded(head.data, "replace");
                    if (!replaced) return fail(std::move(replaced.error()));
                    text = own(std::move(*replaced));
                }
                break;
            case Kind::bin: {
                Result<std::string> replaced = decoded(head.data, "backslashreplace");
                if (!replaced) return fail(std::move(replaced.error()));
                text = own(std::move(*replaced));
                break;
            }
            case Kind::nil: text = "null"; break;
            case Kind::uint: {
                std::string digits;
                number(digits, head.uint_value);
                text = own(std::move(digits));
                break;
            }
            case Kind::sint: {
                std::string digits;
                number(digits, head.sint_value);
                text = own(std::move(digits));
                break;
            }
            default: return false;
        }
        if (!unique(text, mark, seen)) return false;
        keys_.push_back(text);
        quoted_if_valid(out_, text);
        return true;
    }

    // A key's text made for it, kept in place until its map is written.
    std::string_view own(std::string text) {
        owned_.push_back(std::move(text));
        return owned_.back();
    }

    // Whether `text` is not among the keys of the map being written (those
    // from `mark` on, or those in `seen` for a map of many keys).
    bool unique(std::string_view text, size_t mark, std::unordered_set<std::string_view>* seen) {
        if (seen != nullptr) return seen->insert(text).second;
        for (size_t i = mark; i < keys_.size(); ++i) {
            if (keys_[i] == text) return false;
        }
        return true;
    }

    std::string& out_;
    int indent_;
    // The keys of the maps being written, the innermost last, and the texts
    // made for those that are not texts in the record (a deque keeps them
    // in place as it grows).
    std::vector<std::string_view> keys_;
    std::deque<std::string> owned_;
};

class Pass {
public:
    Pass(PyObject* write, int indent, PyObject* dump)
        : write_(Ref::borrow(write)), dump_(Ref::borrow(dump)), indent_(indent), writer_(text_, indent) {
        text_.reserve(flush_size + (flush_size >> 2));
    }

    void begin_list(int level) {
        level_ = level;
        items_ = 0;
    }

    [[nodiscard]] int64_t items() const { return items_; }

    // The records carry their thread themselves: the fallback is not read.
    Result<Ref> feed(std::string_view data, Py_ssize_t start, Py_ssize_t count, PyObject*, bool lenient) {
        if (start < 0 || static_cast<size_t>(start) > data.size()) {
            return fail(Error::raise(PyExc_ValueError, "start out of range"));
        }
        // The scanner checks the record's own fields; the values under them
        // are checked by the writer, which leaves to the Python reader what
        // that reader must judge (a container as a map key, deep nesting, an
        // extension type), so the scanner skips them without a look.
        record_scan::Scanner scanner(data.substr(static_cast<size_t>(start)), true);
        const char* end = data.data() + start;
        Py_ssize_t taken = 0;
        for (; taken < count; ++taken) {
            record_scan::Record record;
            if (!scanner.record(record)) break;
            Result<bool> written = write_record(record.bytes, lenient);
            if (!written) return fail(std::move(written.error()));
            if (!*written) break;
            end = scanner.position();
        }
        return checked(Py_BuildValue("(nn)", taken, static_cast<Py_ssize_t>(end - data.data())));
    }

    Status flush() {
        if (text_.empty()) return {};
        Ref piece = Ref::steal(PyUnicode_DecodeUTF8(text_.data(), static_cast<Py_ssize_t>(text_.size()), "strict"));
        if (!piece) return fail_fetch();
        text_.clear();
        Ref written = Ref::steal(PyObject_CallFunctionObjArgs(write_.get(), piece.get(), nullptr));
        if (!written) return fail_fetch();
        return {};
    }

private:
    // Writes one record; false (nothing written) when the Python reader
    // must judge it first, as it has when `lenient`.
    Result<bool> write_record(std::string_view bytes, bool lenient) {
        size_t start = text_.size();
        if (items_ > 0) text_.append(indent_ > 0 ? ",\n" : ", ");
        if (indent_ > 0) text_.append(static_cast<size_t>(indent_) * static_cast<size_t>(level_), ' ');
        size_t mark = text_.size();
        Cursor cursor(bytes);
        Result<bool> done = writer_.value(cursor, 0, level_);
        if (!done) return done;
        if (!*done) {
            if (!lenient) {
                text_.resize(start);
                return false;
            }
            text_.resize(mark);
            if (Status dumped = dump(bytes); !dumped) return fail(std::move(dumped.error()));
        }
        ++items_;
        if (text_.size() >= flush_size) {
            if (Status flushed = flush(); !flushed) return fail(std::move(flushed.error()));
        }
        return true;
    }

    // The record's text made by Python, from the record decoded there.
    Status dump(std::string_view bytes) {
        Ref data = Ref::steal(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
        if (!data) return fail_fetch();
        Ref text = Ref::steal(PyObject_CallFunction(dump_.get(), "Oi", data.get(), level_));
        if (!text) return fail_fetch();
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
        if (utf8 == nullptr) return fail_fetch();
        text_.append(utf8, static_cast<size_t>(size));
        return {};
    }

    Ref write_;
    Ref dump_;
    int indent_;
    int level_ = 0;
    int64_t items_ = 0;
    std::string text_;
    Writer writer_;  // writes into text_, declared after it
};

int pass_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"write", "indent", "dump", nullptr};
    PyObject* write;
    PyObject* indent;
    PyObject* dump;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO", const_cast<char**>(names), &write, &indent, &dump)) {
        return -1;
    }
    int spaces = 0;
    if (indent != Py_None) {
        if (!PyLong_Check(indent) || PyBool_Check(indent)) {
            PyErr_SetString(PyExc_TypeError, "indent must be None or an integer");
            return -1;
        }
        long value = PyLong_AsLong(indent);
        if (value == -1 && PyErr_Occurred()) return -1;
        if (value <= 0 || value > 1024) {
            PyErr_SetString(PyExc_ValueError, "indent must be None or from 1 to 1024");
            return -1;
        }
        spaces = static_cast<int>(value);
    }
    return pass_type::replace<Pass>(self, [&] { return new Pass(write, spaces, dump); });
}

Pass* pass_of(PyObject* self) { return pass_type::pass_of<Pass>(self); }

PyObject* pass_begin_list(PyObject* self, PyObject* arg) {
    Pass* pass = pass_of(self);
    if (pass == nullptr) return nullptr;
    long level = PyLong_AsLong(arg);
    if (level == -1 && PyErr_Occurred()) return nullptr;
    if (level < 0 || level > 64) {
        PyErr_SetString(PyExc_ValueError, "level out of range");
        return nullptr;
    }
    pass->begin_list(static_cast<int>(level));
    Py_RETURN_NONE;
}

PyObject* pass_items(PyObject* self, PyObject*) {
    Pass* pass = pass_of(self);
    if (pass == nullptr) return nullptr;
    return PyLong_FromLongLong(pass->items());
}

PyObject* pass_flush(PyObject* self, PyObject*) {
    Pass* pass = pass_of(self);
    if (pass == nullptr) return nullptr;
    return entry_point([&]() -> Result<Ref> {
        if (Status done = pass->flush(); !done) return fail(std::move(done.error()));
        return Ref::borrow(Py_None);
    });
}

PyMethodDef pass_methods[] = {
    {"begin_list", pass_begin_list, METH_O, "The records that follow are items of a list at this level."},
    {"feed", pass_type::feed<Pass>, METH_VARARGS, "(taken, end): records written from byte start on."},
    {"items", pass_items, METH_NOARGS, "The records written in the current list."},
    {"flush", pass_flush, METH_NOARGS, "Hands the text held to write."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace
}  // namespace json_pass

PyTypeObject* json_pass_type() {
    return pass_type::make_type<json_pass::Pass>("sarn._serialize.JsonPass", json_pass::pass_init, json_pass::pass_methods,
                                         "A document's records written as JSON text.");
}

}  // namespace sarn::serialize
