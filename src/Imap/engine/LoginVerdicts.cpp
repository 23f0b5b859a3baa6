// What follows a login test's verdict, on both roads.
#include "Imap/engine/LoginVerdicts.h"

namespace tavir::migration {

using tiny::KMutexLocker;

LoginVerdicts::LoginVerdicts(std::shared_ptr<UsersInformation> users, Tests tests)
    : users_(std::move(users))
    , tests_(tests)
{
}

TestStatus LoginVerdicts::record(std::size_t index, const LoginVerdict& verdict, Logger& log)
{
    const bool accountsOwn
        = verdict.kind == LoginVerdict::Failed || verdict.kind == LoginVerdict::NotNow;
    std::wstring said;
    if (accountsOwn) {
        log.report(TAVIR_HERE, verdict.sentence);
        said = log.lastKept();
    }
    users_->setTestSentences(index,
        {verdict.kind == LoginVerdict::Failed ? said : std::wstring(),
            verdict.kind == LoginVerdict::NotNow ? said : std::wstring()});
    if (tests_ == Tests::Run && verdict.kind == LoginVerdict::Failed)
        users_->setMigrate(index, false);
    if (tests_ == Tests::Run && verdict.kind == LoginVerdict::NotNow
        && users_->changeState(index, UserInProgress)) {
        users_->setFailure(index, said);
        users_->changeState(index, UserFailed);
    }
    if (verdict.kind == LoginVerdict::SourceFailed)
        sourceFailed(verdict, log);
    const TestStatus status = testStatusOf(verdict.kind);
    users_->setTestStatus(index, status);
    return status;
}

void LoginVerdicts::sourceFailed(const LoginVerdict& verdict, Logger& log)
{
    KMutexLocker hold(lock_);
    if (!sourceFailure_.empty())
        return;
    log.report(TAVIR_HERE, verdict.sentence);
    sourceFailure_ = log.lastKept();
    unknownCertificate_ = verdict.unknownCertificate;
}

std::string LoginVerdicts::unknownCertificate() const
{
    KMutexLocker hold(lock_);
    return unknownCertificate_;
}

std::wstring LoginVerdicts::sourceFailure() const
{
    KMutexLocker hold(lock_);
    return sourceFailure_;
}

} // namespace tavir::migration
