// Saving traces through the host package, and cutting one trace per test.
#pragma once

#include <cstdint>
#include <optional>

#include "profiler/batch.hpp"
#include "profiler/state.hpp"
#include "utils/error.hpp"

namespace sarn {

// Builds the trace and hands it to `sarn.db.save_trace_in_sqlite`.
[[nodiscard]] Status save_request_in_db(ProfilerState& state);

// Acts on "start_test" (store what precedes, then start a new trace) and
// "end_test" (store up to and including it, then save) in one batch. Leaves
// in the batch only the records it has not stored.
[[nodiscard]] Status scan_test_boundaries(ProfilerState& state, Batch& batch, FrameEvent event,
                                          std::optional<uint64_t> native_id);

}  // namespace sarn
