#include "utils/relative_path.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace sarn {
namespace {

struct RelativeCase {
    const char* file;
    const char* cwd;
    const char* expected;
};

void PrintTo(const RelativeCase& c, std::ostream* out) {
    *out << '"' << c.file << "\" in \"" << c.cwd << '"';
}

class RelativeTo : public testing::TestWithParam<RelativeCase> {};

TEST_P(RelativeTo, ByWholeComponents) {
    const auto& c = GetParam();
    EXPECT_EQ(relative_to(c.file, c.cwd), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RelativeTo,
    testing::Values(
        // under the directory
        RelativeCase{"/proj/app/views.py", "/proj", "app/views.py"},
        RelativeCase{"/proj/app.py", "/proj", "app.py"},
        RelativeCase{"/home/u/proj/a/b/c.py", "/home/u/proj/a", "b/c.py"},
        // a trailing separator on the directory changes nothing
        RelativeCase{"/proj/app/views.py", "/proj/", "app/views.py"},
        RelativeCase{"/proj/app/views.py", "/proj//", "app/views.py"},
        // doubled separators after the directory are not left in front
        RelativeCase{"/proj//app.py", "/proj", "app.py"},
        // the root directory
        RelativeCase{"/proj/app.py", "/", "proj/app.py"},
        RelativeCase{"/app.py", "/", "app.py"},
        // only whole components count
        RelativeCase{"/a/bc/x.py", "/a/b", "/a/bc/x.py"},
        RelativeCase{"/proj2/app.py", "/proj", "/proj2/app.py"},
        RelativeCase{"/projects.py", "/proj", "/projects.py"},
        // outside the directory
        RelativeCase{"/usr/lib/python3.8/os.py", "/proj", "/usr/lib/python3.8/os.py"},
        RelativeCase{"/pro", "/proj", "/pro"},
        // the directory itself, or a file above it
        RelativeCase{"/proj", "/proj", "/proj"},
        RelativeCase{"/proj/", "/proj", "/proj/"},
        RelativeCase{"/a.py", "/proj", "/a.py"},
        // names that are not absolute paths
        RelativeCase{"app.py", "/proj", "app.py"},
        RelativeCase{"<string>", "/proj", "<string>"},
        RelativeCase{"<frozen importlib._bootstrap>", "/", "<frozen importlib._bootstrap>"},
        RelativeCase{"", "/proj", ""},
        // case matters on POSIX
        RelativeCase{"/Proj/app.py", "/proj", "/Proj/app.py"},
        // an empty directory is no directory
        RelativeCase{"/proj/app.py", "", "/proj/app.py"}));

// Changes the working directory for one test and puts it back afterwards.
class WorkingDirectory : public testing::Test {
protected:
    void SetUp() override {
        char* previous = getcwd(nullptr, 0);
        ASSERT_NE(previous, nullptr);
        previous_ = previous;
        std::free(previous);
        std::string pattern = testing::TempDir() + "cwdtestXXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        base_ = pattern;
        created_.push_back(base_);
    }

    void TearDown() override {
        ASSERT_EQ(chdir(previous_.c_str()), 0);
        for (auto it = created_.rbegin(); it != created_.rend(); ++it) rmdir(it->c_str());
    }

    std::string make_directory(const std::string& path) {
        EXPECT_EQ(mkdir(path.c_str(), 0700), 0) << path;
        created_.push_back(path);
        return path;
    }

    std::string previous_;
    std::string base_;
    std::vector<std::string> created_;
};

TEST_F(WorkingDirectory, ReadsTheDirectory) {
    ASSERT_EQ(chdir(base_.c_str()), 0);
    char* expected = realpath(base_.c_str(), nullptr);
    ASSERT_NE(expected, nullptr);
    EXPECT_EQ(current_directory(), std::optional<std::string>(expected));
    std::free(expected);
}

TEST_F(WorkingDirectory, LongerThanTheFirstBuffer) {
    std::string path = base_;
    for (int i = 0; i < 12; ++i) path = make_directory(path + "/" + std::string(60, 'a' + i));
    ASSERT_EQ(chdir(path.c_str()), 0);
    const auto directory = current_directory();
    ASSERT_TRUE(directory.has_value());
    EXPECT_GT(directory->size(), 700u);
    EXPECT_TRUE(directory->ends_with(std::string(60, 'l'))) << *directory;
    EXPECT_EQ(relative_to(*directory + "/pkg/mod.py", *directory), "pkg/mod.py");
}

TEST_F(WorkingDirectory, RemovedDirectoryCannotBeRead) {
    const std::string doomed = make_directory(base_ + "/doomed");
    ASSERT_EQ(chdir(doomed.c_str()), 0);
    ASSERT_EQ(rmdir(doomed.c_str()), 0);
    EXPECT_EQ(current_directory(), std::nullopt);
}

}  // namespace
}  // namespace sarn
