// Whom the IMAP client hands a password to over TLS, against a real Dovecot
// whose certificate a test authority issued for "localhost": a certificate
// that an authority of the trust store vouches for, for the name typed, is
// accepted as it is, and the known-hosts file remembers that one was; any
// other is pinned on first use, accepted while it matches its pin, and
// refused, naming both fingerprints, once another one is pinned or an
// authority vouched for the server before. Where the first use may pin only
// the certificate the user accepted, any other is refused with its SHA-256
// fingerprint (as `openssl x509 -fingerprint -sha256` finds it), the pins
// left as they were. A connection that finds a pin (or an authority's line)
// this process wrote says so for the report, in the words of the connection
// that wrote it. A known-hosts file that a hung program keeps locked is
// waited for within the connection's deadline, and no longer once the
// connection is stopped.
#include "Imap/textconv/TextConversion.h"
#include "imapclient/SimpleImapClient.h"
#include "ssl/StopSignal.h"
#include "support/Certificates.h"
#include "support/Dovecot.h"
#include "support/LockHolder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <sys/stat.h>
#include <thread>

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
    // Its folders as the program makes them, for pins written before any
    // connection.
    for (const char* folder : {".tavir", ".tavir/admin"})
        ASSERT_EQ(0, mkdir(home.file(folder).c_str(), 0700));
    const std::string pinnedName = "localhost:" + port + ": " + issued.fingerprint + "\n";
    const std::string vouchedName = pinnedName + "authority@" + pinnedName;
    const std::string pinned = vouchedName + "127.0.0.1:" + port + ": " + issued.fingerprint + "\n";
    const std::string other = "00:11:22:33:44:55:66:77:88:99:aa:bb:cc:dd:ee:ff:00:11:22:33";

    const std::string refused = "127.0.0.1:" + port + ": " + other + "\n";
    const std::string sha256 = sha256Fingerprint(issued.certificateFile);
    const std::string otherSha256 = "SHA256:" + std::string(43, 'A');
    auto onlyAccepted = [](const std::string& accepted) {
        return tavir::ssl::FirstUse{false, accepted};
    };
    const std::optional<std::string> none;
    const struct {
        const char* name;
        const TestAuthority& store; // the one authority the system trusts
        const wchar_t* host;
        std::optional<std::string> pinsBefore; // none: as the row before left them
        bool accepted;
        std::vector<std::string> says; // parts of the notice, or of the refusal
        std::string pinsAfter;
        // Parts of what the notice says this process recorded, on this
        // connection or an earlier one; none: it says nothing.
        std::vector<std::string> recorded;
        bool changed = false; // refused because another certificate is pinned
        bool locked = false; // by a hung program, all through the connect
        unsigned timeoutMs = 10000;
        int stopAfterMs = -1; // -1: no stop
        // What the first use may pin; the wizard's rule (whatever comes)
        // when left out.
        tavir::ssl::FirstUse firstUse = {};
        bool unknown = false; // refused, its SHA-256 fingerprint in the notice
    } cases[] = {
        {"pinned by another program: accepted while it matches its pin", stranger, L"localhost",
            pinnedName, true, {"it matches the fingerprint " + issued.fingerprint}, pinnedName, {}},
        {"an authority the system does not trust: pinned", stranger, L"localhost", std::string(),
            true, {"(unable to get local issuer certificate)", "was pinned"}, pinnedName,
            {"on this first connection its fingerprint " + issued.fingerprint + " was pinned"}},
        {"vouched for, for the name typed: accepted, and remembered", trusted, L"localhost", none,
            true,
            {"localhost:" + port, "is issued for localhost by an authority this system trusts",
                "now records that"},
            vouchedName, {"now records that"}},
        {"vouched for before, now by none: refused as a changed certificate", stranger,
            L"localhost", none, false,
            {"no authority this system trusts vouches for its certificate (unable to get local "
             "issuer certificate)",
                "the certificate of localhost:" + port + " has the fingerprint "
                    + issued.fingerprint,
                "holds " + issued.fingerprint + " (a certificate an authority vouched for) for it",
                "the connection was refused"},
            vouchedName, {}, true},
        {"an address the certificate does not name: pinned on first use", trusted, L"127.0.0.1",
            none, true,
            {"127.0.0.1:" + port, "(IP address mismatch)", "was pinned", issued.fingerprint},
            pinned, {"was pinned"}},
        // As another connection of a run finds the pin a moment after the
        // first made it: the report says it was pinned now.
        {"then accepted while it matches its pin, which this process made", trusted, L"127.0.0.1",
            none, true, {"it matches the fingerprint " + issued.fingerprint}, pinned,
            {"(IP address mismatch); on this first connection its fingerprint " + issued.fingerprint
                + " was pinned in " + pins}},
        {"another certificate pinned: refused, the pins left as they were", trusted, L"127.0.0.1",
            refused, false, {"127.0.0.1:" + port, issued.fingerprint, other, "refused"}, refused,
            {}, true},
        {"the pins locked by a hung program: refused at the connection's deadline", trusted,
            L"127.0.0.1", none, false, {"stayed locked by another program"}, refused, {}, false,
            true, 1500},
        {"the pins locked by a hung program: refused at once on a stop", trusted, L"127.0.0.1",
            none, false, {"was closed on a stop request"}, refused, {}, false, true, 10000, 300},
        // A first use that may pin only the certificate the user accepted.
        {"none accepted: refused as unknown, naming its SHA-256 fingerprint", trusted, L"127.0.0.1",
            std::string(), false,
            {"the authenticity of 127.0.0.1:" + port + " can't be established: ",
                "no authority this system trusts vouches for its certificate (IP address "
                "mismatch), and no certificate is pinned for 127.0.0.1:"
                    + port + " in " + pins + "; its certificate's fingerprint is " + sha256},
            "", {}, false, false, 10000, -1, onlyAccepted(""), true},
        {"another one accepted: refused as unknown, naming both", trusted, L"127.0.0.1", none,
            false, {"fingerprint is " + sha256 + " (not " + otherSha256 + ", the one accepted)"},
            "", {}, false, false, 10000, -1, onlyAccepted(otherSha256), true},
        {"another certificate pinned, this one accepted: refused as changed", trusted, L"127.0.0.1",
            refused, false, {"holds " + other + " for it"}, refused, {}, true, false, 10000, -1,
            onlyAccepted(sha256)},
        {"this one accepted: pinned", trusted, L"127.0.0.1", std::string(), true,
            {"(IP address mismatch); it is the certificate accepted, " + sha256
                + ", and its fingerprint " + issued.fingerprint + " was pinned now in " + pins},
            "127.0.0.1:" + port + ": " + issued.fingerprint + "\n",
            {"it is the certificate accepted, " + sha256 + ", and its fingerprint "
                + issued.fingerprint + " was pinned now in " + pins},
            false, false, 10000, -1, onlyAccepted(sha256)},
        {"then none accepted: accepted while it matches its pin, which this process made", trusted,
            L"127.0.0.1", none, true, {"it matches the fingerprint " + issued.fingerprint},
            "127.0.0.1:" + port + ": " + issued.fingerprint + "\n",
            {"its fingerprint " + issued.fingerprint + " was pinned"}, false, false, 10000, -1,
            onlyAccepted("")},
        {"none accepted, vouched for: accepted", trusted, L"localhost", std::string(), true,
            {"is issued for localhost by an authority this system trusts"},
            "authority@" + pinnedName, {"now records that"}, false, false, 10000, -1,
            onlyAccepted("")},
        {"then vouched for again: accepted, and this process recorded it", trusted, L"localhost",
            none, true, {"is issued for localhost by an authority this system trusts."},
            "authority@" + pinnedName,
            {"is issued for localhost by an authority this system trusts; " + pins
                + " now records that"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.pinsBefore)
            writeFile(pins, *c.pinsBefore);
        ScopedTrustStore store(c.store.certificateFile());
        std::unique_ptr<LockHolder> hung;
        if (c.locked) {
            hung = std::make_unique<LockHolder>(pins, "r+");
            ASSERT_TRUE(hung->opened());
        }
        SimpleImapClient client;
        client.setReadTimeoutMs(c.timeoutMs);
        client.getConnection().setFirstUse(c.firstUse);
        auto stop = std::make_shared<tavir::utils::StopSignal>();
        client.setStopSignal(stop);
        std::thread stopper([&] {
            if (c.stopAfterMs < 0)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(c.stopAfterMs));
            stop->raise();
        });
        const auto start = std::chrono::steady_clock::now();
        const ImapClientResult result
            = client.connect(c.host, dovecot.tlsPort(), L"anna", L"Pw-anna", false, true);
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start)
                              .count();
        stopper.join();
        const std::string said = c.accepted
            ? client.trustNotice().sentence
            : tavir::migration::unicodeToUtf8(client.getLastErrorResponse());
        EXPECT_EQ(c.accepted, result == ImapSuccess) << said;
        EXPECT_EQ(c.changed, client.trustNotice().changed);
        EXPECT_EQ(c.unknown ? sha256 : "", client.trustNotice().unknown);
        for (const std::string& part : c.says)
            EXPECT_NE(std::string::npos, said.find(part)) << said;
        const std::string& recorded = client.trustNotice().recordedSentence;
        EXPECT_EQ(c.recorded.empty(), recorded.empty()) << recorded;
        for (const std::string& part : c.recorded)
            EXPECT_NE(std::string::npos, recorded.find(part)) << recorded;
        EXPECT_EQ(c.pinsAfter, readFile(pins));
        if (c.locked) {
            const long bound = c.stopAfterMs >= 0 ? c.stopAfterMs : long(c.timeoutMs);
            EXPECT_LT(took, bound + 1500) << "a wait past the connection's deadline or stop";
        }
    }
}

} // namespace
