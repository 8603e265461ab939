// The textual side of the frame filter: substring searchers, separator
// conversion of configured fragments, and the fixed fragments that recognise
// library files, interpreter-internal code and this package's own files.
//
// Fragments are written here with the Windows separator "\" and converted to
// the separator of the platform the filter runs on, so that on POSIX
// "\site-packages\" is searched as "/site-packages/".
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace sarn {

// A fragment prepared once for repeated byte-wise, case-sensitive searches
// (Horspool's algorithm; on short fragments against typical file names it
// beats memmem and string_view::find by a factor of three or more). Owns
// its text, so it can be copied and moved freely.
class SubstringSearcher {
public:
    explicit SubstringSearcher(std::string_view fragment);

    // True when the fragment occurs anywhere in `haystack`. An empty fragment
    // occurs in every text; one longer than `haystack` never does.
    bool found_in(std::string_view haystack) const noexcept {
        const size_t size = text_.size();
        if (size == 0) return true;
        if (size > haystack.size()) return false;
        const size_t last = size - 1;
        const char last_char = text_[last];
        const char* at = haystack.data();
        const char* const final_start = at + (haystack.size() - size);
        while (at <= final_start) {
            const char probe = at[last];
            if (probe == last_char && std::memcmp(at, text_.data(), last) == 0) return true;
            at += shift_[static_cast<unsigned char>(probe)];
        }
        return false;
    }

    std::string_view text() const noexcept { return text_; }

private:
    std::string text_;
    // How far the window may move when its last byte is a given byte.
    std::array<uint32_t, 256> shift_;
};

enum class Separator { posix, windows };

#ifdef _WIN32
inline constexpr Separator native_separator = Separator::windows;
#else
inline constexpr Separator native_separator = Separator::posix;
#endif

constexpr char separator_char(Separator separator) {
    return separator == Separator::windows ? '\\' : '/';
}

// Every "\" becomes "/".
std::string to_posix_separators(std::string_view text);
// Every "/" becomes "\".
std::string to_windows_separators(std::string_view text);
std::string to_separators(std::string_view text, Separator separator);

// A configured fragment (include and ignore lists, plugin paths) in the
// native form, so that a configuration written for either platform works on
// both. Nothing else is normalised.
std::string to_native_separators(std::string_view configured);

// The host package's files that the filter skips: each entry is a module
// file (ending in ".py") or a sub-folder, directly inside the package
// folder. Every file of the installed package must be covered by one.
inline constexpr std::string_view package_folder_name = "sarn";
inline constexpr std::array<std::string_view, 14> package_entry_names = {
    "db.py",       "git.py",     "__init__.py",      "__main__.py", "serialize.py",
    "version.py",  "profiler.py", "config.py",       "plugins.py",  "pytest_plugin.py",
    "cli.py",      "viewer.py",  "web",              "integrations",
};

// The fragment matching one package entry: "\sarn\db.py" for a module file,
// "\sarn\web\" for a folder (in the given separator).
std::string package_fragment(std::string_view entry_name, Separator separator);

// The fixed fragments, prepared for one separator. Each test takes the
// code object's file name and returns true when the frame is to be skipped.
struct FixedFragments {
    static FixedFragments for_separator(Separator separator);

    // "lib\python", "\site-packages\", "\x64\lib\"; or one of
    // "\python\", "\Python\" together with one of "\lib\", "\Lib\".
    bool is_library_file(std::string_view filename) const noexcept;
    // Contains "<frozen ".
    bool is_frozen_file(std::string_view filename) const noexcept;
    // Contains one of the package fragments.
    bool is_sarn_file(std::string_view filename) const noexcept;
    // Contains "<string>".
    bool is_exec_file(std::string_view filename) const noexcept;
    // Is exactly "<pytest match expression>".
    bool is_pytest_generated_file(std::string_view filename) const noexcept;
    // Begins with "<attrs generated".
    bool starts_attrs_generated(std::string_view filename) const noexcept;
    // Ends with "attr\_make.py" (the attrs library's class builder).
    bool ends_with_attr_make(std::string_view filename) const noexcept;

    // Any of the tests that depend on the file name alone: library, frozen,
    // package, exec and pytest. The attrs test is not among them because it
    // also looks at the calling frames; its prefix part is cheap on its own.
    bool skips_file(std::string_view filename) const noexcept;

    Separator separator;
    SubstringSearcher lib_python;
    SubstringSearcher site_packages;
    SubstringSearcher x64_lib;
    SubstringSearcher python_lower;
    SubstringSearcher python_upper;
    SubstringSearcher lib_lower;
    SubstringSearcher lib_upper;
    SubstringSearcher frozen;
    SubstringSearcher exec;
    std::vector<SubstringSearcher> package_files;  // one per package_entry_names entry
    std::string attr_make_suffix;
};

// The fragments for the native separator, prepared on first use (safe when
// several threads arrive at once) and read-only afterwards.
const FixedFragments& fixed_fragments();

// fixed_fragments().skips_file(filename): the part of the filter that
// depends only on the file name, so callers may memoise it per file name.
bool is_skipped_file(std::string_view filename);

}  // namespace sarn
