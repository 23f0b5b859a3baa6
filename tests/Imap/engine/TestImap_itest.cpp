// testImap against a real Dovecot (plain and TLS) and against ports where no
// IMAP server answers: nothing listening, nothing said, a greeting sent too
// slowly, something else said;
// both server tests against the stand-in target, for what reaches the logs.
#include "Imap/engine/Engine.h"
#include "Imap/textconv/TextConversion.h"

#include "EngineTestSupport.h"
#include "support/Dovecot.h"
#include "support/DribblingPeer.h"
#include "support/Loopback.h"
#include "support/SocketScript.h"
#include "support/StandInTarget.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>

using namespace tavir::migration;

namespace {

std::wstring at(int port)
{
    return L"127.0.0.1:" + std::to_wstring(port);
}

TEST(TestImap, AnswersZeroOnlyForAnImapGreeting)
{
    if (!tavir::test::Dovecot::available())
        GTEST_SKIP() << tavir::test::Dovecot::unavailable();
    tavir::test::ScopedHome home; // the TLS certificate is pinned here
    tavir::test::TempLogs logs;
    tavir::test::Dovecot dovecot(std::map<std::string, std::string>{{"anna", "pw"}});
    tavir::test::SocketScript ssh({{tavir::test::say("SSH-2.0-OpenSSH_9.2p1 Debian-2\r\n")}});
    const int closed = tavir::test::freeLoopbackPort();
    const struct {
        const char* name;
        std::wstring server;
        bool ssl;
        int result;
    } cases[] = {
        {"plain", at(dovecot.port()), false, 0},
        {"TLS", at(dovecot.tlsPort()), true, 0},
        {"TLS again", at(dovecot.tlsPort()), true, 0},
        {"TLS to the plain port", at(dovecot.port()), true, 1},
        {"something else", at(ssh.port()), false, 1},
        {"closed port", at(closed), false, 1},
        {"port not a number", L"127.0.0.1:imap", false, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.result, testImap(c.server, c.ssl));
        EXPECT_NE(SourceTestFailure::CertificateChanged, sourceTestFailure());
    }
    EXPECT_NE(std::string::npos, logs.debug().find("greets: * OK"));
    EXPECT_NE(std::string::npos, logs.report().find("did not greet as an IMAP server"));
    // Each failure says why, in the client's words.
    EXPECT_NE(std::string::npos, logs.report().find("connection refused")) << logs.report();
    EXPECT_NE(std::string::npos, logs.report().find("\"127.0.0.1:imap\" is not a host name"));
    // Once per server: how its certificate was trusted.
    const std::string where = "127.0.0.1:" + std::to_string(dovecot.tlsPort());
    const std::string report = logs.report();
    EXPECT_NE(std::string::npos, report.find("The certificate of " + where + " is not vouched"));
    EXPECT_EQ(
        report.find("The certificate of " + where), report.rfind("The certificate of " + where));

    // Another certificate pinned for it: refused, naming both fingerprints.
    const std::string other = "00:11:22:33:44:55:66:77:88:99:aa:bb:cc:dd:ee:ff:00:11:22:33";
    tavir::test::writeFile(home.file(".tavir/admin/known_hosts.cfg"), where + ": " + other + "\n");
    EXPECT_EQ(1, testImap(at(dovecot.tlsPort()), true));
    EXPECT_EQ(SourceTestFailure::CertificateChanged, sourceTestFailure())
        << "for the wizard to say so";
    const std::string refusal = logs.report().substr(report.size());
    EXPECT_NE(std::string::npos,
        refusal.find("The source server " + where
            + " (SSL) showed another certificate than the one pinned for it, and it was refused: "))
        << refusal;
    EXPECT_EQ(std::string::npos, refusal.find("did not greet")) << refusal;
    EXPECT_NE(
        std::string::npos, refusal.find("the certificate of " + where + " has the fingerprint "))
        << refusal;
    EXPECT_NE(std::string::npos, refusal.find(other)) << refusal;
    // The next test starts afresh.
    EXPECT_EQ(1, testImap(at(closed), false));
    EXPECT_NE(SourceTestFailure::CertificateChanged, sourceTestFailure());
}

// A server that greets, but turns the connection away (a BYE) or takes no
// password on it, or that closes or resets the connection before its
// greeting (over TLS, before its handshake), is no source the accounts could
// be tested on: each is said as what it is. Dovecot as shipped (disable_plaintext_auth = yes)
// reached from another address takes passwords over TLS, or by CRAM-MD5 when it offers that.
TEST(TestImap, ASourceThatTurnsAwayOrTakesNoPasswordIsSaidAsSuch)
{
    if (!tavir::test::Dovecot::available())
        GTEST_SKIP() << tavir::test::Dovecot::unavailable();
    tavir::test::ScopedHome home; // the TLS certificate is pinned here
    tavir::test::TempLogs logs;
    auto shipped = [](bool cramMD5) {
        return std::make_unique<tavir::test::Dovecot>(
            std::map<std::string, std::string>{{"anna", "pw"}},
            tavir::test::Dovecot::plaintextOnlyOverTls(cramMD5));
    };
    const auto plainOnly = shipped(false);
    const auto withCram = shipped(true);
    auto on = [](const tavir::test::Dovecot& dovecot, int port) {
        return tavir::migration::utf8ToUnicode(dovecot.host()) + L":" + std::to_wstring(port);
    };
    tavir::test::SocketScript busy({{tavir::test::say("* BYE Too many connections\r\n")}});
    // At once after the connection is taken: closed (on the TLS port often
    // a reset, the client's hello unread), or reset.
    tavir::test::LoopbackServer closes([](tavir::test::PeerSocket&) {});
    tavir::test::LoopbackServer resets([](tavir::test::PeerSocket& peer) { peer.resetAtClose(); });
    auto closedBeforeGreeting = [](int port, bool ssl) {
        return "The source server 127.0.0.1:" + std::to_string(port) + (ssl ? " (SSL)" : "")
            + " closed the connection before it greeted.";
    };
    const struct {
        const char* name;
        std::wstring server;
        bool ssl;
        int result;
        std::string says; // in the report
    } cases[] = {
        {"a BYE for a greeting", at(busy.port()), false, 1,
            "The source server 127.0.0.1:" + std::to_string(busy.port())
                + " turned the connection away at its greeting: * BYE Too many connections."},
        // Over TLS as on the plain port: no TLS failure.
        {"closed before its greeting", at(closes.port()), false, 1,
            closedBeforeGreeting(closes.port(), false)},
        {"reset before its greeting", at(resets.port()), false, 1,
            closedBeforeGreeting(resets.port(), false)},
        {"closed before the TLS handshake", at(closes.port()), true, 1,
            closedBeforeGreeting(closes.port(), true)},
        {"reset before the TLS handshake", at(resets.port()), true, 1,
            closedBeforeGreeting(resets.port(), true)},
        {"no password in the clear", on(*plainOnly, plainOnly->port()), false, 1,
            "The source server " + plainOnly->host() + ":" + std::to_string(plainOnly->port())
                + " accepts no password on a connection without TLS: turn SSL on for the "
                  "source, usually port 993."},
        {"over TLS", on(*plainOnly, plainOnly->tlsPort()), true, 0, ""},
        {"CRAM-MD5 offered", on(*withCram, withCram->port()), false, 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::size_t before = logs.report().size();
        EXPECT_EQ(c.result, testImap(c.server, c.ssl));
        // For the wizard to say what to do about it.
        EXPECT_EQ(sourceTestFailure() == SourceTestFailure::TakesNoPassword,
            c.says.find("accepts no password") != std::string::npos);
        const std::string said = logs.report().substr(before);
        if (!c.says.empty()) {
            EXPECT_NE(std::string::npos, said.find(c.says)) << said;
            for (const char* never : {"did not greet", "TLS handshake"})
                EXPECT_EQ(std::string::npos, said.find(never)) << said;
        }
    }
}

TEST(TestImap, GivesUpOnASilentOrDribblingServerAfterFiveSecondsInAll)
{
    tavir::test::TempLogs logs;
    // Listening, never accepting: the kernel completes the connection and
    // nobody ever answers.
    tavir::test::SocketScript silent(std::vector<std::vector<tavir::test::Step>>{});
    // A greeting a byte every 200 ms: never complete within 5 seconds.
    tavir::test::DribblingPeer dribbling(tavir::test::DribblingPeer::Where::Greeting, 200);
    const struct {
        const char* what;
        int port;
        std::string sentence;
    } cases[] = {
        {"silent", silent.port(),
            "127.0.0.1:" + std::to_string(silent.port())
                + " accepted the connection but sent no greeting within 5 s"},
        {"dribbling", dribbling.port(),
            "sends too slowly: its greeting was not complete after 5 s, and the connection was "
            "cut off"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto begin = std::chrono::steady_clock::now();
        EXPECT_EQ(1, testImap(at(c.port), false));
        auto seconds
            = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
        EXPECT_GE(seconds, 4.5);
        EXPECT_LT(seconds, 7.0);
        EXPECT_NE(std::string::npos, logs.report().find(c.sentence)) << logs.report();
    }
}

TEST(TestCvn, ResultsPassThroughAndRefusalsReachTheReport)
{
    tavir::test::ScopedHome home; // the target's certificate is pinned here
    tavir::test::TempLogs logs;
    tavir::test::StandInTarget target;
    const std::wstring server = target.whost() + L":" + std::to_wstring(target.port());
    EXPECT_EQ(0, testCvn(server, L"admin", L"admin-secret"));
    EXPECT_EQ(2, testCvn(server, L"admin", L"wrong-secret"));
    EXPECT_EQ(std::string::npos, logs.report().find("wrong-secret"));
    EXPECT_NE(std::string::npos, logs.report().find("refused the login of admin"));
    // The source host runs an administration service too: testImap says so
    // in the debug log only, and still answers for IMAP.
    EXPECT_EQ(0, testImap(server, false));
    EXPECT_NE(std::string::npos, logs.debug().find("the probe login failed")) << logs.debug();
    EXPECT_EQ(std::string::npos, logs.report().find("probe"));
}

} // namespace
