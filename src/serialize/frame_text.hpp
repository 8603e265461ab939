// A call's line of `sarn show`, whole (not cut to a width), made natively
// from its decoded records: its name, arguments, how it ended, its path,
// the line it raised at, the line that called it and its duration. Values
// are written as the Python formatter writes them; a line holding anything
// past the plain ASCII forms (other texts, unusual shapes) is left to it.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>
#include <vector>

#include "utils/error.hpp"
#include "utils/ref.hpp"

namespace sarn::serialize {

// The colour codes of each part of a line (all empty without colour).
struct LineStyle {
    std::string name, dim, value, time, mark, error, reset;
};

// What a call's line is made of: its records (null when absent), the path
// of its caller's record (null or a text), and how it was entered and left.
struct FrameParts {
    PyObject* call = nullptr;
    PyObject* ret = nullptr;
    PyObject* exception = nullptr;
    const std::string* caller_path = nullptr;  // its bytes (UTF-8)
    bool resumed = false;
    bool suspended = false;
};

// The same, its call and return records as their MessagePack bytes (empty
// when absent); the exception record, rare, decoded.
struct PackedParts {
    std::string_view call;
    std::string_view ret;
    PyObject* exception = nullptr;
    const std::string* caller_path = nullptr;
    bool resumed = false;
    bool suspended = false;
};

class FrameText {
public:
    // The keys read from the records, made once.
    Status make();

    // Writes the line into `out`; false (out unspecified) when the line is
    // left to the Python renderer.
    Result<bool> line(const FrameParts& parts, const LineStyle& style, std::string& out);

    // format_value(value, limit) as the Python formatter gives it; false
    // when left to it.
    Result<bool> value(PyObject* value, Py_ssize_t limit, std::string& out);

    // The line of line(), read straight from the records' bytes, without
    // decoding them: the same text, or false (out unspecified) where the
    // bytes hold what this reading leaves to the decoded one (texts past
    // ASCII, binary values, maps whose keys are not all distinct texts,
    // extension types).
    Result<bool> line(const PackedParts& parts, const LineStyle& style, std::string& out);

private:
    using Span = std::string_view;  // one whole MessagePack value
    using Pairs = std::vector<std::pair<Span, Span>>;
    Result<bool> packed_fmt(Span value, Py_ssize_t limit, std::string& out);
    Result<bool> packed_fmt_one(Span value, Py_ssize_t limit, std::string& out);
    Result<bool> packed_tagged(const Pairs& pairs, Py_ssize_t limit, std::string& out);
    Result<bool> packed_with_attrs(std::string_view short_type, const Pairs& pairs, Span attrs, Py_ssize_t limit,
                                   std::string& out);
    Result<bool> packed_value(Span value, Py_ssize_t limit, std::string& out);
    Result<bool> packed_args(Span call_locals, bool has_locals, std::string& out);

    Result<bool> fmt(PyObject* value, Py_ssize_t limit, std::string& out);
    Result<bool> fmt_one(PyObject* value, Py_ssize_t limit, std::string& out);
    Result<bool> tagged(PyObject* value, Py_ssize_t limit, std::string& out);
    Result<bool> with_attrs(std::string_view short_type, PyObject* value, PyObject* attrs, Py_ssize_t limit,
                            std::string& out);
    Result<bool> args(PyObject* call, std::string& out);
    Result<bool> exception_text(PyObject* record, std::string& out);
    Result<int> normal_exit(PyObject* record);
    PyObject* get(PyObject* dict, const Ref& key);

    int depth_ = 0;  // of the value being formatted
    Ref tag_, type_, len_, repr_, attrs_, more_attrs_, value_, items_, locals_, qualname_, module_, co_name_,
        path_, arg_, exception_, site_, line_number_, timestamp_, class_, dunder_qualname_;
};

}  // namespace sarn::serialize
