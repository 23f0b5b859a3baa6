// One migration through the engine, without the wizard, from the command line:
//   zorp-engine-run [--home DIR] [--admin USER] [--end-within SECONDS]
//                   SOURCE TARGET ACCOUNTS LOGS
// SOURCE and TARGET are "host[:port]" (plain IMAP), ACCOUNTS the accounts
// file, LOGS the folder that gets report.txt and debug.log. The
// administrator's password is taken from ZORP_ADMIN_PASSWORD, never from the
// command line. --home sets HOME, where the administration service's pin and
// the target's journal are kept. SIGTERM, SIGINT and SIGHUP end it as they
// end the wizard: the run is stopped, the target put back and the status
// record stored within --end-within seconds of the signal (35), and the
// program ends with 128 plus the signal's number; a second signal ends it
// at once.
// It tells its terminal why a run did not start, each account that failed
// and a summary line at the end (RunOutput.h), with a progress line while
// the run goes on when standard error is a terminal.
// Exit status: 0 every account finished without a failure; 1 the run ended
// with failures; 3 the migration did not start; 4 anything else (usage, the
// logs, the accounts file, a run that did not end within an hour); 128 plus
// the signal's number after a termination signal.
#include "Imap/engine/Engine.h"
#include "RunOutput.h"
#include "Imap/textconv/TextConversion.h"
#include "tiny/TerminationNote.h"

#include <pthread.h>
#include <signal.h>

#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using tavir::enginerun::printFailedAccounts;
using tavir::enginerun::printNotStarted;
using tavir::enginerun::printSummary;
using tavir::enginerun::ProgressLine;
using tavir::migration::utf8ToUnicode;

enum Exit { Finished = 0, Failures = 1, NotStarted = 3, Trouble = 4 };

// Waits for the run's end.
class EndOfRun : public tavir::migration::ICallbacks {
public:
    void started() override { }
    void statusChanged() override { }
    void stopped(bool) override
    {
        std::lock_guard<std::mutex> hold(lock_);
        ended_ = true;
        changed_.notify_all();
    }
    // True once the run has ended, false when `time` passed first.
    bool wait(std::chrono::milliseconds time)
    {
        std::unique_lock<std::mutex> hold(lock_);
        return changed_.wait_for(hold, time, [this] { return ended_; });
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    bool ended_ = false;
};

const char* const usageText
    = "usage: zorp-engine-run [--home DIR] [--admin USER] [--end-within SECONDS]\n"
      "                       SOURCE TARGET ACCOUNTS LOGS\n"
      "  SOURCE       the source server, host[:port] (143 when left out)\n"
      "  TARGET       the target, host[:port]: the port its IMAP service is bound to for\n"
      "               the run (143 when left out); its administration service is on 44337\n"
      "  ACCOUNTS     the accounts file\n"
      "  LOGS         an existing folder, which gets report.txt and debug.log\n"
      "  --admin      the target's administrator (admin)\n"
      "  --home       the folder that keeps the pinned certificates and the target's\n"
      "               journal under .tavir/admin ($HOME)\n"
      "  --end-within seconds from SIGTERM, SIGINT or SIGHUP to the run's end (35)\n"
      "The administrator's password is taken from ZORP_ADMIN_PASSWORD.\n"
      "Exit status: 0 every account finished without a failure, 1 the run ended with\n"
      "failures, 3 the migration did not start, 4 anything else, 128 + N ended by\n"
      "signal N.\n";

int usage()
{
    std::fputs(usageText, stderr);
    return Trouble;
}

// SIGTERM, SIGINT and SIGHUP, taken by a thread of their own (they are
// blocked everywhere else): the first is noted, for the engine to bound its
// end by and name, and stops the run in hand; a second ends the process
// there and then, as if nothing handled it (the journal covers that).
class TerminationSignals {
public:
    // Before any other thread exists, so that every thread inherits the mask.
    TerminationSignals()
    {
        sigemptyset(&handled_);
        for (int signalNumber : {SIGTERM, SIGINT, SIGHUP})
            sigaddset(&handled_, signalNumber);
        pthread_sigmask(SIG_BLOCK, &handled_, nullptr);
        std::thread([this] { watch(); }).detach();
    }

    // The engine a signal stops from now on (null: none, once it goes).
    void stop(tavir::migration::IMigrator* engine)
    {
        std::lock_guard<std::mutex> hold(lock_);
        engine_ = engine;
        if (engine_ && tavir::tiny::terminationSignal() != 0)
            engine_->stop();
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
            std::lock_guard<std::mutex> hold(lock_);
            if (engine_)
                engine_->stop();
        }
    }

    sigset_t handled_;
    std::mutex lock_;
    tavir::migration::IMigrator* engine_ = nullptr;
};

// 128 plus the signal's number once one came.
int ended(int status)
{
    const int signalNumber = tavir::tiny::terminationSignal();
    return signalNumber != 0 ? 128 + signalNumber : status;
}

// The run in hand until it ends, with the progress line on a terminal; at
// most an hour, then it is stopped as the wizard's Stop stops one. False
// when the hour passed.
bool waitForTheEnd(tavir::migration::IMigrator& engine, EndOfRun& end,
    std::chrono::steady_clock::time_point began)
{
    using namespace std::chrono;
    ProgressLine progress;
    const auto deadline = began + hours(1);
    // A few times a second: often enough to see messages arrive, seldom
    // enough to cost the run nothing.
    const milliseconds step = progress.shown() ? milliseconds(250) : seconds(5);
    while (!end.wait(step)) {
        const auto now = steady_clock::now();
        if (now >= deadline) {
            progress.erase();
            std::fprintf(stderr, "zorp-engine-run: the run did not end within an hour; it is "
                                 "stopped and the target put back\n");
            engine.stop();
            end.wait(minutes(10));
            return false;
        }
        if (progress.shown()) {
            tavir::migration::MigrationStatus status;
            engine.getStatus(status);
            progress.draw(status, duration_cast<seconds>(now - began));
        }
    }
    return true;
}

// How the run ended, for the summary.
std::string howItEnded(bool withinTheHour)
{
    if (const int signalNumber = tavir::tiny::terminationSignal(); signalNumber != 0)
        return "stopped by " + tavir::tiny::terminationSignalName(signalNumber);
    return withinTheHour ? "ended" : "stopped after an hour";
}

int migrate(
    const std::string& admin, const std::vector<std::string>& args, TerminationSignals& signals)
{
    const char* password = std::getenv("ZORP_ADMIN_PASSWORD");
    if (!password) {
        std::fprintf(stderr,
            "zorp-engine-run: ZORP_ADMIN_PASSWORD is not set; it holds the administrator's "
            "password (read -rsp 'Administrator password: ' ZORP_ADMIN_PASSWORD; export "
            "ZORP_ADMIN_PASSWORD)\n");
        return Trouble;
    }
    const std::string& logs = args[3];
    const std::string report = logs + "/report.txt";
    if (!tavir::migration::init(utf8ToUnicode(report), utf8ToUnicode(logs + "/debug.log"))) {
        std::fprintf(stderr, "zorp-engine-run: the logs in %s can't be opened\n", logs.c_str());
        return Trouble;
    }
    tavir::migration::IMigrator* created = nullptr;
    tavir::migration::createMigrator(&created);
    std::unique_ptr<tavir::migration::IMigrator> engine(created);
    tavir::migration::Configuration configuration;
    configuration.sourceServer = utf8ToUnicode(args[0]);
    configuration.targetServer = utf8ToUnicode(args[1]);
    configuration.adminUser = utf8ToUnicode(admin);
    configuration.adminPassword = utf8ToUnicode(password);
    engine->init(configuration);
    if (!engine->loadUsers(utf8ToUnicode(args[2]))) {
        std::fprintf(stderr, "zorp-engine-run: the accounts file %s can't be read; the report: %s\n",
            args[2].c_str(), report.c_str());
        return Trouble;
    }
    if (tavir::tiny::terminationSignal() != 0)
        return ended(Trouble); // no run yet: the program ends at once
    EndOfRun end;
    const auto began = std::chrono::steady_clock::now();
    // A signal while the target is prepared stops the run as soon as it has
    // started: the engine's stop waits for the preparation, and a stop that
    // came before it is made again here.
    signals.stop(engine.get());
    const bool started = engine->start(&end);
    signals.stop(started ? engine.get() : nullptr);
    tavir::migration::MigrationStatus status;
    if (!started) {
        engine->getStatus(status);
        printNotStarted(status.startFailure, report);
        return ended(NotStarted);
    }
    const bool withinTheHour = waitForTheEnd(*engine, end, began);
    signals.stop(nullptr);
    engine->getStatus(status);
    std::vector<tavir::migration::UserInfoData> users;
    engine->getUsers(users);
    printFailedAccounts(users);
    printSummary(status, howItEnded(withinTheHour),
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - began),
        report);
    if (!withinTheHour)
        return Trouble;
    const bool clean = status.failedAccounts + status.folderErrors + status.messageErrors == 0
        && status.finishedAccounts == status.selectedAccounts;
    return ended(clean ? Finished : Failures);
}

} // namespace

int main(int argc, char** argv)
{
    std::string admin = "admin";
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        const bool option = std::strcmp(argv[i], "--home") == 0
            || std::strcmp(argv[i], "--admin") == 0 || std::strcmp(argv[i], "--end-within") == 0;
        if (option && i + 1 >= argc)
            return usage();
        if (std::strcmp(argv[i], "--home") == 0)
            setenv("HOME", argv[++i], 1);
        else if (std::strcmp(argv[i], "--admin") == 0)
            admin = argv[++i];
        else if (std::strcmp(argv[i], "--end-within") == 0) {
            char* rest = nullptr;
            const unsigned long seconds = std::strtoul(argv[++i], &rest, 10);
            if (!std::isdigit(static_cast<unsigned char>(argv[i][0])) || *rest != '\0'
                || seconds > 3600)
                return usage();
            tavir::tiny::setEndBudgetMs(static_cast<unsigned>(seconds) * 1000);
        } else
            args.push_back(argv[i]);
    }
    if (args.size() != 4)
        return usage();
    // Never destroyed: its thread waits in sigwait on the object's signal set
    // until the process has ended, static destructors included.
    static TerminationSignals& signals = *new TerminationSignals;
    return migrate(admin, args, signals);
}
