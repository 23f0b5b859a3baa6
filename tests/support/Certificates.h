#pragma once
// A certificate authority of the tests' own, made by the openssl command
// (nothing of the code under test), the server certificates it issues, and
// the process's trust store pointed at it the way the system's is found:
// through SSL_CERT_FILE and SSL_CERT_DIR.
#include "support/TestSupport.h"

#include <string>

struct ssl_ctx_st;

namespace tavir::test {

struct IssuedCertificate {
    std::string certificateFile;
    std::string keyFile;
    // SHA-1 of the certificate as 20 lower-case hexadecimal pairs joined by
    // ':', as the known-hosts file holds it.
    std::string fingerprint;
};

// A self-signed certificate for the name `host` and its key, made below
// `dir` (a key of another one belongs to no other certificate).
IssuedCertificate selfSigned(const TempDir& dir, const std::string& host);

// A TLS server's context over OpenSSL itself, serving `certificate`: what
// the tests' own servers speak TLS with.
class ServerTlsContext {
public:
    explicit ServerTlsContext(const IssuedCertificate& certificate);
    ~ServerTlsContext();
    ServerTlsContext(const ServerTlsContext&) = delete;
    ServerTlsContext& operator=(const ServerTlsContext&) = delete;

    ssl_ctx_st* get() const { return context_; }

private:
    ssl_ctx_st* context_;
};

// The certificate in a PEM file: its SHA-1 fingerprint as the known-hosts
// file holds it (IssuedCertificate::fingerprint), and its SHA-256 one
// (`openssl x509 -fingerprint -sha256`) as OpenSSH writes a host key's:
// "SHA256:" and the digest in base64 without its padding.
std::string sha1Fingerprint(const std::string& certificateFile);
std::string sha256Fingerprint(const std::string& certificateFile);

class TestAuthority {
public:
    // Makes the authority's key and self-signed certificate below `dir`,
    // under `name` (more than one may live in a folder).
    TestAuthority(const TempDir& dir, const std::string& name);

    const std::string& certificateFile() const { return certificateFile_; }
    // A server certificate for the DNS name `host`, signed by this authority.
    IssuedCertificate issue(const std::string& host) const;

private:
    const TempDir& dir_;
    std::string name_;
    std::string certificateFile_;
    std::string keyFile_;
};

// SSL_CERT_FILE set to `file` and SSL_CERT_DIR to an empty folder for the
// life of the object, so that only that file's authorities are trusted;
// the previous values are put back.
class ScopedTrustStore {
public:
    explicit ScopedTrustStore(const std::string& file)
        : file_("SSL_CERT_FILE", file)
    {
    }

private:
    ScopedEnv file_;
    TempDir emptyFolder_;
    ScopedEnv folder_{"SSL_CERT_DIR", emptyFolder_.path()};
};

} // namespace tavir::test
