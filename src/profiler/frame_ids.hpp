// Frame ids remembered per frame object, so that a return finds the id its
// call was given.
#pragma once

#include <Python.h>
#include <frameobject.h>

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

#include "profiler/batch.hpp"
#include "utils/ids.hpp"

namespace sarn {

// Frame object address -> frame id. Entries are never removed: a later call
// on a frame object at the same address replaces its entry.
using FrameIds = std::unordered_map<uintptr_t, FrameId>;

// A call gets a new id from `make_id`, remembered for the frame; a return
// gets the id remembered for its frame, if any.
template <class MakeId>
std::optional<FrameId> frame_id_for_event(FrameIds& ids, PyFrameObject* frame, FrameEvent event, MakeId&& make_id) {
    auto identity = reinterpret_cast<uintptr_t>(frame);
    if (event == FrameEvent::call) return ids.insert_or_assign(identity, make_id()).first->second;
    auto found = ids.find(identity);
    if (found == ids.end()) return std::nullopt;
    return found->second;
}

inline std::optional<FrameId> frame_id_for_event(FrameIds& ids, PyFrameObject* frame, FrameEvent event) {
    return frame_id_for_event(ids, frame, event, [] { return FrameId::make(); });
}

}  // namespace sarn
