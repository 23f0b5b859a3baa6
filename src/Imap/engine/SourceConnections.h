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
// their number of connections to a server that refuses one more.
#include "tiny/KCondition.h"
#include "tiny/KMutex.h"

#include <chrono>
#include <deque>
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
        // The source greeted the connection: it is reachable.
        void greeted();
        // A test's connection goes to an account's road with its account.
        void handToRoad();
        // The connection was closed: counted out.
        void release();

    private:
        friend class SourceConnections;
        Slot(SourceConnections* owner, Who who)
            : owner_(owner)
            , who_(who)
        {
        }

        SourceConnections* owner_ = nullptr;
        Who who_ = Who::Test;
        bool greeted_ = false;
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
    // Once the source has turned a connection away, one of the run's that
    // closes counts this much longer: its LOGOUT is written, not awaited,
    // and a server counts a connection until the process that served it
    // has ended (Courier's TCP front end counts its children), so a new
    // connection at once would meet the old one still counted.
    static constexpr std::chrono::milliseconds settling{100};

    explicit SourceConnections(unsigned testsAtMost = defaultTestsAtMost);
    SourceConnections(const SourceConnections&) = delete;
    SourceConnections& operator=(const SourceConnections&) = delete;

    // Waits until `who` may open one more connection, and counts it in:
    // fewer than the source's limit held (once it has shown one), and for
    // a test also fewer than the tests' share held, with no road waiting.
    // A road that finds no room gives up a kept connection first
    // (setGiveUpKept). Empty when `stopped` says so or stop() was called;
    // every wait is bounded and looks at `stopped` at least ten times a
    // second. Room comes as connections of the run close, and each of those
    // ends within its own deadlines.
    Slot acquire(Who who, const std::function<bool()>& stopped);

    // What the source turning a connection away means.
    enum class Refusal {
        // Others of the run were open: the source is at its limit, which
        // the run now keeps; the connection waits for room (acquire).
        AtLimit,
        // None was open, but the source has greeted the run before: a
        // passing refusal, tried again after a pause.
        Passing,
        // The source has greeted none of the run's connections: it turns
        // the run away.
        Source,
    };
    // The source turned the connection of `slot` away before a session
    // began: counted out at once (the source counts it no more), and the
    // limit lowered to what was held besides it.
    Refusal refused(Slot& slot);
    // A refusal that lowered the limit from `before` to `lowered` turned
    // out to be one account's own (its login ended twice): the limit is
    // put back, unless another refusal has changed it since.
    void notTheLimit(unsigned before, unsigned lowered);
    // Waits `pause` (for a passing refusal), or less when stopped.
    void pause(std::chrono::milliseconds pause, const std::function<bool()>& stopped);

    // Closes one connection kept for a worker and releases its slot; false
    // when none is kept. Called without this object's lock held.
    void setGiveUpKept(std::function<bool()> giveUpKept);

    // The most connections the source takes from the run at once, once it
    // has turned one away; 0 until then.
    unsigned limit() const;
    // The limit as the report says it ("The source server accepted at most
    // 4 connections at once; the migration went on with 4."); empty without
    // one.
    std::wstring limitSentence() const;
    unsigned open() const;

    // Ends every wait at once, and every one to come.
    void stop();

private:
    bool roomFor(Who who) TAVIR_REQUIRES(lock_);
    // A road that was `waiting` waits no more: the tests may go on.
    void leaveWaiting(bool waiting) TAVIR_REQUIRES(lock_);
    // Forgets the closed connections that no longer count.
    void settle(Clock::time_point now) TAVIR_REQUIRES(lock_);
    void countOut(const Slot& slot, bool mayStillCount) TAVIR_REQUIRES(lock_);
    void release(Slot& slot);
    void greeted(Slot& slot);
    void handToRoad(Slot& slot);
    // The limit a refusal shows, with `besides` of the run's connections
    // open: see refused().
    unsigned limitShown(unsigned besides) TAVIR_REQUIRES(lock_);

    const unsigned testsAtMost_;
    mutable tiny::KMutex lock_;
    tiny::KCondition changed_;
    unsigned open_ TAVIR_GUARDED_BY(lock_) = 0;
    unsigned tests_ TAVIR_GUARDED_BY(lock_) = 0;
    unsigned roadsWaiting_ TAVIR_GUARDED_BY(lock_) = 0;
    unsigned limit_ TAVIR_GUARDED_BY(lock_) = 0;
    // When each connection closed lately stops counting on the source's
    // side, earliest first.
    std::deque<Clock::time_point> settling_ TAVIR_GUARDED_BY(lock_);
    bool everGreeted_ TAVIR_GUARDED_BY(lock_) = false;
    // Connections open that the source greeted, and the most of them at
    // once so far: the source took that many at once.
    unsigned greetedOpen_ TAVIR_GUARDED_BY(lock_) = 0;
    unsigned mostGreeted_ TAVIR_GUARDED_BY(lock_) = 0;
    bool stopped_ TAVIR_GUARDED_BY(lock_) = false;
    std::function<bool()> giveUpKept_;
};

} // namespace tavir::migration
