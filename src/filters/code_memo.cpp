#include "filters/code_memo.hpp"

#include <utility>

namespace sarn {

void CodeMemo::rehash(size_t capacity) {
    std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(capacity));
    size_t mask = capacity - 1;
    for (Slot& slot : old) {
        if (slot.key == nullptr) continue;
        size_t i = hash(slot.key) & mask;
        while (slots_[i].key != nullptr) i = (i + 1) & mask;
        slots_[i] = std::move(slot);
    }
}

CodeFacts CodeMemo::insert(PyCodeObject* code, const CodeFacts& facts) {
    if (count_ >= max_entries) {
        // Released only once the memo is consistent again: freeing a code
        // object can run Python code, which can let another thread in.
        std::vector<Slot> dropped = std::exchange(slots_, std::vector<Slot>(64));
        count_ = 0;
        return insert(code, facts);
    }
    if (slots_.empty()) rehash(64);
    else if ((count_ + 1) * 2 > slots_.size()) rehash(slots_.size() * 2);
    size_t mask = slots_.size() - 1;
    size_t i = hash(code) & mask;
    while (slots_[i].key != nullptr && slots_[i].key != code) i = (i + 1) & mask;
    Slot& slot = slots_[i];
    if (slot.key == nullptr) ++count_;
    slot.key = code;
    slot.owner = Ref::borrow(reinterpret_cast<PyObject*>(code));
    slot.facts = facts;
    return slot.facts;
}

}  // namespace sarn
