#include "filters/code_memo.hpp"

#include <utility>

namespace sarn {

void CodeMemo::rehash(size_t capacity) {
    std::vector<Slot> old_slots = std::exchange(slots_, std::vector<Slot>(capacity));
    std::vector<uintptr_t> old_keys = std::exchange(keys_, std::vector<uintptr_t>(capacity, 0));
    mask_ = capacity - 1;
    for (size_t from = 0; from < old_keys.size(); ++from) {
        if (old_keys[from] == 0) continue;
        const size_t to = position(reinterpret_cast<PyCodeObject*>(old_keys[from] & ~skip_bit));
        keys_[to] = old_keys[from];
        slots_[to] = std::move(old_slots[from]);
    }
}

CodeFacts CodeMemo::insert(PyCodeObject* code, const CodeFacts& facts) {
    if (count_ >= max_entries) {
        // Released only once the memo is consistent again: freeing a code
        // object can run Python code, which can let another thread in.
        std::vector<Slot> dropped = std::exchange(slots_, std::vector<Slot>());
        keys_.clear();
        count_ = 0;
        rehash(initial_capacity);
        return insert(code, facts);
    }
    if ((count_ + 1) * 2 > slots_.size()) rehash(slots_.size() * 2);
    const size_t i = position(code);
    if (keys_[i] == 0) ++count_;
    keys_[i] = tagged_key(code, facts);
    slots_[i].owner = Ref::borrow(reinterpret_cast<PyObject*>(code));
    slots_[i].facts = facts;
    return facts;
}

}  // namespace sarn
