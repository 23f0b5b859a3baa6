// The welcome, source-server and target pages, and the window's close
// rules while nothing runs or a server test runs.
#include "WizardFixture.h"

#include "Common/Gui/MigExecuter.h"

namespace tavir::test {
namespace {

using gui::MigWizard;

const QString quitQuestion = "Do you really want to quit this application before the migration is finished?";
const QString reportFailure = "It is impossible to create a report file. You probably don't have sufficient rights "
                              "to create it. The application will be closed.";

class ServerPages : public WizardFixture {
protected:
    QLineEdit* sourceHost() { return child<QLineEdit>(MigWizard::ServerPageId, "hostEdit"); }
    QCheckBox* sourceSsl() { return child<QCheckBox>(MigWizard::ServerPageId, "sslCheck"); }
    QLineEdit* cvn(const char* name) { return child<QLineEdit>(MigWizard::CvnPageId, name); }
    int calls(const std::string& name)
    {
        const auto all = engine.log.calls();
        return static_cast<int>(std::count(all.begin(), all.end(), name));
    }
};

TEST_F(ServerPages, WelcomeGoesOnWhenTheEngineStarted)
{
    EXPECT_EQ(page(MigWizard::IntroPageId)->title(), "Welcome to Tavir Zorp");
    EXPECT_EQ(w().windowTitle(), "Tavir Zorp");
    toServerPage();
    EXPECT_EQ(page(MigWizard::ServerPageId)->title(), "Connect to source IMAP server");
}

class EngineStartFailure : public ::testing::TestWithParam<std::pair<bool, bool>> {};

TEST_P(EngineStartFailure, WelcomeTellsAndClosesTheWindow)
{
    guiApplication();
    ScriptedEngine engine;
    engine.initResult = GetParam().first;
    engine.createResult = GetParam().second;
    gui::ImapWizard wizard(nullptr, engine.entries());
    wizard.initializeEngineExecuter();
    wizard.show();
    MessageBoxAnswer ok(QMessageBox::Ok);
    click(wizard.button(QWizard::NextButton));
    ASSERT_TRUE(waitFor([&] { return !wizard.isVisible(); }));
    ASSERT_EQ(ok.texts(), std::vector<QString>{reportFailure}) << "and no quit question";
    EXPECT_EQ(ok.boxes()[0].title, "Tavir Zorp");
    EXPECT_EQ(ok.boxes()[0].icon, QMessageBox::Warning);
    EXPECT_EQ(wizard.currentId(), MigWizard::IntroPageId);
    EXPECT_TRUE(wizard.page(MigWizard::IntroPageId)->findChild<QLabel*>("warningLabel")->isHidden());
}

INSTANTIATE_TEST_SUITE_P(LogsOrEngine, EngineStartFailure,
    ::testing::Values(std::make_pair(false, true), std::make_pair(true, false)));

TEST_F(ServerPages, SourceHostMustBeTyped)
{
    toServerPage();
    EXPECT_FALSE(nextEnabled());
    type(sourceHost(), "  ");
    EXPECT_TRUE(nextEnabled()) << "blanks count as typed";
    sourceHost()->clear();
    EXPECT_FALSE(nextEnabled());
}

TEST_F(ServerPages, SourceTestCodesAndTheirWarnings)
{
    const QString failed = "Connection to IMAP Server failed. Please check the typed hostname.";
    const QString report = gui::MigThread::reportFilePath();
    const QString changed = "The server showed another certificate than the one pinned for it. Both fingerprints "
                            "and the known-hosts file are named in the report "
        + report
        + "; if the certificate was changed on purpose, delete the server's line from that file and press Next "
          "again.";
    const QString noPasswordInTheClear = "The server accepts no password on a connection without "
                                         "TLS: turn SSL on for the source, usually port 993.";
    const QString noPasswordOverTls
        = "The server takes no password this tool can send: it refuses LOGIN "
          "(LOGINDISABLED) and offers no AUTHENTICATE CRAM-MD5.";
    // SSL is turned on for the first case, off for the next, and so on.
    using migration::SourceTestFailure;
    struct Case {
        int code;
        const char* throwOn;
        SourceTestFailure failure; // what the engine answers when asked
        QString warning;
    } cases[] = {
        {1, "", SourceTestFailure::Other, failed},
        {1, "", SourceTestFailure::CertificateChanged, failed + "\n" + changed},
        {4, "", SourceTestFailure::CertificateChanged, "Migration from Corvane is not supported."},
        {2, "", SourceTestFailure::Other, failed},
        {0, "testImap", SourceTestFailure::Other, failed},
        {1, "sourceTestFailure", SourceTestFailure::CertificateChanged, failed},
        {1, "", SourceTestFailure::TakesNoPassword, failed + "\n" + noPasswordOverTls},
        {1, "", SourceTestFailure::TakesNoPassword, failed + "\n" + noPasswordInTheClear},
        {1, "sourceTestFailure", SourceTestFailure::TakesNoPassword, failed},
        {4, "", SourceTestFailure::TakesNoPassword, "Migration from Corvane is not supported."},
    };
    toServerPage();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        SCOPED_TRACE(c.warning.toStdString());
        engine.testImapCode = c.code;
        engine.throwOn = c.throwOn;
        engine.sourceFailure = c.failure;
        type(sourceHost(), "imap.example:993");
        click(sourceSsl());
        WarningsKept log;
        clickNext();
        ASSERT_TRUE(waitFor([&] { return !warning(MigWizard::ServerPageId).isEmpty(); }));
        EXPECT_EQ(warning(MigWizard::ServerPageId), c.warning);
        // The engine's own sentence is in the report, and the program's log
        // says where; what to do about a changed certificate only when that
        // was the failure.
        EXPECT_EQ(log.texts().filter("why is in the report " + report + ".").size(), 1)
            << log.texts().join('\n').toStdString();
        EXPECT_EQ(log.texts().filter(changed).size(), c.warning.contains(changed) ? 1 : 0)
            << log.texts().join('\n').toStdString();
        EXPECT_EQ(w().currentId(), MigWizard::ServerPageId);
        EXPECT_TRUE(sourceHost()->isEnabled());
        EXPECT_TRUE(sourceSsl()->isEnabled());
        EXPECT_EQ(QApplication::focusWidget(), sourceHost()) << "what is typed next goes into the host";
        EXPECT_EQ(engine.testedServer, L"imap.example:993");
        EXPECT_EQ(engine.testedSsl, sourceSsl()->isChecked());
        // Typing hides the warning again.
        QTest::keyClick(sourceHost(), Qt::Key_Backspace);
        EXPECT_EQ(warning(MigWizard::ServerPageId), "");
    }
    engine.testImapCode = 0;
    engine.throwOn.clear();
    engine.log.clear();
    clickNext();
    EXPECT_TRUE(reaches(MigWizard::CvnPageId));
    EXPECT_EQ(calls("sourceTestFailure"), 0) << "asked only after a failure";
}

TEST_F(ServerPages, SourceHostShowsThatAPortMayFollowIt)
{
    toServerPage();
    auto* hint = child<QLabel>(MigWizard::ServerPageId, "portHint");
    EXPECT_TRUE(hint->isVisible());
    EXPECT_EQ(hint->text(), "Port 143, or 993 with SSL; another port follows the host after a colon "
                            "(imap.example.com:1143).");
}

TEST_F(ServerPages, WhileTheSourceTestRunsTheInputsAndTheWindowWait)
{
    toServerPage();
    type(sourceHost(), "imap.example");
    engine.testGate.close();
    clickNext();
    ASSERT_TRUE(waitFor([&] { return !sourceHost()->isEnabled(); }));
    EXPECT_FALSE(sourceSsl()->isEnabled());
    EXPECT_FALSE(nextEnabled());
    EXPECT_FALSE(w().button(QWizard::BackButton)->isEnabled() && w().button(QWizard::BackButton)->isVisible());
    EXPECT_EQ(child<QLabel>(MigWizard::ServerPageId, "progressLabel")->text(), "Connecting to IMAP Server...");
    EXPECT_FALSE(child<QLabel>(MigWizard::ServerPageId, "progressLabel")->isHidden());
    {
        MessageBoxAnswer any(QMessageBox::Yes);
        w().close();
        settle(30);
        EXPECT_TRUE(any.texts().empty()) << "refused without a question";
        EXPECT_TRUE(w().isVisible());
    }
    clickNext();
    engine.testGate.open();
    ASSERT_TRUE(reaches(MigWizard::CvnPageId));
    EXPECT_EQ(calls("testImap"), 1) << "one test for two presses";
    EXPECT_TRUE(w().button(QWizard::BackButton)->isEnabled());
}

TEST_F(ServerPages, TargetTestCodesAndTheirWarnings)
{
    struct Case {
        int code;
        const char* throwOn;
        const char* warning;
        const char* focus; // the edit to mend, with the focus
    } cases[] = {
        {1, "", "Connection to Corvane failed. Please check the typed hostname and try to connect again.", "hostEdit"},
        {2, "",
            "Authentication to Corvane failed. Please check the typed username and password and try to connect "
            "again.",
            "passwordEdit"},
        {3, "",
            "This administrator has not sufficient rights to perform the migration. Please insert a user with "
            "full administration rights.",
            "userEdit"},
        {4, "",
            "Incompatible version of Corvane has been detected. This version of Tavir Zorp can migrate only to "
            "Corvane 7.0.0 and later.",
            "hostEdit"},
        {0, "testCvn", "Connection to Corvane failed. Please check the typed hostname and try to connect again.",
            "hostEdit"},
    };
    toCvnPage();
    EXPECT_EQ(page(MigWizard::CvnPageId)->title(), "Connect To Corvane");
    EXPECT_EQ(cvn("passwordEdit")->echoMode(), QLineEdit::Password);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        engine.testCvnCode = c.code;
        engine.throwOn = c.throwOn;
        type(cvn("hostEdit"), "cvn.example");
        type(cvn("userEdit"), "admin");
        type(cvn("passwordEdit"), "secret");
        clickNext();
        ASSERT_TRUE(waitFor([&] { return !warning(MigWizard::CvnPageId).isEmpty(); }));
        EXPECT_EQ(warning(MigWizard::CvnPageId), c.warning);
        EXPECT_EQ(w().currentId(), MigWizard::CvnPageId);
        for (const char* name : {"hostEdit", "userEdit", "passwordEdit"})
            EXPECT_TRUE(cvn(name)->isEnabled()) << name;
        EXPECT_EQ(QApplication::focusWidget(), cvn(c.focus));
        // A password that can't be seen is typed anew over the old one.
        EXPECT_EQ(cvn("passwordEdit")->hasSelectedText(), std::string(c.focus) == "passwordEdit");
    }
}

TEST_F(ServerPages, TargetNeedsHostAndUserButNoPassword)
{
    toCvnPage();
    EXPECT_FALSE(nextEnabled());
    type(cvn("hostEdit"), "cvn.example");
    EXPECT_FALSE(nextEnabled());
    type(cvn("userEdit"), "admin");
    EXPECT_TRUE(nextEnabled());
    clickNext();
    ASSERT_TRUE(reaches(MigWizard::OptionPageId));
    EXPECT_EQ(engine.testedPassword, L"");
    EXPECT_FALSE(w().button(QWizard::BackButton)->isEnabled() && w().button(QWizard::BackButton)->isVisible())
        << "no way back to the target page";
}

TEST_F(ServerPages, TargetSslChosenAtTheStartOfTheTestIsTheOneKept)
{
    toCvnPage();
    type(cvn("hostEdit"), "cvn.example");
    type(cvn("userEdit"), "admin");
    auto* ssl = child<QCheckBox>(MigWizard::CvnPageId, "sslCheck");
    click(ssl);
    engine.testGate.close();
    clickNext();
    ASSERT_TRUE(waitFor([&] { return !cvn("hostEdit")->isEnabled(); }));
    EXPECT_FALSE(cvn("passwordEdit")->isEnabled());
    EXPECT_TRUE(ssl->isEnabled());
    click(ssl);
    engine.testGate.open();
    ASSERT_TRUE(reaches(MigWizard::OptionPageId));
    EXPECT_TRUE(gui::MigThread::executer()->configuration.targetSsl);
    EXPECT_FALSE(ssl->isChecked());
}

TEST_F(ServerPages, ClosingAnIdlePageAsks)
{
    const std::function<void()> steps[] = {[] {}, [this] { toServerPage(); }, [this] { toCvnPage(); },
        [this] { toOptionPage(); }};
    for (int id = 0; id < 4; ++id) {
        SCOPED_TRACE(id);
        if (id > 0) {
            TearDown();
            engine.log.clear();
            SetUp();
            steps[id]();
        }
        {
            MessageBoxAnswer no(QMessageBox::No);
            w().close();
            EXPECT_EQ(no.texts(), std::vector<QString>{quitQuestion});
            EXPECT_TRUE(w().isVisible());
            EXPECT_EQ(no.boxes().at(0).title, "Tavir Zorp");
            EXPECT_EQ(no.boxes().at(0).defaultButton, QMessageBox::No);
        }
        MessageBoxAnswer yes(QMessageBox::Yes);
        w().close();
        EXPECT_EQ(yes.texts(), std::vector<QString>{quitQuestion});
        EXPECT_FALSE(w().isVisible());
    }
}

} // namespace
} // namespace tavir::test
