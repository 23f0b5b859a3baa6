// One account's login on a scripted source that turns its connections
// away: in passing (the source greeted the run before, and none of the
// run's connections is open), each new connection comes after a pause that
// doubles from 200 ms to 1.6 s, and the login gives up after ten times, said
// as the source's failure. An accepted login counts as a session the source
// took.
#include "Imap/engine/LoginCheck.h"

#include "support/ScriptedImap.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

using namespace tavir::migration;
using tavir::test::ScriptedServer;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

UserInfo anna()
{
    UserInfo account;
    account.mailbox = L"anna";
    account.domain = L"example.com";
    account.password = L"Pw-anna";
    return account;
}

// Logs anna in on `client` through `connections` (a road's), stopped
// after `stopAfter` should it never end: the bound of each test.
LoginVerdict logInAnna(tavir::mail::SimpleImapClient& client, SourceConnections& connections,
    std::chrono::seconds stopAfter)
{
    const LoginCheck check(
        ServerAddress{L"scripted", 143}, false, connections, SourceConnections::Who::Road);
    Logger log;
    const Clock::time_point began = Clock::now();
    return check.check(anna(), client, log, [&] { return Clock::now() - began > stopAfter; });
}

TEST(LoginCheck, ALoginTurnedAwayInPassingIsTriedAgainAfterGrowingPausesTenTimesAtMost)
{
    // The pause before each new connection: 200 ms, doubling to 1.6 s.
    const std::vector<milliseconds> pauses = {milliseconds(200), milliseconds(400),
        milliseconds(800), milliseconds(1600), milliseconds(1600), milliseconds(1600),
        milliseconds(1600), milliseconds(1600), milliseconds(1600), milliseconds(1600)};
    ScriptedServer server;
    for (int i = 0; i < 20; ++i)
        server.addSession("* BYE Too many connections from your IP\r\n")->closedAtEnd = true;
    std::vector<Clock::time_point> connected;
    const tavir::mail::ImapStreamFactory scripted = server.factory();
    tavir::mail::SimpleImapClient client;
    client.setStreamFactory([&](const tavir::mail::ImapEndpoint& endpoint) {
        connected.push_back(Clock::now());
        return scripted(endpoint);
    });

    // The source greeted one of the run's connections before, which has
    // closed long enough ago that the source no longer counts it.
    SourceConnections connections;
    connections.acquire(SourceConnections::Who::Test, [] { return false; }).greeted();
    std::this_thread::sleep_for(SourceLimit::settlingAtFirst + milliseconds(50));

    const LoginVerdict verdict = logInAnna(client, connections, std::chrono::seconds(40));

    EXPECT_EQ(LoginVerdict::SourceFailed, verdict.kind);
    EXPECT_EQ(L"The source server scripted:143 turned the connection away at its greeting: * "
              L"BYE Too many connections from your IP.",
        verdict.sentence);
    ASSERT_EQ(pauses.size() + 1, connected.size());
    for (std::size_t i = 0; i < pauses.size(); ++i) {
        SCOPED_TRACE(i);
        const auto waited = connected[i + 1] - connected[i];
        EXPECT_GE(waited, pauses[i]);
        EXPECT_LT(waited, pauses[i] + milliseconds(1000));
    }
    EXPECT_EQ(0u, connections.open());
    EXPECT_EQ(0u, connections.limit());
    for (const auto& session : server.sessions)
        EXPECT_EQ(std::string::npos, session->clientBytes.find("Pw-anna"));
}

// An accepted login is a session the source took: with more of them at
// once than the limit (here the one connection beyond it that the run
// tries after a quiet second), the limit rises to that many.
TEST(LoginCheck, AnAcceptedLoginBeyondTheLimitRaisesIt)
{
    ScriptedServer server;
    server.addSession(tavir::test::scriptedGreeting + "%T OK Logged in\r\n%|");
    tavir::mail::SimpleImapClient client;
    client.setStreamFactory(server.factory());

    // One session of the run's open, one more turned away: a limit of 1.
    SourceConnections connections;
    SourceConnections::Slot held
        = connections.acquire(SourceConnections::Who::Road, [] { return false; });
    held.greeted();
    held.loggedIn();
    SourceConnections::Slot away
        = connections.acquire(SourceConnections::Who::Road, [] { return false; });
    ASSERT_EQ(SourceConnections::Meaning::AtLimit, connections.turnedAway(away).meaning);
    ASSERT_EQ(1u, connections.limit());

    const Clock::time_point began = Clock::now();
    const LoginVerdict verdict = logInAnna(client, connections, std::chrono::seconds(10));
    ASSERT_EQ(LoginVerdict::Accepted, verdict.kind);
    EXPECT_GE(Clock::now() - began, SourceLimit::probeAfterAtFirst);
    EXPECT_EQ(2u, connections.limit());
    EXPECT_EQ(2u, connections.open());
}

} // namespace
