#include "tiny/SocketLayer.h"

#include "support/Loopback.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace tiny = tavir::tiny;

using tavir::test::tcpPair;

TEST(SocketLayer, InitSocketsKeepsTheProcessAliveOnABrokenPipe)
{
    EXPECT_EQ(tiny::initSockets(), 0);
    struct sigaction current { };
    ASSERT_EQ(sigaction(SIGPIPE, nullptr, &current), 0);
    EXPECT_EQ(current.sa_handler, SIG_IGN);

    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    close(sv[1]);
    errno = 0;
    EXPECT_EQ(write(sv[0], "x", 1), -1); // would have killed the process
    EXPECT_EQ(errno, EPIPE);
    close(sv[0]);
    EXPECT_EQ(tiny::closeSockets(), 0);
    ASSERT_EQ(sigaction(SIGPIPE, nullptr, &current), 0);
    EXPECT_EQ(current.sa_handler, SIG_IGN);
}

TEST(SocketLayer, TimeoutIsCutAt300Seconds)
{
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(s, 0);
    struct Case {
        int opt;
        int seconds;
        long expected;
    };
    const Case cases[] = {{SO_RCVTIMEO, 1000, 300}, {SO_SNDTIMEO, 300, 300}, {SO_RCVTIMEO, 5, 5},
        {SO_SNDTIMEO, 301, 300}, {SO_RCVTIMEO, 0, 0}};
    for (const Case& c : cases) {
        EXPECT_EQ(tiny::setSockTimeout(s, c.opt, c.seconds), 0);
        timeval tv{};
        socklen_t len = sizeof tv;
        ASSERT_EQ(getsockopt(s, SOL_SOCKET, c.opt, &tv, &len), 0);
        EXPECT_EQ(tv.tv_sec, c.expected) << c.seconds;
        EXPECT_EQ(tv.tv_usec, 0);
    }
    errno = 0;
    EXPECT_EQ(tiny::setSockTimeout(-1, SO_RCVTIMEO, 5), -1);
    EXPECT_EQ(errno, 0); // no system call was made
    EXPECT_EQ(closesocket(s), 0);
    EXPECT_EQ(closesocket(s), -1);
}

TEST(SocketLayer, BlockModeAndAbortiveClose)
{
    auto [client, server] = tcpPair();
    ASSERT_GE(client, 0);
    ASSERT_GE(server, 0);
    EXPECT_EQ(tiny::sockBlockMode(client, 0), 0);
    EXPECT_TRUE(fcntl(client, F_GETFL) & O_NONBLOCK);
    char c;
    errno = 0;
    EXPECT_EQ(recv(client, &c, 1, 0), -1);
    EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK);
    EXPECT_EQ(tiny::sockBlockMode(client, 1), 0);
    EXPECT_FALSE(fcntl(client, F_GETFL) & O_NONBLOCK);
    EXPECT_EQ(tiny::sockBlockMode(-1, 1), -1);

    // An abortive close makes the peer see a reset, not an orderly end.
    EXPECT_EQ(tiny::resetsocket(client), 0);
    errno = 0;
    EXPECT_EQ(recv(server, &c, 1, 0), -1);
    EXPECT_EQ(errno, ECONNRESET);
    close(server);
    EXPECT_EQ(tiny::resetsocket(client), -1); // already closed: option can't be set
}

namespace {
void tester(int, int)
{
}
} // namespace

TEST(SocketLayer, CloseSocketTesterHook)
{
    EXPECT_EQ(tiny::getCloseSocketTester(), nullptr);
    tiny::installCloseSocketTester(&tester);
    EXPECT_EQ(tiny::getCloseSocketTester(), &tester);
    tiny::installCloseSocketTester(nullptr);
    EXPECT_EQ(tiny::getCloseSocketTester(), nullptr);
}
