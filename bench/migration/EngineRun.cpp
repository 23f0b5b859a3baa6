#include "EngineRun.h"

#include "ChildProcesses.h"
#include "Imap/engine/Engine.h"
#include "Imap/textconv/TextConversion.h"
#include "MailCheck.h"

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace tavir::bench {

using tavir::migration::utf8ToUnicode;

namespace {

// Waits for the run's end.
class EndOfRun : public tavir::migration::ICallbacks {
public:
    void started() override { }
    void statusChanged() override { }
    void stopped(bool aborted) override
    {
        std::lock_guard<std::mutex> hold(lock_);
        ended_ = true;
        aborted_ = aborted;
        changed_.notify_all();
    }
    // False when it did not end within the time, or ended stopped.
    bool wait(int seconds)
    {
        std::unique_lock<std::mutex> hold(lock_);
        return changed_.wait_for(hold, std::chrono::seconds(seconds), [this] { return ended_; })
            && !aborted_;
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    bool ended_ = false;
    bool aborted_ = false;
};

// The whole run, in the child: 0 when every account finished without a
// failed folder or message.
int migrate(const std::string& work, const std::wstring& source, const std::wstring& target)
{
    // The administration client pins the stand-in's certificate under HOME.
    setenv("HOME", work.c_str(), 1);
    if (!tavir::migration::init(
            utf8ToUnicode(work + "/report.txt"), utf8ToUnicode(work + "/debug.log"))) {
        std::fprintf(stderr, "engine: init failed\n");
        return 1;
    }
    tavir::migration::IMigrator* created = nullptr;
    tavir::migration::createMigrator(&created);
    std::unique_ptr<tavir::migration::IMigrator> engine(created);
    tavir::migration::Configuration configuration;
    configuration.sourceServer = source;
    configuration.targetServer = target;
    configuration.adminUser = L"admin";
    configuration.adminPassword = L"admin-secret";
    engine->init(configuration);
    EndOfRun end;
    if (!engine->loadUsers(utf8ToUnicode(work + "/accounts.txt")) || !engine->start(&end)
        || !end.wait(600)) {
        std::fprintf(stderr, "engine: the run did not end well; see %s/report.txt\n", work.c_str());
        return 1;
    }
    tavir::migration::MigrationStatus status;
    engine->getStatus(status);
    engine.reset();
    if (status.failedAccounts + status.folderErrors + status.messageErrors != 0) {
        std::fprintf(stderr, "engine: failures; see %s/report.txt\n", work.c_str());
        return 1;
    }
    return 0;
}

} // namespace

std::unique_ptr<tavir::test::StandInTarget> benchTarget(
    const BenchCorpus& corpus, bool withAccounts)
{
    tavir::test::StandInTarget::Options options;
    options.workerThreads = EngineRun::workers;
    // The state goes to the temporary folder, which main() has put on
    // tmpfs where it can.
    if (withAccounts)
        for (const CorpusAccount& account : corpus.accounts())
            options.accounts[account.address()] = account.password;
    return std::make_unique<tavir::test::StandInTarget>(options);
}

EngineRun::EngineRun(const BenchCorpus& corpus, const tavir::test::Dovecot& source, Target target,
    std::chrono::microseconds delay, std::string label)
    : corpus_(corpus)
    , source_(source)
    , target_(target)
    , delay_(delay)
    , label_(std::move(label))
{
}

std::string EngineRun::name() const
{
    return "engine, 6 workers" + label_ + (target_ == Target::Instant ? ", instant target" : "")
        + roundTripText(delay_);
}

void EngineRun::prepare()
{
    std::string targetHost;
    int targetPort = 0;
    // The engine makes the accounts itself.
    if (target_ == Target::Instant) {
        instant_ = std::make_unique<InstantTarget>(workers);
        targetHost = instant_->host();
        targetPort = instant_->port();
    } else {
        standIn_ = benchTarget(corpus_, false);
        targetHost = standIn_->host();
        targetPort = standIn_->port();
    }
    std::string sourceHost = "127.0.0.1";
    if (delay_.count() != 0) {
        sourceRelay_
            = std::make_unique<DelayRelay>(sourceHost, std::vector<int>{source_.port()}, delay_);
        targetRelay_ = std::make_unique<DelayRelay>(targetHost,
            std::vector<int>{tavir::test::StandInTarget::adminPort, targetPort}, delay_);
        sourceHost = sourceRelay_->host();
        targetHost = targetRelay_->host();
    }
    sourceAddress_ = utf8ToUnicode(sourceHost + ":" + std::to_string(source_.port()));
    targetAddress_ = utf8ToUnicode(targetHost + ":" + std::to_string(targetPort));
    work_ = std::make_unique<tavir::test::TempDir>();
    std::string accounts;
    for (const CorpusAccount& account : corpus_.accounts())
        accounts += account.address() + ";" + account.password + "\n";
    tavir::test::writeFile(work_->file("accounts.txt"), accounts);
}

RunResult EngineRun::run()
{
    const std::string work = work_->path();
    const std::wstring source = sourceAddress_;
    const std::wstring target = targetAddress_;
    return runChildren({[=] { return migrate(work, source, target); }});
}

std::string EngineRun::check()
{
    if (target_ == Target::Instant)
        return compareTotals(corpus_, instant_->host(), instant_->port());
    return compareMail(corpus_, standInAccounts(*standIn_));
}

void EngineRun::finish()
{
    sourceRelay_.reset();
    targetRelay_.reset();
    instant_.reset();
    standIn_.reset();
    work_.reset();
}

} // namespace tavir::bench
