#include "profiler/trace.hpp"

#include <algorithm>
#include <string>
#include <type_traits>
#include <utility>

#include "profiler/persistence.hpp"
#include "profiler/thread_info.hpp"
#include "utils/convert.hpp"
#include "utils/host_import.hpp"
#include "utils/ids.hpp"

namespace sarn {

namespace {

// Host values read before anything is taken out of the stores.
struct DocumentInputs {
    std::string version;
    std::optional<std::string> commit_sha;
    std::vector<std::string> argv;
};

Result<DocumentInputs> read_document_inputs() {
    DocumentInputs inputs;
    auto version = import_attribute("sarn.version", "__version__");
    if (!version) return fail(std::move(version.error()));
    auto version_text = to_text(version->get());
    if (!version_text) return fail(std::move(version_text.error()));
    inputs.version = std::move(*version_text);

    auto commit = import_attribute("sarn.git", "COMMIT_SHA");
    if (!commit) return fail(std::move(commit.error()));
    if (commit->get() != Py_None) {
        auto sha = to_text(commit->get());
        if (!sha) return fail(std::move(sha.error()));
        inputs.commit_sha = std::move(*sha);
    }

    auto argv = import_attribute("sys", "argv");
    if (!argv) return fail(std::move(argv.error()));
    auto args = to_text_list(argv->get());
    if (!args) return fail(std::move(args.error()));
    inputs.argv = std::move(*args);
    return inputs;
}

// What the document is made of, taken out of the stores.
struct DocumentContent {
    RecordList frames_of_interest;
    ThreadFrames thread_frames;
    std::string trace_id;
};

Result<DocumentContent> take_stores(ProfilerState& state) {
    DocumentContent content;
    {
        auto list = state.frames_of_interest.lock("frames-of-interest list");
        if (!list) return fail(std::move(list.error()));
        content.frames_of_interest.swap(**list);
    }
    {
        auto map = state.thread_frames.lock("per-thread frames map");
        if (!map) return fail(std::move(map.error()));
        content.thread_frames.swap(**map);
    }
    auto trace_id = state.trace_id.lock("trace id store");
    if (!trace_id) return fail(std::move(trace_id.error()));
    content.trace_id = **trace_id;
    reset_trace_limit(state);
    return content;
}

// Puts taken records back in front of what arrived since, so that a document
// that could not be delivered loses nothing.
void restore_stores(ProfilerState& state, DocumentContent&& content) {
    if (auto list = state.frames_of_interest.lock("frames-of-interest list")) {
        (**list).prepend(std::move(content.frames_of_interest));
    }
    if (auto map = state.thread_frames.lock("per-thread frames map")) {
        for (auto& [native_id, records] : content.thread_frames) (**map)[native_id].prepend(std::move(records));
    }
}

// Writes the document. Given the content as const, it is only read (the
// sizing pass); otherwise each chunk of records is freed once written.
template <class Stream, class Content>
void encode_document(Writer<Stream>& writer, const ProfilerState& state, const DocumentInputs& inputs,
                     Content& content) {
    auto records_array = [&writer](auto& records) {
        if constexpr (std::is_const_v<Content>) write_record_array(writer, records);
        else write_record_array_releasing(writer, records);
    };
    writer.map_header(8);
    writer.str("command_line_args");
    writer.array_header(static_cast<uint32_t>(inputs.argv.size()));
    for (const auto& arg : inputs.argv) writer.str(arg);
    write_opt_str_field(writer, "current_commit_sha", inputs.commit_sha);
    writer.str("frames");
    writer.map_header(static_cast<uint32_t>(content.thread_frames.size()));
    for (auto& [native_id, records] : content.thread_frames) {
        writer.uint(native_id);
        records_array(records);
    }
    writer.str("frames_of_interest");
    records_array(content.frames_of_interest);
    write_opt_uint_field(writer, "main_thread_id", state.main_thread_id);
    writer.str("meta");
    writer.map_header(3);
    write_str_field(writer, "version", inputs.version);
    write_str_field(writer, "source", state.source);
    writer.str("use_frame_boundaries");
    writer.boolean(true);
    write_timestamp_field(writer, state.timestamp);
    write_str_field(writer, "trace_id", content.trace_id);
}

size_t size_of(std::string_view record) noexcept { return record.size(); }
size_t size_of(const std::vector<Bytes>& records) noexcept {
    size_t size = 0;
    for (const Bytes& record : records) size += record.size();
    return size;
}

// The record that ends a trace cut by the limit: {"type": "trace_cut",
// "max_trace_bytes", "timestamp"}.
Bytes trace_cut_marker(const ProfilerState& state) {
    Bytes marker;
    CursorSink sink(marker);
    Writer writer(sink);
    writer.map_header(3);
    write_str_field(writer, "type", "trace_cut");
    writer.str("max_trace_bytes");
    writer.uint(state.max_trace_bytes);
    write_timestamp_field(writer, current_timestamp().value_or(0.0));
    return marker;
}

// False when the records would take the trace past its limit: the first
// time, the marker is stored in their place; later records are dropped.
template <class Records>
bool within_limit(ProfilerState& state, const Records& records) {
    if (state.max_trace_bytes == 0) return true;
    if (state.trace_cut.load(std::memory_order_relaxed)) return false;
    const uint64_t size = size_of(records);
    const uint64_t before = state.stored_bytes.fetch_add(size, std::memory_order_relaxed);
    if (before + size <= state.max_trace_bytes) return true;
    if (!state.trace_cut.exchange(true)) {
        if (auto list = state.frames_of_interest.lock("frames-of-interest list")) (**list).append(trace_cut_marker(state));
    }
    return false;
}

// The records of a thread go to its own list when threads are recorded,
// except those of the main thread (and of a thread without a native id).
template <class Records>
void store(ProfilerState& state, std::optional<uint64_t> native_id, Records&& records) {
    if (!within_limit(state, records)) return;
    bool own_list = native_id && state.threading && (!state.main_thread_id || *native_id != *state.main_thread_id);
    if (own_list) {
        if (auto map = state.thread_frames.lock("per-thread frames map")) (**map)[*native_id].append(std::forward<Records>(records));
        return;
    }
    if (auto list = state.frames_of_interest.lock("frames-of-interest list")) (**list).append(std::forward<Records>(records));
}

}  // namespace

void reset_trace_limit(ProfilerState& state) noexcept {
    state.stored_bytes.store(0, std::memory_order_relaxed);
    state.trace_cut.store(false, std::memory_order_relaxed);
}

void store_records(ProfilerState& state, std::optional<uint64_t> native_id, std::vector<Bytes>&& records) {
    store(state, native_id, std::move(records));
}

void hand_over_frame_record(ProfilerState& state, const ThreadInfo& thread, std::string_view record) {
    store(state, thread.native_id, record);
}

Status hand_over_records(ProfilerState& state, FrameEvent event, Batch&& batch) {
    if (batch.types.empty()) return {};
    if (event == FrameEvent::ret) {
        std::reverse(batch.types.begin(), batch.types.end());
        std::reverse(batch.records.begin(), batch.records.end());
    }
    auto info = cached_thread_info(state.threads.current());
    if (!info) return fail(std::move(info.error()));
    std::optional<uint64_t> native_id = (*info)->native_id;
    if (state.one_trace_per_test) {
        auto scanned = scan_test_boundaries(state, batch, native_id);
        if (!scanned) return scanned;
    }
    store_records(state, native_id, std::move(batch.records));
    return {};
}

Result<Ref> build_trace(ProfilerState& state) {
    auto inputs = read_document_inputs();
    if (!inputs) return fail(std::move(inputs.error()));
    auto content = take_stores(state);
    if (!content) return fail(std::move(content.error()));

    // Sized first, then written straight into the bytes object: the document
    // is never held twice in memory.
    CountingSink counter;
    Writer counting(counter);
    encode_document(counting, state, *inputs, std::as_const(*content));
    Ref document = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(counter.count())));
    if (!document) {
        Error error = Error::fetch();
        restore_stores(state, std::move(*content));
        return fail(std::move(error));
    }
    PointerSink pointer(PyBytes_AS_STRING(document.get()));
    Writer writing(pointer);
    encode_document(writing, state, *inputs, *content);
    return document;
}

}  // namespace sarn
