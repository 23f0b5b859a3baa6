// Whom the IMAP client hands a password to over TLS, against a real Dovecot
// whose certificate a test authority issued for "localhost": a certificate
// that an authority of the trust store vouches for, for the name typed, is
// accepted as it is; any other is pinned on first use, accepted while it
// matches its pin, and refused, naming both fingerprints, once another one
// is pinned.
#include "Imap/textconv/TextConversion.h"
#include "imapclient/SimpleImapClient.h"
#include "support/Certificates.h"
#include "support/Dovecot.h"

#include <gtest/gtest.h>

#include <fstream>
#include <optional>

using namespace tavir::mail;
using namespace tavir::test;

namespace {

TEST(ServerTrust, VerifiedOrPinnedOnFirstUseAndAnotherCertificateRefused)
{
    if (!Dovecot::available())
        GTEST_SKIP() << Dovecot::unavailable();
    TempDir dir;
    ScopedHome home;
    const TestAuthority trusted(dir, "trusted"), stranger(dir, "stranger");
    const IssuedCertificate issued = trusted.issue("localhost");
    Dovecot::Options options;
    options.certificateFile = issued.certificateFile;
    options.keyFile = issued.keyFile;
    Dovecot dovecot({{"anna", "Pw-anna"}}, options);
    const std::string port = std::to_string(dovecot.tlsPort());
    const std::string pins = home.file(".tavir/admin/known_hosts.cfg");
    const std::string pinned = "127.0.0.1:" + port + ": " + issued.fingerprint + "\n";
    const std::string other = "00:11:22:33:44:55:66:77:88:99:aa:bb:cc:dd:ee:ff:00:11:22:33";

    const std::string refused = "127.0.0.1:" + port + ": " + other + "\n";
    const std::optional<std::string> none;
    const struct {
        const char* name;
        const TestAuthority& store; // the one authority the system trusts
        const wchar_t* host;
        std::optional<std::string> pinsBefore; // none: as the row before left them
        bool accepted;
        std::vector<std::string> says; // parts of the notice, or of the refusal
        std::optional<std::string> pinsAfter; // none: no file
    } cases[] = {
        {"vouched for, for the name typed", trusted, L"localhost", none, true,
            {"localhost:" + port, "is issued for localhost by an authority this system trusts"},
            none},
        {"an address the certificate does not name: pinned on first use", trusted, L"127.0.0.1",
            none, true,
            {"127.0.0.1:" + port, "(IP address mismatch)", "was pinned", issued.fingerprint},
            pinned},
        {"then accepted while it matches its pin", trusted, L"127.0.0.1", none, true,
            {"it matches the fingerprint " + issued.fingerprint}, pinned},
        {"an authority the system does not trust: pinned", stranger, L"localhost", none, true,
            {"(unable to get local issuer certificate)", "was pinned"},
            pinned + "localhost:" + port + ": " + issued.fingerprint + "\n"},
        {"another certificate pinned: refused, the pins left as they were", trusted, L"127.0.0.1",
            refused, false, {"127.0.0.1:" + port, issued.fingerprint, other, "refused"}, refused},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.pinsBefore)
            writeFile(pins, *c.pinsBefore);
        ScopedTrustStore store(c.store.certificateFile());
        SimpleImapClient client;
        client.setReadTimeoutMs(10000);
        const ImapClientResult result
            = client.connect(c.host, dovecot.tlsPort(), L"anna", L"Pw-anna", false, true);
        const std::string said = c.accepted
            ? client.trustNotice().sentence
            : tavir::migration::unicodeToUtf8(client.getLastErrorResponse());
        EXPECT_EQ(c.accepted, result == ImapSuccess) << said;
        for (const std::string& part : c.says)
            EXPECT_NE(std::string::npos, said.find(part)) << said;
        if (c.pinsAfter)
            EXPECT_EQ(*c.pinsAfter, readFile(pins));
        else
            EXPECT_FALSE(std::ifstream(pins).good()) << "a vouched-for server is not pinned";
    }
}

} // namespace
