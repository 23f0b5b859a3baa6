#include "ssl/KSslSocket.h"
#include "ssl/SSLContext.h"

#include "support/Certificates.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

using tavir::ssl::SSLContext;

namespace {

int minVersion(SSLContext& c)
{
    return int(SSL_CTX_get_min_proto_version(c.context()));
}
int maxVersion(SSLContext& c)
{
    return int(SSL_CTX_get_max_proto_version(c.context()));
}

} // namespace

TEST(SSLContext, ModesMapToMethodsAndVersions)
{
    struct Case {
        int code;
        int pinned; // 0: negotiated
    } cases[] = {{1, TLS1_VERSION}, {2, TLS1_VERSION}, {3, TLS1_VERSION}, {4, TLS1_VERSION},
        {5, TLS1_VERSION}, {6, TLS1_VERSION}, {7, 0}, {8, 0}, {9, 0}, {10, TLS1_VERSION},
        {11, TLS1_VERSION}, {12, TLS1_VERSION}, {0, TLS1_VERSION}, {13, TLS1_VERSION}};
    for (const auto& c : cases) {
        SSLContext ctx;
        EXPECT_EQ(ctx.get_mode(), -1);
        ASSERT_EQ(ctx.set_mode(c.code), 0) << c.code;
        EXPECT_EQ(ctx.get_mode(), c.code);
        if (c.pinned) {
            EXPECT_EQ(minVersion(ctx), c.pinned) << c.code;
            EXPECT_EQ(maxVersion(ctx), c.pinned) << c.code;
            EXPECT_EQ(SSL_CTX_get_security_level(ctx.context()), 0);
        }
        EXPECT_NE(SSL_CTX_get_options(ctx.context()) & SSL_OP_IGNORE_UNEXPECTED_EOF, 0u);
        EXPECT_NE(SSL_CTX_get_options(ctx.context()) & SSL_OP_LEGACY_SERVER_CONNECT, 0u);
    }
    SSLContext ctx;
    ASSERT_EQ(ctx.set_mode(7), 0);
    SSL_CTX* first = ctx.context();
    EXPECT_EQ(ctx.set_mode(9), -1);
    EXPECT_EQ(ctx.context(), first);
    EXPECT_EQ(ctx.get_mode(), 7);

    SSLContext lazy;
    EXPECT_NE(lazy.context(), nullptr);
    EXPECT_EQ(lazy.get_mode(), 9);
    lazy.close();
    EXPECT_EQ(lazy.get_mode(), 9);
    lazy.check_context();
    EXPECT_NE(lazy.context(), nullptr);
}

TEST(SSLContext, OneRecordingPerContext)
{
    tavir::test::TempDir dir;
    const tavir::test::IssuedCertificate made = tavir::test::selfSigned(dir, "ctx.test");
    const std::string otherKey = tavir::test::selfSigned(dir, "other.test").keyFile;
    SSLContext ctx;
    EXPECT_EQ(ctx.certificate("/nonexistent/cert.pem", SSL_FILETYPE_PEM), -1);
    EXPECT_EQ(ctx.certificate_file_name(), "/nonexistent/cert.pem");
    // Recorded already: no load, success.
    EXPECT_EQ(ctx.certificate(made.certificateFile.c_str(), SSL_FILETYPE_PEM), 0);
    EXPECT_EQ(ctx.certificate_file_name(), "/nonexistent/cert.pem");
    ctx.close();
    EXPECT_EQ(ctx.certificate_type(), -1);
    EXPECT_EQ(ctx.certificate_file_name(), "/nonexistent/cert.pem");

    ASSERT_EQ(ctx.certificate(made.certificateFile.c_str(), SSL_FILETYPE_PEM), 0);
    EXPECT_EQ(ctx.certificate_type(), SSL_FILETYPE_PEM);
    // A key that does not belong to the certificate is refused.
    EXPECT_EQ(ctx.private_key(otherKey.c_str(), SSL_FILETYPE_PEM), -1);
    EXPECT_EQ(ctx.private_key(made.keyFile.c_str(), SSL_FILETYPE_PEM), 0);
    EXPECT_EQ(ctx.private_key_file_name(), otherKey);

    SSLContext good;
    ASSERT_EQ(good.certificate(made.certificateFile.c_str(), SSL_FILETYPE_PEM), 0);
    ASSERT_EQ(good.private_key(made.keyFile.c_str(), SSL_FILETYPE_PEM), 0);
    EXPECT_EQ(good.verify_private_key(), 0);
    SSLContext empty;
    EXPECT_EQ(empty.verify_private_key(), -1);
}

TEST(SSLContext, DhParams)
{
    tavir::test::TempDir dir;
    // Named FFDHE group parameters, written as PEM by OpenSSL itself.
    EVP_PKEY_CTX* pctx = EVP_PKEY_CTX_new_from_name(nullptr, "DH", nullptr);
    ASSERT_NE(pctx, nullptr);
    ASSERT_EQ(EVP_PKEY_paramgen_init(pctx), 1);
    OSSL_PARAM params[]
        = {OSSL_PARAM_construct_utf8_string("group", const_cast<char*>("ffdhe2048"), 0),
            OSSL_PARAM_construct_end()};
    ASSERT_EQ(EVP_PKEY_CTX_set_params(pctx, params), 1);
    EVP_PKEY* dh = nullptr;
    ASSERT_EQ(EVP_PKEY_paramgen(pctx, &dh), 1);
    BIO* mem = BIO_new(BIO_s_mem());
    ASSERT_EQ(PEM_write_bio_Parameters(mem, dh), 1);
    char* data = nullptr;
    long len = BIO_get_mem_data(mem, &data);
    std::string pem(data, size_t(len));
    BIO_free(mem);
    EVP_PKEY_free(dh);
    EVP_PKEY_CTX_free(pctx);
    ASSERT_NE(pem.find("DH PARAMETERS"), std::string::npos) << pem;
    std::string file = dir.file("dh.pem");
    tavir::test::writeFile(file, pem);
    SSLContext ctx;
    EXPECT_EQ(ctx.dh_params(file.c_str(), SSL_FILETYPE_ASN1), -1);
    EXPECT_EQ(ctx.dh_params(file.c_str(), SSL_FILETYPE_PEM), 0); // recorded: no load
    SSLContext fresh;
    EXPECT_EQ(fresh.dh_params(file.c_str(), SSL_FILETYPE_PEM), 0);
    EXPECT_EQ(fresh.dh_params_file_name(), file);
    SSLContext missing;
    EXPECT_EQ(missing.dh_params(dir.file("none.pem").c_str(), SSL_FILETYPE_PEM), -1);
    tavir::test::writeFile(dir.file("junk.pem"), "junk");
    SSLContext junk;
    EXPECT_EQ(junk.dh_params(dir.file("junk.pem").c_str(), SSL_FILETYPE_PEM), -1);
}

TEST(SSLContext, TrustedCaAndVerifyRecord)
{
    tavir::test::TempDir dir;
    const tavir::test::IssuedCertificate made = tavir::test::selfSigned(dir, "ctx.test");
    SSLContext client;
    ASSERT_EQ(client.set_mode(7), 0);
    EXPECT_EQ(client.load_trusted_ca(made.certificateFile.c_str(), nullptr), -1);
    EXPECT_EQ(client.have_trusted_ca(), 0u);
    EXPECT_EQ(client.load_trusted_ca(made.certificateFile.c_str(), dir.path().c_str()), 0);
    EXPECT_EQ(client.have_trusted_ca(), 1u);
    EXPECT_EQ(SSL_CTX_get_client_CA_list(client.context()) == nullptr
            || sk_X509_NAME_num(SSL_CTX_get_client_CA_list(client.context())) == 0,
        true);

    SSLContext server;
    ASSERT_EQ(server.set_mode(8), 0);
    EXPECT_EQ(server.load_trusted_ca(made.certificateFile.c_str(), dir.path().c_str()), 0);
    EXPECT_EQ(sk_X509_NAME_num(SSL_CTX_get_client_CA_list(server.context())), 1);
    EXPECT_EQ(server.load_trusted_ca(made.certificateFile.c_str(), dir.path().c_str()), 0);
    // The same subject is not added twice.
    EXPECT_EQ(sk_X509_NAME_num(SSL_CTX_get_client_CA_list(server.context())), 1);
    EXPECT_EQ(server.have_trusted_ca(), 2u);
    EXPECT_EQ(server.load_trusted_ca("/nonexistent", "/nonexistent"), -1);

    SSLContext v;
    EXPECT_EQ(v.default_verify_mode(), 0);
    EXPECT_EQ(v.set_verify_peer(0, 0, 0), SSL_VERIFY_PEER);
    EXPECT_EQ(v.set_verify_peer(1, 1, 0),
        SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT | SSL_VERIFY_CLIENT_ONCE);
    v.set_verify_peer(0, 0, 3);
    EXPECT_EQ(SSL_CTX_get_verify_depth(v.context()), 4);
    // Recorded only: the context still verifies nothing.
    EXPECT_EQ(SSL_CTX_get_verify_mode(v.context()), SSL_VERIFY_NONE);
    v.default_verify_mode(5);
    EXPECT_EQ(v.default_verify_mode(), 5);
}

TEST(SSLContext, InstanceIsOne)
{
    EXPECT_EQ(&SSLContext::instance(), &SSLContext::instance());
}
