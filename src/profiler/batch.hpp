// The records one event produces, in order, with their type names.
#pragma once

#include <string>
#include <vector>

#include "utils/msgpack_writer.hpp"

namespace sarn {

enum class FrameEvent { call, ret };

inline const char* event_text(FrameEvent event) noexcept { return event == FrameEvent::call ? "call" : "return"; }

struct Batch {
    std::vector<std::string> types;  // "frame" or a plugin's type name
    std::vector<Bytes> records;      // encoded MessagePack maps, index-aligned with `types`

    void append(std::string type, Bytes record) {
        types.push_back(std::move(type));
        records.push_back(std::move(record));
    }
};

}  // namespace sarn
