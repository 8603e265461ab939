#include "filters/fragments.hpp"

#include <algorithm>

#include "filters/generated_code.hpp"

namespace sarn {

SubstringSearcher::SubstringSearcher(std::string_view fragment) : text_(fragment) {
    const size_t size = text_.size();
    // Bytes that do not occur before the last position let the window skip
    // its whole length; fragments are far shorter than 4 GiB.
    shift_.fill(static_cast<uint32_t>(size));
    for (size_t i = 0; i + 1 < size; ++i)
        shift_[static_cast<unsigned char>(text_[i])] = static_cast<uint32_t>(size - 1 - i);
}

namespace {

std::string replace_char(std::string_view text, char from, char to) {
    std::string result(text);
    std::replace(result.begin(), result.end(), from, to);
    return result;
}

// Fixed texts as written for the Windows separator.
constexpr std::string_view windows_lib_python = R"(lib\python)";
constexpr std::string_view windows_site_packages = R"(\site-packages\)";
constexpr std::string_view windows_x64_lib = R"(\x64\lib\)";
constexpr std::string_view windows_python_lower = R"(\python\)";
constexpr std::string_view windows_python_upper = R"(\Python\)";
constexpr std::string_view windows_lib_lower = R"(\lib\)";
constexpr std::string_view windows_lib_upper = R"(\Lib\)";
constexpr std::string_view windows_attr_make = R"(attr\_make.py)";

constexpr std::string_view frozen_text = "<frozen ";
constexpr std::string_view exec_text = "<string>";
constexpr std::string_view pytest_expression = "<pytest match expression>";
constexpr std::string_view attrs_generated_prefix = "<attrs generated";

}  // namespace

std::string to_posix_separators(std::string_view text) { return replace_char(text, '\\', '/'); }

std::string to_windows_separators(std::string_view text) { return replace_char(text, '/', '\\'); }

std::string to_separators(std::string_view text, Separator separator) {
    return separator == Separator::windows ? to_windows_separators(text)
                                           : to_posix_separators(text);
}

std::string to_native_separators(std::string_view configured) {
    return to_separators(configured, native_separator);
}

std::string package_fragment(std::string_view entry_name, Separator separator) {
    const char sep = separator_char(separator);
    std::string fragment;
    fragment.reserve(package_folder_name.size() + entry_name.size() + 3);
    fragment += sep;
    fragment += package_folder_name;
    fragment += sep;
    fragment += entry_name;
    if (!entry_name.ends_with(".py")) fragment += sep;  // a sub-folder
    return fragment;
}

FixedFragments FixedFragments::for_separator(Separator separator) {
    auto prepared = [separator](std::string_view windows_form) {
        return SubstringSearcher(to_separators(windows_form, separator));
    };
    std::vector<SubstringSearcher> package_files;
    package_files.reserve(package_entry_names.size());
    for (std::string_view name : package_entry_names)
        package_files.emplace_back(package_fragment(name, separator));

    return FixedFragments{
        .separator = separator,
        .lib_python = prepared(windows_lib_python),
        .site_packages = prepared(windows_site_packages),
        .x64_lib = prepared(windows_x64_lib),
        .python_lower = prepared(windows_python_lower),
        .python_upper = prepared(windows_python_upper),
        .lib_lower = prepared(windows_lib_lower),
        .lib_upper = prepared(windows_lib_upper),
        .frozen = SubstringSearcher(frozen_text),
        .exec = SubstringSearcher(exec_text),
        .package_files = std::move(package_files),
        .attr_make_suffix = to_separators(windows_attr_make, separator),
    };
}

bool FixedFragments::is_library_file(std::string_view filename) const noexcept {
    if (lib_python.found_in(filename) || site_packages.found_in(filename) ||
        x64_lib.found_in(filename))
        return true;
    return (python_lower.found_in(filename) || python_upper.found_in(filename)) &&
           (lib_lower.found_in(filename) || lib_upper.found_in(filename));
}

bool FixedFragments::is_frozen_file(std::string_view filename) const noexcept {
    return frozen.found_in(filename);
}

bool FixedFragments::is_sarn_file(std::string_view filename) const noexcept {
    return std::any_of(package_files.begin(), package_files.end(),
                       [filename](const SubstringSearcher& s) { return s.found_in(filename); });
}

bool FixedFragments::is_exec_file(std::string_view filename) const noexcept {
    return exec.found_in(filename);
}

bool FixedFragments::is_pytest_generated_file(std::string_view filename) const noexcept {
    return filename == pytest_expression;
}

bool FixedFragments::starts_attrs_generated(std::string_view filename) const noexcept {
    return filename.starts_with(attrs_generated_prefix);
}

bool FixedFragments::ends_with_attr_make(std::string_view filename) const noexcept {
    return filename.ends_with(attr_make_suffix);
}

bool FixedFragments::skips_file(std::string_view filename) const noexcept {
    return is_library_file(filename) || is_frozen_file(filename) || is_sarn_file(filename) ||
           is_exec_file(filename) || is_pytest_generated_file(filename) || is_generated_name(filename) ||
           is_template_file(filename);
}

const FixedFragments& fixed_fragments() {
    static const FixedFragments native = FixedFragments::for_separator(native_separator);
    return native;
}

bool is_skipped_file(std::string_view filename) { return fixed_fragments().skips_file(filename); }

}  // namespace sarn
