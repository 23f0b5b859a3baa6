// The wizard's credential test of every account against the source server.
#include "Imap/engine/ImapUserTesterThread.h"

namespace tavir::migration {

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
    , tester_(server_, ssl, stop_, timeoutMs)
{
    if (!serverValid_)
        sourceFailure_ = notAnAddress(L"source", serverText_) + L"; no account can log in.";
}

void ImapUserTesterThread::execute()
{
    Logger log;
    callbacks_.started();
    if (!sourceFailure_.empty())
        log.report(TAVIR_HERE, sourceFailure_);
    bool aborted = false;
    const std::size_t count = std::min(users_->size(), statuses_.size());
    for (std::size_t i = 0; i < count; ++i) {
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
        users_->setTestRefusal(i, verdict.sentence);
        // A stop that cut the logins short leaves the account untested.
        setStatus(i,
            verdict.kind == LoginVerdict::Accepted      ? TestLoginAccepted
                : verdict.kind == LoginVerdict::Stopped ? TestNotTested
                                                        : TestLoginRefused);
        inHand_ = noAccount;
        log.flush();
        callbacks_.statusChanged();
        if (verdict.kind == LoginVerdict::Stopped) {
            aborted = true;
            break;
        }
    }
    if (aborted)
        log.debug(TAVIR_HERE, L"The credential test was stopped.");
    log.flush();
    callbacks_.stopped(aborted);
}

LoginVerdict ImapUserTesterThread::testAccount(const UserInfo& account, Logger& log)
{
    if (!sourceFailure_.empty())
        return {LoginVerdict::SourceFailed, sourceFailure_};
    LoginVerdict verdict = tester_.test(account, log);
    if (verdict.kind == LoginVerdict::Accepted)
        return verdict;
    if (verdict.kind == LoginVerdict::Stopped || isTerminated())
        return {LoginVerdict::Stopped, {}};
    // As the report has it, passwords masked, for whoever shows it.
    log.report(TAVIR_HERE, verdict.sentence);
    verdict.sentence = log.lastKept();
    // Said once: every account after this one meets the same server.
    if (verdict.kind == LoginVerdict::SourceFailed)
        sourceFailure_ = verdict.sentence;
    return verdict;
}

void ImapUserTesterThread::setTerminated(bool terminated)
{
    Thread::setTerminated(terminated);
    if (terminated)
        stop_->raise();
}

void ImapUserTesterThread::recover(const std::wstring& sentence)
{
    Thread::recover(sentence);
    if (inHand_ != noAccount)
        setStatus(inHand_, TestLoginRefused);
    callbacks_.stopped(true);
}

void ImapUserTesterThread::setStatus(std::size_t index, TestStatus status)
{
    publishTestStatus(statuses_[index], status);
    users_->setTestStatus(index, status);
}

} // namespace tavir::migration
