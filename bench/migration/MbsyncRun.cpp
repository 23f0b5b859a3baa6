#include "MbsyncRun.h"

#include "ChildProcesses.h"

#include <sys/stat.h>

#include <sstream>

namespace tavir::bench {

using tavir::test::Dovecot;
using tavir::test::RawImap;

MbsyncRun::MbsyncRun(const BenchCorpus& corpus, const Dovecot& source, unsigned processes)
    : corpus_(corpus)
    , source_(source)
    , processes_(processes)
{
}

bool MbsyncRun::available()
{
    return tavir::test::haveProgram("mbsync");
}

std::string MbsyncRun::name() const
{
    return "mbsync, " + std::to_string(processes_) + (processes_ == 1 ? " process" : " processes");
}

void MbsyncRun::prepare()
{
    target_ = std::make_unique<Dovecot>(corpus_.users(), corpusDovecotOptions());
    work_ = std::make_unique<tavir::test::TempDir>();
    writeConfig();
}

void MbsyncRun::writeConfig()
{
    std::ostringstream rc;
    auto account = [&rc](const std::string& store, int port, const CorpusAccount& a) {
        rc << "IMAPAccount " << store << "\nHost 127.0.0.1\nPort " << port << "\nUser " << a.user
           << "\nPass " << a.password << "\nSSLType None\nAuthMechs LOGIN\n\n"
           << "IMAPStore " << store << "\nAccount " << store << "\n\n";
    };
    for (const CorpusAccount& a : corpus_.accounts()) {
        account("far-" + a.user, source_.port(), a);
        account("near-" + a.user, target_->port(), a);
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
    return compareCounts(corpus_, *target_);
}

void MbsyncRun::finish()
{
    target_.reset();
    work_.reset();
}

std::string compareCounts(const BenchCorpus& corpus, const Dovecot& server)
{
    return compareCounts(corpus, "127.0.0.1", server.port(), false);
}

std::string compareCounts(
    const BenchCorpus& corpus, const std::string& host, int port, bool withDomain)
{
    auto expected = corpus.expectedCounts();
    for (const CorpusAccount& account : corpus.accounts()) {
        RawImap imap(host, port);
        const std::string login = withDomain ? account.address() : account.user;
        if (!imap.login(login, account.password))
            return account.user + ": login refused";
        for (const auto& [folder, count] : expected[account.user]) {
            bool ok = false;
            std::string reply = imap.command("STATUS \"" + wireName(folder) + "\" (MESSAGES)", &ok);
            std::size_t at = reply.find("(MESSAGES ");
            if (!ok || at == std::string::npos)
                return account.user + "/" + folder + ": no such folder";
            unsigned found = static_cast<unsigned>(std::stoul(reply.substr(at + 10)));
            if (found != count)
                return account.user + "/" + folder + ": " + std::to_string(found) + " messages, "
                    + std::to_string(count) + " expected";
        }
    }
    return {};
}

} // namespace tavir::bench
