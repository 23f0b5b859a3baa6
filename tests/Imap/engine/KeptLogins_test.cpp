// The logged-in connections the tests keep for the workers: handed over
// whole with the slot they are counted by, closed by the pool's own clock
// once kept too long (whatever else runs or not), given up for a road from
// the end of the list, and all closed when the pool is; each connection
// closed before the slot it is counted by is given back.
#include "Imap/engine/KeptLogins.h"

#include "SlotAsking.h"
#include "ssl/StopSignal.h"
#include "support/ScriptedImap.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

using namespace tavir::migration;
using tavir::test::aTestComesWithin;
using tavir::test::ScriptedServer;
using tavir::test::ScriptedSession;
using tavir::test::waitUntil;
using tavir::test::WatchedStreams;

namespace {

// A connection logged in on a scripted server that then says nothing, with
// its slot among `connections`, which are counted as it closes.
struct Kept {
    Kept(SourceConnections& connections, const std::wstring& user)
    {
        session = server.addSession(tavir::test::scriptedGreeting + "%T OK Logged in\r\n%|");
        login.client = std::make_unique<tavir::mail::SimpleImapClient>();
        login.client->setStreamFactory(WatchedStreams::factory(
            server.factory(), [this, &connections](WatchedStreams::Event event) {
                if (event == WatchedStreams::Event::Closed)
                    countedAtClose = static_cast<int>(connections.open());
            }));
        EXPECT_EQ(tavir::mail::ImapSuccess,
            login.client->connect(L"scripted", 0, user, L"pw", false, false));
        login.user = user;
        login.slot = connections.acquire(SourceConnections::Who::Test, [] { return false; });
        client = login.client.get();
    }
    bool closed() const
    {
        return session->closed && session->clientBytes.find("LOGOUT") != std::string::npos;
    }

    ScriptedServer server;
    std::shared_ptr<ScriptedSession> session;
    SourceLogin login;
    tavir::mail::SimpleImapClient* client = nullptr;
    // The connections counted as it closed (its own among them, as its slot
    // is given back only after); -1 until then.
    int countedAtClose = -1;
};

// Handed over whole: the connection, the name it logged in as, and its
// slot, which is the road's from then on (out of the tests' share). While
// kept it has no stop signal: the tests' stop, raised meanwhile, does not
// reach the road that takes it.
TEST(KeptLogins, TakingHandsOverTheConnectionItsNameAndItsSlot)
{
    // A share of one test connection, which the kept one fills.
    SourceConnections connections(1);
    KeptLogins pool;
    Kept anna(connections, L"anna@example.com");
    const auto testsStop = std::make_shared<tavir::utils::StopSignal>();
    anna.client->setStopSignal(testsStop);
    pool.keep(3, std::move(anna.login));
    testsStop->raise();
    EXPECT_EQ(1u, pool.size());
    EXPECT_FALSE(aTestComesWithin(connections, 100));
    EXPECT_FALSE(pool.take(4).client);
    SourceLogin taken = pool.take(3);
    ASSERT_TRUE(taken.client);
    EXPECT_EQ(anna.client, taken.client.get());
    EXPECT_EQ(L"anna@example.com", taken.user);
    EXPECT_TRUE(taken.slot);
    EXPECT_TRUE(taken.client->openAndQuiet());
    EXPECT_FALSE(taken.client->getConnection().stopRequested());
    EXPECT_FALSE(anna.session->closed);
    EXPECT_EQ(1u, connections.open());
    EXPECT_TRUE(aTestComesWithin(connections, 2000)) << "the slot still counts as a test's";
    EXPECT_FALSE(pool.take(3).client);
    EXPECT_EQ(0u, pool.size());
}

// Closed by the pool's clock, with nothing else asking the pool anything:
// no test runs, no worker looks.
TEST(KeptLogins, AConnectionKeptTooLongIsClosedByThePoolsOwnClock)
{
    SourceConnections connections;
    KeptLogins pool(std::chrono::milliseconds(300));
    Kept anna(connections, L"anna@example.com");
    Kept ben(connections, L"ben@example.com");
    pool.keep(1, std::move(anna.login));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    pool.keep(2, std::move(ben.login));
    // A slot is released once its connection is closed: what the clock's
    // thread did is seen through the count's lock.
    EXPECT_TRUE(waitUntil([&] { return connections.open() == 1; }, 2000, 5));
    EXPECT_TRUE(anna.closed());
    EXPECT_EQ(2, anna.countedAtClose);
    EXPECT_EQ(1u, pool.size()) << "the one kept later is still kept";
    EXPECT_TRUE(waitUntil([&] { return connections.open() == 0; }, 2000, 5));
    EXPECT_TRUE(ben.closed());
    EXPECT_EQ(1, ben.countedAtClose);
    EXPECT_EQ(0u, pool.size());
}

TEST(KeptLogins, GivingOneUpClosesTheOneKeptForTheLastAccount)
{
    SourceConnections connections;
    KeptLogins pool;
    Kept anna(connections, L"anna@example.com");
    Kept ben(connections, L"ben@example.com");
    pool.keep(7, std::move(ben.login));
    pool.keep(3, std::move(anna.login));
    EXPECT_TRUE(pool.giveUpOne());
    EXPECT_TRUE(ben.closed());
    EXPECT_EQ(2, ben.countedAtClose);
    EXPECT_FALSE(anna.session->closed);
    EXPECT_EQ(1u, connections.open());
    EXPECT_TRUE(pool.take(3).client);
    EXPECT_FALSE(pool.giveUpOne());
}

// Each connection closed, whatever way it goes, is closed before its slot is
// given back: the source counts the connection until then.
TEST(KeptLogins, ClosingClosesEveryOneKeptAndEachKeptAfterwards)
{
    SourceConnections connections;
    Kept anna(connections, L"anna@example.com");
    Kept ben(connections, L"ben@example.com");
    {
        KeptLogins pool;
        pool.keep(1, std::move(anna.login));
        pool.close();
        EXPECT_TRUE(anna.closed());
        EXPECT_EQ(2, anna.countedAtClose);
        pool.keep(2, std::move(ben.login));
        EXPECT_TRUE(ben.closed());
        EXPECT_EQ(1, ben.countedAtClose);
        EXPECT_EQ(0u, pool.size());
        EXPECT_EQ(0u, connections.open());
    }
    // And the end of the pool closes what it holds.
    Kept carl(connections, L"carl@example.com");
    {
        KeptLogins pool;
        pool.keep(1, std::move(carl.login));
    }
    EXPECT_TRUE(carl.closed());
    EXPECT_EQ(1, carl.countedAtClose);
    EXPECT_EQ(0u, connections.open());
    // And a login never kept, dropped as it is.
    Kept dana(connections, L"dana@example.com");
    SourceLogin{std::move(dana.login)};
    EXPECT_TRUE(dana.closed());
    EXPECT_EQ(1, dana.countedAtClose);
    EXPECT_EQ(0u, connections.open());
}

} // namespace
