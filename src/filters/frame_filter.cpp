#include "filters/frame_filter.hpp"

#include <optional>

#include "utils/frame_access.hpp"

namespace sarn {

namespace {

bool any_found(const std::vector<SubstringSearcher>& searchers, std::string_view filename) noexcept {
    for (const auto& searcher : searchers) {
        if (searcher.found_in(filename)) return true;
    }
    return false;
}

std::vector<SubstringSearcher> prepare(const std::vector<std::string>& fragments) {
    std::vector<SubstringSearcher> searchers;
    searchers.reserve(fragments.size());
    for (const auto& fragment : fragments) searchers.emplace_back(to_native_separators(fragment));
    return searchers;
}

// The file name of a code object, or nothing if it is not text.
std::optional<std::string_view> filename_of(PyCodeObject* code) noexcept {
    PyObject* filename = code_filename(code);
    if (!PyUnicode_Check(filename)) return std::nullopt;
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(filename, &size);
    if (utf8 == nullptr) {
        PyErr_Clear();
        return std::nullopt;
    }
    return std::string_view(utf8, static_cast<size_t>(size));
}

}  // namespace

FrameFilter::FrameFilter(const std::vector<std::string>& include_frames, const std::vector<std::string>& ignore_frames)
    : include_frames_(prepare(include_frames)), ignore_frames_(prepare(ignore_frames)) {}

bool FrameFilter::matches_include_frames(std::string_view filename) const noexcept {
    return any_found(include_frames_, filename);
}

bool FrameFilter::matches_ignore_frames(std::string_view filename) const noexcept {
    return any_found(ignore_frames_, filename);
}

void FrameFilter::describe(std::string_view filename, CodeFacts& facts) const noexcept {
    facts.included = matches_include_frames(filename);
    facts.skipped_by_name = is_skipped_file(filename) || matches_ignore_frames(filename);
    const FixedFragments& fixed = fixed_fragments();
    facts.attrs_generated = fixed.starts_attrs_generated(filename);
    facts.attr_make = fixed.ends_with_attr_make(filename);
}

bool FrameFilter::is_attrs_generated_frame(const CodeFacts& facts, PyFrameObject* frame, const CodeMemo& memo) noexcept {
    if (facts.attrs_generated) return true;
    PyCodeObject* caller = caller_code(frame);
    if (caller == nullptr) return false;
    // The caller has mostly been seen already: its facts say it.
    const CodeFacts* known = memo.find(caller);
    if (known != nullptr && known->valid && !known->filename.empty()) return known->attr_make;
    const FixedFragments& fixed = fixed_fragments();
    auto caller_file = filename_of(caller);
    if (!caller_file) return false;
    if (!caller_file->empty()) return fixed.ends_with_attr_make(*caller_file);
    // A caller without a file name: its own caller decides (rare; the
    // caller's frame object is made here).
    Ref back = frame_back(frame);
    PyCodeObject* outer = back ? caller_code(as_frame(back.get())) : nullptr;
    if (outer == nullptr) return false;
    auto outer_file = filename_of(outer);
    return outer_file && fixed.ends_with_attr_make(*outer_file);
}

}  // namespace sarn
