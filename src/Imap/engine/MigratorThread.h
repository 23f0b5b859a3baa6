#pragma once
// A migration worker: takes the next account to migrate whose login was
// accepted (waiting for the run's login tests while they may accept one),
// runs its road, and takes the next, until none is left or a stop is
// requested (tested before each account; the road tests it before each
// folder and each message).
#include "Imap/engine/AccountMigration.h"
#include "Imap/engine/CallbacksWrapper.h"
#include "Imap/engine/Logger.h"
#include "Imap/engine/MigrationRun.h"
#include "Imap/engine/Thread.h"
#include "tiny/KMutex.h"

#include <cstddef>
#include <memory>

namespace tavir::migration {

class MigratorThread : public Thread {
public:
    MigratorThread(std::shared_ptr<const MigrationRun> run,
        std::shared_ptr<CallbacksWrapper> callbacks, unsigned number);

    void execute() override;
    // Also ends the copy in hand after its current message.
    void setTerminated(bool terminated) override;

protected:
    // The account in hand is marked failed, with the sentence in its block.
    void recover(const std::wstring& sentence) override;

private:
    // `login`: the connection the account's login test logged in with, for
    // its road to go on with; none when its test kept none.
    void migrateAccount(std::size_t index, const UserInfo& account, SourceLogin login);
    void setRoad(AccountMigration* road);

    std::shared_ptr<const MigrationRun> run_;
    std::shared_ptr<CallbacksWrapper> callbacks_;
    Logger log_; // this thread's only
    static constexpr std::size_t noAccount = static_cast<std::size_t>(-1);
    std::size_t inHand_ = noAccount; // this thread's only
    std::wstring inHandAddress_;
    tiny::KMutex roadLock_;
    AccountMigration* road_ TAVIR_GUARDED_BY(roadLock_) = nullptr;
};

} // namespace tavir::migration
