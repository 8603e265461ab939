// Matching the loaded plugins against one event and building their payloads
// (frames of interest), which join the event's batch before the frame record.
#pragma once

#include <Python.h>

#include <string_view>

#include "profiler/batch.hpp"
#include "profiler/report.hpp"
#include "profiler/state.hpp"

namespace sarn {

struct PluginEvent {
    EventSite site;
    PyObject* arg;  // never null: None when the interpreter gives no value
    std::string_view filename;
    std::string_view name;
};

// Appends one (type, payload) pair per matching plugin, in table order. A
// failing plugin is reported and skipped; the others still run.
void run_plugins(ProfilerState& state, ThreadCache& thread, const PluginEvent& event, Batch& batch);

}  // namespace sarn
