// The real wizard over the real engine, end to end: a real Dovecot as the
// source and the stand-in target with its administration service, driven
// through the pages as a user drives them, with the mistakes a user makes
// on the way (a wrong source port, a wrong administrator password, an
// account whose password has changed).
#include "WizardFixture.h"

#include "support/Dovecot.h"
#include "support/StandInTarget.h"

#include <QFileInfo>

#include <algorithm>

namespace tavir::test {
namespace {

using gui::MigWizard;

const std::map<std::string, std::string> kSourceUsers
    = {{"anna@demo.example", "anna-pw"}, {"ben@demo.example", "ben-pw"}, {"dave@demo.example", "dave-new-pw"}};
// The mailboxes of the two accounts that log in: folder -> message count.
// For the screenshots the inboxes are larger, so that the progress page is
// seen while messages arrive.
std::map<std::string, std::map<std::string, int>> mailboxes()
{
    const int inbox = qEnvironmentVariableIsSet("TAVIR_SCREENSHOT_DIR") ? 400 : 12;
    return {{"anna@demo.example", {{"INBOX", inbox}, {"Projects", 6}, {"Projects.Apollo", 4}, {"Receipts", 3}}},
        {"ben@demo.example", {{"INBOX", inbox}, {"Travel", 5}}}};
}

void seed(int port)
{
    for (const auto& [address, folders] : mailboxes()) {
        RawImap imap(port);
        ASSERT_TRUE(imap.login(address, kSourceUsers.at(address)));
        for (const auto& [folder, count] : folders) {
            if (folder != "INBOX") {
                ASSERT_TRUE(imap.create(folder));
            }
            for (int i = 1; i <= count; ++i) {
                const std::string message = "From: Sender <sender@demo.example>\r\nTo: <" + address
                    + ">\r\nSubject: " + folder + " " + std::to_string(i) + "\r\n\r\n"
                    + std::string(2000 * (i % 12 + 1), 'x') + "\r\n";
                ASSERT_TRUE(imap.append(folder, message, i % 2 ? "\\Seen" : "", "03-Mar-2026 09:00:00 +0100"));
            }
        }
    }
}

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!Dovecot::available())
            GTEST_SKIP() << Dovecot::unavailable();
        guiApplication();
        gui::MigThread::setViewer("false");
        Dovecot::Options options;
        // Refused logins answer at once: no failure delay, and no penalty
        // per address, which Dovecot adds even for trusted networks.
        options.extraConfig = "auth_failure_delay = 0\n"
                              "service anvil {\n  unix_listener anvil-auth-penalty {\n    mode = 0\n  }\n}\n";
        source = std::make_unique<Dovecot>(kSourceUsers, options);
        seed(source->port());
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

TEST_F(EndToEnd, SixPagesAndARealMigrationFromDovecotIntoTheStandIn)
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
    // The source test pinned the source's self-signed certificate, and the
    // first login the service's, under the test's HOME.
    const std::string pins = readFile(home.file(".tavir/admin/known_hosts.cfg"));
    EXPECT_EQ(QString::fromStdString(pins).trimmed().split('\n').last(),
        QString("%1:44337: %2").arg(targetHost, QString::fromStdString(target->certificateFingerprint()).toLower()));
    EXPECT_EQ(0u, pins.find("127.0.0.1:" + std::to_string(source->tlsPort()) + ": ")) << pins;

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

    next();
    ASSERT_TRUE(reaches(MigWizard::ProgressPageId));
    // The first poll that shows messages arriving, unless the run is over
    // before the page has seen any.
    auto* table = child<QTreeWidget>(MigWizard::ProgressPageId, "progressTable");
    auto* messagesDone = child<QLabel>(MigWizard::ProgressPageId, "messagesValue");
    waitFor([&] {
        return wizard->currentId() == MigWizard::ResultPageId
            || (table->topLevelItemCount() > 0 && messagesDone->text().toInt() > 0);
    }, 60000);
    if (wizard->currentId() == MigWizard::ProgressPageId)
        screenshot(wizard.get(), "4-progress");
    ASSERT_TRUE(waitFor([&] { return wizard->currentId() == MigWizard::ResultPageId; }, 120000));
    screenshot(wizard.get(), "5-result");

    // What arrived: the seeded folders with all their messages (a new
    // account on the target also starts with folders of its own, empty).
    int folders = 0;
    int messages = 0;
    for (const auto& [address, seeded] : mailboxes()) {
        const auto arrived = target->folders(address);
        SCOPED_TRACE(address);
        for (const auto& [folder, count] : seeded) {
            std::string name = folder; // the target's separator is "/"
            std::replace(name.begin(), name.end(), '.', '/');
            ASSERT_EQ(arrived.count(name), 1u) << name;
            EXPECT_EQ(arrived.at(name).messages.size(), static_cast<size_t>(count)) << name;
            ++folders;
        }
        for (const auto& [name, folder] : arrived)
            messages += static_cast<int>(folder.messages.size());
    }
    EXPECT_TRUE(target->folders("dave@demo.example").empty()) << "dave was not checked";
    auto text = [&](const char* name) { return child<QLabel>(MigWizard::ResultPageId, name)->text().toStdString(); };
    EXPECT_EQ(text("accountsText"), "2 account(s) have been migrated.");
    EXPECT_EQ(text("foldersText"), std::to_string(folders) + " folder(s) have been migrated.");
    EXPECT_EQ(text("messagesText"), std::to_string(messages) + " message(s) have been migrated.");
    for (const char* name : {"accountsErrorIcon", "foldersErrorIcon", "messagesErrorIcon", "warningIcon"})
        EXPECT_TRUE(child<QLabel>(MigWizard::ResultPageId, name)->isHidden()) << name;

    click(wizard->button(QWizard::FinishButton));
    EXPECT_TRUE(waitFor([&] { return !wizard->isVisible(); }));
}

} // namespace
} // namespace tavir::test
