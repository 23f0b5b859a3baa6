#pragma once
// Owners of OpenSSL certificates and keys: PEM text in and out, a
// self-signed certificate with a fresh RSA key, the certificate of a context
// or of a TLS peer, and the SHA-1 fingerprint as text.
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <string>
#include <utility>
#include <vector>

namespace tavir::ssl {
class SSLContext;
class KSslSocket;

struct X509Ptr {
    static void deleteX509(X509* certificate);
    void operator()(X509* certificate) const { deleteX509(certificate); }
};

struct EVP_PKEYPtr {
    static void deleteEVP_PKEY(EVP_PKEY* key);
    void operator()(EVP_PKEY* key) const { deleteEVP_PKEY(key); }
};
} // namespace tavir::ssl

namespace tavir::crypto {

class Crypto {
public:
    Crypto();
    virtual ~Crypto() = default;
    void setVerboseMode(bool verbose) { verbose_ = verbose; }
    bool getVerboseMode() const { return verbose_; }

protected:
    bool verbose_ = false;
};

class WritableEntity {
public:
    virtual bool writeSelf(BIO* out) = 0;
    virtual ~WritableEntity() = default;
};

class Password {
public:
    typedef int (*Callback)(char* buffer, int size, int forWriting, void* userData);
    enum Type { TEXT = 0, CALLBACK = 1, PROMPT = 2 };

    Password() = default;
    explicit Password(Callback function)
        : callback_(function)
        , type_(CALLBACK)
    {
    }
    explicit Password(const std::string& text)
        : text_(text)
        , type_(TEXT)
    {
    }
    virtual ~Password() = default;

    void setEnterPasswordMethod(Type type) { type_ = type; }
    void setCallback(Callback function) { callback_ = function; }
    void setPassword(const std::string& text) { text_ = text; }

    Callback callback() const { return callback_; }
    const std::string& text() const { return text_; }
    Type type() const { return type_; }

    // What the PEM readers are handed: a callback, or the text as the
    // library's default user data; neither makes the library prompt.
    static Callback readCallback(const Password* password);
    static void* readUserData(const Password* password);

private:
    Callback callback_ = nullptr;
    std::string text_;
    Type type_ = PROMPT;
};

class Key : public Crypto, public WritableEntity {
public:
    enum Type { PRIVATE = 0, PUBLIC = 1 };

    Key() = default;
    ~Key() override;
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;

    bool setKey(const std::string& pem, Type type, Password* password);
    std::string getKey(const EVP_CIPHER* cipher, Type type, Password* password);
    void generateRSAKey(int bits, unsigned long exponent);
    bool writeSelf(BIO* out) override;
    void freeKeyWhenAllocated();

    EVP_PKEY* get() const { return key_; }
    // Holds a key the caller made (owned when told so).
    void adopt(EVP_PKEY* key, bool owned);

private:
    EVP_PKEY* key_ = nullptr;
    bool owned_ = false;
};

class Certificate : public Crypto, public WritableEntity {
public:
    struct Details {
        long version = 2;
        long serialNumber = 1;
        long notBefore = 0;
        long notAfter = 365L * 24 * 3600;
        int keyBits = 2048;
        unsigned long keyExponent = 65537;
        std::vector<std::pair<std::string, std::string>> nameEntries;
    };

    Certificate() = default;
    ~Certificate() override;
    Certificate(const Certificate&) = delete;
    Certificate& operator=(const Certificate&) = delete;

    bool setCertificate(const std::string& pem, Password* password);
    void setCertificate(X509* certificate);
    bool loadCertificate(const std::string& fileName);
    std::string getCertificate();
    Key& publicKey() { return publicKey_; }
    bool writeSelf(BIO* out) override;
    bool create(const Details& details);
    bool getFingerprint(std::string& out, const char* separator);
    bool loadFromContext(tavir::ssl::SSLContext& context);
    bool getFromPeer(const tavir::ssl::KSslSocket& socket);
    // The peer certificate of a TLS connection (owned); false without one.
    bool getFromPeer(SSL* ssl);
    void freeCertWhenAllocated();

    X509* get() const { return certificate_; }

private:
    Key publicKey_;
    X509* certificate_ = nullptr;
    bool owned_ = false;
};

// A PEM output file.
class CrtKeyFile {
public:
    CrtKeyFile() = default;
    ~CrtKeyFile();
    CrtKeyFile(const CrtKeyFile&) = delete;
    CrtKeyFile& operator=(const CrtKeyFile&) = delete;

    // Private keys are written here: the file is made readable by its owner
    // only (0600), also when it already existed.
    bool open(const char* fileName);
    bool write(WritableEntity& entity);
    bool close();
    bool isOpen() const { return open_; }

private:
    bool open_ = false;
    BIO* file_ = nullptr;
};

} // namespace tavir::crypto
