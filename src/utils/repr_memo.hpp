// The reprs taken while one record is written, so that a value met more
// than once in it (under two names, or as the return value and a local)
// has its __repr__ run once. It holds the values it names, so that none is
// freed, and its address reused, before the record is done.
#pragma once

#include <Python.h>

#include "utils/ref.hpp"
#include "utils/small_vector.hpp"

namespace sarn {

class ReprMemo {
public:
    // The repr taken of `value` (borrowed), or null.
    [[nodiscard]] PyObject* find(PyObject* value) const noexcept {
        for (const Entry& entry : entries_) {
            if (entry.value.get() == value) return entry.text.get();
        }
        return nullptr;
    }
    void remember(PyObject* value, Ref text) { entries_.push_back({Ref::borrow(value), std::move(text)}); }

private:
    struct Entry {
        Ref value;
        Ref text;
    };
    SmallVector<Entry, 4> entries_;
};

}  // namespace sarn
