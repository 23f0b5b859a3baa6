#include "EngineRun.h"

#include "ChildProcesses.h"
#include "MbsyncRun.h"

#include <cstdlib>

namespace tavir::bench {

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
    // The engine's own command-line program: a run is a failure unless every
    // account finished without a failed folder or message. The
    // administration client pins the stand-in's certificate under HOME.
    const std::string work = work_->path();
    setenv("ZORP_ADMIN_PASSWORD", "admin-secret", 1);
    return runChildren({programJob(
        {std::string(TAVIR_BINARY_DIR) + "/bin/zorp-engine-run", "--home", work,
            "127.0.0.1:" + std::to_string(source_.port()),
            target_->host() + ":" + std::to_string(target_->port()), work + "/accounts.txt", work},
        work + "/engine.log")});
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
