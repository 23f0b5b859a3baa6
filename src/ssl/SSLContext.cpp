#include "ssl/SSLContext.h"

#include "ssl/InitSSL.h"
#include "ssl/SslErrHandler.h"
#include "utils/SingletonFactory.h"

#include <openssl/decoder.h>
#include <openssl/err.h>
#include <openssl/pem.h>

#include <cstdio>

namespace tavir::ssl {

const char* defaultSslCipherList = "DEFAULT:!LOW:!SSLv2:!EXPORT:!RC4:@STRENGTH";

tavir::tiny::KMutex SSLContext::ssl_mon;

namespace {

struct MethodChoice {
    const SSL_METHOD* method;
    int pinnedVersion; // 0: negotiate
};

MethodChoice methodFor(int code)
{
    switch (code) {
    case SSLContext::SSLv2_CLIENT:
    case SSLContext::SSLv3_CLIENT:
    case SSLContext::TLSv1_CLIENT:
        return {TLS_client_method(), TLS1_VERSION};
    case SSLContext::SSLv2_SERVER:
    case SSLContext::SSLv3_SERVER:
    case SSLContext::TLSv1_SERVER:
        return {TLS_server_method(), TLS1_VERSION};
    case SSLContext::SSLv23_CLIENT:
        return {TLS_client_method(), 0};
    case SSLContext::SSLv23_SERVER:
        return {TLS_server_method(), 0};
    case SSLContext::SSLv23_EITHER:
        return {TLS_method(), 0};
    default: // SSLv2/SSLv3/TLSv1 either side and unknown codes
        return {TLS_method(), TLS1_VERSION};
    }
}

} // namespace

void applyCommonOptions(SSL_CTX* ctx)
{
    SSL_CTX_set_options(
        ctx, SSL_OP_ALL | SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_LEGACY_SERVER_CONNECT);
}

bool applyLegacyClientPolicy(SSL_CTX* ctx)
{
    applyCommonOptions(ctx);
    if (SSL_CTX_set_cipher_list(ctx, defaultSslCipherList) != 1)
        return false;
    SSL_CTX_set_security_level(ctx, 0);
    return SSL_CTX_set_min_proto_version(ctx, TLS1_VERSION) == 1;
}

SSLContext::SSLContext()
{
    ssl_library_init();
}

SSLContext::~SSLContext()
{
    if (ctx_)
        SSL_CTX_free(ctx_);
}

SSLContext& SSLContext::instance()
{
    return *tavir::utils::SingletonFactory<SSLContext, tavir::utils::DestroyAtExit>::getInstance();
}

InitSSL* SSLContext::ssl_library_init()
{
    return InitSSL::instance();
}

bool SSLContext::isServerOrEither(int mode)
{
    switch (mode) {
    case 2:
    case 3:
    case 5:
    case 6:
    case 8:
    case 9:
    case 11:
    case 12:
        return true;
    default:
        return false;
    }
}

int SSLContext::set_mode(int code)
{
    tavir::tiny::KMutexLocker lock(ssl_mon);
    if (ctx_)
        return -1;
    MethodChoice choice = methodFor(code);
    SSL_CTX* ctx = SSL_CTX_new(choice.method);
    if (!ctx) {
        SslErrHandler::instance()->checkForError();
        return -1;
    }
    applyCommonOptions(ctx);
    if (choice.pinnedVersion) {
        // TLS 1.0 needs security level 0 under OpenSSL 3.
        SSL_CTX_set_security_level(ctx, 0);
        SSL_CTX_set_min_proto_version(ctx, choice.pinnedVersion);
        SSL_CTX_set_max_proto_version(ctx, choice.pinnedVersion);
    }
    ctx_ = ctx;
    mode_ = code;
    return 0;
}

SSL_CTX* SSLContext::context()
{
    check_context();
    return ctx_;
}

void SSLContext::check_context()
{
    if (!ctx_)
        set_mode(DEFAULT_MODE);
}

int SSLContext::load_trusted_ca(const char* file, const char* path)
{
    check_context();
    if (!ctx_ || !file || !path)
        return -1;
    if (SSL_CTX_load_verify_locations(ctx_, file, path) != 1) {
        SslErrHandler::instance()->checkForError();
        return -1;
    }
    ++trustedCa_;
    if (!isServerOrEither(mode_))
        return 0;
    STACK_OF(X509_NAME)* existing = SSL_CTX_get_client_CA_list(ctx_);
    if (!existing || sk_X509_NAME_num(existing) == 0) {
        STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(file);
        if (!names) {
            SslErrHandler::instance()->checkForError();
            return -1;
        }
        SSL_CTX_set_client_CA_list(ctx_, names);
    } else if (SSL_add_file_cert_subjects_to_stack(existing, file) != 1) {
        SslErrHandler::instance()->checkForError();
        return -1;
    }
    return 0;
}

int SSLContext::private_key(const char* file, int type)
{
    if (key_.type() != -1)
        return 0;
    check_context();
    key_ = SSL_Data_File(file, type);
    if (!ctx_ || !file || SSL_CTX_use_PrivateKey_file(ctx_, file, type) != 1
        || SSL_CTX_check_private_key(ctx_) != 1) {
        SslErrHandler::instance()->checkForError();
        return -1;
    }
    return 0;
}

int SSLContext::certificate(const char* file, int type)
{
    if (cert_.type() != -1)
        return 0;
    cert_ = SSL_Data_File(file, type);
    check_context();
    int ok = 0;
    if (ctx_ && file)
        ok = type == SSL_FILETYPE_PEM ? SSL_CTX_use_certificate_chain_file(ctx_, file)
                                      : SSL_CTX_use_certificate_file(ctx_, file, type);
    if (ok != 1) {
        SslErrHandler::instance()->checkForError();
        return -1;
    }
    return 0;
}

int SSLContext::verify_private_key()
{
    check_context();
    if (!ctx_ || SSL_CTX_check_private_key(ctx_) != 1) {
        SslErrHandler::instance()->checkForError();
        return -1;
    }
    return 0;
}

int SSLContext::dh_params(const char* file, int type)
{
    if (dh_.type() != -1)
        return 0;
    dh_ = SSL_Data_File(file, type);
    check_context();
    if (!ctx_ || type != SSL_FILETYPE_PEM || !file)
        return -1;
    FILE* f = std::fopen(file, "r");
    if (!f)
        return -1;
    EVP_PKEY* params = nullptr;
    OSSL_DECODER_CTX* decoder = OSSL_DECODER_CTX_new_for_pkey(
        &params, "PEM", nullptr, "DH", OSSL_KEYMGMT_SELECT_DOMAIN_PARAMETERS, nullptr, nullptr);
    bool decoded = decoder && OSSL_DECODER_from_fp(decoder, f) == 1 && params;
    OSSL_DECODER_CTX_free(decoder);
    std::fclose(f);
    if (!decoded) {
        EVP_PKEY_free(params);
        SslErrHandler::instance()->checkForError();
        return -1;
    }
    // On success the context takes the parameters over.
    if (SSL_CTX_set0_tmp_dh_pkey(ctx_, params) != 1) {
        EVP_PKEY_free(params);
        SslErrHandler::instance()->checkForError();
        return -1;
    }
    return 0;
}

int SSLContext::set_verify_peer(int failWithoutPeerCert, int verifyOnce, int depth)
{
    check_context();
    int mode = SSL_VERIFY_PEER;
    if (failWithoutPeerCert)
        mode |= SSL_VERIFY_FAIL_IF_NO_PEER_CERT;
    if (verifyOnce)
        mode |= SSL_VERIFY_CLIENT_ONCE;
    verifyMode_ = mode;
    if (depth >= 1 && ctx_)
        SSL_CTX_set_verify_depth(ctx_, depth + 1);
    return verifyMode_;
}

void SSLContext::report_error()
{
    SslErrHandler::instance()->checkForError();
    std::string ignored;
    SslErrHandler::instance()->getLastError(ignored);
}

void SSLContext::close()
{
    if (ctx_) {
        SSL_CTX_free(ctx_);
        ctx_ = nullptr;
    }
    key_ = SSL_Data_File(key_.file_name().c_str(), -1);
    cert_ = SSL_Data_File(cert_.file_name().c_str(), -1);
    dh_ = SSL_Data_File(dh_.file_name().c_str(), -1);
}

} // namespace tavir::ssl
