#pragma once
// One OpenSSL context (SSL_CTX): protocol method, trusted CAs, own
// certificate and key, DH parameters and a recorded verification mode.
// The context is made on first need; nothing here verifies a peer.
#include "tiny/KMutex.h"

#include <openssl/ssl.h>

#include <string>

namespace tavir::ssl {

class InitSSL;

// The cipher list of every context this library configures; writable so a
// program can change it for contexts made afterwards.
extern const char* defaultSslCipherList;

class SSL_Data_File {
public:
    SSL_Data_File() = default;
    SSL_Data_File(const char* name, int type)
        : name_(name ? name : "")
        , type_(type)
    {
    }

    const std::string& file_name() const { return name_; }
    int type() const { return type_; }

private:
    std::string name_;
    int type_ = -1;
};

class SSLContext {
public:
    // Method codes of set_mode. OpenSSL 3 speaks neither SSLv2 nor SSLv3:
    // those codes (and TLSv1) pin the connection to TLS 1.0, the oldest
    // protocol left; the SSLv23 codes negotiate the best common version.
    enum Mode {
        SSLv2_CLIENT = 1,
        SSLv2_SERVER = 2,
        SSLv2_EITHER = 3,
        SSLv3_CLIENT = 4,
        SSLv3_SERVER = 5,
        SSLv3_EITHER = 6,
        SSLv23_CLIENT = 7,
        SSLv23_SERVER = 8,
        SSLv23_EITHER = 9,
        TLSv1_CLIENT = 10,
        TLSv1_SERVER = 11,
        TLSv1_EITHER = 12
    };
    static const int DEFAULT_MODE = SSLv23_EITHER;

    SSLContext();
    virtual ~SSLContext();
    SSLContext(const SSLContext&) = delete;
    SSLContext& operator=(const SSLContext&) = delete;

    // The default context of the process, made on first use and destroyed at exit.
    static SSLContext& instance();
    // The TLS library set-up, made on first use.
    static InitSSL* ssl_library_init();
    static void ssl_library_fini() { }

    int set_mode(int code);
    SSL_CTX* context();
    void check_context();

    int load_trusted_ca(const char* file, const char* path);
    int private_key(const char* file, int type);
    int certificate(const char* file, int type);
    int verify_private_key();
    int dh_params(const char* file, int type);
    int set_verify_peer(int failWithoutPeerCert, int verifyOnce, int depth);
    void default_verify_mode(int mode) { verifyMode_ = mode; }
    int default_verify_mode() const { return verifyMode_; }
    void report_error();
    void report_error(unsigned long) { }
    void close();

    int get_mode() const { return mode_; }
    int private_key_type() const { return key_.type(); }
    const std::string& private_key_file_name() const { return key_.file_name(); }
    int certificate_type() const { return cert_.type(); }
    const std::string& certificate_file_name() const { return cert_.file_name(); }
    int dh_params_file_type() const { return dh_.type(); }
    const std::string& dh_params_file_name() const { return dh_.file_name(); }
    unsigned have_trusted_ca() const { return trustedCa_; }

    static tavir::tiny::KMutex ssl_mon;

private:
    static bool isServerOrEither(int mode);

    SSL_CTX* ctx_ = nullptr;
    int mode_ = -1;
    SSL_Data_File key_;
    SSL_Data_File cert_;
    SSL_Data_File dh_;
    int verifyMode_ = 0;
    unsigned trustedCa_ = 0;
};

// The settings every context of this library gets on top of its method:
// peers that close without close_notify read as end of stream, and servers
// without secure renegotiation are still accepted (old source servers).
void applyCommonOptions(SSL_CTX* ctx);

// The policy of the IMAP client streams: source servers are often old, so
// TLS 1.0 and later at security level 0 (no certificate is verified here
// anyway), with the library's cipher list.
bool applyLegacyClientPolicy(SSL_CTX* ctx);

} // namespace tavir::ssl
