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
// Exit status: 0 every account finished without a failure; 1 the run ended
// with failures; 3 the migration did not start; 4 anything else (usage, the
// logs, the accounts file, a run that did not end within an hour); 128 plus
// the signal's number after a termination signal.
#include "Imap/engine/Engine.h"
#include "Imap/textconv/TextConversion.h"
#include "tiny/TerminationNote.h"

#include <pthread.h>
#include <signal.h>

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
    bool wait(int seconds)
    {
        std::unique_lock<std::mutex> hold(lock_);
        return changed_.wait_for(hold, std::chrono::seconds(seconds), [this] { return ended_; });
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    bool ended_ = false;
};

int usage()
{
    std::fprintf(stderr,
        "usage: zorp-engine-run [--home DIR] [--admin USER] [--end-within SECONDS] SOURCE TARGET "
        "ACCOUNTS LOGS\n(the administrator's password in ZORP_ADMIN_PASSWORD)\n");
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

int migrate(
    const std::string& admin, const std::vector<std::string>& args, TerminationSignals& signals)
{
    const char* password = std::getenv("ZORP_ADMIN_PASSWORD");
    if (!password)
        return usage();
    const std::string& logs = args[3];
    if (!tavir::migration::init(
            utf8ToUnicode(logs + "/report.txt"), utf8ToUnicode(logs + "/debug.log"))) {
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
        std::fprintf(
            stderr, "zorp-engine-run: the accounts file %s can't be read\n", args[2].c_str());
        return Trouble;
    }
    if (tavir::tiny::terminationSignal() != 0)
        return ended(Trouble); // no run yet: the program ends at once
    EndOfRun end;
    // A signal while the target is prepared stops the run as soon as it has
    // started: the engine's stop waits for the preparation, and a stop that
    // came before it is made again here.
    signals.stop(engine.get());
    const bool started = engine->start(&end);
    signals.stop(started ? engine.get() : nullptr);
    if (!started)
        return ended(NotStarted);
    const bool over = end.wait(3600);
    signals.stop(nullptr);
    if (!over) {
        std::fprintf(stderr, "zorp-engine-run: the run did not end within an hour\n");
        return Trouble;
    }
    tavir::migration::MigrationStatus status;
    engine->getStatus(status);
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
        else if (std::strcmp(argv[i], "--end-within") == 0)
            tavir::tiny::setEndBudgetMs(
                static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10)) * 1000);
        else
            args.push_back(argv[i]);
    }
    if (args.size() != 4)
        return usage();
    // Never destroyed: its thread waits in sigwait on the object's signal set
    // until the process has ended, static destructors included.
    static TerminationSignals& signals = *new TerminationSignals;
    return migrate(admin, args, signals);
}
