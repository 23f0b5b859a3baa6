// File locks checked against other processes: flock(1) for the flock locks
// of KFile, a forked child for the record lock of KInterLockedFile.
#include "utils/KFile.h"
#include "utils/KInterLockedFile.h"

#include "support/LockHolder.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

using tavir::test::haveProgram;
using tavir::test::LockHolder;
using tavir::test::readFile;
using tavir::test::runShell;
using tavir::test::TempDir;
using tavir::test::writeFile;
using tavir::utils::KFile;
using tavir::utils::KInterLockedFile;

namespace {

// Exit status of flock(1) trying the lock without waiting: 0 taken, 1 busy.
int flockNow(const std::string& path, bool exclusive)
{
    return runShell(std::string("flock -n ") + (exclusive ? "-x" : "-s") + " '" + path + "' true");
}

} // namespace

TEST(FileLocks, FlockNestingSeenFromAnotherProcess)
{
    if (!haveProgram("flock"))
        GTEST_SKIP() << "flock(1) missing";
    TempDir tmp;
    const std::string p = tmp.file("locked");
    writeFile(p, "x");
    KFile f;
    ASSERT_TRUE(f.open(p.c_str(), "r+"));
    ASSERT_EQ(flockNow(p, true), 0);

    EXPECT_TRUE(f.lock());
    EXPECT_TRUE(f.lock());
    EXPECT_TRUE(f.unlock());
    EXPECT_EQ(flockNow(p, false), 1); // still held after one unlock
    EXPECT_TRUE(f.unlock());
    EXPECT_EQ(flockNow(p, true), 0); // released by the second

    EXPECT_TRUE(f.readLock());
    EXPECT_EQ(flockNow(p, false), 0); // shared with other readers
    EXPECT_EQ(flockNow(p, true), 1);
    EXPECT_TRUE(f.unlock());

    EXPECT_TRUE(f.lock());
    EXPECT_TRUE(f.close()); // closing gives the lock up
    EXPECT_EQ(flockNow(p, true), 0);
}

TEST(FileLocks, TryLockFailsWhileAnotherProcessHoldsTheFile)
{
    if (!haveProgram("flock"))
        GTEST_SKIP() << "flock(1) missing";
    TempDir tmp;
    const std::string p = tmp.file("locked");
    const std::string marker = tmp.file("held");
    writeFile(p, "x");
    // The holder keeps the lock until the release file appears (at most 20 s).
    const std::string release = tmp.file("release");
    ASSERT_EQ(runShell("(flock -x '" + p + "' sh -c 'touch \"" + marker + "\"; i=0; while [ ! -e \""
                  + release
                  + "\" ] && [ $i -lt 200 ]; do sleep 0.1; i=$((i+1)); done') "
                    ">/dev/null 2>&1 &"),
        0);
    for (int i = 0; i < 200 && access(marker.c_str(), F_OK) != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    ASSERT_EQ(access(marker.c_str(), F_OK), 0) << "the flock(1) holder never started";

    KFile f;
    ASSERT_TRUE(f.open(p.c_str(), "r"));
    EXPECT_FALSE(f.tryLock());
    EXPECT_FALSE(f.tryReadLock());
    writeFile(release, "");
    EXPECT_TRUE(f.lock()); // blocks until the holder lets go
    EXPECT_TRUE(f.unlock());
}

TEST(FileLocks, InterLockedFileExcludesOtherProcesses)
{
    TempDir tmp;
    const std::string p = tmp.file("known_hosts.cfg");
    writeFile(p, "host:44337: AA:BB\n");
    {
        LockHolder writer(p, "r+");
        ASSERT_TRUE(writer.opened());
        KInterLockedFile f;
        errno = 0;
        EXPECT_FALSE(f.open(p.c_str(), "w")); // would truncate
        EXPECT_EQ(errno, EAGAIN);
        EXPECT_TRUE(f.isClosed());
        EXPECT_EQ(readFile(p), "host:44337: AA:BB\n"); // a failed open leaves it alone
        EXPECT_FALSE(f.open(p.c_str(), KFile::ReadWrite, KFile::CreateAlways));
        EXPECT_FALSE(f.open(p.c_str(), KFile::ReadWrite, KFile::TruncateExisting));
        EXPECT_EQ(readFile(p), "host:44337: AA:BB\n");
        errno = 0;
        EXPECT_FALSE(f.open(p.c_str(), "rb")); // readers wait for the writer too
        EXPECT_EQ(errno, EAGAIN);
        // A descriptor opened elsewhere is locked as an open by name is.
        errno = 0;
        EXPECT_FALSE(f.open(tavir::utils::Descriptor(::open(p.c_str(), O_RDWR | O_CLOEXEC))));
        EXPECT_EQ(errno, EAGAIN);
        EXPECT_TRUE(f.isClosed());
    }
    {
        LockHolder reader(p, "rb");
        ASSERT_TRUE(reader.opened());
        KInterLockedFile f;
        EXPECT_TRUE(f.open(p.c_str(), "rb")); // readers share
        char buf[64];
        EXPECT_EQ(f.getstr(buf, sizeof buf), 18u);
        f.close();
        EXPECT_TRUE(f.open(tavir::utils::Descriptor(::open(p.c_str(), O_RDONLY | O_CLOEXEC))));
        EXPECT_FALSE(f.isClosed());
        f.close();
        EXPECT_FALSE(f.open(tavir::utils::Descriptor(::open(p.c_str(), O_WRONLY | O_CLOEXEC))));
        EXPECT_EQ(errno, EAGAIN);
        EXPECT_FALSE(f.open(tavir::utils::Descriptor())); // none
        EXPECT_EQ(errno, EBADF);
        EXPECT_FALSE(f.open(p.c_str(), "a"));
        EXPECT_EQ(errno, EAGAIN);
    }
    KInterLockedFile f;
    ASSERT_TRUE(f.open(p.c_str(), "w")); // nobody holds it now: truncated
    EXPECT_EQ(readFile(p), "");
    EXPECT_TRUE(f.puts("new:1: CC\n"));
    EXPECT_TRUE(f.close());
    EXPECT_EQ(readFile(p), "new:1: CC\n");
}

TEST(FileLocks, InterLockedFileKeepsItsLockWhenAnotherDescriptorCloses)
{
    TempDir tmp;
    const std::string p = tmp.file("f");
    writeFile(p, "data");
    KInterLockedFile f;
    ASSERT_TRUE(f.open(p.c_str(), "r+"));
    // Some other code of this process opens and closes the same file: the
    // record lock must stay.
    const int other = open(p.c_str(), O_RDONLY);
    ASSERT_GE(other, 0);
    close(other);
    LockHolder second(p, "r+");
    EXPECT_FALSE(second.opened());
    second.release();
    EXPECT_TRUE(f.close());
    LockHolder third(p, "r+");
    EXPECT_TRUE(third.opened());
}

TEST(FileLocks, InterLockedFileSerialisesThreadsWithItsMutex)
{
    TempDir tmp;
    KInterLockedFile f;
    EXPECT_TRUE(f.writeLock());
    EXPECT_TRUE(f.lock()); // recursive for the holder
    bool other = true;
    std::thread([&] { other = f.tryLock() || f.tryReadLock() || f.tryWriteLock(); }).join();
    EXPECT_FALSE(other);
#if !defined(__SANITIZE_THREAD__)
    // POSIX makes a recursive mutex refuse an unlock by a thread that does not
    // hold it; ThreadSanitizer reports the attempt itself, so it is left out there.
    std::thread([&] { other = f.unlock(); }).join();
    EXPECT_FALSE(other); // only the holder can unlock
#endif
    EXPECT_TRUE(f.unlock());
    EXPECT_TRUE(f.unlock());
    std::thread([&] {
        other = f.tryWriteLock();
        if (other)
            f.unlock();
    }).join();
    EXPECT_TRUE(other);
}
