// One account's login on a scripted source: what the source's answer to a
// login says (RFC 5530's codes, an ALERT), which tells a refused login from
// one the source can't take now; and a source that turns its connections
// away in passing (the source greeted the run before, and none of the
// run's connections is open): each new connection comes after a pause that
// doubles from 200 ms to 1.6 s, and the login gives up after ten times, said
// as the source's failure. An accepted login counts as a session the source
// took.
#include "Imap/engine/LoginCheck.h"

#include "SlotAsking.h"
#include "support/ScriptedImap.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <regex>
#include <thread>
#include <vector>

using namespace tavir::migration;
using tavir::test::greetedSlots;
using tavir::test::limitSaid;
using tavir::test::scriptedGreeting;
using tavir::test::ScriptedServer;
using tavir::test::turnOneMoreAway;
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

// The names a scripted source was sent LOGIN for, in order.
std::vector<std::string> namesLoggedIn(const ScriptedServer& server)
{
    std::vector<std::string> names;
    const std::regex login("LOGIN \"([^\"]*)\"");
    for (const auto& session : server.sessions) {
        for (std::sregex_iterator it(
                 session->clientBytes.begin(), session->clientBytes.end(), login);
             it != std::sregex_iterator(); ++it)
            names.push_back((*it)[1]);
    }
    return names;
}

// Another connection of the run, greeted and open, that closes on a thread
// of its own once the source has shown a limit (or after 5 s): the room a
// login turned away waits for.
class OtherConnectionOpen {
public:
    OtherConnectionOpen(SourceConnections& connections, SourceConnections::Who who)
        : connections_(connections)
        , slot_(connections.acquire(who, [] { return false; }))
    {
        slot_.greeted();
        closes_ = std::thread([this] {
            for (int i = 0; i < 500 && connections_.limit() == 0; ++i)
                std::this_thread::sleep_for(milliseconds(10));
            slot_.release();
        });
    }
    ~OtherConnectionOpen() { closes_.join(); }
    OtherConnectionOpen(const OtherConnectionOpen&) = delete;
    OtherConnectionOpen& operator=(const OtherConnectionOpen&) = delete;

private:
    SourceConnections& connections_;
    SourceConnections::Slot slot_;
    std::thread closes_;
};

// Logs anna in on `client` through `connections` as `who`'s, stopped after
// `stopAfter` should it never end: the bound of each test.
LoginVerdict logInAnna(tavir::mail::SimpleImapClient& client, SourceConnections& connections,
    std::chrono::seconds stopAfter, SourceConnections::Who who = SourceConnections::Who::Road)
{
    const LoginCheck check(ServerAddress{L"scripted", 143}, false, connections, who);
    Logger log;
    const Clock::time_point began = Clock::now();
    return check.check(anna(), client, log, [&] { return Clock::now() - began > stopAfter; });
}

// A refused login is the account's, and its bare mailbox is tried after its
// address; a login the source can't take now (its code says so, or an ALERT
// without a refusing code names too many connections) says nothing of the
// password: the bare mailbox is not tried, and the account is not judged,
// in the server's words. While other connections of the run are open the
// run may be the cause: the login waits for one of them to close and is
// tried once more, and a second such answer is the account's own, the
// limit the first one set put back. A connection turned away at its
// greeting while another is open shows the source's limit, kept and said,
// only if the source greets the connection made next: a source going away
// (a shutdown that says BYE, then nothing listens) shows none.
TEST(LoginCheck, WhatTheSourceSaidOfALoginDecidesItsVerdict)
{
    const std::string address = "anna@example.com";
    const std::string limit = "NO [LIMIT] Maximum number of connections from user+IP exceeded "
                              "(mail_max_userip_connections=10)";
    const std::string tooMany = "NO [ALERT] Too many simultaneous connections. (Failure)";
    const std::string failed = "NO [AUTHENTICATIONFAILED] Authentication failed.";
    const std::string web = "NO [ALERT] Please log in via your web browser (Failure)";
    const std::wstring atScripted = L"The source server scripted:143 ";
    const auto wide
        = [](const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); };
    // The server's line, closed by a full stop.
    const auto notNow = [&](const std::string& user, const std::string& answer) {
        return atScripted + L"could not log " + wide(user) + L" in now: " + wide(answer) + L".";
    };
    const auto refused = [&](const std::wstring& asAddress, const std::string& asMailbox) {
        return atScripted + L"refused the login of anna@example.com (as anna@example.com: "
            + asAddress + L"; as anna: " + wide(asMailbox) + L").";
    };
    using V = LoginVerdict;
    enum Others { None, Tests, Roads };
    const struct Row {
        const char* name;
        std::vector<std::string> answers; // to each connection's login, one per connection
        Others others; // another connection of the run open at the first login, and whose
        V::Kind kind;
        std::wstring sentence;
        std::vector<std::string> names; // LOGIN sent for, in order
        unsigned limit; // the source's limit afterwards
    } rows[] = {
        {"the account's own limit, as Dovecot says it", {limit}, None, V::NotNow,
            notNow(address, limit), {address}, 0},
        {"a web-mail provider's ALERT of too many connections", {tooMany}, None, V::NotNow,
            notNow(address, tooMany), {address}, 0},
        {"unavailable", {"NO [UNAVAILABLE] Temporary authentication failure"}, None, V::NotNow,
            notNow(address, "NO [UNAVAILABLE] Temporary authentication failure"), {address}, 0},
        {"in use", {"NO [INUSE] Mailbox is in use"}, None, V::NotNow,
            notNow(address, "NO [INUSE] Mailbox is in use"), {address}, 0},
        {"a server's own bug, its line ending in a full stop",
            {"NO [SERVERBUG] Internal error occurred. Refer to server log for more information."},
            None, V::NotNow,
            atScripted
                + L"could not log anna@example.com in now: NO [SERVERBUG] Internal error "
                  L"occurred. Refer to server log for more information.",
            {address}, 0},
        {"authentication failed", {failed, failed}, None, V::Failed, refused(wide(failed), failed),
            {address, "anna"}, 0},
        {"expired, then not authorised",
            {"NO [EXPIRED] Password expired", "NO [AUTHORIZATIONFAILED] Not allowed"}, None,
            V::Failed,
            refused(L"NO [EXPIRED] Password expired", "NO [AUTHORIZATIONFAILED] Not allowed"),
            {address, "anna"}, 0},
        {"no code", {"NO Login failed", "BAD Login failed"}, None, V::Failed,
            refused(L"NO Login failed", "BAD Login failed"), {address, "anna"}, 0},
        {"an ALERT of too many connections beside a refusing code",
            {"* NO [ALERT] Too many simultaneous connections\r\n%T NO [AUTHENTICATIONFAILED] "
             "Invalid credentials",
                failed},
            None, V::Failed,
            refused(L"NO [ALERT] Too many simultaneous connections NO [AUTHENTICATIONFAILED] "
                    L"Invalid credentials",
                failed),
            {address, "anna"}, 0},
        {"an ALERT that names no connections, shown as written", {web, web}, None, V::Failed,
            refused(wide(web), web), {address, "anna"}, 0},
        // The address's connection closed so lately that the source may
        // count it still: the bare mailbox is tried once more.
        {"the address refused, the bare mailbox not now", {failed, limit, limit}, None, V::NotNow,
            notNow("anna", limit), {address, "anna", "anna"}, 0},
        {"the run's connections open: not now twice is the account's", {limit, limit}, Tests,
            V::NotNow, notNow(address, limit), {address, address}, 0},
        {"the run's connections open: not now, then in once one closed", {tooMany, "OK Logged in"},
            Tests, V::Accepted, L"", {address, address}, 1},
        {"a road's turned away at its greeting, the next greeted",
            {"* BYE Too many connections from your IP", "OK Logged in"}, Roads, V::Accepted, L"",
            {address}, 1},
        {"a road's turned away by a source going away", {"* BYE Server shutting down."}, Roads,
            V::SourceFailed,
            atScripted
                + L"did not greet as an IMAP server: host name scripted could not be "
                  L"resolved.",
            {}, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedServer server;
        for (const std::string& answer : row.answers) {
            const std::string tagged = answer.rfind("* ", 0) == 0 ? answer : "%T " + answer;
            const bool atGreeting = answer.rfind("* BYE", 0) == 0;
            server.addSession((atGreeting ? "" : scriptedGreeting) + tagged + "\r\n")->closedAtEnd
                = true;
        }
        tavir::mail::SimpleImapClient client;
        client.setStreamFactory(server.factory());
        SourceConnections connections;
        const SourceConnections::Who who
            = row.others == Roads ? SourceConnections::Who::Road : SourceConnections::Who::Test;
        std::optional<OtherConnectionOpen> other;
        if (row.others != None)
            other.emplace(connections, who);
        LoginVerdict verdict = logInAnna(client, connections, std::chrono::seconds(20), who);
        other.reset();

        EXPECT_EQ(row.kind, verdict.kind);
        EXPECT_EQ(row.sentence, verdict.sentence);
        EXPECT_EQ(row.names, namesLoggedIn(server));
        EXPECT_EQ(row.answers.size(), server.next) << "one connection per answer";
        verdict.slot.release();
        EXPECT_EQ(0u, connections.open());
        EXPECT_EQ(row.limit, connections.limit());
        EXPECT_EQ(row.limit == 0 ? L"" : limitSaid(row.limit), connections.limitSentence());
    }
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
    std::vector<SourceConnections::Slot> held = greetedSlots(connections, 1);
    held[0].loggedIn();
    ASSERT_NO_FATAL_FAILURE(turnOneMoreAway(connections, 1));

    const Clock::time_point began = Clock::now();
    const LoginVerdict verdict = logInAnna(client, connections, std::chrono::seconds(10));
    ASSERT_EQ(LoginVerdict::Accepted, verdict.kind);
    EXPECT_GE(Clock::now() - began, SourceLimit::probeAfterAtFirst);
    EXPECT_EQ(2u, connections.limit());
    EXPECT_EQ(2u, connections.open());
}

} // namespace
