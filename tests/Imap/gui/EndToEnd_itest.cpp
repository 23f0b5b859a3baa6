// The real wizard over the real engine, end to end: a real Dovecot as the
// source and the stand-in target with its administration service, driven
// through the pages as a user drives them, with the mistakes a user makes
// on the way (a wrong source port, a wrong administrator password, an
// account whose password has changed).
#include "WizardFixture.h"

#include "support/Dovecot.h"
#include "support/StandInTarget.h"

#include <QFileInfo>

namespace tavir::test {
namespace {

using gui::MigWizard;

const std::map<std::string, std::string> kSourceUsers
    = {{"anna@demo.example", "anna-pw"}, {"ben@demo.example", "ben-pw"}, {"dave@demo.example", "dave-new-pw"}};

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!Dovecot::available())
            GTEST_SKIP() << "needs Dovecot and root";
        guiApplication();
        gui::MigThread::setViewer("false");
        Dovecot::Options options;
        // Refused logins answer at once: no failure delay, and no penalty
        // per address, which Dovecot adds even for trusted networks.
        options.extraConfig = "auth_failure_delay = 0\n"
                              "service anvil {\n  unix_listener anvil-auth-penalty {\n    mode = 0\n  }\n}\n";
        source = std::make_unique<Dovecot>(kSourceUsers, options);
        target = std::make_unique<StandInTarget>();
        wizard = std::make_unique<gui::ImapWizard>(nullptr);
        wizard->initializeEngineExecuter();
        wizard->show();
    }
    void TearDown() override { wizard.reset(); }

    template <class T>
    T* child(int pageId, const char* name)
    {
        return wizard->page(pageId)->findChild<T*>(name);
    }
    void next() { click(wizard->button(QWizard::NextButton)); }
    bool reaches(int id) { return waitFor([&] { return wizard->currentId() == id; }, 15000); }
    void type(int pageId, const char* edit, const QString& text)
    {
        auto* line = child<QLineEdit>(pageId, edit);
        line->clear();
        QTest::keyClicks(line, text);
    }
    // The warning a refused Next leaves on the page, once the test ended.
    QString warningAfterNext(int pageId)
    {
        next();
        auto* label = child<QLabel>(pageId, "warningLabel");
        if (!waitFor([&] { return !label->isHidden(); }, 15000))
            return "(no warning)";
        return label->text();
    }
    void load(const std::string& path)
    {
        OnModal chooser([&](QWidget* modal) {
            auto* dialog = qobject_cast<QFileDialog*>(modal);
            ASSERT_NE(dialog, nullptr);
            dialog->findChild<QLineEdit*>("fileNameEdit")->setText(QString::fromStdString(path));
            click(dialog->findChild<QDialogButtonBox*>("buttonBox")->button(QDialogButtonBox::Open));
        });
        click(child<QAbstractButton>(MigWizard::OptionPageId, "loadButton"));
        ASSERT_EQ(chooser.seen(), 1);
    }

    // Pins of the administration service go here, never to the real HOME.
    ScopedHome home;
    TempDir files;
    std::unique_ptr<Dovecot> source;
    std::unique_ptr<StandInTarget> target;
    std::unique_ptr<gui::ImapWizard> wizard;
};

TEST_F(EndToEnd, PagesFromWelcomeToTheAccountsAgainstDovecotAndTheStandIn)
{
    screenshot(wizard.get(), "0-welcome");
    next();
    ASSERT_TRUE(reaches(MigWizard::ServerPageId)) << "the engine started: logs and conversion library";
    EXPECT_TRUE(QFileInfo::exists(QString::fromStdWString(gui::MigThread::executer()->configuration.reportFile)));

    type(MigWizard::ServerPageId, "hostEdit", QString("127.0.0.1:%1").arg(freeLoopbackPort()));
    EXPECT_EQ(warningAfterNext(MigWizard::ServerPageId),
        "Connection to IMAP Server failed. Please check the typed hostname.");
    // The source over TLS from the first byte, as the demo offers it too.
    type(MigWizard::ServerPageId, "hostEdit", QString("127.0.0.1:%1").arg(source->tlsPort()));
    click(child<QCheckBox>(MigWizard::ServerPageId, "sslCheck"));
    screenshot(wizard.get(), "1-source");
    next();
    ASSERT_TRUE(reaches(MigWizard::CvnPageId));

    const QString targetHost = QString::fromStdString(target->host());
    type(MigWizard::CvnPageId, "hostEdit", QString("%1:%2").arg(targetHost).arg(target->port()));
    type(MigWizard::CvnPageId, "userEdit", "admin");
    type(MigWizard::CvnPageId, "passwordEdit", "not-the-password");
    EXPECT_EQ(warningAfterNext(MigWizard::CvnPageId),
        "Authentication to Corvane failed. Please check the typed username and password and try to "
        "connect again.");
    type(MigWizard::CvnPageId, "passwordEdit", "admin-secret");
    screenshot(wizard.get(), "2-target");
    next();
    ASSERT_TRUE(reaches(MigWizard::OptionPageId));
    // The first login pinned the service's certificate under the test's HOME.
    const std::string pins = readFile(home.file(".tavir/admin/known_hosts.cfg"));
    EXPECT_EQ(QString::fromStdString(pins).trimmed(),
        QString("%1:44337: %2").arg(targetHost, QString::fromStdString(target->certificateFingerprint()).toLower()));

    const std::string accounts = files.file("accounts.csv");
    writeFile(accounts,
        "anna@demo.example;anna-pw;Anna Lindqvist\n"
        "ben@demo.example;ben-pw;Ben Okafor\n"
        "dave@demo.example;dave-old-pw;Dave Kowalski\n");
    load(accounts);
    ASSERT_TRUE(waitFor([&] { return wizard->button(QWizard::NextButton)->isEnabled(); }, 20000));
    screenshot(wizard.get(), "3-accounts");
    auto* list = child<QTreeWidget>(MigWizard::OptionPageId, "accountList");
    ASSERT_EQ(list->topLevelItemCount(), 3);
    for (int row = 0; row < 3; ++row) {
        QTreeWidgetItem* item = list->topLevelItem(row);
        const bool refused = item->text(1) == "dave@demo.example";
        SCOPED_TRACE(item->text(1).toStdString());
        EXPECT_EQ(item->flags().testFlag(Qt::ItemIsEnabled), !refused);
        EXPECT_EQ(item->checkState(0), refused ? Qt::Unchecked : Qt::Checked);
    }
    EXPECT_EQ(wizard->button(QWizard::NextButton)->text(), "Migrate");
}

} // namespace
} // namespace tavir::test
