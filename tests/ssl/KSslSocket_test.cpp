#include "ssl/KSslSocket.h"
#include "ssl/SSLContext.h"

#include "support/Certificates.h"

#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

using tavir::ssl::SSLContext;

TEST(KSslSocket, InitAndOpenRules)
{
    tavir::test::TempDir dir;
    const tavir::test::IssuedCertificate made = tavir::test::selfSigned(dir, "socket.test");
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
        EXPECT_FALSE(own.init(made.certificateFile, dir.file("missing.pem")));
        tavir::ssl::KSslSocket own2;
        EXPECT_TRUE(own2.init(made.certificateFile, made.keyFile));
    }
    close(fds[1]);
}
