// The conversion library is found beside the executable, whatever the
// working directory, in the build tree and in an installed layout.
#include "Imap/textconv/TextConversion.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::string selfPath()
{
    char buffer[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return length > 0 ? std::string(buffer, static_cast<size_t>(length)) : std::string();
}

// Runs this test program's Converts check from `cwd`; true when it passed.
bool convertsWhenRunFrom(const std::string& program, const std::string& cwd)
{
    std::string output;
    int status = tavir::test::runShell("cd '" + cwd + "' && '" + program
            + "' --gtest_filter=LibraryLocation.Converts --gtest_also_run_disabled_tests 2>&1",
        &output);
    return status == 0 && output.find("[  PASSED  ] 1 test") != std::string::npos;
}

} // namespace

// Run by the tests below in a child process; not on its own.
TEST(LibraryLocation, Converts)
{
    EXPECT_EQ(tavir::migration::unicodeToUtf7M(L"Entw\u00FCrfe"), "Entw&APw-rfe");
    EXPECT_EQ(tavir::migration::utf8ToUnicode("\xC3\xA4"), L"\u00E4");
}

TEST(LibraryLocation, FoundFromAnotherWorkingDirectory)
{
    tavir::test::TempDir elsewhere;
    const std::string self = selfPath();
    ASSERT_FALSE(self.empty());
    EXPECT_TRUE(convertsWhenRunFrom(self, elsewhere.path()));
    EXPECT_TRUE(convertsWhenRunFrom(self, "/"));
}

TEST(LibraryLocation, FoundInAnInstalledLayout)
{
    tavir::test::TempDir prefix;
    const std::string self = selfPath();
    const fs::path library
        = fs::path(self).parent_path() / ".." / "lib" / "zorp" / "libvxiconv.so.2";
    ASSERT_TRUE(fs::exists(library));
    fs::create_directories(prefix.file("bin"));
    const std::string program = prefix.file("bin/zorp-check");
    fs::copy_file(self, program);

    // without the library beside it nothing converts...
    EXPECT_FALSE(convertsWhenRunFrom(program, "/"));
    // ...with it in <prefix>/lib/zorp everything does
    fs::create_directories(prefix.file("lib/zorp"));
    fs::copy_file(library, prefix.file("lib/zorp/libvxiconv.so.2"));
    EXPECT_TRUE(convertsWhenRunFrom(program, "/"));
}
