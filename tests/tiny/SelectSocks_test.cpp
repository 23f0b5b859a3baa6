#include "tiny/SelectSocks.h"
#include "tiny/Time.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

using tavir::tiny::getMs64;
using tavir::tiny::SelectSocks;

namespace {

struct Pair {
    int fd[2];
    Pair() { EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fd)); }
    ~Pair()
    {
        if (fd[0] >= 0)
            close(fd[0]);
        if (fd[1] >= 0)
            close(fd[1]);
    }
};

} // namespace

TEST(SelectSocks, EmptySetSleepsForTheTimeout)
{
    SelectSocks s;
    uint64_t a = getMs64();
    EXPECT_EQ(0, s.select(50));
    uint64_t took = getMs64() - a;
    EXPECT_GE(took, 50u);
    EXPECT_LT(took, 1000u);
}

TEST(SelectSocks, OneRecordPerDescriptor)
{
    Pair p;
    SelectSocks s;
    s.addRead(p.fd[0]);
    s.addWrite(p.fd[0]);
    EXPECT_EQ(1u, s.size());
    // Writable at once, nothing to read yet.
    EXPECT_EQ(1, s.select(1000));
    EXPECT_TRUE(s.checkWrite(p.fd[0]));
    EXPECT_FALSE(s.checkRead(p.fd[0]));
    ASSERT_EQ(1, write(p.fd[1], "x", 1));
    EXPECT_EQ(1, s.select(1000));
    EXPECT_TRUE(s.checkRead(p.fd[0]));
    EXPECT_TRUE(s.check(p.fd[0], POLLIN | POLLOUT));
    EXPECT_FALSE(s.checkRead(p.fd[1])); // no record
    s.reset();
    EXPECT_EQ(0u, s.size());
    EXPECT_FALSE(s.checkRead(p.fd[0]));
}

TEST(SelectSocks, TimeoutsAndNullTimeval)
{
    Pair p;
    SelectSocks s;
    s.addRead(p.fd[0]);
    uint64_t a = getMs64();
    EXPECT_EQ(0, s.select(30));
    EXPECT_GE(getMs64() - a, 30u);
    timeval tv{0, 40999}; // 40 ms, the rest cut off
    a = getMs64();
    EXPECT_EQ(0, s.select(&tv));
    uint64_t took = getMs64() - a;
    EXPECT_GE(took, 40u);
    EXPECT_LT(took, 900u);
    a = getMs64();
    EXPECT_EQ(0, s.select(static_cast<const timeval*>(nullptr)));
    took = getMs64() - a;
    EXPECT_GE(took, 999u);
    EXPECT_LT(took, 1900u);
}

TEST(SelectSocks, ClosedDescriptorFails)
{
    Pair p;
    int fd = dup(p.fd[0]);
    close(fd);
    SelectSocks s;
    s.addRead(p.fd[1]);
    s.addRead(fd);
    errno = 0;
    EXPECT_EQ(-1, s.select(100));
    EXPECT_EQ(EBADF, errno) << "the caller reads why";
    // It still shows as ready for what was asked.
    EXPECT_TRUE(s.checkRead(fd));
}

TEST(SelectSocks, HangUpShowsAsReadyForWhatWasAsked)
{
    struct Case {
        short asked;
        short shows;
    };
    for (Case c : {Case{POLLIN, POLLIN}, Case{POLLERR, POLLERR}, Case{POLLIN | POLLERR, POLLERR},
             Case{POLLOUT | POLLIN, POLLOUT}}) {
        Pair p;
        close(p.fd[1]);
        p.fd[1] = -1;
        SelectSocks s;
        s.add(p.fd[0], c.asked);
        EXPECT_EQ(1, s.select(1000)) << c.asked;
        EXPECT_TRUE(s.check(p.fd[0], c.shows)) << c.asked;
    }
    // Asked only for reading: shows readable, and a read gives end of file.
    Pair p;
    close(p.fd[1]);
    p.fd[1] = -1;
    SelectSocks s;
    s.addRead(p.fd[0]);
    EXPECT_EQ(1, s.select(1000));
    EXPECT_TRUE(s.checkRead(p.fd[0]));
    char c;
    EXPECT_EQ(0, read(p.fd[0], &c, 1));
}
