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
        const auto wanted = reinterpret_cast<uintptr_t>(code);
        for (size_t i = hash(code) & mask_;; i = (i + 1) & mask_) {
            const uintptr_t key = keys_[i];
            if ((key & ~skip_bit) == wanted) return (key & skip_bit) != 0;
            if (key == 0) return false;
        }
    }

    [[nodiscard]] const CodeFacts* find(PyCodeObject* code) const noexcept {
        for (size_t i = hash(code) & mask_;; i = (i + 1) & mask_) {
            const Slot& slot = slots_[i];
            if (slot.key == code) return &slot.facts;
            if (slot.key == nullptr) return nullptr;
        }
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
        PyCodeObject* key = nullptr;
        Ref owner;  // keeps `key` alive
        CodeFacts facts;
    };

    static size_t hash(PyCodeObject* code) noexcept {
        auto bits = reinterpret_cast<uintptr_t>(code);
        bits ^= bits >> 17;
        bits *= 0x9E3779B97F4A7C15ull;
        return static_cast<size_t>(bits ^ (bits >> 29));
    }
    void rehash(size_t capacity);

    static uintptr_t tagged_key(PyCodeObject* code, const CodeFacts& facts) noexcept {
        const bool skipped = facts.skipped_by_name && !facts.included && !facts.watched;
        return reinterpret_cast<uintptr_t>(code) | (skipped ? skip_bit : 0);
    }

    std::vector<Slot> slots_;
    std::vector<uintptr_t> keys_;  // index-aligned with slots_; 0 for a free slot
    size_t mask_ = 0;
    size_t count_ = 0;
};

}  // namespace sarn
