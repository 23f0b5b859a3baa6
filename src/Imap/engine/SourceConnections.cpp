// The run's connections to the source, counted, and the source's limit.
#include "Imap/engine/SourceConnections.h"

#include "Imap/engine/Logger.h"

#include <algorithm>

namespace tavir::migration {

using tiny::KMutexLocker;

namespace {

// How long a wait for room lasts at most before the waiter looks at its
// stop again.
constexpr std::chrono::milliseconds lookAgain{100};

} // namespace

SourceConnections::Slot::Slot(Slot&& other) noexcept
    : owner_(other.owner_)
    , who_(other.who_)
    , greeted_(other.greeted_)
{
    other.owner_ = nullptr;
}

SourceConnections::Slot& SourceConnections::Slot::operator=(Slot&& other) noexcept
{
    if (this != &other) {
        release();
        owner_ = other.owner_;
        who_ = other.who_;
        greeted_ = other.greeted_;
        other.owner_ = nullptr;
    }
    return *this;
}

void SourceConnections::Slot::greeted()
{
    if (owner_)
        owner_->greeted(*this);
}

void SourceConnections::Slot::handToRoad()
{
    if (owner_)
        owner_->handToRoad(*this);
}

void SourceConnections::Slot::release()
{
    if (owner_)
        owner_->release(*this);
}

SourceConnections::SourceConnections(unsigned testsAtMost)
    : testsAtMost_(std::max(1u, testsAtMost))
{
}

void SourceConnections::setGiveUpKept(std::function<bool()> giveUpKept)
{
    giveUpKept_ = std::move(giveUpKept);
}

SourceConnections::Slot SourceConnections::acquire(Who who, const std::function<bool()>& stopped)
{
    // A road waiting holds the tests back until it has its connection.
    bool waiting = false;
    for (;;) {
        // Asked outside the lock: whoever answers may take locks of its own.
        const bool stop = stopped();
        bool makeRoom = false;
        {
            KMutexLocker hold(lock_);
            if (stop || stopped_) {
                leaveWaiting(waiting);
                return Slot();
            }
            if (roomFor(who)) {
                leaveWaiting(waiting);
                ++open_;
                tests_ += who == Who::Test ? 1 : 0;
                return Slot(this, who);
            }
            if (who == Who::Road && !waiting) {
                waiting = true;
                ++roadsWaiting_;
            }
            // Unless a connection closed lately makes room soon.
            makeRoom = who == Who::Road && settling_.empty();
        }
        // A road goes before the connections kept ahead of it: one of them
        // is closed to make room (outside the lock, which its slot takes).
        if (makeRoom && giveUpKept_ && giveUpKept_())
            continue;
        KMutexLocker hold(lock_);
        Clock::time_point deadline = Clock::now() + lookAgain;
        if (limit_ != 0 && !settling_.empty())
            deadline = std::min(deadline, settling_.front());
        if (!roomFor(who))
            changed_.waitUntil(lock_, deadline, stopped_);
    }
}

void SourceConnections::leaveWaiting(bool waiting)
{
    if (waiting) {
        --roadsWaiting_;
        changed_.notifyAll();
    }
}

bool SourceConnections::roomFor(Who who)
{
    settle(Clock::now());
    // Before the source has shown a limit, a connection that closed lately
    // keeps no one waiting.
    if (limit_ != 0 && open_ + settling_.size() >= limit_)
        return false;
    return who == Who::Road || (tests_ < testsAtMost_ && roadsWaiting_ == 0);
}

void SourceConnections::settle(Clock::time_point now)
{
    while (!settling_.empty() && settling_.front() <= now)
        settling_.pop_front();
}

void SourceConnections::countOut(const Slot& slot, bool mayStillCount)
{
    --open_;
    tests_ -= slot.who_ == Who::Test ? 1 : 0;
    greetedOpen_ -= slot.greeted_ ? 1 : 0;
    if (mayStillCount)
        settling_.push_back(Clock::now() + settling);
    changed_.notifyAll();
}

void SourceConnections::release(Slot& slot)
{
    KMutexLocker hold(lock_);
    countOut(slot, true);
    slot.owner_ = nullptr;
}

void SourceConnections::greeted(Slot& slot)
{
    KMutexLocker hold(lock_);
    everGreeted_ = true;
    if (slot.greeted_)
        return;
    slot.greeted_ = true;
    ++greetedOpen_;
    mostGreeted_ = std::max(mostGreeted_, greetedOpen_);
}

void SourceConnections::handToRoad(Slot& slot)
{
    KMutexLocker hold(lock_);
    if (slot.who_ == Who::Test) {
        --tests_;
        changed_.notifyAll();
    }
    slot.who_ = Who::Road;
}

SourceConnections::Refusal SourceConnections::refused(Slot& slot)
{
    KMutexLocker hold(lock_);
    if (!slot.owner_)
        return Refusal::Passing;
    settle(Clock::now());
    const unsigned besides = open_ - 1;
    // Turned away, it never began: nothing of it lingers on the source.
    countOut(slot, false);
    slot.owner_ = nullptr;
    if (besides == 0 && settling_.empty())
        return everGreeted_ ? Refusal::Passing : Refusal::Source;
    const unsigned shown = limitShown(besides);
    limit_ = limit_ == 0 ? shown : std::min(limit_, shown);
    changed_.notifyAll();
    return Refusal::AtLimit;
}

unsigned SourceConnections::limitShown(unsigned besides)
{
    // The source counted the run's connections open, and perhaps some that
    // closed so lately that it counts them still: it takes fewer than
    // those together. It took as many as it ever greeted at once, though,
    // so a connection it still counted after it closed lowers the figure
    // no further; nor do those still waiting for their greeting, which it
    // may turn away as well (a later refusal then lowers the figure).
    const unsigned upper = besides + static_cast<unsigned>(settling_.size());
    return std::max(1u, std::min(upper, std::max(mostGreeted_, besides)));
}

void SourceConnections::notTheLimit(unsigned before, unsigned lowered)
{
    KMutexLocker hold(lock_);
    if (limit_ == lowered && before != lowered) {
        limit_ = before;
        changed_.notifyAll();
    }
}

void SourceConnections::pause(std::chrono::milliseconds pause, const std::function<bool()>& stopped)
{
    const Clock::time_point until = Clock::now() + pause;
    while (!stopped() && Clock::now() < until) {
        KMutexLocker hold(lock_);
        if (changed_.waitUntil(lock_, std::min(until, Clock::now() + lookAgain), stopped_))
            return;
    }
}

unsigned SourceConnections::limit() const
{
    KMutexLocker hold(lock_);
    return limit_;
}

std::wstring SourceConnections::limitSentence() const
{
    unsigned most = 0;
    {
        KMutexLocker hold(lock_);
        // A source that greeted none of the run's connections showed no
        // limit: it turned the run away.
        most = everGreeted_ ? limit_ : 0;
    }
    if (most == 0)
        return std::wstring();
    return sentence(L"The source server accepted at most %1% connection%2% at once; the migration "
                    L"went on with %1%.",
        most, most == 1 ? L"" : L"s");
}

unsigned SourceConnections::open() const
{
    KMutexLocker hold(lock_);
    return open_;
}

void SourceConnections::stop()
{
    KMutexLocker hold(lock_);
    stopped_ = true;
    changed_.notifyAll();
}

} // namespace tavir::migration
