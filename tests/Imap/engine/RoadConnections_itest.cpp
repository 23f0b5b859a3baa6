// One account's road in process, from a scripted source into the stand-in,
// on a connection handed to it by a login test or one of its own: each
// connection to the source is counted from before it is made until after it
// is closed, whichever way the road ends and whatever replaces a
// connection, so that one put in its place never finds the old one counted.
#include "Imap/engine/AccountMigration.h"
#include "Imap/engine/CallbacksWrapper.h"
#include "MigrationHarness.h"
#include "support/FakeImapSource.h"
#include "support/ScriptedImap.h"
#include "tinydb/AdminPeers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace tavir::migration;
using namespace tavir::test;
using tavir::mail::SimpleImapClient;

namespace {

enum class End { Finished, Failed, Stopped, Thrown };
// What the test does to the road: nothing; refuses its master login on the
// target (wrong password); raises its stop flag before it begins, so that it
// stops between two steps, or stops it once the source holds back a body
// asked for; throws from the first progress it reports.
enum class Fault { None, TargetRefuses, StopFirst, StopInBody, Throw };

// The source's sessions, one per connection in order.
FakeImapSource servingTwo()
{
    FakeImapSource source;
    source.inbox().bodies = {"Subject: one\r\n\r\nfirst\r\n", "Subject: two\r\n\r\nsecond\r\n"};
    return source;
}

FakeImapSource after(FakeImapSource::AfterLogin what)
{
    FakeImapSource source = servingTwo();
    source.afterLogin = what;
    return source;
}

FakeImapSource cutting(unsigned message, FakeImapSource::Cut cut)
{
    FakeImapSource source = servingTwo();
    source.broken = message;
    source.cut = cut;
    source.stallMs = 20000;
    return source;
}

class RoadConnectionsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(done(admin->connect(target.host(), "admin", "admin-secret")));
    }

    struct Watched {
        UserState end = UserFailed;
        bool thrown = false;
        // The run's connections to the source counted as each connection
        // was made, and as each was closed, in order.
        std::vector<unsigned> countedWhenMade;
        std::vector<unsigned> countedWhenClosed;
        unsigned countedAfter = 0;
        std::string report; // the account's block
    };

    // The road of kim@`domain` from the source `sessions`, with the first
    // one's login handed to it, or logging in itself.
    Watched drive(const std::vector<FakeImapSource>& sessions, bool handed, Fault fault,
        const std::string& domain)
    {
        std::vector<LoopbackServer::Handler> plan;
        for (const FakeImapSource& session : sessions)
            plan.push_back(session.session());
        LoopbackServer source(plan);
        UserInfo account;
        account.mailbox = L"kim";
        account.domain = wide(domain);
        account.password = L"Pw-kim";
        account.migrate = true;
        account.state = UserToMigrate;
        account.testStatus = TestLoginAccepted;
        auto users = std::make_shared<UsersInformation>(std::vector<UserInfo>{account});
        MigrationRun run;
        run.source = ServerAddress{L"127.0.0.1", static_cast<unsigned>(source.port())};
        run.target = ServerAddress{target.whost(), static_cast<unsigned>(target.port())};
        run.masterPassword = fault == Fault::TargetRefuses ? L"wrong" : L"master-secret";
        run.users = users;
        run.sourceConnections = std::make_shared<SourceConnections>();
        run.admin = admin;
        run.accounts = std::make_shared<TargetAccounts>(users, admin);
        run.readTimeoutMs = 10000;
        SourceConnections& connections = *run.sourceConnections;

        Watched watched;
        auto client = std::make_unique<SimpleImapClient>();
        client->setStreamFactory(WatchedStreams::factory(
            tavir::mail::makeTcpImapStream, [&](WatchedStreams::Event event) {
                (event == WatchedStreams::Event::Made ? watched.countedWhenMade
                                                      : watched.countedWhenClosed)
                    .push_back(connections.open());
            }));
        SourceLogin login;
        if (handed) {
            login.slot = connections.acquire(SourceConnections::Who::Road, [] { return false; });
            EXPECT_EQ(tavir::mail::ImapSuccess,
                client->connect(L"127.0.0.1", static_cast<unsigned>(source.port()),
                    account.address(), account.password, false, false));
            login.slot.greeted();
            login.user = account.address();
            // What the source does to the connection while it waits for a
            // worker has happened by the time one takes it.
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        login.client = std::move(client);
        std::size_t index = 0;
        UserInfo taken;
        EXPECT_TRUE(users->takeNextToMigrate(index, taken));

        Logger log;
        RecordingCallbacks recording;
        if (fault == Fault::Throw)
            recording.onStatus = [] { throw std::runtime_error("no memory left, say"); };
        CallbacksWrapper callbacks(&recording);
        std::atomic<bool> stop{fault == Fault::StopFirst};
        {
            AccountMigration road(
                run, index, taken, std::move(login), log, callbacks, [&] { return stop.load(); });
            // Stopped once the source holds back the body asked for.
            std::thread stopper;
            if (fault == Fault::StopInBody)
                stopper = std::thread([&] {
                    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
                    while (source.received(0).find(" FETCH ") == std::string::npos
                        && std::chrono::steady_clock::now() < until)
                        std::this_thread::sleep_for(std::chrono::milliseconds(10));
                    stop = true;
                    road.abort();
                });
            try {
                watched.end = road.migrate();
            } catch (const std::runtime_error&) {
                watched.thrown = true;
            }
            if (stopper.joinable())
                stopper.join();
        }
        watched.countedAfter = connections.open();
        watched.report = unicodeToUtf8(log.kept());
        source.stop();
        return watched;
    }

    TempLogs logs;
    TempDir dir;
    StandInTarget target;
    std::shared_ptr<tavir::tinydb::TinyDbClient> admin
        = std::make_shared<tavir::tinydb::TinyDbClient>(adminOptions(dir));
};

TEST_F(RoadConnectionsTest, EachConnectionIsCountedUntilAfterItIsClosedWhateverWayTheRoadGoes)
{
    using AfterLogin = FakeImapSource::AfterLogin;
    using Cut = FakeImapSource::Cut;
    const struct Row {
        const char* name;
        std::vector<FakeImapSource> sessions; // the source's, one per connection in order
        bool handed; // the first connection is a login test's
        Fault fault;
        End end;
        unsigned copied;
    } rows[] = {
        {"finished on its login test's connection", {servingTwo()}, true, Fault::None,
            End::Finished, 2},
        {"finished on a login of its own", {servingTwo()}, false, Fault::None, End::Finished, 2},
        {"failed at the target's login", {servingTwo()}, true, Fault::TargetRefuses, End::Failed,
            0},
        {"failed: its listing lost with the connection", {after(AfterLogin::DropNext)}, false,
            Fault::None, End::Failed, 0},
        {"stopped between two steps", {servingTwo()}, true, Fault::StopFirst, End::Stopped, 0},
        {"stopped in a body", {cutting(1, Cut::Stall)}, true, Fault::StopInBody, End::Stopped, 0},
        {"ended by an exception", {servingTwo()}, true, Fault::Throw, End::Thrown, 0},
        {"its login test's connection found closed", {after(AfterLogin::ByeLater), servingTwo()},
            true, Fault::None, End::Finished, 2},
        {"its login test's connection gone stale", {after(AfterLogin::DropNext), servingTwo()},
            true, Fault::None, End::Finished, 2},
        {"its connection dropped in a body", {cutting(2, Cut::Drop), servingTwo()}, true,
            Fault::None, End::Finished, 2},
    };
    int run = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string domain = "road" + std::to_string(++run) + ".test";
        const Watched watched = drive(row.sessions, row.handed, row.fault, domain);
        EXPECT_EQ(row.end == End::Thrown, watched.thrown);
        if (!watched.thrown) {
            EXPECT_EQ(row.end == End::Finished ? UserFinished : UserFailed, watched.end)
                << watched.report;
        }
        EXPECT_EQ(row.end == End::Stopped,
            watched.report.find("was stopped before it ended.") != std::string::npos)
            << watched.report;
        // One connection at a time, each counted before it was made and
        // still counted as it closed: a connection put in the place of
        // another finds it counted out.
        const std::vector<unsigned> one(row.sessions.size(), 1u);
        EXPECT_EQ(one, watched.countedWhenMade);
        EXPECT_EQ(one, watched.countedWhenClosed);
        EXPECT_EQ(0u, watched.countedAfter);
        EXPECT_EQ(row.copied, messageCount(readStandInAccount(target, "kim@" + domain)));
    }
}

} // namespace
