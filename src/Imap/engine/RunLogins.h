#pragma once
// A run's own login tests, beside its copy: every selected account whose
// login no test has accepted yet is tested on the source (LoginCheck) by a
// few threads at once, in list order, while the workers migrate the
// accounts accepted already. A worker takes only an accepted account, and a
// batch makes only accepted accounts on the target (TargetAccounts): an
// account whose login the source refuses is never made there, and is left
// out of the run with its sentence, and one whose login the source could
// not take now fails with its sentence. A source that can't be tested ends
// every test at once and is said once; the accounts not yet tested are then
// not started.
//
// An accepted login's connection is not closed: the pool of kept logins
// (KeptLogins) keeps it, logged in, for the worker that takes the account,
// whose road goes on with it, so that an account costs the source one
// session, as without the test. Every connection of the tests is counted
// with the roads' (SourceConnections), which bounds what the tests hold and
// keeps the run within a source's own limit.
#include "Common/Tools/UsersInformation.h"
#include "Imap/engine/HeldSentences.h"
#include "Imap/engine/KeptLogins.h"
#include "Imap/engine/Logger.h"
#include "Imap/engine/LoginCheck.h"
#include "Imap/engine/LoginVerdicts.h"
#include "Imap/engine/SourceConnections.h"
#include "Imap/engine/Thread.h"
#include "ssl/StopSignal.h"
#include "tiny/KCondition.h"
#include "tiny/KMutex.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tavir::migration {

class RunLogins {
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

    // `connections` counts the run's connections to the source, the
    // roads' too; a road that finds no room there is given one of the
    // connections kept here. Over TLS, a first connection pins what
    // `firstUse` allows.
    RunLogins(std::shared_ptr<UsersInformation> users, const ServerAddress& source, bool ssl,
        const ssl::FirstUse& firstUse, std::shared_ptr<SourceConnections> connections,
        unsigned timeoutMs = LoginCheck::defaultTimeoutMs,
        std::chrono::milliseconds keptAtMost = KeptLogins::defaultKeptAtMost);
    // Stops and joins whatever still runs; closes what is kept.
    ~RunLogins();
    RunLogins(const RunLogins&) = delete;
    RunLogins& operator=(const RunLogins&) = delete;

    // Starts a tester for each selected account not tested yet, up to
    // testersAtOnce (none when every one was tested before).
    void start();
    // Ends every test at once (the login in hand stays untested), closes
    // every connection kept, LOGOUT written (one a test accepts later is
    // closed as it comes), and ends every wait for a connection to the
    // source. Any thread.
    void stop();
    // Waits for every tester to end.
    void join();

    enum class First {
        // An account to migrate was accepted, or none was left to test.
        Ready,
        // No login tested was accepted: each failed, or the source could
        // not take it now. Nothing to migrate.
        NoneAccepted,
        SourceFailed,
        Stopped,
    };
    // Waits until the run may go ahead, or the tests have ended without an
    // account it could migrate.
    First waitForTheFirstAccepted();

    // For a worker: the next account accepted (list order), moved to "in
    // progress", with the connection its test logged in with, when one is
    // kept for it (`login`, its slot now the road's; else no client);
    // while tests may still accept one it waits for them, until `stopped`
    // answers true. False when none is left.
    bool takeNextToMigrate(std::size_t& index, UserInfo& account, SourceLogin& login,
        const std::function<bool()>& stopped);

    // Until the run's header is in the report the tests' sentences are held;
    // this writes them and lets later ones go to the report as they come.
    void releaseSentences();
    // Why the source can't be tested (the report's sentence); empty unless
    // it failed.
    std::wstring sourceFailure() const;
    // When that was a certificate the tests may not pin, its fingerprint
    // (LoginVerdict::unknownCertificate); empty otherwise.
    std::string unknownCertificate() const;

private:
    class Tester;

    // A tester's loop: the next account to test until none is left or the
    // tests end.
    void testUntilNoneLeft(Tester& tester);
    // One account's test on a connection of its own; an accepted login's
    // connection comes back in `kept`. An error of the test's own is the
    // account's failure, with its reason.
    LoginVerdict testOne(const UserInfo& account, Logger& log, SourceLogin& kept);
    void record(std::size_t index, LoginVerdict verdict, SourceLogin kept, Logger& log);
    // Ends the tests in hand and those to come: their accounts stay
    // untested; the connections kept stay for the workers.
    void endTests();
    bool testsEnded() const;
    // A tester has ended.
    void ended();
    // Something a waiter may wait for has changed.
    void announce() TAVIR_REQUIRES(lock_);
    // Waits until something changed after `seen` (news_), or `deadline`
    // passes; true when something did.
    bool waitForNews(std::uint64_t seen, Clock::time_point deadline) TAVIR_REQUIRES(lock_);

    const std::shared_ptr<UsersInformation> users_;
    const std::shared_ptr<SourceConnections> connections_;
    const std::shared_ptr<KeptLogins> kept_;
    const std::shared_ptr<utils::StopSignal> stop_ = std::make_shared<utils::StopSignal>();
    const LoginCheck check_;
    const ssl::FirstUse firstUse_;
    const unsigned timeoutMs_;
    std::vector<std::shared_ptr<Tester>> testers_;
    LoginVerdicts verdicts_;
    HeldSentences held_;

    mutable tiny::KMutex lock_;
    tiny::KCondition changed_;
    // Counted at every change a wait may be for: a verdict, a tester's end,
    // a stop.
    std::uint64_t news_ TAVIR_GUARDED_BY(lock_) = 0;
    unsigned running_ TAVIR_GUARDED_BY(lock_) = 0;
    // Logins tested and not accepted: failed, or not taken now.
    unsigned notAccepted_ TAVIR_GUARDED_BY(lock_) = 0;
    // No test begins any more.
    bool ended_ TAVIR_GUARDED_BY(lock_) = false;
    // stop(): nothing is kept any more either.
    bool stopped_ TAVIR_GUARDED_BY(lock_) = false;
};

} // namespace tavir::migration
