// A run's login tests, a few at once, ahead of its workers, and the
// connections they keep for them.
#include "Imap/engine/RunLoginTests.h"

#include <algorithm>

namespace tavir::migration {

using tiny::KMutexLocker;

namespace {

// How long a wait for news lasts at most before its caller looks again.
constexpr std::chrono::milliseconds lookAgain{100};

const wchar_t* const keptTooLong
    = L"The login test's connection of %1% waited for a worker longer than it may and was "
      L"closed; the account logs in anew when it is migrated.";

} // namespace

class RunLoginTests::Tester : public Thread {
public:
    Tester(RunLoginTests& tests, unsigned number)
        : Thread(L"login tester " + std::to_wstring(number))
        , tests_(tests)
    {
    }
    void execute() override { tests_.testUntilNoneLeft(*this); }

    // The account in hand, for recover(); this thread's only.
    static constexpr std::size_t noAccount = static_cast<std::size_t>(-1);
    std::size_t inHand = noAccount;

protected:
    // The account in hand stays untested, and the tests end: what broke
    // one would break the next.
    void recover(const std::wstring& sentence) override
    {
        Thread::recover(sentence);
        if (inHand != noAccount)
            tests_.users_->setTestStatus(inHand, TestNotTested);
        tests_.stop();
        tests_.ended();
    }

private:
    RunLoginTests& tests_;
};

RunLoginTests::RunLoginTests(std::shared_ptr<UsersInformation> users, const ServerAddress& source,
    bool ssl, unsigned timeoutMs)
    : users_(std::move(users))
    , tester_(source, ssl, stop_, timeoutMs)
{
}

RunLoginTests::~RunLoginTests()
{
    stop();
    join();
}

void RunLoginTests::start()
{
    MigrationStatus status;
    users_->fillStatus(status);
    // Accounts to migrate that no test has ended for (a few more when some
    // are not selected: a tester then only finds nothing left).
    const unsigned untested = status.selectedAccounts
        - std::min(status.selectedAccounts, status.loginsTested - status.loginsRefused);
    const unsigned wanted = std::min(untested, testersAtOnce);
    for (unsigned i = 1; i <= wanted; ++i)
        testers_.push_back(std::make_shared<Tester>(*this, i));
    KMutexLocker hold(lock_);
    for (const auto& tester : testers_) {
        // A tester not started leaves its share to the others.
        if (tester->guardedStart(ThreadRunner<Tester>::startPoint))
            ++running_;
    }
}

void RunLoginTests::stop()
{
    KeptLogins closing;
    {
        KMutexLocker hold(lock_);
        ended_ = true;
        stopped_ = true;
        for (auto& [index, kept] : kept_)
            closing.emplace_back(index, std::move(kept.login));
        kept_.clear();
        announce();
    }
    stop_->raise();
    Logger log;
    close(std::move(closing), log, nullptr);
}

void RunLoginTests::endTests()
{
    {
        KMutexLocker hold(lock_);
        ended_ = true;
        announce();
    }
    stop_->raise();
}

void RunLoginTests::join()
{
    for (const auto& tester : testers_)
        tester->join();
}

void RunLoginTests::testUntilNoneLeft(Tester& tester)
{
    Logger log;
    std::size_t index = 0;
    UserInfo account;
    while (waitForRoom(log)) {
        if (!users_->takeNextToTest(index, account)) {
            KMutexLocker hold(lock_);
            --testing_;
            announce();
            break;
        }
        tester.inHand = index;
        record(index, tester_.test(account, log, LoginTester::Accepted::Keep), log);
        tester.inHand = Tester::noAccount;
    }
    ended();
}

bool RunLoginTests::waitForRoom(Logger& log)
{
    for (;;) {
        KeptLogins expired;
        {
            KMutexLocker hold(lock_);
            if (ended_)
                return false;
            expired = takeExpired();
            if (expired.empty()) {
                if (kept_.size() + testing_ < connectionsHeld) {
                    ++testing_;
                    return true;
                }
                waitForNews(news_, std::min(firstExpiry(), Clock::now() + lookAgain));
            }
        }
        close(std::move(expired), log, keptTooLong);
    }
}

RunLoginTests::KeptLogins RunLoginTests::takeExpired()
{
    KeptLogins expired;
    const Clock::time_point now = Clock::now();
    for (auto at = kept_.begin(); at != kept_.end();) {
        if (now - at->second.since < keptAtMost) {
            ++at;
            continue;
        }
        expired.emplace_back(at->first, std::move(at->second.login));
        at = kept_.erase(at);
    }
    if (!expired.empty())
        announce();
    return expired;
}

RunLoginTests::Clock::time_point RunLoginTests::firstExpiry() const
{
    Clock::time_point first = Clock::time_point::max();
    for (const auto& entry : kept_)
        first = std::min(first, entry.second.since + keptAtMost);
    return first;
}

void RunLoginTests::close(KeptLogins logins, Logger& log, const wchar_t* why) const
{
    for (auto& [index, login] : logins) {
        if (!login.client)
            continue;
        login.client->disconnect(true);
        UserInfo account;
        if (why && users_->get(index, account))
            log.debug(TAVIR_HERE, sentence(why, account.address()));
    }
}

void RunLoginTests::keep(std::size_t index, SourceLogin login)
{
    if (!login.client)
        return;
    // Kept, it waits for nothing: no stop signal ends a wait of it, and the
    // stop that closes it writes its LOGOUT. Whoever takes it sets theirs.
    login.client->setStopSignal(nullptr);
    {
        KMutexLocker hold(lock_);
        if (!stopped_) {
            kept_[index] = Kept{std::move(login), Clock::now()};
            announce();
            return;
        }
    }
    login.client->disconnect(true);
}

SourceLogin RunLoginTests::takeKept(std::size_t index)
{
    KeptLogins expired;
    SourceLogin login;
    {
        KMutexLocker hold(lock_);
        const auto found = kept_.find(index);
        if (found == kept_.end())
            return login;
        if (Clock::now() - found->second.since < keptAtMost)
            login = std::move(found->second.login);
        else
            expired.emplace_back(index, std::move(found->second.login));
        kept_.erase(found);
        announce();
    }
    Logger log;
    close(std::move(expired), log, keptTooLong);
    return login;
}

void RunLoginTests::ended()
{
    KMutexLocker hold(lock_);
    if (running_ != 0)
        --running_;
    announce();
}

void RunLoginTests::record(std::size_t index, LoginVerdict verdict, Logger& log)
{
    switch (verdict.kind) {
    case LoginVerdict::Accepted:
        // Kept first, so that the worker that takes the account finds it.
        keep(index, std::move(verdict.login));
        users_->setTestStatus(index, TestLoginAccepted);
        break;
    case LoginVerdict::Refused:
        // Out of the run before any batch can take it.
        users_->setMigrate(index, false);
        log.report(TAVIR_HERE, verdict.sentence);
        users_->setTestRefusal(index, log.lastKept());
        users_->setTestStatus(index, TestLoginRefused);
        {
            KMutexLocker hold(lock_);
            ++refused_;
        }
        say(log);
        break;
    case LoginVerdict::SourceFailed: {
        users_->setTestStatus(index, TestNotTested);
        bool first = false;
        {
            KMutexLocker hold(lock_);
            first = sourceFailure_.empty();
            if (first) {
                log.report(TAVIR_HERE, verdict.sentence);
                sourceFailure_ = log.lastKept();
            }
        }
        if (first)
            say(log);
        // Every other login would meet the same server; the accounts
        // accepted by then are migrated.
        endTests();
        break;
    }
    case LoginVerdict::Stopped:
        users_->setTestStatus(index, TestNotTested);
        break;
    }
    KMutexLocker hold(lock_);
    --testing_;
    announce();
}

void RunLoginTests::say(Logger& log)
{
    KMutexLocker hold(lock_);
    if (released_)
        log.flush();
    else
        held_.push_back(log.takeKept());
}

void RunLoginTests::releaseSentences()
{
    KMutexLocker hold(lock_);
    for (const std::string& block : held_)
        LogManager::instance().writeReport(block);
    held_.clear();
    released_ = true;
}

std::wstring RunLoginTests::sourceFailure() const
{
    KMutexLocker hold(lock_);
    return sourceFailure_;
}

void RunLoginTests::announce()
{
    ++news_;
    changed_.notifyAll();
}

bool RunLoginTests::waitForNews(std::uint64_t seen, Clock::time_point deadline)
{
    return changed_.waitForChange(lock_, deadline, news_, seen);
}

RunLoginTests::First RunLoginTests::waitForTheFirstAccepted()
{
    for (;;) {
        std::uint64_t seen = 0;
        {
            KMutexLocker hold(lock_);
            seen = news_;
        }
        const bool accepted = users_->hasAcceptedToMigrate();
        KMutexLocker hold(lock_);
        if (accepted)
            return First::Ready;
        if (!sourceFailure_.empty())
            return First::SourceFailed;
        if (stopped_)
            return First::Stopped;
        if (running_ == 0)
            return refused_ != 0 ? First::AllRefused : First::Ready;
        waitForNews(seen, Clock::now() + lookAgain);
    }
}

bool RunLoginTests::takeNextToMigrate(
    std::size_t& index, UserInfo& account, SourceLogin& login, const std::function<bool()>& stopped)
{
    for (;;) {
        std::uint64_t seen = 0;
        {
            KMutexLocker hold(lock_);
            seen = news_;
        }
        if (users_->takeNextToMigrate(index, account)) {
            login = takeKept(index);
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
