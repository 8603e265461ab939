// The reprs taken while one record is written, so that a value met more
// than once in it (under two names, or as the return value and a local)
// has its __repr__ run once. It holds the values it names, so that none is
// freed, and its address reused, before the record is done.
#pragma once

#include <Python.h>

#include <unordered_map>

#include "utils/ref.hpp"
#include "utils/small_vector.hpp"

namespace sarn {

class ReprMemo {
public:
    // The repr taken of `value` (borrowed), or null.
    [[nodiscard]] PyObject* find(PyObject* value) const noexcept {
        if (!index_.empty()) {
            auto found = index_.find(value);
            return found == index_.end() ? nullptr : entries_[found->second].text.get();
        }
        for (const Entry& entry : entries_) {
            if (entry.value.get() == value) return entry.text.get();
        }
        return nullptr;
    }
    void remember(PyObject* value, Ref text) {
        entries_.push_back({Ref::borrow(value), std::move(text)});
        // A record that shows many objects (a big object graph) looks them
        // up by address rather than by a scan per value.
        if (entries_.size() == kScanned + 1) {
            for (size_t i = 0; i < entries_.size(); ++i) index_.emplace(entries_[i].value.get(), i);
        } else if (entries_.size() > kScanned + 1) {
            index_.emplace(value, entries_.size() - 1);
        }
    }

private:
    static constexpr size_t kScanned = 16;
    struct Entry {
        Ref value;
        Ref text;
    };
    SmallVector<Entry, 4> entries_;
    std::unordered_map<PyObject*, size_t> index_;
};

}  // namespace sarn
