#include "utils/KSock.h"

#include "utils/OSInfo.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/HighDescriptor.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <vector>

using tavir::utils::KSock;
using tavir::utils::OSInfo;

namespace {

struct Pair {
    int a = -1, b = -1;
    Pair()
    {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0) {
            a = fds[0];
            b = fds[1];
        }
    }
    ~Pair()
    {
        if (b >= 0)
            close(b);
    }
};

long receiveTimeoutSeconds(int fd)
{
    timeval tv{};
    socklen_t len = sizeof tv;
    getsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, &len);
    return tv.tv_sec;
}

std::string readAll(int fd)
{
    std::string all;
    char buf[8192];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        all.append(buf, size_t(n));
    return all;
}

} // namespace

TEST(KSock, TimeoutsRoundUpToSecondsAndAreCut)
{
    Pair p;
    KSock s;
    EXPECT_EQ(s.setReadTimeout(1000), -1); // no descriptor yet
    s.open(p.a);
    struct Case {
        int ms;
        long seconds;
    } cases[] = {{1, 1}, {1000, 1}, {1001, 2}, {2500, 3}, {600000, 300}};
    for (const auto& c : cases) {
        EXPECT_EQ(s.setReadTimeout(c.ms), 0);
        EXPECT_EQ(receiveTimeoutSeconds(p.a), c.seconds) << c.ms;
    }
    EXPECT_EQ(s.setWriteTimeout(1001), 0);
    timeval tv{};
    socklen_t len = sizeof tv;
    getsockopt(p.a, SOL_SOCKET, SO_SNDTIMEO, &tv, &len);
    EXPECT_EQ(tv.tv_sec, 2);
}

TEST(KSock, ReadTimeoutEndsABlockedRead)
{
    Pair p;
    KSock s;
    s.open(p.a);
    s.setReadTimeout(1000);
    char buf[16];
    auto start = std::chrono::steady_clock::now();
    EXPECT_LT(s.i_read(buf, sizeof buf), 0);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start)
                  .count();
    EXPECT_GE(ms, 900);
    EXPECT_LT(ms, 5000);
}

TEST(KSock, SelectAndPeek)
{
    Pair p;
    KSock s;
    errno = 0;
    EXPECT_EQ(s.select(KSock::SELECT_READ, 0), -1);
    EXPECT_EQ(errno, EBADF);
    s.open(p.a);
    errno = 0;
    EXPECT_EQ(s.select(KSock::SELECT_INVALID, 5), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(s.select(KSock::SELECT_READ, 0), 0);
    EXPECT_EQ(s.select(KSock::SELECT_WRITE, 0), 1);
    // The error a select function sets is the one callers read through
    // OSInfo.
    OSInfo::setSysError(0);
    EXPECT_EQ(tavir::utils::selectSock(-1, true, 0), -1);
    EXPECT_EQ(OSInfo::sysError(), EBADF);

    char buf[8];
    // Without a descriptor the peek fails: 0, not -1.
    KSock empty;
    EXPECT_EQ(empty.peek(buf, sizeof buf), 0);

    ASSERT_EQ(write(p.b, "hello", 5), 5);
    EXPECT_EQ(s.select(KSock::SELECT_READ, 1), 1);
    EXPECT_EQ(s.peek(buf, 3), 3);
    EXPECT_EQ(std::string(buf, 3), "hel");
    EXPECT_EQ(s.i_read(buf, sizeof buf), 5); // the peeked bytes stayed
    EXPECT_EQ(std::string(buf, 5), "hello");
}

TEST(KSock, ReadEofAndClosed)
{
    Pair p;
    KSock s;
    EXPECT_TRUE(s.isReadEof());
    EXPECT_TRUE(s.isClosed());
    s.open(p.a);
    EXPECT_FALSE(s.isClosed());
    EXPECT_TRUE(s.isReadEof());
    ASSERT_EQ(write(p.b, "abc", 3), 3);
    EXPECT_FALSE(s.isReadEof());
    char c;
    EXPECT_EQ(s.read(&c, 1), 1u); // buffers "abc", hands out 'a'
    // Two bytes wait in the stream's buffer, none in the socket.
    EXPECT_FALSE(s.isReadEof());
    char rest[2];
    EXPECT_EQ(s.read(rest, 2), 2u);
    EXPECT_TRUE(s.isReadEof());
    // A peer that has gone is not "closed" here: it reads as 0 bytes.
    close(p.b);
    p.b = -1;
    EXPECT_FALSE(s.isClosed());
    EXPECT_EQ(s.i_read(rest, 2), 0);
}

TEST(KSock, CloseSendsPendingBytesBeforeHalfClose)
{
    Pair p;
    {
        KSock s;
        s.open(p.a);
        EXPECT_EQ(s.write("pending bytes", 13), 13u);
        s.close();
        EXPECT_EQ(s.getSocket(), -1);
        s.close(); // nothing held: nothing happens
    }
    EXPECT_EQ(readAll(p.b), "pending bytes");
}

TEST(KSock, WriteToVanishedPeerFailsWithoutSignal)
{
    Pair p;
    KSock s;
    s.open(p.a);
    close(p.b);
    p.b = -1;
    std::string big(1 << 16, 'x');
    // A send to a peer that has gone gives EPIPE, not SIGPIPE.
    EXPECT_LT(s.i_write(big.data(), unsigned(big.size())), 0);
    EXPECT_EQ(errno, EPIPE);
}

TEST(KSock, Names)
{
    int fd;
    unsigned short port = 0;
    ASSERT_TRUE(tavir::utils::sockListenIp4(fd, INADDR_LOOPBACK, 0, &port, 4));
    int c = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    KSock s;
    sockaddr_in name{};
    EXPECT_FALSE(s.getPeerName(reinterpret_cast<sockaddr*>(&name)));
    s.open(c);
    ASSERT_TRUE(s.getPeerName(reinterpret_cast<sockaddr*>(&name)));
    EXPECT_EQ(ntohs(name.sin_port), port);
    EXPECT_EQ(ntohl(name.sin_addr.s_addr), INADDR_LOOPBACK);
    ASSERT_TRUE(s.getSockName(reinterpret_cast<sockaddr*>(&name)));
    EXPECT_EQ(ntohl(name.sin_addr.s_addr), INADDR_LOOPBACK);
    int one = 1;
    EXPECT_TRUE(s.setSockOpt(SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<char*>(&one), sizeof one));
    close(fd);
}

// Only descriptors an fd_set can hold get their bit, in the system's own
// layout; any other leaves the set, and the memory past it, untouched.
TEST(KSock, FdSetTakesOnlyWhatTheSetHolds)
{
    const struct {
        int fd;
        bool taken;
    } cases[] = {{0, true}, {5, true}, {33, true}, {FD_SETSIZE - 1, true}, {FD_SETSIZE, false},
        {1500, false}, {10239, false}, {10240, false}, {-1, false}, {INT_MIN, false},
        {INT_MAX, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fd);
        fd_set mine, system;
        FD_ZERO(&mine);
        FD_ZERO(&system);
        if (c.taken)
            FD_SET(c.fd, &system);
        EXPECT_EQ(tavir::utils::FD_SET_s(c.fd, &mine), c.taken);
        EXPECT_EQ(std::memcmp(&mine, &system, sizeof mine), 0);
    }
}

// A process with many connections: a descriptor past FD_SETSIZE is refused
// by FD_SET_s, and waited on all the same by selectSock, which polls.
TEST(KSock, DescriptorPastTheFdSetSize)
{
    Pair pair;
    tavir::test::HighDescriptor high(pair.a, FD_SETSIZE + 476);
    if (high.fd() < 0)
        GTEST_SKIP() << high.why();
    fd_set set;
    FD_ZERO(&set);
    EXPECT_FALSE(tavir::utils::FD_SET_s(high.fd(), &set));
    EXPECT_EQ(tavir::utils::selectSock(high.fd(), false, 0), 1);
    EXPECT_EQ(tavir::utils::selectSock(high.fd(), true, 0), 0);
    ASSERT_EQ(write(pair.b, "x", 1), 1);
    EXPECT_EQ(tavir::utils::selectSock(high.fd(), true, 1000), 1);
    close(pair.a);
}

TEST(KSock, ListenChoosesPortAndFailureLeavesMinusOne)
{
    int fd = 12345;
    unsigned short port = 0;
    std::string error;
    ASSERT_TRUE(tavir::utils::sockListenIp4(fd, INADDR_LOOPBACK, 0, &port, 4, error));
    EXPECT_TRUE(error.empty());
    EXPECT_GT(port, 0);
    EXPECT_GE(fd, 0);

    // The same port again: taken.
    int again = 12345;
    EXPECT_FALSE(tavir::utils::sockListenIp4(again, INADDR_LOOPBACK, port, nullptr, 4, error));
    EXPECT_EQ(again == 12345 || again == -1, true);
    EXPECT_NE(again, 0);
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(error.rfind("sockListenIp4(): bind(", 0), 0u) << error;
    close(fd);

    // An address this host does not have: bind fails, the socket is closed
    // and left as -1 (0 would be standard input).
    int failed = 12345;
    EXPECT_FALSE(tavir::utils::sockListenIp4(failed, 0xC0000201u, 0, nullptr, 4, error));
    EXPECT_EQ(failed, -1);
    EXPECT_EQ(error.rfind("sockListenIp4(): bind(sock) failed. error: (", 0), 0u) << error;

    // Standard input stays open whatever failed.
    EXPECT_NE(fcntl(0, F_GETFD), -1);
}
