// The wizard's credential test of every account against the source server.
#include "Imap/engine/ImapUserTesterThread.h"

namespace tavir::migration {

using tiny::KMutexLocker;

namespace {

ServerAddress parsedOrEmpty(const std::wstring& server, bool ssl, bool& valid)
{
    ServerAddress address;
    valid = parseServerAddress(server, ssl, address);
    return address;
}

} // namespace

ImapUserTesterThread::ImapUserTesterThread(std::shared_ptr<UsersInformation> users,
    const std::wstring& server, bool ssl, ICallbacks* callbacks, std::vector<TestStatus>& statuses,
    unsigned timeoutMs)
    : Thread(L"account tester")
    , users_(std::move(users))
    , serverText_(server)
    , server_(parsedOrEmpty(server, ssl, serverValid_))
    , callbacks_(callbacks)
    , statuses_(statuses)
    , timeoutMs_(timeoutMs)
    , check_(server_, ssl, connections_, SourceConnections::Who::Test)
{
    if (!serverValid_)
        sourceFailure_ = notAnAddress(L"source", serverText_) + L"; no account can log in.";
}

void ImapUserTesterThread::execute()
{
    Logger log;
    callbacks_.started();
    bool aborted = false;
    const std::wstring notAnAddress = sourceFailure();
    if (!notAnAddress.empty())
        log.report(TAVIR_HERE, notAnAddress);
    const std::size_t count = std::min(users_->size(), statuses_.size());
    for (std::size_t i = 0; i < count && notAnAddress.empty(); ++i) {
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
        users_->setTestRefusal(
            i, verdict.kind == LoginVerdict::Refused ? verdict.sentence : std::wstring());
        setStatus(i, testStatusOf(verdict.kind));
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
    if (verdict.kind == LoginVerdict::Accepted)
        return verdict;
    if (verdict.kind == LoginVerdict::Stopped || isTerminated())
        return LoginVerdict();
    // As the report has it, passwords masked, for whoever shows it.
    log.report(TAVIR_HERE, verdict.sentence);
    verdict.sentence = log.lastKept();
    if (verdict.kind == LoginVerdict::SourceFailed) {
        KMutexLocker hold(lock_);
        sourceFailure_ = verdict.sentence;
    }
    return verdict;
}

std::wstring ImapUserTesterThread::sourceFailure() const
{
    KMutexLocker hold(lock_);
    return sourceFailure_;
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
