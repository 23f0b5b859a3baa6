#pragma once
// The connections a run holds to the source, counted in one place: those
// in a login test, those the tests keep logged in for the workers, and the
// accounts' roads (the wizard's test of the accounts counts its own the
// same way). A source that turns a new connection away (closes it before
// its greeting, greets it with BYE, ends it at its login) while others of
// the run are open is at its limit: the run then holds no more than were
// open, and the connection is asked for again once one of them has
// closed. Hosting servers cap the connections of one client address
// (Courier's own default is 4), as desktop mail clients know, which lower
// their number of connections to a server that turns one more away. The
// limit lives here alone (SourceLimit): each connection turned away
// changes it by a change it can undo, it rises again when the source takes
// more, and it is said only once the source went on after it (a source
// going away turns connections away too).
#include "Imap/engine/SourceLimit.h"
#include "tiny/KCondition.h"
#include "tiny/KMutex.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace tavir::migration {

class SourceConnections {
public:
    using Clock = tiny::KCondition::Clock;

    // Whose connection: a login test's (kept for a worker too), or an
    // account's road. A road goes first: the tests only work ahead of it.
    enum class Who { Test, Road };

    // One connection counted in, until it is released (or its slot goes).
    // Any thread may release it; it is moved, not copied.
    class Slot {
    public:
        Slot() = default;
        Slot(Slot&& other) noexcept;
        Slot& operator=(Slot&& other) noexcept;
        ~Slot() { release(); }
        Slot(const Slot&) = delete;
        Slot& operator=(const Slot&) = delete;

        explicit operator bool() const { return owner_ != nullptr; }
        // The source greeted the connection: it is reachable, and it went
        // on after the connections turned away before this one was taken
        // (SourceLimit::wentOn).
        void greeted();
        // The connection never reached the source (refused, no route, no
        // greeting in time): the source is not there as it was, and the
        // connections turned away since it last went on showed it going
        // away, not its limit (SourceLimit::wentAway).
        void notReached();
        // The source accepted the login on it: it took the session. More
        // sessions at once than the limit raise the limit.
        void loggedIn();
        // A test's connection goes to an account's road with its account.
        void handToRoad();
        // The connection was closed: counted out.
        void release();

    private:
        friend class SourceConnections;
        Slot(SourceConnections* owner, Who who, std::uint64_t takenUnder, bool probe)
            : owner_(owner)
            , who_(who)
            , takenUnder_(takenUnder)
            , probe_(probe)
        {
        }

        SourceConnections* owner_ = nullptr;
        Who who_ = Who::Test;
        // The latest change to the limit when it was taken.
        std::uint64_t takenUnder_ = 0;
        bool greeted_ = false;
        bool loggedIn_ = false;
        // Taken beyond the limit, to see whether the source takes one more.
        bool probe_ = false;
    };

    // The change one connection turned away made to the source's limit:
    // kept when it goes, unless undone first. Undone, the limit is as if
    // that connection had not been turned away, whatever other changes
    // came before or after it. It is moved, not copied.
    class LimitChange {
    public:
        LimitChange() = default;
        LimitChange(LimitChange&& other) noexcept;
        LimitChange& operator=(LimitChange&& other) noexcept;
        ~LimitChange() { keep(); }
        LimitChange(const LimitChange&) = delete;
        LimitChange& operator=(const LimitChange&) = delete;

        // The connection turned away told nothing of the source: it was
        // the account's own (its login ended twice).
        void undo();

    private:
        friend class SourceConnections;
        void keep();

        SourceConnections* owner_ = nullptr;
        std::uint64_t id_ = 0;
    };

    // Connections the tests hold at most, in test and kept for the
    // workers together. An accepted account keeps its connection until a
    // worker takes it, and only accepted accounts are made ahead on the
    // target, so this bounds the batches (TargetAccounts::aheadAtLeast):
    // with 40, some 0.1 administration round trips per account, as
    // without the tests; with 32, 0.12 to 0.13. With the workers' own that
    // is 46 connections from this computer at most, under half of the 100
    // a default Dovecot serves at once over TLS (a login process each) and
    // far below its 1,024 sessions; an account never has more than one.
    static constexpr unsigned defaultTestsAtMost = 40;
    // A wait looks at its caller's own stop at least this often, should
    // the caller raise it without saying so here (wake): every caller in
    // this tree says so, and its waiters end at once; this bounds what one
    // that forgets would cost.
    static constexpr std::chrono::milliseconds unannouncedStop{1000};

    explicit SourceConnections(unsigned testsAtMost = defaultTestsAtMost);
    SourceConnections(const SourceConnections&) = delete;
    SourceConnections& operator=(const SourceConnections&) = delete;

    // Waits until `who` may open one more connection, and counts it in:
    // fewer than the source's limit held (once it has shown one), and for
    // a test also fewer than the tests' share held, with no road waiting.
    // A road that finds no room gives up a kept connection first
    // (setGiveUpKept). Empty when `stopped` says so or stop() was called.
    // The wait ends when room comes (a connection of the run closes, a
    // kept one is given up, a road stops waiting, a closed one stops
    // counting on the source), and at once on stop() or wake(); room comes
    // as connections of the run close, and each of those ends within its
    // own deadlines. Whatever `stopped` or the kept connection given up
    // throws goes to the caller, every count as it was.
    Slot acquire(Who who, const std::function<bool()>& stopped);

    // What a connection turned away says of the source.
    enum class Meaning {
        // Others of the run were held: the source is at its limit, which
        // the run now keeps; the connection waits for room (acquire).
        AtLimit,
        // None was held, but the source has greeted the run before: turned
        // away in passing, tried again after a pause.
        Passing,
        // The source has greeted none of the run's connections: it turns
        // the run away.
        Source,
    };
    struct TurnedAway {
        Meaning meaning = Meaning::Passing;
        // What it did to the limit (AtLimit), to undo should it prove the
        // account's own.
        LimitChange change;
    };
    // The source turned the connection of `slot` away before a session
    // began (any way it does): counted out at once (the source counts it no
    // more), and what it shows of the limit in force (SourceLimit): at most
    // what was held besides it, unless a late count explains it.
    TurnedAway turnedAway(Slot& slot);
    // Waits `pause` (for a connection turned away in passing), or less
    // when stopped (stop(), or wake() with `stopped` saying so).
    void pause(std::chrono::milliseconds pause, const std::function<bool()>& stopped);

    // Closes one connection kept for a worker and releases its slot; false
    // when none is kept. Called without this object's lock held.
    void setGiveUpKept(std::function<bool()> giveUpKept);

    // The most connections the source takes from the run at once, once it
    // has turned one away; 0 until then.
    unsigned limit() const;
    // The limit as the report says it ("The source server accepted at most
    // 4 connections at once; the migration went on with 4."), once the
    // source went on under it (SourceLimit::wentOnWith); empty without one.
    std::wstring limitSentence() const;
    unsigned open() const;

    // Ends every wait at once, and every one to come.
    void stop();
    // A caller's own stop was raised: every wait asks its `stopped` again
    // at once.
    void wake();

private:
    class RoadInLine;

    // A road in line for room (`inLine`) waits no more: the tests may go on.
    void leaveLine(bool& inLine) TAVIR_REQUIRES(lock_);
    // Counts one connection of `who`'s in when there is room now.
    Slot take(Who who, Clock::time_point now) TAVIR_REQUIRES(lock_);
    SourceLimit::Room roomFor(Who who, Clock::time_point now) const TAVIR_REQUIRES(lock_);
    void countOut(const Slot& slot, bool mayStillCount) TAVIR_REQUIRES(lock_);
    void release(Slot& slot);
    void greeted(Slot& slot);
    void notReached();
    void loggedIn(Slot& slot);
    void handToRoad(Slot& slot);
    void undo(std::uint64_t change);
    void keep(std::uint64_t change);
    std::uint64_t changesSeen() const;
    std::uint64_t wakesSeen() const;
    // A change that waiters may wait for.
    void changed() TAVIR_REQUIRES(lock_);

    const unsigned testsAtMost_;
    mutable tiny::KMutex lock_;
    tiny::KCondition changed_;
    unsigned open_ TAVIR_GUARDED_BY(lock_) = 0;
    unsigned tests_ TAVIR_GUARDED_BY(lock_) = 0;
    unsigned roadsWaiting_ TAVIR_GUARDED_BY(lock_) = 0;
    SourceLimit limit_ TAVIR_GUARDED_BY(lock_);
    // Connections open that the source greeted, and the most of them at
    // once so far: the source took that many at once (0: it never greeted
    // one of the run's).
    unsigned greetedOpen_ TAVIR_GUARDED_BY(lock_) = 0;
    unsigned mostGreeted_ TAVIR_GUARDED_BY(lock_) = 0;
    // Connections open whose login the source accepted.
    unsigned loggedInOpen_ TAVIR_GUARDED_BY(lock_) = 0;
    // Counted at every change a wait may be for (changed()), and at every
    // wake(): a wait that began before either ends.
    std::uint64_t changes_ TAVIR_GUARDED_BY(lock_) = 0;
    std::uint64_t wakes_ TAVIR_GUARDED_BY(lock_) = 0;
    bool stopped_ TAVIR_GUARDED_BY(lock_) = false;
    std::function<bool()> giveUpKept_;
};

} // namespace tavir::migration
