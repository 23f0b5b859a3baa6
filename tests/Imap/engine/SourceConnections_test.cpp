// The run's connections to the source, counted in one place: the tests'
// share, a road before the tests, the cap a connection turned away shows
// and keeps, undone by itself, the figure it is said with, a connection
// closed lately that the source may still count, a probe that raises the
// cap, a kept connection given up for a road, waits woken by the change
// they wait for, a stop, and a throw inside a wait.
#include "Imap/engine/SourceConnections.h"

#include "SlotAsking.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace tavir::migration;
using Who = SourceConnections::Who;
using Slot = SourceConnections::Slot;
using Meaning = SourceConnections::Meaning;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using tavir::test::aTestComesWithin;
using tavir::test::greetedSlots;
using tavir::test::limitSaid;
using tavir::test::turnOneMoreAway;
using Asking = tavir::test::SlotAsking;

namespace {

const auto never = [] { return false; };

TEST(SourceConnections, TheTestsWaitForTheirShareAndForARoadWhileARoadNeverWaitsForThem)
{
    const struct Row {
        const char* name;
        unsigned given; // 0: none, the share as shipped
        unsigned share;
    } rows[] = {
        {"a share of two", 2, 2},
        {"the share as shipped", 0, 40},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::unique_ptr<SourceConnections> made = row.given == 0
            ? std::make_unique<SourceConnections>()
            : std::make_unique<SourceConnections>(row.given);
        SourceConnections& connections = *made;
        std::vector<Slot> tests = greetedSlots(connections, row.share, Who::Test);
        Asking next(connections, Who::Test);
        EXPECT_FALSE(next.cameWithin(150));
        // A road is no test: it has room, and takes none of the tests'.
        Asking road(connections, Who::Road);
        EXPECT_TRUE(road.cameWithin(2000));
        EXPECT_EQ(row.share + 1, connections.open());
        // A test's connection handed to a road leaves the tests' share.
        tests[0].handToRoad();
        EXPECT_TRUE(next.cameWithin(2000));
        EXPECT_TRUE(next.slot());
        EXPECT_EQ(row.share + 2, connections.open());
        EXPECT_EQ(0u, connections.limit());
        EXPECT_EQ(L"", connections.limitSentence());
    }
}

// What a connection turned away says of the source: with none of the run's
// held, a source that greeted the run before turns one away in passing, and
// one that never did turns the run away; neither is a limit. The figure is
// what the source took at once: never more than the run held besides the
// one turned away (with those closed so lately that the source may count
// them still), never less than it greeted at once. The run keeps to it at
// once, and says it once the source greeted a connection taken after it.
TEST(SourceConnections, ATurnAwayShowsWhatTheSourceTookAtOnceAndCapsTheRun)
{
    const struct Row {
        const char* name;
        unsigned greeted; // open and greeted when the turn-away comes
        unsigned waiting; // open, their greeting not yet come
        unsigned closedLately; // of the greeted, closed just before
        bool settledFirst; // those closed stopped counting before it
        Meaning meaning;
        unsigned limit;
    } rows[] = {
        {"nothing open, never greeted", 0, 0, 0, false, Meaning::Source, 0},
        {"nothing open, greeted before", 1, 0, 1, true, Meaning::Passing, 0},
        {"nothing open, greeted just before", 1, 0, 1, false, Meaning::AtLimit, 1},
        {"one open", 1, 0, 0, false, Meaning::AtLimit, 1},
        {"four open", 4, 0, 0, false, Meaning::AtLimit, 4},
        {"four open, one more still waiting", 4, 1, 0, false, Meaning::AtLimit, 5},
        {"three open, one closed that it still counts", 4, 0, 1, false, Meaning::AtLimit, 4},
        {"two open, two waiting", 2, 2, 0, false, Meaning::AtLimit, 4},
        // Never a limit of none, which would leave the run unbounded.
        {"nothing open, one never greeted closed lately", 0, 1, 1, false, Meaning::AtLimit, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SourceConnections connections;
        std::vector<Slot> slots = greetedSlots(connections, row.greeted);
        for (unsigned i = 0; i < row.waiting; ++i)
            slots.push_back(connections.acquire(Who::Road, never));
        for (unsigned i = 0; i < row.closedLately; ++i)
            slots[i].release();
        if (row.settledFirst)
            std::this_thread::sleep_for(SourceLimit::settlingAtFirst + milliseconds(20));
        Slot away = connections.acquire(Who::Test, never);
        EXPECT_EQ(row.meaning, connections.turnedAway(away).meaning);
        EXPECT_FALSE(away);
        EXPECT_EQ(row.limit, connections.limit());
        EXPECT_EQ(row.greeted + row.waiting - row.closedLately, connections.open());
        EXPECT_EQ(L"", connections.limitSentence());
        Asking after(connections, Who::Road);
        // All held greeted and open: the next waits until one has closed
        // and stopped counting (100 ms, for the process that served it to
        // end).
        if (row.limit != 0 && row.closedLately == 0 && row.waiting == 0) {
            EXPECT_FALSE(after.cameWithin(250));
            const auto closed = Clock::now();
            slots.pop_back();
            ASSERT_TRUE(after.cameWithin(2000));
            EXPECT_GE(Clock::now() - closed, SourceLimit::settlingAtFirst);
            EXPECT_EQ(row.greeted, connections.open());
        }
        slots.clear();
        ASSERT_TRUE(after.cameWithin(2000));
        after.slot().greeted();
        EXPECT_EQ(row.limit == 0 ? L"" : limitSaid(row.limit), connections.limitSentence());
    }
}

// The figure a turn-away shows is said once the source greeted a
// connection taken after it; one taken before says nothing of it. A
// connection that reaches the source no more (a source going away) undoes
// it, and a road waiting for room has it at once.
TEST(SourceConnections, ALimitIsSaidOnceTheSourceWentOnAfterItAndUndoneWhenTheSourceWentAway)
{
    enum class Then { GreetedTakenAfter, GreetedTakenBefore, NotReached };
    const struct Row {
        const char* name;
        Then then;
        unsigned limit;
        bool said;
    } rows[] = {
        {"a connection taken after it greeted", Then::GreetedTakenAfter, 4, true},
        {"one taken before it greeted", Then::GreetedTakenBefore, 4, false},
        {"one not reached", Then::NotReached, 0, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SourceConnections connections;
        std::vector<Slot> slots = greetedSlots(connections, 3);
        Slot before = connections.acquire(Who::Road, never);
        ASSERT_NO_FATAL_FAILURE(turnOneMoreAway(connections, 4));
        EXPECT_EQ(L"", connections.limitSentence());
        if (row.then == Then::GreetedTakenAfter) {
            slots.pop_back();
            Asking after(connections, Who::Road);
            ASSERT_TRUE(after.cameWithin(2000));
            after.slot().greeted();
        }
        if (row.then == Then::GreetedTakenBefore)
            before.greeted();
        if (row.then == Then::NotReached) {
            Asking waiting(connections, Who::Road);
            EXPECT_FALSE(waiting.cameWithin(150));
            before.notReached();
            EXPECT_TRUE(waiting.cameWithin(500));
        }
        EXPECT_EQ(row.limit, connections.limit());
        EXPECT_EQ(row.said ? limitSaid(4) : L"", connections.limitSentence());
    }
}

// Two accounts' own sessions ended at the login, interleaved: A lowers the
// limit from none to 5, B from 5 to 4. Each proves the account's own (its
// login ends twice) and is undone by its own change, while one of the
// source's own, let go, is kept. An undone limit makes room for a
// connection waiting at once.
TEST(SourceConnections, AccountsOwnTurnAwaysUndoneLeaveNoLimitBehind)
{
    const struct Row {
        const char* name;
        bool aFirst;
        bool real; // a connection turned away by the source's own limit too
    } rows[] = {
        {"A undone first", true, false},
        {"B undone first, a real limit of 3 stays", false, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SourceConnections connections;
        std::vector<Slot> open;
        for (int i = 0; i < 5; ++i)
            open.push_back(connections.acquire(Who::Road, never));
        open.front().greeted();
        Slot sixth = connections.acquire(Who::Road, never);
        SourceConnections::TurnedAway a = connections.turnedAway(sixth);
        ASSERT_EQ(Meaning::AtLimit, a.meaning);
        ASSERT_EQ(5u, connections.limit());
        SourceConnections::TurnedAway b = connections.turnedAway(open.back());
        open.pop_back();
        ASSERT_EQ(4u, connections.limit());
        if (row.real) {
            connections.turnedAway(open.back());
            open.pop_back();
            ASSERT_EQ(3u, connections.limit());
        }
        Asking waiting(connections, Who::Road);
        EXPECT_FALSE(waiting.cameWithin(100));
        (row.aFirst ? a : b).change.undo();
        EXPECT_EQ(row.real ? 3u : row.aFirst ? 4u : 5u, connections.limit());
        (row.aFirst ? b : a).change.undo();
        EXPECT_EQ(row.real ? 3u : 0u, connections.limit());
        // Room made by an undone limit reaches the waiting road.
        EXPECT_EQ(!row.real, waiting.cameWithin(row.real ? 100 : 1000));
        if (row.real) {
            open.pop_back();
            ASSERT_TRUE(waiting.cameWithin(2000));
        }
        EXPECT_EQ(L"", connections.limitSentence());
        waiting.slot().greeted();
        EXPECT_EQ(row.real ? limitSaid(3) : L"", connections.limitSentence());
    }
}

// A connection beyond the limit is tried after a quiet second: the source
// that takes its session raises the limit (a late count caught up, another
// client gone), one that turns it away keeps it, said once the source
// greets the next.
TEST(SourceConnections, AProbeTheSourceTakesRaisesTheLimit)
{
    for (bool taken : {true, false}) {
        SCOPED_TRACE(taken ? "taken" : "turned away");
        SourceConnections connections;
        std::vector<Slot> slots = greetedSlots(connections, 2);
        for (Slot& slot : slots)
            slot.loggedIn();
        const auto quietSince = Clock::now();
        ASSERT_NO_FATAL_FAILURE(turnOneMoreAway(connections, 2));
        Asking probe(connections, Who::Road);
        ASSERT_TRUE(probe.cameWithin(3000));
        EXPECT_GE(Clock::now() - quietSince, SourceLimit::probeAfterAtFirst);
        EXPECT_EQ(3u, connections.open());
        // One at a time.
        EXPECT_FALSE(aTestComesWithin(connections, 100));
        if (taken) {
            probe.slot().greeted();
            probe.slot().loggedIn();
        } else {
            connections.turnedAway(probe.slot());
            EXPECT_EQ(L"", connections.limitSentence());
            slots.pop_back();
            Asking next(connections, Who::Road);
            ASSERT_TRUE(next.cameWithin(2000));
            next.slot().greeted();
        }
        EXPECT_EQ(taken ? 3u : 2u, connections.limit());
        EXPECT_EQ(limitSaid(taken ? 3 : 2), connections.limitSentence());
    }
}

// A road that finds no room at the source closes a connection kept for a
// worker rather than wait for one of the roads to end.
TEST(SourceConnections, ARoadThatFindsNoRoomGivesUpAKeptConnectionFirst)
{
    SourceConnections connections;
    std::vector<Slot> kept = greetedSlots(connections, 2, Who::Test);
    std::atomic<int> givenUp{0};
    connections.setGiveUpKept([&] {
        if (kept.empty())
            return false;
        kept.pop_back();
        ++givenUp;
        return true;
    });
    ASSERT_NO_FATAL_FAILURE(turnOneMoreAway(connections, 2));
    Asking road(connections, Who::Road);
    EXPECT_TRUE(road.cameWithin(2000));
    EXPECT_EQ(1, givenUp.load());
    EXPECT_EQ(2u, connections.open());
    // A test does not: it waits for room.
    Asking test(connections, Who::Test);
    EXPECT_FALSE(test.cameWithin(300));
    EXPECT_EQ(1, givenUp.load());
}

// A test never takes the room a road waits for, even while the road is
// busy giving up a kept connection that makes none (closing one writes its
// LOGOUT first).
TEST(SourceConnections, ATestNeverTakesTheRoomARoadWaitsFor)
{
    SourceConnections connections;
    std::vector<Slot> roads = greetedSlots(connections, 1);
    ASSERT_NO_FATAL_FAILURE(turnOneMoreAway(connections, 1));
    connections.setGiveUpKept([] {
        std::this_thread::sleep_for(milliseconds(400));
        return false;
    });
    Asking road(connections, Who::Road);
    std::this_thread::sleep_for(milliseconds(50));
    Asking test(connections, Who::Test);
    roads.clear();
    EXPECT_TRUE(road.cameWithin(3000));
    EXPECT_TRUE(road.slot());
    EXPECT_FALSE(test.cameWithin(300));
    EXPECT_EQ(1u, connections.open());
}

// A slot given back reaches the connection waiting for it as it is given
// back, not when the waiter next looks: well under 10 ms, where a waiter
// that looked every 100 ms found it 50 ms later on average.
TEST(SourceConnections, AFreedSlotReachesAWaitingConnectionAtOnce)
{
    std::vector<Clock::duration> latencies;
    for (int round = 0; round < 9; ++round) {
        SourceConnections connections(1);
        Slot held = connections.acquire(Who::Test, never);
        Clock::time_point came;
        std::thread waiter([&] {
            Slot slot = connections.acquire(Who::Test, never);
            came = Clock::now();
            EXPECT_TRUE(slot);
        });
        std::this_thread::sleep_for(milliseconds(30));
        const Clock::time_point freed = Clock::now();
        held.release();
        waiter.join();
        latencies.push_back(came - freed);
    }
    std::sort(latencies.begin(), latencies.end());
    EXPECT_LT(latencies[latencies.size() / 2], milliseconds(10));
}

// A stop ends every wait at once: stop() for the run's, and a caller's own
// stop (its `stopped` now true) once the caller says so (wake()); a wait
// for room and a pause alike. A caller's stop not said is still seen within
// a second.
TEST(SourceConnections, AStopEndsEveryWaitAtOnce)
{
    enum class How { RunStopped, CallersSaid, CallersNotSaid };
    const struct Row {
        const char* name;
        How how;
        bool pause; // the wait is a pause; else a wait for room
    } rows[] = {
        {"stop(), a wait for room", How::RunStopped, false},
        {"the caller's own, said, a wait for room", How::CallersSaid, false},
        {"the caller's own, not said, a wait for room", How::CallersNotSaid, false},
        {"stop(), a pause", How::RunStopped, true},
        {"the caller's own, said, a pause", How::CallersSaid, true},
        {"the caller's own, not said, a pause", How::CallersNotSaid, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SourceConnections connections(1);
        Slot held = connections.acquire(Who::Test, never);
        std::atomic<bool> stopped{false};
        std::atomic<bool> ended{false};
        Slot got;
        std::thread waiter([&] {
            const auto asked = [&] { return stopped.load(); };
            if (row.pause)
                connections.pause(milliseconds(30000), asked);
            else
                got = connections.acquire(Who::Test, asked);
            ended = true;
        });
        std::this_thread::sleep_for(milliseconds(150));
        EXPECT_FALSE(ended.load());
        const auto stoppedAt = Clock::now();
        if (row.how == How::RunStopped) {
            connections.stop();
        } else {
            stopped = true;
            if (row.how == How::CallersSaid)
                connections.wake();
        }
        waiter.join();
        // Not said: looked at once a second.
        EXPECT_LT(
            Clock::now() - stoppedAt, milliseconds(row.how == How::CallersNotSaid ? 1500 : 200));
        EXPECT_FALSE(got);
        EXPECT_EQ(row.how == How::RunStopped, !connections.acquire(Who::Road, never));
    }
}

// Whatever a wait calls may throw (its caller's stop, closing a kept
// connection): the throw goes to the caller, and every count is as it was,
// so no road is left counted waiting to hold the tests back for the rest of
// the run.
TEST(SourceConnections, AThrowInsideAWaitLeavesEveryCountRight)
{
    const struct Row {
        const char* name;
        int stopThrowsAt; // the ask of `stopped` that throws; 0: none
        bool giveUpThrows;
    } rows[] = {
        {"the caller's stop, asked first", 1, false},
        {"the caller's stop, asked while the road waits", 2, false},
        {"the kept connection given up", 0, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SourceConnections connections;
        std::vector<Slot> open = greetedSlots(connections, 1);
        ASSERT_NO_FATAL_FAILURE(turnOneMoreAway(connections, 1));
        connections.setGiveUpKept([&] {
            if (row.giveUpThrows)
                throw std::runtime_error("closing failed");
            return false;
        });
        std::atomic<int> asked{0};
        std::atomic<bool> threw{false};
        std::thread road([&] {
            try {
                connections.acquire(Who::Road, [&] {
                    if (++asked == row.stopThrowsAt)
                        throw std::runtime_error("stop in doubt");
                    return false;
                });
            } catch (const std::runtime_error&) {
                threw = true;
            }
        });
        // The road waits; woken, it asks its stop again.
        std::this_thread::sleep_for(milliseconds(100));
        connections.wake();
        road.join();
        EXPECT_TRUE(threw.load());
        EXPECT_EQ(1u, connections.open());
        open.clear();
        EXPECT_TRUE(aTestComesWithin(connections, 2000)) << "a road is still counted waiting";
    }
}

} // namespace
