#pragma once
// The logged-in connections a run's login tests keep for the workers, one
// per accepted account until the worker that takes the account takes its
// connection too (its road goes on with it, so that an account costs the
// source one session). The pool owns its clock: a thread of its own closes
// a connection kept longer than keptAtMost, whether tests still run or
// not. It gives one up for a road that finds no room at the source, and
// closes them all at once when the run ends or stops.
#include "Imap/engine/LoginCheck.h"
#include "Imap/engine/Thread.h"
#include "tiny/KCondition.h"
#include "tiny/KMutex.h"

#include <chrono>
#include <cstddef>
#include <map>
#include <memory>
#include <vector>

namespace tavir::migration {

class KeptLogins {
public:
    using Clock = tiny::KCondition::Clock;

    // A connection kept this long without a worker to take it (the workers
    // busy with large accounts) is closed, and its account logs in anew
    // when taken: an idle session the source keeps for nothing, which a
    // server's autologout (30 minutes at the least, RFC 3501) or a NAT
    // device's idle time-out (often a few minutes) would end unseen. A
    // small account's connection waits a second or two.
    static constexpr std::chrono::milliseconds defaultKeptAtMost{60000};

    explicit KeptLogins(std::chrono::milliseconds keptAtMost = defaultKeptAtMost);
    // Closes what is kept and joins the clock's thread.
    ~KeptLogins();
    KeptLogins(const KeptLogins&) = delete;
    KeptLogins& operator=(const KeptLogins&) = delete;

    // Keeps the connection of the account at `index` (list order), logged
    // in; closed at once once the pool is closed. It waits for nothing
    // while kept: its stop signal is taken away, and whoever takes it sets
    // their own.
    void keep(std::size_t index, SourceLogin login);
    // The connection kept for the account at `index`, handed over with
    // its slot, now a road's (out of the tests' share); none when there is
    // none.
    SourceLogin take(std::size_t index);
    // Closes the connection kept for the account furthest down the list,
    // which a worker would take last; false when none is kept.
    bool giveUpOne();
    // Closes every connection kept (LOGOUT written, not awaited) and every
    // one kept from now on; ends the clock's thread.
    void close();
    std::size_t size() const;

private:
    class Clockwork;
    struct Kept {
        SourceLogin login;
        Clock::time_point since;
    };
    using Taken = std::vector<SourceLogin>;

    // The clock's thread: closes what was kept too long as it comes, until
    // the pool is closed.
    void expireUntilClosed();
    Taken takeExpired(Clock::time_point now) TAVIR_REQUIRES(lock_);
    // The connection kept at `at`, out of the pool.
    SourceLogin takeOut(std::map<std::size_t, Kept>::iterator at) TAVIR_REQUIRES(lock_);
    Clock::time_point firstExpiry() const TAVIR_REQUIRES(lock_);
    bool oneExpired(Clock::time_point now) const TAVIR_REQUIRES(lock_);
    // Closes connections taken out, LOGOUT written (not awaited); with
    // `why`, a debug line for each ("%1%": the name it logged in as).
    static void closeAll(Taken logins, const wchar_t* why);
    // Closes one connection, LOGOUT written, then gives its slot back;
    // false when it holds none.
    static bool closeOne(SourceLogin& login);

    const std::chrono::milliseconds keptAtMost_;
    mutable tiny::KMutex lock_;
    tiny::KCondition changed_;
    std::map<std::size_t, Kept> kept_ TAVIR_GUARDED_BY(lock_);
    bool closed_ TAVIR_GUARDED_BY(lock_) = false;
    std::shared_ptr<Clockwork> clockwork_;
};

} // namespace tavir::migration
