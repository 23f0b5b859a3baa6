#include "tiny/SocketPortability.h"
#include "tiny/Time.h"

#include <gtest/gtest.h>

#include "support/HighDescriptor.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

using namespace tavir::tiny;

namespace {

int listenLoopback(int backlog, sockaddr_in& addr)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    addr = sockaddr_in{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    EXPECT_EQ(0, bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    EXPECT_EQ(0, listen(fd, backlog));
    return fd;
}

// A connected client and the server's end of it.
struct Connection {
    int listener = -1, client = -1, server = -1;
    Connection()
    {
        sockaddr_in addr;
        listener = listenLoopback(4, addr);
        client = socket(AF_INET, SOCK_STREAM, 0);
        EXPECT_EQ(0, k_connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
        server = accept(listener, nullptr, nullptr);
        EXPECT_GE(server, 0);
    }
    ~Connection()
    {
        for (int fd : {listener, client, server})
            if (fd >= 0)
                close(fd);
    }
};

void onSignal(int)
{
}

} // namespace

TEST(SocketPortability, ConnectFailsForClosedPort)
{
    sockaddr_in addr;
    int l = listenLoopback(1, addr);
    close(l); // nobody listens there any more
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_EQ(-1, k_connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
    EXPECT_EQ(ECONNREFUSED, errno);
    close(fd);
}

namespace {

std::atomic<bool> g_queueDrained{false};
std::atomic<int> g_connectingFd{-1};

// Holds the interrupted thread in the handler until the kernel has finished
// the handshake, so that the connection is established before connect
// returns EINTR to its caller.
void onSignalWaitForConnection(int)
{
    while (!g_queueDrained)
        usleep(1000);
    pollfd p{g_connectingFd, POLLOUT, 0};
    poll(&p, 1, 10000);
}

void interruptedConnect(bool establishedBeforeRetry)
{
    // A listener whose accept queue is full drops new handshakes, so a
    // blocking connect waits for the retransmission: long enough to be hit
    // by a signal. Emptying the queue afterwards lets the connection through.
    sockaddr_in addr;
    int l = listenLoopback(0, addr);
    std::vector<int> fillers;
    for (int i = 0; i < 2; ++i) {
        int f = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        connect(f, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        fillers.push_back(f);
    }
    usleep(100000);

    struct sigaction sa {
    }, old{};
    // No SA_RESTART: connect returns EINTR.
    sa.sa_handler = establishedBeforeRetry ? onSignalWaitForConnection : onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGUSR1, &sa, &old);

    int fd = socket(AF_INET, SOCK_STREAM, 0);
    g_queueDrained = false;
    g_connectingFd = fd;
    std::atomic<int> result{-2};
    std::atomic<int> error{0};
    std::atomic<bool> started{false};
    pthread_t connector;
    std::thread t([&] {
        connector = pthread_self();
        started = true;
        int r = k_connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        error = errno;
        result = r;
    });
    while (!started)
        usleep(1000);
    usleep(200000);
    ASSERT_EQ(-2, result.load()) << "connect did not block";
    pthread_kill(connector, SIGUSR1);
    usleep(100000);
    // Free the queue: the blocked handshake gets through on its next try.
    std::vector<int> accepted;
    for (int i = 0; i < 3; ++i) {
        int a = accept4(l, nullptr, nullptr, SOCK_NONBLOCK);
        if (a >= 0)
            accepted.push_back(a);
    }
    g_queueDrained = true;
    t.join();
    EXPECT_EQ(0, result.load()) << "errno " << error.load();
    fcntl(l, F_SETFL, O_NONBLOCK);
    for (int a; (a = accept4(l, nullptr, nullptr, SOCK_NONBLOCK)) >= 0;)
        accepted.push_back(a);
    // The server end of our connection is the one whose peer is our socket.
    sockaddr_in mine{};
    socklen_t len = sizeof mine;
    getsockname(fd, reinterpret_cast<sockaddr*>(&mine), &len);
    int a = -1;
    for (int cand : accepted) {
        sockaddr_in peer{};
        len = sizeof peer;
        getpeername(cand, reinterpret_cast<sockaddr*>(&peer), &len);
        if (peer.sin_port == mine.sin_port)
            a = cand;
        else
            close(cand);
    }
    ASSERT_GE(a, 0);
    EXPECT_EQ(1, k_send(fd, "z", 1, 0));
    char c = 0;
    usleep(10000);
    EXPECT_EQ(1, k_recv(a, &c, 1, 0));
    EXPECT_EQ('z', c);
    sigaction(SIGUSR1, &old, nullptr);
    close(a);
    close(fd);
    for (int f : fillers)
        close(f);
    close(l);
}

} // namespace

TEST(SocketPortability, InterruptedConnectStillInProgressIsNotAFailure)
{
    interruptedConnect(false);
}

TEST(SocketPortability, InterruptedConnectEstablishedMeanwhileIsNotAFailure)
{
    interruptedConnect(true);
}

TEST(SocketPortability, SendRecvAndHugeLength)
{
    Connection c;
    ASSERT_EQ(5, k_send(c.client, "hello", 5, 0));
    // A length of 4 GiB is capped to 0x7fffffff rather than refused. The
    // kernel checks that the whole capped range is user address space, so
    // reserve that much (nothing is committed).
    const size_t reserve = 0x80000000UL;
    void* big = mmap(nullptr, reserve, PROT_READ | PROT_WRITE,
        MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(MAP_FAILED, big);
    ssize_t n = k_recv(c.server, big, size_t(4) << 30, 0);
    std::string got(static_cast<char*>(big), n > 0 ? static_cast<size_t>(n) : 0);
    munmap(big, reserve);
    char buf[16] = {};
    EXPECT_EQ(5, n) << strerror(errno);
    EXPECT_EQ("hello", got);
    sockaddr_in from{};
    socklen_t fromLen = sizeof from;
    ASSERT_EQ(3, k_sendto(c.server, "abc", 3, 0, nullptr, 0));
    EXPECT_EQ(
        3, k_recvfrom(c.client, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fromLen));
    EXPECT_EQ(-1, k_recv(-1, buf, 1, 0));
    EXPECT_EQ(EBADF, errno);
}

TEST(SocketPortability, SelectKeepsSetsAcrossSignals)
{
    Connection c;
    struct sigaction sa {
    }, old{};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGUSR1, &sa, &old);
    pthread_t self = pthread_self();
    std::thread t([&] {
        usleep(50000);
        pthread_kill(self, SIGUSR1);
        usleep(50000);
        k_send(c.client, "x", 1, 0);
    });
    fd_set r;
    FD_ZERO(&r);
    FD_SET(c.server, &r);
    timeval tv{5, 0};
    int n = k_select(c.server + 1, &r, nullptr, nullptr, &tv);
    t.join();
    EXPECT_EQ(1, n);
    EXPECT_TRUE(FD_ISSET(c.server, &r));
    sigaction(SIGUSR1, &old, nullptr);
}

// select reads and writes nfds bits of each set: past FD_SETSIZE that would
// reach beyond the caller's fd_set, so such a count is refused.
TEST(SocketPortability, SelectRefusesCountsPastTheFdSetSize)
{
    Connection c;
    tavir::test::HighDescriptor high(c.server, FD_SETSIZE + 100);
    if (high.fd() < 0)
        GTEST_SKIP() << high.why();
    ASSERT_EQ(1, k_send(c.client, "x", 1, 0));
    for (int nfds : {high.fd() + 1, FD_SETSIZE + 1, -1}) {
        SCOPED_TRACE(nfds);
        fd_set r;
        FD_ZERO(&r);
        FD_SET(c.server, &r);
        timeval tv{0, 0};
        errno = 0;
        EXPECT_EQ(-1, k_select(nfds, &r, &r, &r, &tv));
        EXPECT_EQ(EINVAL, errno);
    }
    fd_set r;
    FD_ZERO(&r);
    FD_SET(c.server, &r);
    timeval tv{5, 0};
    EXPECT_EQ(1, k_select(FD_SETSIZE, &r, nullptr, nullptr, &tv));
    EXPECT_TRUE(FD_ISSET(c.server, &r));
}

TEST(SocketPortability, TlsProbe)
{
    struct Case {
        unsigned char first;
        bool tls;
    };
    for (Case k : {Case{0x16, true}, Case{0x80, true}, Case{0xff, true}, Case{'A', false},
             Case{0x15, false}}) {
        Connection c;
        ASSERT_EQ(1, k_send(c.client, &k.first, 1, 0));
        bool notLocal = true;
        EXPECT_EQ(k.tls, testSslOnSocket(c.server, &notLocal, 1000)) << int(k.first);
        EXPECT_FALSE(notLocal) << int(k.first);
        // The byte is still there.
        unsigned char b = 0;
        EXPECT_EQ(1, k_recv(c.server, &b, 1, 0));
        EXPECT_EQ(k.first, b);
    }
    // The peer closed without a byte: true.
    Connection c;
    close(c.client);
    c.client = -1;
    EXPECT_TRUE(testSslOnSocket(c.server, nullptr, 1000));
}

TEST(SocketPortability, TlsProbeIPv6Loopback)
{
    int l = socket(AF_INET6, SOCK_STREAM, 0);
    sockaddr_in6 addr{};
    addr.sin6_family = AF_INET6;
    addr.sin6_addr = in6addr_loopback;
    if (l < 0 || bind(l, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        GTEST_SKIP() << "no IPv6 loopback";
    socklen_t len = sizeof addr;
    getsockname(l, reinterpret_cast<sockaddr*>(&addr), &len);
    listen(l, 1);
    int cl = socket(AF_INET6, SOCK_STREAM, 0);
    ASSERT_EQ(0, k_connect(cl, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
    int s = accept(l, nullptr, nullptr);
    ASSERT_EQ(1, k_send(cl, "G", 1, 0));
    bool notLocal = true;
    EXPECT_FALSE(testSslOnSocket(s, &notLocal, 1000));
    EXPECT_FALSE(notLocal);
    close(s);
    close(cl);
    close(l);
}

TEST(SocketPortability, TlsProbeThatCantReadReportsTrue)
{
    int p[2];
    ASSERT_EQ(0, pipe(p));
    ASSERT_EQ(1, write(p[1], "A", 1));
    bool notLocal = false;
    // recv on a pipe fails (ENOTSOCK): reported as true, flag untouched.
    EXPECT_TRUE(testSslOnSocket(p[0], &notLocal, 0));
    EXPECT_FALSE(notLocal);
    close(p[0]);
    close(p[1]);
}
