// One migration through the engine, without the wizard, from the command line:
//   zorp-engine-run [--home DIR] [--admin USER] [--end-within SECONDS]
//                   [--trust-source-certificate SHA256:...]
//                   SOURCE TARGET ACCOUNTS LOGS
// SOURCE is "host[:port]", or "imaps://host[:port]" over TLS, TARGET
// "host[:port]" (plain IMAP), ACCOUNTS the accounts file, LOGS the folder
// that gets report.txt and debug.log. A TLS source's certificate is trusted
// as the wizard trusts it, but never pinned on first use: one no trusted
// authority vouches for and none pinned for ends the run before any login,
// with its fingerprint, unless --trust-source-certificate accepted it. The
// administrator's password is taken from ZORP_ADMIN_PASSWORD, never from the
// command line. --home sets HOME, where the administration service's pin and
// the target's journal are kept. SIGTERM, SIGINT and SIGHUP end it as they
// end the wizard: the run is stopped, the target put back and the status
// record stored within --end-within seconds of the signal (35), and the
// program ends with 128 plus the signal's number; a second signal ends it
// at once.
// The engine's run tests every account's login on the source beside the
// copy, a few at once, and migrates only the accounts whose login was
// accepted: a login the source refuses must not become an account on the
// target with a mistyped password. The target is prepared once a login was
// accepted; a source that refuses them all or can't be reached leaves it
// unchanged.
// It tells its terminal why a run did not start, each account whose login
// was refused or that failed, and the report's summary at the end
// (RunOutput.h), with a progress line while the first logins are tested and
// while the run goes on when standard error is a terminal.
// Exit status: 0 every account finished without a failure; 1 the run ended
// with failures, or the source refused a login; 3 the migration did not
// start (the source could not be reached among the reasons); 4 anything
// else (usage, the logs, the accounts file, a run that did not end within an
// hour); 128 plus the signal's number after a termination signal.
#include "CommandLine.h"
#include "Imap/engine/Engine.h"
#include "Imap/textconv/TextConversion.h"
#include "RunOutput.h"
#include "tiny/KCondition.h"
#include "tiny/KMutex.h"
#include "tiny/ScopeExit.h"
#include "tiny/TerminationNote.h"
#include "tiny/Thread.h"

#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using tavir::enginerun::BeforeTheRun;
using tavir::enginerun::CommandLine;
using tavir::enginerun::ProgressLine;
using tavir::migration::IMigrator;
using tavir::migration::StartPhase;
using tavir::migration::utf8ToUnicode;

enum Exit { Finished = 0, Failures = 1, NotStarted = 3, Trouble = 4 };

const char* const program = "zorp-engine-run: ";

// Waits for the end of a credential test or of a run: the engine's threads
// call stopped() once, when they have ended.
class EndOfRun : public tavir::migration::ICallbacks {
public:
    void started() override { }
    void statusChanged() override { }
    void stopped(bool aborted) override
    {
        tavir::tiny::KMutexLocker hold(lock_);
        ended_ = true;
        aborted_ = aborted;
        changed_.notifyAll();
    }
    // True once it has ended, false when `time` passed first.
    bool wait(std::chrono::milliseconds time)
    {
        tavir::tiny::KMutexLocker hold(lock_);
        return changed_.waitUntil(lock_, tavir::tiny::KCondition::Clock::now() + time, ended_);
    }
    // Ended by a stop request (or, for the test, an unexpected failure).
    bool aborted()
    {
        tavir::tiny::KMutexLocker hold(lock_);
        return aborted_;
    }

private:
    tavir::tiny::KMutex lock_;
    tavir::tiny::KCondition changed_;
    bool ended_ TAVIR_GUARDED_BY(lock_) = false;
    bool aborted_ TAVIR_GUARDED_BY(lock_) = false;
};

// Whatever the engine is doing, stopped as the wizard's Abort and Stop
// stop it: the credential test before its next account, a run as Stop does.
void halt(IMigrator& engine)
{
    engine.stopUserTest();
    engine.stop();
}

// SIGTERM, SIGINT and SIGHUP, taken by a thread of their own (they are
// blocked everywhere else): the first is noted, for the engine to bound its
// end by and name, and stops what the engine is doing; a second ends the
// process there and then, as if nothing handled it (the journal covers
// that).
class TerminationSignals {
public:
    // Before any other thread exists, so that every thread inherits the mask.
    TerminationSignals()
    {
        sigemptyset(&handled_);
        for (int signalNumber : {SIGTERM, SIGINT, SIGHUP})
            sigaddset(&handled_, signalNumber);
        pthread_sigmask(SIG_BLOCK, &handled_, nullptr);
        // Detached: it waits for signals as long as the process lives.
        // Without it nothing would take them: they then end the process.
        if (!tavir::tiny::createThread(
                [](void* self) { static_cast<TerminationSignals*>(self)->watch(); }, this, nullptr,
                tavir::tiny::threadNameAttr("termination signals")))
            pthread_sigmask(SIG_UNBLOCK, &handled_, nullptr);
    }

    // The engine a signal stops from now on (null: none, once it goes).
    void stop(IMigrator* engine)
    {
        tavir::tiny::KMutexLocker hold(lock_);
        engine_ = engine;
        if (engine_ && tavir::tiny::terminationSignal() != 0)
            halt(*engine_);
    }

private:
    void watch()
    {
        for (;;) {
            int signalNumber = 0;
            if (sigwait(&handled_, &signalNumber) != 0)
                continue;
            if (tavir::tiny::terminationSignal() != 0) {
                signal(signalNumber, SIG_DFL);
                sigset_t one;
                sigemptyset(&one);
                sigaddset(&one, signalNumber);
                pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
                raise(signalNumber);
                return;
            }
            tavir::tiny::noteTerminationSignal(signalNumber);
            tavir::tiny::KMutexLocker hold(lock_);
            if (engine_)
                halt(*engine_);
        }
    }

    sigset_t handled_;
    tavir::tiny::KMutex lock_;
    IMigrator* engine_ TAVIR_GUARDED_BY(lock_) = nullptr;
};

// 128 plus the signal's number once one came.
int ended(int status)
{
    const int signalNumber = tavir::tiny::terminationSignal();
    return signalNumber != 0 ? 128 + signalNumber : status;
}

// Until `end` comes, `draw`ing a few times a second on a terminal (often
// enough to see messages arrive, seldom enough to cost the run nothing) and
// only looking every few seconds elsewhere. False when an hour passed first.
bool waitAnHour(EndOfRun& end, const ProgressLine& progress, const std::function<void()>& draw)
{
    using namespace std::chrono;
    const auto deadline = steady_clock::now() + hours(1);
    const milliseconds step = progress.shown() ? milliseconds(250) : seconds(5);
    while (!end.wait(step)) {
        if (steady_clock::now() >= deadline)
            return false;
        draw();
    }
    return true;
}

// The administrator's password, from ZORP_ADMIN_PASSWORD; false, said on
// standard error, when it is not set or empty.
bool adminPassword(std::string& password)
{
    const char* given = std::getenv("ZORP_ADMIN_PASSWORD");
    if (given && *given) {
        password = given;
        return true;
    }
    std::fprintf(stderr,
        "%sZORP_ADMIN_PASSWORD is %s; it holds the administrator's password (read -rsp "
        "'Administrator password: ' ZORP_ADMIN_PASSWORD; export ZORP_ADMIN_PASSWORD).\n",
        program, given ? "empty" : "not set");
    return false;
}

// True when `logs` is a folder this program may write its logs into; else
// false, said on standard error.
bool logsFolderUsable(const std::string& logs)
{
    struct stat seen { };
    if (stat(logs.c_str(), &seen) != 0) {
        if (errno == ENOENT)
            std::fprintf(stderr,
                "%sthe logs folder %s does not exist; make it first (mkdir -p %s).\n", program,
                logs.c_str(), logs.c_str());
        else
            std::fprintf(stderr, "%sthe logs folder %s can't be used: %s.\n", program, logs.c_str(),
                std::strerror(errno));
        return false;
    }
    if (!S_ISDIR(seen.st_mode)) {
        std::fprintf(stderr,
            "%s%s is not a folder; LOGS is the folder that gets report.txt and "
            "debug.log.\n",
            program, logs.c_str());
        return false;
    }
    if (access(logs.c_str(), W_OK | X_OK) != 0) {
        std::fprintf(stderr, "%sthe logs folder %s can't be written to: %s.\n", program,
            logs.c_str(), std::strerror(errno));
        return false;
    }
    return true;
}

// While start() tests the first logins and prepares the target (it blocks
// its caller), the test's progress line, drawn by a thread of its own; on a
// terminal only.
class TestProgress {
public:
    explicit TestProgress(IMigrator& engine)
        : engine_(engine)
    {
        if (progress_.shown())
            drawing_ = tavir::tiny::createThread(
                &TestProgress::loop, this, &thread_, tavir::tiny::threadNameAttr("test progress"));
    }
    ~TestProgress()
    {
        {
            tavir::tiny::KMutexLocker hold(lock_);
            done_ = true;
            woken_.notifyAll();
        }
        if (drawing_)
            tavir::tiny::waitForThreadClose(thread_);
    }
    TestProgress(const TestProgress&) = delete;
    TestProgress& operator=(const TestProgress&) = delete;

private:
    static void loop(void* self) { static_cast<TestProgress*>(self)->draw(); }
    // At once, then four times a second until the test has ended.
    void draw()
    {
        tavir::tiny::KMutexLocker hold(lock_);
        do {
            tavir::migration::MigrationStatus status;
            engine_.getStatus(status);
            // Once the start has ended its lines follow: the tests' line is
            // not drawn again over them.
            if (status.endTime != 0)
                break;
            progress_.draw([&](unsigned columns) {
                return tavir::enginerun::testProgressText(status, columns);
            });
        } while (!woken_.waitUntil(
            lock_, tavir::tiny::KCondition::Clock::now() + std::chrono::milliseconds(250), done_));
    }

    IMigrator& engine_;
    ProgressLine progress_;
    tavir::tiny::KMutex lock_;
    tavir::tiny::KCondition woken_;
    bool done_ TAVIR_GUARDED_BY(lock_) = false;
    pthread_t thread_{};
    bool drawing_ = false;
};

// A start that did not go ahead: why, on standard error; then, once its
// tests had begun, the accounts whose login was refused and the report's
// summary, as a run's end is told. The exit status.
int notStarted(IMigrator& engine, const BeforeTheRun& before, const std::string& report)
{
    tavir::migration::MigrationStatus status;
    engine.getStatus(status);
    if (status.summary.empty()) {
        // Refused before its tests began: the report has its reasons alone.
        tavir::enginerun::printReportLines(
            stderr, tavir::enginerun::startFailureLines(status), report);
        tavir::enginerun::printSkippedLines(stderr, before.skippedLines);
        return ended(NotStarted);
    }
    std::vector<tavir::migration::UserInfoData> users;
    engine.getUsers(users);
    tavir::enginerun::printStartFailure(status);
    // A certificate nobody vouches for, not pinned: said with how to accept it.
    if (!status.sourceCertificateUnknown.empty())
        std::fprintf(stderr, "%s%s.\n", program,
            tavir::enginerun::howToTrustSource(status.sourceCertificateUnknown).c_str());
    tavir::enginerun::printRunEnd(users, status, before, report);
    // A stop ended it, where the summary says.
    if (status.stoppedBeforeTheRun != StartPhase::None)
        return ended(Trouble);
    // Every account selected was tested and failed: refused ones are left
    // out of the run, those the source could not log in now failed in it.
    if (status.loginsRefused + status.failedAccounts != 0
        && status.selectedAccounts == status.failedAccounts)
        return Failures;
    return ended(NotStarted);
}

// The run in hand until it ends, with the progress line on a terminal; at
// most an hour, then it is stopped as the wizard's Stop stops one. False
// when the hour passed.
bool waitForTheEnd(IMigrator& engine, EndOfRun& end)
{
    ProgressLine progress;
    const bool withinTheHour = waitAnHour(end, progress, [&] {
        tavir::migration::MigrationStatus status;
        engine.getStatus(status);
        const auto now = static_cast<std::int64_t>(std::time(nullptr));
        progress.draw([&](unsigned columns) {
            return tavir::enginerun::progressText(
                status, tavir::migration::runSeconds(status.startTime, now), columns);
        });
    });
    if (withinTheHour)
        return true;
    progress.erase();
    std::fprintf(stderr,
        "%sthe run did not end within an hour; it is stopped and the target put back.\n", program);
    engine.stop();
    end.wait(std::chrono::minutes(10));
    return false;
}

int migrate(const CommandLine& line, TerminationSignals& signals)
{
    std::string password;
    if (!adminPassword(password) || !logsFolderUsable(line.logs))
        return Trouble;
    const std::string report = line.logs + "/report.txt";
    std::string logsFailure;
    if (!tavir::migration::initNamingLogsFailure(
            utf8ToUnicode(report), utf8ToUnicode(line.logs + "/debug.log"), logsFailure)) {
        std::fprintf(stderr, "%s%s.\n", program,
            logsFailure.empty() ? "the conversion library can't be loaded; the report says why"
                                : logsFailure.c_str());
        return Trouble;
    }
    IMigrator* created = nullptr;
    tavir::migration::createMigrator(&created);
    std::unique_ptr<IMigrator> engine(created);
    // No signal reaches the engine once it is gone, whichever way this ends.
    signals.stop(engine.get());
    const tavir::tiny::ScopeExit forgetTheEngine([&signals] { signals.stop(nullptr); });
    tavir::migration::Configuration configuration;
    configuration.sourceServer = utf8ToUnicode(line.source);
    configuration.sourceSsl = line.sourceSsl;
    // Nobody watches this run to see a new certificate pinned: only the
    // one the user accepted may be.
    configuration.sourceFirstUse = {false, line.trustSourceCertificate};
    configuration.targetServer = utf8ToUnicode(line.target);
    configuration.adminUser = utf8ToUnicode(line.admin);
    configuration.adminPassword = utf8ToUnicode(password);
    engine->init(configuration);
    tavir::migration::MigrationStatus status;
    if (!engine->loadUsers(utf8ToUnicode(line.accounts))) {
        engine->getStatus(status);
        tavir::enginerun::printReportLines(stderr, status.accountsFailure, report);
        return Trouble;
    }
    BeforeTheRun before;
    before.skippedLines = engine->skippedAccountLines();
    if (tavir::tiny::terminationSignal() != 0) {
        tavir::enginerun::printStoppedBeforeTheLogins(tavir::tiny::terminationSignal(), report);
        return ended(Trouble);
    }
    engine->getStatus(status);
    if (status.accounts == 0) {
        std::fprintf(stderr, "%sthe accounts file %s holds no account to migrate.\n", program,
            line.accounts.c_str());
        tavir::enginerun::printSkippedLines(stderr, before.skippedLines);
        return Trouble;
    }
    EndOfRun end;
    // The logins are tested within the start, which returns once one was
    // accepted and the target prepared. A signal during either ends the
    // start at once (the engine's stop ends the preparation's waits and
    // puts back what it changed); one that came after the start had seen
    // its last stop is made again here, and stops the run.
    bool started = false;
    {
        TestProgress progress(*engine);
        started = engine->start(&end);
    }
    signals.stop(engine.get());
    if (!started)
        return notStarted(*engine, before, report);
    const bool withinTheHour = waitForTheEnd(*engine, end);
    engine->getStatus(status);
    std::vector<tavir::migration::UserInfoData> users;
    engine->getUsers(users);
    tavir::enginerun::printRunEnd(users, status, before, report);
    if (!withinTheHour)
        return Trouble;
    const bool clean = status.failedAccounts + status.folderErrors + status.messageErrors == 0
        && status.finishedAccounts == status.selectedAccounts && status.loginsRefused == 0;
    return ended(clean ? Finished : Failures);
}

} // namespace

int main(int argc, char** argv)
{
    CommandLine line;
    std::string mistake;
    if (!tavir::enginerun::readCommandLine(argc - 1, argv + 1, line, mistake)) {
        std::fprintf(stderr, "%s%s.\n%s", program, mistake.c_str(), tavir::enginerun::usageText);
        return Trouble;
    }
    if (line.help) {
        std::fputs(tavir::enginerun::usageText, stdout);
        return Finished;
    }
    if (line.home)
        setenv("HOME", line.home->c_str(), 1);
    if (line.endWithinSeconds)
        tavir::tiny::setEndBudgetMs(*line.endWithinSeconds * 1000);
    // Never destroyed: its thread waits in sigwait on the object's signal set
    // until the process has ended, static destructors included.
    static TerminationSignals& signals = *new TerminationSignals;
    return migrate(line, signals);
}
