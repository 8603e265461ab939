#include "profiler/persistence.hpp"

#include <iterator>
#include <vector>

#include "lib/trace_document_type.hpp"
#include "profiler/trace.hpp"
#include "utils/host_import.hpp"
#include "utils/ids.hpp"

namespace sarn {

namespace {

Result<std::string> current_trace_id(ProfilerState& state) {
    auto trace_id = state.trace_id.lock("trace id store");
    if (!trace_id) return fail(std::move(trace_id.error()));
    return **trace_id;
}

// A new trace id, and empty stores: what was recorded before a test starts
// does not belong to its trace.
Status start_new_trace(ProfilerState& state) {
    std::string fresh_id = new_trace_id();
    auto trace_id = state.trace_id.lock("trace id store");
    if (!trace_id) return fail(std::move(trace_id.error()));
    auto list = state.frames_of_interest.lock("frames-of-interest list");
    if (!list) return fail(std::move(list.error()));
    auto map = state.thread_frames.lock("per-thread frames map");
    if (!map) return fail(std::move(map.error()));
    **trace_id = std::move(fresh_id);
    (**list).clear();
    (**map).clear();
    state.threads.for_each([](ThreadCache& thread) {
        if (auto own = thread.own_records.lock("thread's record list")) {
            (*own)->list.clear();
            (*own)->native_id.reset();
        }
        return 0;
    });
    if (auto test_record = state.test_record.lock("test record store")) **test_record = std::nullopt;
    reset_trace_limit(state);
    return {};
}

// The document, read piece by piece by the save, with the facts counted
// while recording (so that the save does not walk its bytes for them).
Result<Ref> document_to_save(ProfilerState& state) {
    auto taken = take_trace_document(state);
    if (!taken) return fail(std::move(taken.error()));
    return new_trace_document(std::move(*taken));
}

}  // namespace

Status save_request_in_db(ProfilerState& state) {
    auto kwargs = checked(PyDict_New());
    if (!kwargs) return fail(std::move(kwargs.error()));
    auto timeout = checked(PyLong_FromUnsignedLongLong(state.sqlite_busy_timeout));
    if (!timeout) return fail(std::move(timeout.error()));
    if (PyDict_SetItemString(kwargs->get(), "timeout", timeout->get()) < 0) return fail_fetch();

    auto document = document_to_save(state);
    if (!document) return fail(std::move(document.error()));
    if (PyDict_SetItemString(kwargs->get(), "msgpack", document->get()) < 0) return fail_fetch();

    auto trace_id = current_trace_id(state);
    if (!trace_id) return fail(std::move(trace_id.error()));
    auto save = import_attribute("sarn.db", "save_trace_in_sqlite");
    if (!save) return fail(std::move(save.error()));
    auto args = checked(Py_BuildValue("(s#s#)", state.db_path.data(), static_cast<Py_ssize_t>(state.db_path.size()),
                                      trace_id->data(), static_cast<Py_ssize_t>(trace_id->size())));
    if (!args) return fail(std::move(args.error()));
    auto result = checked(PyObject_Call(save->get(), args->get(), kwargs->get()));
    if (!result) return fail(std::move(result.error()));
    return {};
}

Status scan_test_boundaries(ProfilerState& state, Batch& batch, FrameEvent event, std::optional<uint64_t> native_id) {
    size_t stored = 0;  // leading records of the batch already stored
    for (size_t i = 0; i < batch.types.size(); ++i) {
        const std::string& type = batch.types[i];
        if (type == "start_test") {
            store_batch_range(state, native_id, event, batch, stored, i);
            stored = i;
            auto reset = start_new_trace(state);
            if (!reset) return reset;
        } else if (type == "end_test") {
            store_batch_range(state, native_id, event, batch, stored, i + 1);
            stored = i + 1;
            auto saved = save_request_in_db(state);
            if (!saved) {
                batch.types.clear();
                batch.records.clear();
                return saved;
            }
        }
    }
    batch.types.erase(batch.types.begin(), batch.types.begin() + static_cast<ptrdiff_t>(stored));
    batch.records.erase(batch.records.begin(), batch.records.begin() + static_cast<ptrdiff_t>(stored));
    return {};
}

}  // namespace sarn
