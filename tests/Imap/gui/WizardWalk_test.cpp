// All six pages in a row over the scripted engine: what the user sees and
// what reaches the engine, in order.
#include "WizardFixture.h"

#include "Common/Gui/MigProgressPage.h"

namespace tavir::test {
namespace {

using gui::MigWizard;

class WizardWalk : public WizardFixture { };

TEST_F(WizardWalk, SixPagesFromWelcomeToResult)
{
    screenshot(&w(), "0-welcome");
    toServerPage();
    type(child<QLineEdit>(MigWizard::ServerPageId, "hostEdit"), "source.example");
    screenshot(&w(), "1-source");
    clickNext();
    ASSERT_TRUE(reaches(MigWizard::CvnPageId));
    type(child<QLineEdit>(MigWizard::CvnPageId, "hostEdit"), "target.example");
    type(child<QLineEdit>(MigWizard::CvnPageId, "userEdit"), "admin");
    type(child<QLineEdit>(MigWizard::CvnPageId, "passwordEdit"), "pw");
    screenshot(&w(), "2-target");
    clickNext();
    ASSERT_TRUE(reaches(MigWizard::OptionPageId));
    EXPECT_EQ(engine.testedServer, L"target.example");
    EXPECT_EQ(engine.testedUser, L"admin");
    EXPECT_EQ(engine.testedPassword, L"pw");

    loadAndStartTest({account(0, L"#public", L"example.com", L"Public folders"),
        account(1, L"user1", L"example.com", L"User One"),
        account(2, L"user2", L"example.com", L"User Two")});
    migrator().playTest(
        {migration::TestLoginAccepted, migration::TestLoginAccepted, migration::TestLoginRefused});
    ASSERT_TRUE(waitFor([&] { return nextEnabled(); }));
    EXPECT_EQ(nextButton()->text(), "Migrate");
    screenshot(&w(), "3-accounts");

    migration::MigrationStatus& status = migrator().status;
    status.startTime = QDateTime::currentSecsSinceEpoch() - 65;
    status.accounts = 3;
    status.selectedAccounts = 2;
    status.finishedAccounts = 1;
    status.foldersDone = 4;
    status.messagesDone = 37;
    status.messageErrors = 2;
    status.inProgress = {{L"User Two", L"INBOX", 120, 45, 0}};
    clickNext();
    ASSERT_TRUE(reaches(MigWizard::ProgressPageId));
    ASSERT_TRUE(waitFor(
        [&] { return !child<QLabel>(MigWizard::ProgressPageId, "startLabel")->text().isEmpty(); }));
    settle(300);
    screenshot(&w(), "4-progress");

    status.finishedAccounts = 2;
    status.inProgress.clear();
    migrator().runCallbacks->stopped(false);
    ASSERT_TRUE(reaches(MigWizard::ResultPageId));
    screenshot(&w(), "5-result");

    const std::vector<std::string> expected = {"engine init", "createMigrator", "testImap",
        "testCvn", "init", "loadUsers " + files.file("accounts.csv"), "skippedAccountLines",
        "getUsers", "startUserTest 3",
        // why each failed login failed, once the test has ended
        "getUsers", "setMigrate 2 false", "start"};
    std::vector<std::string> calls;
    for (const std::string& call : engine.log.calls()) {
        if (call != "getStatus")
            calls.push_back(call);
    }
    EXPECT_EQ(calls, expected);
}

} // namespace
} // namespace tavir::test
