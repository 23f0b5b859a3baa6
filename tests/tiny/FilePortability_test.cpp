#include "tiny/FilePortability.h"

#include "support/ChildProcess.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

using tavir::test::readFile;
using tavir::test::TempDir;
using tavir::test::writeFile;
namespace tiny = tavir::tiny;

namespace {

bool exists(const std::string& path)
{
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

bool isDir(const std::string& path)
{
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Restores the working directory when a test changed it.
struct CwdGuard {
    CwdGuard()
    {
        char buf[4096];
        if (getcwd(buf, sizeof buf))
            saved = buf;
    }
    ~CwdGuard()
    {
        if (!saved.empty() && chdir(saved.c_str()) != 0)
            ADD_FAILURE() << "could not return to " << saved;
    }
    std::string saved;
};

// Runs `fn` where directory permissions apply: as is for an ordinary user,
// in a child switched to "nobody" when the tests run as root (the tree is
// handed to that user first). Returns fn's result, or -1000 when the child
// could not run it.
template <typename Fn> int withPermissionsEnforced(const std::string& tree, Fn fn)
{
    if (geteuid() != 0)
        return fn();
    const uid_t nobody = 65534;
    std::string chown = "chown -R 65534:65534 '" + tree + "'";
    if (tavir::test::runShell(chown) != 0)
        return -1000;
    const int code = tavir::test::ChildProcess([&] {
        if (setgid(nobody) != 0 || setuid(nobody) != 0)
            return 250;
        return (fn() + 8) & 0xff; // results from -8 to 200 travel as 0-208
    }).wait(60000);
    return code < 0 || code == 250 ? -1000 : code - 8;
}

} // namespace

TEST(FilePortability, MkdirWithParents)
{
    TempDir tmp;
    CwdGuard cwd;
    ASSERT_EQ(chdir(tmp.path().c_str()), 0);
    EXPECT_EQ(tiny::k_wmkdir("a/b/c/", 0755, 1), 0);
    EXPECT_TRUE(isDir("a") && isDir("a/b") && isDir("a/b/c"));
    struct stat st;
    ASSERT_EQ(stat("a/b/c", &st), 0);
    const mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(st.st_mode & 0777, 0755 & ~mask);

    errno = 0;
    EXPECT_EQ(tiny::k_wmkdir("a/b/c/", 0755, 1), -1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(tiny::k_wmkdir("x/y", 0755, 0), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_FALSE(exists("x"));
    EXPECT_EQ(tiny::k_wmkdir("d//e///f", 0700, 1), 0); // runs of '/' are one separator
    EXPECT_TRUE(isDir("d/e/f"));
    EXPECT_EQ(tiny::k_wmkdir((tmp.path() + "/abs/olute").c_str(), 0700, 1), 0);
    EXPECT_TRUE(isDir(tmp.path() + "/abs/olute"));

    errno = 1234;
    EXPECT_EQ(tiny::k_mkdir(nullptr, 0755, 1), -1);
    EXPECT_EQ(tiny::k_mkdir("", 0755, 1), -1);
    EXPECT_EQ(errno, 1234);
    EXPECT_EQ(tiny::k_wmkdir("/", 0755, 0), 0);
    EXPECT_EQ(tiny::k_wmkdir("///", 0755, 1), 0);

    writeFile("plain", "x");
    EXPECT_EQ(tiny::k_wmkdir("plain/sub", 0755, 1), -1); // ancestor exists but is a file
}

TEST(FilePortability, DirectoryStreamCompletesTypesWithoutFollowingLinks)
{
    TempDir tmp;
    const std::string d = tmp.path();
    writeFile(d + "/file", "x");
    ASSERT_EQ(mkdir((d + "/sub").c_str(), 0700), 0);
    ASSERT_EQ(symlink((d + "/sub").c_str(), (d + "/linkdir").c_str()), 0);
    ASSERT_EQ(symlink("/nonexistent/target", (d + "/dangling").c_str()), 0);
    ASSERT_EQ(mkfifo((d + "/fifo").c_str(), 0600), 0);

    const std::map<std::string, int> expected = {{".", DT_DIR}, {"..", DT_DIR}, {"file", DT_REG},
        {"sub", DT_DIR}, {"linkdir", DT_LNK}, {"dangling", DT_LNK}, {"fifo", DT_FIFO}};
    {
        tiny::DirStreamGuard guard((d + "/").c_str()); // trailing '/' in the stored path
        ASSERT_NE(guard.getDir(), nullptr);
        EXPECT_STREQ(guard.getDir()->path, (d + "/").c_str());
        std::map<std::string, int> seen;
        while (dirent* e = tiny::readdirstat(guard.getDir()))
            seen[e->d_name] = e->d_type;
        EXPECT_EQ(seen, expected);
    }
    tiny::DIR* dir = tiny::opendir(d.c_str());
    ASSERT_NE(dir, nullptr);
    std::map<std::string, int> seen;
    dirent entry;
    dirent* result = nullptr;
    while (tiny::readdirstat_r(dir, &entry, &result) == 0 && result) {
        EXPECT_EQ(result, &entry);
        seen[entry.d_name] = entry.d_type;
    }
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(tiny::closedir(dir), 0);
    EXPECT_EQ(tiny::closedir(nullptr), 0);

    EXPECT_EQ(tiny::opendir((d + "/missing").c_str()), nullptr);
    EXPECT_EQ(tiny::DirStreamGuard(nullptr).getDir(), nullptr);
    EXPECT_EQ(tiny::DirStreamGuard((d + "/file").c_str()).getDir(), nullptr);

    dirent fake{};
    std::strcpy(fake.d_name, "does-not-exist");
    fake.d_type = DT_UNKNOWN;
    tiny::fillInType(&fake, d.c_str());
    EXPECT_EQ(fake.d_type, DT_UNKNOWN); // lstat failed: the type stays
}

TEST(FilePortability, RemoveTreeLeavesLinkTargetsAlone)
{
    TempDir tmp;
    const std::string outside = tmp.file("outside");
    ASSERT_EQ(mkdir(outside.c_str(), 0700), 0);
    writeFile(outside + "/precious", "keep me");

    const std::string tree = tmp.file("tree");
    ASSERT_EQ(tiny::k_wmkdir((tree + "/a/b/c").c_str(), 0700, 1), 0);
    writeFile(tree + "/top", "1");
    writeFile(tree + "/a/b/c/deep", "2");
    writeFile(tree + "/a/.hidden", "3");
    ASSERT_EQ(symlink(outside.c_str(), (tree + "/a/link-out").c_str()), 0);
    ASSERT_EQ(symlink((outside + "/precious").c_str(), (tree + "/filelink").c_str()), 0);
    ASSERT_EQ(symlink("nowhere", (tree + "/a/b/dangling").c_str()), 0);
    ASSERT_EQ(mkfifo((tree + "/a/fifo").c_str(), 0600), 0);

    EXPECT_EQ(tiny::removeDirWithContent(tree.c_str()), 0);
    EXPECT_FALSE(exists(tree));
    EXPECT_EQ(readFile(outside + "/precious"), "keep me");

    // A link named as the tree itself is refused, its target untouched.
    const std::string link = tmp.file("link-to-outside");
    ASSERT_EQ(symlink(outside.c_str(), link.c_str()), 0);
    EXPECT_EQ(tiny::removeDirWithContent(link.c_str()), -1);
    EXPECT_EQ(readFile(outside + "/precious"), "keep me");

    errno = 0;
    EXPECT_EQ(tiny::removeDirWithContent(nullptr), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(tiny::removeDirWithContent(tmp.file("missing").c_str()), -1);
}

TEST(FilePortability, RemoveTreeGoesOnAfterAFailure)
{
    TempDir tmp;
    ASSERT_EQ(chmod(tmp.path().c_str(), 0755), 0);
    const std::string tree = tmp.file("tree");
    ASSERT_EQ(tiny::k_wmkdir((tree + "/locked").c_str(), 0700, 1), 0);
    writeFile(tree + "/locked/inside", "x");
    writeFile(tree + "/other", "y");
    writeFile(tree + "/zz", "z");
    const int rc = withPermissionsEnforced(tree, [&] {
        if (chmod((tree + "/locked").c_str(), 0500) != 0) // nothing inside can be unlinked
            return -2;
        return tiny::removeDirWithContent(tree.c_str());
    });
    EXPECT_EQ(rc, -1);
    EXPECT_FALSE(exists(tree + "/other")); // the rest was still removed
    EXPECT_FALSE(exists(tree + "/zz"));
    EXPECT_TRUE(exists(tree + "/locked/inside"));
    chmod((tree + "/locked").c_str(), 0700);
}

TEST(FilePortability, CopyTree)
{
    TempDir tmp;
    const std::string src = tmp.file("src");
    ASSERT_EQ(tiny::k_wmkdir((src + "/sub/deeper").c_str(), 0700, 1), 0);
    ASSERT_EQ(mkdir((src + "/skipme").c_str(), 0700), 0);
    writeFile(src + "/one", "1");
    writeFile(src + "/sub/two", "2");
    writeFile(src + "/sub/deeper/three", "3");
    writeFile(src + "/skipme/four", "4");
    ASSERT_EQ(symlink((src + "/one").c_str(), (src + "/link").c_str()), 0);

    const std::string flat = tmp.file("flat");
    EXPECT_EQ(tiny::copyDirectoryWithContent(src, flat, false, {}), 0);
    EXPECT_EQ(readFile(flat + "/one"), "1");
    EXPECT_FALSE(exists(flat + "/sub"));
    EXPECT_FALSE(exists(flat + "/link"));

    const std::string full = tmp.file("new/parents/full");
    EXPECT_EQ(tiny::copyDirectoryWithContent(
                  src, full, true, {src + "/skipme", tmp.file("no-such-exclusion")}),
        0);
    EXPECT_EQ(readFile(full + "/sub/deeper/three"), "3");
    EXPECT_FALSE(exists(full + "/skipme"));

    // Into an existing target: same names overwritten, others left alone.
    const std::string existing = tmp.file("existing");
    ASSERT_EQ(mkdir(existing.c_str(), 0700), 0);
    writeFile(existing + "/one", "old and longer");
    writeFile(existing + "/mine", "stays");
    EXPECT_EQ(tiny::copyDirectoryWithContent(src, existing, false, {}), 0);
    EXPECT_EQ(readFile(existing + "/one"), "1");
    EXPECT_EQ(readFile(existing + "/mine"), "stays");

    EXPECT_EQ(tiny::copyDirectoryWithContent(tmp.file("missing"), tmp.file("t2"), false, {}), 1);
    EXPECT_EQ(tiny::copyDirectoryWithContent(src, tmp.file("a/b"), false, {}), 1); // no parents
    // A dangling link in the source with exclusions given: reported by
    // result, never thrown (links are skipped anyway).
    ASSERT_EQ(symlink("/nonexistent/zorp", (src + "/dangling").c_str()), 0);
    const std::string withDangling = tmp.file("with-dangling");
    EXPECT_EQ(tiny::copyDirectoryWithContent(src, withDangling, true, {src + "/skipme"}), 0);
    EXPECT_EQ(readFile(withDangling + "/sub/two"), "2");
    EXPECT_FALSE(exists(withDangling + "/dangling"));
    EXPECT_FALSE(exists(withDangling + "/skipme"));
    ASSERT_EQ(unlink((src + "/dangling").c_str()), 0);

    ASSERT_EQ(chmod(tmp.path().c_str(), 0755), 0);
    writeFile(src + "/secret", "s");
    ASSERT_EQ(chmod((src + "/secret").c_str(), 0), 0);
    EXPECT_EQ(withPermissionsEnforced(tmp.path(),
                  [&] { return tiny::copyDirectoryWithContent(src, tmp.file("t3"), false, {}); }),
        2);
    ASSERT_EQ(unlink((src + "/secret").c_str()), 0);
    const std::string ro = tmp.file("ro");
    ASSERT_EQ(mkdir(ro.c_str(), 0500), 0);
    EXPECT_EQ(withPermissionsEnforced(
                  tmp.path(), [&] { return tiny::copyDirectoryWithContent(src, ro, false, {}); }),
        3);
}

TEST(FilePortability, FileCopy)
{
    TempDir tmp;
    std::string content;
    for (int i = 0; i < 3000; ++i)
        content += "line " + std::to_string(i) + "\n"; // several 4096-byte blocks
    writeFile(tmp.file("src"), content);
    chmod(tmp.file("src").c_str(), 0640);

    EXPECT_EQ(tiny::filecopy(tmp.file("src").c_str(), tmp.file("dst").c_str(), 0, true), 0);
    EXPECT_EQ(readFile(tmp.file("dst")), content);
    struct stat st;
    ASSERT_EQ(stat(tmp.file("dst").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);

    writeFile(tmp.file("small"), "x");
    errno = 0;
    EXPECT_EQ(tiny::filecopy(tmp.file("small").c_str(), tmp.file("dst").c_str(), 1, false), 2);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(readFile(tmp.file("dst")), content);
    EXPECT_EQ(tiny::filecopy(tmp.file("small").c_str(), tmp.file("dst").c_str(), 0, false), 0);
    EXPECT_EQ(readFile(tmp.file("dst")), "x");

    EXPECT_EQ(tiny::filecopy(tmp.file("missing").c_str(), tmp.file("d2").c_str(), 0, false), 1);
    EXPECT_FALSE(exists(tmp.file("d2")));
    EXPECT_EQ(tiny::filecopy(tmp.file("src").c_str(), tmp.file("nodir/d3").c_str(), 0, false), 2);
    EXPECT_EQ(tiny::filecopy(tmp.path().c_str(), tmp.file("d4").c_str(), 0, false), 1); // a dir
}

// A full disk: /dev/full accepts buffered writes and fails at the final flush.
TEST(FilePortability, FileCopyReportsAWriteErrorSeenOnlyAtTheFlush)
{
    if (!exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    TempDir tmp;
    writeFile(tmp.file("small"), "just a few bytes");
    errno = 0;
    EXPECT_EQ(tiny::filecopy(tmp.file("small").c_str(), "/dev/full", 0, false), 2);
    EXPECT_EQ(errno, ENOSPC);
    writeFile(tmp.file("big"), std::string(100000, 'b'));
    EXPECT_EQ(tiny::filecopy(tmp.file("big").c_str(), "/dev/full", 0, false), 2);
}

TEST(FilePortability, TruncateAndPositions)
{
    TempDir tmp;
    writeFile(tmp.file("f"), "0123456789");
    const int fd = open(tmp.file("f").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(lseek(fd, 4, SEEK_SET), 4);
    EXPECT_EQ(tiny::k_ftruncate(fd, -1), 0);
    EXPECT_EQ(readFile(tmp.file("f")), "0123");
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 4);
    EXPECT_EQ(tiny::k_ftruncate(fd, 2), 0);
    EXPECT_EQ(readFile(tmp.file("f")), "01");
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 2);
    EXPECT_EQ(tiny::k_ftruncate(fd, 6), 0); // extending fills with zero bytes
    EXPECT_EQ(readFile(tmp.file("f")), std::string("01\0\0\0\0", 6));
    close(fd);
    EXPECT_EQ(tiny::k_ftruncate(fd, 0), -1);
    EXPECT_EQ(errno, EBADF);

    FILE* f = fopen(tmp.file("f").c_str(), "rb");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(tiny::fseek64(f, 3, SEEK_SET), 0);
    EXPECT_EQ(tiny::ftell64(f), 3);
    EXPECT_EQ(tiny::fseek64(f, -1, SEEK_END), 0);
    EXPECT_EQ(tiny::ftell64(f), 5);
    fclose(f);
    EXPECT_EQ(tiny::fseek64(nullptr, 3, SEEK_SET), 0);
    EXPECT_EQ(tiny::ftell64(nullptr), 0);
}

TEST(FilePortability, ExtensionAndPathText)
{
    struct Case {
        const char* name;
        const char* ext;
        int result;
    };
    const Case cases[] = {{"Mail.EML", ".eml", 1}, {"a", ".eml", 0}, {"x.eml.bak", ".eml", 0},
        {".eml", ".EML", 1}, {"abc", "", 1}, {"abc", nullptr, 0}, {nullptr, ".eml", 0},
        {"file.tar.gz", "tar.GZ", 1}};
    for (const Case& c : cases)
        EXPECT_EQ(tiny::fext(c.name, c.ext), c.result)
            << (c.name ? c.name : "null") << " " << (c.ext ? c.ext : "null");
    EXPECT_EQ(tiny::ansiPathToPathString(nullptr), "");
    EXPECT_EQ(tiny::ansiPathToPathString("/a/b"), "/a/b");
    TempDir tmp;
    ASSERT_EQ(mkdir(tmp.file("d").c_str(), 0700), 0);
    EXPECT_EQ(tiny::removedir(tmp.file("d").c_str()), 0);
    EXPECT_FALSE(exists(tmp.file("d")));
}
