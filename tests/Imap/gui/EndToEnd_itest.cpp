// The real wizard over the real engine, end to end: a real Dovecot as the
// source and the stand-in target with its administration service, driven
// through the pages as a user drives them, with the mistakes a user makes
// on the way (a wrong source port, a source whose certificate changed, a
// wrong administrator password, lines of the accounts file that can't be
// read, an account whose password has changed); the run stopped by the
// user, a run the target refuses to start, and the run after them that
// ends the migration. Folder names in
// Chinese, Korean, Japanese and emoji travel all the way. And a source that
// can't be tested: gone between the source page and the accounts test, or
// one that takes no password in the clear.
#include "WizardFixture.h"

#include "support/Dovecot.h"
#include "support/Loopback.h"
#include "support/StandInTarget.h"
#include "support/TargetRelay.h"

#include "Imap/textconv/TextConversion.h"

#include <QFileInfo>
#include <QRegularExpression>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <regex>

namespace tavir::test {
namespace {

using gui::MigWizard;

const std::map<std::string, std::string> kSourceUsers
    = {{"anna@demo.example", "anna-pw"}, {"ben@demo.example", "ben-pw"}, {"dave@demo.example", "dave-new-pw"}};
// Anna's folder that the first run is stopped in, and her last one, which
// that run does not reach (in the order of their names).
const std::string kProjects = "Projects \u9879\u76EE \U0001F4C1";
const std::string kReceipts = "Receipts \uC601\uC218\uC99D \U0001F9FE";
// The mailboxes of the two accounts that log in, with the source's "."
// between the levels: folder (UTF-8) -> message count.
const std::map<std::string, std::map<std::string, int>> kMailboxes
    = {{"anna@demo.example",
           {{"INBOX", 12}, {kProjects, 6}, {kProjects + ".Apollo \u30A2\u30DD\u30ED \U0001F680", 4},
               {kReceipts, 3}}},
        {"ben@demo.example", {{"INBOX", 12}, {"Travel", 5}}}};

// A folder name as IMAP sends it (modified UTF-7).
std::string onTheWire(const std::string& folder)
{
    return migration::unicodeToUtf7M(migration::utf8ToUnicode(folder));
}

// Holds the target's APPENDs into one folder until released, for at most a
// minute: the progress page is seen, and stopped, while messages arrive,
// however fast the run would be. (The answers to the APPENDs before are
// read, and their messages counted, when the copy turns to that folder.)
class AppendHold {
public:
    // The relay's hook: it runs on the relay's thread, before the command
    // goes on to the target; all the relay's connections wait meanwhile.
    bool admit(const std::string& line)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!folder_.empty() && appendsTo(line, folder_))
            released_.wait_for(lock, std::chrono::minutes(1), [this] { return folder_.empty(); });
        return true;
    }
    void holdAppendsTo(const std::string& folder)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        folder_ = folder;
    }
    void release()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        folder_.clear();
        released_.notify_all();
    }

private:
    // "A7 APPEND Projects (...": the folder as an atom or quoted.
    static bool appendsTo(const std::string& line, const std::string& folder)
    {
        const std::size_t verb = line.find(" APPEND ");
        if (verb == std::string::npos)
            return false;
        const std::string rest = line.substr(verb + 8);
        return rest.rfind(folder + " ", 0) == 0 || rest.rfind("\"" + folder + "\" ", 0) == 0;
    }

    std::mutex mutex_;
    std::condition_variable released_;
    std::string folder_;
};

void seed(int port)
{
    for (const auto& [address, folders] : kMailboxes) {
        RawImap imap(port);
        ASSERT_TRUE(imap.login(address, kSourceUsers.at(address)));
        for (const auto& [folder, count] : folders) {
            const std::string mailbox = onTheWire(folder);
            if (folder != "INBOX") {
                ASSERT_TRUE(imap.create(mailbox));
            }
            for (int i = 1; i <= count; ++i) {
                const std::string message = "From: Sender <sender@demo.example>\r\nTo: <" + address
                    + ">\r\nSubject: " + mailbox + " " + std::to_string(i) + "\r\n\r\n"
                    + std::string(2000 * (i % 12 + 1), 'x') + "\r\n";
                ASSERT_TRUE(imap.append(mailbox, message, i % 2 ? "\\Seen" : "", "03-Mar-2026 09:00:00 +0100"));
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
        source = std::make_unique<Dovecot>(kSourceUsers, sourceOptions());
        seed(source->port());
        target = std::make_unique<StandInTarget>();
        relay = std::make_unique<TargetRelay>(
            *target, [this](int, const std::string& line) { return hold.admit(line); });
        wizard = std::make_unique<gui::ImapWizard>(nullptr);
        wizard->initializeEngineExecuter();
        wizard->show();
    }
    void TearDown() override
    {
        hold.release();
        wizard.reset();
    }

    static Dovecot::Options sourceOptions()
    {
        Dovecot::Options options;
        // Refused logins answer at once: no failure delay, and no penalty
        // per address, which Dovecot adds even for trusted networks.
        options.extraConfig = Dovecot::refusalsAtOnce;
        return options;
    }
    // The source's options on a loopback address of the test's own: the
    // wizard's connections come from 127.0.0.1, which Dovecot then does
    // not count as secure, and a port closed there is closed to every
    // other test's server too.
    static Dovecot::Options onOwnAddress(Dovecot::Options options)
    {
        options.host = ownLoopbackAddress("127.0.0.1", [](const std::string& host) {
            Listener free(ListenAt{host, 0});
        });
        return options;
    }

    template <class T>
    T* child(int pageId, const char* name)
    {
        return wizard->page(pageId)->findChild<T*>(name);
    }
    // A wizard of its own, at its welcome page.
    void newWizard()
    {
        wizard.reset();
        wizard = std::make_unique<gui::ImapWizard>(nullptr);
        wizard->initializeEngineExecuter();
        wizard->show();
    }
    // From the welcome page to the source page, `server` typed and SSL as
    // `ssl`; then Next.
    void enterSource(const QString& server, bool ssl)
    {
        next();
        ASSERT_TRUE(reaches(MigWizard::ServerPageId));
        type(MigWizard::ServerPageId, "hostEdit", server);
        auto* sslCheck = child<QCheckBox>(MigWizard::ServerPageId, "sslCheck");
        if (sslCheck->isChecked() != ssl)
            click(sslCheck);
        next();
    }
    // The target page filled as the administrator would, then Next to the
    // accounts page.
    void enterTarget()
    {
        ASSERT_TRUE(reaches(MigWizard::CvnPageId));
        type(MigWizard::CvnPageId, "hostEdit",
            QString("%1:%2").arg(QString::fromStdString(relay->host())).arg(relay->port()));
        type(MigWizard::CvnPageId, "userEdit", "admin");
        type(MigWizard::CvnPageId, "passwordEdit", "admin-secret");
        next();
        ASSERT_TRUE(reaches(MigWizard::OptionPageId));
    }
    // Loads the three accounts whose logins the source knows (dave's
    // password changed since) and waits until their test has ended.
    void loadThreeAccounts()
    {
        const std::string accounts = files.file("three-accounts.txt");
        writeFile(accounts,
            "anna@demo.example;anna-pw;Anna Lindqvist\n"
            "ben@demo.example;ben-pw;Ben Okafor\n"
            "dave@demo.example;dave-old-pw;Dave Kowalski\n");
        load(accounts);
        ASSERT_TRUE(waitFor(
            [&] {
                return !shown(MigWizard::OptionPageId, "abortButton")
                    && accountList()->topLevelItemCount() == 3;
            },
            60000));
    }
    QTreeWidget* accountList()
    {
        return child<QTreeWidget>(MigWizard::OptionPageId, "accountList");
    }
    // How many labels of the page show `text`.
    int labelsShowing(int pageId, const QString& text)
    {
        int count = 0;
        for (QLabel* each : wizard->page(pageId)->findChildren<QLabel*>())
            count += each->isVisible() && each->text().contains(text);
        return count;
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

    QString pageText(int pageId, const char* name) { return child<QLabel>(pageId, name)->text(); }
    // Every line of the result page's notes is a line of the report: the
    // page counts in the report's own words.
    void expectSaidAsTheReportSaysIt()
    {
        const std::string report = readFile(gui::MigThread::reportFilePath().toStdString());
        for (const char* note : {"accountsNote", "foldersNote", "messagesNote"})
            for (const QString& line : pageText(MigWizard::ResultPageId, note).split('\n')) {
                SCOPED_TRACE(note);
                EXPECT_NE(std::string::npos, report.find("\n" + line.toStdString() + "\n"))
                    << line.toStdString() << " not in\n"
                    << report;
            }
    }
    bool shown(int pageId, const char* name) { return !child<QWidget>(pageId, name)->isHidden(); }

    // Waits, while the APPENDs into anna's `folder` are held, until the
    // progress page shows the messages copied before and the folder in hand
    // by its name, with its count, none of it copied yet.
    void seeMessagesArrive(const std::string& folder)
    {
        auto* table = child<QTreeWidget>(MigWizard::ProgressPageId, "progressTable");
        auto* messagesDone = child<QLabel>(MigWizard::ProgressPageId, "messagesValue");
        QTreeWidgetItem* row = nullptr;
        ASSERT_TRUE(waitFor([&] {
            const auto found = table->findItems(QString::fromStdString(folder), Qt::MatchExactly, 1);
            row = found.isEmpty() ? nullptr : found.first();
            return row && messagesDone->text().toInt() > 0;
        }, 30000));
        EXPECT_EQ(row->text(0), "Anna Lindqvist");
        EXPECT_EQ(row->data(2, Qt::ToolTipRole).toInt(), kMailboxes.at("anna@demo.example").at(folder));
        EXPECT_EQ(row->data(2, Qt::DisplayRole).toInt(), 0);
    }

    // Pins of the administration service go here, never to the real HOME.
    ScopedHome home;
    TempDir files;
    std::unique_ptr<Dovecot> source;
    std::unique_ptr<StandInTarget> target;
    AppendHold hold;
    // The wizard reaches the target, its administration service included,
    // through here.
    std::unique_ptr<TargetRelay> relay;
    std::unique_ptr<gui::ImapWizard> wizard;
};

TEST_F(EndToEnd, SixPagesAStoppedMigrationAndTheRunThatEndsIt)
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

    // Another certificate was pinned for it: the page says so, and where
    // both fingerprints are, until the user takes the old pin away.
    for (const char* folder : {".tavir", ".tavir/admin"})
        ASSERT_EQ(0, ::mkdir(home.file(folder).c_str(), 0700));
    const std::string pinsFile = home.file(".tavir/admin/known_hosts.cfg");
    const std::string otherPin = "00:11:22:33:44:55:66:77:88:99:aa:bb:cc:dd:ee:ff:00:11:22:33";
    writeFile(pinsFile, "127.0.0.1:" + std::to_string(source->tlsPort()) + ": " + otherPin + "\n");
    const QString report = gui::MigThread::reportFilePath();
    EXPECT_EQ(warningAfterNext(MigWizard::ServerPageId),
        "Connection to IMAP Server failed. Please check the typed hostname.\nThe server showed another certificate "
        "than the one pinned for it. Both fingerprints and the known-hosts file are named in the report "
            + report
            + "; if the certificate was changed on purpose, delete the server's line from that file and press Next "
              "again.");
    EXPECT_NE(std::string::npos, readFile(report.toStdString()).find(otherPin));
    screenshot(wizard.get(), "1-source-changed-certificate");
    writeFile(pinsFile, "");
    next();
    ASSERT_TRUE(reaches(MigWizard::CvnPageId));

    const QString targetHost = QString::fromStdString(relay->host());
    const QString targetServer = QString("%1:%2").arg(targetHost).arg(relay->port());
    type(MigWizard::CvnPageId, "hostEdit", targetServer);
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

    // Half the lines can't be read: the page counts them, the report says
    // why.
    const std::string accounts = files.file("accounts.txt");
    writeFile(accounts,
        "anna@demo.example;anna-pw;Anna Lindqvist\n"
        "ben@demo.example;ben-pw;Ben Okafor\n"
        "carl@demo.example carl-pw\n"
        "dave@demo.example;dave-old-pw;Dave Kowalski\n"
        "eve.demo.example;eve-pw;Eve\n"
        "Anna@demo.example;anna-pw;Anna again\n");
    load(accounts);
    ASSERT_TRUE(waitFor([&] { return wizard->button(QWizard::NextButton)->isEnabled(); }, 20000));
    EXPECT_TRUE(shown(MigWizard::OptionPageId, "skippedNote"));
    EXPECT_EQ(pageText(MigWizard::OptionPageId, "skippedNote"),
        "3 lines of the file were skipped; the report " + report + " says why.");
    for (const char* why : {"Line 3 of the accounts file has no separator",
             "Line 5 of the accounts file does not begin with an e-mail address",
             "Line 6 of the accounts file repeats the address Anna@demo.example of line 1"})
        EXPECT_NE(std::string::npos, readFile(report.toStdString()).find(why)) << why;
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

    hold.holdAppendsTo(onTheWire(kProjects));
    next();
    ASSERT_TRUE(reaches(MigWizard::ProgressPageId));
    seeMessagesArrive(kProjects);
    screenshot(wizard.get(), "4-progress");

    // Stopped while messages arrive: the page says what was not reached,
    // and so does the result page.
    {
        MessageBoxAnswer yes(QMessageBox::Yes);
        click(wizard->button(QWizard::CustomButton1));
        ASSERT_EQ(yes.texts().size(), 1u);
    }
    hold.release();
    ASSERT_TRUE(waitFor([&] { return wizard->button(QWizard::NextButton)->isEnabled(); }, 30000));
    EXPECT_FALSE(shown(MigWizard::ProgressPageId, "nowMigratingLabel"));
    EXPECT_TRUE(pageText(MigWizard::ProgressPageId, "foldersNotCopied").contains(" not reached)"));
    EXPECT_TRUE(pageText(MigWizard::ProgressPageId, "progressRightLabel").startsWith("Total time: "));
    screenshot(wizard.get(), "4-progress-stopped");
    next();
    ASSERT_TRUE(reaches(MigWizard::ResultPageId));
    EXPECT_EQ(pageText(MigWizard::ResultPageId, "warningLabel"), "The migration has been aborted.");
    // Anna was stopped half-way: said beside the errors on both pages and
    // in the report, whose lines the result page shows as they are.
    const QString stopped = pageText(MigWizard::ProgressPageId, "accountsNotCopied");
    EXPECT_TRUE(QRegularExpression(R"(^\([12] stopped half-way\)$)").match(stopped).hasMatch())
        << stopped.toStdString();
    EXPECT_TRUE(
        pageText(MigWizard::ResultPageId, "accountsNote").contains(" failed " + stopped + ", "));
    EXPECT_TRUE(pageText(MigWizard::ResultPageId, "foldersNote").startsWith("Folders: "));
    EXPECT_TRUE(pageText(MigWizard::ResultPageId, "foldersNote").endsWith(" not reached."));
    expectSaidAsTheReportSaysIt();
    screenshot(wizard.get(), "5-result-stopped");
    click(wizard->button(QWizard::FinishButton));
    EXPECT_TRUE(waitFor([&] { return !wizard->isVisible(); }));

    // The wizard again, set up as the pages left it, entered at the
    // progress page, which starts the run.
    writeFile(accounts, "anna@demo.example;anna-pw;Anna Lindqvist\nben@demo.example;ben-pw;Ben Okafor\n");
    const auto startAgain = [&](const QString& adminPassword) {
        wizard.reset();
        wizard = std::make_unique<gui::ImapWizard>(nullptr);
        wizard->initializeEngineExecuter();
        gui::MigExecuter* engine = gui::MigThread::executer();
        engine->setServer(QString("127.0.0.1:%1").arg(source->tlsPort()), true);
        engine->setCvn(targetServer, "admin", adminPassword, false);
        engine->usersFile = QString::fromStdString(accounts);
        ASSERT_TRUE(engine->initConfiguration() && engine->loadUsers());
        wizard->setStartId(MigWizard::ProgressPageId);
        wizard->show();
    };

    // The administrator's password changed since the target page tested
    // it: the target refuses the start, and the result page says why under
    // its warning, and where the report is.
    startAgain("changed-since");
    ASSERT_TRUE(reaches(MigWizard::ResultPageId));
    EXPECT_EQ(pageText(MigWizard::ResultPageId, "warningLabel"), "The migration failed to start.");
    EXPECT_EQ(pageText(MigWizard::ResultPageId, "startFailureLabel"),
        "Could not log in to the administration service on " + targetHost
            + ":44337: the server refused the login of admin.\n\nThe target server was not changed; "
              "the migration did not start.\n\nThe report "
            + gui::MigThread::reportFilePath() + " says the same.");
    screenshot(wizard.get(), "5-result-not-started");
    click(wizard->button(QWizard::FinishButton));
    EXPECT_TRUE(waitFor([&] { return !wizard->isVisible(); }));

    // The run after it, started as the stopped one was: what the stopped
    // run copied is found on the target and not copied again.
    hold.holdAppendsTo(onTheWire(kReceipts));
    startAgain("admin-secret");
    seeMessagesArrive(kReceipts);
    screenshot(wizard.get(), "4-progress-second-run");
    hold.release();
    ASSERT_TRUE(waitFor([&] { return wizard->currentId() == MigWizard::ResultPageId; }, 120000));
    screenshot(wizard.get(), "5-result-second-run");

    // What arrived: the seeded folders with all their messages, each once
    // (a new account on the target also starts with folders of its own,
    // empty).
    int folders = 0;
    int messages = 0;
    for (const auto& [address, seeded] : kMailboxes) {
        const auto arrived = target->folders(address);
        SCOPED_TRACE(address);
        for (const auto& [folder, count] : seeded) {
            std::string name = onTheWire(folder); // the target's separator is "/"
            std::replace(name.begin(), name.end(), '.', '/');
            ASSERT_EQ(arrived.count(name), 1u) << name;
            EXPECT_EQ(arrived.at(name).messages.size(), static_cast<size_t>(count)) << name;
            ++folders;
        }
        for (const auto& [name, folder] : arrived)
            messages += static_cast<int>(folder.messages.size());
    }
    EXPECT_TRUE(target->folders("dave@demo.example").empty()) << "dave was not checked";
    auto text = [&](const char* name) { return pageText(MigWizard::ResultPageId, name).toStdString(); };
    EXPECT_EQ(text("accountsText"), "2 account(s) have been migrated.");
    EXPECT_EQ(text("foldersText"), std::to_string(folders) + " folder(s) have been migrated.");
    // Copied now and found there: every message once.
    const std::string copied = text("messagesText");
    const std::string counts = text("messagesNote");
    EXPECT_TRUE(shown(MigWizard::ResultPageId, "messagesNote"));
    std::smatch found;
    ASSERT_TRUE(std::regex_search(counts, found,
        std::regex("^Messages: " + std::to_string(std::stoi(copied))
            + R"( copied, 0 failed, 0 not reached, (\d+) on the target already, 0 removed from the source\.$)")))
        << counts;
    EXPECT_EQ(messages, std::stoi(copied) + std::stoi(found[1].str())) << copied << " " << counts;
    EXPECT_NE(std::string::npos, copied.find(" message(s) have been migrated."));
    expectSaidAsTheReportSaysIt();
    for (const char* name : {"accountsErrorIcon", "foldersErrorIcon", "messagesErrorIcon", "warningIcon"})
        EXPECT_TRUE(child<QLabel>(MigWizard::ResultPageId, name)->isHidden()) << name;

    click(wizard->button(QWizard::FinishButton));
    EXPECT_TRUE(waitFor([&] { return !wizard->isVisible(); }));
}

// The source went away after the source page passed it: the accounts test
// meets no server. The page says the engine's sentence once, above the
// list, as the report says it, and leaves every account not tested (no
// refused login), unchecked and greyed out; nothing can be migrated.
TEST_F(EndToEnd, ASourceGoneBeforeTheAccountsTestLeavesEveryAccountNotTested)
{
    const struct Row {
        const char* name;
        bool ssl;
        const char* failed; // the engine's words, before the server
        const char* picture;
    } rows[] = {
        {"plain IMAP", false, "Could not connect to the source server ", "3-accounts-source-gone"},
        {"IMAP over TLS", true, "Could not connect with TLS to the source server ", nullptr},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        auto gone = std::make_unique<Dovecot>(kSourceUsers, onOwnAddress(sourceOptions()));
        const QString server = QString("%1:%2")
                                   .arg(QString::fromStdString(gone->host()))
                                   .arg(r.ssl ? gone->tlsPort() : gone->port());
        newWizard();
        enterSource(server, r.ssl);
        enterTarget();
        gone.reset();
        loadThreeAccounts();

        const QString report
            = QString::fromStdString(readFile(gui::MigThread::reportFilePath().toStdString()));
        auto* note = child<QLabel>(MigWizard::OptionPageId, "sourceNote");
        ASSERT_TRUE(shown(MigWizard::OptionPageId, "sourceNote"));
        EXPECT_TRUE(shown(MigWizard::OptionPageId, "sourceIcon"));
        const QString sentence = note->text().section('\n', 0, 0);
        EXPECT_TRUE(sentence.startsWith(r.failed + server + ": ")) << sentence.toStdString();
        EXPECT_TRUE(report.contains(sentence + "\n"))
            << "the engine's own words, as the report has them";
        EXPECT_EQ(note->text().section('\n', 1),
            "3 accounts were not tested and can't be migrated. Load... tests again once the source "
            "server "
            "can be tested; its name, port and SSL are changed by starting the wizard again.");
        EXPECT_EQ(labelsShowing(MigWizard::OptionPageId, sentence), 1) << "said once";
        EXPECT_LT(note->y(), accountList()->y()) << "above the list";
        EXPECT_TRUE(child<QLabel>(MigWizard::OptionPageId, "warningLabel")->isHidden());
        for (int row = 0; row < accountList()->topLevelItemCount(); ++row) {
            QTreeWidgetItem* item = accountList()->topLevelItem(row);
            SCOPED_TRACE(item->text(1).toStdString());
            EXPECT_FALSE(item->flags().testFlag(Qt::ItemIsEnabled));
            EXPECT_EQ(item->checkState(0), Qt::Unchecked);
            EXPECT_TRUE(showsImage(item, ":/images/nottested.png"));
            EXPECT_FALSE(showsImage(item, ":/images/fail.png")) << "no refused login";
            EXPECT_EQ(item->toolTip(1), sentence);
        }
        EXPECT_EQ(wizard->button(QWizard::NextButton)->text(), "Migrate");
        EXPECT_FALSE(wizard->button(QWizard::NextButton)->isEnabled()) << "nothing to migrate";
        if (r.picture)
            screenshot(wizard.get(), r.picture);
    }
}

// A Dovecot as shipped, that takes passwords in the clear only on a secure
// connection, met over plain IMAP from another address: no password crosses
// in the clear. With CRAM-MD5 offered the accounts are tested with it; with
// no such method the source page stops the wizard and says why.
TEST_F(EndToEnd, ASourceThatTakesNoPasswordInTheClearIsSentNone)
{
    const struct Row {
        const char* name;
        bool tested; // CRAM-MD5 offered: the accounts are tested with it
    } rows[] = {
        {"CRAM-MD5 offered", true},
        {"no CRAM-MD5", false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        Dovecot::Options options = Dovecot::plaintextOnlyOverTls(r.tested);
        options.extraConfig = Dovecot::refusalsAtOnce;
        const Dovecot shipped(kSourceUsers, options);
        std::mutex linesLock;
        std::vector<std::string> lines;
        // From 127.0.0.1, which is not the address Dovecot listens on.
        const CommandRelay wire(
            ListenAt{}, shipped.host(), shipped.port(), [&](int, const std::string& line) {
                std::lock_guard<std::mutex> kept(linesLock);
                lines.push_back(line);
                return true;
            });
        const QString server = QString("127.0.0.1:%1").arg(wire.port());
        newWizard();
        enterSource(server, false);
        if (r.tested) {
            enterTarget();
            loadThreeAccounts();
            EXPECT_FALSE(shown(MigWizard::OptionPageId, "sourceNote"));
            for (int row = 0; row < accountList()->topLevelItemCount(); ++row) {
                QTreeWidgetItem* item = accountList()->topLevelItem(row);
                SCOPED_TRACE(item->text(1).toStdString());
                const bool refused = item->text(1) == "dave@demo.example";
                EXPECT_TRUE(showsImage(item, refused ? ":/images/fail.png" : ":/images/ok.png"));
                EXPECT_EQ(item->checkState(0), refused ? Qt::Unchecked : Qt::Checked);
            }
            EXPECT_TRUE(wizard->button(QWizard::NextButton)->isEnabled());
        } else {
            auto* warning = child<QLabel>(MigWizard::ServerPageId, "warningLabel");
            ASSERT_TRUE(waitFor([&] { return !warning->isHidden(); }, 15000));
            EXPECT_EQ(wizard->currentId(), MigWizard::ServerPageId);
            const std::string untestable = "The source server " + server.toStdString()
                + " accepts no password on a connection without TLS: turn SSL on for the source, "
                  "usually port 993.";
            EXPECT_EQ(warning->text(),
                "Connection to IMAP Server failed. Please check the typed hostname.\nThe server "
                "accepts no password on a connection without TLS: turn SSL on for the source, "
                "usually port 993.");
            EXPECT_NE(std::string::npos,
                readFile(gui::MigThread::reportFilePath().toStdString()).find(untestable));
            screenshot(wizard.get(), "1-source-no-password-in-the-clear");
        }
        std::lock_guard<std::mutex> kept(linesLock);
        for (const std::string& line : lines) {
            EXPECT_EQ(std::string::npos, line.find(" LOGIN ")) << line;
            EXPECT_EQ(std::string::npos, line.find(" AUTHENTICATE PLAIN")) << line;
        }
        EXPECT_EQ(std::string::npos, shipped.log().find("Plaintext authentication"));
    }
}

} // namespace
} // namespace tavir::test
