// The engine object outside a run, and the entry functions that need no
// server: logs, accounts, marks, status and the refusals of the test start.
#include "Imap/engine/Engine.h"

#include "EngineTestSupport.h"

#include <gtest/gtest.h>

#include <memory>

using namespace tavir::migration;
using tavir::test::RecordingCallbacks;

namespace {

std::wstring wide(const std::string& text)
{
    return std::wstring(text.begin(), text.end());
}

class MigratorTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(init(wide(logs.reportFile()), wide(logs.debugFile())));
        IMigrator* created = nullptr;
        ASSERT_TRUE(createMigrator(&created));
        migrator.reset(created);
    }

    std::wstring accountsFile(const std::string& text)
    {
        tavir::test::writeFile(dir.file("accounts.txt"), text);
        return wide(dir.file("accounts.txt"));
    }

    tavir::test::TempDir dir;
    tavir::test::TempLogs logs;
    std::unique_ptr<IMigrator> migrator;
};

TEST(Engine, InitReportsLogsThatCannotBeOpened)
{
    tavir::test::TempDir dir;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(init(wide(dir.file("no/report.txt")), wide(dir.file("no/debug.log"))));
    EXPECT_EQ("Error initializing logger!\n", testing::internal::GetCapturedStderr());
    EXPECT_FALSE(createMigrator(nullptr));
}

TEST_F(MigratorTest, LoadsAccountsAndLogsSkippedLinesWithoutPasswords)
{
    ASSERT_TRUE(migrator->loadUsers(accountsFile("anna@example.com;Pw-anna;Anna\n"
                                                 "ben@example.com Pw-ben\n"
                                                 "*pub@example.com,Pw-pub\n"
                                                 "*pubB@EXAMPLE.com,Pw-pubB\n")));
    std::vector<UserInfoData> users;
    migrator->getUsers(users);
    ASSERT_EQ(2u, users.size());
    EXPECT_EQ(L"anna", users[0].mailbox);
    EXPECT_EQ(L"Anna", users[0].fullName);
    EXPECT_EQ(L"Pw-anna", users[0].password);
    EXPECT_TRUE(users[0].migrate);
    EXPECT_EQ(1u, users[1].index);
    EXPECT_EQ(L"#public", users[1].mailbox);
    EXPECT_EQ(L"pub@example.com", users[1].smtpAddress);
    EXPECT_EQ(2u, migrator->skippedAccountLines());

    // In the debug log at once; in the report after the next run's header,
    // or, with no run, once the engine goes.
    const std::string noSeparator = "Line 2 of the accounts file has no separator";
    EXPECT_NE(std::string::npos, logs.debug().find(noSeparator));
    EXPECT_EQ(std::string::npos, logs.report().find(noSeparator));
    migrator.reset();
    EXPECT_NE(std::string::npos, logs.report().find(noSeparator));
    EXPECT_NE(std::string::npos,
        logs.report().find("Line 4 of the accounts file names a second public-folders account "
                           "for the domain EXAMPLE.com (the first is on line 3); it was skipped."));
    EXPECT_EQ(std::string::npos, logs.report().find("Pw-"));
    EXPECT_EQ(std::string::npos, logs.debug().find("Pw-"));
}

TEST_F(MigratorTest, LoadingReplacesTheListAndAnUnreadableFileFails)
{
    // Every password loaded is masked in every later sentence, so none may
    // be a piece of the temporary folder's random name (letters, digits).
    EXPECT_EQ(0u, migrator->skippedAccountLines());
    ASSERT_TRUE(
        migrator->loadUsers(accountsFile("a@x.org;#1\nb@x.org;#2\nno-address;#3\nA@x.org;#4\n")));
    EXPECT_EQ(2u, migrator->skippedAccountLines());
    ASSERT_TRUE(migrator->loadUsers(accountsFile("c@x.org;Pw-c\n")));
    EXPECT_EQ(0u, migrator->skippedAccountLines()) << "the count goes with the list";
    std::vector<UserInfoData> users;
    migrator->getUsers(users);
    ASSERT_EQ(1u, users.size());
    EXPECT_EQ(L"c", users[0].mailbox);

    ASSERT_TRUE(migrator->loadUsers(accountsFile("c@x.org;Pw-c\nbad\n")));
    EXPECT_FALSE(migrator->loadUsers(wide(dir.file("missing.txt"))));
    migrator->getUsers(users);
    EXPECT_EQ(1u, users.size());
    EXPECT_EQ(1u, migrator->skippedAccountLines()) << "a failed load keeps the list and its count";
    // Why it failed, as the report says it, for whoever shows it.
    MigrationStatus status;
    migrator->getStatus(status);
    EXPECT_EQ(0u,
        status.accountsFailure.find(
            L"The accounts file " + wide(dir.file("missing.txt")) + L" can't be read: "))
        << tavir::migration::unicodeToUtf8(status.accountsFailure);
    ASSERT_TRUE(migrator->loadUsers(accountsFile("")));
    migrator->getUsers(users);
    EXPECT_TRUE(users.empty());
    migrator->getStatus(status);
    EXPECT_EQ(L"", status.accountsFailure) << "a load that went ahead has no failure";
}

TEST_F(MigratorTest, MarksPasswordsAndStatusFollowTheList)
{
    ASSERT_TRUE(migrator->loadUsers(accountsFile("a@x.org;1\nb@x.org;2\nc@x.org;3\n")));
    migrator->setMigrate(1, false);
    migrator->setMigrate(3, false); // beyond the list
    migrator->setPassword(2, L"new");
    migrator->setPassword(9, L"ignored");
    std::vector<UserInfoData> users;
    migrator->getUsers(users);
    ASSERT_EQ(3u, users.size());
    EXPECT_FALSE(users[1].migrate);
    EXPECT_EQ(L"new", users[2].password);

    MigrationStatus status;
    migrator->getStatus(status);
    EXPECT_EQ(0, status.startTime);
    EXPECT_EQ(3u, status.accounts);
    EXPECT_EQ(2u, status.selectedAccounts);
    EXPECT_EQ(0u, status.finishedAccounts);
    EXPECT_TRUE(status.inProgress.empty());
    EXPECT_TRUE(migrator->getMasterPassword().empty());
}

TEST_F(MigratorTest, UserTestRefusesWhatItCannotTestAndEndsAtOnceForNoAccounts)
{
    ASSERT_TRUE(migrator->loadUsers(accountsFile("a@x.org;1\n")));
    RecordingCallbacks callbacks;
    std::vector<TestStatus> statuses(2, TestNotTested);
    EXPECT_FALSE(migrator->startUserTest(&callbacks, statuses)); // one status too many
    statuses.resize(1);
    EXPECT_FALSE(migrator->startUserTest(nullptr, statuses));
    EXPECT_TRUE(migrator->stopUserTest()); // no test: harmless
    EXPECT_TRUE(callbacks.calls().empty());

    ASSERT_TRUE(migrator->loadUsers(accountsFile("\n")));
    statuses.clear();
    ASSERT_TRUE(migrator->startUserTest(&callbacks, statuses));
    ASSERT_TRUE(callbacks.waitStopped());
    EXPECT_EQ((std::vector<std::string>{"started", "stopped"}), callbacks.calls());
}

TEST_F(MigratorTest, StartWithoutCallbacksDoesNothing)
{
    EXPECT_FALSE(migrator->start(nullptr));
    EXPECT_TRUE(migrator->stop());
}

// Why a start did not go ahead is the last start's: a refusal without a
// sentence does not show an earlier one's.
TEST_F(MigratorTest, AStartsFailureIsItsOwn)
{
    Configuration configuration;
    configuration.sourceServer = L"no such host:port";
    configuration.targetServer = L"127.0.0.1:1";
    ASSERT_TRUE(migrator->init(configuration));
    RecordingCallbacks callbacks;
    EXPECT_FALSE(migrator->start(&callbacks));
    MigrationStatus status;
    migrator->getStatus(status);
    EXPECT_EQ(
        L"The source server \"no such host:port\" is not a host name with an optional port.\n",
        status.startFailure);
    EXPECT_NE(std::string::npos,
        tavir::test::readFile(logs.reportFile())
            .find("The source server \"no such host:port\" is not a host name"));
    EXPECT_FALSE(migrator->start(nullptr));
    migrator->getStatus(status);
    EXPECT_EQ(L"", status.startFailure);
}

} // namespace
