#pragma once
// A connection to the source asked for (SourceConnections::acquire) on a
// thread of its own, for the tests of what waits for room: whether it came,
// and within how long. Given up at its end, as its caller's stop would be,
// and said so (wake), so that ending it never waits.
#include "Imap/engine/SourceConnections.h"

#include <atomic>
#include <chrono>
#include <thread>

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
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (!came_ && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return came_;
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

} // namespace tavir::test
