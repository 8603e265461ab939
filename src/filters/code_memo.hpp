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
    CodeMemo() = default;
    CodeMemo(const CodeMemo&) = delete;
    CodeMemo& operator=(const CodeMemo&) = delete;

    [[nodiscard]] const CodeFacts* find(PyCodeObject* code) const noexcept {
        if (slots_.empty()) return nullptr;
        size_t mask = slots_.size() - 1;
        for (size_t i = hash(code) & mask;; i = (i + 1) & mask) {
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

    std::vector<Slot> slots_;
    size_t count_ = 0;
};

}  // namespace sarn
