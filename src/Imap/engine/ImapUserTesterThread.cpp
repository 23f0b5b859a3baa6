// The wizard's credential test of every account against the source server.
#include "Imap/engine/ImapUserTesterThread.h"

namespace tavir::migration {

namespace {

ServerAddress parsedOrEmpty(const std::wstring& server, bool ssl)
{
    ServerAddress address;
    parseServerAddress(server, ssl, address);
    return address;
}

std::wstring whyNotAnAddress(const std::wstring& server, bool ssl)
{
    ServerAddress address;
    return parseServerAddress(server, ssl, address)
        ? std::wstring()
        : notAnAddress(L"source", server) + L"; no account can log in.";
}

} // namespace

ImapUserTesterThread::ImapUserTesterThread(std::shared_ptr<UsersInformation> users,
    const std::wstring& server, bool ssl, ICallbacks* callbacks, std::vector<TestStatus>& statuses,
    unsigned timeoutMs)
    : Thread(L"account tester")
    , users_(std::move(users))
    , notAnAddress_(whyNotAnAddress(server, ssl))
    , server_(parsedOrEmpty(server, ssl))
    , callbacks_(callbacks)
    , statuses_(statuses)
    , timeoutMs_(timeoutMs)
    , check_(server_, ssl, connections_, SourceConnections::Who::Test)
    , verdicts_(users_, LoginVerdicts::Tests::Wizard)
{
}

void ImapUserTesterThread::execute()
{
    Logger log;
    callbacks_.started();
    bool aborted = false;
    if (!notAnAddress_.empty())
        log.report(TAVIR_HERE, notAnAddress_);
    const std::size_t count = std::min(users_->size(), statuses_.size());
    for (std::size_t i = 0; i < count && notAnAddress_.empty(); ++i) {
        if (isTerminated()) {
            aborted = true;
            break;
        }
        UserInfo account;
        if (!users_->get(i, account))
            break;
        inHand_ = i;
        setStatus(i, TestTesting);
        const LoginVerdict verdict = testAccount(account, log);
        publishTestStatus(statuses_[i], verdicts_.record(i, verdict, log));
        inHand_ = noAccount;
        log.flush();
        callbacks_.statusChanged();
        if (verdict.kind == LoginVerdict::Stopped) {
            aborted = true;
            break;
        }
        // Every account after this one would meet the same server; they
        // stay untested, and the page says why once.
        if (verdict.kind == LoginVerdict::SourceFailed)
            break;
    }
    if (aborted)
        log.debug(TAVIR_HERE, L"The credential test was stopped.");
    log.flush();
    callbacks_.stopped(aborted);
}

LoginVerdict ImapUserTesterThread::testAccount(const UserInfo& account, Logger& log)
{
    mail::SimpleImapClient client;
    client.setReadTimeoutMs(timeoutMs_);
    client.setStopSignal(stop_);
    LoginVerdict verdict = check_.test(account, client, log, [this] { return isTerminated(); });
    client.disconnect(true);
    // A login ended by a stop is neither accepted nor refused.
    if (verdict.kind != LoginVerdict::Accepted && isTerminated())
        return LoginVerdict();
    return verdict;
}

std::wstring ImapUserTesterThread::sourceFailure() const
{
    return notAnAddress_.empty() ? verdicts_.sourceFailure() : notAnAddress_;
}

void ImapUserTesterThread::setTerminated(bool terminated)
{
    Thread::setTerminated(terminated);
    if (terminated) {
        stop_->raise();
        // A login waiting for a connection asks isTerminated() again.
        connections_.wake();
    }
}

void ImapUserTesterThread::recover(const std::wstring& sentence)
{
    Thread::recover(sentence);
    if (inHand_ != noAccount)
        setStatus(inHand_, TestNotTested);
    callbacks_.stopped(isTerminated());
}

void ImapUserTesterThread::setStatus(std::size_t index, TestStatus status)
{
    publishTestStatus(statuses_[index], status);
    users_->setTestStatus(index, status);
}

} // namespace tavir::migration
