#include "EngineRun.h"

#include "ChildProcesses.h"
#include "Imap/engine/Engine.h"
#include "Imap/textconv/TextConversion.h"
#include "MbsyncRun.h"

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
    options.discardBodies = true;
    // The state goes to the temporary folder, which main() has put on
    // tmpfs where it can.
    if (withAccounts)
        for (const CorpusAccount& account : corpus.accounts())
            options.accounts[account.address()] = account.password;
    return std::make_unique<tavir::test::StandInTarget>(options);
}

EngineRun::EngineRun(const BenchCorpus& corpus, const tavir::test::Dovecot& source)
    : corpus_(corpus)
    , source_(source)
{
}

void EngineRun::prepare()
{
    // The engine makes the accounts itself.
    target_ = benchTarget(corpus_, false);
    work_ = std::make_unique<tavir::test::TempDir>();
    std::string accounts;
    for (const CorpusAccount& account : corpus_.accounts())
        accounts += account.address() + ";" + account.password + "\n";
    tavir::test::writeFile(work_->file("accounts.txt"), accounts);
}

RunResult EngineRun::run()
{
    const std::string work = work_->path();
    const std::wstring source = L"127.0.0.1:" + std::to_wstring(source_.port());
    const std::wstring target = target_->whost() + L":" + std::to_wstring(target_->port());
    return runChildren({[=] { return migrate(work, source, target); }});
}

std::string EngineRun::check()
{
    return compareCounts(corpus_, target_->host(), target_->port(), true);
}

void EngineRun::finish()
{
    target_.reset();
    work_.reset();
}

} // namespace tavir::bench
