// The facts that the trace listing keeps about a trace document, read by
// walking its MessagePack bytes without building a single Python object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sarn::serialize {

struct DocumentFacts {
    std::optional<double> started;      // the document's "timestamp"
    std::optional<std::string> source;  // meta "source"
    std::optional<std::string> test_name;  // of the first "start_test" record
    std::vector<std::string> argv;      // "command_line_args" (its text items)
    uint64_t frame_count = 0;           // frame records of event "call", less resumptions
    uint64_t record_count = 0;          // records of any kind
    uint64_t thread_count = 0;          // distinct "thread_native_id" of frame records
    std::map<std::string, uint64_t> other_types;  // records that are not frames, by "type"
    double sql_time = 0.0;  // seconds: the durations of the "sql_query" records paired with their end
};

// The facts of a document, or nothing when the bytes are not a MessagePack
// map (or end early). Records that are not maps count as records only.
[[nodiscard]] std::optional<DocumentFacts> read_document_facts(std::string_view document);

}  // namespace sarn::serialize

#include <Python.h>

namespace sarn::serialize {

// document_facts(data) -> dict or None: the facts of a document given as any
// object with the buffer protocol. The walk runs without the interpreter lock.
PyObject* document_facts_function(PyObject* module, PyObject* data) noexcept;

}  // namespace sarn::serialize
