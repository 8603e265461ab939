#include "serialize/call_index.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "lib/entry_point.hpp"
#include "serialize/msgpack_cursor.hpp"
#include "serialize/record_scan.hpp"
#include "utils/error.hpp"
#include "utils/interpreter_lock.hpp"
#include "utils/ref.hpp"

namespace sarn::serialize {

namespace {

// Integers beyond this size have no exact double: their argument's range is
// then unbounded, never wrong.
constexpr int64_t number_limit = int64_t{1} << 53;

// What the calls of one name passed in one argument.
struct Argument {
    std::string_view name;  // its UTF-8 bytes in the document
    enum class Numbers { unseen, none, range } numbers = Numbers::unseen;
    double low = 0.0, high = 0.0;
    bool unknown = false;  // the texts passed cannot be told
    bool other = false;    // a value that is not a text was passed
    std::vector<std::string_view> texts;  // distinct, as first passed
};

struct Name {
    std::string_view name;
    uint64_t calls = 0;
    double slowest = 0.0;
    bool plain = true;  // every call's arguments were a plain map
    std::vector<Argument> arguments;  // in the order first passed
    std::vector<size_t> numbered;     // positions in `arguments`, in the order their numbers were first noted
    std::unordered_map<std::string_view, size_t> by_name;
};

// A frame id: absent or nil, or its bytes.
struct FrameId {
    bool set = false;
    std::string_view bytes;

    bool operator==(const FrameId& other) const { return set == other.set && bytes == other.bytes; }
};

struct Started {
    size_t name;
    bool has_time;
    double time;
};

class IndexScan {
public:
    IndexScan(std::string_view data, std::string_view tag, size_t text_limit)
        : cursor_(data), end_(data.data() + data.size()), tag_(tag), text_limit_(text_limit) {}

    // False when the Python reader must read the document.
    bool run() {
        Head top = cursor_.next();
        if (cursor_.failed() || top.kind != Kind::map) return false;
        for (uint64_t i = 0; i < top.items; ++i) {
            Head key = cursor_.next();
            if (cursor_.failed() || !skip_items(key, 1)) return false;
            if (key.kind == Kind::str && key.data == "frames_of_interest") {
                if (!records()) return false;
            } else if (key.kind == Kind::str && key.data == "frames") {
                Head threads = cursor_.next();
                if (cursor_.failed() || threads.kind != Kind::map) return false;
                for (uint64_t t = 0; t < threads.items; ++t) {
                    Head native_id = cursor_.next();
                    if (cursor_.failed()) return false;
                    if (native_id.kind != Kind::uint && native_id.kind != Kind::sint && native_id.kind != Kind::str) {
                        return false;
                    }
                    if (!records()) return false;
                }
            } else if (!skip()) {
                return false;
            }
        }
        return true;
    }

    std::vector<Name> names;
    std::vector<std::pair<size_t, std::string_view>> exceptions;

private:
    bool records() {
        Head list = cursor_.next();
        if (cursor_.failed() || list.kind != Kind::array) return false;
        record_scan::Scanner scanner(std::string_view(cursor_.position(), static_cast<size_t>(end() - cursor_.position())),
                                     false);
        for (uint64_t i = 0; i < list.items; ++i) {
            record_scan::Record record;
            if (!scanner.record(record) || !add(record)) return false;
        }
        cursor_ = Cursor(std::string_view(scanner.position(), static_cast<size_t>(end() - scanner.position())));
        return true;
    }

    [[nodiscard]] const char* end() const { return end_; }

    bool add(const record_scan::Record& record) {
        FrameId frame_id{record.frame_id.set, record.frame_id.bytes};
        // Ids made of other bytes than ASCII are left to the Python reader,
        // which compares them as decoded (with replacements).
        for (char byte : frame_id.bytes) {
            if (static_cast<unsigned char>(byte) >= 0x80) return false;
        }
        if (!record.type.is("frame")) {
            std::optional<std::pair<FrameId, size_t>> ended = std::exchange(ended_, std::nullopt);
            if (ended && record.type.is("exception") && record.frame_id.set == ended->first.set &&
                record.frame_id.bytes == ended->first.bytes) {
                exceptions.emplace_back(ended->second, record.bytes);
            }
            return true;
        }
        ended_.reset();
        if (record.event.is("call")) {
            std::string_view name = record.qualname.truthy() ? record.qualname.bytes
                                    : record.co_name.truthy() ? record.co_name.bytes
                                                              : std::string_view();
            auto [found, added] = name_index_.try_emplace(name, names.size());
            if (added) {
                names.emplace_back();
                names.back().name = name;
            }
            Name& facts = names[found->second];
            ++facts.calls;
            if (facts.plain && !arguments(facts, record.bytes)) return false;
            open(frame_id) = Started{found->second, record.has_timestamp, record.timestamp};
            return true;
        }
        std::optional<Started> started = take(frame_id);
        if (!started) return true;
        Name& facts = names[started->name];
        if (started->has_time && record.has_timestamp) {
            double took = record.timestamp - started->time;
            if (took > facts.slowest) facts.slowest = took;
        }
        ended_ = std::make_pair(frame_id, started->name);
        return true;
    }

    Started& open(const FrameId& id) {
        if (!id.set) {
            unnamed_ = Started{};
            return *unnamed_;
        }
        return open_[id.bytes];
    }

    std::optional<Started> take(const FrameId& id) {
        if (!id.set) return std::exchange(unnamed_, std::nullopt);
        auto found = open_.find(id.bytes);
        if (found == open_.end()) return std::nullopt;
        Started started = found->second;
        open_.erase(found);
        return started;
    }

    // The arguments of a call record (its last "locals"), noted by name.
    bool arguments(Name& facts, std::string_view record) {
        Cursor cursor(record);
        Head head = cursor.next();
        std::string_view values;
        for (uint64_t i = 0; i < head.items; ++i) {
            Head key = cursor.next();
            cursor.skip_items(key);
            const char* start = cursor.position();
            cursor.skip();
            if (cursor.failed()) return false;
            if (key.kind == Kind::str && key.data == "locals") {
                values = std::string_view(start, static_cast<size_t>(cursor.position() - start));
            }
        }
        if (values.data() == nullptr) return true;
        Cursor map(values);
        Head locals = map.next();
        if (locals.kind == Kind::nil) return true;
        if (locals.kind != Kind::map) {
            facts.plain = false;
            return true;
        }
        // Other keys than texts, or the tag's, make them no plain map.
        const char* first = map.position();
        for (uint64_t i = 0; i < locals.items; ++i) {
            Head key = map.next();
            if (map.failed()) return false;
            if (key.kind != Kind::str || key.data == tag_) {
                facts.plain = false;
                return true;
            }
            map.skip();
        }
        map = Cursor(std::string_view(first, static_cast<size_t>(values.data() + values.size() - first)));
        for (uint64_t i = 0; i < locals.items; ++i) {
            Head key = map.next();
            Head value = map.next();
            map.skip_items(value);
            if (map.failed()) return false;
            auto [found, added] = facts.by_name.try_emplace(key.data, facts.arguments.size());
            if (added) {
                facts.arguments.emplace_back();
                facts.arguments.back().name = key.data;
            }
            Argument& argument = facts.arguments[found->second];
            number(facts, found->second, argument, value);
            text(argument, value);
        }
        return true;
    }

    // The least and greatest number passed: what a comparison with a number
    // can be true for (a boolean counts as 0 or 1, as in Python).
    static void number(Name& facts, size_t position, Argument& argument, const Head& value) {
        double low, high;
        switch (value.kind) {
            case Kind::boolean: low = high = static_cast<double>(value.uint_value); break;
            case Kind::uint:
                low = high = static_cast<double>(value.uint_value);
                if (value.uint_value > static_cast<uint64_t>(number_limit)) low = -INFINITY, high = INFINITY;
                break;
            case Kind::sint:
                low = high = static_cast<double>(value.sint_value);
                if (value.sint_value > number_limit || value.sint_value < -number_limit) {
                    low = -INFINITY, high = INFINITY;
                }
                break;
            case Kind::real: {
                double real;
                std::memcpy(&real, &value.uint_value, sizeof real);
                if (std::isnan(real)) return;  // no comparison is true for it
                low = high = real;
                break;
            }
            default:
                if (argument.numbers == Argument::Numbers::unseen) {
                    argument.numbers = Argument::Numbers::none;
                    facts.numbered.push_back(position);
                }
                return;
        }
        if (argument.numbers == Argument::Numbers::unseen) facts.numbered.push_back(position);
        if (argument.numbers != Argument::Numbers::range) {
            argument.numbers = Argument::Numbers::range;
            argument.low = low;
            argument.high = high;
            return;
        }
        if (low < argument.low) argument.low = low;
        if (high > argument.high) argument.high = high;
    }

    // The distinct texts passed, while few; a map (a tagged object compares
    // by its repr text) makes them unknown.
    void text(Argument& argument, const Head& value) const {
        if (argument.unknown) return;
        if (value.kind == Kind::map) {
            argument.unknown = true;
        } else if (value.kind != Kind::str) {
            argument.other = true;
        } else if (std::find(argument.texts.begin(), argument.texts.end(), value.data) == argument.texts.end()) {
            argument.texts.push_back(value.data);
            if (argument.texts.size() > text_limit_) argument.unknown = true;
        }
    }

    // Skips a value as the Python reader would read it: a map key that is a
    // list or a map, or nesting too deep, is damage there.
    bool skip() {
        Head head = cursor_.next();
        return !cursor_.failed() && skip_items(head, 1);
    }

    bool skip_items(const Head& head, int depth) { return record_scan::skip_items_checked(cursor_, head, depth); }

    Cursor cursor_;
    const char* end_;
    std::string_view tag_;
    size_t text_limit_;
    std::unordered_map<std::string_view, size_t> name_index_;
    std::unordered_map<std::string_view, Started> open_;
    std::optional<Started> unnamed_;  // the open call whose frame id is None
    std::optional<std::pair<FrameId, size_t>> ended_;  // the last return, for its exception record
};

// A text of the document, which must be UTF-8: a null Ref (no exception
// pending) when it is not.
Result<Ref> strict_text(std::string_view bytes) {
    PyObject* text = PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "strict");
    if (text != nullptr) return Ref::steal(text);
    if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return fail_fetch();
    PyErr_Clear();
    return Ref();
}

// {argument: [least, greatest] or None}, in the order their numbers were first noted.
Result<Ref> numbers_of(const Name& facts) {
    Ref numbers = Ref::steal(PyDict_New());
    if (!numbers) return fail_fetch();
    for (size_t position : facts.numbered) {
        const Argument& argument = facts.arguments[position];
        Result<Ref> key = strict_text(argument.name);
        if (!key || !*key) return key;
        Ref value = Ref::borrow(Py_None);
        if (argument.numbers == Argument::Numbers::range) {
            value = Ref::steal(Py_BuildValue("[dd]", argument.low, argument.high));
            if (!value) return fail_fetch();
        }
        if (PyDict_SetItem(numbers.get(), key->get(), value.get()) < 0) return fail_fetch();
    }
    return numbers;
}

// {argument: None or (texts, other)}, in the order first passed.
Result<Ref> texts_of(const Name& facts) {
    Ref texts = Ref::steal(PyDict_New());
    if (!texts) return fail_fetch();
    for (const Argument& argument : facts.arguments) {
        Result<Ref> key = strict_text(argument.name);
        if (!key || !*key) return key;
        Ref value = Ref::borrow(Py_None);
        if (!argument.unknown) {
            Ref items = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(argument.texts.size())));
            if (!items) return fail_fetch();
            Py_ssize_t at = 0;
            for (std::string_view bytes : argument.texts) {
                Result<Ref> text = strict_text(bytes);
                if (!text) return text;
                if (!*text) {  // not UTF-8: compared as decoded with replacements, not judged
                    items = Ref();
                    break;
                }
                PyTuple_SET_ITEM(items.get(), at++, text->release());
            }
            if (items) {
                value = Ref::steal(Py_BuildValue("(OO)", items.get(), argument.other ? Py_True : Py_False));
                if (!value) return fail_fetch();
            }
        }
        if (PyDict_SetItem(texts.get(), key->get(), value.get()) < 0) return fail_fetch();
    }
    return texts;
}

Result<Ref> index_of(std::string_view data, std::string_view tag, size_t text_limit) {
    IndexScan scan(data, tag, text_limit);
    bool judged;
    {
        WithoutInterpreterLock released;  // the scan reads only the bytes
        judged = scan.run();
    }
    if (!judged) return Ref::borrow(Py_None);
    Ref names = Ref::steal(PyList_New(0));
    if (!names) return fail_fetch();
    for (const Name& facts : scan.names) {
        Result<Ref> name = strict_text(facts.name);
        if (!name) return name;
        if (!*name) return Ref::borrow(Py_None);
        Ref numbers = Ref::borrow(Py_None), texts = Ref::borrow(Py_None);
        if (facts.plain) {
            Result<Ref> made = numbers_of(facts);
            if (!made) return made;
            if (!*made) return Ref::borrow(Py_None);
            numbers = std::move(*made);
            made = texts_of(facts);
            if (!made) return made;
            if (!*made) return Ref::borrow(Py_None);
            texts = std::move(*made);
        }
        Ref row = Ref::steal(Py_BuildValue("(OKdOO)", name->get(), static_cast<unsigned long long>(facts.calls),
                                           facts.slowest, numbers.get(), texts.get()));
        if (!row || PyList_Append(names.get(), row.get()) < 0) return fail_fetch();
    }
    Ref exceptions = Ref::steal(PyList_New(0));
    if (!exceptions) return fail_fetch();
    for (const auto& [position, bytes] : scan.exceptions) {
        Ref item = Ref::steal(Py_BuildValue("(ny#)", static_cast<Py_ssize_t>(position), bytes.data(),
                                            static_cast<Py_ssize_t>(bytes.size())));
        if (!item || PyList_Append(exceptions.get(), item.get()) < 0) return fail_fetch();
    }
    return checked(PyTuple_Pack(2, names.get(), exceptions.get()));
}

}  // namespace

PyObject* call_index_function(PyObject*, PyObject* args) noexcept {
    Py_buffer view;
    PyObject* tag_text = nullptr;
    Py_ssize_t text_limit = 0;
    if (!PyArg_ParseTuple(args, "y*Un", &view, &tag_text, &text_limit)) return nullptr;
    Py_ssize_t tag_size = 0;
    const char* tag = PyUnicode_AsUTF8AndSize(tag_text, &tag_size);
    if (tag == nullptr || text_limit < 0) {
        PyBuffer_Release(&view);
        if (tag != nullptr) PyErr_SetString(PyExc_ValueError, "text_limit must not be negative");
        return nullptr;
    }
    PyObject* result = entry_point([&] {
        return index_of(std::string_view(static_cast<const char*>(view.buf), static_cast<size_t>(view.len)),
                        std::string_view(tag, static_cast<size_t>(tag_size)), static_cast<size_t>(text_limit));
    });
    PyBuffer_Release(&view);
    return result;
}

}  // namespace sarn::serialize
