// The accounts page: choosing the file, the chain that loads and tests the
// accounts, the check list and its sorting, stopping the test, and what
// leaving the page tells the engine.
#include "WizardFixture.h"

#include "Common/Gui/OptionPageItem.h"
#include "Imap/gui/OptionPage.h"

#include <QHeaderView>
#include <QSettings>
#include <QStyleOptionViewItem>
#include <QTextEdit>
#include <QTranslator>

namespace tavir::test {
namespace {

using gui::MigWizard;
using migration::TestStatus;

const QString stopQuestion
    = "Do you really want to stop the testing of accounts? If you abort the testing "
      "process, it will not be possible to start the migration.";

std::vector<migration::UserInfoData> threeAccounts()
{
    return {account(0, L"ann", L"example.com", L"Ann"),
        account(1, L"#public", L"example.com", L"Public folders"),
        account(2, L"bob", L"example.com", L"Bob")};
}

// A translation of the page's words, in place of a .qm file: every text it
// knows comes back in capitals.
class CapitalsTranslator : public QTranslator {
public:
    explicit CapitalsTranslator(QStringList known)
        : known_(std::move(known))
    {
        QCoreApplication::installTranslator(this);
    }
    ~CapitalsTranslator() override { QCoreApplication::removeTranslator(this); }
    bool isEmpty() const override { return false; }
    QString translate(const char* context, const char* source, const char*, int) const override
    {
        return QString(context) == "tavir::gui::MigOptionPage" && known_.contains(source)
            ? QString(source).toUpper()
            : QString();
    }

private:
    QStringList known_;
};

class OptionPageTest : public WizardFixture {
protected:
    void SetUp() override
    {
        WizardFixture::SetUp();
        QSettings(QSettings::UserScope, "Tavir", "Zorp").clear();
        toOptionPage();
    }

    QAbstractButton* button(const char* name)
    {
        return child<QAbstractButton>(MigWizard::OptionPageId, name);
    }
    QTreeWidgetItem* row(int r) { return accountList()->topLevelItem(r); }
    bool shown(const char* name)
    {
        return !child<QWidget>(MigWizard::OptionPageId, name)->isHidden();
    }
    QStringList column(int c)
    {
        QStringList texts;
        for (int r = 0; r < accountList()->topLevelItemCount(); ++r)
            texts << row(r)->text(c);
        return texts;
    }
    std::vector<std::string> engineCalls(const std::string& prefix)
    {
        std::vector<std::string> found;
        for (const std::string& call : engine.log.calls()) {
            if (call.rfind(prefix, 0) == 0)
                found.push_back(call);
        }
        return found;
    }
    bool chainEnded()
    {
        return waitFor([&] { return button("loadButton")->isEnabled(); });
    }

    // Clicks an entry's check box as the user does.
    void toggle(QTreeWidgetItem* item)
    {
        QTreeWidget* list = accountList();
        QRect cell = list->visualItemRect(item);
        cell.setLeft(list->header()->sectionViewportPosition(0));
        cell.setWidth(list->header()->sectionSize(0));
        QStyleOptionViewItem option;
        option.initFrom(list->viewport());
        option.rect = cell;
        option.features = QStyleOptionViewItem::HasCheckIndicator | QStyleOptionViewItem::HasDisplay
            | QStyleOptionViewItem::HasDecoration;
        option.decorationSize = QSize(16, 16);
        option.text = item->text(0);
        const QRect box
            = list->style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &option, list);
        QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, box.center());
    }
    QLabel* label(const char* name) { return child<QLabel>(MigWizard::OptionPageId, name); }
    // How many of the page's labels on show hold `text`.
    int labelsShowing(const QString& text)
    {
        int count = 0;
        for (QLabel* each : page(MigWizard::OptionPageId)->findChildren<QLabel*>())
            count += each->isVisible() && each->text().contains(text);
        return count;
    }
    // Ends a test in hand with every account not yet judged accepted, so
    // that the next load may start.
    void endTest()
    {
        for (std::size_t i = 0; i < migrator().testStatuses->size(); ++i) {
            if (migration::readTestStatus((*migrator().testStatuses)[i])
                < migration::TestLoginAccepted)
                migrator().reportTestStatus(i, migration::TestLoginAccepted);
        }
        migrator().testCallbacks->stopped(false);
        ASSERT_TRUE(chainEnded());
    }
    void clickHeader(int section)
    {
        QHeaderView* header = accountList()->header();
        const int x = header->sectionViewportPosition(section) + header->sectionSize(section) / 2;
        QTest::mouseClick(
            header->viewport(), Qt::LeftButton, Qt::NoModifier, QPoint(x, header->height() / 2));
    }
};

TEST_F(OptionPageTest, LoadRunsTheChainAndTheTest)
{
    EXPECT_EQ(page(MigWizard::OptionPageId)->title(), "Choose Accounts For Migration");
    EXPECT_FALSE(accountList()->isEnabled());
    EXPECT_FALSE(nextEnabled());
    EXPECT_TRUE(engineCalls("init").empty()) << "nothing runs before a file is chosen";

    loadAndStartTest(threeAccounts());
    EXPECT_EQ(engineCalls("").size() - 4, 5u);
    EXPECT_EQ(engineCalls("skippedAccountLines").size(), 1u) << "asked once the file is read";
    EXPECT_EQ(engineCalls("init").size(), 1u);
    EXPECT_EQ(engineCalls("loadUsers"),
        std::vector<std::string>{"loadUsers " + files.file("accounts.csv")});
    EXPECT_EQ(engineCalls("startUserTest"), std::vector<std::string>{"startUserTest 3"});
    EXPECT_EQ(migrator().configuration.sourceServer, L"source.example");
    EXPECT_EQ(migrator().configuration.targetServer, L"target.example");
    EXPECT_EQ(migrator().configuration.adminPassword, L"pw");
    EXPECT_EQ(nextButton()->text(), "Migrate");
    EXPECT_TRUE(button("abortButton")->isVisible());
    EXPECT_FALSE(button("loadButton")->isEnabled());
    EXPECT_FALSE(button("selectAllButton")->isEnabled());
    EXPECT_TRUE(accountList()->isEnabled()) << "entries may be checked while the test runs";
    EXPECT_EQ(child<QLabel>(MigWizard::OptionPageId, "progressLabel")->text(),
        "Testing accounts against source IMAP server...");

    EXPECT_EQ(column(0), (QStringList{"Ann", "Public folders", "Bob"}));
    EXPECT_EQ(column(1), (QStringList{"ann@example.com", "example.com", "bob@example.com"}));
    EXPECT_EQ(row(1)->data(0, gui::PublicFoldersRole).toUInt(), 1u);
    EXPECT_EQ(row(2)->data(0, gui::EngineIndexRole).toUInt(), 2u);
    EXPECT_FALSE(row(0)->flags().testFlag(Qt::ItemIsSelectable));

    QSettings settings(QSettings::UserScope, "Tavir", "Zorp");
    EXPECT_EQ(settings.value("LastOpenDirectory").toString(), dialogFolder);
}

TEST_F(OptionPageTest, StatusColumnFollowsTheTestAndSaysWhyALoginFailed)
{
    loadAndStartTest(threeAccounts());
    // A source that could not be tested is said as such, never as a
    // refused password.
    const std::wstring why
        = L"Could not connect to the source server 127.0.0.1:1143: connection refused.";
    migrator().accounts[1].loginRefusal = why;
    migrator().testCallbacks->started();
    migrator().reportTestStatus(0, migration::TestLoginAccepted);
    migrator().reportTestStatus(1, migration::TestLoginRefused);
    (*migrator().testStatuses)[2] = migration::TestTesting;
    ASSERT_TRUE(waitFor([&] { return row(2)->text(2) == "Testing..."; }));
    EXPECT_TRUE(row(0)->flags().testFlag(Qt::ItemIsEnabled));
    EXPECT_EQ(row(0)->checkState(0), Qt::Checked);
    EXPECT_FALSE(row(1)->flags().testFlag(Qt::ItemIsEnabled)) << "greyed out";
    EXPECT_EQ(row(1)->checkState(0), Qt::Unchecked);
    EXPECT_FALSE(nextEnabled());
    migrator().reportTestStatus(2, migration::TestLoginAccepted);
    migrator().testCallbacks->stopped(false);
    ASSERT_TRUE(chainEnded());
    EXPECT_EQ(row(2)->text(2), "");
    for (int column : {0, 1, 2}) {
        EXPECT_EQ(row(1)->toolTip(column), QString::fromStdWString(why));
        EXPECT_EQ(row(0)->toolTip(column), "") << "accepted";
    }
    EXPECT_FALSE(button("abortButton")->isVisible());
    EXPECT_TRUE(button("selectAllButton")->isEnabled());
    EXPECT_TRUE(nextEnabled());
    EXPECT_TRUE(accountList()->isSortingEnabled());
}

// The tester marks the account it takes up as in test without a callback;
// its row says so at the next poll, the first account's as well.
TEST_F(OptionPageTest, TheAccountInTestSaysSoFromTheFirstOn)
{
    using migration::TestLoginAccepted;
    using migration::TestLoginRefused;
    const struct Row {
        const char* name;
        std::vector<TestStatus> before; // published with their callbacks
        std::size_t inTest;
    } rows[] = {
        {"the first account", {}, 0},
        {"after an accepted login", {TestLoginAccepted}, 1},
        {"after an accepted and a refused login", {TestLoginAccepted, TestLoginRefused}, 2},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        loadAndStartTest(threeAccounts());
        migrator().testCallbacks->started();
        for (std::size_t i = 0; i < r.before.size(); ++i)
            migrator().reportTestStatus(i, r.before[i]);
        publishTestStatus((*migrator().testStatuses)[r.inTest], migration::TestTesting);
        ASSERT_TRUE(
            waitFor([&] { return row(static_cast<int>(r.inTest))->text(2) == "Testing..."; }));
        if (r.inTest == 0)
            screenshot(&w(), "3-accounts-testing");
        for (int other = 0; other < 3; ++other) {
            if (other != static_cast<int>(r.inTest)) {
                EXPECT_EQ(row(other)->text(2), "") << "row " << other;
            }
        }
        endTest();
        EXPECT_EQ(row(static_cast<int>(r.inTest))->text(2), "") << "once judged";
    }

    // A stop that comes while the last account is in test leaves it not
    // tested, its word taken away.
    loadAndStartTest(threeAccounts());
    migrator().testCallbacks->started();
    migrator().reportTestStatus(0, TestLoginAccepted);
    migrator().reportTestStatus(1, TestLoginAccepted);
    publishTestStatus((*migrator().testStatuses)[2], migration::TestTesting);
    ASSERT_TRUE(waitFor([&] { return row(2)->text(2) == "Testing..."; }));
    migrator().reportTestStatus(2, migration::TestNotTested);
    migrator().testCallbacks->stopped(false);
    ASSERT_TRUE(chainEnded());
    EXPECT_EQ(row(2)->text(2), "");
    EXPECT_TRUE(showsImage(row(2), ":/images/nottested.png"));
}

TEST_F(OptionPageTest, TheWordOfTheAccountInTestIsTranslated)
{
    CapitalsTranslator translation({"Testing..."});
    loadAndStartTest(threeAccounts());
    migrator().testCallbacks->started();
    publishTestStatus((*migrator().testStatuses)[0], migration::TestTesting);
    EXPECT_TRUE(waitFor([&] { return row(0)->text(2) == "TESTING..."; }))
        << row(0)->text(2).toStdString();
    endTest();
}

// A test that ended because the source can't be tested says the run's
// sentence once, above the list, with what the user can do; the accounts
// it left untested are shown as not tested, never as refused logins. So are
// the accounts whose logins the source could not take now (an account's own
// limit, a server unavailable): each one's sentence, with what the server
// answered, an ALERT as written, is said above the list too.
TEST_F(OptionPageTest, ASourceThatCanNotBeTestedIsSaidOnceAboveTheList)
{
    using migration::TestLoginAccepted;
    using migration::TestLoginRefused;
    using migration::TestNotTested;
    const std::wstring refused
        = L"The source server 127.0.0.1:1143 refused the login of "
          L"example.com (as #public@example.com: a NO [AUTHENTICATIONFAILED] "
          L"Authentication failed.; as #public: the same).";
    const QString hint = "Load... tests again once the source server can be tested; its name, "
                         "port and SSL are changed by starting the wizard again.";
    enum Shown { Accepted, Refused, NotTested, NotNow };
    const std::wstring atItsLimit
        = L"The source server 127.0.0.1:1143 could not log bob@example.com in now: NO [LIMIT] "
          L"Maximum number of connections from user+IP exceeded "
          L"(mail_max_userip_connections=10).";
    const std::wstring tooMany = L"The source server 127.0.0.1:1143 could not log ann@example.com "
                                 L"in now: NO [ALERT] Too many simultaneous connections. "
                                 L"(Failure).";
    const std::wstring unavailable
        = L"The source server 127.0.0.1:1143 could not log bob@example.com in now: NO "
          L"[UNAVAILABLE] Temporary authentication failure.";
    const QString oneNotNow
        = "It was not tested and can't be migrated now; Load... tests it again.";
    const std::vector<TestStatus> allRefused(3, TestLoginRefused);
    const std::vector<Shown> noneTested(3, NotTested);
    const QString threeNotTested = "3 accounts were not tested and can't be migrated.";
    const struct Row {
        const char* name;
        std::wstring sentence; // MigrationStatus::sourceUntestable
        std::vector<TestStatus> outcomes;
        std::vector<std::wstring> refusals; // the others': the sentence when refused
        std::vector<Shown> shown;
        QString counted;
        bool migrate;
        const char* picture;
        // Why the source could not take each login now; the note that
        // says so above the list.
        std::vector<std::wstring> notNow = {};
        QString notNowNote = "";
    } rows[] = {
        {"unreachable",
            L"Could not connect to the source server 127.0.0.1:1143: connection refused.",
            allRefused, {}, noneTested, threeNotTested, false, "3-accounts-source-untestable"},
        {"refused logins only", L"", {TestLoginAccepted, TestLoginRefused, TestLoginRefused},
            {L"", refused, refused}, {Accepted, Refused, Refused}, "", true, "3-accounts-refused"},
        {"silent",
            L"The source server 127.0.0.1:1143 accepted the connection but sent no greeting "
            L"within 60 s.",
            allRefused, {}, noneTested, threeNotTested, false, nullptr},
        // Left not tested by the engine, rather than refused.
        {"TLS",
            L"The source server 127.0.0.1:143 accepts no password on a connection without TLS: "
            L"turn SSL on for the source, usually port 993.",
            std::vector<TestStatus>(3, TestNotTested), {}, noneTested, threeNotTested, false,
            nullptr},
        {"not IMAP",
            L"The source server 127.0.0.1:22 did not greet as an IMAP server: "
            L"SSH-2.0-OpenSSH_9.2p1.",
            allRefused, {}, noneTested, threeNotTested, false, nullptr},
        {"PREAUTH",
            L"The source server 127.0.0.1:1143 greets every connection as logged in already "
            L"(PREAUTH), so no account can log in as itself: * PREAUTH logged in as nobody.",
            allRefused, {}, noneTested, threeNotTested, false, nullptr},
        // One login accepted and one refused before the source refused
        // one more connection.
        {"at its limit after two accounts",
            L"The source server 127.0.0.1:1143 closed the connection before its greeting: it "
            L"accepts no more connections from this computer now.",
            {TestLoginAccepted, TestLoginRefused, TestLoginRefused}, {L"", refused},
            {Accepted, Refused, NotTested}, "1 account was not tested and can't be migrated.", true,
            "3-accounts-source-at-its-limit"},
        // Dovecot as shipped, its ten sessions of an account taken by the
        // account's own mail program.
        {"an account's own limit", L"", {TestLoginAccepted, TestLoginAccepted, TestNotTested}, {},
            {Accepted, Accepted, NotNow}, "", true, "3-accounts-not-now", {L"", L"", atItsLimit},
            QString::fromStdWString(atItsLimit) + "\n" + oneNotNow},
        {"a web-mail provider's ALERT, and a server unavailable", L"",
            {TestNotTested, TestLoginRefused, TestNotTested}, {L"", refused},
            {NotNow, Refused, NotNow}, "", false, nullptr, {tooMany, L"", unavailable},
            QString::fromStdWString(tooMany + L"\n" + unavailable)
                + "\nThese 2 accounts were not tested and can't be migrated now; Load... tests "
                  "them again."},
        {"not now, then a source that can't be tested",
            L"The source server 127.0.0.1:1143 accepted the connection but sent no greeting "
            L"within 60 s.",
            {TestNotTested, TestLoginAccepted, TestNotTested}, {}, {NotNow, Accepted, NotTested},
            "1 account was not tested and can't be migrated.", true, nullptr, {tooMany},
            QString::fromStdWString(tooMany) + "\n" + oneNotNow},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        std::vector<migration::UserInfoData> accounts = threeAccounts();
        for (std::size_t i = 0; i < accounts.size(); ++i) {
            const bool untested = r.shown[i] == NotTested && r.outcomes[i] == TestLoginRefused;
            accounts[i].loginRefusal = i < r.refusals.size() ? r.refusals[i]
                : untested                                   ? r.sentence
                                                             : L"";
            accounts[i].loginNotNow = i < r.notNow.size() ? r.notNow[i] : L"";
        }
        migrator().status.sourceUntestable = r.sentence;
        loadAndStartTest(accounts);
        EXPECT_FALSE(shown("sourceNote")) << "nothing said before the test has ended";
        EXPECT_FALSE(shown("notNowNote")) << "nothing said before the test has ended";
        migrator().playTest(r.outcomes);
        ASSERT_TRUE(chainEnded());

        const QString sentence = QString::fromStdWString(r.sentence);
        EXPECT_EQ(shown("sourceNote"), !sentence.isEmpty());
        EXPECT_EQ(shown("sourceIcon"), !sentence.isEmpty());
        EXPECT_EQ(warning(MigWizard::OptionPageId), "");
        if (!sentence.isEmpty()) {
            EXPECT_EQ(label("sourceNote")->text(), sentence + "\n" + r.counted + " " + hint);
            EXPECT_LT(label("sourceNote")->y(), accountList()->y()) << "above the list";
            EXPECT_EQ(labelsShowing(sentence), 1) << "said once";
        }
        EXPECT_EQ(shown("notNowNote"), !r.notNowNote.isEmpty());
        EXPECT_EQ(shown("notNowIcon"), !r.notNowNote.isEmpty());
        if (!r.notNowNote.isEmpty()) {
            EXPECT_EQ(label("notNowNote")->text(), r.notNowNote);
            EXPECT_LT(label("notNowNote")->y(), accountList()->y()) << "above the list";
        }
        for (int i = 0; i < 3; ++i) {
            SCOPED_TRACE(i);
            const bool enabled = row(i)->flags().testFlag(Qt::ItemIsEnabled);
            switch (r.shown[i]) {
            case Accepted:
                EXPECT_TRUE(enabled);
                EXPECT_EQ(row(i)->checkState(0), Qt::Checked);
                EXPECT_TRUE(showsImage(row(i), ":/images/ok.png"));
                break;
            case Refused:
                EXPECT_FALSE(enabled);
                EXPECT_TRUE(showsImage(row(i), ":/images/fail.png"));
                EXPECT_EQ(row(i)->toolTip(1), QString::fromStdWString(refused));
                break;
            case NotTested:
                EXPECT_FALSE(enabled) << "nothing to migrate from a source not tested";
                EXPECT_EQ(row(i)->checkState(0), Qt::Unchecked);
                EXPECT_TRUE(showsImage(row(i), ":/images/nottested.png")) << "not a refusal";
                EXPECT_EQ(row(i)->toolTip(1), sentence);
                break;
            case NotNow:
                EXPECT_FALSE(enabled) << "a login the source can't take now is not migrated";
                EXPECT_EQ(row(i)->checkState(0), Qt::Unchecked);
                EXPECT_TRUE(showsImage(row(i), ":/images/nottested.png")) << "not a refusal";
                EXPECT_EQ(row(i)->toolTip(1), QString::fromStdWString(r.notNow[i]));
                EXPECT_EQ(labelsShowing(QString::fromStdWString(r.notNow[i])), 1) << "said once";
                break;
            }
        }
        EXPECT_EQ(nextEnabled(), r.migrate);
        if (r.picture)
            screenshot(&w(), r.picture);
    }

    // A new load takes the note away until its own test has ended.
    migrator().loadGate.close();
    migrator().testCallbacks = nullptr;
    load(accountsFile());
    EXPECT_TRUE(waitFor([&] {
        return !shown("sourceNote") && !shown("sourceIcon") && !shown("notNowNote")
            && !shown("notNowIcon");
    }));
    migrator().loadGate.open();
    ASSERT_TRUE(waitFor([&] { return migrator().testCallbacks != nullptr; }));
    settle(300);
    EXPECT_FALSE(shown("sourceNote")) << "while the test runs";
    endTest();
    EXPECT_TRUE(shown("sourceNote"));
}

TEST_F(OptionPageTest, CheckMarksAtLeavingReachTheEngine)
{
    loadAndStartTest(threeAccounts());
    migrator().playTest(
        {migration::TestLoginAccepted, migration::TestLoginAccepted, migration::TestLoginRefused});
    ASSERT_TRUE(chainEnded());

    click(button("deselectAllButton"));
    EXPECT_EQ(row(0)->checkState(0), Qt::Unchecked);
    EXPECT_FALSE(nextEnabled()) << "no account checked";
    click(button("selectAllButton"));
    EXPECT_EQ(row(0)->checkState(0), Qt::Checked);
    EXPECT_EQ(row(2)->checkState(0), Qt::Unchecked) << "a refused login stays unchecked";
    toggle(row(2));
    EXPECT_EQ(row(2)->checkState(0), Qt::Unchecked) << "and can't be checked";

    toggle(row(0));
    EXPECT_EQ(row(0)->checkState(0), Qt::Unchecked);
    toggle(row(1));
    toggle(row(1));
    EXPECT_EQ(row(1)->checkState(0), Qt::Checked);
    EXPECT_TRUE(nextEnabled());
    EXPECT_TRUE(engineCalls("setMigrate").empty()) << "nothing is told before leaving";
    clickNext();
    ASSERT_TRUE(reaches(MigWizard::ProgressPageId));
    EXPECT_EQ(engineCalls("setMigrate"),
        (std::vector<std::string>{"setMigrate 0 false", "setMigrate 2 false"}));
}

TEST_F(OptionPageTest, PublicFoldersStayFirstInBothSortOrders)
{
    loadAndStartTest(
        {account(0, L"carl", L"b.example", L"Carl"), account(1, L"amy", L"c.example", L"Amy"),
            account(2, L"#public", L"z.example", L"Zeta public"),
            account(3, L"bea", L"a.example", L"Bea")});
    migrator().playTest({migration::TestLoginAccepted, migration::TestLoginRefused,
        migration::TestLoginAccepted, migration::TestLoginAccepted});
    ASSERT_TRUE(chainEnded());
    EXPECT_EQ(column(0), (QStringList{"Carl", "Amy", "Zeta public", "Bea"}))
        << "in file order after the test";

    struct Case {
        int section;
        QStringList ascending;
        QStringList descending;
    } cases[] = {
        {0, {"Zeta public", "Amy", "Bea", "Carl"}, {"Zeta public", "Carl", "Bea", "Amy"}},
        {1, {"Zeta public", "Amy", "Bea", "Carl"}, {"Zeta public", "Carl", "Bea", "Amy"}},
        // Enabled entries first, then by name; the public entry among them.
        {2, {"Zeta public", "Bea", "Carl", "Amy"}, {"Amy", "Zeta public", "Carl", "Bea"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.section);
        for (int clickCount = 0; clickCount < 2; ++clickCount) {
            clickHeader(c.section);
            const bool ascending
                = accountList()->header()->sortIndicatorOrder() == Qt::AscendingOrder;
            EXPECT_EQ(accountList()->header()->sortIndicatorSection(), c.section);
            EXPECT_EQ(column(0), ascending ? c.ascending : c.descending)
                << (ascending ? "ascending" : "descending");
        }
    }
}

TEST_F(OptionPageTest, EndOfTheTestSortsByIndexAsNumbers)
{
    std::vector<migration::UserInfoData> accounts;
    for (unsigned i = 0; i < 11; ++i)
        accounts.push_back(account(
            i, L"user" + std::to_wstring(i), L"example.com", L"User " + std::to_wstring(i)));
    loadAndStartTest(accounts);
    finishTest(accounts.size());
    QStringList expected;
    for (int i = 0; i < 11; ++i)
        expected << QString::number(i);
    EXPECT_EQ(column(3), expected);
}

// The note on logins the source could not take now gives the first ten
// accounts' sentences, then how many more, as the run's lists are cut; each
// row keeps its own sentence.
TEST_F(OptionPageTest, ManyLoginsNotTakenNowAreSaidForTheFirstTen)
{
    for (unsigned count : {10u, 12u}) {
        SCOPED_TRACE(count);
        std::vector<migration::UserInfoData> accounts;
        QStringList sentences;
        for (unsigned i = 0; i < count; ++i) {
            const std::wstring name = L"user" + std::to_wstring(i);
            accounts.push_back(account(i, name, L"example.com", name));
            accounts.back().loginNotNow = L"The source server 127.0.0.1:1143 could not log " + name
                + L"@example.com in now: NO [INUSE] Mailbox in use.";
            sentences << QString::fromStdWString(accounts.back().loginNotNow);
        }
        loadAndStartTest(accounts);
        migrator().playTest(std::vector<TestStatus>(count, migration::TestNotTested));
        ASSERT_TRUE(chainEnded());
        QStringList lines = sentences.mid(0, 10);
        if (count > 10)
            lines << "The same for 2 more accounts.";
        lines << QString("These %1 accounts were not tested and can't be migrated now; Load... "
                         "tests them again.")
                     .arg(count);
        EXPECT_EQ(label("notNowNote")->text(), lines.join('\n'));
        EXPECT_EQ(row(static_cast<int>(count) - 1)->toolTip(1), sentences.back());
        EXPECT_FALSE(nextEnabled());
    }
}

TEST_F(OptionPageTest, AbortedTestEmptiesTheListUntilTheNextLoad)
{
    loadAndStartTest(threeAccounts());
    migrator().testCallbacks->started();
    {
        MessageBoxAnswer no(QMessageBox::No);
        click(button("abortButton"));
        EXPECT_EQ(no.texts(), std::vector<QString>{stopQuestion});
        EXPECT_EQ(no.boxes().at(0).defaultButton, QMessageBox::No);
    }
    EXPECT_TRUE(engineCalls("stopUserTest").empty());
    {
        MessageBoxAnswer yes(QMessageBox::Yes);
        click(button("abortButton"));
    }
    EXPECT_EQ(engineCalls("stopUserTest").size(), 1u);
    EXPECT_FALSE(button("abortButton")->isEnabled());
    EXPECT_EQ(child<QLabel>(MigWizard::OptionPageId, "progressLabel")->text(),
        "The test is being aborted, please wait...");
    {
        MessageBoxAnswer any(QMessageBox::Yes);
        w().close();
        settle(20);
        EXPECT_TRUE(any.texts().empty())
            << "a close while the test is being aborted is refused silently";
        EXPECT_TRUE(w().isVisible());
    }
    migrator().reportTestStatus(0, migration::TestLoginAccepted);
    migrator().testCallbacks->stopped(true);
    ASSERT_TRUE(chainEnded());
    EXPECT_EQ(accountList()->topLevelItemCount(), 0);
    EXPECT_FALSE(accountList()->isEnabled());
    EXPECT_FALSE(button("selectAllButton")->isEnabled());
    EXPECT_FALSE(nextEnabled());

    // Loading again starts at the load, then tests again.
    loadAndStartTest(threeAccounts());
    EXPECT_EQ(engineCalls("init").size(), 1u);
    EXPECT_EQ(engineCalls("loadUsers").size(), 2u);
    EXPECT_EQ(engineCalls("startUserTest").size(), 2u);
    EXPECT_EQ(accountList()->topLevelItemCount(), 3);
}

TEST_F(OptionPageTest, StopRefusedOrTooLateIsTold)
{
    loadAndStartTest(threeAccounts());
    migrator().testCallbacks->started();
    migrator().stopTestResult = false;
    {
        MessageBoxAnswer yes(QMessageBox::Yes);
        click(button("abortButton"));
        EXPECT_EQ(
            yes.texts(), (std::vector<QString>{stopQuestion, "Aborting of the test failed."}));
    }
    EXPECT_TRUE(button("abortButton")->isEnabled());

    // The test ends while the question is open.
    std::vector<QString> texts;
    OnModal answer([&](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        texts.push_back(box->text());
        if (texts.size() == 1) {
            migrator().playTest(std::vector<TestStatus>(3, migration::TestLoginAccepted));
            settle(300);
        }
        click(box->button(texts.size() == 1 ? QMessageBox::Yes : QMessageBox::Ok));
    });
    click(button("abortButton"));
    EXPECT_EQ(texts,
        (std::vector<QString>{
            stopQuestion, "Unable to abort the test because it has already been completed."}));
    EXPECT_EQ(engineCalls("stopUserTest").size(), 1u);
    EXPECT_EQ(accountList()->topLevelItemCount(), 3);
}

TEST_F(OptionPageTest, ClosingWhileTheAccountsLoadStopsNoTest)
{
    migrator().accounts = threeAccounts();
    migrator().loadGate.close();
    load(accountsFile());
    ASSERT_TRUE(waitFor([&] { return engine.log.contains("init"); }));
    {
        MessageBoxAnswer yes(QMessageBox::Yes);
        w().close();
        EXPECT_EQ(yes.texts(), std::vector<QString>{stopQuestion});
        EXPECT_TRUE(w().isVisible());
    }
    migrator().loadGate.open();
    ASSERT_TRUE(chainEnded());
    EXPECT_TRUE(engineCalls("stopUserTest").empty()) << "no test had started";
    EXPECT_TRUE(engineCalls("startUserTest").empty()) << "and none starts";
    EXPECT_EQ(accountList()->topLevelItemCount(), 0);
    EXPECT_FALSE(nextEnabled());
    loadAndStartTest(threeAccounts());
    EXPECT_EQ(engineCalls("startUserTest").size(), 1u);
}

TEST_F(OptionPageTest, ClosingDuringTheTestAsksToStopIt)
{
    loadAndStartTest(threeAccounts());
    migrator().testCallbacks->started();
    MessageBoxAnswer no(QMessageBox::No);
    w().close();
    EXPECT_EQ(no.texts(), std::vector<QString>{stopQuestion});
    EXPECT_TRUE(w().isVisible());
    EXPECT_TRUE(engineCalls("stopUserTest").empty());
}

TEST_F(OptionPageTest, ReadFailuresAreShownHereAndOnTheResultPage)
{
    struct Case {
        const char* name;
        bool init;
        bool load;
    } cases[] = {{"accounts file", true, false}, {"configuration", false, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (std::string(c.name) == "configuration") {
            TearDown();
            SetUp();
        }
        migrator().initResult = c.init;
        migrator().loadResult = c.load;
        load(accountsFile());
        ASSERT_TRUE(chainEnded());
        EXPECT_EQ(warning(MigWizard::OptionPageId), "Reading of users from the file failed.");
        EXPECT_EQ(warning(MigWizard::ResultPageId), "Reading of users from the file failed.");
        EXPECT_FALSE(nextEnabled());
        EXPECT_TRUE(engineCalls("startUserTest").empty());
        QSettings settings(QSettings::UserScope, "Tavir", "Zorp");
        EXPECT_EQ(settings.value("LastOpenDirectory").toString(), dialogFolder);
    }
    // A good load afterwards clears both warnings.
    migrator().initResult = true;
    migrator().loadResult = true;
    loadAndStartTest(threeAccounts());
    EXPECT_EQ(warning(MigWizard::OptionPageId), "");
    EXPECT_EQ(warning(MigWizard::ResultPageId), "");
}

TEST_F(OptionPageTest, SkippedLinesAreCountedAboveTheListWithTheReportToReadWhy)
{
    const QString report = gui::MigThread::reportFilePath();
    struct Case {
        unsigned skipped;
        bool loads;
        QString note; // empty: none shown
    } cases[] = {
        {0, true, ""},
        {3, true, "3 lines of the file were skipped; the report " + report + " says why."},
        {1, true, "1 line of the file was skipped; the report " + report + " says why."},
        {2, false, ""}, // a failed load says that, and nothing of lines
        {2, true, "2 lines of the file were skipped; the report " + report + " says why."},
    };
    EXPECT_FALSE(shown("skippedNote")) << "nothing loaded yet";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.note.toStdString());
        migrator().skippedLines = c.skipped;
        migrator().loadResult = c.loads;
        if (c.loads) {
            loadAndStartTest(threeAccounts());
            finishTest(3);
        } else {
            load(accountsFile());
        }
        ASSERT_TRUE(chainEnded());
        EXPECT_EQ(shown("skippedNote"), !c.note.isEmpty());
        EXPECT_EQ(shown("skippedIcon"), !c.note.isEmpty());
        if (!c.note.isEmpty()) {
            EXPECT_EQ(child<QLabel>(MigWizard::OptionPageId, "skippedNote")->text(), c.note);
            EXPECT_LT(
                child<QWidget>(MigWizard::OptionPageId, "skippedNote")->y(), accountList()->y())
                << "above the list";
        }
    }
    // A new load takes the note away until its own file is read.
    migrator().loadGate.close();
    load(accountsFile());
    EXPECT_TRUE(waitFor([&] { return !shown("skippedNote"); }));
    migrator().loadGate.open();
    ASSERT_TRUE(waitFor([&] { return shown("skippedNote"); }));
}

TEST_F(OptionPageTest, FileWithoutAccountsNeverCompletes)
{
    loadAndStartTest({});
    migrator().playTest({});
    ASSERT_TRUE(chainEnded());
    EXPECT_EQ(accountList()->topLevelItemCount(), 0);
    EXPECT_FALSE(nextEnabled());
}

TEST_F(OptionPageTest, TestTheEngineRefusesEndsTheChain)
{
    migrator().startTestResult = false;
    loadAndStartTest(threeAccounts());
    ASSERT_TRUE(chainEnded());
    EXPECT_EQ(warning(MigWizard::OptionPageId), "The test of the accounts could not be started.");
    EXPECT_EQ(accountList()->topLevelItemCount(), 0);
    EXPECT_FALSE(nextEnabled());
}

TEST_F(OptionPageTest, CancelledFileChoiceChangesNothing)
{
    QStringList filters;
    QString selected;
    OnModal cancel([&](QWidget* modal) {
        auto* dialog = qobject_cast<QFileDialog*>(modal);
        ASSERT_NE(dialog, nullptr);
        filters = dialog->nameFilters();
        selected = dialog->selectedNameFilter();
        click(modal->findChild<QDialogButtonBox*>("buttonBox")->button(QDialogButtonBox::Cancel));
    });
    click(button("loadButton"));
    EXPECT_EQ(cancel.seen(), 1);
    // Any file name is taken: every file is shown, the CSV filter offered.
    EXPECT_EQ(filters, (QStringList{"CSV (*.csv)", "Any files (*)"}));
    EXPECT_EQ(selected, "Any files (*)");
    settle(20);
    EXPECT_TRUE(engineCalls("init").empty());
    EXPECT_FALSE(QSettings(QSettings::UserScope, "Tavir", "Zorp").contains("LastOpenDirectory"));
}

TEST_F(OptionPageTest, ExampleLinkShowsTheFileFormat)
{
    QString title, text;
    OnModal dialog([&](QWidget* modal) {
        title = modal->windowTitle();
        text = modal->findChild<QTextEdit*>()->toPlainText();
        EXPECT_TRUE(modal->findChild<QTextEdit*>()->isReadOnly());
        for (QPushButton* b : modal->findChildren<QPushButton*>()) {
            if (b->text() == "Close")
                click(b);
        }
    });
    clickLink(child<QLabel>(MigWizard::OptionPageId, "exampleNote"));
    EXPECT_EQ(dialog.seen(), 1);
    EXPECT_EQ(title, "File Example");
    EXPECT_EQ(text, gui::OptionPage::exampleText);
    EXPECT_EQ(text.split('\n').size(), 3);
    for (const QString& line : text.split('\n'))
        EXPECT_EQ(line.split(';').size(), 3) << line.toStdString();
}

TEST_F(OptionPageTest, TabGoesThroughTheControlsAsShownAndEnterOpensTheExample)
{
    loadAndStartTest(threeAccounts());
    finishTest(3);
    ASSERT_TRUE(chainEnded());
    w().activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w()));
    button("loadButton")->setFocus();
    const std::vector<QWidget*> order = {child<QWidget>(MigWizard::OptionPageId, "exampleNote"),
        accountList(), button("selectAllButton"), button("deselectAllButton"), nextButton()};
    for (QWidget* expected : order) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_EQ(QApplication::focusWidget(), expected) << expected->objectName().toStdString();
    }
    // One Tab onto the link, and Enter opens it (not the wizard's Migrate).
    button("loadButton")->setFocus();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    OnModal example([](QWidget* modal) { modal->close(); });
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    EXPECT_TRUE(waitFor([&] { return example.seen() == 1; }));
    EXPECT_EQ(w().currentId(), MigWizard::OptionPageId);
    const auto calls = engine.log.calls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "start"), 0) << "no migration started";
}

} // namespace
} // namespace tavir::test
