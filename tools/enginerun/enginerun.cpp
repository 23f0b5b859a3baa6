// One migration through the engine, without the wizard, from the command line:
//   zorp-engine-run [--home DIR] [--admin USER] SOURCE TARGET ACCOUNTS LOGS
// SOURCE and TARGET are "host[:port]" (plain IMAP), ACCOUNTS the accounts
// file, LOGS the folder that gets report.txt and debug.log. The
// administrator's password is taken from ZORP_ADMIN_PASSWORD, never from the
// command line. --home sets HOME, where the administration service's pin and
// the target's journal are kept.
// Exit status: 0 every account finished without a failure; 1 the run ended
// with failures; 3 the migration did not start; 4 anything else (usage, the
// logs, the accounts file, a run that did not end within an hour).
#include "Imap/engine/Engine.h"
#include "Imap/textconv/TextConversion.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
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
        "usage: zorp-engine-run [--home DIR] [--admin USER] SOURCE TARGET ACCOUNTS LOGS\n"
        "(the administrator's password in ZORP_ADMIN_PASSWORD)\n");
    return Trouble;
}

int migrate(const std::string& admin, const std::vector<std::string>& args)
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
    EndOfRun end;
    if (!engine->start(&end))
        return NotStarted;
    if (!end.wait(3600)) {
        std::fprintf(stderr, "zorp-engine-run: the run did not end within an hour\n");
        return Trouble;
    }
    tavir::migration::MigrationStatus status;
    engine->getStatus(status);
    const bool clean = status.failedAccounts + status.folderErrors + status.messageErrors == 0
        && status.finishedAccounts == status.selectedAccounts;
    return clean ? Finished : Failures;
}

} // namespace

int main(int argc, char** argv)
{
    std::string admin = "admin";
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        const bool option
            = std::strcmp(argv[i], "--home") == 0 || std::strcmp(argv[i], "--admin") == 0;
        if (option && i + 1 >= argc)
            return usage();
        if (std::strcmp(argv[i], "--home") == 0)
            setenv("HOME", argv[++i], 1);
        else if (std::strcmp(argv[i], "--admin") == 0)
            admin = argv[++i];
        else
            args.push_back(argv[i]);
    }
    if (args.size() != 4)
        return usage();
    return migrate(admin, args);
}
