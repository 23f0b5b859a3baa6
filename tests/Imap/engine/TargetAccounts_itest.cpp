// The run's accounts made on the stand-in in batches ahead of the workers:
// when a worker has its account, the next one to migrate is there already;
// an account that exists is used as it is, one not selected is never made,
// and one the server refuses fails with a sentence that names it; an
// account is made only once its login test accepted it; those made and not
// taken up are known by name.
#include "Imap/engine/TargetAccounts.h"

#include "tinydb/AdminPeers.h"

#include <gtest/gtest.h>

using namespace tavir::migration;
using namespace tavir::test;

namespace {

bool holdsAccount(const StandInTarget& target, const std::string& name)
{
    return target.queryOne("SELECT COUNT(*) FROM User WHERE Name = '" + name + "'") == "1";
}

TEST(TargetAccountsTest, BatchesAreMadeAheadOfTheWorkers)
{
    TempDir dir;
    std::vector<UserInfo> list(10);
    for (std::size_t i = 0; i < list.size(); ++i) {
        list[i].mailbox = L"a" + std::to_wstring(i);
        list[i].domain = L"ahead.test";
        list[i].password = L"pw";
        list[i].migrate = i != 5;
        list[i].state = i != 5 ? UserToMigrate : UserNotSelected;
        list[i].testStatus = TestLoginAccepted;
    }
    // Statements: 1 to 5 the first batch (a0 to a3; the domain and a3
    // exist), 6 to 10 the second (a4, a6, a7, a8), 11 and 12 the third (a9).
    StandInTarget::Options options;
    options.accounts["a3@ahead.test"] = "old";
    options.faults = R"([{"on": "TINYDB QUERY", "count": 9, "action": "no"}])";
    StandInTarget target(options);
    auto admin = std::make_shared<tavir::tinydb::TinyDbClient>(adminOptions(dir));
    ASSERT_TRUE(done(admin->connect(target.host(), "admin", "admin-secret")));
    auto users = std::make_shared<UsersInformation>(list);
    TargetAccounts accounts(users, admin, 4);
    auto onTarget = [&](std::size_t i) { return holdsAccount(target, "a" + std::to_string(i)); };

    const auto stop = std::make_shared<tavir::utils::StopSignal>();
    std::size_t index = 0;
    UserInfo account;
    while (users->takeNextToMigrate(index, account)) {
        SCOPED_TRACE(index);
        const TargetAccounts::Made made = accounts.prepare(index, account, stop);
        EXPECT_EQ(index != 7, bool(made.outcome)) << made.outcome.failure;
        EXPECT_EQ(index == 3, made.existed);
        if (index == 7) {
            for (const char* part : {"\"a7@ahead.test\" on ", "planned refusal (error 9)"})
                EXPECT_NE(std::string::npos, made.outcome.failure.find(part))
                    << made.outcome.failure;
        }
        if (index == 0) {
            // A stop now would leave these made and empty: not a0, taken,
            // nor a3, which was there before.
            EXPECT_EQ((std::vector<std::wstring>{L"a1@ahead.test", L"a2@ahead.test"}),
                accounts.madeAheadUnused());
        }
        const std::size_t next = index == 4 ? 6 : index + 1;
        if (next < list.size() && next != 7) {
            EXPECT_TRUE(onTarget(next)) << "made ahead";
        }
        users->changeState(index, UserFinished);
    }
    EXPECT_TRUE(accounts.madeAheadUnused().empty()) << "every one made was taken";
    EXPECT_FALSE(onTarget(5)) << "not selected";
    EXPECT_EQ("old", target.queryOne("SELECT Password FROM User WHERE Name = 'a3'"));
    EXPECT_EQ(12u, clientCommands(target.transcript(), "QUERY"));
}

TEST(TargetAccountsTest, AnAccountIsMadeOnlyOnceItsLoginWasAccepted)
{
    TempDir dir;
    const TestStatus tests[]
        = {TestLoginAccepted, TestTesting, TestLoginRefused, TestLoginAccepted};
    std::vector<UserInfo> list(std::size(tests));
    for (std::size_t i = 0; i < list.size(); ++i) {
        list[i].mailbox = L"t" + std::to_wstring(i);
        list[i].domain = L"tested.test";
        list[i].password = L"pw";
        list[i].testStatus = tests[i];
        // A refused login is left out of the run.
        list[i].migrate = tests[i] != TestLoginRefused;
        list[i].state = list[i].migrate ? UserToMigrate : UserNotSelected;
    }
    StandInTarget target;
    auto admin = std::make_shared<tavir::tinydb::TinyDbClient>(adminOptions(dir));
    ASSERT_TRUE(done(admin->connect(target.host(), "admin", "admin-secret")));
    auto users = std::make_shared<UsersInformation>(list);
    TargetAccounts accounts(users, admin);
    auto onTarget = [&](std::size_t i) { return holdsAccount(target, "t" + std::to_string(i)); };
    const auto stop = std::make_shared<tavir::utils::StopSignal>();
    std::size_t index = 0;
    UserInfo account;
    ASSERT_TRUE(users->takeNextToMigrate(index, account));
    ASSERT_EQ(0u, index);
    EXPECT_TRUE(accounts.prepare(index, account, stop).outcome);
    // The batch passes over the account still in its test, and never
    // takes the refused one.
    EXPECT_TRUE(onTarget(3));
    EXPECT_FALSE(onTarget(1)) << "still in its test";
    users->setTestStatus(1, TestLoginAccepted);
    ASSERT_TRUE(users->takeNextToMigrate(index, account));
    ASSERT_EQ(1u, index);
    EXPECT_TRUE(accounts.prepare(index, account, stop).outcome);
    EXPECT_TRUE(onTarget(1));
    EXPECT_FALSE(onTarget(2)) << "refused";
}

} // namespace
