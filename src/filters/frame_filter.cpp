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

// The file name of a frame's code, or nothing if it is not text.
std::optional<std::string_view> filename_of(PyFrameObject* frame) noexcept {
    PyObject* filename = code_filename(frame_code(frame));
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
}

bool FrameFilter::is_attrs_generated_frame(std::string_view filename, PyFrameObject* frame) noexcept {
    const FixedFragments& fixed = fixed_fragments();
    if (fixed.starts_attrs_generated(filename)) return true;
    Ref caller = frame_back(frame);
    if (!caller) return false;
    auto caller_file = filename_of(as_frame(caller.get()));
    if (!caller_file) return false;
    if (!caller_file->empty()) return fixed.ends_with_attr_make(*caller_file);
    Ref outer = frame_back(as_frame(caller.get()));
    if (!outer) return false;
    auto outer_file = filename_of(as_frame(outer.get()));
    return outer_file && fixed.ends_with_attr_make(*outer_file);
}

}  // namespace sarn
