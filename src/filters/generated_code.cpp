#include "filters/generated_code.hpp"

#include <algorithm>
#include <array>

namespace sarn {

namespace {

constexpr std::array<std::string_view, 3> typed_input_names = {"<stdin>", "<console>", "<input>"};
constexpr std::array<std::string_view, 5> typed_input_prefixes = {
    "<python-input-", "<ipython-input-", "<bpython-input-", "<pyshell#", "<doctest ",
};

// Lower case, sorted for the binary search.
constexpr std::array<std::string_view, 25> template_extensions = {
    "css",  "csv",  "htm", "html", "ini", "j2",   "jinja", "jinja2", "js",
    "json", "mak",  "mako", "md",  "pt",  "rst",  "sql",   "svg",    "tex",
    "tmpl", "tpl",  "txt",  "xhtml", "xml", "yaml", "yml",
};
static_assert(std::ranges::is_sorted(template_extensions));
constexpr size_t longest_extension =
    std::ranges::max(template_extensions, {}, [](std::string_view e) { return e.size(); }).size();

// The extension of the file name's last component, as os.path.splitext
// finds it (leading dots start no extension); empty when there is none.
std::string_view extension_of(std::string_view filename) noexcept {
    const size_t slash = filename.find_last_of("/\\");
    const std::string_view component = slash == std::string_view::npos ? filename : filename.substr(slash + 1);
    const size_t dot = component.rfind('.');
    const size_t first = component.find_first_not_of('.');
    if (dot == std::string_view::npos || first == std::string_view::npos || dot < first) return {};
    return component.substr(dot + 1);
}

}  // namespace

bool is_pseudo_file_name(std::string_view filename) noexcept {
    return filename.size() >= 2 && filename.front() == '<' && filename.back() == '>';
}

bool is_typed_input_name(std::string_view filename) noexcept {
    return std::ranges::find(typed_input_names, filename) != typed_input_names.end() ||
           std::ranges::any_of(typed_input_prefixes,
                               [filename](std::string_view prefix) { return filename.starts_with(prefix); });
}

bool is_generated_name(std::string_view filename) noexcept {
    return is_pseudo_file_name(filename) && !is_typed_input_name(filename);
}

bool is_template_file(std::string_view filename) noexcept {
    if (is_pseudo_file_name(filename)) return false;
    const std::string_view extension = extension_of(filename);
    if (extension.empty() || extension.size() > longest_extension) return false;
    std::array<char, longest_extension> lower{};
    std::ranges::transform(extension, lower.begin(),
                           [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    return std::ranges::binary_search(template_extensions, std::string_view(lower.data(), extension.size()));
}

}  // namespace sarn
