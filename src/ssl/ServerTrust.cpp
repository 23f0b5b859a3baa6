// The verdict on a TLS server's certificate: verified by a trusted
// authority, or pinned on first use.
#include "ssl/ServerTrust.h"

#include "ssl/Certificate.h"
#include "tiny/KMutex.h"
#include "utils/SingletonFactory.h"

#include <arpa/inet.h>
#include <openssl/x509v3.h>

#include <cstdlib>
#include <memory>

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

struct StoreFree {
    void operator()(X509_STORE* store) const { X509_STORE_free(store); }
};

// The system's trust store: its certificate file and folder, or those that
// SSL_CERT_FILE and SSL_CERT_DIR name. Loading it takes some 30 ms (the file
// holds every authority), more than a whole handshake on a LAN, so it is
// loaded once and shared by every connection, and again only when those
// variables name another one. It lives until the process ends, so that a
// connection made while the process exits still finds it.
class SystemTrustStore {
public:
    bool useIn(SSL_CTX* ctx)
    {
        const std::string from = environment(X509_get_default_cert_file_env()) + '\n'
            + environment(X509_get_default_cert_dir_env());
        tavir::tiny::KMutexLocker hold(lock_);
        if (!store_ || from != loadedFrom_) {
            store_.reset(X509_STORE_new());
            if (store_ && X509_STORE_set_default_paths(store_.get()) != 1)
                store_.reset();
            loadedFrom_ = from;
        }
        if (!store_)
            return false;
        SSL_CTX_set1_cert_store(ctx, store_.get());
        return true;
    }

private:
    tavir::tiny::KMutex lock_;
    std::unique_ptr<X509_STORE, StoreFree> store_ TAVIR_GUARDED_BY(lock_);
    std::string loadedFrom_ TAVIR_GUARDED_BY(lock_);
};

// The certificate's SHA-256 fingerprint; empty when it can't be computed.
std::string sha256Of(const tavir::crypto::Certificate& certificate)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (X509_digest(certificate.get(), EVP_sha256(), digest, &length) != 1)
        return {};
    return sha256Fingerprint(std::string(reinterpret_cast<const char*>(digest), length));
}

bool useSystemTrustStore(SSL_CTX* ctx)
{
    return tavir::utils::SingletonFactory<SystemTrustStore, tavir::utils::NoDestroy>::getInstance()
        ->useIn(ctx);
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
    const KnownHosts::Wait& wait, const FirstUse& firstUse)
{
    const std::string where = host + ":" + std::to_string(port);
    tavir::crypto::Certificate certificate;
    std::string fingerprint;
    if (!ssl || !certificate.getFromPeer(ssl) || !certificate.getFingerprint(fingerprint, ":"))
        return {ServerTrust::Kind::Refused, where + " showed no certificate", "", ""};
    const std::string sha256 = sha256Of(certificate);
    const long verdict = SSL_get_verify_result(ssl);
    std::string sentence;
    if (verdict == X509_V_OK) {
        const std::string vouched = "The certificate of " + where + " is issued for " + host
            + " by an authority this system trusts";
        const std::string recorded = vouched + "; " + pins.path()
            + " now records that, and a certificate no authority vouches for will be refused.";
        // Remembered, so that a certificate no authority vouches for is
        // refused from then on rather than pinned on first use. Not
        // remembered (no file, a hung lock) leaves the server as it was.
        switch (pins.vouched(host, port, fingerprint, sentence, wait)) {
        case KnownHosts::Verdict::Known:
            return {ServerTrust::Kind::Verified, vouched + ".", sha256,
                pins.vouchedHere(host, port) ? recorded : std::string()};
        case KnownHosts::Verdict::Recorded:
            return {ServerTrust::Kind::Verified, recorded, sha256, recorded};
        default:
            return {ServerTrust::Kind::Verified,
                vouched + " (this could not be recorded: " + sentence + ").", sha256, ""};
        }
    }
    const std::string why = std::string("no authority this system trusts vouches for its "
                                        "certificate (")
        + X509_verify_cert_error_string(verdict) + ")";
    const std::string unverified = "The certificate of " + where
        + " is not vouched for by an authority this system trusts ("
        + X509_verify_cert_error_string(verdict) + "); ";
    const bool accepted = !firstUse.pinsAny && !sha256.empty() && sha256 == firstUse.accepted;
    const KnownHosts::Verdict pinned = pins.check(host, port, fingerprint, sentence, wait,
        firstUse.pinsAny || accepted ? KnownHosts::FirstContact::Record
                                     : KnownHosts::FirstContact::Leave);
    // Also what a connection that finds a pin this process made says for the
    // report: the same certificate, under the one rule the process has for
    // its server, gives the pinning connection's words.
    const std::string pinnedNow = unverified
        + (accepted ? "it is the certificate accepted, " + sha256 + ", and its fingerprint "
                    + fingerprint + " was pinned now in "
                    : "on this first connection its fingerprint " + fingerprint + " was pinned in ")
        + pins.path() + ", and another certificate will be refused.";
    switch (pinned) {
    case KnownHosts::Verdict::Known:
        return {ServerTrust::Kind::Pinned,
            unverified + "it matches the fingerprint " + fingerprint + " pinned for it in "
                + pins.path() + ".",
            sha256, pins.pinnedHere(host, port, fingerprint) ? pinnedNow : std::string()};
    case KnownHosts::Verdict::Recorded:
        return {ServerTrust::Kind::PinnedNow, pinnedNow, sha256, pinnedNow};
    case KnownHosts::Verdict::Unpinned:
        // As OpenSSH says of a host key it has never seen.
        return {ServerTrust::Kind::Unknown,
            "the authenticity of " + where + " can't be established: " + why + ", and " + sentence
                + "; its certificate's fingerprint is " + sha256
                + (firstUse.accepted.empty()
                        ? std::string()
                        : " (not " + firstUse.accepted + ", the one accepted)"),
            sha256, ""};
    default:
        return {pinned == KnownHosts::Verdict::Mismatch ? ServerTrust::Kind::Changed
                                                        : ServerTrust::Kind::Refused,
            why + "; " + sentence, sha256, ""};
    }
}

} // namespace tavir::ssl
