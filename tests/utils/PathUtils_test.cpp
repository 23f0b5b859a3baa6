#include "support/TestSupport.h"
#include "utils/PathUtils.h"

#include <gtest/gtest.h>

#include <utility>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

using namespace tavir::utils;

namespace {

struct NormCase {
    std::string input;
    bool trailingSlash;
    bool resolveDots;
    std::string expected;
};

} // namespace

TEST(PathUtils, NormalizePathTable)
{
    const std::vector<NormCase> table = {
        // separators
        {"a\\\\b//c", true, false, "a/b/c/"},
        {"a\\\\b//c", false, false, "a/b/c"},
        {"", true, false, "/"},
        {"", false, false, ""},
        {"/", false, false, "/"},
        {"\\\\server\\share", false, false, "/server/share"},
        {"/a/b/", false, false, "/a/b/"},
        {"/a/b/", true, false, "/a/b/"},
        {"/a/./b/../c", false, false, "/a/./b/../c"},
        // dots
        {"/a/b/../c", false, true, "/a/c"},
        {"/a/./b", false, true, "/a/b"},
        {"/a/b/..", false, true, "/a"},
        {"/a/b/.", false, true, "/a/b"},
        {"/a/b/c/../../d", false, true, "/a/d"},
        {"/usr/local/./lib/../bin/", false, true, "/usr/local/bin/"},
        {"/a/b/../..", false, true, "/"},
        {"/a/..", false, true, "/"},
        {"/a/.hidden/b", false, true, "/a/.hidden/b"},
        {"/a/x../.../b", false, true, "/a/x../.../b"},
        {"//a//b//..//c", false, true, "/a/c"},
        {"\\a\\b\\..\\c", false, true, "/a/c"},
        {"/a/b/..", true, true, "/a/"},
        {"/a/./", false, true, "/a/"},
        {"/", true, true, "/"},
        {"", false, true, ""},
        // a "." or ".." standing first stays
        {"/../a", false, true, "/../a"},
        {"/./a", false, true, "/./a"},
        {"./a/./b", false, true, "./a/b"},
        {"../a/../b", false, true, "../b"},
        // more ".." than components: an absolute path stops at the root,
        // a relative one keeps what it can't cancel
        {"/a/../../b", false, true, "/b"},
        {"/a/../../../b/", false, true, "/b/"},
        {"x/../y", false, true, "y"},
        {"x/../../y", false, true, "../y"},
        {"x/..", false, true, "."},
        {"a/b/../../..", false, true, ".."},
    };
    for (const auto& c : table) {
        std::string got = c.resolveDots ? normalizePath(c.input, c.trailingSlash, false, true)
                                        : normalizePath(c.input, c.trailingSlash, true);
        EXPECT_EQ(got, c.expected)
            << "'" << c.input << "' trailing=" << c.trailingSlash << " dots=" << c.resolveDots;
        if (!c.resolveDots) {
            std::string name = c.input;
            EXPECT_EQ(normalizeFileName(name, c.trailingSlash), c.expected);
            EXPECT_EQ(name, c.expected);
        }
    }
}

TEST(PathUtils, NameHelpersTable)
{
    struct Case {
        std::string input, pathName, parent, fileName;
    };
    const std::vector<Case> table = {
        {"D:\\dir", "D:/dir/", "D:\\", "dir"},
        {"", "", "", ""},
        {"/a/b", "/a/b/", "/a/", "b"},
        {"/a/b/", "/a/b/", "/a/", ""},
        {"/a", "/a/", "/", "a"},
        {"name", "name/", "", "name"},
        {"D:", "D:/", "D:", "D:"},
        {"D:/", "D:/", "D:/", ""},
        {"x/y", "x/y/", "x/y", "y"},
        {"dir\\sub/file.txt", "dir/sub/file.txt/", "dir\\sub/", "file.txt"},
        {"a\\\\b", "a//b/", "a\\\\", "b"},
        {"/usr/lib/zorp", "/usr/lib/zorp/", "/usr/lib/", "zorp"},
    };
    for (const auto& c : table) {
        EXPECT_EQ(normalizePathName(c.input), c.pathName) << c.input;
        EXPECT_EQ(getParentDirectory(c.input), c.parent) << c.input;
        EXPECT_EQ(extractFileName(c.input), c.fileName) << c.input;
    }
}

TEST(PathUtils, ExecutableFolderIsWhereTheBuildPutThisTest)
{
    const std::string folder = executableFolder();
    ASSERT_FALSE(folder.empty());
    EXPECT_NE(folder.back(), '/');
    EXPECT_TRUE(std::filesystem::equivalent(folder, TAVIR_BINARY_DIR "/bin")) << folder;
}

TEST(PathUtils, FullPath)
{
    tavir::test::TempDir dir;
    char cwd[PATH_MAX];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    std::string out;
    EXPECT_TRUE(fullPath(out, "x/./y/../z", false));
    EXPECT_EQ(out, normalizePath(std::string(cwd) + "/x/z", false, false));
    EXPECT_FALSE(fullPath(out, "no-such-name-here", true));
    EXPECT_TRUE(fullPath(out, dir.path() + "/./", true));
    EXPECT_EQ(out, dir.path() + "/");
    EXPECT_TRUE(fullPath(out, "", false));
    EXPECT_EQ(out, cwd);

    // realpath into a caller's buffer: links resolved, size respected.
    ASSERT_EQ(symlink(dir.path().c_str(), dir.file("link").c_str()), 0);
    char resolved[PATH_MAX];
    char* canonical = realpath(dir.path().c_str(), nullptr);
    ASSERT_NE(canonical, nullptr);
    EXPECT_TRUE(fullPath(resolved, dir.file("link").c_str(), sizeof resolved));
    EXPECT_STREQ(resolved, canonical);
    char small[8] = "unused";
    EXPECT_FALSE(fullPath(small, dir.file("link").c_str(), sizeof small));
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_STREQ(small, "unused");
    std::free(canonical);
}

// Linux paths reach 4096 bytes; a deep real directory must neither overflow a
// buffer nor be cut short.
TEST(PathUtils, FullPathOfLongPaths)
{
    tavir::test::TempDir dir;
    std::string path = dir.path();
    const std::string component(200, 'd');
    while (path.size() < 3000) {
        path += "/" + component;
        ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
    }
    std::vector<char> resolved(PATH_MAX);
    EXPECT_TRUE(fullPath(resolved.data(), path.c_str(), static_cast<int>(resolved.size())));
    char* canonical = realpath(path.c_str(), nullptr);
    ASSERT_NE(canonical, nullptr);
    EXPECT_STREQ(resolved.data(), canonical);
    std::free(canonical);

    std::string out;
    EXPECT_TRUE(fullPath(out, path + "/./x/..", true));
    EXPECT_EQ(out, path);
    EXPECT_FALSE(fullPath(out, "/" + std::string(PATH_MAX + 10, 'a'), false));
}

TEST(PathUtils, CreateDirectoryRecursive)
{
    tavir::test::TempDir dir;
    EXPECT_TRUE(createDirectoryRecursive(""));
    EXPECT_TRUE(createDirectoryRecursive(dir.file("a/b/c")));
    bool isDir = false;
    EXPECT_TRUE(fileExists(dir.file("a/b/c").c_str(), false, isDir, false));
    EXPECT_TRUE(isDir);
    EXPECT_TRUE(createDirectoryRecursive(dir.file("a/b/c"))); // exists already
    EXPECT_TRUE(createDirectoryRecursive(dir.file("a/b/c/")));
    EXPECT_TRUE(createDirectoryRecursive(dir.file("w\\x\\y"))); // "\" separates too
    EXPECT_TRUE(fileExists(dir.file("w/x/y").c_str(), false));
    EXPECT_FALSE(fileExists(dir.file("w\\x").c_str(), true));

    struct stat st;
    ASSERT_TRUE(createDirectoryRecursive(dir.file("m"), 0700));
    ASSERT_EQ(stat(dir.file("m").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    // A regular file holding the name is not a created directory.
    tavir::test::writeFile(dir.file("file"), "x");
    EXPECT_FALSE(createDirectoryRecursive(dir.file("file")));
    EXPECT_FALSE(createDirectoryRecursive(dir.file("file/sub")));
    // A parent that can't be made fails the whole.
    EXPECT_FALSE(createDirectoryRecursive(dir.file("file/sub/deeper")));
}

TEST(PathUtils, ExistenceAndSizes)
{
    tavir::test::TempDir dir;
    tavir::test::writeFile(dir.file("f"), "12345");
    ASSERT_EQ(mkdir(dir.file("d").c_str(), 0700), 0);
    ASSERT_EQ(symlink("missing-target", dir.file("dangling").c_str()), 0);
    ASSERT_EQ(symlink("f", dir.file("tofile").c_str()), 0);

    struct Case {
        std::string name;
        bool useLstat, linkIsMissing;
        bool exists, isDir;
    };
    const std::vector<Case> table = {
        {"f", false, false, true, false},
        {"d", false, false, true, true},
        {"d/", false, false, true, true},
        {"nothing", false, false, false, false},
        {"dangling", false, false, false, false},
        {"dangling", true, false, true, false},
        {"dangling", true, true, false, false},
        {"tofile", false, true, true, false},
        {"tofile", true, true, false, false},
    };
    for (const auto& c : table) {
        bool isDir = true;
        EXPECT_EQ(
            fileExists(dir.file(c.name).c_str(), c.useLstat, isDir, c.linkIsMissing), c.exists)
            << c.name << " lstat=" << c.useLstat;
        EXPECT_EQ(isDir, c.isDir) << c.name;
    }
    EXPECT_FALSE(fileExists(nullptr, false));

    EXPECT_EQ(fileSize(dir.file("f"), false), 5u);
    EXPECT_EQ(fileSize(dir.file("d"), true), 0u);
    EXPECT_EQ(fileSize(dir.file("tofile"), true), 5u);
    EXPECT_EQ(fileSize(dir.file("tofile"), false), 0u);
    EXPECT_EQ(fileSize(dir.file("nothing"), true), 0u);

    time_t mtime = 0;
    unsigned long size = 0;
    EXPECT_TRUE(getFileTimeSize(dir.file("f").c_str(), mtime, size));
    EXPECT_EQ(size, 5u);
    EXPECT_FALSE(getFileTimeSize(dir.file("nothing").c_str(), mtime, size));
}

TEST(PathUtils, Touch)
{
    tavir::test::TempDir dir;
    const std::string f = dir.file("f");
    tavir::test::writeFile(f, "x");
    struct stat before, after;
    ASSERT_EQ(stat(f.c_str(), &before), 0);

    EXPECT_TRUE(k_touch(f, 1000000000, TouchModificationTime));
    ASSERT_EQ(stat(f.c_str(), &after), 0);
    EXPECT_EQ(after.st_mtime, 1000000000);
    EXPECT_EQ(after.st_atim.tv_sec, before.st_atim.tv_sec);
    EXPECT_EQ(after.st_atim.tv_nsec, before.st_atim.tv_nsec);

    EXPECT_TRUE(k_touch(f, 1100000000, TouchAccessTime));
    ASSERT_EQ(stat(f.c_str(), &after), 0);
    EXPECT_EQ(after.st_atime, 1100000000);
    EXPECT_EQ(after.st_mtime, 1000000000);

    EXPECT_TRUE(k_touch(f, 0, KFlags<TouchOption>(TouchAccessTime) | TouchModificationTime));
    ASSERT_EQ(stat(f.c_str(), &after), 0);
    EXPECT_GE(after.st_mtime, before.st_mtime);
    EXPECT_EQ(after.st_mtim.tv_sec, after.st_atim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, after.st_atim.tv_nsec);

    // Now is never before the write just made, to the nanosecond.
    const auto order = [](const timespec& t) { return std::make_pair(t.tv_sec, t.tv_nsec); };
    for (int round = 0; round < 20; ++round) {
        tavir::test::writeFile(f, "y");
        ASSERT_EQ(stat(f.c_str(), &before), 0);
        EXPECT_TRUE(k_touch(f, 0, TouchModificationTime));
        ASSERT_EQ(stat(f.c_str(), &after), 0);
        EXPECT_GE(order(after.st_mtim), order(before.st_mtim)) << "round " << round;
    }

    EXPECT_FALSE(k_touch(dir.file("missing"), 0, TouchModificationTime));
    EXPECT_FALSE(fileExists(dir.file("missing").c_str(), true));
}

TEST(PathUtils, LoadTextFile)
{
    tavir::test::TempDir dir;
    std::string content;
    for (int i = 0; i < 200000; ++i)
        content.push_back(static_cast<char>(i % 251));
    content += "\r\n\0end";
    tavir::test::writeFile(dir.file("bin"), content);
    tavir::test::writeFile(dir.file("empty"), "");

    std::string out = "old";
    EXPECT_TRUE(loadTextFile(dir.file("bin").c_str(), out));
    EXPECT_EQ(out, content);
    EXPECT_TRUE(loadTextFile(dir.file("empty").c_str(), out));
    EXPECT_EQ(out, "");
    out = "kept";
    EXPECT_FALSE(loadTextFile(dir.file("missing").c_str(), out));
    EXPECT_EQ(out, "kept");
    // A directory opens but can't be read: not a loaded file.
    EXPECT_FALSE(loadTextFile(dir.path().c_str(), out));
    EXPECT_EQ(out, "kept");
}

TEST(PathUtils, DirSize)
{
    tavir::test::TempDir dir;
    tavir::test::writeFile(dir.file("a"), std::string(100, 'a'));
    ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0700), 0);
    tavir::test::writeFile(dir.file("sub/b"), std::string(20, 'b'));
    ASSERT_EQ(mkdir(dir.file("sub/skip").c_str(), 0700), 0);
    tavir::test::writeFile(dir.file("sub/skip/c"), std::string(3, 'c'));
    ASSERT_EQ(mkdir(dir.file("other").c_str(), 0700), 0);
    tavir::test::writeFile(dir.file("other/d"), std::string(4000, 'd'));
    // Links add nothing and are not entered, wherever they point.
    ASSERT_EQ(symlink(dir.file("other").c_str(), dir.file("sub/linkdir").c_str()), 0);
    ASSERT_EQ(symlink(dir.file("a").c_str(), dir.file("linkfile").c_str()), 0);
    ASSERT_EQ(symlink(dir.path().c_str(), dir.file("sub/loop").c_str()), 0);

    EXPECT_EQ(dirSize(dir.path(), {}), 4123u);
    EXPECT_EQ(dirSize(dir.path() + "/", {}), 4123u);
    EXPECT_EQ(dirSize(dir.path(), {dir.file("other")}), 123u);
    // Exclusions apply to the top directory only.
    EXPECT_EQ(dirSize(dir.path(), {dir.file("sub/skip")}), 4123u);
    EXPECT_EQ(dirSize(dir.file("sub"), {dir.file("sub/skip")}), 20u);
    EXPECT_EQ(dirSize(dir.file("missing"), {}), 0u);
}
