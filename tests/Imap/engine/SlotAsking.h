#pragma once
// The tests' hold on the run's connections to the source: a connection
// asked for (SourceConnections::acquire) on a thread of its own, for the
// tests of what waits for room: whether it came, and within how long; given
// up at its end, as its caller's stop would be, and said so (wake), so that
// ending it never waits. And the limits the source shows, as the report
// says them.
#include "Imap/engine/SourceConnections.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace tavir::test {

class SlotAsking {
public:
    using Who = migration::SourceConnections::Who;

    SlotAsking(migration::SourceConnections& connections, Who who)
        : connections_(connections)
        , thread_([this, who] {
            slot_ = connections_.acquire(who, [this] { return giveUp_.load(); });
            came_ = true;
        })
    {
    }
    ~SlotAsking()
    {
        giveUp_ = true;
        connections_.wake();
        thread_.join();
    }
    SlotAsking(const SlotAsking&) = delete;
    SlotAsking& operator=(const SlotAsking&) = delete;

    // Waits up to `ms` for it.
    bool cameWithin(int ms) const
    {
        return waitUntil([this] { return came_.load(); }, ms, 5);
    }
    // Once it came.
    migration::SourceConnections::Slot& slot() { return slot_; }

private:
    migration::SourceConnections& connections_;
    std::atomic<bool> giveUp_{false};
    std::atomic<bool> came_{false};
    migration::SourceConnections::Slot slot_;
    std::thread thread_;
};

// Whether a test's connection comes within `ms`: the tests' share and the
// limit leave room, and no road is counted waiting.
inline bool aTestComesWithin(migration::SourceConnections& connections, int ms)
{
    SlotAsking test(connections, SlotAsking::Who::Test);
    return test.cameWithin(ms);
}

// `count` connections of `who`'s, each greeted by the source.
inline std::vector<migration::SourceConnections::Slot> greetedSlots(
    migration::SourceConnections& connections, unsigned count,
    SlotAsking::Who who = SlotAsking::Who::Road)
{
    std::vector<migration::SourceConnections::Slot> slots;
    for (unsigned i = 0; i < count; ++i) {
        slots.push_back(connections.acquire(who, [] { return false; }));
        slots.back().greeted();
    }
    return slots;
}

// The source turns one more connection away, and the run is capped at
// `limit`.
inline void turnOneMoreAway(migration::SourceConnections& connections, unsigned limit)
{
    migration::SourceConnections::Slot away
        = connections.acquire(SlotAsking::Who::Road, [] { return false; });
    ASSERT_EQ(migration::SourceConnections::Meaning::AtLimit, connections.turnedAway(away).meaning);
    ASSERT_EQ(limit, connections.limit());
}

// The report's sentence for a limit of `n`.
inline std::wstring limitSaid(unsigned n)
{
    const std::wstring figure = std::to_wstring(n);
    return L"The source server accepted at most " + figure
        + (n == 1 ? L" connection" : L" connections") + L" at once; the migration went on with "
        + figure + L".";
}

} // namespace tavir::test
