// A run's login tests, a few at once, ahead of its workers.
#include "Imap/engine/RunLogins.h"

#include <algorithm>

namespace tavir::migration {

using tiny::KMutexLocker;

namespace {

// How long a wait for news lasts at most before its caller looks again.
constexpr std::chrono::milliseconds lookAgain{100};

} // namespace

class RunLogins::Tester : public Thread {
public:
    Tester(RunLogins& logins, unsigned number)
        : Thread(L"login tester " + std::to_wstring(number))
        , logins_(logins)
    {
    }
    void execute() override { logins_.testUntilNoneLeft(*this); }

    // The account in hand, for recover(); this thread's only.
    static constexpr std::size_t noAccount = static_cast<std::size_t>(-1);
    std::size_t inHand = noAccount;

protected:
    // What broke outside an account's test: the account in hand stays
    // untested, and the other testers go on.
    void recover(const std::wstring& sentence) override
    {
        Thread::recover(sentence);
        if (inHand != noAccount)
            logins_.users_->setTestStatus(inHand, TestNotTested);
        logins_.ended();
    }

private:
    RunLogins& logins_;
};

RunLogins::RunLogins(std::shared_ptr<UsersInformation> users, const ServerAddress& source, bool ssl,
    const ssl::FirstUse& firstUse, std::shared_ptr<SourceConnections> connections,
    unsigned timeoutMs, std::chrono::milliseconds keptAtMost)
    : users_(std::move(users))
    , connections_(std::move(connections))
    , kept_(std::make_shared<KeptLogins>(keptAtMost))
    , check_(source, ssl, *connections_, SourceConnections::Who::Test)
    , firstUse_(firstUse)
    , timeoutMs_(timeoutMs)
    , verdicts_(users_, LoginVerdicts::Tests::Run)
{
    // A road that finds no room at the source closes a kept connection
    // first; the pool may go before the count does.
    connections_->setGiveUpKept([pool = std::weak_ptr<KeptLogins>(kept_)] {
        const std::shared_ptr<KeptLogins> kept = pool.lock();
        return kept && kept->giveUpOne();
    });
}

RunLogins::~RunLogins()
{
    stop();
    join();
}

void RunLogins::start()
{
    // The selected accounts alone: one not selected is never tested.
    const std::size_t untested = users_->untestedToMigrate();
    const auto wanted = static_cast<unsigned>(std::min<std::size_t>(untested, testersAtOnce));
    for (unsigned i = 1; i <= wanted; ++i)
        testers_.push_back(std::make_shared<Tester>(*this, i));
    KMutexLocker hold(lock_);
    for (const auto& tester : testers_) {
        // A tester not started leaves its share to the others.
        if (tester->guardedStart(ThreadRunner<Tester>::startPoint))
            ++running_;
    }
}

void RunLogins::stop()
{
    {
        KMutexLocker hold(lock_);
        ended_ = true;
        stopped_ = true;
        announce();
    }
    stop_->raise();
    kept_->close();
    connections_->stop();
}

void RunLogins::endTests()
{
    {
        KMutexLocker hold(lock_);
        ended_ = true;
        announce();
    }
    stop_->raise();
    // A test waiting for a connection asks testsEnded() again.
    connections_->wake();
}

bool RunLogins::testsEnded() const
{
    KMutexLocker hold(lock_);
    return ended_;
}

void RunLogins::join()
{
    for (const auto& tester : testers_)
        tester->join();
}

void RunLogins::testUntilNoneLeft(Tester& tester)
{
    Logger log;
    std::size_t index = 0;
    UserInfo account;
    while (!testsEnded() && users_->takeNextToTest(index, account)) {
        tester.inHand = index;
        SourceLogin kept;
        LoginVerdict verdict = testOne(account, log, kept);
        record(index, std::move(verdict), std::move(kept), log);
        tester.inHand = Tester::noAccount;
    }
    ended();
}

LoginVerdict RunLogins::testOne(const UserInfo& account, Logger& log, SourceLogin& kept)
{
    auto client = std::make_unique<mail::SimpleImapClient>();
    client->setReadTimeoutMs(timeoutMs_);
    client->setStopSignal(stop_);
    // A source's connection, which an account's road may go on with.
    client->getConnection().setWritesBodies(false);
    client->getConnection().setFirstUse(firstUse_);
    LoginVerdict verdict = check_.test(account, *client, log, [this] { return testsEnded(); });
    if (verdict.kind == LoginVerdict::Accepted)
        kept = SourceLogin{std::move(verdict.slot), std::move(client), verdict.user};
    else
        client->disconnect(true);
    return verdict;
}

void RunLogins::record(std::size_t index, LoginVerdict verdict, SourceLogin kept, Logger& log)
{
    // Kept first, so that the worker that takes the account finds it.
    if (verdict.kind == LoginVerdict::Accepted)
        kept_->keep(index, std::move(kept));
    verdicts_.record(index, verdict, log);
    // What the test said, whatever its verdict: the refusal, the source's
    // failure, how the source's certificate was trusted (said by the first
    // test that met it, an accepted one too). Held until the run's header is
    // in the report.
    held_.say(log);
    // Every other login would meet the same server; the accounts accepted
    // by then are migrated.
    if (verdict.kind == LoginVerdict::SourceFailed)
        endTests();
    KMutexLocker hold(lock_);
    notAccepted_
        += verdict.kind == LoginVerdict::Failed || verdict.kind == LoginVerdict::NotNow ? 1 : 0;
    announce();
}

void RunLogins::ended()
{
    KMutexLocker hold(lock_);
    if (running_ != 0)
        --running_;
    announce();
}

void RunLogins::releaseSentences()
{
    held_.release();
}

std::wstring RunLogins::sourceFailure() const
{
    return verdicts_.sourceFailure();
}

std::string RunLogins::unknownCertificate() const
{
    return verdicts_.unknownCertificate();
}

void RunLogins::announce()
{
    ++news_;
    changed_.notifyAll();
}

bool RunLogins::waitForNews(std::uint64_t seen, Clock::time_point deadline)
{
    return changed_.waitForChange(lock_, deadline, news_, seen);
}

RunLogins::First RunLogins::waitForTheFirstAccepted()
{
    for (;;) {
        std::uint64_t seen = 0;
        {
            KMutexLocker hold(lock_);
            seen = news_;
        }
        const bool accepted = users_->hasAcceptedToMigrate();
        const bool sourceFailed = !sourceFailure().empty();
        KMutexLocker hold(lock_);
        if (accepted)
            return First::Ready;
        if (sourceFailed)
            return First::SourceFailed;
        if (stopped_)
            return First::Stopped;
        if (running_ == 0)
            return notAccepted_ != 0 ? First::NoneAccepted : First::Ready;
        waitForNews(seen, Clock::now() + lookAgain);
    }
}

bool RunLogins::takeNextToMigrate(
    std::size_t& index, UserInfo& account, SourceLogin& login, const std::function<bool()>& stopped)
{
    for (;;) {
        std::uint64_t seen = 0;
        {
            KMutexLocker hold(lock_);
            seen = news_;
        }
        if (users_->takeNextToMigrate(index, account)) {
            login = kept_->take(index);
            return true;
        }
        if (stopped())
            return false;
        KMutexLocker hold(lock_);
        if (running_ == 0 && news_ == seen)
            return false;
        // A worker's stop is not news here: it is looked at again at least
        // this often.
        waitForNews(seen, Clock::now() + lookAgain);
    }
}

} // namespace tavir::migration
