// The TLS client stream, the TLS socket and certificates against the openssl
// command line tools as peers.
#include "ssl/Certificate.h"
#include "ssl/KSslSocket.h"
#include "ssl/SSLContext.h"
#include "ssl/TcpClientStream.h"

#include "NetPeers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <iostream>

using namespace tavir::utils;
using nettest::nowMs;

namespace {

struct OpensslPeer : ::testing::Test {
    tavir::test::TempDir dir;
    nettest::CertFiles files = nettest::makeCertificate(dir, "peer");
    int port = 0;
    std::string out = dir.file("s_server.out");

    // The port is free when chosen, but another test may take it before the
    // server binds it: then the server ends, and a fresh port is tried.
    std::unique_ptr<nettest::Process> startServer(std::vector<std::string> extra = {})
    {
        for (int attempt = 0; attempt < 3; ++attempt) {
            port = tavir::test::freeLoopbackPort();
            std::vector<std::string> argv = {"openssl", "s_server", "-accept", std::to_string(port),
                "-cert", files.cert, "-key", files.key, "-quiet", "-naccept", "1"};
            argv.insert(argv.end(), extra.begin(), extra.end());
            auto p = std::make_unique<nettest::Process>(argv, out);
            try {
                p->waitReady([&] { return nettest::listensOn(p->pid(), port); }, 5000, "openssl s_server");
                return p;
            } catch (const std::runtime_error& e) {
                std::cerr << e.what() << " on port " << port << "\n";
            }
        }
        return nullptr;
    }

    std::unique_ptr<basic_tcpclientiostream> connect(unsigned timeout = 5)
    {
        auto s = std::make_unique<basic_tcpclientiostream>(
            InetSSLSocketAddress("imaps://127.0.0.1:" + std::to_string(port), "", ""),
            InetSSLSocketAddress::any(), 4096, 4096, true);
        s->setTimeoutInSeconds(timeout);
        s->create(nullptr);
        return s;
    }

    bool outputContains(const std::string& text, int ms = 3000)
    {
        return tavir::test::waitUntil(
            [&] { return tavir::test::readFile(out).find(text) != std::string::npos; }, ms);
    }
};

std::string sslVersionOf(basic_tcpclientiostream& s)
{
    auto* b = dynamic_cast<tavir::ssl::basic_sslbuffer*>(s.buffer());
    return b && b->getSSL() ? SSL_get_version(b->getSSL()) : "";
}

} // namespace

TEST_F(OpensslPeer, TlsStreamBothWays)
{
    auto server = startServer();
    ASSERT_TRUE(server);
    server->write("* OK ready\r\n");
    auto s = connect();
    ASSERT_TRUE(s->good());
    std::string line;
    ASSERT_TRUE(std::getline(*s, line));
    EXPECT_EQ(line, "* OK ready\r");
    *s << "a1 CAPABILITY\r\n" << std::flush;
    EXPECT_TRUE(s->good());
    EXPECT_TRUE(outputContains("a1 CAPABILITY"));
    s->close();
}

TEST_F(OpensslPeer, Tls10ServerAtSecurityLevelZero)
{
    auto server = startServer({"-tls1", "-cipher", "DEFAULT:@SECLEVEL=0"});
    ASSERT_TRUE(server);
    server->write("* OK old server\r\n");
    auto s = connect();
    ASSERT_TRUE(s->good());
    EXPECT_EQ(sslVersionOf(*s), "TLSv1");
    std::string line;
    ASSERT_TRUE(std::getline(*s, line));
    EXPECT_EQ(line, "* OK old server\r");
}

TEST_F(OpensslPeer, ServerKilledMidStreamReadsAsEnd)
{
    auto server = startServer();
    ASSERT_TRUE(server);
    server->write("* 1 FETCH (BODY[] {100}\r\n0123456789");
    auto s = connect(10);
    ASSERT_TRUE(s->good());
    std::string line;
    ASSERT_TRUE(std::getline(*s, line));
    char part[10];
    s->read(part, 10);
    ASSERT_TRUE(s->good());
    EXPECT_EQ(std::string(part, 10), "0123456789");
    server->kill(SIGKILL); // no close_notify
    long long start = nowMs();
    char more[90];
    s->read(more, 90);
    EXPECT_TRUE(s->eof());
    EXPECT_LT(nowMs() - start, 5000); // well before the 10 s time-out
    EXPECT_EQ(s->getSocketState(), 0);
}

TEST_F(OpensslPeer, PeerFingerprintMatchesOpensslX509)
{
    std::string expected;
    ASSERT_EQ(tavir::test::runShell(
                  "openssl x509 -noout -fingerprint -sha1 -in '" + files.cert + "'", &expected),
        0);
    // "SHA1 Fingerprint=AB:CD:..." -> "ab:cd:..."
    expected = expected.substr(expected.find('=') + 1);
    expected.erase(expected.find_last_not_of("\r\n") + 1);
    std::transform(expected.begin(), expected.end(), expected.begin(),
        [](unsigned char c) { return char(std::tolower(c)); });
    ASSERT_EQ(expected.size(), 59u);

    tavir::crypto::Certificate fromFile;
    ASSERT_TRUE(fromFile.loadCertificate(files.cert));
    std::string fp;
    ASSERT_TRUE(fromFile.getFingerprint(fp, ":"));
    EXPECT_EQ(fp, expected);

    auto server = startServer();
    ASSERT_TRUE(server);
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    tavir::ssl::SSLContext ctx;
    tavir::ssl::KSslSocket sock;
    ASSERT_TRUE(sock.init(&ctx));
    ASSERT_TRUE(sock.open(fd));
    sock.setReadTimeout(5000);
    ASSERT_TRUE(sock.connect());
    tavir::crypto::Certificate peer;
    ASSERT_TRUE(peer.getFromPeer(sock));
    std::string peerFp;
    ASSERT_TRUE(peer.getFingerprint(peerFp, ":"));
    EXPECT_EQ(peerFp, expected);
    sock.close();

    tavir::ssl::KSslSocket notOpen;
    EXPECT_FALSE(peer.getFromPeer(notOpen));
}

TEST_F(OpensslPeer, OpensslClientAgainstOurServerSocket)
{
    nettest::Listener listener;
    std::string clientOut = dir.file("s_client.out");
    nettest::Process client({"openssl", "s_client", "-connect",
                                "127.0.0.1:" + std::to_string(listener.port()), "-quiet"},
        clientOut);
    client.write("hello from s_client\n");
    int fd = listener.accept(5000);
    ASSERT_GE(fd, 0);
    tavir::ssl::KSslSocket sock;
    ASSERT_TRUE(sock.init(files.cert, files.key));
    ASSERT_TRUE(sock.open(fd));
    ASSERT_TRUE(sock.accept(5000ull));
    sock.setReadTimeout(5000);
    char line[128];
    unsigned n = sock.getstr(line, sizeof line);
    EXPECT_EQ(std::string(line, n), "hello from s_client\n");
    ASSERT_TRUE(sock.puts("reply from zorp\n"));
    ASSERT_EQ(sock.flush(), 0);
    EXPECT_TRUE(tavir::test::waitUntil(
        [&] {
            return tavir::test::readFile(clientOut).find("reply from zorp") != std::string::npos;
        },
        3000));
    sock.close();
}
