// The trace stores: filing each event's records, and assembling everything
// recorded into one trace document.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "profiler/batch.hpp"
#include "profiler/state.hpp"
#include "profiler/trace_document.hpp"
#include "utils/error.hpp"

namespace sarn {

// Files one event's records: reversed for a return (so that a return's frame
// record precedes its plugin payloads), cut at test boundaries when one trace
// per test is on, then stored under the thread.
[[nodiscard]] Status hand_over_records(ProfilerState& state, FrameEvent event, Batch&& batch);

// The hand-over of a batch that holds only a frame record of the calling
// thread: no plugin payload to order or to scan for test boundaries.
void hand_over_frame_record(ProfilerState& state, const ThreadInfo& thread, FrameEvent event,
                            std::string_view record);

// The same for a frame record followed by the record that notes its
// exception, suspension or resumption.
void hand_over_noted_frame_record(ProfilerState& state, const ThreadInfo& thread, std::string_view record,
                                  std::string_view note);

// Appends records [from, to) of an event's batch to the main list, or to the
// thread's own list when threads are recorded separately, counting its frame
// records and keeping the trace's first test record. Moves the records;
// cannot fail.
void store_batch_range(ProfilerState& state, std::optional<uint64_t> native_id, FrameEvent event, Batch& batch,
                       size_t from, size_t to);

// Starts counting the bytes of a new trace towards its limit: when the stores
// are emptied.
void reset_trace_limit(ProfilerState& state) noexcept;

// Empties the stores into a new trace document (`bytes`).
[[nodiscard]] Result<Ref> build_trace(ProfilerState& state);

// Empties the stores into a trace document read piece by piece.
[[nodiscard]] Result<TraceDocument> take_trace_document(ProfilerState& state);

}  // namespace sarn
