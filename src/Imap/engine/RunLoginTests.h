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
#include "Common/Tools/UsersInformation.h"
#include "Imap/engine/Logger.h"
#include "Imap/engine/LoginTest.h"
#include "Imap/engine/Thread.h"
#include "ssl/StopSignal.h"
#include "tiny/KMutex.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tavir::migration {

class RunLoginTests {
public:
    // Connections to the source at once for the tests. A test is the
    // source's whole cost of a small account's road over again (a
    // connection, its greeting and a login: the server starts a session
    // for it, then LOGOUT), so as many testers as the target's default six
    // workers only kept pace with them: measured with 500 accounts of three
    // messages at a 10 ms round trip, the workers waited for the tests and
    // the run took 12 to 23 s. Twice as many keep well ahead (the 500
    // tests were done after 5 to 8 s) and fill the batches of accounts
    // made ahead. More would crowd the source with sessions the workers
    // can't use yet: with the six workers' own that is 18 connections from
    // this computer at most, well within what servers allow one client. An
    // account never has two: its test's connection is closed before a
    // worker can take it.
    static constexpr unsigned connectionsAtOnce = 12;

    RunLoginTests(std::shared_ptr<UsersInformation> users, const ServerAddress& source, bool ssl,
        unsigned timeoutMs = LoginTester::defaultTimeoutMs);
    // Stops and joins whatever still runs.
    ~RunLoginTests();
    RunLoginTests(const RunLoginTests&) = delete;
    RunLoginTests& operator=(const RunLoginTests&) = delete;

    // Starts as many testers as there are accounts to test, up to
    // connectionsAtOnce (none when every account was tested before).
    void start();
    // Ends every test at once: the login in hand stays untested. Any thread.
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
    // progress"; while tests may still accept one it waits for them, until
    // `stopped` answers true. False when none is left.
    bool takeNextToMigrate(
        std::size_t& index, UserInfo& account, const std::function<bool()>& stopped);

    // Until the run's header is in the report the tests' sentences are held;
    // this writes them and lets later ones go to the report as they come.
    void releaseSentences();
    // Why the source can't be tested (the report's sentence); empty unless
    // it failed.
    std::wstring sourceFailure() const;

private:
    class Tester;
    // A tester's loop: the next account to test until none is left or the
    // tests end.
    void testUntilNoneLeft(Tester& tester);
    void record(std::size_t index, const LoginVerdict& verdict, Logger& log);
    // The sentence kept in `log` goes to the report now, or is held until
    // the header is there.
    void say(Logger& log);
    // A tester has ended.
    void ended();
    void changed();

    const std::shared_ptr<UsersInformation> users_;
    const std::shared_ptr<utils::StopSignal> stop_ = std::make_shared<utils::StopSignal>();
    const LoginTester tester_;
    std::vector<std::shared_ptr<Tester>> testers_;

    mutable std::mutex lock_;
    std::condition_variable changed_;
    // Counted at every verdict and a tester's end, for waits to see news.
    std::uint64_t news_ = 0;
    unsigned running_ = 0;
    unsigned refused_ = 0;
    bool stopped_ = false;
    std::wstring sourceFailure_;
    bool released_ = false;
    std::vector<std::string> held_;
};

} // namespace tavir::migration
