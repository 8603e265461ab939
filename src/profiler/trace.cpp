#include "profiler/trace.hpp"

#include <unistd.h>

#include <algorithm>
#include <array>
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
    uint64_t unrecorded_threads = 0;  // threads that ran without being recorded
};

Result<uint64_t> read_unrecorded_threads() {
    auto take = import_attribute("sarn.profiler", "take_unrecorded");
    if (!take) return fail(std::move(take.error()));
    auto taken = checked(PyObject_CallObject(take->get(), nullptr));
    if (!taken) return fail(std::move(taken.error()));
    if (!PyDict_Check(taken->get())) return 0;
    PyObject* threads = PyDict_GetItemString(taken->get(), "threads");  // borrowed
    if (threads == nullptr) return 0;
    return to_unsigned(threads);
}

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

    auto unrecorded = read_unrecorded_threads();
    if (!unrecorded) return fail(std::move(unrecorded.error()));
    inputs.unrecorded_threads = *unrecorded;
    return inputs;
}

// What the document is made of, taken out of the stores.
struct DocumentContent {
    RecordList frames_of_interest;
    ThreadFrames thread_frames;
    std::string trace_id;
    std::optional<Bytes> test_record;
};

// Each thread's own list goes after what the map holds for its native id
// (records put back after a failed delivery); of threads whose native id the
// system reused, the older first.
Status take_own_records(ProfilerState& state, ThreadFrames& into) {
    Status taken;
    state.threads.for_each([&](ThreadCache& thread) {
        auto own = thread.own_records.lock("thread's record list");
        if (!own) {
            taken = fail(std::move(own.error()));
            return 1;
        }
        if (!(*own)->native_id) return 0;
        RecordList& target = into[*(*own)->native_id];
        RecordList records;
        records.swap((*own)->list);
        records.prepend(std::move(target));
        target.swap(records);
        (*own)->native_id.reset();
        return 0;
    });
    return taken;
}

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
    if (auto taken = take_own_records(state, content.thread_frames); !taken) return fail(std::move(taken.error()));
    {
        auto test_record = state.test_record.lock("test record store");
        if (!test_record) return fail(std::move(test_record.error()));
        content.test_record = std::exchange(**test_record, std::nullopt);
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
    if (auto test_record = state.test_record.lock("test record store")) {
        if (content.test_record) **test_record = std::move(content.test_record);
    }
}

// Writes the document's fields; `records_array(writer, list)` writes each
// list of records.
template <class Stream, class Content, class RecordsArray>
void encode_document(Writer<Stream>& writer, const ProfilerState& state, const DocumentInputs& inputs,
                     Content& content, RecordsArray&& records_array) {
    writer.map_header(8);
    writer.str("command_line_args");
    writer.array_header(static_cast<uint32_t>(inputs.argv.size()));
    for (const auto& arg : inputs.argv) writer.str(arg);
    write_opt_str_field(writer, "current_commit_sha", inputs.commit_sha);
    writer.str("frames");
    writer.map_header(static_cast<uint32_t>(content.thread_frames.size()));
    for (auto& [native_id, records] : content.thread_frames) {
        writer.uint(native_id);
        records_array(writer, records);
    }
    writer.str("frames_of_interest");
    records_array(writer, content.frames_of_interest);
    write_opt_uint_field(writer, "main_thread_id", state.main_thread_id);
    writer.str("meta");
    writer.map_header(inputs.unrecorded_threads != 0 ? 4 : 3);
    write_str_field(writer, "version", inputs.version);
    write_str_field(writer, "source", state.source);
    writer.str("use_frame_boundaries");
    writer.boolean(true);
    if (inputs.unrecorded_threads != 0) {
        // Written only when some did, so that other documents stay as they were.
        writer.str("unrecorded");
        writer.map_header(1);
        writer.str("threads");
        writer.uint(inputs.unrecorded_threads);
    }
    write_timestamp_field(writer, state.timestamp);
    write_str_field(writer, "trace_id", content.trace_id);
}

// The document's size, from the stores' chunk sizes.
uint64_t document_size(const ProfilerState& state, const DocumentInputs& inputs, const DocumentContent& content) {
    CountingSink counter;
    Writer counting(counter);
    encode_document(counting, state, inputs, content, [&counter](auto& writer, const RecordList& records) {
        writer.array_header(static_cast<uint32_t>(records.size()));
        for (const RecordChunk& chunk : records.chunks()) counter.write(nullptr, chunk.size);
    });
    return counter.count();
}

DocumentFacts facts_of(const ProfilerState& state, DocumentInputs& inputs, DocumentContent& content) {
    DocumentFacts facts;
    facts.started = state.timestamp;
    facts.source = state.source;
    facts.argv = inputs.argv;
    facts.unrecorded_threads = inputs.unrecorded_threads;
    for (const auto& [native_id, records] : content.thread_frames) {
        facts.counts.add(records.counts());
        facts.sql.add(records.sql());
    }
    facts.counts.add(content.frames_of_interest.counts());
    facts.sql.add(content.frames_of_interest.sql());
    facts.test_record = std::move(content.test_record);
    return facts;
}

// The document made of the content, which is emptied: its chunks move into it.
TraceDocument make_document(const ProfilerState& state, DocumentInputs& inputs, DocumentContent& content) {
    DocumentFacts facts = facts_of(state, inputs, content);
    PieceSink pieces;
    Writer writer(pieces);
    encode_document(writer, state, inputs, content, [&pieces](auto& out, RecordList& records) {
        out.array_header(static_cast<uint32_t>(records.size()));
        pieces.chunks(records.release_chunks());
        records.clear();
    });
    return TraceDocument(pieces.finish(), std::move(facts));
}

size_t size_of(std::string_view record) noexcept { return record.size(); }
template <class Records>
size_t size_of(const Records& records) noexcept {
    size_t size = 0;
    for (std::string_view record : records) size += record.size();
    return size;
}

// The record that ends a cut trace: {"type": "trace_cut", "max_trace_bytes",
// "timestamp"}, and "reason" when something else than the limit cut it.
Bytes trace_cut_marker(const ProfilerState& state, const std::string* reason = nullptr) {
    Bytes marker;
    CursorSink sink(marker);
    Writer writer(sink);
    writer.map_header(reason != nullptr ? 4 : 3);
    write_str_field(writer, "type", "trace_cut");
    writer.str("max_trace_bytes");
    writer.uint(state.max_trace_bytes);
    write_timestamp_field(writer, current_timestamp().value_or(0.0));
    if (reason != nullptr) write_str_field(writer, "reason", *reason);
    return marker;
}

// False when the records would take the trace past its limit: the first
// time, the marker is stored in their place; later records are dropped.
template <class Records>
bool within_limit(ProfilerState& state, const Records& records) {
    if (state.trace_cut.load(std::memory_order_relaxed)) return false;
    const uint64_t size = size_of(records);
    const uint64_t before = state.stored_bytes.fetch_add(size, std::memory_order_relaxed);
    if (state.max_trace_bytes == 0 || before + size <= state.max_trace_bytes) return true;
    if (!state.trace_cut.exchange(true)) {
        if (auto list = state.frames_of_interest.lock("frames-of-interest list")) (**list).append(trace_cut_marker(state));
    }
    return false;
}

// The folder of the database, where a spill file is made.
std::string directory_of(const std::string& db_path) {
    const size_t slash = db_path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : db_path.substr(0, slash);
}

// The spill file to append to: made on first use beside the database, and
// made anew in a forked child.
Result<std::shared_ptr<SpillFile>> spill_file_of(ProfilerState& state) {
    auto file = state.spill_file.lock("spill file");
    if (!file) return fail(std::move(file.error()));
    if (**file == nullptr || (**file)->owner() != ::getpid()) {
        auto made = SpillFile::open(directory_of(state.db_path));
        if (!made) return fail(std::move(made.error()));
        **file = std::move(*made);
    }
    return **file;
}

// Moves the list's full chunks out of memory once the stores hold more than
// the spill threshold. A spill that fails cuts the trace, with the reason in
// its marker: the records would otherwise pile up in memory.
void spill_if_due(ProfilerState& state, RecordList& list) {
    if (state.spill_after_bytes == 0 || list.chunks().size() < 2) return;
    const uint64_t stored = state.stored_bytes.load(std::memory_order_relaxed);
    const uint64_t spilled = state.spilled_bytes.load(std::memory_order_relaxed);
    if (stored - spilled <= state.spill_after_bytes) return;
    auto file = spill_file_of(state);
    auto freed = file ? list.spill(*file) : Result<uint64_t>(fail(std::move(file.error())));
    if (freed) {
        state.spilled_bytes.fetch_add(*freed, std::memory_order_relaxed);
        return;
    }
    if (!state.trace_cut.exchange(true)) {
        const std::string reason = freed.error().description();
        list.append(trace_cut_marker(state, &reason));
    }
}

// The records of a thread go to its own list when threads are recorded,
// except those of the main thread (and of a thread without a native id).
// `calls` of them are calls, and `frames` says whether any is a frame record;
// `types`, when given, are the records' type names.
template <class Records>
void store(ProfilerState& state, std::optional<uint64_t> native_id, const Records& records, uint64_t calls,
           bool frames, const std::string* types = nullptr) {
    if (!within_limit(state, records)) return;
    auto file = [&](RecordList& list) {
        list.append(records);
        if (frames) list.note_frames(calls, native_id);
        if constexpr (!std::is_convertible_v<const Records&, std::string_view>) {
            if (types != nullptr) {
                for (size_t i = 0; i < records.size(); ++i) list.note_typed(types[i], records[i]);
            }
        }
        spill_if_due(state, list);
    };
    bool own_list = native_id && state.threading && (!state.main_thread_id || *native_id != *state.main_thread_id);
    if (own_list) {
        // Records are stored by the thread they belong to.
        state.threads.current().own_records.run_locked([&](OwnRecords& own) {
            own.native_id = native_id;
            file(own.list);
        });
        return;
    }
    state.frames_of_interest.run_locked(file);
}

}  // namespace

void reset_trace_limit(ProfilerState& state) noexcept {
    state.stored_bytes.store(0, std::memory_order_relaxed);
    state.spilled_bytes.store(0, std::memory_order_relaxed);
    state.trace_cut.store(false, std::memory_order_relaxed);
}

void store_batch_range(ProfilerState& state, std::optional<uint64_t> native_id, FrameEvent event, Batch& batch,
                       size_t from, size_t to) {
    // An empty range is still stored: it gives a thread that has no list
    // yet an empty one (a test boundary may have stored all of its batch).
    if (from > to) return;
    uint64_t frames = 0;
    uint64_t resumptions = 0;  // calls that resume a frame counted at its first call
    for (size_t i = from; i < to; ++i) {
        const std::string& type = batch.types[i];
        if (type == "frame") {
            ++frames;
        } else if (type == "resumption") {
            ++resumptions;
        } else if (type == "start_test") {
            if (auto test_record = state.test_record.lock("test record store")) {
                if (!**test_record) **test_record = batch.records[i];
            }
        }
    }
    std::vector<Bytes> records(std::make_move_iterator(batch.records.begin() + static_cast<ptrdiff_t>(from)),
                               std::make_move_iterator(batch.records.begin() + static_cast<ptrdiff_t>(to)));
    const uint64_t calls = event == FrameEvent::call && frames > resumptions ? frames - resumptions : 0;
    store(state, native_id, records, calls, frames != 0, batch.types.data() + from);
}

void hand_over_frame_record(ProfilerState& state, const ThreadInfo& thread, FrameEvent event,
                            std::string_view record) {
    store(state, thread.native_id, record, event == FrameEvent::call ? 1 : 0, true);
}

// A call's note says it resumes a frame, which was counted at its first call.
void hand_over_noted_frame_record(ProfilerState& state, const ThreadInfo& thread, std::string_view record,
                                  std::string_view note) {
    store(state, thread.native_id, std::array<std::string_view, 2>{record, note}, 0, true);
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
        auto scanned = scan_test_boundaries(state, batch, event, native_id);
        if (!scanned) return scanned;
    }
    store_batch_range(state, native_id, event, batch, 0, batch.types.size());
    return {};
}

Result<TraceDocument> take_trace_document(ProfilerState& state) {
    auto inputs = read_document_inputs();
    if (!inputs) return fail(std::move(inputs.error()));
    auto content = take_stores(state);
    if (!content) return fail(std::move(content.error()));
    return make_document(state, *inputs, *content);
}

Result<Ref> build_trace(ProfilerState& state) {
    auto inputs = read_document_inputs();
    if (!inputs) return fail(std::move(inputs.error()));
    auto content = take_stores(state);
    if (!content) return fail(std::move(content.error()));

    // Sized first, then written straight into the bytes object: the records
    // are never held twice in memory.
    const uint64_t size = document_size(state, *inputs, *content);
    Ref bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    if (!bytes) {
        Error error = Error::fetch();
        restore_stores(state, std::move(*content));
        return fail(std::move(error));
    }
    TraceDocument document = make_document(state, *inputs, *content);
    auto read = document.read(PyBytes_AS_STRING(bytes.get()), size);
    if (!read) return fail(std::move(read.error()));
    if (*read != size) return fail_internal("the trace document is shorter than its size");
    return bytes;
}

}  // namespace sarn
