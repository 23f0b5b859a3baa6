#pragma once
// Which certificate a TLS connection may pin at its first contact with a
// server that no trusted authority vouches for and that has no pin yet
// (ServerTrust.h). The wizard pins whatever such a server shows, as the
// user sees the servers it names at once; zorp-engine-run, which nobody
// watches, pins only the certificate whose SHA-256 fingerprint the user
// accepted, and any other ends the connection with that fingerprint.
// Fingerprints are written as OpenSSH writes a host key's.
#include <string>

namespace tavir::ssl {

struct FirstUse {
    // True: whatever certificate the server shows is pinned (trust on first
    // use). False: only `accepted`.
    bool pinsAny = true;
    // With pinsAny false, the fingerprint (readSha256Fingerprint's form) of
    // the one certificate that may be pinned; empty: none.
    std::string accepted;
};

// A SHA-256 digest (32 bytes) as a fingerprint: "SHA256:" and the digest in
// base64 without its padding, 50 characters.
std::string sha256Fingerprint(const std::string& digest);

// `typed` read as such a fingerprint, its padding "=" allowed, its prefix
// in any case: the fingerprint as sha256Fingerprint writes it; empty when
// it is not one.
std::string readSha256Fingerprint(const std::string& typed);

} // namespace tavir::ssl
