#pragma once
// The engine object behind IMigrator: the configuration, the account list,
// the credential test and the threads of a run. Every thread it starts is
// stopped and joined before the object goes away.
#include "Common/Tools/UsersInformation.h"
#include "Imap/engine/CallbacksWrapper.h"
#include "Imap/engine/IMigrator.h"
#include "Imap/engine/ImapUserTesterThread.h"
#include "Imap/engine/Logger.h"
#include "Imap/engine/MigrationRun.h"
#include "Imap/engine/RunLogins.h"
#include "Imap/engine/TargetPreparation.h"
#include "Imap/engine/Thread.h"
#include "ssl/StopSignal.h"
#include "tiny/KMutex.h"

#include <cstdint>
#include <memory>

namespace tavir::migration {

class Migrator : public IMigrator {
public:
    Migrator();
    ~Migrator() override;

    bool init(Configuration& configuration) override;
    bool loadUsers(const std::wstring& path) override;
    bool startUserTest(ICallbacks* callbacks, std::vector<TestStatus>& statuses) override;
    bool stopUserTest() override;
    void getUsers(std::vector<UserInfoData>& users) override;
    bool start(ICallbacks* callbacks) override;
    void getStatus(MigrationStatus& status) override;
    bool stop() override;
    void setPassword(unsigned int index, const std::wstring& password) override;
    void setMigrate(unsigned int index, bool migrate) override;
    std::wstring getMasterPassword() override;
    unsigned skippedAccountLines() override;

    // How long a login of the credential test or of a run's own tests may
    // wait for the source (milliseconds); LoginCheck::defaultTimeoutMs
    // unless set, for tests.
    void setLoginTestTimeoutMs(unsigned ms);
    // The account's login counts as accepted, as the wizard's test finds
    // it before a start: for tests of the account's road, whose sources are
    // scripted (or refuse) for the road's own connections alone.
    void acceptLoginUntested(unsigned index);

private:
    // The list in hand. loadUsers puts a new list in place rather than
    // changing the old one, so a test still ending keeps the list it began
    // with.
    std::shared_ptr<UsersInformation> users();
    static void stopAndJoin(const std::shared_ptr<Thread>& thread);
    // The run's shared state from the configuration; false, with a
    // sentence, when a server address is not one.
    bool describeRun(MigrationRun& run, Logger& log) TAVIR_REQUIRES(lock_);
    // What the target's preparation for the run needs of the
    // configuration, with the start's stop.
    TargetPlan planFor(const MigrationRun& run) TAVIR_REQUIRES(lock_);
    // Changes the target for the run (blocking: called without the lock),
    // after putting back what a run that died had left changed; false when
    // that failed, another run holds the target or a stop ended it, with
    // nothing left changed.
    static bool prepareMigration(
        MigrationRun& run, TargetPlan& plan, PreparedTarget& prepared, Logger& log);
    // Writes the header of the run's part of the report, then what was held
    // for after it: the skipped lines of the accounts file and the sentences
    // of the run's login tests.
    void writeHeaderAndHeld(const MigrationRun& run, unsigned workers) TAVIR_REQUIRES(lock_);
    // The skipped lines of the accounts file last loaded, into the report
    // unless they are there already.
    void writeHeldSkippedLines() TAVIR_REQUIRES(lock_);
    // A start that went no further than `log` says (a stop ended it when
    // stoppedWhile_ says where it came): the header, what was held, `log`'s
    // sentences and the summary; the tests stopped and joined; the start
    // over. Always false.
    bool notStarted(MigrationRun& run, Logger& log) TAVIR_REQUIRES(lock_);
    // On the supervisor once every worker has ended: the target put back,
    // the status record stored, the administration connection closed, the
    // source's limit said if it showed one, the summary written.
    static void postMigration(const MigrationRun& run, bool aborted, Logger& log);
    // The source's limit, once the run met one, in the report before its
    // summary.
    static void reportSourceLimit(const MigrationRun& run, Logger& log);

    tiny::KMutex lock_;
    Configuration configuration_ TAVIR_GUARDED_BY(lock_);
    std::shared_ptr<UsersInformation> users_ TAVIR_GUARDED_BY(lock_);
    unsigned skippedAccountLines_ TAVIR_GUARDED_BY(lock_) = 0;
    // The report's sentences on the skipped lines of the accounts file last
    // loaded, held for the next part of the report: after the next run's
    // header, or as the wizard's test of the accounts starts, or, when
    // neither comes, as the engine goes.
    std::string heldSkippedLines_ TAVIR_GUARDED_BY(lock_);
    std::shared_ptr<ImapUserTesterThread> tester_ TAVIR_GUARDED_BY(lock_);
    unsigned loginTestTimeoutMs_ TAVIR_GUARDED_BY(lock_) = LoginCheck::defaultTimeoutMs;
    // Which test of the logins came last, the wizard's (tester_) or a run's
    // own (run_): the one whose findings on the source getStatus hands on.
    bool runTestedLast_ TAVIR_GUARDED_BY(lock_) = false;
    // A start waits for its first accepted login and prepares the target
    // outside the lock; a second start is refused meanwhile, and a stop
    // ends it: before the target is changed, or with what the preparation
    // changed put back. startStop_, raised by that stop, ends the
    // preparation's waits.
    bool starting_ TAVIR_GUARDED_BY(lock_) = false;
    StartPhase startPhase_ TAVIR_GUARDED_BY(lock_) = StartPhase::None;
    // Where the last start was when a stop came; None while none did (a
    // start that ran its run never has one).
    StartPhase stoppedWhile_ TAVIR_GUARDED_BY(lock_) = StartPhase::None;
    std::shared_ptr<utils::StopSignal> startStop_ TAVIR_GUARDED_BY(lock_);
    // The run: its supervisor thread (which owns the workers and, through
    // the run they share, the administration client), its start time and
    // the target's temporary master password.
    std::shared_ptr<Thread> supervisor_ TAVIR_GUARDED_BY(lock_);
    // The run's callbacks: a run is in hand until they have passed on
    // stopped().
    std::shared_ptr<CallbacksWrapper> runCallbacks_ TAVIR_GUARDED_BY(lock_);
    std::int64_t startTime_ TAVIR_GUARDED_BY(lock_) = 0;
    // The last run that started, for its end time.
    std::shared_ptr<const MigrationRun> run_ TAVIR_GUARDED_BY(lock_);
    std::wstring masterPassword_ TAVIR_GUARDED_BY(lock_);
    // The report's lines on why the last start did not go ahead.
    std::wstring startFailure_ TAVIR_GUARDED_BY(lock_);
    // The report's line on why the last accounts file could not be read.
    std::wstring accountsFailure_ TAVIR_GUARDED_BY(lock_);
};

} // namespace tavir::migration
