#pragma once
// Whether a TLS server may be handed a password. A certificate that an
// authority this system trusts vouches for, for the name the user typed, is
// accepted as it is, and the known-hosts file remembers that one was. Any
// other (self-signed, another name, an authority of its own) is pinned on
// first use in the known-hosts file, as the administration service always
// is (or, where the first use may pin only the certificate the user
// accepted, refused with its fingerprint: FirstUse.h), and must match its
// pin from then on; for a server an authority vouched for before, it is
// refused.
#include "ssl/FirstUse.h"
#include "ssl/KnownHosts.h"

#include <openssl/ssl.h>

#include <string>

namespace tavir::ssl {

struct ServerTrust {
    enum class Kind {
        Verified, // an authority the system trusts vouches for it, for the name
        Pinned, // it matches the fingerprint pinned for the server
        PinnedNow, // first contact: its fingerprint is pinned now
        Changed, // refused: another fingerprint is pinned for the server
        // refused: none is pinned for the server, and the first use may not
        // pin this certificate
        Unknown,
        Refused, // refused: no certificate, or no pin could be checked
    };
    Kind kind = Kind::Refused;
    // Verified and pinned: a sentence for the report saying how the
    // certificate was trusted. Changed, Unknown and Refused: a clause
    // saying why.
    std::string sentence;
    // The certificate's SHA-256 fingerprint (FirstUse.h); empty when the
    // server showed none.
    std::string sha256;
    // Trusted, and this process recorded the server in the known-hosts file
    // (pinned it, or noted that an authority vouches for it), on this
    // connection or another: that connection's sentence, which says what
    // happened in this process where this one's may only say that the line
    // matched. Empty otherwise.
    std::string recordedSentence;

    bool trusted() const
    {
        return kind == Kind::Verified || kind == Kind::Pinned || kind == Kind::PinnedNow;
    }
};

// On a client's SSL object before its handshake: the server is asked for
// `host` (SNI, for a name) and its certificate verified against the system's
// trusted authorities for that name or address. The handshake goes on
// whatever the verification finds; judgeServer reads its verdict. False
// when the verification could not be set up.
bool expectServerName(SSL* ssl, const std::string& host);

// After the handshake: the verdict on the server's certificate, pinning it
// in `pins`, as `firstUse` allows, when no trusted authority vouches for it
// and none is pinned for the server. The file's lock is waited for as
// `wait` allows (the connection's deadline and stop).
ServerTrust judgeServer(SSL* ssl, const std::string& host, unsigned port, const KnownHosts& pins,
    const KnownHosts::Wait& wait, const FirstUse& firstUse = {});

} // namespace tavir::ssl
