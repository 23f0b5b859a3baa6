// The credential test of every account against the source server.
#include "Imap/engine/ImapUserTesterThread.h"

#include "Imap/engine/TrustReport.h"
#include "imapclient/SimpleImapClient.h"

namespace tavir::migration {

ImapUserTesterThread::ImapUserTesterThread(std::shared_ptr<UsersInformation> users,
    const std::wstring& server, bool ssl, ICallbacks* callbacks, std::vector<TestStatus>& statuses)
    : Thread(L"account tester")
    , users_(std::move(users))
    , serverText_(server)
    , ssl_(ssl)
    , serverValid_(parseServerAddress(server, ssl, server_))
    , callbacks_(callbacks)
    , statuses_(statuses)
{
}

void ImapUserTesterThread::execute()
{
    Logger log;
    callbacks_.started();
    if (!serverValid_)
        log.report(TAVIR_HERE, notAnAddress(L"source", serverText_) + L"; no account can log in.");
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
        std::wstring refusal;
        const TestStatus result = testAccount(account, log, refusal);
        users_->setTestRefusal(i, refusal);
        setStatus(i, result);
        inHand_ = noAccount;
        log.flush();
        callbacks_.statusChanged();
        // A stop that cut the logins short leaves the account untested.
        if (result == TestNotTested) {
            aborted = true;
            break;
        }
    }
    if (aborted)
        log.debug(TAVIR_HERE, L"The credential test was stopped.");
    log.flush();
    callbacks_.stopped(aborted);
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

TestStatus ImapUserTesterThread::testAccount(
    const UserInfo& account, Logger& log, std::wstring& refusal)
{
    const std::wstring address = account.address();
    if (!serverValid_) {
        refusal = notAnAddress(L"source", serverText_) + L"; no account can log in.";
        return TestLoginRefused;
    }
    log.debug(TAVIR_HERE, sentence(L"Testing the login of %1% on %2%.", address, server_.text()));
    std::wstring asAddress;
    if (tryLogin(address, account.password, asAddress, log)) {
        log.debug(TAVIR_HERE, sentence(L"%1% logged in with the address.", address));
        return TestLoginAccepted;
    }
    std::wstring second;
    if (tryLogin(account.mailbox, account.password, second, log)) {
        log.debug(TAVIR_HERE,
            sentence(L"%1% logged in with the mailbox name %2%.", address, account.mailbox));
        return TestLoginAccepted;
    }
    if (isTerminated())
        return TestNotTested;
    log.report(TAVIR_HERE,
        sourceLoginRefused(server_.text(), address, asAddress, account.mailbox, second));
    refusal = log.lastKept();
    return TestLoginRefused;
}

bool ImapUserTesterThread::tryLogin(
    const std::wstring& user, const std::wstring& password, std::wstring& refusal, Logger& log)
{
    mail::SimpleImapClient client;
    client.setReadTimeoutMs(loginTimeoutMs);
    client.setStopSignal(stop_);
    mail::ImapClientResult result
        = client.connect(server_.host, server_.port, user, password, false, ssl_);
    reportTrustOnce(log, client.trustNotice());
    if (result == mail::ImapSuccess) {
        client.disconnect(true);
        return true;
    }
    refusal = withoutLineEnd(client.getLastErrorResponse());
    return false;
}

void ImapUserTesterThread::setStatus(std::size_t index, TestStatus status)
{
    publishTestStatus(statuses_[index], status);
    users_->setTestStatus(index, status);
}

} // namespace tavir::migration
