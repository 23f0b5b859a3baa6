// What a run learns of the source's own limit, on a clock given by the
// test: changes undone in any order, said once the source went on after
// them, a late count that lengthens the time a closed connection counts
// rather than lowers the limit, a probe beyond the limit after a quiet
// time, and sessions taken that raise it again.
#include "Imap/engine/SourceLimit.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>
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

// Plays `steps`, words apart: "awayN" a connection turned away with N of
// the run's open (a change, numbered from 1); "keep" or "undo" the latest
// change, "keepK" or "undoK" the K-th; "greeted" the source greeted a
// connection taken under every change so far, "greetedBefore" one taken
// before the latest; "gone" a connection did not reach the source;
// "tookN" N sessions at once.
void play(SourceLimit& limit, const std::string& steps)
{
    std::vector<std::uint64_t> changes;
    std::istringstream words(steps);
    for (std::string word; words >> word;) {
        const auto number = [&] { return static_cast<unsigned>(std::stoul(word.substr(4))); };
        const auto change
            = [&] { return word.size() == 4 ? changes.back() : changes.at(number() - 1); };
        const std::string verb = word.substr(0, 4);
        if (verb == "away") {
            changes.push_back(turnedAwayWith(limit, number()));
            ASSERT_EQ(changes.back(), limit.lastChange());
        } else if (verb == "keep") {
            limit.keep(change());
        } else if (verb == "undo") {
            limit.undo(change());
        } else if (word == "greeted") {
            limit.wentOn(limit.lastChange());
        } else if (word == "greetedBefore") {
            limit.wentOn(changes.back() - 1);
        } else if (word == "gone") {
            limit.wentAway();
        } else if (verb == "took") {
            limit.took(number());
        } else {
            FAIL() << "no step " << word;
        }
    }
}

// Each connection turned away is a change of its own: an account's own
// (its session ended at the login, then again) undone in either order
// leaves the limit as if it had not been, while the source's own, kept,
// stays. Kept, a change is undone no more. More sessions at once than the
// limit raise it, the changes that may still be undone too. What a change
// shows is kept to at once, and is the source's limit, to be said, once
// the source went on after it (greeted a connection taken under it); a
// connection that reaches the source no more (a source going away) undoes
// every change the source has not gone on after, kept or not.
TEST(SourceLimit, WhatEachChangeShowsIsKeptToAndSaidOnceTheSourceWentOnAfterIt)
{
    const struct Row {
        const char* name;
        const char* steps;
        unsigned atMost;
        unsigned wentOnWith;
    } rows[] = {
        {"two accounts' own", "away5 away4", 4, 0},
        {"the first undone", "away5 away4 undo1", 4, 0},
        {"the second undone", "away5 away4 undo2", 5, 0},
        {"both undone, first first", "away5 away4 undo1 undo2", 0, 0},
        {"both undone, second first", "away5 away4 undo2 undo1", 0, 0},
        {"a real one before", "away6 keep away5 away4 undo2 undo3", 6, 0},
        {"a real one between", "away5 away6 keep away4 undo3 undo1", 6, 0},
        {"a lower real one after", "away5 away4 away3 keep", 3, 0},
        {"a lower real one after, both undone", "away5 away4 away3 keep undo1 undo2", 3, 0},
        {"a higher real one after", "away5 away4 away7 keep", 4, 0},
        {"a higher real one after, both undone", "away5 away4 away7 keep undo2 undo1", 7, 0},
        {"kept, then undone", "away5 keep undo", 5, 0},
        {"sessions taken without a limit", "took9", 0, 0},
        {"as many sessions as the limit", "away3 keep away2 took2", 2, 0},
        {"more sessions than the limit", "away3 keep away2 took4", 4, 0},
        {"more sessions, then undone", "away3 keep away2 took4 undo", 4, 0},
        {"kept to, not said before the source went on", "away4 keep", 4, 0},
        {"gone on after", "away4 keep greeted", 4, 4},
        {"gone on after before it was kept", "away4 greeted keep", 4, 4},
        {"a connection taken before it, greeted after it", "away4 keep greetedBefore", 4, 0},
        {"gone away before it went on", "away4 keep away3 gone", 0, 0},
        {"gone away after it went on", "away4 greeted keep gone", 4, 4},
        {"a lower one not yet gone on after", "away4 keep greeted away3 keep", 3, 4},
        {"a lower one gone on after", "away4 keep away3 keep greeted", 3, 3},
        {"a lower one gone on after under the earlier only", "away4 keep away3 keep greetedBefore",
            3, 4},
        {"a lower one gone away", "away4 keep greeted away3 keep gone", 4, 4},
        {"gone on after, then undone by its own", "away4 greeted undo", 0, 0},
        {"raised by sessions taken before it went on", "away4 keep took5 greeted", 5, 5},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SourceLimit limit;
        play(limit, row.steps);
        EXPECT_EQ(row.atMost, limit.atMost());
        EXPECT_EQ(row.wentOnWith, limit.wentOnWith());
    }
}

// A connection turned away while the run holds fewer than the source has
// shown it takes (its limit, or before one what it greeted at once): with
// one of the run's closed after the time a closed connection counts and
// within 1.6 s, the source still counts it, so the figure stands and a
// closed connection counts longer (that one's age and 100 ms more); with
// none, the source takes fewer now (another client of this address). The
// longer count is the change's own, undone with it.
TEST(SourceLimit, ATurnAwayALateCountExplainsLengthensTheCountInsteadOfLoweringTheLimit)
{
    const struct Row {
        const char* name;
        unsigned limitBefore; // 0, or 4 with `settlingBefore` as a late count left it
        Ms settlingBefore;
        std::vector<int> closedAgoMs; // the run's, before the turn-away
        unsigned besides;
        unsigned atMost;
        Ms settling;
        unsigned stillCounted; // at the turn-away, with what it showed
    } rows[] = {
        {"none closed", 4, Ms(100), {}, 3, 3, Ms(100), 0},
        {"closed 50 ms ago, counted still", 4, Ms(100), {50}, 3, 4, Ms(100), 1},
        {"closed 150 ms ago", 4, Ms(100), {150}, 3, 4, Ms(250), 1},
        {"closed 120 ms ago", 4, Ms(100), {120}, 3, 4, Ms(220), 1},
        {"closed 400 ms ago", 4, Ms(100), {400}, 3, 4, Ms(500), 1},
        {"closed 300 ms ago, counted 200 ms", 4, Ms(200), {300}, 3, 4, Ms(400), 1},
        {"closed 1,500 ms ago, at most 1.6 s", 4, Ms(800), {1500}, 3, 4, Ms(1600), 1},
        {"closed 1,550 ms ago, never past 1.6 s", 4, Ms(800), {1550}, 3, 4, Ms(1600), 1},
        {"closed 2 s ago", 4, Ms(100), {2000}, 3, 3, Ms(100), 0},
        {"closed 300 ms ago, counted 1.6 s already: counted still", 4, Ms(1600), {300}, 3, 4,
            Ms(1600), 1},
        {"before any limit, none closed", 0, Ms(100), {}, 2, 2, Ms(100), 0},
        {"before any limit, one closed", 0, Ms(100), {150}, 2, 3, Ms(250), 1},
        {"before any limit, two closed", 0, Ms(100), {150, 150}, 2, 4, Ms(250), 2},
        {"before any limit, three closed: never above what it greeted", 0, Ms(100), {150, 150, 150},
            2, 4, Ms(250), 3},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SourceLimit limit;
        std::uint64_t change = 0;
        if (row.limitBefore != 0) {
            ASSERT_TRUE(limit.turnedAway(row.limitBefore, 4, false, t0, change));
            limit.keep(change);
            for (Ms settled = SourceLimit::settlingAtFirst; settled < row.settlingBefore;
                 settled = limit.settling()) {
                limit.closed(t0);
                ASSERT_TRUE(limit.turnedAway(3, 4, false, t0 + settled, change));
                limit.keep(change);
                ASSERT_EQ(4u, limit.atMost());
            }
        }
        ASSERT_EQ(row.settlingBefore.count(), limit.settling().count());
        const SourceLimit::Clock::time_point at = t0 + Ms(5000);
        for (int ago : row.closedAgoMs)
            limit.closed(at - Ms(ago));
        ASSERT_TRUE(limit.turnedAway(row.besides, 4, false, at, change));
        EXPECT_EQ(row.atMost, limit.atMost());
        EXPECT_EQ(row.settling.count(), limit.settling().count());
        EXPECT_EQ(row.stillCounted, limit.stillCounted(at));
        limit.undo(change);
        EXPECT_EQ(row.limitBefore, limit.atMost());
        EXPECT_EQ(row.settlingBefore.count(), limit.settling().count());
    }
}

// With none of the run's connections open, and none closed so lately that
// the source may count it, a connection turned away shows no limit: before
// one, nor after, nor for a late count.
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

// With no connection turned away for want of room for a second (a late
// count is none), one connection beyond the limit is tried, one at a time;
// a source that takes its session raises the limit, one that turns it away
// makes the next wait twice as long, up to 32 s.
TEST(SourceLimit, AProbeBeyondTheLimitComesAfterAQuietTimeAndRaisesItWhenTaken)
{
    SourceLimit limit;
    EXPECT_EQ(Room::Within, limit.roomFor(50, t0));
    limit.keep(turnedAwayWith(limit, 4));
    EXPECT_EQ(Room::Within, limit.roomFor(3, t0));
    std::uint64_t late = 0;
    limit.closed(t0 + Ms(300));
    ASSERT_TRUE(limit.turnedAway(3, 4, false, t0 + Ms(450), late));
    limit.keep(late);
    ASSERT_EQ(4u, limit.atMost());
    EXPECT_EQ(Room::None, limit.roomFor(4, t0 + Ms(999)));
    EXPECT_EQ(t0 + Ms(1000), limit.nextChange(t0 + Ms(600), Ms(5000)));
    EXPECT_EQ(Room::Probe, limit.roomFor(4, t0 + Ms(1000)));
    EXPECT_EQ(Room::None, limit.roomFor(5, t0 + Ms(1000)));

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
