#include "utils/ExaminedFile.h"
#include "utils/KFLock.h"
#include "utils/KFile.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using tavir::test::readFile;
using tavir::test::TempDir;
using tavir::test::writeFile;
using tavir::utils::KFile;
using tavir::utils::KFLock;

namespace {

bool exists(const std::string& path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

// Can this file be read from / written to through its descriptor?
bool canWrite(KFile& f)
{
    return f.write("!", 1) == 1 && f.flush() == 0;
}
bool canRead(KFile& f)
{
    char c;
    return f.read(&c, 1) == 1;
}

} // namespace

TEST(KFile, ModeStrings)
{
    TempDir tmp;
    const std::string p = tmp.file("f");
    writeFile(p, "content");
    struct Case {
        const char* mode;
        bool readable;
        bool writable;
        const char* after; // file content after opening (and one write when writable)
    };
    const Case cases[] = {
        {"rb", true, false, "content"},
        {"r", true, false, "content"},
        {"r+", true, true, "content!"},
        {"rb+", false, true, "!ontent"},
        {"w", false, true, "!"},
        {"w+", false, true, "!"},
        {"a", false, true, "content!"},
        {"ab+", false, true, "content!"},
        {"x", true, false, "content"},
        {"rbbbb+", true, false, "content"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        writeFile(p, "content");
        KFile f;
        ASSERT_TRUE(f.open(p.c_str(), c.mode));
        if (c.readable) {
            EXPECT_TRUE(canRead(f));
        }
        EXPECT_EQ(canWrite(f), c.writable);
        f.close();
        EXPECT_EQ(readFile(p), c.after);
    }
    KFile f;
    EXPECT_FALSE(f.open(p.c_str(), nullptr));
    EXPECT_TRUE(f.isClosed());
    EXPECT_FALSE(f.open(tmp.file("missing").c_str(), "r"));
    EXPECT_EQ(f.getFd(), -1);
    ASSERT_TRUE(f.open(tmp.file("created").c_str(), "w"));
    struct stat st;
    ASSERT_EQ(stat(tmp.file("created").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(fcntl(f.getFd(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
}

TEST(KFile, AccessAndCreationFlags)
{
    TempDir tmp;
    const std::string p = tmp.file("f");
    struct Case {
        bool existsBefore;
        int access;
        int creation;
        bool opens;
        const char* after; // content after one write ("" when it must not exist)
    };
    const Case cases[] = {
        {true, 2, KFile::CreateNew, false, "old"},
        {false, 2, KFile::CreateNew, true, "!"},
        {true, 1, KFile::CreateAlways, true, "!"},
        {false, 1, KFile::CreateAlways, true, "!"},
        {true, 2, KFile::OpenExisting, true, "!ld"},
        {false, 2, KFile::OpenExisting, false, nullptr},
        {true, 1, KFile::OpenAlways, true, "!ld"},
        {false, 1, KFile::OpenAlways, true, "!"},
        {true, 2, KFile::TruncateExisting, true, "!"},
        {false, 2, KFile::TruncateExisting, false, nullptr},
        {true, 0, KFile::TruncateExisting, false, "old"}, // refused: nothing touched
        {true, 1, KFile::OpenForAppend, true, "old!"},
        {false, 1, KFile::OpenForAppend, true, "!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.access) + "/" + std::to_string(c.creation)
            + (c.existsBefore ? " existing" : " missing"));
        unlink(p.c_str());
        if (c.existsBefore)
            writeFile(p, "old");
        KFile f;
        EXPECT_EQ(f.open(p.c_str(), c.access, c.creation), c.opens);
        if (c.opens) {
            EXPECT_TRUE(canWrite(f));
        }
        f.close();
        if (c.after) {
            EXPECT_EQ(readFile(p), c.after);
        } else {
            EXPECT_FALSE(exists(p));
        }
    }
    writeFile(p, "ro");
    KFile f;
    ASSERT_TRUE(f.open(p.c_str(), 7, KFile::OpenExisting)); // unknown access: read only
    EXPECT_FALSE(canWrite(f));
    EXPECT_TRUE(f.wOpen(p.c_str(), 0, 99)); // unknown creation adds nothing
    EXPECT_TRUE(canRead(f));
}

TEST(KFile, SeekTellAndTruncateFollowTheCallersPosition)
{
    TempDir tmp;
    const std::string p = tmp.file("f");
    writeFile(p, "line one\nline two\nline three\n");
    KFile f;
    ASSERT_TRUE(f.open(p.c_str(), "r+"));
    char buf[64];
    ASSERT_EQ(f.getstr(buf, sizeof buf), 9u);
    EXPECT_EQ(f.i_tell(), 9); // the read-ahead is not counted
    EXPECT_TRUE(f.truncate());
    EXPECT_EQ(readFile(p), "line one\n");
    EXPECT_EQ(f.write("new\n", 4), 4u);
    EXPECT_EQ(f.i_tell64(), 13);
    EXPECT_EQ(f.i_seek(0, SEEK_SET), 0); // pending bytes go out first
    EXPECT_EQ(readFile(p), "line one\nnew\n");
    EXPECT_EQ(f.getstr(buf, sizeof buf), 9u);
    EXPECT_EQ(f.i_seek(-4, SEEK_CUR), 0);
    EXPECT_EQ(f.getstr(buf, sizeof buf), 4u);
    EXPECT_STREQ(buf, "one\n");
    EXPECT_EQ(f.i_seek64(-4, SEEK_END), 0);
    EXPECT_EQ(f.getstr(buf, sizeof buf), 4u);
    EXPECT_STREQ(buf, "new\n");
    EXPECT_EQ(f.i_seek(-100, SEEK_SET), -1);
    EXPECT_TRUE(f.close());
    EXPECT_FALSE(f.truncate());
    EXPECT_EQ(f.i_seek(0, SEEK_SET), -1);

    // Rewriting a file in place, as the known-hosts file is: read it, go
    // back, write the shorter text, cut the rest.
    writeFile(p, "aaaa\nbbbb\ncccc\n");
    ASSERT_TRUE(f.open(p.c_str(), KFile::ReadWrite, KFile::OpenAlways));
    while (f.getstr(buf, sizeof buf) > 0) { }
    EXPECT_EQ(f.i_seek(0, SEEK_SET), 0);
    EXPECT_TRUE(f.puts("cccc\n"));
    EXPECT_TRUE(f.truncate());
    EXPECT_TRUE(f.close());
    EXPECT_EQ(readFile(p), "cccc\n");
}

TEST(KFile, CloseReportsBytesThatCouldNotBeWritten)
{
    if (!exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    KFile f;
    ASSERT_TRUE(f.open("/dev/full", "w"));
    EXPECT_EQ(f.write("abc", 3), 3u);
    EXPECT_FALSE(f.close());
    EXPECT_TRUE(f.isClosed());
}

TEST(KFile, LockNestingWithinOneProcess)
{
    TempDir tmp;
    const std::string p = tmp.file("lockme");
    writeFile(p, "x");
    KFile f;
    ASSERT_TRUE(f.open(p.c_str(), "r+"));
    EXPECT_TRUE(f.lock());
    EXPECT_TRUE(f.lock());
    EXPECT_TRUE(f.readLock()); // deepens the exclusive lock
    EXPECT_TRUE(f.unlock());
    EXPECT_TRUE(f.unlock());
    EXPECT_TRUE(f.unlock());
    EXPECT_FALSE(f.unlock()); // nothing held

    EXPECT_TRUE(f.readLock());
    EXPECT_TRUE(f.tryReadLock());
    EXPECT_FALSE(f.lock()); // shared held: no upgrade
    EXPECT_FALSE(f.tryWriteLock());
    EXPECT_TRUE(f.unlock());
    EXPECT_TRUE(f.unlock());
    EXPECT_TRUE(f.tryLock());

    // Only the constructing thread may lock.
    bool other = true;
    std::thread([&] { other = f.readLock() || f.lock() || f.tryLock() || f.unlock(); }).join();
    EXPECT_FALSE(other);
    EXPECT_TRUE(f.unlock());

    KFile closed;
    EXPECT_FALSE(closed.lock());
    EXPECT_FALSE(closed.readLock());
}

// The replaced files, FIFOs and links are the accounts file's table.
TEST(ExaminedFile, OpensOnlyARegularFileFoundUnderTheName)
{
    tavir::test::TempDir tmp;
    tavir::test::writeFile(tmp.file("four"), "text");
    const struct {
        const char* name;
        const char* path; // null: never examined
        const char* examined;
        const char* opened;
    } cases[] = {
        {"never examined", nullptr, "", "it was not examined before it was opened"},
        {"missing", "missing", "No such file or directory",
            "it was not examined before it was opened"},
        {"a folder", ".", "it is not a regular file", "it was not examined before it was opened"},
        {"a regular file", "four", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        tavir::utils::ExaminedFile file;
        if (c.path) {
            EXPECT_EQ(c.examined, file.examine(tmp.file(c.path)));
        }
        EXPECT_EQ(c.opened, file.open());
        if (*c.opened != '\0') {
            EXPECT_TRUE(file.stream().isClosed());
            continue;
        }
        EXPECT_EQ(4u, file.size());
        char text[8] = {};
        EXPECT_EQ(4u, file.stream().read(text, sizeof text));
        EXPECT_STREQ("text", text);
    }
}

TEST(KFLock, StandaloneLockOwnsItsDescriptor)
{
    TempDir tmp;
    KFLock lock;
    EXPECT_FALSE(lock.init(nullptr, true));
    EXPECT_FALSE(lock.lockInternal(true, true)); // unattached
    EXPECT_FALSE(lock.init(tmp.file("missing").c_str(), false));
    ASSERT_TRUE(lock.init(tmp.file("made").c_str(), true));
    EXPECT_TRUE(exists(tmp.file("made")));
    EXPECT_STREQ(lock.lockPath(), tmp.file("made").c_str());
    EXPECT_FALSE(lock.init(tmp.file("other").c_str(), true)); // already attached
    const int fd = lock.descriptor();
    EXPECT_TRUE(lock.testThreadID());
    EXPECT_TRUE(lock.writeLockInternal(true));
    EXPECT_EQ(lock.lockCounter(), -1);
    EXPECT_TRUE(lock.readLockInternal(true));
    EXPECT_EQ(lock.lockCounter(), -2);
    EXPECT_EQ(lock.decrementLockCounter(), -1);
    EXPECT_TRUE(lock.detach());
    EXPECT_FALSE(lock.isAttached());
    EXPECT_EQ(fcntl(fd, F_GETFD), -1); // the owned descriptor was closed
    EXPECT_FALSE(lock.detach());

    const std::string longPath = tmp.path() + "/" + std::string(600, 'n');
    KFLock tooLong;
    EXPECT_FALSE(tooLong.init(longPath.c_str(), true)); // the name is too long to open
    EXPECT_EQ(std::string(tooLong.lockPath()).size(), 511u);
}

TEST(KFLock, ABoundLockLeavesItsDescriptorOpen)
{
    TempDir tmp;
    const int fd = ::open(tmp.file("bound").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    int owned = -1;
    {
        KFLock lock;
        ASSERT_TRUE(lock.init(tmp.file("owned").c_str(), true));
        owned = lock.descriptor();
        // Bound to another descriptor, it lets the one it opened go.
        ASSERT_TRUE(lock.init(fd));
        EXPECT_EQ(fcntl(owned, F_GETFD), -1);
        EXPECT_EQ(lock.descriptor(), fd);
        EXPECT_TRUE(lock.lock());
        EXPECT_TRUE(lock.detach());
        EXPECT_NE(fcntl(fd, F_GETFD), -1);
        ASSERT_TRUE(lock.init(fd));
        EXPECT_TRUE(lock.readLock());
    }
    EXPECT_NE(fcntl(fd, F_GETFD), -1) << "the lock gone, its bound descriptor stays open";
    // The lock was given up with the lock object: another descriptor of the
    // file takes it at once.
    const int other = ::open(tmp.file("bound").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(other, 0);
    EXPECT_EQ(0, ::flock(other, LOCK_EX | LOCK_NB));
    ::close(other);
    ::close(fd);
}
