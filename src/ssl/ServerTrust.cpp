// The verdict on a TLS server's certificate: verified by a trusted
// authority, or pinned on first use.
#include "ssl/ServerTrust.h"

#include "ssl/Certificate.h"
#include "tiny/KMutex.h"

#include <arpa/inet.h>
#include <openssl/x509v3.h>

#include <cstdlib>

namespace tavir::ssl {

namespace {

bool isAddress(const std::string& host)
{
    unsigned char bytes[sizeof(in6_addr)];
    return inet_pton(AF_INET, host.c_str(), bytes) == 1
        || inet_pton(AF_INET6, host.c_str(), bytes) == 1;
}

std::string environment(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

// The system's trust store: its certificate file and folder, or those that
// SSL_CERT_FILE and SSL_CERT_DIR name. Loading it takes some 30 ms (the file
// holds every authority), more than a whole handshake on a LAN, so it is
// loaded once and shared by every connection, and again only when those
// variables name another one.
bool useSystemTrustStore(SSL_CTX* ctx)
{
    static tavir::tiny::KMutex lock;
    static X509_STORE* store = nullptr;
    static std::string loadedFrom;
    const std::string from = environment(X509_get_default_cert_file_env()) + '\n'
        + environment(X509_get_default_cert_dir_env());
    tavir::tiny::KMutexLocker hold(lock);
    if (!store || from != loadedFrom) {
        X509_STORE_free(store);
        store = X509_STORE_new();
        if (store && X509_STORE_set_default_paths(store) != 1) {
            X509_STORE_free(store);
            store = nullptr;
        }
        loadedFrom = from;
    }
    if (!store)
        return false;
    SSL_CTX_set1_cert_store(ctx, store);
    return true;
}

} // namespace

bool expectServerName(SSL* ssl, const std::string& host)
{
    if (!useSystemTrustStore(SSL_get_SSL_CTX(ssl)))
        return false;
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
    if (isAddress(host))
        return X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) == 1;
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    return X509_VERIFY_PARAM_set1_host(param, host.c_str(), host.size()) == 1
        && SSL_set_tlsext_host_name(ssl, host.c_str()) == 1;
}

ServerTrust judgeServer(SSL* ssl, const std::string& host, unsigned port, const KnownHosts& pins,
    const KnownHosts::Wait& wait)
{
    const std::string where = host + ":" + std::to_string(port);
    tavir::crypto::Certificate certificate;
    std::string fingerprint;
    if (!ssl || !certificate.getFromPeer(ssl) || !certificate.getFingerprint(fingerprint, ":"))
        return {ServerTrust::Kind::Refused, where + " showed no certificate"};
    const long verdict = SSL_get_verify_result(ssl);
    std::string sentence;
    if (verdict == X509_V_OK) {
        const std::string vouched = "The certificate of " + where + " is issued for " + host
            + " by an authority this system trusts";
        // Remembered, so that a certificate no authority vouches for is
        // refused from then on rather than pinned on first use. Not
        // remembered (no file, a hung lock) leaves the server as it was.
        switch (pins.vouched(host, port, fingerprint, sentence, wait)) {
        case KnownHosts::Verdict::Known:
            return {ServerTrust::Kind::Verified, vouched + "."};
        case KnownHosts::Verdict::Recorded:
            return {ServerTrust::Kind::Verified,
                vouched + "; " + pins.path()
                    + " now records that, and a certificate no authority vouches for will be "
                      "refused."};
        default:
            return {ServerTrust::Kind::Verified,
                vouched + " (this could not be recorded: " + sentence + ")."};
        }
    }
    const std::string unverified = "The certificate of " + where
        + " is not vouched for by an authority this system trusts ("
        + X509_verify_cert_error_string(verdict) + "); ";
    switch (pins.check(host, port, fingerprint, sentence, wait)) {
    case KnownHosts::Verdict::Known:
        return {ServerTrust::Kind::Pinned,
            unverified + "it matches the fingerprint " + fingerprint + " pinned for it in "
                + pins.path() + "."};
    case KnownHosts::Verdict::Recorded:
        return {ServerTrust::Kind::PinnedNow,
            unverified + "on this first connection its fingerprint " + fingerprint
                + " was pinned in " + pins.path() + ", and another certificate will be refused."};
    default:
        return {ServerTrust::Kind::Refused,
            std::string("no authority this system trusts vouches for its certificate (")
                + X509_verify_cert_error_string(verdict) + "); " + sentence};
    }
}

} // namespace tavir::ssl
