// A memo per class, found by the class's address (any pointer will do),
// held in one array with open addressing: a lookup reads one slot, where an
// unordered map chased a bucket, a node and the node's own text. The walker
// asks it at every object it shows with object's own repr, and between two
// events the program has pushed most of it out of the caches.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace sarn::serialize {

template <class Entry>
class ClassMemo {
public:
    // The class's entry, or null.
    [[nodiscard]] const Entry* find(const void* type) const noexcept {
        if (slots_.empty()) return nullptr;
        for (size_t at = home(type);; at = (at + 1) & (slots_.size() - 1)) {
            const Slot& slot = slots_[at];
            if (slot.type == type) return &slot.entry;
            if (slot.type == nullptr) return nullptr;
        }
    }

    // Sets the class's entry. What it replaces, and every entry once the
    // memo holds `most` classes (it then starts again), is moved to
    // `released`: releasing a reference may free a class, which the caller
    // does after its lock.
    void put(const void* type, Entry entry, std::vector<Entry>& released) {
        if (count_ >= most) {
            for (Slot& slot : slots_) {
                if (slot.type != nullptr) released.push_back(std::move(slot.entry));
            }
            slots_.clear();
            count_ = 0;
        }
        if (2 * (count_ + 1) > slots_.size()) grow();
        for (size_t at = home(type);; at = (at + 1) & (slots_.size() - 1)) {
            Slot& slot = slots_[at];
            if (slot.type == type) {
                released.push_back(std::exchange(slot.entry, std::move(entry)));
                return;
            }
            if (slot.type == nullptr) {
                slot.type = type;
                slot.entry = std::move(entry);
                ++count_;
                return;
            }
        }
    }

    [[nodiscard]] size_t size() const noexcept { return count_; }

private:
    static constexpr size_t most = 4096;

    struct Slot {
        const void* type = nullptr;
        Entry entry{};
    };

    size_t home(const void* type) const noexcept {
        const auto mixed = static_cast<size_t>((reinterpret_cast<uintptr_t>(type) * 0x9E3779B97F4A7C15ull) >> 32);
        return mixed & (slots_.size() - 1);
    }

    // Twice the slots (16 at first), the entries placed again.
    void grow() {
        std::vector<Slot> old(slots_.empty() ? 16 : 2 * slots_.size());
        old.swap(slots_);
        for (Slot& slot : old) {
            if (slot.type == nullptr) continue;
            size_t at = home(slot.type);
            while (slots_[at].type != nullptr) at = (at + 1) & (slots_.size() - 1);
            slots_[at] = std::move(slot);
        }
    }

    std::vector<Slot> slots_;  // a power of two of them, at most half taken
    size_t count_ = 0;
};

}  // namespace sarn::serialize
