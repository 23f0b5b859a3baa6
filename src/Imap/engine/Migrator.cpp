// IMigrator outside the run: configuration, accounts, credential test, the
// start of a run (its login tests, the target's preparation, the report's
// header), status.
#include "Imap/engine/Migrator.h"

#include "Common/Tools/AccountsFile.h"
#include "Imap/engine/ImapUserTesterThread.h"
#include "Imap/engine/Logger.h"
#include "Imap/engine/MigrationReport.h"
#include "Imap/engine/TargetPreparation.h"
#include "Imap/engine/TrustReport.h"
#include "Imap/engine/WaiterThread.h"
#include "Imap/textconv/TextConversion.h"
#include "crypto/Random.h"
#include "tiny/TerminationNote.h"

#include <algorithm>
#include <chrono>
#include <ctime>

namespace tavir::migration {

using tiny::KMutexLocker;

namespace {

// How many seconds the administration service can keep the target's
// restore waiting at most, rounded up; 0 while it keeps nothing waiting.
// Once the process ends on a signal, the end's deadline bounds the restore
// and the status record together: the user waits that long at most.
std::uint32_t secondsLeftAtMost(const tinydb::TinyDbClient& admin)
{
    using namespace std::chrono;
    const auto waiting = admin.waitingUntil();
    if (!waiting)
        return 0;
    const auto until = tiny::terminationSignal() != 0 ? tiny::terminationDeadline() : *waiting;
    const auto left = duration_cast<milliseconds>(until - steady_clock::now()).count();
    // A wait at its deadline ends in a moment, not in no time.
    return static_cast<std::uint32_t>(std::max<long long>(1, (left + 999) / 1000));
}

// The accounts' passwords, seen where they are: a list of 100,000 accounts
// is not held twice for the mask.
std::vector<std::wstring_view> passwordsOf(const std::vector<UserInfo>& accounts)
{
    std::vector<std::wstring_view> passwords;
    passwords.reserve(accounts.size());
    for (const UserInfo& account : accounts)
        passwords.emplace_back(account.password);
    return passwords;
}

// Why a run whose logins were all tested has nothing to migrate: the source
// refused them, or could not take them now (those accounts failed), or both.
std::wstring noneAccepted(const UsersInformation& users)
{
    MigrationStatus status;
    users.fillStatus(status);
    const wchar_t* what = status.failedAccounts == 0
        ? L"refused the login of every account to migrate"
        : status.loginsRefused == 0
        ? L"could not log in any account to migrate now"
        : L"refused the login of every account to migrate or could not log it in now";
    return sentence(L"The source server %1%; the target server was not changed, and the "
                    L"migration did not start.",
        what);
}

} // namespace

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
    KMutexLocker lock(lock_);
    if (run_ && run_->logins)
        run_->logins->join();
    // No run came to write them after its header.
    writeHeldSkippedLines();
}

void Migrator::writeHeldSkippedLines()
{
    if (!heldSkippedLines_.empty())
        LogManager::instance().writeReport(heldSkippedLines_);
    heldSkippedLines_.clear();
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
    hideInLogs({configuration.adminPassword});
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
    std::string failure;
    if (!readAccountsFile(unicodeToUtf8(path), file, failure)) {
        log.report(TAVIR_HERE,
            sentence(L"The accounts file %1% can't be read: %2%.", path, utf8ToUnicode(failure)));
        KMutexLocker lock(lock_);
        accountsFailure_ = log.lastKept();
        return false;
    }
    hideInLogs(passwordsOf(file.accounts));
    for (const std::wstring& problem : file.problems)
        log.report(TAVIR_HERE, problem);
    log.debug(TAVIR_HERE, sentence(L"%1% accounts read from %2%.", file.accounts.size(), path));
    auto list = std::make_shared<UsersInformation>(std::move(file.accounts));
    KMutexLocker lock(lock_);
    accountsFailure_.clear();
    users_ = std::move(list);
    skippedAccountLines_ = file.skippedLines;
    // A file loaded again replaces the sentences of the one before.
    heldSkippedLines_ = log.takeKept();
    return true;
}

unsigned Migrator::skippedAccountLines()
{
    KMutexLocker lock(lock_);
    return skippedAccountLines_;
}

bool Migrator::startUserTest(ICallbacks* callbacks, std::vector<TestStatus>& statuses)
{
    std::shared_ptr<ImapUserTesterThread> previous;
    {
        KMutexLocker lock(lock_);
        if (!callbacks || statuses.size() != users_->size())
            return false;
        // The wizard may start the next test as soon as it hears stopped();
        // the old thread is then only returning.
        if (tester_ && tester_->isRunning() && !tester_->hasEnded())
            return false;
        previous = tester_;
    }
    // Joined outside the lock: the old thread may still be inside its
    // stopped(), which may call this object (but not start a test from
    // there).
    if (previous && previous->isCurrent())
        return false;
    if (previous)
        previous->join();
    KMutexLocker lock(lock_);
    if (tester_ != previous)
        return false; // another test was started meanwhile
    auto tester = std::make_shared<ImapUserTesterThread>(users_, configuration_.sourceServer,
        configuration_.sourceSsl, callbacks, statuses, loginTestTimeoutMs_);
    if (!tester->guardedStart(ThreadRunner<ImapUserTesterThread>::startPoint))
        return false;
    tester_ = std::move(tester);
    runTestedLast_ = false;
    // The wizard's accounts page is a part of the report of its own: the
    // file's skipped lines, then the test's refusals as they come.
    LogManager::instance().beginReportPart();
    writeHeldSkippedLines();
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
    std::shared_ptr<Thread> previous;
    {
        KMutexLocker lock(lock_);
        // A start refused below without a sentence must not show an
        // earlier start's reason.
        startFailure_.clear();
        if (!callbacks)
            return false;
        if (starting_ || (runCallbacks_ && !runCallbacks_->hasStopped())) {
            Logger log;
            log.report(TAVIR_HERE, L"A migration is running already; it was not started again.");
            startFailure_ = log.kept();
            return false;
        }
        previous = supervisor_;
    }
    // Joined outside the lock, as the old supervisor may still be inside its
    // stopped(); from inside it a new run can't start.
    if (previous && previous->isCurrent())
        return false;
    if (previous)
        previous->join();
    auto run = std::make_shared<MigrationRun>();
    {
        KMutexLocker lock(lock_);
        if (supervisor_ != previous || starting_)
            return false; // another run was started meanwhile
        supervisor_.reset();
        Logger log;
        if (!describeRun(*run, log)) {
            startFailure_ = log.kept();
            return false;
        }
        run->startTime = static_cast<std::int64_t>(std::time(nullptr));
        startTime_ = run->startTime;
        run_ = run;
        // The logins are tested beside the copy, from now on; the target
        // is prepared once one was accepted, and never for a source that
        // refused them all or can't be reached.
        run->users->leaveOutRefused();
        run->sourceConnections = std::make_shared<SourceConnections>();
        run->logins = std::make_shared<RunLogins>(run->users, run->source, run->sourceSsl,
            run->sourceFirstUse, run->sourceConnections, loginTestTimeoutMs_);
        runTestedLast_ = true;
        starting_ = true;
        startPhase_ = StartPhase::LoginsTested;
        stoppedWhile_ = StartPhase::None;
        startStop_ = std::make_shared<utils::StopSignal>();
        run->logins->start();
    }
    // Outside the lock, so that a stop can end the wait.
    const RunLogins::First first = run->logins->waitForTheFirstAccepted();
    Logger log;
    TargetPlan plan;
    {
        KMutexLocker lock(lock_);
        if (first == RunLogins::First::Stopped && stoppedWhile_ == StartPhase::None)
            stoppedWhile_ = StartPhase::LoginsTested;
        const bool stopped = stoppedWhile_ != StartPhase::None;
        if (first == RunLogins::First::NoneAccepted)
            log.report(TAVIR_HERE, noneAccepted(*run->users));
        if (stopped || first == RunLogins::First::SourceFailed)
            log.report(
                TAVIR_HERE, L"The target server was not changed; the migration did not start.");
        if (stopped || first != RunLogins::First::Ready)
            return notStarted(*run, log);
        plan = planFor(*run);
        startPhase_ = StartPhase::TargetPrepared;
    }
    // Outside the lock too: the administration service may be slow or
    // silent, and stop (which raises plan.stop) and getStatus must answer
    // meanwhile.
    PreparedTarget prepared;
    const bool ready = prepareMigration(*run, plan, prepared, log);
    std::shared_ptr<CallbacksWrapper> wrapper;
    std::shared_ptr<WaiterThread> supervisor;
    {
        KMutexLocker lock(lock_);
        // A stop that came during the preparation, or after it and before
        // this, ends the start here: from now on a stop reaches the
        // supervisor instead.
        if (ready && stoppedWhile_ == StartPhase::None) {
            startFailure_.clear();
            masterPassword_ = run->masterPassword;
            MigrationStatus status;
            run->users->fillStatus(status);
            // More workers than accounts would only start and end.
            prepared.workers = std::max(1u, std::min(prepared.workers, accountsNotStarted(status)));
            writeHeaderAndHeld(*run, prepared.workers);
            if (!prepared.notice.empty())
                log.report(TAVIR_HERE, trustSentence(prepared.notice));
            log.report(L"");
            log.flush();

            wrapper = std::make_shared<CallbacksWrapper>(callbacks);
            supervisor = std::make_shared<WaiterThread>(
                run, prepared.workers, wrapper, &Migrator::postMigration);
            supervisor_ = supervisor;
            runCallbacks_ = wrapper;
            starting_ = false;
        }
    }
    if (!supervisor) {
        // Prepared whole before the stop was seen: put back as a failed
        // preparation is, outside the lock for the same reason.
        if (ready) {
            run->puttingBack->store(true, std::memory_order_release);
            undoPreparation(*run->admin, *run->journal, log);
        }
        KMutexLocker lock(lock_);
        return notStarted(*run, log);
    }
    // Outside the engine's lock, which a callback may take; before the
    // supervisor exists as a thread, so that no stopped() can come first.
    wrapper->started();
    if (!supervisor->guardedStart(ThreadRunner<WaiterThread>::startPoint)) {
        log.report(TAVIR_HERE, L"The migration's supervisor thread could not be started.");
        log.flush();
        // Ended here as a stopped run: the target is put back and the
        // wizard hears stopped().
        supervisor->setTerminated(true);
        supervisor->run();
    }
    return true;
}

void Migrator::writeHeaderAndHeld(const MigrationRun& run, unsigned workers)
{
    MigrationStatus status;
    run.users->fillStatus(status);
    Logger header;
    LogManager::instance().beginReportPart();
    writeReportHeader(header, run, configuration_.adminUser, status, workers);
    header.flush();
    writeHeldSkippedLines();
    run.logins->releaseSentences();
}

bool Migrator::notStarted(MigrationRun& run, Logger& log)
{
    starting_ = false;
    run.logins->stop();
    run.logins->join();
    writeHeaderAndHeld(run, 0);
    const std::wstring source = run.logins->sourceFailure();
    startFailure_ = (source.empty() ? std::wstring() : source + L"\n") + log.kept();
    log.report(L"");
    log.flush();
    reportSourceLimit(run, log);
    MigrationStatus status;
    run.users->fillStatus(status);
    status.startTime = run.startTime;
    RunEnd end;
    end.time = static_cast<std::int64_t>(std::time(nullptr));
    end.aborted = stoppedWhile_ != StartPhase::None;
    end.signalNumber = tiny::terminationSignal();
    end.started = false;
    end.stoppedWhile = stoppedWhile_;
    run.noteEnding({end.time, writeReportSummary(log, status, end), {}, {}});
    log.flush();
    run.puttingBack->store(false, std::memory_order_release);
    return false;
}

bool Migrator::describeRun(MigrationRun& run, Logger& log)
{
    const Configuration& c = configuration_;
    if (!parseServerAddress(c.sourceServer, c.sourceSsl, run.source)) {
        log.report(TAVIR_HERE, notAnAddress(L"source", c.sourceServer) + L".");
        return false;
    }
    if (!parseServerAddress(c.targetServer, c.targetSsl, run.target)) {
        log.report(TAVIR_HERE, notAnAddress(L"target", c.targetServer) + L".");
        return false;
    }
    run.sourceSsl = c.sourceSsl;
    run.sourceFirstUse = c.sourceFirstUse;
    run.targetSsl = c.targetSsl;
    run.users = users_;
    run.admin = std::make_shared<tinydb::TinyDbClient>();
    run.accounts = std::make_shared<TargetAccounts>(run.users, run.admin);
    return true;
}

TargetPlan Migrator::planFor(const MigrationRun& run)
{
    TargetPlan plan;
    plan.host = unicodeToUtf8(run.target.host);
    plan.adminUser = unicodeToUtf8(configuration_.adminUser);
    plan.adminPassword = unicodeToUtf8(configuration_.adminPassword);
    plan.ssl = run.targetSsl;
    plan.imapPort = run.target.port;
    plan.stop = startStop_;
    plan.puttingBack = run.puttingBack;
    return plan;
}

bool Migrator::prepareMigration(
    MigrationRun& run, TargetPlan& plan, PreparedTarget& prepared, Logger& log)
{
    log.debug(TAVIR_HERE, sentence(L"Preparing the target server %1%.", run.target.text()));
    plan.run = tinydb::RunIdentity::ofThisProcess(static_cast<std::int64_t>(std::time(nullptr)));
    run.journal = std::make_shared<tinydb::PreparationJournal>(
        tinydb::PreparationJournal::defaultFolder(), journalTarget(plan));
    try {
        // 12 lower-case hexadecimal characters, new for every run.
        tavir::utils::Random().getAscii(plan.masterPassword, 12);
        LogManager::instance().hideSecrets({plan.masterPassword});
    } catch (const std::exception& e) {
        log.report(TAVIR_HERE,
            sentence(L"No temporary master password could be made: %1%.", utf8ToUnicode(e.what())));
        return false;
    }
    if (!prepareTarget(*run.admin, *run.journal, plan, prepared, log))
        return false;
    run.masterPassword = utf8ToUnicode(plan.masterPassword);
    run.targetVersion = prepared.version;
    return true;
}

void Migrator::postMigration(const MigrationRun& run, bool aborted, Logger& log)
{
    run.puttingBack->store(true, std::memory_order_release);
    // The restore's own lines, for the status: whatever the supervisor said
    // before them is written first.
    log.flush();
    restoreTarget(*run.admin, *run.journal, log);
    const std::wstring restored = log.kept();
    MigrationStatus status;
    run.users->fillStatus(status);
    status.startTime = run.startTime;
    RunEnd end;
    end.time = static_cast<std::int64_t>(std::time(nullptr));
    end.aborted = aborted;
    // A stop that a termination signal asked for is named as such.
    end.signalNumber = tiny::terminationSignal();
    status.madeAhead = run.accounts->madeAheadUnused();
    if (const auto stored
        = run.admin->storeMigrationStatus(migrationStatusRecord(status, end.time));
        !stored)
        log.report(TAVIR_HERE, utf8ToUnicode(stored.failure));
    run.admin->close();
    reportSourceLimit(run, log);
    run.noteEnding({end.time, writeReportSummary(log, status, end), status.madeAhead, restored});
    log.flush();
    run.puttingBack->store(false, std::memory_order_release);
    // The run is over: a start after it may go ahead (and put back, from
    // the journal, whatever could not be put back here).
    run.journal->unlock();
}

void Migrator::reportSourceLimit(const MigrationRun& run, Logger& log)
{
    // Said once, with the figure the run kept to in the end.
    const std::wstring limit = run.sourceConnections->limitSentence();
    if (!limit.empty())
        log.report(TAVIR_HERE, limit);
}

void Migrator::getStatus(MigrationStatus& status)
{
    std::shared_ptr<UsersInformation> list;
    std::shared_ptr<ImapUserTesterThread> tester;
    std::shared_ptr<const MigrationRun> run;
    {
        KMutexLocker lock(lock_);
        status.startTime = startTime_;
        status.startFailure = startFailure_;
        status.accountsFailure = accountsFailure_;
        // Said once the start is over: a stop that ended it before its run.
        status.stoppedBeforeTheRun = starting_ ? StartPhase::None : stoppedWhile_;
        list = users_;
        run = run_;
        if (!runTestedLast_)
            tester = tester_;
    }
    // Read before the ending: the restore is said over once the ending is
    // noted, so a status never shows neither (the run's tests would be
    // drawn again between the two).
    status.puttingTargetBack = run && run->puttingBack->load(std::memory_order_acquire);
    MigrationRun::Ending ending = run ? run->ending() : MigrationRun::Ending();
    status.endTime = ending.time;
    status.summary = std::move(ending.summary);
    status.madeAhead = std::move(ending.madeAhead);
    status.targetRestore = std::move(ending.targetRestore);
    status.sourceUntestable = tester ? tester->sourceFailure()
        : run && run->logins         ? run->logins->sourceFailure()
                                     : std::wstring();
    status.sourceCertificateUnknown
        = !tester && run && run->logins ? run->logins->unknownCertificate() : std::string();
    status.sourceLimit
        = run && run->sourceConnections ? run->sourceConnections->limitSentence() : std::wstring();
    status.targetWaitSeconds = status.puttingTargetBack ? secondsLeftAtMost(*run->admin) : 0;
    list->fillStatus(status);
}

bool Migrator::stop()
{
    KMutexLocker lock(lock_);
    if (starting_) {
        if (stoppedWhile_ == StartPhase::None)
            stoppedWhile_ = startPhase_;
        startStop_->raise();
    }
    if (run_ && run_->logins)
        run_->logins->stop();
    if (supervisor_)
        supervisor_->setTerminated(true);
    return true;
}

void Migrator::acceptLoginUntested(unsigned index)
{
    users()->setTestStatus(index, TestLoginAccepted);
}

void Migrator::setLoginTestTimeoutMs(unsigned ms)
{
    KMutexLocker lock(lock_);
    loginTestTimeoutMs_ = ms;
}

void Migrator::setPassword(unsigned int index, const std::wstring& password)
{
    hideInLogs({password});
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
