// The wizard over the real engine and a real Dovecot as the source: the
// engine's start-up, the source test and the credential test of the
// accounts page, with the engine's own threads calling back into the page.
// The target's administration test is scripted here (code 0), so the run
// stops before the migration.
#include "WizardFixture.h"

#include "Imap/engine/Engine.h"
#include "support/Dovecot.h"

#include <QFileInfo>

namespace tavir::test {
namespace {

using gui::MigWizard;

class RealEngine : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!Dovecot::available())
            GTEST_SKIP() << "needs Dovecot and root";
        guiApplication();
        gui::MigThread::setViewer("false");
        qputenv("XDG_STATE_HOME", QByteArray::fromStdString(state.path()));
        // Refused logins answer at once rather than after Dovecot's delay.
        Dovecot::Options options;
        options.extraConfig = "auth_failure_delay = 0\nlogin_trusted_networks = 127.0.0.0/8\n";
        source = std::make_unique<Dovecot>(
            std::map<std::string, std::string>{{"anna@demo.example", "anna-pw"}, {"ben@demo.example", "ben-pw"}},
            options);
        gui::EngineEntries engine{&migration::init, &migration::done, &migration::createMigrator,
            &migration::testImap,
            [](const std::wstring&, const std::wstring&, const std::wstring&) { return 0; }};
        wizard = std::make_unique<gui::ImapWizard>(nullptr, engine);
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
    void type(QLineEdit* edit, const QString& text)
    {
        edit->clear();
        QTest::keyClicks(edit, text);
    }

    TempDir state;
    TempDir files;
    std::unique_ptr<Dovecot> source;
    std::unique_ptr<gui::ImapWizard> wizard;
};

TEST_F(RealEngine, SourceAndAccountsPagesAgainstDovecot)
{
    next();
    ASSERT_TRUE(reaches(MigWizard::ServerPageId)) << "the engine started: logs and conversion library";
    const QString report = QString::fromStdWString(gui::MigThread::executer()->configuration.reportFile);
    EXPECT_TRUE(report.startsWith(QString::fromStdString(state.path()) + "/ZorpLogs/"));
    EXPECT_TRUE(QFileInfo::exists(report));

    auto* host = child<QLineEdit>(MigWizard::ServerPageId, "hostEdit");
    type(host, QString("127.0.0.1:%1").arg(freeLoopbackPort()));
    next();
    ASSERT_TRUE(waitFor([&] { return !child<QLabel>(MigWizard::ServerPageId, "warningLabel")->isHidden(); }, 15000));
    EXPECT_EQ(child<QLabel>(MigWizard::ServerPageId, "warningLabel")->text(),
        "Connection to IMAP Server failed. Please check the typed hostname.");
    type(host, QString("127.0.0.1:%1").arg(source->port()));
    next();
    ASSERT_TRUE(reaches(MigWizard::CvnPageId));

    type(child<QLineEdit>(MigWizard::CvnPageId, "hostEdit"), "127.0.0.1");
    type(child<QLineEdit>(MigWizard::CvnPageId, "userEdit"), "admin");
    next();
    ASSERT_TRUE(reaches(MigWizard::OptionPageId));

    const std::string accounts = files.file("accounts.csv");
    writeFile(accounts, "anna@demo.example;anna-pw;Anna Lindqvist\nben@demo.example;old-pw;Ben Okafor\n");
    OnModal chooser([&](QWidget* modal) {
        auto* dialog = qobject_cast<QFileDialog*>(modal);
        dialog->findChild<QLineEdit*>("fileNameEdit")->setText(QString::fromStdString(accounts));
        click(dialog->findChild<QDialogButtonBox*>("buttonBox")->button(QDialogButtonBox::Open));
    });
    click(child<QAbstractButton>(MigWizard::OptionPageId, "loadButton"));
    auto* list = child<QTreeWidget>(MigWizard::OptionPageId, "accountList");
    ASSERT_TRUE(waitFor([&] { return wizard->button(QWizard::NextButton)->isEnabled(); }, 20000));
    ASSERT_EQ(list->topLevelItemCount(), 2);
    EXPECT_EQ(list->topLevelItem(0)->text(1), "anna@demo.example");
    EXPECT_TRUE(list->topLevelItem(0)->flags().testFlag(Qt::ItemIsEnabled));
    EXPECT_EQ(list->topLevelItem(0)->checkState(0), Qt::Checked);
    EXPECT_FALSE(list->topLevelItem(1)->flags().testFlag(Qt::ItemIsEnabled)) << "ben's login is refused";
    EXPECT_EQ(list->topLevelItem(1)->checkState(0), Qt::Unchecked);
    EXPECT_EQ(wizard->button(QWizard::NextButton)->text(), "Migrate");
}

} // namespace
} // namespace tavir::test
