// What a run learns of the source's own limit, on a clock given by the
// test: changes undone in any order, a late count that lengthens the time a
// closed connection counts rather than lowers the limit, a probe beyond the
// limit after a quiet time, and sessions taken that raise it again.
#include "Imap/engine/SourceLimit.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <vector>

using namespace tavir::migration;
using Room = SourceLimit::Room;
using Ms = SourceLimit::Ms;

namespace {

const SourceLimit::Clock::time_point t0 = SourceLimit::Clock::time_point() + std::chrono::hours(1);

// Turned away with `besides` open and nothing closed: the source shows it
// takes `besides` (it greeted no more at once).
std::uint64_t turnedAwayWith(SourceLimit& limit, unsigned besides, Ms at = Ms(0))
{
    std::uint64_t change = 0;
    EXPECT_TRUE(limit.turnedAway(besides, 0, false, t0 + at, change));
    return change;
}

// Two accounts' own refusals (their sessions ended at the login, each
// later tried again and ended twice) lower the limit in turn, 0 to 5 to 4;
// undone in either order they leave it as if neither had happened, while a
// refusal of the source's own, before, between or after them, stays.
TEST(SourceLimit, ChangesUndoneInAnyOrderLeaveTheLimitAsIfTheyHadNotBeen)
{
    const struct Row {
        const char* name;
        bool firstUndoneFirst;
        int realAt; // -1: none; else after this many of the two
        unsigned real; // what the source's own showed
    } rows[] = {
        {"A then B undone", true, -1, 0},
        {"B then A undone", false, -1, 0},
        {"a real one before, at 6", true, 0, 6},
        {"a real one between, at 6", false, 1, 6},
        {"a real one after, at 3", true, 2, 3},
        {"a real one after, at 7", false, 2, 7},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SourceLimit limit;
        std::vector<std::uint64_t> accounts;
        for (unsigned besides : {5u, 4u}) {
            if (row.realAt == static_cast<int>(accounts.size()))
                limit.keep(turnedAwayWith(limit, row.real));
            accounts.push_back(turnedAwayWith(limit, besides));
        }
        if (row.realAt == 2)
            limit.keep(turnedAwayWith(limit, row.real));
        EXPECT_EQ(row.realAt == 2 && row.real < 4 ? row.real : 4u, limit.atMost());
        limit.undo(accounts[row.firstUndoneFirst ? 0 : 1]);
        limit.undo(accounts[row.firstUndoneFirst ? 1 : 0]);
        EXPECT_EQ(row.real, limit.atMost());
    }
    // Kept, a change is undone no more.
    SourceLimit limit;
    const std::uint64_t kept = turnedAwayWith(limit, 5);
    limit.keep(kept);
    limit.undo(kept);
    EXPECT_EQ(5u, limit.atMost());
}

// A source at 4 that turns a connection away while the run holds 3: with
// one of the run's closed after the time a closed connection counts and
// within 1.6 s, the source still counts it, so the limit stands and a
// closed connection counts longer (that one's age and 100 ms more);
// otherwise the source takes fewer now (another client of this address),
// and the limit is lowered.
TEST(SourceLimit, ATurnAwayALateCountExplainsLengthensTheCountInsteadOfLoweringTheLimit)
{
    const struct Row {
        const char* name;
        std::optional<int> closedAgoMs; // one of the run's, before the turn-away
        Ms settlingBefore; // as an earlier late count left it
        unsigned atMost;
        Ms settling;
        unsigned stillCounted; // at the turn-away, with what it showed
    } rows[] = {
        {"none closed", std::nullopt, Ms(100), 3, Ms(100), 0},
        {"closed 50 ms ago, counted still", 50, Ms(100), 4, Ms(100), 1},
        {"closed 150 ms ago", 150, Ms(100), 4, Ms(250), 1},
        {"closed 120 ms ago", 120, Ms(100), 4, Ms(220), 1},
        {"closed 400 ms ago", 400, Ms(100), 4, Ms(500), 1},
        {"closed 300 ms ago, counted 200 ms", 300, Ms(200), 4, Ms(400), 1},
        {"closed 1,500 ms ago, at most 1.6 s", 1500, Ms(800), 4, Ms(1600), 1},
        {"closed 1,550 ms ago, never past 1.6 s", 1550, Ms(800), 4, Ms(1600), 1},
        {"closed 2 s ago", 2000, Ms(100), 3, Ms(100), 0},
        {"closed 300 ms ago, counted 1.6 s already: counted still", 300, Ms(1600), 4, Ms(1600), 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SourceLimit limit;
        // The limit shown, and the time a closed connection counts as an
        // earlier late count left it.
        std::uint64_t change = 0;
        ASSERT_TRUE(limit.turnedAway(4, 4, false, t0, change));
        limit.keep(change);
        for (Ms settled = SourceLimit::settlingAtFirst; settled < row.settlingBefore;
             settled = limit.settling()) {
            limit.closed(t0);
            ASSERT_TRUE(limit.turnedAway(3, 4, false, t0 + settled, change));
            limit.keep(change);
            ASSERT_EQ(4u, limit.atMost());
        }
        ASSERT_EQ(row.settlingBefore.count(), limit.settling().count());
        const SourceLimit::Clock::time_point at = t0 + Ms(5000);
        if (row.closedAgoMs)
            limit.closed(at - Ms(*row.closedAgoMs));
        ASSERT_TRUE(limit.turnedAway(3, 4, false, at, change));
        EXPECT_EQ(row.atMost, limit.atMost());
        EXPECT_EQ(row.settling.count(), limit.settling().count());
        EXPECT_EQ(row.stillCounted, limit.stillCounted(at));
        // The longer count is the change's own too.
        limit.undo(change);
        EXPECT_EQ(4u, limit.atMost());
        EXPECT_EQ(row.settlingBefore.count(), limit.settling().count());
    }
}

// The first connection turned away, with 2 of the run's open where the
// source greeted 4 at once: those closed lately, which it counts late, are
// held too, so the figure is what it greeted at once, never lower than it
// counted; with none of them, the 2 open are all it takes now.
TEST(SourceLimit, BeforeAnyLimitALateCountShowsWhatTheSourceGreetedAtOnce)
{
    const struct Row {
        const char* name;
        unsigned closed150MsAgo;
        unsigned atMost;
        Ms settling;
    } rows[] = {
        {"none closed", 0, 2, Ms(100)},
        {"one closed", 1, 3, Ms(250)},
        {"two closed", 2, 4, Ms(250)},
        {"three closed", 3, 4, Ms(250)},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SourceLimit limit;
        for (unsigned i = 0; i < row.closed150MsAgo; ++i)
            limit.closed(t0 - Ms(150));
        std::uint64_t change = 0;
        ASSERT_TRUE(limit.turnedAway(2, 4, false, t0, change));
        EXPECT_EQ(row.atMost, limit.atMost());
        EXPECT_EQ(row.settling.count(), limit.settling().count());
    }
}

// With none of the run's connections open, and none closed so lately that
// the source may count it, a connection turned away shows no limit: before
// one, nor after, nor for a late count (the limit can't be lowered then; it
// is a turn-away in passing).
TEST(SourceLimit, NothingHeldShowsNoLimit)
{
    SourceLimit limit;
    std::uint64_t change = 0;
    EXPECT_FALSE(limit.turnedAway(0, 3, false, t0, change));
    EXPECT_EQ(0u, limit.atMost());
    limit.keep(turnedAwayWith(limit, 2));
    EXPECT_FALSE(limit.turnedAway(0, 3, false, t0 + Ms(5000), change));
    limit.closed(t0 + Ms(5000));
    EXPECT_FALSE(limit.turnedAway(0, 3, false, t0 + Ms(5150), change));
    EXPECT_EQ(2u, limit.atMost());
    EXPECT_EQ(SourceLimit::settlingAtFirst.count(), limit.settling().count());
}

// With no connection turned away for want of room for a second, one
// connection beyond the limit is tried, one at a time; a source that takes its session raises
// the limit, one that turns it away makes the next wait twice as long, up
// to 32 s.
TEST(SourceLimit, AProbeBeyondTheLimitComesAfterAQuietTimeAndRaisesItWhenTaken)
{
    SourceLimit limit;
    EXPECT_EQ(Room::Within, limit.roomFor(50, t0));
    limit.keep(turnedAwayWith(limit, 4));
    EXPECT_EQ(Room::Within, limit.roomFor(3, t0));
    // A late count is no want of room: the probe's time stands.
    std::uint64_t late = 0;
    limit.closed(t0 + Ms(300));
    ASSERT_TRUE(limit.turnedAway(3, 4, false, t0 + Ms(450), late));
    limit.keep(late);
    ASSERT_EQ(4u, limit.atMost());
    EXPECT_EQ(Room::None, limit.roomFor(4, t0 + Ms(999)));
    EXPECT_EQ(t0 + Ms(1000), limit.nextChange(t0 + Ms(600), Ms(5000)));
    EXPECT_EQ(Room::Probe, limit.roomFor(4, t0 + Ms(1000)));
    EXPECT_EQ(Room::None, limit.roomFor(5, t0 + Ms(1000)));

    // Turned away: the next after 2 s, then 4, ... 32 at most.
    SourceLimit::Clock::time_point at = t0 + Ms(1000);
    Ms quiet(2000);
    for (int probe = 1; probe <= 7; ++probe) {
        SCOPED_TRACE(probe);
        limit.probeTaken(at);
        EXPECT_EQ(Room::None, limit.roomFor(4, at + Ms(60000))) << "one at a time";
        std::uint64_t change = 0;
        ASSERT_TRUE(limit.turnedAway(4, 4, true, at, change));
        limit.keep(change);
        EXPECT_EQ(4u, limit.atMost());
        EXPECT_EQ(Room::None, limit.roomFor(4, at + quiet - Ms(1)));
        EXPECT_EQ(Room::Probe, limit.roomFor(4, at + quiet));
        at += quiet;
        quiet = std::min(quiet * 2, Ms(32000));
    }

    // Taken: the limit rises, and the next probe comes a second later.
    limit.probeTaken(at);
    limit.took(5);
    EXPECT_EQ(5u, limit.atMost());
    EXPECT_EQ(Room::None, limit.roomFor(5, at + Ms(999)));
    EXPECT_EQ(Room::Probe, limit.roomFor(5, at + Ms(1000)));
    // A probe closed before the source took it ends too.
    limit.probeTaken(at + Ms(1000));
    limit.probeEnded();
    EXPECT_EQ(Room::Probe, limit.roomFor(5, at + Ms(2000)));
}

// More sessions at once than the limit (a probe taken, or connections
// opened before a turn-away lowered it) raise it, the changes that may
// still be undone too; fewer, or no limit at all, change nothing.
TEST(SourceLimit, SessionsTakenBeyondTheLimitRaiseIt)
{
    SourceLimit limit;
    limit.took(9);
    EXPECT_EQ(0u, limit.atMost());
    limit.keep(turnedAwayWith(limit, 3));
    const std::uint64_t open = turnedAwayWith(limit, 2);
    limit.took(2);
    EXPECT_EQ(2u, limit.atMost());
    limit.took(4);
    EXPECT_EQ(4u, limit.atMost());
    limit.undo(open);
    EXPECT_EQ(4u, limit.atMost());
}

// What a turn-away shows is kept to at once, and is the source's limit, to
// be said, once the source went on after it: greeted a connection taken
// under it. A connection that reaches the source no more (a source going
// away, whose shutdown closed the others before their greeting) undoes
// every change the source has not gone on after, kept or not; one it went
// on after stays.
TEST(SourceLimit, AChangeIsTheSourcesLimitOnceTheSourceWentOnAfterIt)
{
    enum class Step {
        TurnedAwayWith4,
        TurnedAwayWith3,
        Kept, // the latest change
        Undone, // the latest change
        GreetedTakenAfter, // a connection taken under every change so far
        GreetedTakenBefore, // one taken before the latest change
        NotReached,
        Took5, // five sessions at once
    };
    using S = Step;
    const struct Row {
        const char* name;
        std::vector<Step> steps;
        unsigned atMost;
        unsigned wentOnWith;
    } rows[] = {
        {"kept to, not said before the source went on", {S::TurnedAwayWith4, S::Kept}, 4, 0},
        {"gone on after", {S::TurnedAwayWith4, S::Kept, S::GreetedTakenAfter}, 4, 4},
        {"gone on after before it was kept", {S::TurnedAwayWith4, S::GreetedTakenAfter, S::Kept}, 4,
            4},
        {"a connection taken before it, greeted after it",
            {S::TurnedAwayWith4, S::Kept, S::GreetedTakenBefore}, 4, 0},
        {"gone away before it went on",
            {S::TurnedAwayWith4, S::Kept, S::TurnedAwayWith3, S::NotReached}, 0, 0},
        {"gone away after it went on",
            {S::TurnedAwayWith4, S::GreetedTakenAfter, S::Kept, S::NotReached}, 4, 4},
        {"a lower one not yet gone on after",
            {S::TurnedAwayWith4, S::Kept, S::GreetedTakenAfter, S::TurnedAwayWith3, S::Kept}, 3, 4},
        {"a lower one gone on after",
            {S::TurnedAwayWith4, S::Kept, S::TurnedAwayWith3, S::Kept, S::GreetedTakenAfter}, 3, 3},
        {"a lower one gone on after under the earlier only",
            {S::TurnedAwayWith4, S::Kept, S::TurnedAwayWith3, S::Kept, S::GreetedTakenBefore}, 3,
            4},
        {"a lower one gone away",
            {S::TurnedAwayWith4, S::Kept, S::GreetedTakenAfter, S::TurnedAwayWith3, S::Kept,
                S::NotReached},
            4, 4},
        {"gone on after, then undone by its own",
            {S::TurnedAwayWith4, S::GreetedTakenAfter, S::Undone}, 0, 0},
        {"raised by sessions taken before it went on",
            {S::TurnedAwayWith4, S::Kept, S::Took5, S::GreetedTakenAfter}, 5, 5},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SourceLimit limit;
        std::uint64_t latest = 0;
        for (Step step : row.steps) {
            switch (step) {
            case S::TurnedAwayWith4:
            case S::TurnedAwayWith3:
                latest = turnedAwayWith(limit, step == S::TurnedAwayWith4 ? 4 : 3);
                ASSERT_EQ(latest, limit.lastChange());
                break;
            case S::Kept:
                limit.keep(latest);
                break;
            case S::Undone:
                limit.undo(latest);
                break;
            case S::GreetedTakenAfter:
                limit.wentOn(limit.lastChange());
                break;
            case S::GreetedTakenBefore:
                limit.wentOn(latest - 1);
                break;
            case S::NotReached:
                limit.wentAway();
                break;
            case S::Took5:
                limit.took(5);
                break;
            }
        }
        EXPECT_EQ(row.atMost, limit.atMost());
        EXPECT_EQ(row.wentOnWith, limit.wentOnWith());
    }
}

// A connection the run closed counts on the source's side for the time a
// closed connection counts, and the clock makes room when it stops.
TEST(SourceLimit, AClosedConnectionCountsUntilItHasSettled)
{
    SourceLimit limit;
    limit.closed(t0);
    EXPECT_EQ(1u, limit.stillCounted(t0 + Ms(99)));
    EXPECT_EQ(0u, limit.stillCounted(t0 + Ms(100)));
    // Before any limit, nothing waits for it.
    EXPECT_EQ(t0 + Ms(1010), limit.nextChange(t0 + Ms(10), Ms(1000)));
    limit.keep(turnedAwayWith(limit, 2));
    EXPECT_EQ(t0 + Ms(100), limit.nextChange(t0 + Ms(10), Ms(1000)));
    EXPECT_EQ(Room::None, limit.roomFor(1 + limit.stillCounted(t0 + Ms(10)), t0 + Ms(10)));
    EXPECT_EQ(Room::Within, limit.roomFor(1 + limit.stillCounted(t0 + Ms(100)), t0 + Ms(100)));
}

} // namespace
