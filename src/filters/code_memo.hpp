// Remembered facts about code objects, so that a skipped frame costs a lookup.
//
// Everything the filter decides from `co_filename` alone, and whether a plugin
// watches `co_name`, is the same for every event of one code object. The memo
// holds a reference to each code object it describes, so an entry can never be
// applied to a different code object that happens to reuse a freed address.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "utils/ref.hpp"

namespace sarn {

struct CodeFacts {
    // UTF-8 views into the code object's own str objects (the interpreter
    // caches the encoding inside them; the memo keeps the code object alive).
    std::string_view filename;
    std::string_view name;
    bool valid = false;         // both names are text
    bool included = false;      // an include fragment matches: always kept
    bool skipped_by_name = false;  // a file-name test or an ignore fragment matches
    bool watched = false;       // some plugin is registered under `name`
    bool attrs_generated = false;  // the file name is that of code attrs generated
    bool attr_make = false;        // the file is attrs' class builder

    // A library frame that no plugin watches: nothing at all is done for it.
    [[nodiscard]] bool skipped_outright() const noexcept { return skipped_by_name && !included && !watched; }
};

class CodeMemo {
public:
    CodeMemo() { rehash(initial_capacity); }
    CodeMemo(const CodeMemo&) = delete;
    CodeMemo& operator=(const CodeMemo&) = delete;

    // Whether `code` is known and skipped outright: a library frame that no
    // plugin watches. This is the whole cost of most events, so it reads
    // only a dense array of keys, each tagged with that one answer.
    [[nodiscard]] bool skips(PyCodeObject* code) const noexcept {
        const size_t i = position(code);
        return (keys_[i] & skip_bit) != 0;
    }

    [[nodiscard]] const CodeFacts* find(PyCodeObject* code) const noexcept {
        const size_t i = position(code);
        return keys_[i] != 0 ? &slots_[i].facts : nullptr;
    }

    CodeFacts insert(PyCodeObject* code, const CodeFacts& facts);

    [[nodiscard]] size_t size() const noexcept { return count_; }

private:
    // Beyond this many code objects (programs that compile code in a loop),
    // the memo starts afresh rather than keeping them all alive.
    static constexpr size_t max_entries = 1 << 16;
    static constexpr size_t initial_capacity = 64;
    // Code objects are aligned, so the lowest bit of their address is free.
    static constexpr uintptr_t skip_bit = 1;

    struct Slot {
        Ref owner;  // keeps the code object of the slot's key alive
        CodeFacts facts;
    };

    static size_t hash(PyCodeObject* code) noexcept {
        auto bits = reinterpret_cast<uintptr_t>(code);
        bits ^= bits >> 17;
        bits *= 0x9E3779B97F4A7C15ull;
        return static_cast<size_t>(bits ^ (bits >> 29));
    }
    void rehash(size_t capacity);

    // The slot holding `code`, or the free slot where it would go.
    [[nodiscard]] size_t position(PyCodeObject* code) const noexcept {
        const auto wanted = reinterpret_cast<uintptr_t>(code);
        size_t i = hash(code) & mask_;
        while (keys_[i] != 0 && (keys_[i] & ~skip_bit) != wanted) i = (i + 1) & mask_;
        return i;
    }

    static uintptr_t tagged_key(PyCodeObject* code, const CodeFacts& facts) noexcept {
        return reinterpret_cast<uintptr_t>(code) | (facts.skipped_outright() ? skip_bit : 0);
    }

    std::vector<Slot> slots_;
    std::vector<uintptr_t> keys_;  // code object address | skip bit; 0 for a free slot
    size_t mask_ = 0;
    size_t count_ = 0;
};

}  // namespace sarn
