#include "ssl/Certificate.h"
#include "ssl/KSslSocket.h"
#include "ssl/SSLContext.h"

#include "support/TestSupport.h"

#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

using tavir::ssl::SSLContext;

namespace {

struct Files {
    tavir::test::TempDir dir;
    std::string cert = dir.file("cert.pem");
    std::string key = dir.file("key.pem");
    Files()
    {
        tavir::crypto::Certificate c;
        tavir::crypto::Certificate::Details d;
        d.nameEntries = {{"CN", "socket.test"}};
        if (!c.create(d))
            throw std::runtime_error("create");
        tavir::crypto::CrtKeyFile f;
        f.open(cert.c_str());
        f.write(c);
        f.close();
        f.open(key.c_str());
        f.write(c.publicKey());
        f.close();
    }
};

} // namespace

TEST(KSslSocket, InitAndOpenRules)
{
    Files f;
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    {
        tavir::ssl::KSslSocket s;
        // No context: the descriptor is not adopted.
        EXPECT_FALSE(s.open(fds[0]));
        EXPECT_EQ(s.getSocket(), -1);
        EXPECT_FALSE(s.connect());
        EXPECT_EQ(s.pending(), -1);
        char b[4];
        EXPECT_EQ(s.i_read(b, 4), -1);

        SSLContext ctx;
        EXPECT_TRUE(s.init(&ctx));
        EXPECT_TRUE(s.open(fds[0]));
        EXPECT_TRUE(s.isOpened());
        EXPECT_NE(s.getSSL(), nullptr);
        EXPECT_TRUE(s.setMethod(TLS_client_method()));
        SSLContext other;
        EXPECT_FALSE(s.init(&other)); // opened: refused
        EXPECT_FALSE(s.open(fds[0]));
        s.kill();
        EXPECT_FALSE(s.isOpened());
        EXPECT_EQ(s.getSSL(), nullptr);
        EXPECT_EQ(s.getSocket(), -1);
        EXPECT_TRUE(s.init(&other));

        tavir::ssl::KSslSocket own;
        EXPECT_FALSE(own.init(f.cert, f.dir.file("missing.pem")));
        tavir::ssl::KSslSocket own2;
        EXPECT_TRUE(own2.init(f.cert, f.key));
    }
    close(fds[1]);
}
