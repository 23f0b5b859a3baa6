// The wizard on SIGTERM, SIGINT and SIGHUP, with the real engine, a real
// Dovecot and the stand-in target: a migration in progress is stopped, the
// target put back, the report and the status record written, and the
// event loop ends with 128 plus the signal's number (what the program
// returns); with no run in progress it ends at once. A second signal ends
// the process there and then.
#include "Common/Gui/MigProgressPage.h"
#include "Common/Gui/MigThread.h"
#include "Common/Gui/WizardTermination.h"
#include "Imap/engine/MigrationHarness.h"
#include "Imap/gui/ImapWizard.h"
#include "support/GuiTest.h"
#include "tiny/TerminationNote.h"

#include <QApplication>
#include <QTimer>

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

namespace tavir::test {
namespace {

using gui::MigWizard;

class WizardSignals : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!Dovecot::available())
            GTEST_SKIP() << Dovecot::unavailable();
        guiApplication();
        source = std::make_unique<Dovecot>(
            std::map<std::string, std::string>{{"alice", "Pw-alice"}}, sourceOptions());
        RawImap imap(source->port());
        ASSERT_TRUE(imap.login("alice", "Pw-alice"));
        for (int i = 1; i <= 3; ++i)
            ASSERT_TRUE(imap.append("INBOX", "Subject: " + std::to_string(i) + "\r\n\r\nbody\r\n"));
        writeFile(files.file("accounts.txt"), "alice@signals.test;Pw-alice\n");
    }

    TempDir files;
    std::unique_ptr<Dovecot> source;
};

TEST_F(WizardSignals, AMigrationInProgressIsStoppedAndPutBackBeforeTheProgramEnds)
{
    struct Case {
        int signal;
        bool midRun;
    } cases[] = {{SIGTERM, true}, {SIGINT, true}, {SIGHUP, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(strsignal(c.signal));
        // Its own pin and journal: another row's stand-in may have had the
        // same address with another certificate.
        ScopedHome home;
        StandInTarget::Options options;
        options.workerThreads = 1;
        // The run is in its copy, with a message waiting for its answer,
        // when the signal comes.
        options.faults = R"([{"on": "APPEND", "count": 1, "action": "pause", "seconds": 2}])";
        StandInTarget target(options);
        const std::string original = targetSettings(target);

        auto wizard = std::make_unique<gui::ImapWizard>(nullptr);
        wizard->initializeEngineExecuter();
        gui::WizardTermination termination(*wizard);
        gui::MigExecuter* engine = gui::MigThread::executer();
        if (c.midRun) {
            engine->setServer(QString("127.0.0.1:%1").arg(source->port()), false);
            engine->setCvn(
                QString("%1:%2").arg(QString::fromStdString(target.host())).arg(target.port()),
                "admin", "admin-secret", false);
            engine->usersFile = QString::fromStdString(files.file("accounts.txt"));
            ASSERT_TRUE(engine->initConfiguration() && engine->loadUsers());
            wizard->setStartId(MigWizard::ProgressPageId);
        }
        const std::string report
            = QString::fromStdWString(engine->configuration.reportFile).toStdString();
        const std::size_t reportBefore = readFile(report).size();
        wizard->show();

        QTimer signaller;
        QObject::connect(&signaller, &QTimer::timeout, [&] {
            if (c.midRun && target.transcript().find(" APPEND ") == std::string::npos)
                return;
            signaller.stop();
            kill(getpid(), c.signal);
        });
        signaller.start(20);
        QTimer::singleShot(60000, [] { QCoreApplication::exit(-1); });
        EXPECT_EQ(128 + c.signal, QApplication::exec());

        if (c.midRun) {
            const std::string added = readFile(report).substr(reportBefore);
            EXPECT_NE(std::string::npos,
                added.find("Migration stopped by signal " + tiny::terminationSignalName(c.signal)
                    + " on "))
                << added;
            EXPECT_EQ(original, targetSettings(target));
            EXPECT_EQ(1u, target.query("SELECT Record FROM MigrationTools").size());
        }
        wizard.reset();
        if (HasFailure())
            return;
    }
}

TEST(WizardSignalsDeath, ASecondSignalEndsTheProcessAtOnce)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The child dies without its destructors: what it makes in TMPDIR is
    // made here, and goes with this folder.
    TempDir childTemporaries;
    ScopedEnv childTmpdir("TMPDIR", childTemporaries.path());
    EXPECT_EXIT(
        {
            guiApplication();
            gui::TerminationSignals handlers([](int) {});
            raise(SIGTERM); // handed to the event loop, which never runs
            raise(SIGTERM);
            std::exit(0);
        },
        ::testing::KilledBySignal(SIGTERM), "");
}

} // namespace
} // namespace tavir::test
