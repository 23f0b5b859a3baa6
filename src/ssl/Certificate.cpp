#include "ssl/Certificate.h"

#include "ssl/InitCrypto.h"
#include "ssl/KSslSocket.h"
#include "ssl/SSLContext.h"
#include "ssl/SslErrHandler.h"
#include "utils/Descriptor.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/ssl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <memory>
#include <sstream>

namespace tavir::ssl {

void X509Ptr::deleteX509(X509* certificate)
{
    if (certificate)
        X509_free(certificate);
}

void EVP_PKEYPtr::deleteEVP_PKEY(EVP_PKEY* key)
{
    if (key)
        EVP_PKEY_free(key);
}

} // namespace tavir::ssl

namespace tavir::crypto {

namespace {

void collectErrors()
{
    tavir::ssl::SslErrHandler::instance()->checkForError();
}

// Everything a memory BIO holds, read in pieces of up to 1,024 bytes.
std::string drain(BIO* bio)
{
    std::string text;
    char piece[1024];
    int n;
    while ((n = BIO_read(bio, piece, sizeof piece)) > 0)
        text.append(piece, size_t(n));
    return text;
}

struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;

} // namespace

Crypto::Crypto()
{
    InitCrypto::instance();
}

Password::Callback Password::readCallback(const Password* password)
{
    return password && password->type_ == CALLBACK ? password->callback_ : nullptr;
}

void* Password::readUserData(const Password* password)
{
    if (password && password->type_ == TEXT)
        return const_cast<char*>(password->text_.c_str());
    return nullptr;
}

Key::~Key()
{
    freeKeyWhenAllocated();
}

void Key::freeKeyWhenAllocated()
{
    if (key_ && owned_)
        EVP_PKEY_free(key_);
    key_ = nullptr;
    owned_ = false;
}

void Key::adopt(EVP_PKEY* key, bool owned)
{
    freeKeyWhenAllocated();
    key_ = key;
    owned_ = key && owned;
}

bool Key::setKey(const std::string& pem, Type type, Password* password)
{
    freeKeyWhenAllocated();
    BioPtr bio(BIO_new_mem_buf(pem.data(), int(pem.size())));
    if (!bio)
        return false;
    EVP_PKEY* key = type == PRIVATE
        ? PEM_read_bio_PrivateKey(
            bio.get(), nullptr, Password::readCallback(password), Password::readUserData(password))
        : PEM_read_bio_PUBKEY(
            bio.get(), nullptr, Password::readCallback(password), Password::readUserData(password));
    if (!key) {
        if (verbose_)
            ERR_print_errors_fp(stderr);
        return false;
    }
    key_ = key;
    owned_ = true;
    return true;
}

std::string Key::getKey(const EVP_CIPHER* cipher, Type type, Password* password)
{
    if (!key_)
        return std::string();
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio)
        return std::string();
    int ok;
    if (type == PRIVATE) {
        unsigned char* keyText = nullptr;
        int keyLength = 0;
        pem_password_cb* cb = nullptr;
        if (cipher && password && password->type() == Password::TEXT) {
            keyText = reinterpret_cast<unsigned char*>(const_cast<char*>(password->text().c_str()));
            keyLength = int(password->text().size());
        } else if (cipher && password && password->type() == Password::CALLBACK) {
            cb = password->callback();
        }
        ok = PEM_write_bio_PrivateKey(bio.get(), key_, cipher, keyText, keyLength, cb, nullptr);
    } else {
        ok = PEM_write_bio_PUBKEY(bio.get(), key_);
    }
    if (ok != 1)
        return std::string();
    return drain(bio.get());
}

void Key::generateRSAKey(int bits, unsigned long exponent)
{
    freeKeyWhenAllocated();
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    BIGNUM* e = BN_new();
    EVP_PKEY* key = nullptr;
    bool ok = ctx && e && BN_set_word(e, exponent) == 1 && EVP_PKEY_keygen_init(ctx) == 1
        && EVP_PKEY_CTX_set_rsa_keygen_bits(ctx, bits) == 1
        && EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx, e) == 1 && EVP_PKEY_keygen(ctx, &key) == 1;
    BN_free(e);
    EVP_PKEY_CTX_free(ctx);
    if (!ok || !key) {
        EVP_PKEY_free(key);
        collectErrors();
        return;
    }
    key_ = key;
    owned_ = true;
}

bool Key::writeSelf(BIO* out)
{
    return key_ && out
        && PEM_write_bio_PrivateKey(out, key_, nullptr, nullptr, 0, nullptr, nullptr) == 1;
}

Certificate::~Certificate()
{
    freeCertWhenAllocated();
}

void Certificate::freeCertWhenAllocated()
{
    if (certificate_ && owned_)
        X509_free(certificate_);
    certificate_ = nullptr;
    owned_ = false;
}

bool Certificate::setCertificate(const std::string& pem, Password* password)
{
    freeCertWhenAllocated();
    publicKey_.freeKeyWhenAllocated();
    BioPtr bio(BIO_new_mem_buf(pem.data(), int(pem.size())));
    if (!bio)
        return false;
    X509* certificate = PEM_read_bio_X509(
        bio.get(), nullptr, Password::readCallback(password), Password::readUserData(password));
    if (!certificate)
        return false;
    certificate_ = certificate;
    owned_ = true;
    publicKey_.adopt(X509_get_pubkey(certificate), true);
    return true;
}

void Certificate::setCertificate(X509* certificate)
{
    freeCertWhenAllocated();
    certificate_ = certificate;
    owned_ = false;
}

bool Certificate::loadCertificate(const std::string& fileName)
{
    std::ifstream in(fileName, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream text;
    text << in.rdbuf();
    return setCertificate(text.str(), nullptr);
}

std::string Certificate::getCertificate()
{
    if (!certificate_)
        return std::string();
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_X509(bio.get(), certificate_) != 1)
        return std::string();
    return drain(bio.get());
}

bool Certificate::writeSelf(BIO* out)
{
    return certificate_ && out && PEM_write_bio_X509(out, certificate_) == 1;
}

bool Certificate::create(const Details& details)
{
    freeCertWhenAllocated();
    X509* certificate = X509_new();
    if (!certificate) {
        collectErrors();
        return false;
    }
    certificate_ = certificate;
    owned_ = true;
    if (X509_set_version(certificate, details.version) != 1
        || ASN1_INTEGER_set(X509_get_serialNumber(certificate), details.serialNumber) != 1)
        return false;
    time_t now = std::time(nullptr);
    if (!X509_time_adj_ex(X509_getm_notBefore(certificate), 0, details.notBefore, &now)
        || !X509_time_adj_ex(X509_getm_notAfter(certificate), 0, details.notAfter, &now))
        return false;
    publicKey_.generateRSAKey(details.keyBits, details.keyExponent);
    if (!publicKey_.get() || X509_set_pubkey(certificate, publicKey_.get()) != 1)
        return false;
    X509_NAME* name = X509_get_subject_name(certificate);
    for (const auto& entry : details.nameEntries) {
        if (X509_NAME_add_entry_by_txt(name, entry.first.c_str(), MBSTRING_ASC,
                reinterpret_cast<const unsigned char*>(entry.second.c_str()), -1, -1, 0)
            != 1) {
            collectErrors();
            return false;
        }
    }
    if (X509_set_issuer_name(certificate, name) != 1)
        return false;
    if (X509_sign(certificate, publicKey_.get(), EVP_sha1()) <= 0) {
        collectErrors();
        return false;
    }
    return true;
}

bool Certificate::getFingerprint(std::string& out, const char* separator)
{
    if (!certificate_)
        return false;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (X509_digest(certificate_, EVP_sha1(), digest, &length) != 1)
        return false;
    static const char hex[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        if (i > 0 && separator)
            text += separator;
        text += hex[digest[i] >> 4];
        text += hex[digest[i] & 0x0F];
    }
    out = text;
    return true;
}

bool Certificate::loadFromContext(tavir::ssl::SSLContext& context)
{
    freeCertWhenAllocated();
    SSL_CTX* ctx = context.context();
    SSL* ssl = ctx ? SSL_new(ctx) : nullptr;
    if (!ssl) {
        collectErrors();
        return false;
    }
    X509* certificate = SSL_get_certificate(ssl);
    SSL_free(ssl);
    if (!certificate) {
        collectErrors();
        return false;
    }
    // Owned by the context, which the caller keeps alive.
    certificate_ = certificate;
    owned_ = false;
    return true;
}

bool Certificate::getFromPeer(const tavir::ssl::KSslSocket& socket)
{
    return getFromPeer(socket.getSSL());
}

bool Certificate::getFromPeer(SSL* ssl)
{
    freeCertWhenAllocated();
    if (!ssl)
        return false;
    X509* certificate = SSL_get1_peer_certificate(ssl);
    if (!certificate) {
        collectErrors();
        return false;
    }
    certificate_ = certificate;
    owned_ = true;
    return true;
}

CrtKeyFile::~CrtKeyFile()
{
    close();
}

bool CrtKeyFile::open(const char* fileName)
{
    if (open_ && !close())
        return false;
    open_ = false;
    if (!fileName)
        return false;
    utils::Descriptor fd(::open(fileName, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!fd.valid())
        return false;
    ::fchmod(fd.get(), 0600);
    FILE* f = ::fdopen(fd.get(), "wb");
    if (!f)
        return false;
    fd.release(); // the stream closes it now
    file_ = BIO_new_fp(f, BIO_CLOSE);
    if (!file_) {
        std::fclose(f);
        return false;
    }
    open_ = true;
    return true;
}

bool CrtKeyFile::write(WritableEntity& entity)
{
    return open_ && entity.writeSelf(file_);
}

bool CrtKeyFile::close()
{
    if (!open_)
        return true;
    open_ = false;
    // BIO_free closes the stream; flush first to see a failing write.
    bool ok = BIO_flush(file_) == 1;
    BIO_free(file_);
    file_ = nullptr;
    return ok;
}

} // namespace tavir::crypto
