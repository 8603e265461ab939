// The first fields of a thread's frame records, remembered.
//
// A frame record starts with its map header, "path" (file and line),
// "co_name", "qualname", "event" and the key "frame_id". A thread's records
// repeat these for the same code object, line and event, so one small table
// per thread keeps the bytes written last for each: a copy costs less than
// writing six fields. An entry holds its code object (its address is never
// mistaken for a freed one's), the working directory's version the file name
// was made relative to, and the qualified name, compared by its text.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "profiler/batch.hpp"
#include "utils/ref.hpp"

namespace sarn {

class RecordHeads {
public:
    struct Key {
        PyCodeObject* code;
        int line;
        FrameEvent event;
        uint64_t directory_version;
        const std::string* qualname;  // null when the frame has no name
    };

    // The bytes remembered for `key`; empty when there are none.
    [[nodiscard]] std::string_view find(const Key& key) const noexcept {
        if (!slots_) return {};
        const Slot& slot = slots_[index(key)];
        if (slot.code.get() != reinterpret_cast<PyObject*>(key.code) || slot.line != key.line ||
            slot.event != key.event || slot.directory_version != key.directory_version ||
            !same_name(slot, key.qualname)) {
            return {};
        }
        return slot.head;
    }

    void remember(const Key& key, std::string_view head) {
        if (!slots_) slots_ = std::make_unique<Slot[]>(size);
        Slot& slot = slots_[index(key)];
        slot.code = Ref::borrow(reinterpret_cast<PyObject*>(key.code));
        slot.line = key.line;
        slot.event = key.event;
        slot.directory_version = key.directory_version;
        slot.named = key.qualname != nullptr;
        slot.qualname.assign(slot.named ? *key.qualname : std::string());
        slot.head.assign(head);
    }

private:
    struct Slot {
        Ref code;
        int line = 0;
        FrameEvent event = FrameEvent::call;
        uint64_t directory_version = 0;
        bool named = false;
        std::string qualname;
        std::string head;
    };
    static constexpr size_t size = 256;

    static size_t index(const Key& key) noexcept {
        const auto address = reinterpret_cast<uintptr_t>(key.code);
        return ((address >> 4) ^ static_cast<uintptr_t>(key.line) * 0x9E3779B1u ^ static_cast<uintptr_t>(key.event)) %
               size;
    }

    static bool same_name(const Slot& slot, const std::string* qualname) noexcept {
        if (qualname == nullptr) return !slot.named;
        return slot.named && slot.qualname.size() == qualname->size() &&
               std::memcmp(slot.qualname.data(), qualname->data(), qualname->size()) == 0;
    }

    std::unique_ptr<Slot[]> slots_;  // made at the first record
};

}  // namespace sarn
