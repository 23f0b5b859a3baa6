// The executer and the page thread over the scripted engine: log names,
// what each action hands to the engine and hands back, and engine calls
// that throw.
#include "Common/Gui/MigExecuterImpl.h"
#include "Common/Gui/MigThread.h"
#include "support/GuiTest.h"
#include "support/ScriptedEngine.h"
#include "support/TestSupport.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QDir>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>

namespace tavir::test {
namespace {

using gui::MigExecuterImpl;
using gui::MigThread;

// The one executer of the process, made as the wizard makes it.
class ThreadTest : public ::testing::Test {
protected:
    void SetUp() override { guiApplication(); }
    void TearDown() override { MigThread::clearExecuter(); }

    gui::MigExecuter& makeExecuter()
    {
        auto* executer = new MigExecuterImpl<migration::IMigrator>(engine.entries());
        engine.entries().createMigrator(&executer->engine);
        MigThread::setExecuter(executer);
        return *executer;
    }

    std::uint64_t run(const std::function<void(MigThread&)>& start)
    {
        start(thread);
        thread.wait();
        return thread.getResult();
    }

    ScriptedEngine engine;
    MigThread thread;
};

TEST_F(ThreadTest, LogFolderIsNamedAfterTheStartUnderTheStateFolder)
{
    TempDir state;
    qputenv("XDG_STATE_HOME", QByteArray::fromStdString(state.path()));
    const QString before = QDateTime::currentDateTime().toString("MMddyyyy_hhmmss");
    gui::MigExecuter& executer = makeExecuter();
    const QString after = QDateTime::currentDateTime().toString("MMddyyyy_hhmmss");

    const QString folder = QString::fromStdWString(executer.configuration.logDirectory);
    const QString prefix = QString::fromStdString(state.path()) + "/ZorpLogs/";
    ASSERT_TRUE(folder.startsWith(prefix)) << folder.toStdString();
    const QString stamp = folder.mid(prefix.size());
    EXPECT_TRUE(stamp == before || stamp == after) << stamp.toStdString();
    EXPECT_TRUE(QFileInfo(folder).isDir());
    EXPECT_EQ(executer.configuration.reportFile, (folder + "/report.txt").toStdWString());
    EXPECT_EQ(executer.configuration.debugFile, (folder + "/debug.log").toStdWString());
    EXPECT_EQ(engine.initReport, executer.configuration.reportFile);
    EXPECT_EQ(engine.initDebug, executer.configuration.debugFile);
}

TEST_F(ThreadTest, StateFolderFallsBackToTheHomeFolder)
{
    TempDir home;
    const QByteArray savedHome = qgetenv("HOME");
    qputenv("HOME", QByteArray::fromStdString(home.path()));
    for (const char* state : {"", "relative/state"}) {
        SCOPED_TRACE(state);
        qputenv("XDG_STATE_HOME", state);
        gui::MigExecuterImpl<migration::IMigrator> executer(engine.entries());
        EXPECT_TRUE(QString::fromStdWString(executer.configuration.logDirectory)
                        .startsWith(QString::fromStdString(home.path()) + "/.local/state/ZorpLogs/"));
    }
    qputenv("HOME", savedHome);
}

TEST_F(ThreadTest, TwoStartsInOneSecondShareTheFolder)
{
    TempDir state;
    qputenv("XDG_STATE_HOME", QByteArray::fromStdString(state.path()));
    for (int attempt = 0; attempt < 3; ++attempt) {
        gui::MigExecuterImpl<migration::IMigrator> first(engine.entries());
        gui::MigExecuterImpl<migration::IMigrator> second(engine.entries());
        if (first.configuration.logDirectory != second.configuration.logDirectory)
            continue; // the second fell into the next second
        EXPECT_FALSE(second.configuration.reportFile.empty());
        EXPECT_EQ(QDir(QString::fromStdString(state.path()) + "/ZorpLogs").entryList(QDir::Dirs | QDir::NoDotAndDotDot)
                      .size(),
            1);
        return;
    }
    FAIL() << "three pairs of starts straddled a second";
}

TEST_F(ThreadTest, FolderThatCannotBeMadeLeavesTheNamesEmpty)
{
    TempDir state;
    writeFile(state.file("file"), "not a folder");
    qputenv("XDG_STATE_HOME", QByteArray::fromStdString(state.file("file")));
    gui::MigExecuter& executer = makeExecuter();
    EXPECT_TRUE(executer.configuration.logDirectory.empty());
    EXPECT_TRUE(executer.configuration.reportFile.empty());
    EXPECT_TRUE(engine.initReport.empty());
}

TEST_F(ThreadTest, InitializeReportsWhetherTheEngineStarted)
{
    struct Case {
        const char* name;
        bool init;
        bool create;
        std::uint64_t result;
    } cases[] = {
        {"logs and engine", true, true, 1},
        {"logs or library failed", false, true, 0},
        {"no engine object", true, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        engine.initResult = c.init;
        engine.createResult = c.create;
        makeExecuter();
        EXPECT_EQ(run([](MigThread& t) { t.initialize(); }), c.result);
        MigThread::clearExecuter();
    }
}

TEST_F(ThreadTest, ServerTestsHandOverWhatWasTypedAndReturnTheCode)
{
    makeExecuter();
    for (int code : {0, 1, 4}) {
        SCOPED_TRACE(code);
        engine.testImapCode = code;
        EXPECT_EQ(run([](MigThread& t) { t.testServer("imap.example:993", true); }), std::uint64_t(code));
        EXPECT_EQ(engine.testedServer, L"imap.example:993");
        EXPECT_TRUE(engine.testedSsl);
    }
    // What the engine found beyond the code is the engine's answer.
    for (const auto failure : {migration::SourceTestFailure::CertificateChanged,
             migration::SourceTestFailure::TakesNoPassword, migration::SourceTestFailure::Other}) {
        engine.sourceFailure = failure;
        EXPECT_EQ(thread.sourceTestFailure(), failure);
    }
    for (int code : {0, 1, 2, 3, 4}) {
        SCOPED_TRACE(code);
        engine.testCvnCode = code;
        EXPECT_EQ(run([](MigThread& t) { t.testCvn("cvn.example", "admin", "", true); }), std::uint64_t(code));
        EXPECT_EQ(engine.testedServer, L"cvn.example");
        EXPECT_EQ(engine.testedUser, L"admin");
        EXPECT_EQ(engine.testedPassword, L"");
    }
    // The target's SSL choice travels with the configuration only.
    EXPECT_TRUE(MigThread::executer()->configuration.targetSsl);
}

TEST_F(ThreadTest, AnEngineExceptionIsAFailureOfThatAction)
{
    makeExecuter();
    struct Case {
        const char* call;
        std::function<void(MigThread&)> start;
        std::uint64_t result;
    } cases[] = {
        {"testImap", [](MigThread& t) { t.testServer("h", false); }, 1},
        {"testCvn", [](MigThread& t) { t.testCvn("h", "u", "p", false); }, 1},
        {"init", [](MigThread& t) { t.initConfiguration(); }, 0},
        {"loadUsers", [](MigThread& t) { t.loadUsers("/tmp/accounts.csv"); }, 0},
        {"getUsers", [](MigThread& t) { t.getUsers(); }, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.call);
        engine.throwOn = c.call;
        engine.migrator->throwOn = c.call;
        EXPECT_EQ(run(c.start), c.result);
    }
    engine.migrator->throwOn = "start";
    EXPECT_FALSE(thread.startMigration(nullptr));
    engine.migrator->throwOn = "stop";
    EXPECT_FALSE(thread.stopMigration());
    engine.migrator->throwOn = "getStatus";
    migration::MigrationStatus status;
    EXPECT_TRUE(thread.getStatus(status));
    // The two questions after an action: no answer is no news.
    engine.migrator->skippedLines = 3;
    engine.migrator->throwOn = "skippedAccountLines";
    EXPECT_EQ(thread.skippedAccountLines(), 0u);
    engine.throwOn = "sourceTestFailure";
    for (const auto failure : {migration::SourceTestFailure::CertificateChanged,
             migration::SourceTestFailure::TakesNoPassword}) {
        engine.sourceFailure = failure;
        EXPECT_EQ(thread.sourceTestFailure(), migration::SourceTestFailure::Other);
    }
}

TEST_F(ThreadTest, ActionResultsAsTheEngineGivesThem)
{
    makeExecuter();
    engine.migrator->accounts = {account(0, L"a", L"example.com", L"A")};
    EXPECT_EQ(run([](MigThread& t) { t.initConfiguration(); }), 1u);
    engine.migrator->skippedLines = 2;
    EXPECT_EQ(run([](MigThread& t) { t.loadUsers("/data/accounts.csv"); }), 1u);
    EXPECT_TRUE(engine.log.contains("loadUsers /data/accounts.csv"));
    EXPECT_EQ(thread.skippedAccountLines(), 2u);
    engine.migrator->loadResult = false;
    EXPECT_EQ(run([](MigThread& t) { t.loadUsers("/data/other.csv"); }), 0u);

    const std::uint64_t first = run([](MigThread& t) { t.getUsers(); });
    ASSERT_NE(first, 0u);
    EXPECT_EQ(reinterpret_cast<std::vector<migration::UserInfoData>*>(first)->size(), 1u);
    // The same vector, refilled.
    engine.migrator->accounts.push_back(account(1, L"b", L"example.com", L"B"));
    EXPECT_EQ(run([](MigThread& t) { t.getUsers(); }), first);
    EXPECT_EQ(reinterpret_cast<std::vector<migration::UserInfoData>*>(first)->size(), 2u);
    EXPECT_EQ(thread.getResult(), first) << "a second read gives the same result";
}

TEST_F(ThreadTest, OpeningAFileStartsTheViewerWithoutWaitingAndTellsItsFailure)
{
    TempDir dir;
    const std::string viewer = dir.file("viewer.sh");
    writeFile(viewer, "#!/bin/sh\nprintf '%s' \"$1\" > " + dir.file("opened") + "\nsleep $VIEWER_SECONDS\ntouch " +
                          dir.file("ended") + "\nexit $VIEWER_EXIT\n");
    ASSERT_EQ(runShell("chmod +x " + viewer), 0);
    MigThread::setViewer(QString::fromStdString(viewer));
    gui::MigExecuter& executer = makeExecuter();
    struct Case {
        bool report; // else the debug log
        const char* exit;
        const char* seconds;
        bool failed;
    } cases[] = {
        {true, "0", "0", false},
        {false, "1", "0", true},
        {true, "4", "0", true},
        // A viewer that stays open, as xdg-open does on desktops it does not
        // know: the wizard goes on at once.
        {false, "0", "2", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << (c.report ? "report" : "debug log") << ", exit " << c.exit << " after "
                                        << c.seconds << " s");
        qputenv("VIEWER_EXIT", c.exit);
        qputenv("VIEWER_SECONDS", c.seconds);
        std::remove(dir.file("ended").c_str());
        int failures = 0;
        int ends = 0;
        const auto ended = [&](bool shown) {
            ++ends;
            failures += shown ? 0 : 1;
        };
        QElapsedTimer clock;
        clock.start();
        EXPECT_TRUE(c.report ? thread.openReportFile(ended) : thread.openLogFile(ended));
        EXPECT_LT(clock.elapsed(), 1000) << "the GUI thread waited for the viewer";
        ASSERT_TRUE(waitFor([&] { return QFileInfo::exists(QString::fromStdString(dir.file("ended"))); }, 10000));
        EXPECT_TRUE(waitFor([&] { return ends == 1; })) << "every end is told";
        settle(100); // the viewer's end has reached the event loop: nothing more comes
        EXPECT_EQ(ends, 1);
        EXPECT_EQ(failures, c.failed ? 1 : 0);
        const std::wstring& file = c.report ? executer.configuration.reportFile : executer.configuration.debugFile;
        EXPECT_EQ(readFile(dir.file("opened")), QString::fromStdWString(file).toStdString());
    }
    MigThread::setViewer(QString::fromStdString(dir.file("no-such-viewer")));
    int failures = 0;
    EXPECT_FALSE(thread.openReportFile([&failures](bool) { ++failures; }));
    settle(50);
    EXPECT_EQ(failures, 0) << "a viewer that never started is told by the result alone";
    MigThread::setViewer("xdg-open");
}

} // namespace
} // namespace tavir::test
