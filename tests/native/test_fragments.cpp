#include "filters/fragments.hpp"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <vector>

namespace sarn {
namespace {

// ---- SubstringSearcher

struct SearchCase {
    std::string fragment;
    std::string haystack;
    bool found;
};

class Searcher : public testing::TestWithParam<SearchCase> {};

TEST_P(Searcher, FindsFragmentAnywhere) {
    const auto& c = GetParam();
    const SubstringSearcher searcher(c.fragment);
    EXPECT_EQ(searcher.found_in(c.haystack), c.found)
        << '"' << c.fragment << "\" in \"" << c.haystack << '"';
    EXPECT_EQ(searcher.text(), c.fragment);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Searcher,
    testing::Values(SearchCase{"", "", true}, SearchCase{"", "anything", true},
                    SearchCase{"a", "", false}, SearchCase{"abc", "ab", false},
                    SearchCase{"abc", "abc", true}, SearchCase{"abc", "abcxyz", true},
                    SearchCase{"xyz", "abcxyz", true}, SearchCase{"cx", "abcxyz", true},
                    SearchCase{"ABC", "abc", false}, SearchCase{"aab", "aaab", true},
                    SearchCase{"abab", "abaabab", true}, SearchCase{"abab", "abaaba", false},
                    SearchCase{"caf\xc3\xa9", "/srv/caf\xc3\xa9/x.py", true},
                    SearchCase{"\xc3\xa9", "/srv/caf\xc3\xa8/x.py", false},
                    SearchCase{std::string("a\0b", 3), std::string("xa\0b", 4), true},
                    SearchCase{std::string("a\0b", 3), "xab", false}));

TEST(SearcherProperty, AgreesWithStringFind) {
    std::mt19937 random(12345);
    const std::string letters = "ab/\\\xff";
    auto text = [&](size_t max_length) {
        std::string out(random() % (max_length + 1), ' ');
        for (char& c : out) c = letters[random() % letters.size()];
        return out;
    };
    for (int i = 0; i < 20000; ++i) {
        const std::string fragment = text(6);
        const std::string haystack = text(30);
        ASSERT_EQ(SubstringSearcher(fragment).found_in(haystack),
                  haystack.find(fragment) != std::string::npos)
            << '"' << fragment << "\" in \"" << haystack << '"';
    }
}

TEST(SearcherProperty, SurvivesCopiesAndMoves) {
    std::vector<SubstringSearcher> searchers;
    for (int i = 0; i < 40; ++i) searchers.emplace_back("/mod" + std::to_string(i) + "/");
    std::vector<SubstringSearcher> moved = std::move(searchers);
    const SubstringSearcher copied = moved[7];
    EXPECT_TRUE(moved[39].found_in("/srv/mod39/x.py"));
    EXPECT_TRUE(copied.found_in("/srv/mod7/x.py"));
    EXPECT_FALSE(copied.found_in("/srv/mod8/x.py"));
}

// ---- Separators

TEST(Separators, ConvertEveryOccurrenceOnly) {
    struct Case {
        std::string_view input, posix, windows;
    };
    const Case cases[] = {
        {"myapp/views", "myapp/views", R"(myapp\views)"},
        {R"(myapp\views)", "myapp/views", R"(myapp\views)"},
        {R"(a/b\c//d)", "a/b/c//d", R"(a\b\c\\d)"},
        {"Views.PY", "Views.PY", "Views.PY"},
        {" spaced / ", " spaced / ", R"( spaced \ )"},
        {"", "", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(to_posix_separators(c.input), c.posix) << c.input;
        EXPECT_EQ(to_windows_separators(c.input), c.windows) << c.input;
        EXPECT_EQ(to_separators(c.input, Separator::posix), c.posix) << c.input;
        EXPECT_EQ(to_separators(c.input, Separator::windows), c.windows) << c.input;
        EXPECT_EQ(to_native_separators(c.input),
                  native_separator == Separator::posix ? c.posix : c.windows);
    }
}

// ---- Fixed fragments

TEST(FixedTexts, WrittenForEachSeparator) {
    const FixedFragments windows = FixedFragments::for_separator(Separator::windows);
    const FixedFragments posix = FixedFragments::for_separator(Separator::posix);
    struct Case {
        const SubstringSearcher FixedFragments::*member;
        std::string_view windows, posix;
    };
    const Case cases[] = {
        {&FixedFragments::lib_python, R"(lib\python)", "lib/python"},
        {&FixedFragments::site_packages, R"(\site-packages\)", "/site-packages/"},
        {&FixedFragments::x64_lib, R"(\x64\lib\)", "/x64/lib/"},
        {&FixedFragments::python_lower, R"(\python\)", "/python/"},
        {&FixedFragments::python_upper, R"(\Python\)", "/Python/"},
        {&FixedFragments::lib_lower, R"(\lib\)", "/lib/"},
        {&FixedFragments::lib_upper, R"(\Lib\)", "/Lib/"},
        {&FixedFragments::frozen, "<frozen ", "<frozen "},
        {&FixedFragments::exec, "<string>", "<string>"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ((windows.*c.member).text(), c.windows);
        EXPECT_EQ((posix.*c.member).text(), c.posix);
    }
    EXPECT_EQ(windows.attr_make_suffix, R"(attr\_make.py)");
    EXPECT_EQ(posix.attr_make_suffix, "attr/_make.py");
    EXPECT_EQ(&fixed_fragments(), &fixed_fragments());
    EXPECT_EQ(fixed_fragments().separator, native_separator);
}

// Expected outcome of each filename-only test for one file name.
struct FileCase {
    std::string file;
    bool library = false;
    bool frozen = false;
    bool sarn = false;
    bool exec = false;
    bool pytest = false;
    bool generated = false;  // an angle-bracket name (generated_code.hpp)
};

void PrintTo(const FileCase& c, std::ostream* out) { *out << c.file; }

void expect_outcomes(const FixedFragments& fragments, const FileCase& c) {
    EXPECT_EQ(fragments.is_library_file(c.file), c.library) << "library";
    EXPECT_EQ(fragments.is_frozen_file(c.file), c.frozen) << "frozen";
    EXPECT_EQ(fragments.is_sarn_file(c.file), c.sarn) << "sarn";
    EXPECT_EQ(fragments.is_exec_file(c.file), c.exec) << "exec";
    EXPECT_EQ(fragments.is_pytest_generated_file(c.file), c.pytest) << "pytest";
    EXPECT_EQ(fragments.skips_file(c.file), c.library || c.frozen || c.sarn || c.exec || c.pytest || c.generated)
        << "skips_file";
}

// File names that mean the same on both platforms.
const FileCase special_names[] = {
    {.file = "<frozen importlib._bootstrap>", .frozen = true, .generated = true},
    {.file = "<frozen zipimport>", .frozen = true, .generated = true},
    {.file = "<frozen>", .generated = true},
    {.file = "<string>", .exec = true, .generated = true},
    {.file = "<template <string> 3>", .exec = true, .generated = true},
    {.file = "<pytest match expression>", .pytest = true, .generated = true},
    {.file = " <pytest match expression>"},
    {.file = "<pytest match expression>x"},
    {.file = "<attrs generated init __main__.A>", .generated = true},  // the attrs test is separate
    {.file = "app.py"},
    {.file = ""},
};

class WindowsNames : public testing::TestWithParam<FileCase> {};

TEST_P(WindowsNames, Outcomes) {
    expect_outcomes(FixedFragments::for_separator(Separator::windows), GetParam());
}

INSTANTIATE_TEST_SUITE_P(
    Table, WindowsNames,
    testing::Values(
        FileCase{.file = R"(C:\Users\u\AppData\Local\Programs\Python\Python38\Lib\os.py)",
                 .library = true},
        FileCase{.file = R"(C:\proj\venv\Lib\site-packages\requests\api.py)", .library = true},
        FileCase{.file = R"(C:\proj\Python\app.py)"},
        FileCase{.file = R"(C:\proj\python\lib\tools.py)", .library = true},
        FileCase{.file = R"(C:\proj\PYTHON\LIB\x.py)"},
        FileCase{.file = R"(C:\proj\mylib\pythonic\x.py)", .library = true},
        FileCase{.file = R"(C:\tools\x64\lib\helper.py)", .library = true},
        FileCase{.file = R"(C:\proj\lib\app.py)"},
        FileCase{.file = R"(C:\proj\myapp\db.py)"},
        FileCase{.file = R"(C:\venv\Lib\site-packages\sarn\db.py)", .library = true,
                 .sarn = true},
        FileCase{.file = R"(C:\src\sarn\db.py)", .sarn = true},
        FileCase{.file = R"(C:\src\sarn\web\views.py)", .sarn = true},
        // POSIX spellings do not match the Windows fragments
        FileCase{.file = "/proj/venv/lib/python3.8/site-packages/requests/api.py"},
        FileCase{.file = "/src/sarn/db.py"}));

INSTANTIATE_TEST_SUITE_P(Special, WindowsNames, testing::ValuesIn(special_names));

class PosixNames : public testing::TestWithParam<FileCase> {};

TEST_P(PosixNames, Outcomes) {
    expect_outcomes(fixed_fragments(), GetParam());
    const auto& c = GetParam();
    EXPECT_EQ(is_skipped_file(c.file), c.library || c.frozen || c.sarn || c.exec || c.pytest || c.generated);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PosixNames,
    testing::Values(
        FileCase{.file = "/home/u/.pyenv/versions/3.8.18/lib/python3.8/os.py", .library = true},
        FileCase{.file = "/usr/lib/python3/dist-packages/apt/cache.py", .library = true},
        FileCase{.file = "/proj/venv/lib/python3.8/site-packages/requests/api.py",
                 .library = true},
        FileCase{.file = "/opt/venv/site-packages/requests/api.py", .library = true},
        FileCase{.file = "/proj/Python/app.py"},
        FileCase{.file = "/proj/python/lib/tools.py", .library = true},
        FileCase{.file = "/proj/Python/Lib/tools.py", .library = true},
        FileCase{.file = "/proj/PYTHON/LIB/x.py"},
        FileCase{.file = "/proj/mylib/pythonic/x.py", .library = true},
        FileCase{.file = "/tools/x64/lib/helper.py", .library = true},
        FileCase{.file = "/proj/lib/app.py"},
        FileCase{.file = "/proj/myapp/db.py"},
        FileCase{.file = "/x/site/sarn/db.py", .sarn = true},
        FileCase{.file = "/x/site/sarn/web/views.py", .sarn = true},
        FileCase{.file = "/x/site/sarn/other.py"},
        FileCase{.file = "/x/site/sarn/webapp/views.py"},
        FileCase{.file = "/x/site/mysarn/db.py"},
        FileCase{.file = "/home/u/.venv/lib/python3.8/site-packages/sarn/cli.py",
                 .library = true, .sarn = true},
        // Windows spellings do not match the POSIX fragments
        FileCase{.file = R"(C:\proj\venv\Lib\site-packages\requests\api.py)"},
        FileCase{.file = R"(C:\src\sarn\db.py)"}));

INSTANTIATE_TEST_SUITE_P(Special, PosixNames, testing::ValuesIn(special_names));

// ---- The package's own files

TEST(PackageEntries, FixedSixFirstThenOursAllDistinct) {
    const std::vector<std::string_view> fixed = {"db.py",       "git.py",       "__init__.py",
                                                 "__main__.py", "serialize.py", "version.py"};
    ASSERT_EQ(package_entry_names.size(), 14u);
    for (size_t i = 0; i < fixed.size(); ++i) EXPECT_EQ(package_entry_names[i], fixed[i]);
    const std::set<std::string_view> distinct(package_entry_names.begin(),
                                              package_entry_names.end());
    EXPECT_EQ(distinct.size(), 14u);
    size_t folders = 0;
    for (std::string_view name : package_entry_names) {
        EXPECT_EQ(name.find_first_of(R"(/\)"), std::string_view::npos) << name;
        if (!name.ends_with(".py")) ++folders;
    }
    EXPECT_EQ(folders, 2u);
}

TEST(PackageEntries, FragmentForEachSeparator) {
    EXPECT_EQ(package_fragment("db.py", Separator::posix), "/sarn/db.py");
    EXPECT_EQ(package_fragment("db.py", Separator::windows), R"(\sarn\db.py)");
    EXPECT_EQ(package_fragment("web", Separator::posix), "/sarn/web/");
    EXPECT_EQ(package_fragment("integrations", Separator::windows), R"(\sarn\integrations\)");
}

TEST(PackageEntries, EveryEntrySkippedOnBothPlatforms) {
    const FixedFragments windows = FixedFragments::for_separator(Separator::windows);
    for (std::string_view name : package_entry_names) {
        const bool folder = !name.ends_with(".py");
        const std::string posix_file =
            "/srv/app/.venv/sarn/" + std::string(name) + (folder ? "/sub/mod.py" : "");
        const std::string windows_file = to_windows_separators("C:" + posix_file);
        EXPECT_TRUE(fixed_fragments().is_sarn_file(posix_file)) << posix_file;
        EXPECT_TRUE(is_skipped_file(posix_file)) << posix_file;
        EXPECT_TRUE(windows.is_sarn_file(windows_file)) << windows_file;
        EXPECT_FALSE(fixed_fragments().is_sarn_file("/srv/app/myapp/" + std::string(name) +
                                                    (folder ? "/sub/mod.py" : "")))
            << name << " outside a sarn folder";
        if (folder) {
            // A folder entry needs the separator after its name.
            EXPECT_FALSE(fixed_fragments().is_sarn_file("/srv/sarn/" + std::string(name) + ".py"))
                << name;
        }
    }
}

// ---- attrs-generated code

TEST(AttrsTexts, PrefixAndSuffix) {
    const FixedFragments windows = FixedFragments::for_separator(Separator::windows);
    const FixedFragments& posix = fixed_fragments();
    struct Case {
        std::string file;
        bool prefix, posix_suffix, windows_suffix;
    };
    const Case cases[] = {
        {"<attrs generated init __main__.A>", true, false, false},
        {"<attrs generated", true, false, false},
        {"<attrs generate", false, false, false},
        {" <attrs generated init>", false, false, false},
        {"<Attrs generated init>", false, false, false},
        {"/venv/lib/python3.8/site-packages/attr/_make.py", false, true, false},
        {"attr/_make.py", false, true, false},
        {R"(C:\venv\Lib\site-packages\attr\_make.py)", false, false, true},
        {"/venv/site-packages/attr/_make.pyc", false, false, false},
        {"/venv/site-packages/attr/_make.py.bak", false, false, false},
        {"/venv/site-packages/attrs/_make.py", false, false, false},
        {"", false, false, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(posix.starts_attrs_generated(c.file), c.prefix) << c.file;
        EXPECT_EQ(windows.starts_attrs_generated(c.file), c.prefix) << c.file;
        EXPECT_EQ(posix.ends_with_attr_make(c.file), c.posix_suffix) << c.file;
        EXPECT_EQ(windows.ends_with_attr_make(c.file), c.windows_suffix) << c.file;
    }
}

}  // namespace
}  // namespace sarn
