#include "EngineRun.h"

#include "ChildProcesses.h"
#include "MailCheck.h"

#include <cstdlib>

namespace tavir::bench {

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
    targetPort_ = targetPort;
    sourceAddress_ = sourceHost + ":" + std::to_string(source_.port());
    targetAddress_ = targetHost + ":" + std::to_string(targetPort);
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
    RunResult result = runChildren(
        {programJob({std::string(TAVIR_BINARY_DIR) + "/bin/zorp-engine-run", "--home", work,
                        sourceAddress_, targetAddress_, work + "/accounts.txt", work},
            work + "/engine.log")});
    if (targetRelay_) {
        result.sourceRoundTrips = sourceRelay_->roundTrips(source_.port());
        result.targetRoundTrips = targetRelay_->roundTrips(targetPort_);
        result.adminRoundTrips = targetRelay_->roundTrips(tavir::test::StandInTarget::adminPort);
    }
    return result;
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
