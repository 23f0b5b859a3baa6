// The run's connections to the source, counted in one place: the tests'
// share, a road before the tests, the cap a refusal shows and keeps, the
// figure it is said with, a connection closed lately that the source may
// still count, a kept connection given up for a road, and a stop.
#include "Imap/engine/SourceConnections.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

using namespace tavir::migration;
using Who = SourceConnections::Who;
using Slot = SourceConnections::Slot;
using Refusal = SourceConnections::Refusal;

namespace {

const auto never = [] { return false; };

// A slot asked for on a thread of its own, and whether it came.
class Asking {
public:
    Asking(SourceConnections& connections, Who who)
        : thread_([this, &connections, who] {
            slot_ = connections.acquire(who, [this] { return giveUp_.load(); });
            came_ = true;
        })
    {
    }
    ~Asking()
    {
        giveUp_ = true;
        thread_.join();
    }
    bool came() const { return came_; }
    // Waits up to `ms` for it.
    bool cameWithin(int ms) const
    {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (!came_ && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return came_;
    }
    Slot& slot() { return slot_; }

private:
    std::atomic<bool> giveUp_{false};
    std::atomic<bool> came_{false};
    Slot slot_;
    std::thread thread_;
};

std::vector<Slot> greetedSlots(SourceConnections& connections, unsigned count, Who who = Who::Road)
{
    std::vector<Slot> slots;
    for (unsigned i = 0; i < count; ++i) {
        slots.push_back(connections.acquire(who, never));
        slots.back().greeted();
    }
    return slots;
}

// The source turns one more connection away, and the run is capped at
// `limit`.
void refuseOneMore(SourceConnections& connections, unsigned limit)
{
    Slot refused = connections.acquire(Who::Road, never);
    ASSERT_EQ(Refusal::AtLimit, connections.refused(refused));
    ASSERT_EQ(limit, connections.limit());
}

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
        // A road is no test: it has room.
        Slot road = connections.acquire(Who::Road, never);
        EXPECT_TRUE(road);
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

// A connection the source turns away while others of the run are open
// caps the run at what was open; the next one waits until one of them
// has closed, and the figure is said.
TEST(SourceConnections, ARefusalWhileOthersAreOpenCapsTheRunAtWhatWasOpen)
{
    for (unsigned open : {1u, 4u}) {
        SCOPED_TRACE(open);
        SourceConnections connections;
        std::vector<Slot> slots = greetedSlots(connections, open);
        Slot refused = connections.acquire(Who::Road, never);
        EXPECT_EQ(Refusal::AtLimit, connections.refused(refused));
        EXPECT_FALSE(refused);
        EXPECT_EQ(open, connections.limit());
        EXPECT_EQ(open, connections.open());
        EXPECT_EQ(open == 1 ? L"The source server accepted at most 1 connection at once; the "
                              L"migration went on with 1."
                            : L"The source server accepted at most 4 connections at once; the "
                              L"migration went on with 4.",
            connections.limitSentence());
        Asking next(connections, Who::Road);
        EXPECT_FALSE(next.cameWithin(250));
        const auto closed = std::chrono::steady_clock::now();
        slots.back().release();
        EXPECT_TRUE(next.cameWithin(2000));
        // Not before the one that closed may have left the source's count:
        // 100 ms, for the process that served it to end.
        EXPECT_GE(std::chrono::steady_clock::now() - closed, std::chrono::milliseconds(100));
        EXPECT_EQ(open, connections.open());
    }
}

// What a refusal says of the source: with none of the run's open, a source
// that greeted the run before turns one away in passing, and one that never
// did turns the run away; neither is a limit. The figure is what the source
// took at once: never more than the run held besides the one turned away
// (with those closed so lately that the source may count them still), never
// less than it greeted at once.
TEST(SourceConnections, ARefusalShowsWhatTheSourceTookAtOnce)
{
    const struct Row {
        const char* name;
        unsigned greeted; // open and greeted when the refusal comes
        unsigned waiting; // open, their greeting not yet come
        unsigned closedLately; // of the greeted, closed just before
        Refusal refusal;
        unsigned limit;
    } rows[] = {
        {"nothing open, never greeted", 0, 0, 0, Refusal::Source, 0},
        {"nothing open, greeted before", 1, 0, 1, Refusal::AtLimit, 1},
        {"four open", 4, 0, 0, Refusal::AtLimit, 4},
        {"four open, one more still waiting", 4, 1, 0, Refusal::AtLimit, 5},
        {"three open, one closed that it still counts", 4, 0, 1, Refusal::AtLimit, 4},
        {"two open, two waiting", 2, 2, 0, Refusal::AtLimit, 4},
        // Never a limit of none, which would leave the run unbounded.
        {"nothing open, one never greeted closed lately", 0, 1, 1, Refusal::AtLimit, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SourceConnections connections;
        std::vector<Slot> slots = greetedSlots(connections, row.greeted);
        for (unsigned i = 0; i < row.waiting; ++i)
            slots.push_back(connections.acquire(Who::Road, never));
        for (unsigned i = 0; i < row.closedLately; ++i)
            slots[i].release();
        Slot refused = connections.acquire(Who::Test, never);
        EXPECT_EQ(row.refusal, connections.refused(refused));
        EXPECT_EQ(row.limit, connections.limit());
        // A source that greeted none of the run's connections showed no
        // figure to say.
        EXPECT_EQ(row.limit != 0 && row.greeted != 0, !connections.limitSentence().empty());
    }
    // Passing: greeted before, nothing open or closed lately.
    SourceConnections connections;
    greetedSlots(connections, 1).clear();
    std::this_thread::sleep_for(SourceConnections::settling + std::chrono::milliseconds(20));
    Slot refused = connections.acquire(Who::Road, never);
    EXPECT_EQ(Refusal::Passing, connections.refused(refused));
    EXPECT_EQ(0u, connections.limit());
}

TEST(SourceConnections, ALimitLoweredByOneAccountsOwnRefusalIsPutBack)
{
    SourceConnections connections;
    std::vector<Slot> slots = greetedSlots(connections, 3);
    ASSERT_NO_FATAL_FAILURE(refuseOneMore(connections, 3));
    connections.notTheLimit(0, 3);
    EXPECT_EQ(0u, connections.limit());
    EXPECT_EQ(L"", connections.limitSentence());
    // Not when another refusal has changed it since.
    slots.pop_back();
    std::this_thread::sleep_for(SourceConnections::settling + std::chrono::milliseconds(20));
    ASSERT_NO_FATAL_FAILURE(refuseOneMore(connections, 2));
    connections.notTheLimit(0, 3);
    EXPECT_EQ(2u, connections.limit());
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
    ASSERT_NO_FATAL_FAILURE(refuseOneMore(connections, 2));
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
    ASSERT_NO_FATAL_FAILURE(refuseOneMore(connections, 1));
    connections.setGiveUpKept([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        return false;
    });
    Asking road(connections, Who::Road);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Asking test(connections, Who::Test);
    roads.clear();
    EXPECT_TRUE(road.cameWithin(3000));
    EXPECT_TRUE(road.slot());
    EXPECT_FALSE(test.cameWithin(300));
    EXPECT_EQ(1u, connections.open());
}

TEST(SourceConnections, AStopEndsEveryWaitAtOnce)
{
    SourceConnections connections(1);
    Slot held = connections.acquire(Who::Test, never);
    Asking waiting(connections, Who::Test);
    EXPECT_FALSE(waiting.cameWithin(150));
    const auto stopped = std::chrono::steady_clock::now();
    connections.stop();
    EXPECT_TRUE(waiting.cameWithin(1000));
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::milliseconds(500));
    EXPECT_FALSE(waiting.slot());
    EXPECT_FALSE(connections.acquire(Who::Road, never));
}

} // namespace
