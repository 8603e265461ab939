// The short repr of a built-in container, as the Python half's reprlib
// settings write it (its first items, nested containers to a few levels,
// long strings and numbers cut in the middle), made without running Python
// code. Containers are shown at every event of a frame that holds them (in
// the lightweight form, every one is), and the Python reprlib is slow.
//
// Only shapes whose every part is shown the same way here and in Python are
// made: exact built-in containers holding strings, numbers, None, booleans,
// classes, containers of the same kinds, and objects the writer shows in
// object's own form. Anything else is left to the Python half.
#pragma once

#include <Python.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "utils/ref.hpp"

namespace sarn::serialize {

// reprlib's settings, as the Python half gives them.
struct ReprSettings {
    Py_ssize_t maxlevel = 0;
    Py_ssize_t maxtuple = 0;
    Py_ssize_t maxlist = 0;
    Py_ssize_t maxdict = 0;
    Py_ssize_t maxset = 0;
    Py_ssize_t maxfrozenset = 0;
    Py_ssize_t maxdeque = 0;
    Py_ssize_t maxstring = 0;
    Py_ssize_t maxlong = 0;
    Py_ssize_t maxother = 0;
};

// The text of a short repr as it is made, in UTF-8: its many short pieces
// are appended inline, into room that its maker keeps from one repr to the
// next (the commonest fit in the first, which needs no allocation).
class ReprText {
public:
    ReprText() = default;
    ReprText(const ReprText&) = delete;
    ReprText& operator=(const ReprText&) = delete;

    void clear() noexcept {
        used_ = 0;
        ascii_ = true;
    }
    // Said by whoever appends text that may not be ASCII.
    void note_non_ascii() noexcept { ascii_ = false; }
    [[gnu::always_inline]] ReprText& append(const char* data, size_t size) {
        std::memcpy(claim(size), data, size);
        return *this;
    }
    ReprText& append(std::string_view text) { return append(text.data(), text.size()); }
    [[gnu::always_inline]] void push_back(char c) { *claim(1) = c; }
    [[gnu::always_inline]] void append_int(long long number) {
        if (number >= 0 && number < 10) return push_back(static_cast<char>('0' + number));
        append_digits(number);
    }
    size_t size() const noexcept { return used_; }
    std::string_view view() const noexcept { return {data_, used_}; }
    // Its characters when they are known without counting (all ASCII), -1
    // otherwise.
    Py_ssize_t characters() const noexcept { return ascii_ ? static_cast<Py_ssize_t>(used_) : -1; }

private:
    [[gnu::noinline]] void append_digits(long long number) {
        constexpr size_t most = 20;  // digits and sign of any long long
        char* at = claim(most);
        used_ -= static_cast<size_t>(at + most - std::to_chars(at, at + most, number).ptr);
    }
    [[gnu::always_inline]] char* claim(size_t size) {
        if (capacity_ - used_ < size) [[unlikely]] grow(size);
        char* at = data_ + used_;
        used_ += size;
        return at;
    }
    [[gnu::noinline]] void grow(size_t size) {
        const size_t wanted = std::max(2 * capacity_, used_ + size);
        auto bigger = std::make_unique<char[]>(wanted);
        std::memcpy(bigger.get(), data_, used_);
        heap_ = std::move(bigger);
        data_ = heap_.get();
        capacity_ = wanted;
    }

    char inline_[512];
    std::unique_ptr<char[]> heap_;
    char* data_ = inline_;
    size_t capacity_ = sizeof inline_;
    size_t used_ = 0;
    bool ascii_ = true;
};

// Appends how an object that is not a container is shown inside one, when
// it is shown in object's own form; false (nothing set) otherwise.
class ObjectShower {
public:
    virtual bool show(PyObject* value, ReprText& out) = 0;

protected:
    ~ObjectShower() = default;
};

// Appends the repr to `out` as UTF-8; false (nothing set, `out` then
// holding a partial text) when the shape is not one made here. Once `out`
// holds `enough` bytes no more items are shown: a text that long is cut
// anyway, and what comes later cannot change its start. `shown` counts the
// items looked at.
bool container_repr_text(PyObject* value, const ReprSettings& settings, ObjectShower& objects, size_t enough,
                         ReprText& out, Py_ssize_t& shown);

// UTF-8 `text` cut to its first `limit` characters and "..." when longer.
void cut_to_characters(std::string& text, Py_ssize_t limit);

// Exactly list, tuple, dict, set or frozenset: what the short reprs read
// with the interpreter's own item access.
inline bool is_builtin_container(PyTypeObject* type) noexcept {
    return type == &PyList_Type || type == &PyTuple_Type || type == &PyDict_Type || type == &PySet_Type ||
           type == &PyFrozenSet_Type;
}

#ifndef Py_GIL_DISABLED
// Calls `visit` with each of the first `limit` items of a set or frozenset,
// in the order its iterator gives them, read in place from its table. Only
// under the interpreter lock, and only while no Python code runs: the table
// is not held. A removed key leaves a slot whose hash is -1, which no key
// has.
template <class Visit>
void visit_first_set_items(PyObject* set, Py_ssize_t limit, Visit&& visit) {
    auto* object = reinterpret_cast<PySetObject*>(set);
    Py_ssize_t seen = 0;
    for (Py_ssize_t i = 0; i <= object->mask && seen < limit; ++i) {
        const setentry& entry = object->table[i];
        if (entry.key == nullptr || entry.hash == -1) continue;
        visit(entry.key);
        ++seen;
    }
}
#endif

}  // namespace sarn::serialize
