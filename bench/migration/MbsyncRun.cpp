#include "MbsyncRun.h"

#include "ChildProcesses.h"
#include "MailCheck.h"

#include <sys/stat.h>

#include <sstream>

namespace tavir::bench {

using tavir::test::Dovecot;

MbsyncRun::MbsyncRun(const BenchCorpus& corpus, const Dovecot& source, unsigned processes,
    std::chrono::microseconds delay, std::string label)
    : corpus_(corpus)
    , source_(source)
    , processes_(processes)
    , delay_(delay)
    , label_(std::move(label))
{
}

bool MbsyncRun::available()
{
    return tavir::test::haveProgram("mbsync");
}

std::string MbsyncRun::name() const
{
    return "mbsync, " + std::to_string(processes_) + (processes_ == 1 ? " process" : " processes")
        + label_ + roundTripText(delay_);
}

void MbsyncRun::prepare()
{
    target_ = std::make_unique<Dovecot>(corpus_.users(), corpusDovecotOptions());
    work_ = std::make_unique<tavir::test::TempDir>();
    if (delay_.count() == 0) {
        writeConfig("127.0.0.1", "127.0.0.1");
        return;
    }
    sourceRelay_
        = std::make_unique<DelayRelay>("127.0.0.1", std::vector<int>{source_.port()}, delay_);
    targetRelay_
        = std::make_unique<DelayRelay>("127.0.0.1", std::vector<int>{target_->port()}, delay_);
    writeConfig(sourceRelay_->host(), targetRelay_->host());
}

void MbsyncRun::writeConfig(const std::string& sourceHost, const std::string& targetHost)
{
    std::ostringstream rc;
    auto account = [&rc](const std::string& store, const std::string& host, int port,
                       const CorpusAccount& a) {
        rc << "IMAPAccount " << store << "\nHost " << host << "\nPort " << port << "\nUser "
           << a.user << "\nPass " << a.password << "\nSSLType None\nAuthMechs LOGIN\n\n"
           << "IMAPStore " << store << "\nAccount " << store << "\n\n";
    };
    for (const CorpusAccount& a : corpus_.accounts()) {
        account("far-" + a.user, sourceHost, source_.port(), a);
        account("near-" + a.user, targetHost, target_->port(), a);
        const std::string state = work_->file("state-" + a.user);
        mkdir(state.c_str(), 0700);
        rc << "Channel " << a.user << "\nFar :far-" << a.user << ":\nNear :near-" << a.user
           << ":\nPatterns *\nCreate Near\nSync Pull\nCopyArrivalDate yes\nSyncState " << state
           << "/\n\n";
    }
    tavir::test::writeFile(work_->file("mbsyncrc"), rc.str());
}

RunResult MbsyncRun::run()
{
    // Process k takes accounts k, k + P, k + 2P, ...
    std::vector<ChildJob> jobs;
    const auto& accounts = corpus_.accounts();
    for (unsigned k = 0; k < processes_ && k < accounts.size(); ++k) {
        std::vector<std::string> argv{"mbsync", "-q", "-c", work_->file("mbsyncrc")};
        for (std::size_t a = k; a < accounts.size(); a += processes_)
            argv.push_back(accounts[a].user);
        jobs.push_back(programJob(argv, work_->file("mbsync.log")));
    }
    RunResult result = runChildren(jobs);
    if (targetRelay_) {
        result.sourceRoundTrips = sourceRelay_->roundTrips(source_.port());
        result.targetRoundTrips = targetRelay_->roundTrips(target_->port());
    }
    if (!result.ok) {
        try {
            result.error += "; mbsync said: " + tavir::test::readFile(work_->file("mbsync.log"));
        } catch (const std::exception&) {
        }
    }
    return result;
}

std::string MbsyncRun::check()
{
    return compareMail(corpus_, mbsyncCopies(*target_));
}

void MbsyncRun::finish()
{
    sourceRelay_.reset();
    targetRelay_.reset();
    target_.reset();
    work_.reset();
}

} // namespace tavir::bench
