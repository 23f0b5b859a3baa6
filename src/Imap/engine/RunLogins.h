#pragma once
// A run's own login tests, beside its copy: every account to migrate whose
// login no test has accepted yet is tested on the source (LoginTester) by a
// few threads at once, in list order, while the workers migrate the
// accounts accepted already. A worker takes only an accepted account, and a
// batch makes only accepted accounts on the target (TargetAccounts): an
// account whose login the source refuses is never made there, and is left
// out of the run with its sentence. A source that can't be tested ends every
// test at once and is said once; the accounts not yet tested are then not
// started.
//
// An accepted login's connection is not closed: it is kept, logged in, for
// the worker that takes the account, whose road goes on with it, so that
// an account costs the source one session, as without the test. A few are
// kept at most, ahead of the workers; the tests wait while that many are.
#include "Common/Tools/UsersInformation.h"
#include "Imap/engine/Logger.h"
#include "Imap/engine/LoginTest.h"
#include "Imap/engine/Thread.h"
#include "ssl/StopSignal.h"
#include "tiny/KCondition.h"
#include "tiny/KMutex.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tavir::migration {

class RunLoginTests {
public:
    using Clock = tiny::KCondition::Clock;

    // Tests at once. A test is a connection, its greeting and a LOGIN (one
    // and a half round trips), a small account's road some four more, so
    // six testers keep well ahead of the target's default six workers (as
    // many as twelve did no better), and they fill the connections kept
    // for the workers within a few round trips of the start. See
    // docs/engine.md, "Logins tested beside the copy", for the
    // measurements.
    static constexpr unsigned testersAtOnce = 6;
    // Connections to the source the tests hold at most, kept for the
    // workers and in test together. An accepted account keeps its
    // connection until a worker takes it, and only accepted accounts are
    // made ahead on the target, so this bounds the batches
    // (TargetAccounts::aheadAtLeast): with 40, some 0.1 administration round
    // trips per account, as without the test; with 32, 0.12 to 0.13. With
    // the workers' own that is 46 connections from this computer at most,
    // under half of the 100 a default Dovecot serves at once over TLS (a
    // login process each) and far below its 1,024 sessions; an account
    // never has more than one.
    static constexpr unsigned connectionsHeld = 40;
    // A connection kept this long without a worker to take it (the workers
    // busy with large accounts) is closed, and its account logs in anew when
    // taken: an idle session the source keeps for nothing, which a server's
    // autologout (30 minutes at the least, RFC 3501) or a NAT device's idle
    // time-out (often a few minutes) would end unseen. A small account's
    // connection waits a second or two.
    static constexpr std::chrono::seconds keptAtMost{60};

    RunLoginTests(std::shared_ptr<UsersInformation> users, const ServerAddress& source, bool ssl,
        unsigned timeoutMs = LoginTester::defaultTimeoutMs);
    // Stops and joins whatever still runs; closes what is kept.
    ~RunLoginTests();
    RunLoginTests(const RunLoginTests&) = delete;
    RunLoginTests& operator=(const RunLoginTests&) = delete;

    // Starts as many testers as there are accounts to test, up to
    // testersAtOnce (none when every account was tested before).
    void start();
    // Ends every test at once (the login in hand stays untested) and closes
    // every connection kept, LOGOUT written; one a test accepts later is
    // closed as it comes. Any thread.
    void stop();
    // Waits for every tester to end.
    void join();

    enum class First {
        // An account to migrate was accepted, or none was left to test.
        Ready,
        // Every login tested was refused: nothing to migrate.
        AllRefused,
        SourceFailed,
        Stopped,
    };
    // Waits until the run may go ahead, or the tests have ended without an
    // account it could migrate.
    First waitForTheFirstAccepted();

    // For a worker: the next account accepted (list order), moved to "in
    // progress", with the connection its test logged in with, when one is
    // kept for it (`login`; else no client); while tests may still accept
    // one it waits for them, until `stopped` answers true. False when none
    // is left.
    bool takeNextToMigrate(std::size_t& index, UserInfo& account, SourceLogin& login,
        const std::function<bool()>& stopped);

    // Until the run's header is in the report the tests' sentences are held;
    // this writes them and lets later ones go to the report as they come.
    void releaseSentences();
    // Why the source can't be tested (the report's sentence); empty unless
    // it failed.
    std::wstring sourceFailure() const;

private:
    class Tester;
    // An accepted login's connection, kept since `since`.
    struct Kept {
        SourceLogin login;
        Clock::time_point since;
    };
    using KeptLogins = std::vector<std::pair<std::size_t, SourceLogin>>;

    // A tester's loop: the next account to test until none is left or the
    // tests end.
    void testUntilNoneLeft(Tester& tester);
    // Waits until a test may open a connection (fewer than connectionsHeld
    // kept and in test), closing those kept too long meanwhile; the test is
    // counted in. False when the tests end first.
    bool waitForRoom(Logger& log);
    void record(std::size_t index, LoginVerdict verdict, Logger& log);
    // Keeps an accepted login's connection for its worker, before the
    // account counts as accepted; closes it when the run was stopped.
    void keep(std::size_t index, SourceLogin login);
    // The kept connection of the account at `index`, taken out: none when
    // there is none, or when it was kept too long (closed then).
    SourceLogin takeKept(std::size_t index);
    // Those kept longer than keptAtMost, taken out to be closed.
    KeptLogins takeExpired() TAVIR_REQUIRES(lock_);
    // When the first connection kept now is kept too long.
    Clock::time_point firstExpiry() const TAVIR_REQUIRES(lock_);
    // Closes connections taken out, LOGOUT written (not awaited); with
    // `why`, a debug line for each ("%1%": the account).
    void close(KeptLogins logins, Logger& log, const wchar_t* why) const;
    // The sentence kept in `log` goes to the report now, or is held until
    // the header is there.
    void say(Logger& log);
    // Ends the tests in hand and those to come: their accounts stay
    // untested; the connections kept stay for the workers.
    void endTests();
    // A tester has ended.
    void ended();
    // Something a waiter may wait for has changed.
    void announce() TAVIR_REQUIRES(lock_);
    // Waits until something changed after `seen` (news_), or `deadline`
    // passes; true when something did.
    bool waitForNews(std::uint64_t seen, Clock::time_point deadline) TAVIR_REQUIRES(lock_);

    const std::shared_ptr<UsersInformation> users_;
    const std::shared_ptr<utils::StopSignal> stop_ = std::make_shared<utils::StopSignal>();
    const LoginTester tester_;
    std::vector<std::shared_ptr<Tester>> testers_;

    mutable tiny::KMutex lock_;
    tiny::KCondition changed_;
    // Counted at every change a wait may be for: a verdict, a connection
    // kept or taken, a tester's end, a stop.
    std::uint64_t news_ TAVIR_GUARDED_BY(lock_) = 0;
    unsigned running_ TAVIR_GUARDED_BY(lock_) = 0;
    unsigned refused_ TAVIR_GUARDED_BY(lock_) = 0;
    // Tests in hand: each holds a connection.
    unsigned testing_ TAVIR_GUARDED_BY(lock_) = 0;
    // No test begins any more.
    bool ended_ TAVIR_GUARDED_BY(lock_) = false;
    // stop(): nothing is kept any more either.
    bool stopped_ TAVIR_GUARDED_BY(lock_) = false;
    std::map<std::size_t, Kept> kept_ TAVIR_GUARDED_BY(lock_);
    std::wstring sourceFailure_ TAVIR_GUARDED_BY(lock_);
    bool released_ TAVIR_GUARDED_BY(lock_) = false;
    std::vector<std::string> held_ TAVIR_GUARDED_BY(lock_);
};

} // namespace tavir::migration
