#include "filters/code_memo.hpp"

#include <utility>

namespace sarn {

void CodeMemo::rehash(size_t capacity) {
    std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(capacity));
    keys_.assign(capacity, 0);
    mask_ = capacity - 1;
    for (Slot& slot : old) {
        if (slot.key == nullptr) continue;
        size_t i = hash(slot.key) & mask_;
        while (slots_[i].key != nullptr) i = (i + 1) & mask_;
        keys_[i] = tagged_key(slot.key, slot.facts);
        slots_[i] = std::move(slot);
    }
}

CodeFacts CodeMemo::insert(PyCodeObject* code, const CodeFacts& facts) {
    if (count_ >= max_entries) {
        // Released only once the memo is consistent again: freeing a code
        // object can run Python code, which can let another thread in.
        std::vector<Slot> dropped = std::exchange(slots_, std::vector<Slot>());
        count_ = 0;
        rehash(initial_capacity);
        return insert(code, facts);
    }
    if ((count_ + 1) * 2 > slots_.size()) rehash(slots_.size() * 2);
    size_t i = hash(code) & mask_;
    while (slots_[i].key != nullptr && slots_[i].key != code) i = (i + 1) & mask_;
    Slot& slot = slots_[i];
    if (slot.key == nullptr) ++count_;
    slot.key = code;
    slot.owner = Ref::borrow(reinterpret_cast<PyObject*>(code));
    slot.facts = facts;
    keys_[i] = tagged_key(code, facts);
    return slot.facts;
}

}  // namespace sarn
