// The run's connections to the source, counted, and the source's limit.
#include "Imap/engine/SourceConnections.h"

#include "Imap/engine/Logger.h"

#include <algorithm>

namespace tavir::migration {

using tiny::KMutexLocker;

// A road's place among those waiting for room, which holds the tests
// back; given up however the wait ends, a throw included.
class SourceConnections::RoadInLine {
public:
    explicit RoadInLine(SourceConnections& owner)
        : owner_(owner)
    {
    }
    ~RoadInLine()
    {
        KMutexLocker hold(owner_.lock_);
        owner_.leaveLine(inLine);
    }
    RoadInLine(const RoadInLine&) = delete;
    RoadInLine& operator=(const RoadInLine&) = delete;

    bool inLine = false;

private:
    SourceConnections& owner_;
};

SourceConnections::Slot::Slot(Slot&& other) noexcept
    : owner_(other.owner_)
    , who_(other.who_)
    , takenUnder_(other.takenUnder_)
    , greeted_(other.greeted_)
    , loggedIn_(other.loggedIn_)
    , probe_(other.probe_)
{
    other.owner_ = nullptr;
}

SourceConnections::Slot& SourceConnections::Slot::operator=(Slot&& other) noexcept
{
    if (this != &other) {
        release();
        owner_ = other.owner_;
        who_ = other.who_;
        takenUnder_ = other.takenUnder_;
        greeted_ = other.greeted_;
        loggedIn_ = other.loggedIn_;
        probe_ = other.probe_;
        other.owner_ = nullptr;
    }
    return *this;
}

void SourceConnections::Slot::greeted()
{
    if (owner_)
        owner_->greeted(*this);
}

void SourceConnections::Slot::notReached()
{
    if (owner_)
        owner_->notReached();
}

void SourceConnections::Slot::loggedIn()
{
    if (owner_)
        owner_->loggedIn(*this);
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

SourceConnections::LimitChange::LimitChange(LimitChange&& other) noexcept
    : owner_(other.owner_)
    , id_(other.id_)
{
    other.owner_ = nullptr;
}

SourceConnections::LimitChange& SourceConnections::LimitChange::operator=(
    LimitChange&& other) noexcept
{
    if (this != &other) {
        keep();
        owner_ = other.owner_;
        id_ = other.id_;
        other.owner_ = nullptr;
    }
    return *this;
}

void SourceConnections::LimitChange::undo()
{
    if (owner_)
        owner_->undo(id_);
    owner_ = nullptr;
}

void SourceConnections::LimitChange::keep()
{
    if (owner_)
        owner_->keep(id_);
    owner_ = nullptr;
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
    RoadInLine line(*this);
    for (;;) {
        // Read before `stopped` is asked: a change after it (a wake() too)
        // ends the wait below.
        const std::uint64_t seen = changesSeen();
        // Asked outside the lock: whoever answers may take locks of its own.
        const bool stop = stopped();
        bool makeRoom = false;
        {
            KMutexLocker hold(lock_);
            if (stop || stopped_)
                return Slot();
            const Clock::time_point now = Clock::now();
            if (Slot slot = take(who, now)) {
                leaveLine(line.inLine);
                return slot;
            }
            if (who == Who::Road && !line.inLine) {
                line.inLine = true;
                ++roadsWaiting_;
            }
            // Unless a connection closed lately makes room soon.
            makeRoom = who == Who::Road && limit_.stillCounted(now) == 0;
        }
        // A road goes before the connections kept ahead of it: one of them
        // is closed to make room (outside the lock, which its slot takes).
        if (makeRoom && giveUpKept_ && giveUpKept_())
            continue;
        // Until there is room, or a stop; or a change that may move when
        // room comes (a connection closed starts to settle), which asks
        // everything again.
        KMutexLocker hold(lock_);
        const Clock::time_point now = Clock::now();
        changed_.waitFor(
            lock_, limit_.nextChange(now, unannouncedStop), [&]() TAVIR_REQUIRES(lock_) {
                return stopped_ || changes_ != seen
                    || roomFor(who, Clock::now()) != SourceLimit::Room::None;
            });
    }
}

void SourceConnections::leaveLine(bool& inLine)
{
    if (!inLine)
        return;
    inLine = false;
    --roadsWaiting_;
    changed();
}

SourceConnections::Slot SourceConnections::take(Who who, Clock::time_point now)
{
    const SourceLimit::Room room = roomFor(who, now);
    if (room == SourceLimit::Room::None)
        return Slot();
    const bool probe = room == SourceLimit::Room::Probe;
    if (probe)
        limit_.probeTaken(now);
    ++open_;
    tests_ += who == Who::Test ? 1 : 0;
    return Slot(this, who, limit_.lastChange(), probe);
}

SourceLimit::Room SourceConnections::roomFor(Who who, Clock::time_point now) const
{
    if (who == Who::Test && (tests_ >= testsAtMost_ || roadsWaiting_ != 0))
        return SourceLimit::Room::None;
    // Before the source has shown a limit, a connection that closed lately
    // keeps no one waiting.
    return limit_.roomFor(open_ + limit_.stillCounted(now), now);
}

void SourceConnections::countOut(const Slot& slot, bool mayStillCount)
{
    --open_;
    tests_ -= slot.who_ == Who::Test ? 1 : 0;
    greetedOpen_ -= slot.greeted_ ? 1 : 0;
    loggedInOpen_ -= slot.loggedIn_ ? 1 : 0;
    if (slot.probe_ && !slot.loggedIn_)
        limit_.probeEnded();
    if (mayStillCount)
        limit_.closed(Clock::now());
    changed();
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
    if (slot.greeted_)
        return;
    slot.greeted_ = true;
    limit_.wentOn(slot.takenUnder_);
    ++greetedOpen_;
    mostGreeted_ = std::max(mostGreeted_, greetedOpen_);
}

void SourceConnections::notReached()
{
    KMutexLocker hold(lock_);
    limit_.wentAway();
    // The limit may be undone: room for those waiting.
    changed();
}

void SourceConnections::loggedIn(Slot& slot)
{
    KMutexLocker hold(lock_);
    if (slot.loggedIn_)
        return;
    slot.loggedIn_ = true;
    ++loggedInOpen_;
    if (slot.probe_)
        limit_.probeEnded();
    // A greeting alone is not enough: some sources turn the connection
    // away at its login.
    limit_.took(loggedInOpen_);
    changed();
}

void SourceConnections::handToRoad(Slot& slot)
{
    KMutexLocker hold(lock_);
    if (slot.who_ == Who::Test) {
        --tests_;
        changed();
    }
    slot.who_ = Who::Road;
}

SourceConnections::TurnedAway SourceConnections::turnedAway(Slot& slot)
{
    KMutexLocker hold(lock_);
    TurnedAway away;
    if (!slot.owner_)
        return away;
    const unsigned besides = open_ - 1;
    // Turned away, it never began: nothing of it lingers on the source.
    countOut(slot, false);
    slot.owner_ = nullptr;
    std::uint64_t change = 0;
    if (!limit_.turnedAway(besides, mostGreeted_, slot.probe_, Clock::now(), change)) {
        away.meaning = mostGreeted_ != 0 ? Meaning::Passing : Meaning::Source;
        return away;
    }
    away.meaning = Meaning::AtLimit;
    away.change.owner_ = this;
    away.change.id_ = change;
    changed();
    return away;
}

void SourceConnections::undo(std::uint64_t change)
{
    KMutexLocker hold(lock_);
    limit_.undo(change);
    changed();
}

void SourceConnections::keep(std::uint64_t change)
{
    KMutexLocker hold(lock_);
    limit_.keep(change);
}

void SourceConnections::pause(std::chrono::milliseconds pause, const std::function<bool()>& stopped)
{
    const Clock::time_point until = Clock::now() + pause;
    for (;;) {
        const std::uint64_t wakes = wakesSeen();
        if (stopped())
            return;
        KMutexLocker hold(lock_);
        const Clock::time_point now = Clock::now();
        if (stopped_ || now >= until)
            return;
        changed_.waitFor(lock_, std::min(until, now + unannouncedStop),
            [&]() TAVIR_REQUIRES(lock_) { return stopped_ || wakes_ != wakes; });
    }
}

unsigned SourceConnections::limit() const
{
    KMutexLocker hold(lock_);
    return limit_.atMost();
}

std::wstring SourceConnections::limitSentence() const
{
    unsigned most = 0;
    {
        KMutexLocker hold(lock_);
        most = limit_.wentOnWith();
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

std::uint64_t SourceConnections::changesSeen() const
{
    KMutexLocker hold(lock_);
    return changes_;
}

std::uint64_t SourceConnections::wakesSeen() const
{
    KMutexLocker hold(lock_);
    return wakes_;
}

void SourceConnections::changed()
{
    ++changes_;
    changed_.notifyAll();
}

void SourceConnections::stop()
{
    KMutexLocker hold(lock_);
    stopped_ = true;
    changed();
}

void SourceConnections::wake()
{
    KMutexLocker hold(lock_);
    ++wakes_;
    changed();
}

} // namespace tavir::migration
