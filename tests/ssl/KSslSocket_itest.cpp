// The TLS socket against TLS peers built on OpenSSL directly: reads and
// writes through the stream buffers, kill() from another thread, accept
// with time-outs.
#include "ssl/KSslSocket.h"
#include "ssl/SSLContext.h"
#include "ssl/SslErrHandler.h"
#include "tiny/Time.h"

#include "NetPeers.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>

using nettest::nowMs;
using tavir::ssl::KSslSocket;
using tavir::ssl::SSLContext;

namespace {

int connectTo(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

struct SslSocketPeer : ::testing::Test {
    tavir::test::TempDir dir;
    nettest::CertFiles files = nettest::makeCertificate(dir);
    nettest::ServerCtx server{files};
    SSLContext clientCtx;
};

} // namespace

TEST_F(SslSocketPeer, ReadWriteThroughStream)
{
    nettest::Server srv([&](int fd, const std::atomic<bool>&) {
        nettest::serveTls(server.ctx, fd, [](SSL* ssl) {
            nettest::echoTls(ssl);
            SSL_shutdown(ssl);
        });
    });
    KSslSocket s;
    ASSERT_TRUE(s.init(&clientCtx));
    ASSERT_TRUE(s.open(connectTo(srv.port()), KSslSocket::MODE_AUTO_RETRY));
    s.setReadTimeout(5000);
    ASSERT_TRUE(s.connect());
    std::string text(10000, 'k');
    text += "\n";
    ASSERT_EQ(s.write(text.data(), text.size()), text.size());
    ASSERT_EQ(s.flush(), 0);
    std::string back;
    char buf[4096];
    while (back.size() < text.size()) {
        size_t n = s.read(buf, sizeof buf);
        if (n == 0)
            break;
        back.append(buf, n);
    }
    EXPECT_EQ(back, text);
    s.close();
    EXPECT_FALSE(s.isOpened());
    EXPECT_EQ(s.getSocket(), -1);
}

TEST_F(SslSocketPeer, PendingBytesAreNotTheEnd)
{
    nettest::Server srv([&](int fd, const std::atomic<bool>& stop) {
        nettest::serveTls(server.ctx, fd, [&](SSL* ssl) {
            std::string record(8000, 'p');
            SSL_write(ssl, record.data(), int(record.size()));
            nettest::idle(stop, 5000);
        });
    });
    KSslSocket s;
    ASSERT_TRUE(s.init(&clientCtx));
    ASSERT_TRUE(s.open(connectTo(srv.port())));
    s.setReadTimeout(5000);
    ASSERT_TRUE(s.connect());
    char buf[4096];
    ASSERT_EQ(s.read(buf, sizeof buf), 4096u); // one refill of 4,096 bytes
    // The socket is drained; the rest of the record waits decrypted.
    EXPECT_GT(s.pending(), 0);
    EXPECT_FALSE(s.isReadEof());
    size_t rest = 0;
    while (rest < 8000 - 4096) {
        size_t n = s.read(buf, sizeof buf);
        ASSERT_GT(n, 0u);
        rest += n;
    }
    EXPECT_EQ(s.pending(), 0);
    EXPECT_TRUE(s.isReadEof());
    srv.stop();
}

TEST_F(SslSocketPeer, KillWakesABlockedCall)
{
    // What the caller's thread does with the socket as soon as its call
    // returns, while the kill may still be freeing the connection.
    enum class Then { Nothing, Close, Destroy };
    const struct {
        const char* what;
        bool handshake; // the server answers the handshake, then says nothing
        Then then;
    } cases[] = {
        {"a read", true, Then::Nothing},
        {"the handshake", false, Then::Nothing},
        {"a read, closed as it returns", true, Then::Close},
        {"a read, destroyed as it returns", true, Then::Destroy},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        nettest::Server srv([&](int fd, const std::atomic<bool>& stop) {
            if (c.handshake)
                nettest::serveTls(server.ctx, fd, [&](SSL*) { nettest::idle(stop, 20000); });
            else
                nettest::idle(stop, 20000);
        });
        auto s = std::make_unique<KSslSocket>();
        KSslSocket* const killed = s.get(); // the killing thread's; `s` is the caller's
        ASSERT_TRUE(s->init(&clientCtx));
        ASSERT_TRUE(s->open(connectTo(srv.port())));
        if (c.handshake) {
            ASSERT_TRUE(s->connect());
        }
        std::atomic<int> result{1};
        std::atomic<long long> returnedAt{0};
        bool killOverAtClose = false;
        std::thread caller([&] {
            char buf[64];
            result = c.handshake ? s->i_read(buf, sizeof buf) : (s->connect() ? 1 : 0);
            returnedAt = nowMs();
            if (c.then == Then::Close) {
                s->close();
                killOverAtClose = s->getSSL() == nullptr && s->getSocket() == -1;
            } else if (c.then == Then::Destroy) {
                s.reset();
            }
        });
        EXPECT_TRUE(tavir::test::waitUntil([&] { return killed->busySince() != 0; }, 10000, 1));
        usleep(200000);
        long long start = nowMs();
        killed->kill();
        long long end = nowMs();
        caller.join();
        EXPECT_LT(end - start, 3000);
        EXPECT_LE(result.load(), 0);
        EXPECT_LE(returnedAt.load(), end); // the call had left before kill returned
        if (c.then == Then::Close) {
            EXPECT_TRUE(killOverAtClose) << "close() waits for the kill in hand";
        }
        if (s) {
            EXPECT_EQ(s->getSSL(), nullptr);
            EXPECT_EQ(s->getSocket(), -1);
            EXPECT_EQ(s->i_read(nullptr, 0), -1);
        }
        srv.stop();
    }
}

TEST_F(SslSocketPeer, AKillFromAnotherThreadLeavesTheBuffersToTheReaderUntilClose)
{
    nettest::Server srv([&](int fd, const std::atomic<bool>& stop) {
        nettest::serveTls(server.ctx, fd, [&](SSL* ssl) {
            std::string record(3000, 'b');
            SSL_write(ssl, record.data(), int(record.size()));
            nettest::idle(stop, 20000);
        });
    });
    KSslSocket s;
    ASSERT_TRUE(s.init(&clientCtx));
    ASSERT_TRUE(s.open(connectTo(srv.port())));
    s.setReadTimeout(5000);
    ASSERT_TRUE(s.connect());
    char buf[4096];
    ASSERT_EQ(s.read(buf, 1000), 1000u); // the other 2,000 wait in the read buffer
    std::thread([&] { s.kill(); }).join();
    EXPECT_FALSE(s.isOpened());
    EXPECT_EQ(s.read(buf, sizeof buf), 2000u); // received before the kill, and whole
    EXPECT_EQ(s.read(buf, sizeof buf), 0u);
    EXPECT_EQ(s.write("x", 1), 1u); // buffered; the next flush fails
    EXPECT_EQ(s.flush(), -1);
    s.close(); // the reader's own thread empties the buffers
    EXPECT_EQ(s.flush(), 0);
    srv.stop();
}

TEST_F(SslSocketPeer, AcceptWithTimeouts)
{
    nettest::Listener listener;
    // A client that connects and never says hello.
    int silent = connectTo(listener.port());
    int fd = listener.accept(2000);
    ASSERT_GE(fd, 0);
    KSslSocket s;
    ASSERT_TRUE(s.init(files.cert, files.key));
    ASSERT_TRUE(s.open(fd));
    long long start = nowMs();
    EXPECT_FALSE(s.accept(tavir::tiny::getMs64(), 0ull)); // one try
    EXPECT_LT(nowMs() - start, 500);
    start = nowMs();
    EXPECT_FALSE(s.accept(700ull));
    long long took = nowMs() - start;
    EXPECT_GE(took, 600);
    EXPECT_LT(took, 3000);
    close(silent);

    // A real client: the blocking form (low 32 bits all ones) succeeds.
    std::thread client([&] {
        int c = connectTo(listener.port());
        SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
        SSL* ssl = SSL_new(ctx);
        SSL_set_fd(ssl, c);
        if (SSL_connect(ssl) == 1)
            SSL_write(ssl, "hi\n", 3);
        char b[8];
        SSL_read(ssl, b, sizeof b);
        SSL_free(ssl);
        SSL_CTX_free(ctx);
        close(c);
    });
    int fd2 = listener.accept(2000);
    ASSERT_GE(fd2, 0);
    KSslSocket s2;
    ASSERT_TRUE(s2.init(files.cert, files.key));
    ASSERT_TRUE(s2.open(fd2));
    EXPECT_TRUE(s2.accept(tavir::tiny::getMs64(), 0xFFFFFFFFull));
    char line[16];
    EXPECT_EQ(s2.getstr(line, sizeof line), 3u);
    EXPECT_STREQ(line, "hi\n");
    s2.close();
    client.join();
}

TEST_F(SslSocketPeer, FailedWriteThenQuickClose)
{
    nettest::Server srv([&](int fd, const std::atomic<bool>& stop) {
        nettest::serveTls(server.ctx, fd, [&](SSL*) {
            nettest::idle(stop, 20000); // stops reading
        });
    });
    KSslSocket s;
    ASSERT_TRUE(s.init(&clientCtx));
    ASSERT_TRUE(s.open(connectTo(srv.port())));
    s.setWriteTimeout(1000);
    ASSERT_TRUE(s.connect());
    std::string chunk(1 << 20, 'x');
    bool failed = false;
    long long start = nowMs();
    for (int i = 0; i < 256 && !failed; ++i)
        failed = s.write(chunk.data(), chunk.size()) == 0;
    EXPECT_TRUE(failed);
    EXPECT_LT(nowMs() - start, 8000);
    std::string text;
    EXPECT_NE(tavir::ssl::SslErrHandler::instance()->getLastError(text), 0u);
    start = nowMs();
    s.close();
    EXPECT_LT(nowMs() - start, 500);
    EXPECT_FALSE(s.isOpened());
    srv.stop();
}
