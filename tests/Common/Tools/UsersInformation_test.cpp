// The account list: the table of allowed state changes, the migrate flag,
// taking accounts under the lock, and the totals.
#include "Common/Tools/UsersInformation.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace tavir::migration;

namespace {

UserInfo account(const std::wstring& mailbox, UserState state)
{
    UserInfo user;
    user.mailbox = mailbox;
    user.domain = L"example.com";
    user.fullName = mailbox + L" name";
    user.state = state;
    user.migrate = state != UserNotSelected;
    return user;
}

UserState stateOf(const UsersInformation& list, std::size_t index)
{
    UserInfo user;
    EXPECT_TRUE(list.get(index, user));
    return user.state;
}

TEST(UsersInformation, AllowsExactlyTheListedStateChanges)
{
    // from -> the states it may become.
    const std::vector<std::vector<UserState>> allowed = {
        {UserNotSelected, UserToMigrate},
        {UserNotSelected, UserToMigrate, UserInProgress},
        {UserInProgress, UserFailed, UserFinished},
        {UserFailed},
        {UserFinished},
    };
    for (unsigned from = 0; from < 5; ++from) {
        for (unsigned to = 0; to < 6; ++to) {
            SCOPED_TRACE(std::to_string(from) + " -> " + std::to_string(to));
            const auto& row = allowed[from];
            bool expected = std::find(row.begin(), row.end(), UserState(to)) != row.end();
            UsersInformation list({account(L"a", UserState(from))});
            EXPECT_EQ(expected, list.changeState(0, UserState(to)));
            EXPECT_EQ(expected ? UserState(to) : UserState(from), stateOf(list, 0));
        }
    }
    UsersInformation list({account(L"a", UserToMigrate)});
    EXPECT_FALSE(list.changeState(1, UserToMigrate));
}

TEST(UsersInformation, MigrateFlagMovesOnlyAccountsNotYetStarted)
{
    const struct {
        UserState from;
        bool migrate;
        UserState to;
    } cases[] = {
        {UserNotSelected, true, UserToMigrate},
        {UserToMigrate, false, UserNotSelected},
        {UserToMigrate, true, UserToMigrate},
        {UserInProgress, false, UserInProgress},
        {UserFailed, true, UserFailed},
        {UserFinished, false, UserFinished},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.from) + (c.migrate ? " +" : " -"));
        UsersInformation list({account(L"a", c.from)});
        list.setMigrate(0, c.migrate);
        list.setMigrate(7, c.migrate); // beyond the list: ignored
        UserInfo user;
        ASSERT_TRUE(list.get(0, user));
        EXPECT_EQ(c.to, user.state);
        EXPECT_EQ(c.migrate, user.migrate);
    }
}

TEST(UsersInformation, EveryAccountToMigrateIsTakenOnceAcrossThreadsOnceItsLoginWasAccepted)
{
    std::vector<UserInfo> users;
    for (int i = 0; i < 2000; ++i) {
        users.push_back(
            account(L"u" + std::to_wstring(i), i % 3 ? UserToMigrate : UserNotSelected));
        users.back().testStatus = i % 2 ? TestLoginAccepted : TestNotTested;
    }
    UsersInformation list(users);
    std::vector<std::atomic<int>> taken(users.size());
    std::vector<std::thread> workers;
    for (int w = 0; w < 8; ++w)
        workers.emplace_back([&] {
            std::size_t index;
            UserInfo user;
            while (list.takeNextToMigrate(index, user)) {
                EXPECT_EQ(UserInProgress, user.state);
                ++taken[index];
            }
        });
    for (auto& worker : workers)
        worker.join();
    for (std::size_t i = 0; i < users.size(); ++i) {
        // Not yet tested: left to the login test, never to a worker.
        const bool ready = i % 3 && i % 2;
        EXPECT_EQ(ready ? 1 : 0, taken[i].load()) << i;
        EXPECT_EQ(ready ? UserInProgress
                : i % 3 ? UserToMigrate
                        : UserNotSelected,
            stateOf(list, i));
    }
}

TEST(UsersInformation, StatusCountsStatesAndSumsProgress)
{
    UsersInformation list({account(L"a", UserNotSelected), account(L"b", UserInProgress),
        account(L"c", UserFailed), account(L"d", UserFinished), account(L"e", UserToMigrate)});
    list.updateProgress(1, [](UserProgress& p) {
        p.folder = L"INBOX";
        p.folderMessages = 10;
        p.folderMessagesDone = 4;
        p.folderMessageErrors = 1;
        p.foldersDone = 2;
        p.messagesDone = 30;
        p.messageErrors = 1;
        p.messagesRemoved = 2;
    });
    list.updateProgress(3, [](UserProgress& p) {
        p.foldersDone = 5;
        p.folderErrors = 1;
        p.messagesDone = 70;
        p.messagesRemoved = 1;
    });
    MigrationStatus status;
    status.inProgress.resize(3); // emptied first
    status.messagesRemoved = 9; // counted anew
    list.fillStatus(status);
    EXPECT_EQ(3u, status.messagesRemoved);
    EXPECT_EQ(5u, status.accounts);
    EXPECT_EQ(4u, status.selectedAccounts);
    EXPECT_EQ(1u, status.finishedAccounts);
    EXPECT_EQ(1u, status.failedAccounts);
    EXPECT_EQ(7u, status.foldersDone);
    EXPECT_EQ(1u, status.folderErrors);
    EXPECT_EQ(100u, status.messagesDone);
    EXPECT_EQ(1u, status.messageErrors);
    ASSERT_EQ(1u, status.inProgress.size());
    EXPECT_EQ(L"b name", status.inProgress[0].fullName);
    EXPECT_EQ(L"INBOX", status.inProgress[0].folder);
    EXPECT_EQ(10u, status.inProgress[0].folderMessages);
    EXPECT_EQ(4u, status.inProgress[0].messagesDone);
    EXPECT_EQ(1u, status.inProgress[0].messageErrors);
}

} // namespace
