// Many threads opening, using and closing TLS connections at once: each
// connection gets back exactly its own bytes.
#include "ssl/TcpClientStream.h"

#include "NetPeers.h"

#include <gtest/gtest.h>

#include <thread>

using namespace tavir::utils;

TEST(TlsConcurrency, ManyTlsConnectionsNoCrossTalk)
{
    tavir::test::TempDir dir;
    nettest::CertFiles files = nettest::makeCertificate(dir);
    nettest::ServerCtx server(files);
    nettest::Server srv([&](int fd, const std::atomic<bool>&) {
        nettest::serveTls(server.ctx, fd, [](SSL* ssl) {
            nettest::echoTls(ssl);
            SSL_shutdown(ssl);
        });
    });

    const int threads = 8, rounds = 5;
    std::atomic<int> failures{0}, done{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            for (int r = 0; r < rounds; ++r) {
                std::string tag = "T" + std::to_string(t) + "R" + std::to_string(r) + ":";
                std::string payload;
                while (payload.size() < 40000)
                    payload += tag + std::to_string(payload.size()) + ";";
                basic_tcpclientiostream s(
                    InetSSLSocketAddress("imaps://127.0.0.1:" + std::to_string(srv.port()), "", ""),
                    InetSSLSocketAddress::any(), 4096, 4096, true);
                s.setTimeoutInSeconds(20);
                s.create(nullptr);
                if (!s.good()) {
                    ++failures;
                    continue;
                }
                s << payload << "\n" << std::flush;
                std::string back;
                std::getline(s, back);
                if (back != payload)
                    ++failures;
                s.close();
                ++done;
            }
        });
    }
    for (auto& w : workers)
        w.join();
    srv.stop();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(done.load(), threads * rounds);
}
