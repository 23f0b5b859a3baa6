// A run's login tests, a few at once, ahead of its workers.
#include "Imap/engine/RunLoginTests.h"

#include <chrono>

namespace tavir::migration {

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
    const unsigned wanted = std::min(untested, connectionsAtOnce);
    for (unsigned i = 1; i <= wanted; ++i)
        testers_.push_back(std::make_shared<Tester>(*this, i));
    std::lock_guard<std::mutex> hold(lock_);
    for (const auto& tester : testers_) {
        // A tester not started leaves its share to the others.
        if (tester->guardedStart(ThreadRunner<Tester>::startPoint))
            ++running_;
    }
}

void RunLoginTests::stop()
{
    {
        std::lock_guard<std::mutex> hold(lock_);
        stopped_ = true;
    }
    stop_->raise();
    changed();
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
    while (!stop_->raised() && users_->takeNextToTest(index, account)) {
        tester.inHand = index;
        record(index, tester_.test(account, log), log);
        tester.inHand = Tester::noAccount;
    }
    ended();
}

void RunLoginTests::ended()
{
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (running_ != 0)
            --running_;
        ++news_;
    }
    changed_.notify_all();
}

void RunLoginTests::record(std::size_t index, const LoginVerdict& verdict, Logger& log)
{
    switch (verdict.kind) {
    case LoginVerdict::Accepted:
        users_->setTestStatus(index, TestLoginAccepted);
        break;
    case LoginVerdict::Refused:
        // Out of the run before any batch can take it.
        users_->setMigrate(index, false);
        log.report(TAVIR_HERE, verdict.sentence);
        users_->setTestRefusal(index, log.lastKept());
        users_->setTestStatus(index, TestLoginRefused);
        {
            std::lock_guard<std::mutex> hold(lock_);
            ++refused_;
        }
        say(log);
        break;
    case LoginVerdict::SourceFailed: {
        users_->setTestStatus(index, TestNotTested);
        bool first = false;
        {
            std::lock_guard<std::mutex> hold(lock_);
            first = sourceFailure_.empty();
            if (first) {
                log.report(TAVIR_HERE, verdict.sentence);
                sourceFailure_ = log.lastKept();
            }
        }
        if (first)
            say(log);
        // Every other login would meet the same server.
        stop();
        break;
    }
    case LoginVerdict::Stopped:
        users_->setTestStatus(index, TestNotTested);
        break;
    }
    {
        std::lock_guard<std::mutex> hold(lock_);
        ++news_;
    }
    changed_.notify_all();
}

void RunLoginTests::say(Logger& log)
{
    std::lock_guard<std::mutex> hold(lock_);
    if (released_)
        log.flush();
    else
        held_.push_back(log.takeKept());
}

void RunLoginTests::releaseSentences()
{
    std::lock_guard<std::mutex> hold(lock_);
    for (const std::string& block : held_)
        LogManager::instance().writeReport(block);
    held_.clear();
    released_ = true;
}

std::wstring RunLoginTests::sourceFailure() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return sourceFailure_;
}

void RunLoginTests::changed()
{
    {
        std::lock_guard<std::mutex> hold(lock_);
        ++news_;
    }
    changed_.notify_all();
}

RunLoginTests::First RunLoginTests::waitForTheFirstAccepted()
{
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
        const std::uint64_t seen = news_;
        hold.unlock();
        const bool accepted = users_->hasAcceptedToMigrate();
        hold.lock();
        if (accepted)
            return First::Ready;
        if (!sourceFailure_.empty())
            return First::SourceFailed;
        if (stopped_)
            return First::Stopped;
        if (running_ == 0)
            return refused_ != 0 ? First::AllRefused : First::Ready;
        changed_.wait(hold, [&] { return news_ != seen; });
    }
}

bool RunLoginTests::takeNextToMigrate(
    std::size_t& index, UserInfo& account, const std::function<bool()>& stopped)
{
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
        const std::uint64_t seen = news_;
        hold.unlock();
        if (users_->takeNextToMigrate(index, account))
            return true;
        if (stopped())
            return false;
        hold.lock();
        if (running_ == 0 && news_ == seen)
            return false;
        // A worker's stop is not news here: it is looked at again at least
        // this often.
        changed_.wait_for(hold, std::chrono::milliseconds(100), [&] { return news_ != seen; });
    }
}

} // namespace tavir::migration
