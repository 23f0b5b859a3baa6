// The binding to the conversion library loaded at run time. The loader and
// the entry-point slots are process-wide and filled once: the tests of the
// first use run in a fresh process of their own, whatever ran before them.
#include "utils/KIconv.h"

#include "support/TestSupport.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

using tavir::utils::KIconv;

namespace {

const std::string kBuiltLibraryDir = TAVIR_BINARY_DIR "/lib/zorp";

std::string convert(KIconv& iconv, const std::string& input)
{
    const char* in = input.data();
    size_t inLeft = input.size();
    std::string output(input.size() * 4 + 16, '\0');
    char* out = &output[0];
    size_t outLeft = output.size();
    iconv.vxiconv(&in, &inLeft, &out, &outLeft);
    output.resize(output.size() - outLeft);
    return output;
}

// A copy of the built library in a folder of its own.
std::string copyLibrary(const tavir::test::TempDir& dir, const std::string& sub)
{
    std::filesystem::create_directories(dir.file(sub));
    std::filesystem::copy_file(kBuiltLibraryDir + "/" + KIconv::DEFAULT_LIBRARY_NAME,
        dir.file(sub) + "/" + KIconv::DEFAULT_LIBRARY_NAME);
    return dir.file(sub);
}

// Runs `check` and exits: 0 when it passed, else 1 with its failures on
// standard error.
template <class Check> [[noreturn]] void runAndExit(Check check)
{
    ::testing::TestPartResultArray failures;
    {
        ::testing::ScopedFakeTestPartResultReporter reporter(
            ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ALL_THREADS, &failures);
        check();
    }
    for (int i = 0; i < failures.size(); ++i)
        std::cerr << failures.GetTestPartResult(i) << '\n';
    std::exit(failures.size() == 0 ? 0 : 1);
}

// Runs `check` in a new process of this test program (gtest's "threadsafe"
// death-test style starts the program afresh for just this test), where no
// library was loaded and no slot filled yet.
template <class Check> void inFreshProcess(Check check)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(runAndExit(check), ::testing::ExitedWithCode(0), "");
}

} // namespace

TEST(KIconv, DefaultLibraryDirIsBesideTheExecutable)
{
    std::string dir = KIconv::defaultLibraryDir();
    EXPECT_TRUE(std::filesystem::equivalent(dir, kBuiltLibraryDir)) << dir;
}

TEST(KIconv, InitNormalisesTheDirectory)
{
    tavir::test::TempDir dir;
    copyLibrary(dir, "a/b/c");
    // runs of '/' and '\' become one '/', and one '/' is added at the end
    EXPECT_TRUE(KIconv::init("", dir.path() + "//a\\\\b/c"));
    EXPECT_TRUE(KIconv::init(KIconv::DEFAULT_LIBRARY_NAME, dir.path() + "/a/b/c/"));
    EXPECT_FALSE(KIconv::init("libnothing.so.1", dir.path() + "/a/b/c"));
    EXPECT_FALSE(KIconv::init("", dir.path() + "/nowhere"));
}

TEST(KIconv, ConvertsThroughTheLoadedLibrary)
{
    ASSERT_TRUE(KIconv::init(KIconv::DEFAULT_LIBRARY_NAME, KIconv::defaultLibraryDir()));
    KIconv iconv;
    ASSERT_TRUE(iconv.open("ucs-4le//IGNORE", "utf-8"));
    EXPECT_EQ(convert(iconv, "a\xC3\xA4"), std::string("a\0\0\0\xE4\0\0\0", 8));
    // a second open closes the first descriptor and converts the new pair
    ASSERT_TRUE(iconv.open("iso-8859-1//IGNORE", "utf-8"));
    EXPECT_EQ(convert(iconv, "a\xC3\xA4"), "a\xE4");
    EXPECT_TRUE(iconv.close());
    EXPECT_EQ(iconv.descriptor(), KIconv::INVALID_ICONV_DESC);
    EXPECT_FALSE(iconv.open("x-no-such-charset//IGNORE", "utf-8"));
    EXPECT_EQ(iconv.get_error(), -1);
    EXPECT_NE(iconv.getFuncAddress("vxiconv_open"), nullptr);
    EXPECT_EQ(iconv.getFuncAddress("iconv_open_internal"), nullptr);
}

TEST(KIconv, FindsTheLibraryWithoutInit)
{
    inFreshProcess([] {
        // A program that never ran the engine's initialisation.
        KIconv iconv;
        ASSERT_TRUE(iconv.open("utf-16be//IGNORE", "utf-8"));
        EXPECT_EQ(convert(iconv, "ok"), std::string("\0o\0k", 4));
    });
}

TEST(KIconv, WithoutDescriptorConvertFailsWithAnErrnoNobodyRetries)
{
    KIconv iconv;
    EXPECT_TRUE(iconv.close()) << "nothing open counts as closed";
    const char* in = "abc";
    size_t inLeft = 3;
    char buffer[16];
    char* out = buffer;
    size_t outLeft = sizeof buffer;
    errno = E2BIG;
    EXPECT_EQ(iconv.vxiconv(&in, &inLeft, &out, &outLeft), static_cast<size_t>(-1));
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(inLeft, 3u);
    EXPECT_EQ(outLeft, sizeof buffer);
}

TEST(KIconv, MissingLibraryLeavesConvertersUnableToOpen)
{
    inFreshProcess([] {
        tavir::test::TempDir dir;
        EXPECT_FALSE(KIconv::init("", dir.path()));
        KIconv iconv;
        EXPECT_FALSE(iconv.open("utf-8//IGNORE", "iso-8859-1"));
        EXPECT_EQ(convert(iconv, "abc"), "");
    });
}

TEST(KIconv, SlotsKeepTheirLibraryOpenWhenTheLoaderMovesOn)
{
    inFreshProcess([] {
        // The slots are filled from the first library; the loader then switches
        // to another file and the last converter of the first one goes away.
        // The entry points handed out afterwards must still be callable.
        tavir::test::TempDir dir;
        ASSERT_TRUE(KIconv::init("", copyLibrary(dir, "first")));
        {
            KIconv first;
            ASSERT_TRUE(first.open("utf-8//IGNORE", "iso-8859-1"));
        }
        ASSERT_TRUE(KIconv::init("", copyLibrary(dir, "second")));
        std::filesystem::remove_all(dir.file("first"));
        KIconv later;
        ASSERT_TRUE(later.open("utf-8//IGNORE", "iso-8859-1"));
        EXPECT_EQ(convert(later, "\xE4"), "\xC3\xA4");
        EXPECT_TRUE(later.close());
    });
}

TEST(KIconv, ManyThreadsMeetTheFirstUseTogether)
{
    inFreshProcess([] {
        // The engine's workers convert folder names concurrently; the first
        // converters of the process fill the shared slots at the same moment.
        std::vector<std::thread> threads;
        std::atomic<int> good{0};
        for (int t = 0; t < 8; ++t) {
            threads.emplace_back([&good] {
                for (int i = 0; i < 50; ++i) {
                    KIconv iconv;
                    if (iconv.open("iso-8859-1//IGNORE", "utf-8")
                        && convert(iconv, "\xC3\xA4") == "\xE4")
                        ++good;
                }
            });
        }
        for (auto& thread : threads)
            thread.join();
        EXPECT_EQ(good.load(), 8 * 50);
    });
}
