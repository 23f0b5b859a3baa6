// IMigrator outside the run: configuration, accounts, credential test, status.
#include "Imap/engine/Migrator.h"

#include "Common/Tools/AccountsFile.h"
#include "Imap/engine/ImapUserTesterThread.h"
#include "Imap/engine/Logger.h"
#include "Imap/textconv/TextConversion.h"

namespace tavir::migration {

using tiny::KMutexLocker;

Migrator::Migrator()
    : users_(std::make_shared<UsersInformation>())
{
}

Migrator::~Migrator()
{
    // A closing program must not leave a thread running over this object's
    // lists; the supervisor also restores the target before it ends.
    stop();
    stopAndJoin(tester_);
    stopAndJoin(supervisor_);
}

void Migrator::stopAndJoin(const std::shared_ptr<Thread>& thread)
{
    if (!thread)
        return;
    thread->setTerminated(true);
    thread->join();
}

std::shared_ptr<UsersInformation> Migrator::users()
{
    KMutexLocker lock(lock_);
    return users_;
}

bool Migrator::init(Configuration& configuration)
{
    KMutexLocker lock(lock_);
    configuration_ = configuration;
    Logger log;
    log.debug(TAVIR_HERE,
        sentence(L"Source server %1% (SSL %2%); target server %3% (SSL %4%), administrator %5%.",
            configuration.sourceServer, configuration.sourceSsl ? L"on" : L"off",
            configuration.targetServer, configuration.targetSsl ? L"on" : L"off",
            configuration.adminUser));
    return true;
}

bool Migrator::loadUsers(const std::wstring& path)
{
    Logger log;
    AccountsFile file;
    if (!readAccountsFile(unicodeToUtf8(path), file)) {
        log.report(TAVIR_HERE, sentence(L"The accounts file %1% can't be read.", path));
        return false;
    }
    for (const std::wstring& problem : file.problems)
        log.report(TAVIR_HERE, problem);
    log.debug(TAVIR_HERE, sentence(L"%1% accounts read from %2%.", file.accounts.size(), path));
    auto list = std::make_shared<UsersInformation>(std::move(file.accounts));
    KMutexLocker lock(lock_);
    users_ = std::move(list);
    return true;
}

bool Migrator::startUserTest(ICallbacks* callbacks, std::vector<TestStatus>& statuses)
{
    KMutexLocker lock(lock_);
    if (!callbacks || statuses.size() != users_->size())
        return false;
    // The wizard may start the next test as soon as it hears stopped(); the
    // old thread is then only returning, and the join below waits for it.
    if (tester_ && tester_->isRunning() && !tester_->hasEnded())
        return false;
    if (tester_)
        tester_->join();
    auto tester = std::make_shared<ImapUserTesterThread>(
        users_, configuration_.sourceServer, configuration_.sourceSsl, callbacks, statuses);
    if (!tester->guardedStart(ThreadRunner<ImapUserTesterThread>::startPoint))
        return false;
    tester_ = std::move(tester);
    return true;
}

bool Migrator::stopUserTest()
{
    KMutexLocker lock(lock_);
    if (tester_)
        tester_->setTerminated(true);
    return true;
}

void Migrator::getUsers(std::vector<UserInfoData>& users)
{
    this->users()->copyTo(users);
}

bool Migrator::start(ICallbacks* callbacks)
{
    if (!callbacks)
        return false;
    // The run itself (preparing the target, the supervisor and its workers)
    // is not part of this build yet.
    Logger log;
    log.report(TAVIR_HERE, L"The migration can't be started: this build has no migration run.");
    return false;
}

void Migrator::getStatus(MigrationStatus& status)
{
    std::shared_ptr<UsersInformation> list;
    {
        KMutexLocker lock(lock_);
        status.startTime = startTime_;
        list = users_;
    }
    list->fillStatus(status);
}

bool Migrator::stop()
{
    KMutexLocker lock(lock_);
    stopRequested_ = true;
    if (supervisor_)
        supervisor_->setTerminated(true);
    return true;
}

void Migrator::setPassword(unsigned int index, const std::wstring& password)
{
    users()->setPassword(index, password);
}

void Migrator::setMigrate(unsigned int index, bool migrate)
{
    users()->setMigrate(index, migrate);
}

std::wstring Migrator::getMasterPassword()
{
    KMutexLocker lock(lock_);
    return masterPassword_;
}

} // namespace tavir::migration
