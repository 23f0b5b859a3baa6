// The credential test against a real Dovecot whose accounts log in with the
// full address, with the bare mailbox only, or not at all; stopping it (also
// in the middle of a greeting that a server sends a byte at a time), a
// second start, and the engine object ending while it runs; a source that
// quotes the passwords it refuses back; sources that can't be tested at
// all, said once as such by the wizard's test and by a run's own, and a run's
// tests ended at once by one; a Dovecot that can't take one more session of
// an account another client holds; and a tester's own error.
#include "Imap/engine/Engine.h"
#include "Imap/engine/ImapUserTesterThread.h"
#include "Imap/engine/Migrator.h"
#include "Imap/engine/RunLogins.h"
#include "Imap/textconv/TextConversion.h"

#include "EngineTestSupport.h"
#include "MigrationHarness.h"
#include "support/Dovecot.h"
#include "support/DribblingPeer.h"
#include "support/FailingAllocation.h"
#include "support/FakeImapSource.h"
#include "support/Loopback.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

using namespace tavir::migration;
using tavir::test::RecordingCallbacks;

namespace {

const char* const accounts = "anna@example.com;Pw-anna;Anna\n"
                             "ben@example.com;Pw-ben;Ben\n"
                             "carl@example.com;Pw-carl-wrong;Carl\n";

// The wizard's test of the three accounts in `accountsFile` on an engine of
// its own, waited for up to `seconds`: the statuses it set, the accounts as
// it left them, and what the engine then said of the source.
struct WizardTested {
    std::vector<TestStatus> statuses = std::vector<TestStatus>(3, TestNotTested);
    std::vector<UserInfoData> users;
    std::wstring sourceUntestable;
};

WizardTested wizardTest(
    const Configuration& configuration, const std::string& accountsFile, int seconds)
{
    WizardTested tested;
    IMigrator* created = nullptr;
    if (!createMigrator(&created)) {
        ADD_FAILURE() << "no engine";
        return tested;
    }
    std::unique_ptr<IMigrator> migrator(created);
    Configuration copy = configuration;
    EXPECT_TRUE(migrator->init(copy));
    EXPECT_TRUE(migrator->loadUsers(utf8ToUnicode(accountsFile)));
    RecordingCallbacks callbacks;
    EXPECT_TRUE(migrator->startUserTest(&callbacks, tested.statuses));
    EXPECT_TRUE(callbacks.waitStopped(seconds));
    MigrationStatus status;
    migrator->getStatus(status);
    tested.sourceUntestable = status.sourceUntestable;
    migrator->getUsers(tested.users);
    return tested;
}

// A migration from `dovecot`'s plain port into `target`.
Configuration fromDovecotInto(const tavir::test::MigrationRunner& runner,
    const tavir::test::Dovecot& dovecot, const tavir::test::StandInTarget& target)
{
    return runner.configuration(L"127.0.0.1:" + std::to_wstring(dovecot.port()),
        target.whost() + L":" + std::to_wstring(target.port()));
}

class UserTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!tavir::test::Dovecot::available())
            GTEST_SKIP() << tavir::test::Dovecot::unavailable();
        tavir::test::Dovecot::Options options;
        options.extraConfig = tavir::test::Dovecot::refusalsAtOnce;
        dovecot = std::make_unique<tavir::test::Dovecot>(
            std::map<std::string, std::string>{{"anna@example.com", "Pw-anna"}, {"ben", "Pw-ben"},
                {"carl@example.com", "Pw-carl"}},
            options);
        tavir::test::writeFile(dir.file("accounts.txt"), accounts);
        migrator = makeMigrator(false);
    }

    std::unique_ptr<IMigrator> makeMigrator(bool ssl)
    {
        IMigrator* created = nullptr;
        EXPECT_TRUE(createMigrator(&created));
        std::unique_ptr<IMigrator> result(created);
        Configuration configuration;
        configuration.sourceServer
            = L"127.0.0.1:" + std::to_wstring(ssl ? dovecot->tlsPort() : dovecot->port());
        configuration.sourceSsl = ssl;
        EXPECT_TRUE(result->init(configuration));
        std::string path = dir.file("accounts.txt");
        EXPECT_TRUE(result->loadUsers(std::wstring(path.begin(), path.end())));
        return result;
    }

    tavir::test::ScopedHome home; // the TLS certificate is pinned here
    tavir::test::TempLogs logs;
    tavir::test::TempDir dir;
    std::unique_ptr<tavir::test::Dovecot> dovecot;
    std::unique_ptr<IMigrator> migrator;
    std::vector<TestStatus> statuses = std::vector<TestStatus>(3, TestNotTested);
};

TEST_F(UserTest, TriesTheAddressThenTheMailbox)
{
    for (bool ssl : {false, true}) {
        SCOPED_TRACE(ssl ? "TLS" : "plain");
        migrator = makeMigrator(ssl);
        statuses.assign(3, TestNotTested);
        RecordingCallbacks callbacks;
        ASSERT_TRUE(migrator->startUserTest(&callbacks, statuses));
        ASSERT_TRUE(callbacks.waitStopped());
        EXPECT_EQ((std::vector<std::string>{"started", "status", "status", "status", "stopped"}),
            callbacks.calls());
        EXPECT_EQ((std::vector<TestStatus>{TestLoginAccepted, TestLoginAccepted, TestLoginRefused}),
            statuses);
        // The refused account carries the report's sentence on why, for
        // whoever shows it; the accepted ones none.
        std::vector<UserInfoData> users;
        migrator->getUsers(users);
        ASSERT_EQ(3u, users.size());
        EXPECT_EQ(L"", users[0].loginRefusal + users[1].loginRefusal);
        const std::wstring refusal = users[2].loginRefusal;
        EXPECT_EQ(0u,
            refusal.find(L"The source server 127.0.0.1:"
                + std::to_wstring(ssl ? dovecot->tlsPort() : dovecot->port())
                + L" refused the login of carl@example.com (as carl@example.com: "))
            << tavir::migration::unicodeToUtf8(refusal);
        EXPECT_NE(
            std::string::npos, logs.report().find(tavir::migration::unicodeToUtf8(refusal) + "\n"));
    }
    migrator.reset();
    const std::string report = logs.report();
    EXPECT_NE(std::string::npos, report.find("refused the login of carl@example.com"));
    EXPECT_EQ(std::string::npos, report.find("anna"));
    EXPECT_EQ(std::string::npos, report.find("Pw-"));
    EXPECT_EQ(std::string::npos, logs.debug().find("Pw-"));
    // Six TLS logins, one sentence on how the server was trusted.
    const std::string pinned = "The certificate of 127.0.0.1:" + std::to_string(dovecot->tlsPort());
    EXPECT_NE(std::string::npos, report.find(pinned + " is not vouched for")) << report;
    EXPECT_EQ(report.find(pinned), report.rfind(pinned)) << report;
}

// A run's own test of each account keeps its connection once the source
// accepts the login, and the account's road goes on with it, logged in as
// the name that was accepted (the address, or the bare mailbox), over TLS
// as over plain IMAP: the source sees one login per account it accepted,
// and the certificate is said once, as it was trusted for the test.
TEST_F(UserTest, ARunsOwnTestHandsEachAcceptedLoginToTheRoadAsTheNameThatLoggedIn)
{
    tavir::test::StandInTarget target;
    tavir::test::MigrationRunner runner(logs, dir);
    runner.testLogins = true;
    // Dovecot's line for each session it opened for a login.
    auto sessions = [this](const std::string& user) {
        return tavir::test::occurrences(dovecot->log(), "Login: user=<" + user + ">");
    };
    for (bool ssl : {false, true}) {
        SCOPED_TRACE(ssl ? "TLS" : "plain");
        const std::string source
            = "127.0.0.1:" + std::to_string(ssl ? dovecot->tlsPort() : dovecot->port());
        const unsigned annaBefore = sessions("anna@example.com");
        const unsigned benBefore = sessions("ben");
        const std::size_t debugBefore = logs.debug().size();
        Configuration configuration = runner.configuration(
            utf8ToUnicode(source), target.whost() + L":" + std::to_wstring(target.port()));
        configuration.sourceSsl = ssl;
        const tavir::test::RunOutcome outcome = runner.run(configuration, accounts);
        ASSERT_TRUE(outcome.started) << outcome.report;
        EXPECT_EQ(2u, outcome.status.finishedAccounts) << outcome.report;
        EXPECT_EQ(1u, outcome.status.loginsRefused) << outcome.report;
        const std::string debug = logs.debug().substr(debugBefore);
        for (const char* user : {"anna@example.com", "ben"}) {
            EXPECT_NE(std::string::npos,
                debug.find("Logged in to " + source + " as " + user + " (by its login test)."))
                << user << "\n"
                << debug;
        }
        EXPECT_EQ(std::string::npos, debug.find("logs in anew")) << debug;
        // Dovecot logs a session as it hands it over: one each, the test's.
        EXPECT_TRUE(tavir::test::waitUntil(
            [&] {
                return sessions("anna@example.com") > annaBefore && sessions("ben") > benBefore;
            },
            5000));
        EXPECT_EQ(annaBefore + 1, sessions("anna@example.com")) << dovecot->log();
        EXPECT_EQ(benBefore + 1, sessions("ben")) << dovecot->log();
        if (ssl) {
            const std::string pinned
                = "The certificate of 127.0.0.1:" + std::to_string(dovecot->tlsPort());
            EXPECT_EQ(1u, tavir::test::occurrences(outcome.report, pinned)) << outcome.report;
        }
    }
}

// A source that quotes every refused LOGIN back whole: the password shows
// in the logs as *** only, sent as a quoted string with escapes or as a
// literal, also one with a carriage return in it (a line break once the logs
// make the line one).
TEST(UserTestEcho, APasswordQuotedBackByTheServerIsMaskedInBothLogs)
{
    tavir::test::TempLogs logs;
    tavir::test::TempDir dir;
    tavir::test::LoopbackServer source(tavir::test::echoingLoginRefusals());
    tavir::test::writeFile(dir.file("accounts.txt"),
        "anna@example.com;\"Pw\"\"q\\uote\";Anna\n" // sent as "Pw\"q\\uote"
        "ben@example.com;Pw-b\xC3\xA4n;Ben\n" // sent as a literal
        "carl@example.com;\"Pw\rX-7q\";Carl\n"); // sent as a literal
    IMigrator* created = nullptr;
    ASSERT_TRUE(createMigrator(&created));
    std::unique_ptr<IMigrator> migrator(created);
    Configuration configuration;
    configuration.sourceServer = L"127.0.0.1:" + std::to_wstring(source.port());
    ASSERT_TRUE(migrator->init(configuration));
    const std::string path = dir.file("accounts.txt");
    ASSERT_TRUE(migrator->loadUsers(std::wstring(path.begin(), path.end())));
    std::vector<TestStatus> statuses(3, TestNotTested);
    RecordingCallbacks callbacks;
    ASSERT_TRUE(migrator->startUserTest(&callbacks, statuses));
    ASSERT_TRUE(callbacks.waitStopped());
    migrator.reset();
    EXPECT_EQ(std::vector<TestStatus>(3, TestLoginRefused), statuses);
    for (const std::string& log : {logs.report(), logs.debug()}) {
        EXPECT_NE(std::string::npos, log.find("You sent: K0 LOGIN \"anna@example.com\" \"***\""))
            << log;
        EXPECT_NE(std::string::npos, log.find("You sent: K0 LOGIN \"ben@example.com\" {7+}  ***"))
            << log;
        EXPECT_NE(std::string::npos,
            log.find("You sent: K0 LOGIN \"carl@example.com\" {7+}  ***; as carl:"))
            << log;
        EXPECT_EQ(std::string::npos, log.find("Pw")) << log;
    }
}

TEST_F(UserTest, StopsBeforeTheNextAccountAndCallsNothingAfterStopped)
{
    RecordingCallbacks callbacks;
    callbacks.onStatus = [this] { EXPECT_TRUE(migrator->stopUserTest()); };
    ASSERT_TRUE(migrator->startUserTest(&callbacks, statuses));
    ASSERT_TRUE(callbacks.waitStopped());
    migrator.reset(); // joins the tester: whatever it would still call has been called
    EXPECT_EQ((std::vector<std::string>{"started", "status", "aborted"}), callbacks.calls());
    EXPECT_EQ((std::vector<TestStatus>{TestLoginAccepted, TestNotTested, TestNotTested}), statuses);
}

TEST_F(UserTest, RefusesASecondStartWhileOneRuns)
{
    RecordingCallbacks callbacks, second;
    std::vector<TestStatus> more(3, TestNotTested);
    bool refused = false;
    callbacks.onStatus = [&] {
        if (!refused)
            refused = !migrator->startUserTest(&second, more);
    };
    ASSERT_TRUE(migrator->startUserTest(&callbacks, statuses));
    ASSERT_TRUE(callbacks.waitStopped());
    EXPECT_TRUE(refused);
    EXPECT_TRUE(second.calls().empty());
    // Once it has ended, a new test may start.
    ASSERT_TRUE(migrator->startUserTest(&second, more));
    ASSERT_TRUE(second.waitStopped());
    EXPECT_EQ(statuses, more);
}

TEST_F(UserTest, EndingTheEngineStopsAndJoinsARunningTest)
{
    RecordingCallbacks callbacks;
    ASSERT_TRUE(migrator->startUserTest(&callbacks, statuses));
    migrator.reset();
    std::vector<std::string> calls = callbacks.calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_TRUE(calls.back() == "aborted" || calls.back() == "stopped");
    EXPECT_EQ("started", calls.front());
}

TEST(UserTestStop, AStopEndsALoginWaitingForItsGreetingAtOnce)
{
    tavir::test::TempLogs logs;
    tavir::test::TempDir dir;
    tavir::test::DribblingPeer source(tavir::test::DribblingPeer::Where::Greeting, 100);
    tavir::test::writeFile(dir.file("accounts.txt"), accounts);
    IMigrator* created = nullptr;
    ASSERT_TRUE(createMigrator(&created));
    std::unique_ptr<IMigrator> migrator(created);
    Configuration configuration;
    configuration.sourceServer = source.server();
    ASSERT_TRUE(migrator->init(configuration));
    ASSERT_TRUE(migrator->loadUsers(utf8ToUnicode(dir.file("accounts.txt"))));
    std::vector<TestStatus> statuses(3, TestNotTested);
    RecordingCallbacks callbacks;
    ASSERT_TRUE(migrator->startUserTest(&callbacks, statuses));
    ASSERT_TRUE(source.waitDribbling());
    const long long stopped = tavir::test::nowMs();
    EXPECT_TRUE(migrator->stopUserTest());
    ASSERT_TRUE(callbacks.waitStopped(5));
    EXPECT_LT(tavir::test::nowMs() - stopped, 1000);
    migrator.reset();
    EXPECT_EQ((std::vector<std::string>{"started", "status", "aborted"}), callbacks.calls());
    // The account in hand was neither accepted nor refused.
    EXPECT_EQ(std::vector<TestStatus>(3, TestNotTested), statuses);
    EXPECT_EQ(std::string::npos, logs.report().find("refused")) << logs.report();
}

// Dovecot as shipped takes a password in the clear only on a secure
// connection (disable_plaintext_auth = yes): reached from another address on
// its plain port, it greets with LOGINDISABLED. Where it offers CRAM-MD5,
// every login goes that way, on both the wizard's test and a run's own, and
// the accounts are migrated; where it does not, the source can't be tested,
// said once in its own terms. LOGIN, and so any password in the clear, never
// reaches it either way.
TEST(UserTestPlaintext, ADovecotThatTakesNoPasswordInTheClearIsNeverSentOne)
{
    if (!tavir::test::Dovecot::available())
        GTEST_SKIP() << tavir::test::Dovecot::unavailable();
    for (bool cramMD5 : {true, false}) {
        SCOPED_TRACE(cramMD5 ? "CRAM-MD5 offered" : "no CRAM-MD5");
        tavir::test::ScopedHome home;
        tavir::test::TempLogs logs;
        tavir::test::TempDir dir;
        tavir::test::Dovecot::Options options = tavir::test::Dovecot::plaintextOnlyOverTls(cramMD5);
        options.extraConfig = tavir::test::Dovecot::refusalsAtOnce;
        const tavir::test::Dovecot dovecot(
            std::map<std::string, std::string>{{"anna@example.com", "Pw-anna"}, {"ben", "Pw-ben"},
                {"carl@example.com", "Pw-carl"}},
            options);
        // From 127.0.0.1, which is not the address Dovecot listens on.
        std::mutex linesLock;
        std::vector<std::string> lines;
        tavir::test::CommandRelay relay(tavir::test::ListenAt{}, dovecot.host(), dovecot.port(),
            [&](int, const std::string& line) {
                std::lock_guard<std::mutex> hold(linesLock);
                lines.push_back(line);
                return true;
            });
        const std::string source = "127.0.0.1:" + std::to_string(relay.port());
        const std::string untestable = "The source server " + source
            + " accepts no password on a connection without TLS: turn SSL on for the source, "
              "usually port 993.";
        tavir::test::writeFile(dir.file("accounts.txt"), accounts);
        tavir::test::StandInTarget target;
        tavir::test::MigrationRunner runner(logs, dir);
        const Configuration configuration = runner.configuration(
            utf8ToUnicode(source), target.whost() + L":" + std::to_wstring(target.port()));

        // The wizard's test.
        const WizardTested wizard = wizardTest(configuration, dir.file("accounts.txt"), 60);
        const std::vector<TestStatus> tested = cramMD5
            ? std::vector<TestStatus>{TestLoginAccepted, TestLoginAccepted, TestLoginRefused}
            : std::vector<TestStatus>(3, TestNotTested);
        EXPECT_EQ(tested, wizard.statuses);
        EXPECT_EQ(cramMD5 ? "" : untestable, unicodeToUtf8(wizard.sourceUntestable));

        // A run's own tests, and its roads.
        runner.testLogins = true;
        const tavir::test::RunOutcome outcome = runner.run(configuration, accounts);
        EXPECT_EQ(cramMD5, outcome.started) << outcome.report;
        EXPECT_EQ(cramMD5 ? 2u : 0u, outcome.status.finishedAccounts) << outcome.report;
        EXPECT_EQ(cramMD5 ? 1u : 0u, outcome.status.loginsRefused) << outcome.report;
        EXPECT_EQ(cramMD5 ? "" : untestable, unicodeToUtf8(outcome.status.sourceUntestable));
        EXPECT_EQ(cramMD5 ? 0u : 1u, tavir::test::occurrences(outcome.report, untestable))
            << outcome.report;

        std::lock_guard<std::mutex> hold(linesLock);
        unsigned cram = 0;
        for (const std::string& line : lines) {
            EXPECT_EQ(std::string::npos, line.find(" LOGIN ")) << line;
            cram += line.find(" AUTHENTICATE CRAM-MD5") != std::string::npos;
        }
        // Both names of carl and of ben, anna's address; on both roads.
        EXPECT_EQ(cramMD5 ? 10u : 0u, cram);
        EXPECT_EQ(std::string::npos, dovecot.log().find("Plaintext authentication"));
        EXPECT_EQ(std::string::npos, logs.report().find("Pw-"));
    }
}

// A source that can't be tested is said as such, never as refused logins,
// and no password reaches it where it did not ask for one: the wizard's test
// leaves every account untested and says why once, and a run's own tests
// end at once, within one time-out, the run not started and the target not
// reached. A silent server that greets as logged in already (PREAUTH) costs
// no time-out at all: nothing is sent to it.
TEST(UserTestSource, ASourceThatCanNotBeTestedIsSaidOnceAsSuchOnBothRoads)
{
    constexpr unsigned timeoutMs = 1000;
    auto greeting = [](const std::string& line) {
        return [line](tavir::test::PeerSocket& peer) {
            peer.say(line);
            peer.readLine(15000);
        };
    };
    tavir::test::LoopbackServer silent([](tavir::test::PeerSocket& peer) { peer.readLine(15000); });
    tavir::test::LoopbackServer preauth(
        greeting("* PREAUTH [CAPABILITY IMAP4rev1] logged in as nobody\r\n"));
    tavir::test::LoopbackServer other(greeting("SSH-2.0-OpenSSH_9.2p1\r\n"));
    tavir::test::LoopbackServer turnsAway([](tavir::test::PeerSocket& peer) {
        peer.say("* BYE Too many connections from your IP\r\n");
    });
    tavir::test::LoopbackServer closes([](tavir::test::PeerSocket&) {});
    tavir::test::LoopbackServer resets([](tavir::test::PeerSocket& peer) { peer.resetAtClose(); });
    tavir::test::LoopbackServer plainRefused(
        greeting("* OK [CAPABILITY IMAP4rev1 STARTTLS LOGINDISABLED] ready\r\n"));
    const std::string closed = "127.0.0.1:" + std::to_string(tavir::test::freeLoopbackPort());
    auto at = [](const tavir::test::LoopbackServer& server) {
        return "127.0.0.1:" + std::to_string(server.port());
    };
    const struct Row {
        const char* name;
        std::string source;
        std::string says; // the sentence, whole
        tavir::test::LoopbackServer* server; // whose connections get no password
        bool waits; // one time-out, for a greeting that never comes
        bool ssl = false;
    } rows[] = {
        {"nothing listening", closed,
            "Could not connect to the source server " + closed + ": connection refused.", nullptr,
            false},
        {"a port that never greets", at(silent),
            "The source server " + at(silent)
                + " accepted the connection but sent no greeting within 1 s.",
            &silent, true},
        {"a greeting as logged in already", at(preauth),
            "The source server " + at(preauth)
                + " greets every connection as logged in already (PREAUTH), so no account can "
                  "log in as itself: * PREAUTH [CAPABILITY IMAP4rev1] logged in as nobody.",
            &preauth, false},
        {"another service's greeting", at(other),
            "The source server " + at(other)
                + " did not greet as an IMAP server: SSH-2.0-OpenSSH_9.2p1.",
            &other, false},
        {"a BYE for every greeting", at(turnsAway),
            "The source server " + at(turnsAway)
                + " turned the connection away at its greeting: * BYE Too many connections from "
                  "your IP.",
            &turnsAway, false},
        {"every connection closed before its greeting", at(closes),
            "The source server " + at(closes) + " closed the connection before it greeted.",
            &closes, false},
        {"every connection reset before its greeting", at(resets),
            "The source server " + at(resets) + " closed the connection before it greeted.",
            &resets, false},
        // Over TLS, before any byte of the handshake, as on the plain port.
        {"every connection closed before its TLS handshake", at(closes),
            "The source server " + at(closes) + " closed the connection before it greeted.",
            &closes, false, true},
        {"every connection reset before its TLS handshake", at(resets),
            "The source server " + at(resets) + " closed the connection before it greeted.",
            &resets, false, true},
        {"a TLS handshake answered with what is not TLS", at(other),
            "Could not connect with TLS to the source server " + at(other)
                + ": TLS handshake failed.",
            &other, false, true},
        {"no password without TLS", at(plainRefused),
            "The source server " + at(plainRefused)
                + " accepts no password on a connection without TLS: turn SSL on for the source, "
                  "usually port 993.",
            &plainRefused, false},
    };
    tavir::test::TempDir dir;
    tavir::test::writeFile(dir.file("accounts.txt"), accounts);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        tavir::test::TempLogs logs;
        auto engine = [&] {
            auto migrator = std::make_unique<Migrator>();
            Configuration configuration;
            configuration.sourceServer = utf8ToUnicode(row.source);
            configuration.sourceSsl = row.ssl;
            configuration.targetServer
                = L"127.0.0.1:" + std::to_wstring(tavir::test::freeLoopbackPort());
            configuration.adminUser = L"admin";
            configuration.adminPassword = L"admin-secret";
            migrator->init(configuration);
            migrator->setLoginTestTimeoutMs(timeoutMs);
            EXPECT_TRUE(migrator->loadUsers(utf8ToUnicode(dir.file("accounts.txt"))));
            return migrator;
        };
        const long long within = (row.waits ? timeoutMs : 0) + 900;
        // The wizard's test: every account left untested, the one sentence
        // in the report once and handed on as the source's.
        auto migrator = engine();
        std::vector<TestStatus> statuses(3, TestNotTested);
        RecordingCallbacks callbacks;
        long long began = tavir::test::nowMs();
        ASSERT_TRUE(migrator->startUserTest(&callbacks, statuses));
        ASSERT_TRUE(callbacks.waitStopped(30));
        EXPECT_LT(tavir::test::nowMs() - began, within);
        EXPECT_EQ(std::vector<TestStatus>(3, TestNotTested), statuses);
        EXPECT_EQ("stopped", callbacks.calls().back());
        std::vector<UserInfoData> users;
        migrator->getUsers(users);
        for (const UserInfoData& user : users)
            EXPECT_EQ(L"", user.loginRefusal);
        MigrationStatus status;
        migrator->getStatus(status);
        EXPECT_EQ(row.says, unicodeToUtf8(status.sourceUntestable));
        EXPECT_EQ(L"", status.sourceLimit);
        migrator.reset();
        std::string report = logs.report();
        EXPECT_EQ(1u, tavir::test::occurrences(report, row.says)) << report;
        EXPECT_EQ(std::string::npos, report.find("refused the login")) << report;

        // A run's own tests: not started, said once after the header, the
        // target never reached.
        const std::size_t before = report.size();
        migrator = engine();
        began = tavir::test::nowMs();
        EXPECT_FALSE(migrator->start(&callbacks));
        EXPECT_LT(tavir::test::nowMs() - began, within);
        migrator->getStatus(status);
        EXPECT_EQ(row.says + "\nThe target server was not changed; the migration did not start.\n",
            unicodeToUtf8(status.startFailure));
        EXPECT_EQ(row.says, unicodeToUtf8(status.sourceUntestable));
        EXPECT_EQ(L"", status.sourceLimit);
        migrator.reset();
        report = logs.report().substr(before);
        // It never started: it was asked for, and its accounts selected.
        EXPECT_EQ(0u, report.find("\nTavir Zorp 1.0.0: migration asked for on ")) << report;
        EXPECT_NE(std::string::npos, report.find("\nAccounts selected: 3 of 3.\n")) << report;
        EXPECT_EQ(1u, tavir::test::occurrences(report, row.says)) << report;
        for (const char* line : {" without starting.\n",
                 "\nAccounts: 0 finished, 0 failed, 0 login refused, 3 not started.\n3 accounts "
                 "not started: "})
            EXPECT_NE(std::string::npos, report.find(line)) << line << "\n" << report;
        for (const char* never :
            {"refused the login", "administration service", "accepted at most"})
            EXPECT_EQ(std::string::npos, report.find(never)) << report;
        if (row.server) {
            for (int i = 0; i < row.server->accepted(); ++i) {
                const std::string received = row.server->received(static_cast<std::size_t>(i));
                EXPECT_EQ(std::string::npos, received.find("LOGIN")) << received;
                EXPECT_EQ(std::string::npos, received.find("Pw-")) << received;
            }
        }
    }
}

// A run's own tests log in six accounts at once, never more however many are
// waiting, and only accounts selected to be migrated: accounts accepted
// before but no longer selected neither start a tester of their own nor
// hold back the testers of those selected. The source greets and never
// answers a login, so every tester is seen waiting on its connection.
TEST(UserTestRun, SixLoginsAtOnceOfTheSelectedAccountsAlone)
{
    const struct Row {
        const char* name;
        int acceptedNotSelected; // first in the list
        int selected; // after them, not tested
        int atOnce;
    } rows[] = {
        {"twelve selected", 0, 12, 6},
        {"two selected", 0, 2, 2},
        {"four selected behind six accepted but not selected", 6, 4, 4},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::mutex lock;
        int open = 0;
        int most = 0;
        std::vector<std::string> logins;
        tavir::test::LoopbackServer silent([&](tavir::test::PeerSocket& peer) {
            {
                std::lock_guard<std::mutex> hold(lock);
                most = std::max(most, ++open);
            }
            peer.say("* OK [CAPABILITY IMAP4rev1] ready\r\n");
            const std::string login = peer.readLine(15000);
            {
                std::lock_guard<std::mutex> hold(lock);
                logins.push_back(login);
            }
            peer.drain(15000);
            std::lock_guard<std::mutex> hold(lock);
            --open;
        });
        std::vector<UserInfo> users;
        for (int i = 0; i < row.acceptedNotSelected + row.selected; ++i) {
            UserInfo user;
            user.mailbox = L"u" + std::to_wstring(i);
            user.domain = L"example.com";
            user.password = L"Pw-" + std::to_wstring(i);
            user.migrate = i >= row.acceptedNotSelected;
            user.state = user.migrate ? UserToMigrate : UserNotSelected;
            user.testStatus = user.migrate ? TestNotTested : TestLoginAccepted;
            users.push_back(user);
        }
        auto list = std::make_shared<UsersInformation>(users);
        RunLogins tests(list, ServerAddress{L"127.0.0.1", static_cast<unsigned>(silent.port())},
            false, {}, std::make_shared<SourceConnections>(), 10000);
        tests.start();
        long long began = tavir::test::nowMs();
        auto seen = [&] {
            std::lock_guard<std::mutex> hold(lock);
            return static_cast<int>(logins.size());
        };
        while (seen() < row.atOnce && tavir::test::nowMs() - began < 5000)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        // Time for one tester too many to show.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        {
            std::lock_guard<std::mutex> hold(lock);
            EXPECT_EQ(row.atOnce, most);
            EXPECT_EQ(static_cast<std::size_t>(row.atOnce), logins.size());
            for (const std::string& login : logins) {
                EXPECT_NE(std::string::npos, login.find(" LOGIN ")) << login;
                for (int i = 0; i < row.acceptedNotSelected; ++i)
                    EXPECT_EQ(std::string::npos, login.find("u" + std::to_string(i) + "@"))
                        << login;
            }
        }
        began = tavir::test::nowMs();
        tests.stop();
        tests.join();
        EXPECT_LT(tavir::test::nowMs() - began, 2000);
        for (int i = 0; i < row.acceptedNotSelected + row.selected; ++i) {
            UserInfo user;
            ASSERT_TRUE(list->get(static_cast<std::size_t>(i), user));
            EXPECT_EQ(
                i < row.acceptedNotSelected ? TestLoginAccepted : TestNotTested, user.testStatus)
                << i;
        }
    }
}

// Accounts selected and not tested, of example.com but where a domain is
// given ("mailbox@domain").
std::shared_ptr<UsersInformation> untestedAccounts(const std::vector<std::wstring>& names)
{
    std::vector<UserInfo> users;
    for (const std::wstring& name : names) {
        const std::size_t at = name.find(L'@');
        UserInfo user;
        user.mailbox = name.substr(0, at);
        user.domain = at == std::wstring::npos ? L"example.com" : name.substr(at + 1);
        user.password = L"Pw-" + user.mailbox.substr(0, 8);
        user.migrate = true;
        user.state = UserToMigrate;
        users.push_back(user);
    }
    return std::make_shared<UsersInformation>(users);
}

std::vector<TestStatus> statusesOf(const UsersInformation& list)
{
    std::vector<TestStatus> statuses;
    UserInfo user;
    for (std::size_t i = 0; list.get(i, user); ++i)
        statuses.push_back(user.testStatus);
    return statuses;
}

// A source that can't be tested ends a run's tests at once: the logins in
// hand end without waiting for their time-out, no tester takes another
// account, however many are left, and the accounts stay untested. The
// source's first connection greets as another service; the others greet
// and never answer the login.
TEST(UserTestRun, ASourceThatCanNotBeTestedEndsEveryTestAtOnce)
{
    tavir::test::TempLogs logs;
    std::atomic<int> connections{0};
    tavir::test::LoopbackServer source([&](tavir::test::PeerSocket& peer) {
        if (connections++ == 0) {
            peer.say("SSH-2.0-OpenSSH_9.2p1\r\n");
            peer.readLine(15000);
            return;
        }
        peer.say("* OK [CAPABILITY IMAP4rev1] ready\r\n");
        peer.drain(15000);
    });
    std::vector<std::wstring> mailboxes;
    for (int i = 0; i < 20; ++i)
        mailboxes.push_back(L"u" + std::to_wstring(i));
    const auto list = untestedAccounts(mailboxes);
    constexpr unsigned timeoutMs = 3000;
    RunLogins tests(list, ServerAddress{L"127.0.0.1", static_cast<unsigned>(source.port())}, false,
        {}, std::make_shared<SourceConnections>(), timeoutMs);
    tests.start();
    auto joined = std::async(std::launch::async, [&tests] { tests.join(); });
    const bool atOnce
        = joined.wait_for(std::chrono::milliseconds(timeoutMs / 2)) == std::future_status::ready;
    // Should they go on, the test ends all the same.
    tests.stop();
    joined.wait();
    EXPECT_TRUE(atOnce) << "the tests went on after the source failed";
    EXPECT_EQ("The source server 127.0.0.1:" + std::to_string(source.port())
            + " did not greet as an IMAP server: SSH-2.0-OpenSSH_9.2p1.",
        unicodeToUtf8(tests.sourceFailure()));
    EXPECT_LE(source.accepted(), static_cast<int>(RunLogins::testersAtOnce));
    EXPECT_EQ(std::vector<TestStatus>(20, TestNotTested), statusesOf(*list));
}

// An error of a tester's own while it tests an account (an exhausted heap:
// here the one allocation that makes the account's address) is that
// account's failure, with its reason, never a stop: the other accounts are
// tested all the same, on the wizard's test and on a run's own.
TEST(UserTestError, ATestersOwnErrorFailsTheAccountInHandAndTheOtherTestsGoOn)
{
    tavir::test::TempLogs logs;
    const tavir::test::FakeImapSource anyone; // logs anyone in
    tavir::test::LoopbackServer source(anyone.session());
    const ServerAddress at{L"127.0.0.1", static_cast<unsigned>(source.port())};
    // The long account's mailbox and domain are each copied whole on their
    // way to the tester; its address, made of both, is twice as large.
    const std::wstring half(100000, L'x');
    const std::wstring longAddress = half + L"@" + half;
    const std::size_t failsFrom = half.size() * sizeof(wchar_t) * 3 / 2;
    for (bool wizard : {true, false}) {
        SCOPED_TRACE(wizard ? "the wizard's test" : "a run's own");
        const auto list = untestedAccounts({L"ann", longAddress, L"carl"});
        bool fired = false;
        if (wizard) {
            std::vector<TestStatus> statuses(3, TestNotTested);
            RecordingCallbacks callbacks;
            ImapUserTesterThread tester(list, at.text(), false, &callbacks, statuses, 10000);
            const tavir::test::FailingAllocation failing(failsFrom);
            ASSERT_TRUE(tester.guardedStart(ThreadRunner<ImapUserTesterThread>::startPoint));
            ASSERT_TRUE(callbacks.waitStopped(30));
            tester.join();
            fired = failing.fired();
            EXPECT_EQ("stopped", callbacks.calls().back());
            EXPECT_EQ(
                (std::vector<TestStatus>{TestLoginAccepted, TestLoginRefused, TestLoginAccepted}),
                statuses);
        } else {
            RunLogins tests(list, at, false, {}, std::make_shared<SourceConnections>(), 10000);
            const tavir::test::FailingAllocation failing(failsFrom);
            tests.start();
            tests.join();
            fired = failing.fired();
        }
        EXPECT_TRUE(fired) << "no allocation failed: the test tested nothing";
        EXPECT_EQ((std::vector<TestStatus>{TestLoginAccepted, TestLoginRefused, TestLoginAccepted}),
            statusesOf(*list));
        std::vector<UserInfoData> users;
        list->copyTo(users);
        ASSERT_EQ(3u, users.size());
        EXPECT_EQ(L"The login test of " + longAddress
                + L" failed on an unexpected error: std::bad_alloc.",
            users[1].loginRefusal);
        EXPECT_EQ(L"", users[0].loginRefusal + users[2].loginRefusal);
    }
}

// Dovecot as shipped takes ten sessions of one account from one address
// (mail_max_userip_connections = 10) and answers the eleventh login with NO
// [LIMIT]. With ten of anna's held by another client (her own mail program,
// say), her login can't be taken now, which says nothing of her password:
// the wizard's test leaves her untested, in Dovecot's words, and a run's
// own fails her in them, never as a refused login, and migrates the others
// exactly. With nine held, every account is tested and migrated exactly.
TEST(UserTestLimit, AnAccountsSessionsHeldByAnotherClientAreNotNowOnBothRoads)
{
    if (!tavir::test::Dovecot::available())
        GTEST_SKIP() << tavir::test::Dovecot::unavailable();
    const std::map<std::string, std::string> passwords = {{"anna@example.com", "Pw-anna"},
        {"ben@example.com", "Pw-ben"}, {"carl@example.com", "Pw-carl"}};
    const std::string everyPasswordRight = "anna@example.com;Pw-anna;Anna\n"
                                           "ben@example.com;Pw-ben;Ben\n"
                                           "carl@example.com;Pw-carl;Carl\n";
    for (int held : {10, 9}) {
        SCOPED_TRACE(std::to_string(held) + " of anna's sessions held");
        const bool full = held == 10;
        tavir::test::ScopedHome home;
        tavir::test::TempLogs logs;
        tavir::test::TempDir dir;
        const tavir::test::Dovecot dovecot(passwords);
        // Every session of `user` but those held has ended, by Dovecot's log.
        auto allEnded = [&](const std::string& user) {
            const unsigned stays = user == "anna@example.com" ? held : 0;
            return tavir::test::waitUntil(
                [&] {
                    const std::string log = dovecot.log();
                    unsigned ended = 0;
                    for (const std::string& line : tavir::test::linesOf(log))
                        ended += line.find("imap(" + user + ")<") != std::string::npos
                            && line.find(": Disconnected: ") != std::string::npos;
                    return ended + stays
                        == tavir::test::occurrences(log, "Login: user=<" + user + ">");
                },
                10000);
        };
        std::map<std::string, tavir::test::MailFolders> source;
        for (const auto& [user, password] : passwords) {
            tavir::test::RawImap imap(dovecot.port());
            ASSERT_TRUE(imap.login(user, password));
            for (int i = 1; i <= 2; ++i)
                ASSERT_TRUE(imap.append(
                    "INBOX", "Subject: " + user + " " + std::to_string(i) + "\r\n\r\nbody\r\n"));
            source[user] = tavir::test::readDovecotAccount(dovecot.port(), user, password);
        }
        std::vector<std::unique_ptr<tavir::test::RawImap>> anotherClient;
        for (int i = 0; i < held; ++i) {
            anotherClient.push_back(std::make_unique<tavir::test::RawImap>(dovecot.port()));
            ASSERT_TRUE(anotherClient.back()->login("anna@example.com", "Pw-anna"));
        }
        for (const auto& [user, password] : passwords)
            ASSERT_TRUE(allEnded(user)) << dovecot.log();
        const std::string said = "The source server 127.0.0.1:" + std::to_string(dovecot.port())
            + " could not log anna@example.com in now: NO [LIMIT] Maximum number of connections "
              "from user+IP exceeded (mail_max_userip_connections=10).";

        tavir::test::writeFile(dir.file("accounts.txt"), everyPasswordRight);
        tavir::test::StandInTarget target;
        tavir::test::MigrationRunner runner(logs, dir);
        const Configuration configuration = fromDovecotInto(runner, dovecot, target);
        const WizardTested wizard = wizardTest(configuration, dir.file("accounts.txt"), 60);
        EXPECT_EQ((std::vector<TestStatus>{full ? TestNotTested : TestLoginAccepted,
                      TestLoginAccepted, TestLoginAccepted}),
            wizard.statuses);
        ASSERT_EQ(3u, wizard.users.size());
        EXPECT_EQ(full ? said : "", unicodeToUtf8(wizard.users[0].loginNotNow));
        for (const UserInfoData& user : wizard.users)
            EXPECT_EQ(L"", user.loginRefusal);
        EXPECT_EQ(L"", wizard.sourceUntestable);
        // The wizard's sessions ended before the run's begin.
        for (const auto& [user, password] : passwords)
            ASSERT_TRUE(allEnded(user)) << dovecot.log();

        runner.testLogins = true;
        const tavir::test::RunOutcome outcome = runner.run(configuration, everyPasswordRight, 120);
        ASSERT_TRUE(outcome.started) << outcome.report;
        EXPECT_EQ(full ? 2u : 3u, outcome.status.finishedAccounts) << outcome.report;
        EXPECT_EQ(full ? 1u : 0u, outcome.status.failedAccounts) << outcome.report;
        EXPECT_EQ(0u, outcome.status.loginsRefused) << outcome.report;
        EXPECT_EQ(L"", outcome.status.sourceLimit) << outcome.report;
        ASSERT_EQ(3u, outcome.users.size());
        EXPECT_EQ(full ? said : "", unicodeToUtf8(outcome.users[0].failure));
        EXPECT_EQ(full ? 1u : 0u, tavir::test::occurrences(outcome.report, said)) << outcome.report;
        for (const char* never : {"refused the login", "ended the session", "did not answer"})
            EXPECT_EQ(std::string::npos, logs.report().find(never)) << logs.report();
        for (const auto& [user, folders] : source) {
            SCOPED_TRACE(user);
            const tavir::test::MailFolders onTarget = tavir::test::readStandInAccount(target, user);
            if (full && user == "anna@example.com")
                EXPECT_EQ(0u, tavir::test::messageCount(onTarget));
            else
                tavir::test::expectSameMessages(folders, onTarget);
        }
    }
}

// Dovecot's refusals as shipped: a refused login is answered after
// auth_failure_delay (2 s), and the logins from the address after it wait
// out a penalty that grows with each refusal. The other tests of this file
// turn both off for speed; here a refusal under them is still the
// account's own, never a source that did not answer, on the wizard's test
// and on a run's own, within the login test's time-out.
TEST(UserTestShipped, RefusalsUnderDovecotsShippedDelaysAreTheAccountsOwn)
{
    if (!tavir::test::Dovecot::available())
        GTEST_SKIP() << tavir::test::Dovecot::unavailable();
    tavir::test::ScopedHome home;
    tavir::test::TempLogs logs;
    tavir::test::TempDir dir;
    const tavir::test::Dovecot dovecot(std::map<std::string, std::string>{
        {"anna@example.com", "Pw-anna"}, {"ben", "Pw-ben"}, {"carl@example.com", "Pw-carl"}});
    tavir::test::writeFile(dir.file("accounts.txt"), accounts);
    tavir::test::StandInTarget target;
    tavir::test::MigrationRunner runner(logs, dir);
    const Configuration configuration = fromDovecotInto(runner, dovecot, target);

    const WizardTested wizard = wizardTest(configuration, dir.file("accounts.txt"), 120);
    EXPECT_EQ((std::vector<TestStatus>{TestLoginAccepted, TestLoginAccepted, TestLoginRefused}),
        wizard.statuses);
    EXPECT_EQ(L"", wizard.sourceUntestable);

    runner.testLogins = true;
    const tavir::test::RunOutcome outcome = runner.run(configuration, accounts, 120);
    ASSERT_TRUE(outcome.started) << outcome.report;
    EXPECT_EQ(2u, outcome.status.finishedAccounts) << outcome.report;
    EXPECT_EQ(1u, outcome.status.loginsRefused) << outcome.report;
    EXPECT_EQ(0u, outcome.status.failedAccounts) << outcome.report;
    EXPECT_EQ(L"", outcome.status.sourceUntestable);
    const std::string report = logs.report();
    EXPECT_EQ(2u, tavir::test::occurrences(report, "refused the login of carl@example.com"))
        << report;
    for (const char* never : {"did not answer", "ended the session", "timed out"})
        EXPECT_EQ(std::string::npos, report.find(never)) << report;
}

} // namespace
