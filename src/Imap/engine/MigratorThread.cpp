// A worker's loop over the accounts.
#include "Imap/engine/MigratorThread.h"

#include "tiny/ScopeExit.h"

namespace tavir::migration {

using tiny::KMutexLocker;

MigratorThread::MigratorThread(std::shared_ptr<const MigrationRun> run,
    std::shared_ptr<CallbacksWrapper> callbacks, unsigned number)
    : Thread(L"migration worker " + std::to_wstring(number))
    , run_(std::move(run))
    , callbacks_(std::move(callbacks))
{
}

void MigratorThread::execute()
{
    while (!isTerminated()) {
        std::size_t index = 0;
        UserInfo account;
        SourceLogin login;
        if (!run_->logins->takeNextToMigrate(
                index, account, login, [this] { return isTerminated(); }))
            break;
        migrateAccount(index, account, std::move(login));
    }
}

void MigratorThread::migrateAccount(std::size_t index, const UserInfo& account, SourceLogin login)
{
    inHand_ = index;
    inHandAddress_ = account.address();
    callbacks_->statusChanged();
    UserState end = UserFailed;
    {
        AccountMigration road(*run_, index, account, std::move(login), log_, *callbacks_,
            [this] { return isTerminated(); });
        setRoad(&road);
        // Whatever way the road is left, a stop request must no longer
        // reach it.
        tiny::ScopeExit forget([this] { setRoad(nullptr); });
        end = road.migrate();
    }
    run_->users->changeState(index, end);
    inHand_ = noAccount;
    log_.flush();
    callbacks_->statusChanged();
}

void MigratorThread::setRoad(AccountMigration* road)
{
    KMutexLocker lock(roadLock_);
    road_ = road;
    // A stop that came before the road was known is passed on now.
    if (road_ && isTerminated())
        road_->abort();
}

void MigratorThread::setTerminated(bool terminated)
{
    Thread::setTerminated(terminated);
    KMutexLocker lock(roadLock_);
    if (terminated && road_)
        road_->abort();
}

void MigratorThread::recover(const std::wstring& sentence)
{
    log_.report(TAVIR_HERE, sentence);
    if (inHand_ != noAccount) {
        run_->users->setFailure(inHand_, log_.lastKept());
        run_->users->changeState(inHand_, UserFailed);
        log_.report(TAVIR_HERE, tavir::migration::sentence(L"Account %1% failed.", inHandAddress_));
        log_.report(L"");
        inHand_ = noAccount;
    }
    log_.flush();
    callbacks_->statusChanged();
}

} // namespace tavir::migration
