// The account list: the table of allowed state changes, the migrate flag,
// taking accounts under the lock, and the totals.
#include "Common/Tools/RunSummary.h"
#include "Common/Tools/UsersInformation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
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

// The look-ups start where the last one ended, and a change that makes an
// earlier account match again moves them back to it: a login accepted out
// of order, an account selected again (by its flag or its state), a
// password changed, a test put back.
TEST(UsersInformation, LookUpsFindAnEarlierAccountAgainOnceItCouldMatch)
{
    enum class Change { Accepted, Selected, PasswordChanged, TestPutBack, StateToMigrate };
    const struct Row {
        const char* name;
        Change change;
        bool forTest; // the test look-up (else the workers')
    } rows[] = {
        {"accepted after a later one", Change::Accepted, false},
        {"selected again", Change::Selected, false},
        {"password changed", Change::PasswordChanged, true},
        {"its test put back", Change::TestPutBack, true},
        {"selected again, for the test", Change::Selected, true},
        {"moved back to migrate by its state", Change::StateToMigrate, false},
        {"moved back to migrate by its state, for the test", Change::StateToMigrate, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<UserInfo> users;
        for (int i = 0; i < 5; ++i)
            users.push_back(account(L"u" + std::to_wstring(i), UserToMigrate));
        const TestStatus ready = row.forTest ? TestNotTested : TestLoginAccepted;
        const TestStatus waiting = row.forTest ? TestLoginAccepted : TestTesting;
        for (UserInfo& user : users)
            user.testStatus = ready;
        // Account 1 does not match when the look-ups pass it.
        users[1].testStatus = waiting;
        if (row.change == Change::Selected || row.change == Change::StateToMigrate) {
            users[1].testStatus = ready;
            users[1].state = UserNotSelected;
            users[1].migrate = false;
        }
        UsersInformation list(users);
        auto take = [&](std::size_t& index) {
            UserInfo user;
            return row.forTest ? list.takeNextToTest(index, user)
                               : list.takeNextToMigrate(index, user);
        };
        std::size_t index = 0;
        ASSERT_TRUE(take(index));
        EXPECT_EQ(0u, index);
        ASSERT_TRUE(take(index));
        EXPECT_EQ(2u, index);
        switch (row.change) {
        case Change::Accepted:
            list.setTestStatus(1, TestLoginAccepted);
            break;
        case Change::Selected:
            list.setMigrate(1, true);
            break;
        case Change::PasswordChanged:
            list.setPassword(1, L"new");
            break;
        case Change::TestPutBack:
            list.setTestStatus(1, TestTesting);
            list.setTestStatus(1, TestNotTested);
            break;
        case Change::StateToMigrate:
            ASSERT_TRUE(list.changeState(1, UserToMigrate));
            break;
        }
        EXPECT_EQ(!row.forTest, list.hasAcceptedToMigrate());
        ASSERT_TRUE(take(index));
        EXPECT_EQ(1u, index);
        ASSERT_TRUE(take(index));
        EXPECT_EQ(3u, index);
        ASSERT_TRUE(take(index));
        EXPECT_EQ(4u, index);
        EXPECT_FALSE(take(index));
        EXPECT_FALSE(list.hasAcceptedToMigrate());
    }
}

// A run takes every account of a long list in about the time one scan of
// it takes: a look-up begins where the last one ended, not at the first
// account. From the first account each time, these 200,000 took minutes.
TEST(UsersInformation, TakingEveryAccountOfALongListIsLinear)
{
    constexpr std::size_t count = 200000;
    std::vector<UserInfo> users(count, account(L"u", UserToMigrate));
    UsersInformation list(std::move(users));
    const auto began = std::chrono::steady_clock::now();
    std::size_t index = 0;
    UserInfo user;
    std::size_t tested = 0;
    while (list.takeNextToTest(index, user)) {
        list.setTestStatus(index, TestLoginAccepted);
        EXPECT_TRUE(list.hasAcceptedToMigrate());
        ++tested;
    }
    std::size_t taken = 0;
    while (list.takeNextToMigrate(index, user))
        ++taken;
    const auto took = std::chrono::steady_clock::now() - began;
    EXPECT_EQ(count, tested);
    EXPECT_EQ(count, taken);
    EXPECT_LT(took, std::chrono::seconds(5));
}

TEST(UsersInformation, StatusCountsStatesAndSumsProgress)
{
    UsersInformation list({account(L"a", UserNotSelected), account(L"b", UserInProgress),
        account(L"c", UserFailed), account(L"d", UserFinished), account(L"e", UserToMigrate),
        account(L"f", UserFailed), account(L"g", UserToMigrate)});
    // c was stopped half-way, f failed on its own.
    list.setStopped(2, L"The migration of c@example.com was stopped before it ended.");
    list.setFailure(5, L"Fatal Error (error code = 3) - ...");
    // g's login is being tested, a's was by the wizard.
    list.setTestStatus(6, TestTesting);
    list.setTestStatus(0, TestLoginAccepted);
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
    status.notStartedFirst = {L"stale@example.com"};
    status.messagesRemoved = 9; // counted anew
    list.fillStatus(status);
    EXPECT_EQ(3u, status.messagesRemoved);
    EXPECT_EQ(7u, status.accounts);
    EXPECT_EQ(6u, status.selectedAccounts);
    EXPECT_EQ(1u, status.finishedAccounts);
    EXPECT_EQ(2u, status.failedAccounts);
    EXPECT_EQ(1u, status.accountsStopped) << "of the failed, those stopped half-way";
    EXPECT_EQ(1u, status.loginsInTest);
    EXPECT_EQ(1u, status.loginsTested);
    // Not begun: neither in progress nor ended, named in list order.
    EXPECT_EQ(2u, accountsNotStarted(status));
    EXPECT_EQ(
        (std::vector<std::wstring>{L"e@example.com", L"g@example.com"}), status.notStartedFirst);
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

    // The names stop at the tenth; the count goes on.
    std::vector<UserInfo> many;
    for (int i = 1; i <= 12; ++i)
        many.push_back(account(L"u" + std::to_wstring(i), UserToMigrate));
    UsersInformation manyList(std::move(many));
    manyList.fillStatus(status);
    EXPECT_EQ(12u, accountsNotStarted(status));
    ASSERT_EQ(namedAtMost, status.notStartedFirst.size());
    EXPECT_EQ(L"u10@example.com", status.notStartedFirst.back());
    EXPECT_EQ(0u, status.accountsStopped);
}

} // namespace
