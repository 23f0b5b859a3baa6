#pragma once
// Runs whole migrations through IMigrator, from a real Dovecot into the
// stand-in target (directly or through relays that count, cut or watch the
// IMAP commands of either side), and checks what every run must leave
// behind, whatever happened during it: messages on the target only where
// they belong, each once and intact, counted as the engine says, the
// target's settings as they were, stopped() once after started().
#include "EngineTestSupport.h"
#include "Imap/engine/Engine.h"
#include "Imap/engine/Migrator.h"
#include "Imap/textconv/TextConversion.h"
#include "support/Dovecot.h"
#include "support/MailSnapshot.h"
#include "support/StandInTarget.h"
#include "support/TargetRelay.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace tavir::test {

inline std::wstring wide(const std::string& text)
{
    return migration::utf8ToUnicode(text);
}

// Dovecot as a migration source: the domain of a login is dropped, so the
// same mailbox answers to "alice@anything", and every run can migrate into
// accounts of a domain of its own on one stand-in. Refusals come at once:
// no failure delay, and no penalty per address that would slow the next
// logins.
inline Dovecot::Options sourceOptions(char separator = '/')
{
    Dovecot::Options options;
    options.separator = separator;
    options.extraConfig = std::string("auth_username_format = %n\n") + Dovecot::refusalsAtOnce;
    return options;
}

// The target's settings that a run changes, as one line of text.
inline std::string targetSettings(const StandInTarget& target)
{
    return target.queryOne(
        "SELECT (SELECT BackendMode || ',' || IFNULL(MasterPassword, '') || ',' || "
        "IFNULL(BackendAccessList, '') FROM Cluster) || ' | ' || (SELECT FolderCache || ',' || "
        "IndexWriteCache FROM MessageStore) || ' | ' || (SELECT PolicyMode FROM Security) || ' | "
        "' || (SELECT group_concat(Service || '=' || Address || ':' || Port, ' ') FROM (SELECT * "
        "FROM ServicePorts ORDER BY Service)) || ' | ' || IFNULL((SELECT group_concat(Name, ' ') "
        "FROM IpAccessList), '')");
}

struct RunOutcome {
    bool started = false;
    std::vector<std::string> calls;
    migration::MigrationStatus status;
    std::vector<migration::UserInfoData> users; // as the run left them
    std::string report; // what this run added to the report
};

// Why the run did not start, and why each account failed, is what the
// report says, handed on as it stands: a start that went ahead has no such
// sentence, and only the failed accounts have one.
inline void expectEveryFailureSaid(const RunOutcome& outcome)
{
    const std::string startFailure = migration::unicodeToUtf8(outcome.status.startFailure);
    EXPECT_EQ(outcome.started, startFailure.empty()) << startFailure;
    EXPECT_NE(std::string::npos, outcome.report.find(startFailure)) << startFailure;
    unsigned failed = 0;
    for (const migration::UserInfoData& user : outcome.users) {
        if (user.failure.empty())
            continue;
        ++failed;
        const std::string failure = migration::unicodeToUtf8(user.failure);
        EXPECT_NE(std::string::npos, outcome.report.find("\n" + failure + "\n")) << failure;
    }
    EXPECT_EQ(outcome.status.failedAccounts, failed);
    // The report's summary is handed on as it was written, every line of
    // it in its place: what no count holds among them.
    const std::string summary = migration::unicodeToUtf8(outcome.status.summary);
    if (outcome.started) {
        EXPECT_EQ(0u, summary.find("Migration ")) << summary;
    }
    if (!summary.empty()) {
        EXPECT_NE(std::string::npos, outcome.report.find("\n" + summary)) << summary;
    }
    EXPECT_EQ(outcome.report.find(" were not counted.\n") != std::string::npos,
        summary.find(" were not counted.\n") != std::string::npos);
}

// One migration: a new engine object, configured, loaded, started and
// waited for (bounded), then destroyed (which joins every thread).
class MigrationRunner {
public:
    MigrationRunner(TempLogs& logs, const TempDir& dir)
        : logs_(logs)
        , dir_(dir)
    {
    }

    migration::Configuration configuration(
        const std::wstring& source, const std::wstring& target) const
    {
        migration::Configuration c;
        c.sourceServer = source;
        c.targetServer = target;
        c.adminUser = L"admin";
        c.adminPassword = L"admin-secret";
        return c;
    }

    RunOutcome run(const migration::Configuration& configuration, const std::string& accounts,
        int seconds = 60)
    {
        RunOutcome outcome;
        const std::size_t reportBefore = logs_.report().size();
        writeFile(dir_.file("accounts.txt"), accounts);
        migration::IMigrator* created = nullptr;
        EXPECT_TRUE(migration::createMigrator(&created));
        std::unique_ptr<migration::IMigrator> migrator(created);
        migration::Configuration copy = configuration;
        EXPECT_TRUE(migrator->init(copy));
        EXPECT_TRUE(migrator->loadUsers(wide(dir_.file("accounts.txt"))));
        if (!testLogins) {
            std::vector<migration::UserInfoData> users;
            migrator->getUsers(users);
            for (const migration::UserInfoData& user : users)
                static_cast<migration::Migrator&>(*migrator).acceptLoginUntested(user.index);
        }
        RecordingCallbacks callbacks;
        callbacks.onStatus = onStatus;
        current = migrator.get();
        std::thread beside;
        if (besideTheStart)
            beside = std::thread(besideTheStart, std::ref(*migrator));
        outcome.started = migrator->start(&callbacks);
        if (outcome.started) {
            EXPECT_TRUE(callbacks.waitStopped(seconds)) << "the run did not end in time";
        }
        if (beside.joinable())
            beside.join();
        current = nullptr;
        migrator->getStatus(outcome.status);
        migrator->getUsers(outcome.users);
        migrator.reset();
        outcome.calls = callbacks.calls();
        outcome.report = logs_.report().substr(reportBefore);
        expectEveryFailureSaid(outcome);
        return outcome;
    }

    // The engine of the run in hand, for hooks that stop it.
    std::atomic<migration::IMigrator*> current{nullptr};
    // The run tests the accounts' logins itself, as zorp-engine-run's does;
    // else they come accepted, as from the wizard's test, and the source
    // meets the road's connections alone (a refusal there is a password
    // changed since the test).
    bool testLogins = false;
    // Run on the engine's thread at each statusChanged().
    std::function<void()> onStatus;
    // Run on a thread of its own as start() begins, with the engine; joined
    // before the run's outcome is taken and the engine goes, so it may call
    // the engine whenever the start or the run has come to.
    std::function<void(migration::IMigrator&)> besideTheStart;

private:
    TempLogs& logs_;
    const TempDir& dir_;
};

// started() first, then anything but another started(), and exactly one
// stopped() at the end; none at all for a run that did not start.
inline void expectCallbacksInOrder(const RunOutcome& outcome)
{
    const std::vector<std::string>& calls = outcome.calls;
    if (!outcome.started) {
        EXPECT_TRUE(calls.empty());
        return;
    }
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ("started", calls.front());
    const auto ends = std::count(calls.begin(), calls.end(), "stopped")
        + std::count(calls.begin(), calls.end(), "aborted");
    EXPECT_EQ(1, ends);
    EXPECT_TRUE(calls.back() == "stopped" || calls.back() == "aborted");
    EXPECT_EQ(1, std::count(calls.begin(), calls.end(), "started"));
}

// Every message on the target in `targetFolders` is a message of the
// source folder it came from, whole, with its standard flags and date, at
// most once and in the source's order. Returns how many there are.
inline unsigned expectOnlySourceMessages(const MailFolders& source, const MailFolders& target,
    const std::map<std::string, std::string>& targetToSource = {})
{
    unsigned total = 0;
    for (const auto& [name, folder] : target) {
        SCOPED_TRACE("target folder " + name);
        auto renamed = targetToSource.find(name);
        auto from = source.find(renamed == targetToSource.end() ? name : renamed->second);
        if (from == source.end()) {
            EXPECT_TRUE(folder.messages.empty()) << "messages in a folder the source lacks";
            continue;
        }
        const std::vector<MailMessage>& origin = from->second.messages;
        std::size_t next = 0;
        for (const MailMessage& message : folder.messages) {
            ++total;
            auto same = std::find_if(origin.begin() + static_cast<long>(next), origin.end(),
                [&](const MailMessage& m) { return m.data == message.data; });
            if (same == origin.end()) {
                ADD_FAILURE() << "a message that is no later source message of the folder ("
                              << message.data.size() << " bytes)";
                continue;
            }
            EXPECT_EQ(same->standardFlags, message.standardFlags);
            EXPECT_EQ(same->instant, message.instant);
            next = static_cast<std::size_t>(same - origin.begin()) + 1;
        }
    }
    return total;
}

// Every folder of the source holds the same messages on the target, as
// many times each (order aside: a message copied on a later run comes
// later), and the target's other folders hold none.
inline void expectSameMessages(const MailFolders& source, const MailFolders& target,
    const std::map<std::string, std::string>& targetToSource = {})
{
    auto sorted = [](const MailFolder& folder) {
        std::vector<std::tuple<std::string, std::string, long long>> messages;
        for (const MailMessage& m : folder.messages)
            messages.emplace_back(m.data, m.standardFlags, m.instant);
        std::sort(messages.begin(), messages.end());
        return messages;
    };
    // The source folder a target folder holds; none for a folder of the
    // target's own whose name a source folder had to give up.
    auto sourceOf = [&](const std::string& name) {
        auto renamed = targetToSource.find(name);
        if (renamed != targetToSource.end())
            return source.find(renamed->second);
        for (const auto& entry : targetToSource)
            if (entry.second == name)
                return source.end();
        return source.find(name);
    };
    for (const auto& [name, folder] : target) {
        SCOPED_TRACE("target folder " + name);
        auto from = sourceOf(name);
        if (from == source.end()) {
            EXPECT_TRUE(folder.messages.empty()) << "messages in a folder the source lacks";
            continue;
        }
        EXPECT_EQ(from->second.messages.size(), folder.messages.size());
        EXPECT_TRUE(sorted(from->second) == sorted(folder));
    }
    for (const auto& [name, folder] : source) {
        bool there = target.count(name) != 0;
        for (const auto& [renamedTo, original] : targetToSource)
            there = there || (original == name && target.count(renamedTo));
        EXPECT_TRUE(there) << "no folder for " << name;
    }
}

inline unsigned messageCount(const MailFolders& folders)
{
    unsigned total = 0;
    for (const auto& entry : folders)
        total += static_cast<unsigned>(entry.second.messages.size());
    return total;
}

} // namespace tavir::test
