// The client stream against servers written here: well-behaved ones, and
// ones that stall, stay silent or reset the connection.
#include "ssl/TcpClientStream.h"

#include "NetPeers.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>

using namespace tavir::utils;
using nettest::nowMs;

namespace {

InetSocketAddress loopback(int port)
{
    return InetSocketAddress("imap://127.0.0.1:" + std::to_string(port));
}

InetSSLSocketAddress loopbackTls(int port)
{
    return InetSSLSocketAddress("imap://127.0.0.1:" + std::to_string(port), "", "");
}

// Reads lines and answers each with "echo: " + line.
void plainEcho(int fd, const std::atomic<bool>&)
{
    std::string pending;
    char buf[4096];
    ssize_t n;
    while ((n = recv(fd, buf, sizeof buf, 0)) > 0) {
        pending.append(buf, size_t(n));
        size_t nl;
        while ((nl = pending.find('\n')) != std::string::npos) {
            std::string reply = "echo: " + pending.substr(0, nl + 1);
            nettest::sendAll(fd, reply.data(), reply.size());
            pending.erase(0, nl + 1);
        }
    }
}

struct TlsClientStream : ::testing::Test {
    tavir::test::TempDir dir;
    nettest::CertFiles files = nettest::makeCertificate(dir);
    nettest::ServerCtx server{files};
};

} // namespace

TEST(TcpClientStream, PlainEchoAndLocalAddress)
{
    nettest::Server server(plainEcho);
    // A local address other than any: still bound to 0.0.0.0 and a port of
    // the system's choice.
    basic_tcpclientiostream s(
        loopback(server.port()), InetSocketAddress(Inet4Address(0x7F000001u), 1), 4096, 4096);
    s.setTimeoutInSeconds(5);
    s.create(nullptr);
    ASSERT_TRUE(s.good());
    EXPECT_TRUE(s.isConnected());
    const InetSocketAddress& local = s.getHost();
    EXPECT_EQ(local.getAddress().toString(), "127.0.0.1");
    EXPECT_NE(local.getPort(), 1u);
    EXPECT_GT(local.getPort(), 0u);
    EXPECT_EQ(s.getPeerHost().getPort(), unsigned(server.port()));

    s << "a1 NOOP\r\n" << std::flush;
    std::string line;
    ASSERT_TRUE(std::getline(s, line));
    EXPECT_EQ(line, "echo: a1 NOOP\r");
    s.close();
    EXPECT_TRUE(s.good());
    EXPECT_FALSE(s.isConnected());
}

TEST(TcpClientStream, EveryByteValueArrives)
{
    std::string all;
    for (int i = 0; i < 256; ++i)
        all.push_back(char(i));
    nettest::Server server(
        [&](int fd, const std::atomic<bool>&) { nettest::sendAll(fd, all.data(), all.size()); });
    basic_tcpclientiostream s(loopback(server.port()), InetSocketAddress::any(), 4096, 4096);
    s.create(nullptr);
    ASSERT_TRUE(s.good());
    for (int i = 0; i < 256; ++i) {
        int c = s.get();
        ASSERT_EQ(c, i); // 0xFF arrives as 255, not as end of file
    }
    EXPECT_EQ(s.get(), std::char_traits<char>::eof());
    EXPECT_TRUE(s.eof());
    EXPECT_EQ(s.getSocketState(), 0); // a closed peer is no socket error
}

TEST(TcpClientStream, ClosedPortLeavesBadbitAndClosesNothingElse)
{
    int port = tavir::test::freeLoopbackPort();
    int sentinel[2];
    ASSERT_EQ(pipe(sentinel), 0);
    basic_tcpclientiostream s(loopback(port), InetSocketAddress::any(), 4096, 4096);
    s.setTimeoutInSeconds(5);
    s.create(nullptr);
    EXPECT_TRUE(s.bad());
    EXPECT_FALSE(s.isConnected());
    s.close();
    EXPECT_TRUE(s.bad());
    // The descriptors opened before are all still open.
    EXPECT_NE(fcntl(sentinel[0], F_GETFD), -1);
    EXPECT_NE(fcntl(sentinel[1], F_GETFD), -1);
    close(sentinel[0]);
    close(sentinel[1]);
}

TEST(TcpClientStream, PortAboveRangeNeverConnectsElsewhere)
{
    nettest::Server server(plainEcho);
    InetSocketAddress peer(Inet4Address(0x7F000001u), unsigned(server.port()) + 65536u);
    basic_tcpclientiostream s(peer, InetSocketAddress::any(), 4096, 4096);
    s.create(nullptr);
    EXPECT_TRUE(s.bad());
    EXPECT_FALSE(s.isConnected());
}

TEST(TcpClientStream, SilentServerReadTimesOut)
{
    nettest::Server server([](int, const std::atomic<bool>& stop) { nettest::idle(stop, 10000); });
    basic_tcpclientiostream s(loopback(server.port()), InetSocketAddress::any(), 4096, 4096);
    s.setTimeoutInSeconds(1);
    s.create(nullptr);
    ASSERT_TRUE(s.good());
    long long start = nowMs();
    std::string line;
    EXPECT_FALSE(std::getline(s, line));
    long long took = nowMs() - start;
    EXPECT_GE(took, 900);
    EXPECT_LT(took, 4000);
    EXPECT_TRUE(s.eof());
    EXPECT_FALSE(s.bad());
    EXPECT_EQ(s.getSocketState(), 0);
    server.stop();
}

TEST(TcpClientStream, SubSecondTimeoutAndNoTimeout)
{
    nettest::Server server([](int fd, const std::atomic<bool>& stop) {
        nettest::idle(stop, 1200);
        nettest::sendAll(fd, "late\n", 5);
        nettest::idle(stop, 5000);
    });
    {
        basic_tcpclientiostream s(loopback(server.port()), InetSocketAddress::any(), 4096, 4096);
        s.setTimeoutInSeconds(0);
        s.setTimeoutInuSeconds(300000);
        s.create(nullptr);
        long long start = nowMs();
        EXPECT_EQ(s.get(), std::char_traits<char>::eof());
        EXPECT_LT(nowMs() - start, 1100);
    }
    {
        // Without a time-out the read waits for the data.
        basic_tcpclientiostream s(loopback(server.port()), InetSocketAddress::any(), 4096, 4096);
        s.setTimeoutInSeconds(0);
        s.create(nullptr);
        std::string line;
        ASSERT_TRUE(std::getline(s, line));
        EXPECT_EQ(line, "late");
    }
}

TEST(TcpClientStream, FlushAndOverflow)
{
    std::atomic<size_t> received{0};
    std::string got;
    std::mutex m;
    nettest::Server server([&](int fd, const std::atomic<bool>& stop) {
        char buf[256];
        while (!stop) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0)
                continue;
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            std::lock_guard<std::mutex> lock(m);
            got.append(buf, size_t(n));
            received = got.size();
        }
    });
    basic_tcpclientiostream s(loopback(server.port()), InetSocketAddress::any(), 16, 8);
    s.create(nullptr);
    ASSERT_TRUE(s.good());
    // Nothing buffered: a flush is a success, not a failure.
    s.flush();
    EXPECT_TRUE(s.good());
    s.write("123456789", 9); // the ninth byte overflows the 8-byte area
    EXPECT_TRUE(s.good());
    long long end = nowMs() + 3000;
    while (received < 8 && nowMs() < end)
        usleep(10000);
    usleep(100000);
    EXPECT_EQ(received.load(), 8u);
    s.flush();
    EXPECT_TRUE(s.good());
    end = nowMs() + 3000;
    while (received < 9 && nowMs() < end)
        usleep(10000);
    std::lock_guard<std::mutex> lock(m);
    EXPECT_EQ(got, "123456789");
}

TEST(TcpClientStream, RecreateAfterClose)
{
    nettest::Server server(plainEcho);
    basic_tcpclientiostream s(loopback(server.port()), InetSocketAddress::any(), 4096, 4096);
    for (int round = 0; round < 3; ++round) {
        s.create(nullptr);
        ASSERT_TRUE(s.good()) << round;
        s << "r" << round << "\n" << std::flush;
        std::string line;
        ASSERT_TRUE(std::getline(s, line));
        EXPECT_EQ(line, "echo: r" + std::to_string(round));
        s.close();
        EXPECT_TRUE(s.good());
    }
}

// A peer that resets while a large write is under way: the write fails and
// the process lives on. Runs in a child process; plain sends must not need
// SIGPIPE ignored at all, TLS writes rely on the library having ignored it.
[[noreturn]] static void writeIntoReset(bool tls, int port)
{
    if (!tls)
        signal(SIGPIPE, SIG_DFL);
    std::unique_ptr<basic_tcpclientiostream> s;
    if (tls)
        s.reset(new basic_tcpclientiostream(
            loopbackTls(port), InetSSLSocketAddress::any(), 4096, 4096, true));
    else
        s.reset(new basic_tcpclientiostream(loopback(port), InetSocketAddress::any(), 4096, 4096));
    s->setTimeoutInSeconds(5);
    s->create(nullptr);
    if (!s->good())
        _exit(3);
    std::string chunk(65536, 'z');
    for (int i = 0; i < 1000 && s->good(); ++i)
        s->write(chunk.data(), std::streamsize(chunk.size()));
    // Write on after the failure: the second write on a reset connection is
    // the one that raises SIGPIPE.
    for (int i = 0; i < 3; ++i) {
        s->clear();
        s->write(chunk.data(), std::streamsize(chunk.size()));
        s->flush();
    }
    _exit(s->bad() && s->getSocketState() == -1 ? 0 : 4);
}

// 0 when the child exited normally with code 0; -1 when a signal (SIGPIPE)
// ended it.
static int runInChild(bool tls, int port)
{
    return tavir::test::ChildProcess([&]() -> int { writeIntoReset(tls, port); }).wait(60000);
}

TEST(TcpClientStream, ResetDuringLargePlainWrite)
{
    nettest::Server server([](int fd, const std::atomic<bool>&) {
        char buf[1024];
        recv(fd, buf, sizeof buf, 0);
        linger l{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    });
    EXPECT_EQ(runInChild(false, server.port()), 0);
}

TEST_F(TlsClientStream, ResetDuringLargeTlsWrite)
{
    // Make sure the library's set-up has run in this process first, as it
    // has in any process that made a TLS stream before.
    {
        basic_tcpclientiostream warmUp(loopbackTls(1), InetSSLSocketAddress::any(), 16, 16, true);
        warmUp.init();
    }
    nettest::Server srv([&](int fd, const std::atomic<bool>&) {
        SSL* ssl = SSL_new(server.ctx);
        SSL_set_fd(ssl, fd);
        if (SSL_accept(ssl) == 1) {
            char buf[1024];
            SSL_read(ssl, buf, sizeof buf);
        }
        linger l{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        SSL_free(ssl);
    });
    EXPECT_EQ(runInChild(true, srv.port()), 0);
}

TEST_F(TlsClientStream, EchoAndOrderlyClose)
{
    std::atomic<int> shutdownSeen{0};
    std::atomic<int> plainAfterTls{0};
    nettest::Server srv([&](int fd, const std::atomic<bool>&) {
        nettest::serveTls(server.ctx, fd, [&](SSL* ssl) {
            if (SSL_get_error(ssl, nettest::echoTls(ssl)) == SSL_ERROR_ZERO_RETURN)
                shutdownSeen = 1;
            // Nothing may follow the close_notify on this connection.
            char buf[4096];
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 300) > 0 && recv(fd, buf, sizeof buf, MSG_DONTWAIT) > 0)
                plainAfterTls = 1;
        });
    });
    basic_tcpclientiostream s(
        loopbackTls(srv.port()), InetSSLSocketAddress::any(), 4096, 4096, true);
    s.setTimeoutInSeconds(5);
    s.create(nullptr);
    ASSERT_TRUE(s.good());
    std::string big(100000, 'q');
    s << big << "\n" << std::flush;
    std::string line;
    ASSERT_TRUE(std::getline(s, line));
    EXPECT_EQ(line, big);
    s.close();
    EXPECT_TRUE(s.good());
    srv.stop();
    EXPECT_EQ(shutdownSeen.load(), 1);
    EXPECT_EQ(plainAfterTls.load(), 0);
}

TEST_F(TlsClientStream, DestructorFlushesThroughTlsNeverPlain)
{
    std::string received;
    std::atomic<int> shutdownSeen{0};
    nettest::Server srv([&](int fd, const std::atomic<bool>&) {
        nettest::serveTls(server.ctx, fd, [&](SSL* ssl) {
            char buf[4096];
            int n;
            while ((n = SSL_read(ssl, buf, sizeof buf)) > 0)
                received.append(buf, size_t(n));
            if (SSL_get_error(ssl, n) == SSL_ERROR_ZERO_RETURN)
                shutdownSeen = 1;
        });
    });
    {
        basic_tcpclientiostream s(
            loopbackTls(srv.port()), InetSSLSocketAddress::any(), 4096, 4096, true);
        s.setTimeoutInSeconds(5);
        s.create(nullptr);
        ASSERT_TRUE(s.good());
        s << "left in the buffer";
    }
    srv.stop();
    EXPECT_EQ(received, "left in the buffer");
    EXPECT_EQ(shutdownSeen.load(), 1);
}

TEST_F(TlsClientStream, HandshakeAgainstPlainServerFails)
{
    nettest::Server srv([](int fd, const std::atomic<bool>& stop) {
        nettest::sendAll(fd, "* OK plain IMAP\r\n", 17);
        nettest::idle(stop, 5000);
    });
    basic_tcpclientiostream s(
        loopbackTls(srv.port()), InetSSLSocketAddress::any(), 4096, 4096, true);
    s.setTimeoutInSeconds(3);
    long long start = nowMs();
    s.create(nullptr);
    EXPECT_TRUE(s.bad());
    EXPECT_LT(nowMs() - start, 4000);
    EXPECT_TRUE(s.isConnected()); // open until close()
    s.close();
    EXPECT_FALSE(s.isConnected());
}

TEST_F(TlsClientStream, SilentServerBoundsTheHandshake)
{
    nettest::Server srv([](int, const std::atomic<bool>& stop) { nettest::idle(stop, 10000); });
    basic_tcpclientiostream s(
        loopbackTls(srv.port()), InetSSLSocketAddress::any(), 4096, 4096, true);
    s.setTimeoutInSeconds(1);
    long long start = nowMs();
    s.create(nullptr);
    long long took = nowMs() - start;
    EXPECT_TRUE(s.bad());
    EXPECT_GE(took, 900);
    EXPECT_LT(took, 4000);
    srv.stop();
}

TEST_F(TlsClientStream, OneLargeRecordNeedsNoWaits)
{
    std::string payload(16384, 'r');
    nettest::Server srv([&](int fd, const std::atomic<bool>& stop) {
        BIO* mem = nullptr;
        SSL* ssl = nettest::acceptIntoMemory(server.ctx, fd, &mem);
        if (!ssl)
            return;
        std::string bytes = nettest::recordBytes(ssl, mem, payload);
        nettest::sendAll(fd, bytes.data(), bytes.size());
        nettest::idle(stop, 10000);
        SSL_free(ssl);
    });
    basic_tcpclientiostream s(
        loopbackTls(srv.port()), InetSSLSocketAddress::any(), 4096, 4096, true);
    s.setTimeoutInSeconds(3);
    s.create(nullptr);
    ASSERT_TRUE(s.good());
    std::string got(payload.size(), '\0');
    long long start = nowMs();
    s.read(&got[0], std::streamsize(got.size()));
    EXPECT_TRUE(s.good());
    EXPECT_EQ(got, payload);
    EXPECT_LT(nowMs() - start, 1500); // no refill waited for the socket
    srv.stop();
}

TEST_F(TlsClientStream, HalfRecordThenStallEndsInTime)
{
    nettest::Server srv([&](int fd, const std::atomic<bool>& stop) {
        BIO* mem = nullptr;
        SSL* ssl = nettest::acceptIntoMemory(server.ctx, fd, &mem);
        if (!ssl)
            return;
        std::string bytes = nettest::recordBytes(ssl, mem, std::string(8000, 'h'));
        nettest::sendAll(fd, bytes.data(), bytes.size() / 2);
        nettest::idle(stop, 15000);
        SSL_free(ssl);
    });
    basic_tcpclientiostream s(
        loopbackTls(srv.port()), InetSSLSocketAddress::any(), 4096, 4096, true);
    s.setTimeoutInSeconds(1);
    s.create(nullptr);
    ASSERT_TRUE(s.good());
    long long start = nowMs();
    char c;
    s.read(&c, 1);
    long long took = nowMs() - start;
    EXPECT_TRUE(s.eof());
    EXPECT_GE(took, 900);
    EXPECT_LT(took, 5000);
    EXPECT_EQ(s.getSocketState(), 0); // a time-out, not a socket error
    srv.stop();
}

TEST_F(TlsClientStream, StartAndResetTlsOnOneSocket)
{
    std::string log;
    nettest::Server srv([&](int fd, const std::atomic<bool>&) {
        char buf[256];
        ssize_t n = recv(fd, buf, sizeof buf, 0); // "plain?\n"
        log.append(buf, size_t(n > 0 ? n : 0));
        nettest::sendAll(fd, "go\n", 3);
        nettest::serveTls(server.ctx, fd, [&](SSL* ssl) {
            int k = SSL_read(ssl, buf, sizeof buf); // "secret\n"
            if (k > 0) {
                log.append(buf, size_t(k));
                SSL_write(ssl, "tls ok\n", 7);
            }
            n = recv(fd, buf, sizeof buf, 0); // plain again
            log.append(buf, size_t(n > 0 ? n : 0));
        });
    });
    basic_tcpclientiostream s(
        loopbackTls(srv.port()), InetSSLSocketAddress::any(), 4096, 4096, false);
    s.setTimeoutInSeconds(5);
    s.create(nullptr);
    ASSERT_TRUE(s.good());
    s << "plain?\n" << std::flush;
    std::string line;
    ASSERT_TRUE(std::getline(s, line));
    EXPECT_EQ(line, "go");
    EXPECT_GT(s.startSSL(), 0);
    s << "secret\n" << std::flush;
    ASSERT_TRUE(std::getline(s, line));
    EXPECT_EQ(line, "tls ok");
    s.resetSSL();
    s << "bye\n" << std::flush;
    s.close();
    srv.stop();
    EXPECT_EQ(log, "plain?\nsecret\nbye\n");
}

TEST(TcpClientStream, ConnectIsBoundedByTheTimeout)
{
    // A listener whose accept queue is full drops further SYNs: a connect to
    // it waits for the system's own (minutes long) time-out unless bounded.
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(listener, 0), 0);
    getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        int f = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        connect(f, reinterpret_cast<sockaddr*>(&a), sizeof a);
        fillers.push_back(f);
    }
    usleep(200000);
    basic_tcpclientiostream s(loopback(ntohs(a.sin_port)), InetSocketAddress::any(), 4096, 4096);
    s.setTimeoutInSeconds(1);
    long long start = nowMs();
    s.create(nullptr);
    long long took = nowMs() - start;
    EXPECT_TRUE(s.bad());
    EXPECT_FALSE(s.isConnected());
    EXPECT_LT(took, 3000);
    for (int f : fillers)
        close(f);
    close(listener);
}

TEST_F(TlsClientStream, SilentAfterHandshakeReadTimesOut)
{
    nettest::Server srv([&](int fd, const std::atomic<bool>& stop) {
        nettest::serveTls(server.ctx, fd, [&](SSL*) {
            nettest::idle(stop, 10000);
        });
    });
    basic_tcpclientiostream s(
        loopbackTls(srv.port()), InetSSLSocketAddress::any(), 4096, 4096, true);
    s.setTimeoutInSeconds(1);
    s.create(nullptr);
    ASSERT_TRUE(s.good());
    long long start = nowMs();
    std::string line;
    EXPECT_FALSE(std::getline(s, line));
    long long took = nowMs() - start;
    EXPECT_GE(took, 900);
    EXPECT_LT(took, 4000);
    EXPECT_TRUE(s.eof());
    EXPECT_FALSE(s.bad());
    srv.stop();
}

TEST(TcpClientStream, ReadinessAndRawReceive)
{
    nettest::Server server([](int fd, const std::atomic<bool>& stop) {
        nettest::idle(stop, 300);
        nettest::sendAll(fd, "abc", 3);
        nettest::idle(stop, 5000);
    });
    basic_tcpclientiostream s(loopback(server.port()), InetSocketAddress::any(), 4096, 4096);
    s.setTimeoutInSeconds(2);
    EXPECT_EQ(s.buffer()->getTimeout(), 2000000u);
    s.setTimeoutInuSeconds(500);
    EXPECT_EQ(s.buffer()->getTimeout(), 2000500u);
    s.create(nullptr);
    ASSERT_TRUE(s.good());
    EXPECT_EQ(s.buffer()->isRecvReady(), 3); // nothing yet
    int fd = s.buffer()->getSocket();
    EXPECT_TRUE(helper::waitOnSocketSet(fd, 2, 0));
    EXPECT_EQ(s.buffer()->isRecvReady(), 2);
    EXPECT_EQ(s.buffer()->receive(), 3);
    EXPECT_FALSE(helper::waitOnSocketSet(fd, 0, 200000));
    s.close();
    EXPECT_EQ(s.buffer()->getSocket(), -1);
    EXPECT_EQ(s.buffer()->isRecvReady(), 1);
    server.stop();
}

TEST_F(TlsClientStream, WriteToStalledReaderIsBoundedAndCloseIsQuick)
{
    nettest::Server srv([&](int fd, const std::atomic<bool>& stop) {
        nettest::serveTls(server.ctx, fd, [&](SSL*) {
            nettest::idle(stop, 20000); // never reads again
        });
    });
    basic_tcpclientiostream s(
        loopbackTls(srv.port()), InetSSLSocketAddress::any(), 4096, 4096, true);
    s.setTimeoutInSeconds(1);
    s.create(nullptr);
    ASSERT_TRUE(s.good());
    std::string chunk(1 << 20, 'w');
    long long start = nowMs();
    for (int i = 0; i < 256 && s.good(); ++i)
        s.write(chunk.data(), std::streamsize(chunk.size()));
    EXPECT_TRUE(s.bad());
    EXPECT_LT(nowMs() - start, 8000);
    EXPECT_EQ(s.getSocketState(), -1);
    start = nowMs();
    s.close();
    EXPECT_LT(nowMs() - start, 500); // no second wait on the dead connection
    srv.stop();
}
