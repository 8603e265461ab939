// Plugins loaded from the host: which function names they watch, how they
// match a frame, and the Python callables that build their payloads.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "filters/fragments.hpp"
#include "profiler/frame_ids.hpp"
#include "utils/error.hpp"
#include "utils/ref.hpp"

namespace sarn {

struct PluginRecord {
    // Frame address -> the id this plugin gave the frame on its call event.
    FrameIds frame_ids;
    SubstringSearcher path_fragment{""};
    std::string call_type;
    std::string return_type;
    std::optional<std::string> subtype;
    std::optional<std::vector<std::string>> events;
    Ref call;     // optional
    Ref process;  // optional
    Ref context;  // shared by the records of one specification
};

struct PluginTable {
    std::unordered_map<std::string, std::vector<PluginRecord>> by_name;
};

// Builds the table from `sarn.plugins.load_plugin_data(config)`.
[[nodiscard]] Result<PluginTable> load_plugins(PyObject* config);

// The names the table watches, for lock-free checks on every event.
[[nodiscard]] std::unordered_set<std::string> watched_names(const PluginTable& table);

}  // namespace sarn
