// How a run ends, read where a user reads it: zorp-engine-run's terminal,
// the report's summary and the wizard's pages. Each row is one way a run
// ends, its counts as the engine's status holds them; the three places must
// give every count in the same order and words, name the same accounts not
// started and say the same of what was not counted, and, after a stop, say
// beside the failed accounts how many the stop ended. Any pair that
// disagrees fails the row.
#include "WizardFixture.h"

#include "Common/Gui/MigProgressPage.h"
#include "Common/Tools/RunSummary.h"
#include "Imap/engine/MigrationReport.h"
#include "Imap/textconv/TextConversion.h"
#include "RunOutput.h"

#include <csignal>
#include <regex>

namespace tavir::test {
namespace {

using gui::MigWizard;
using migration::MigrationStatus;
using migration::unicodeToUtf8;

// What one place says of a run: each kind in its counts, the accounts not
// started (named), whose messages were not counted, and the stopped ones
// among the failed; empty where it says nothing.
struct Said {
    std::string accounts, folders, messages, notStarted, notCounted, stopped;
};

// The first group of `pattern` in `text`, or "".
std::string found(const std::string& text, const std::string& pattern)
{
    std::smatch match;
    return std::regex_search(text, match, std::regex(pattern)) ? match[1].str() : std::string();
}

std::string utf8(const QString& text)
{
    return text.toStdString();
}

// The sentences the summary's lines and notes carry, wherever they stand.
void readSentences(const std::string& text, Said& said)
{
    said.notStarted = found(text, R"((\d+ accounts? not started: [^\n]+?)\.?\n)");
    said.notCounted = found(text, R"((The messages of [^\n]+ were not counted)\.?\n)");
}

Said terminal(const MigrationStatus& status, int signalNumber)
{
    testing::internal::CaptureStdout();
    enginerun::printUnfinishedAccounts({}, status);
    enginerun::printSummary(status, enginerun::howItEnded(signalNumber, true), {}, "report.txt");
    const std::string text = testing::internal::GetCapturedStdout();
    Said said;
    said.accounts = found(text, R"(: accounts ([^;]+); folders )");
    said.folders = found(text, R"(; folders ([^;]+); messages )");
    said.messages = found(text, R"(; messages ([^;]+); the report: )");
    said.stopped = found(text, R"( failed (\(\d+ stopped half-way\)))");
    readSentences(text, said);
    return said;
}

Said report(const MigrationStatus& status, bool aborted, int signalNumber)
{
    migration::RunEnd end;
    end.time = status.endTime;
    end.aborted = aborted;
    end.signalNumber = signalNumber;
    std::string text;
    for (const std::wstring& line : migration::reportSummary(status, end))
        text += unicodeToUtf8(line) + "\n";
    Said said;
    said.accounts = found(text, R"(\nAccounts: ([^\n]+)\.\n)");
    said.folders = found(text, R"(\nFolders: ([^\n]+)\.\n)");
    said.messages = found(text, R"(\nMessages: ([^\n]+)\.\n)");
    said.stopped = found(text, R"( failed (\(\d+ stopped half-way\)))");
    readSentences(text, said);
    return said;
}

class SameCounts : public WizardFixture {
protected:
    // The wizard anew, entered at the progress page, whose run ends as the
    // row says once the first poll has shown it.
    Said wizardPages(const MigrationStatus& status, bool aborted)
    {
        wizard.reset();
        wizard = std::make_unique<gui::ImapWizard>(nullptr, engine.entries());
        wizard->initializeEngineExecuter();
        migrator().status = status;
        wizard->setStartId(MigWizard::ProgressPageId);
        wizard->show();
        EXPECT_TRUE(waitFor([&] { return migrator().runCallbacks != nullptr; }));
        migrator().runCallbacks->stopped(aborted);
        if (aborted) {
            EXPECT_TRUE(waitFor([&] { return nextButton()->isEnabled(); }));
            clickNext();
        }
        EXPECT_TRUE(reaches(MigWizard::ResultPageId));
        const auto text
            = [&](int page, const char* name) { return utf8(child<QLabel>(page, name)->text()); };
        const std::string accountsNote = text(MigWizard::ResultPageId, "accountsNote") + "\n";
        Said said;
        said.accounts = found(accountsNote, R"(^Accounts: ([^\n]+)\.\n)");
        said.folders = found(text(MigWizard::ResultPageId, "foldersNote"), R"(^Folders: (.+)\.$)");
        const std::string messagesNote = text(MigWizard::ResultPageId, "messagesNote") + "\n";
        said.messages = found(messagesNote, R"(^Messages: ([^\n]+)\.\n)");
        readSentences(accountsNote + messagesNote, said);
        // The progress page says it beside its count of errors.
        said.stopped = text(MigWizard::ProgressPageId, "accountsNotCopied");
        if (said.stopped.empty())
            said.stopped = found(accountsNote, R"( failed (\(\d+ stopped half-way\)))");
        return said;
    }
};

TEST_F(SameCounts, EveryWayARunEndsReadsAlikeOnTheTerminalInTheReportAndOnTheWizardsPages)
{
    struct Row {
        const char* name;
        bool aborted;
        int signalNumber;
        MigrationStatus status;
        Said expected;
    };
    std::vector<Row> rows;
    const auto row = [&](const char* name, bool aborted, int signalNumber) -> Row& {
        rows.push_back({name, aborted, signalNumber, {}, {}});
        MigrationStatus& status = rows.back().status;
        status.startTime = 1700000000;
        status.endTime = status.startTime + 83;
        status.accounts = 8;
        return rows.back();
    };
    {
        Row& r = row("finished, nothing failed", false, 0);
        r.status.selectedAccounts = r.status.finishedAccounts = 3;
        r.status.foldersDone = 9;
        r.status.messagesDone = 120;
        r.expected = {"3 finished, 0 failed, 0 login refused, 0 not started",
            "9 copied, 0 failed, 0 not reached",
            "120 copied, 0 failed, 0 not reached, 0 on the target already, 0 removed from the "
            "source",
            "", "", ""};
    }
    {
        Row& r = row("finished with failures", false, 0);
        r.status.selectedAccounts = 3;
        r.status.finishedAccounts = 2;
        r.status.failedAccounts = 1;
        r.status.foldersDone = 7;
        r.status.folderErrors = 1;
        r.status.foldersNotReached = 1;
        r.status.messagesDone = 100;
        r.status.messageErrors = 2;
        r.status.messagesNotReached = 4;
        r.expected = {"2 finished, 1 failed, 0 login refused, 0 not started",
            "7 copied, 1 failed, 1 not reached",
            "100 copied, 2 failed, 4 not reached, 0 on the target already, 0 removed from the "
            "source",
            "", "", ""};
    }
    {
        Row& r = row("a second run: everything on the target already", false, 0);
        r.status.selectedAccounts = r.status.finishedAccounts = 3;
        r.status.foldersDone = 9;
        r.status.messagesAlreadyThere = 80;
        r.expected = {"3 finished, 0 failed, 0 login refused, 0 not started",
            "9 copied, 0 failed, 0 not reached",
            "0 copied, 0 failed, 0 not reached, 80 on the target already, 0 removed from the "
            "source",
            "", "", ""};
    }
    {
        Row& r = row("messages another session removed from the source", false, 0);
        r.status.selectedAccounts = r.status.finishedAccounts = 2;
        r.status.foldersDone = 4;
        r.status.messagesDone = 10;
        r.status.messagesRemoved = 3;
        r.expected = {"2 finished, 0 failed, 0 login refused, 0 not started",
            "4 copied, 0 failed, 0 not reached",
            "10 copied, 0 failed, 0 not reached, 0 on the target already, 3 removed from the "
            "source",
            "", "", ""};
    }
    {
        Row& r = row("a login refused", false, 0);
        r.status.selectedAccounts = r.status.finishedAccounts = 2;
        r.status.loginsTested = 3;
        r.status.loginsRefused = 1;
        r.status.foldersDone = 4;
        r.status.messagesDone = 10;
        r.expected = {"2 finished, 0 failed, 1 login refused, 0 not started",
            "4 copied, 0 failed, 0 not reached",
            "10 copied, 0 failed, 0 not reached, 0 on the target already, 0 removed from the "
            "source",
            "", "", ""};
    }
    for (const int signalNumber : {0, SIGTERM}) {
        Row& r = row(
            signalNumber == 0 ? "stopped by the user" : "stopped by SIGTERM", true, signalNumber);
        r.status.selectedAccounts = 6;
        r.status.failedAccounts = 4;
        r.status.accountsStopped = 4;
        r.status.foldersDone = 2;
        r.status.foldersNotReached = 5;
        r.status.foldersNotCounted = 4;
        r.status.messagesDone = 50;
        r.status.messagesNotReached = 30;
        r.status.notStartedFirst = {L"carol@example.com", L"dave@example.com"};
        r.expected = {"0 finished, 4 failed (4 stopped half-way), 0 login refused, 2 not started",
            "2 copied, 0 failed, 5 not reached",
            "50 copied, 0 failed, 30 not reached, 0 on the target already, 0 removed from the "
            "source",
            "2 accounts not started: carol@example.com, dave@example.com",
            "The messages of 4 folders not reached and of 2 accounts not started were not "
            "counted",
            "(4 stopped half-way)"};
    }
    {
        Row& r = row("stopped early: more accounts not started than are named", true, 0);
        r.status.accounts = 14;
        r.status.selectedAccounts = 14;
        r.status.finishedAccounts = 1;
        r.status.failedAccounts = 1;
        r.status.accountsStopped = 1;
        for (int i = 1; i <= 10; ++i)
            r.status.notStartedFirst.push_back(L"u" + std::to_wstring(i) + L"@x.org");
        r.expected = {"1 finished, 1 failed (1 stopped half-way), 0 login refused, 12 not started",
            "0 copied, 0 failed, 0 not reached",
            "0 copied, 0 failed, 0 not reached, 0 on the target already, 0 removed from the "
            "source",
            "12 accounts not started: u1@x.org, u2@x.org, u3@x.org, u4@x.org, u5@x.org, u6@x.org, "
            "u7@x.org, u8@x.org, u9@x.org, u10@x.org and 2 more",
            "The messages of 12 accounts not started were not counted", "(1 stopped half-way)"};
    }
    for (Row& r : rows) {
        SCOPED_TRACE(r.name);
        // As the engine hands it over once the run has ended.
        r.status.notCounted = migration::notCounted(r.status);
        const std::map<std::string, Said> places = {
            {"terminal", terminal(r.status, r.signalNumber)},
            {"report", report(r.status, r.aborted, r.signalNumber)},
            {"wizard", wizardPages(r.status, r.aborted)},
        };
        for (const auto& [place, said] : places) {
            SCOPED_TRACE(place);
            EXPECT_EQ(r.expected.accounts, said.accounts);
            EXPECT_EQ(r.expected.folders, said.folders);
            EXPECT_EQ(r.expected.messages, said.messages);
            EXPECT_EQ(r.expected.notStarted, said.notStarted);
            EXPECT_EQ(r.expected.notCounted, said.notCounted);
            EXPECT_EQ(r.expected.stopped, said.stopped);
        }
        if (HasFailure())
            return;
    }
}

// How it ended, where both name it: zorp-engine-run's summary and the
// report's; for a stop before the run, also where the start was then, in
// the same words on the terminal and in the report.
TEST(SameEnd, TheTerminalAndTheReportNameTheEndAlike)
{
    using migration::StartPhase;
    for (const int signalNumber : {0, SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(signalNumber);
        MigrationStatus status;
        migration::RunEnd end;
        end.time = 1700000083;
        end.aborted = signalNumber != 0;
        end.signalNumber = signalNumber;
        const std::string how = enginerun::howItEnded(signalNumber, true);
        EXPECT_EQ(0u,
            unicodeToUtf8(migration::reportSummary(status, end).front())
                .find("Migration " + how + " on "))
            << how;
        for (const StartPhase phase : {StartPhase::LoginsTested, StartPhase::TargetPrepared}) {
            SCOPED_TRACE(static_cast<int>(phase));
            testing::internal::CaptureStdout();
            testing::internal::CaptureStderr();
            enginerun::printStoppedBeforeTheRun(signalNumber, phase,
                L"The target server was not changed; the migration did not start.\n", "report.txt");
            const std::string out = testing::internal::GetCapturedStdout();
            testing::internal::GetCapturedStderr();
            const std::string stopped
                = found(out, "^zorp-engine-run: (stopped by [^;]+); nothing was migrated");
            EXPECT_EQ((signalNumber == 0 ? std::string("stopped by the user") : how) + " while the "
                    + (phase == StartPhase::TargetPrepared ? "target was prepared"
                                                           : "logins were tested"),
                stopped)
                << out;
            migration::RunEnd before;
            before.time = end.time;
            before.aborted = true;
            before.signalNumber = signalNumber;
            before.started = false;
            before.stoppedWhile = phase;
            const std::string line
                = unicodeToUtf8(migration::reportSummary(status, before).front());
            EXPECT_EQ(0u, line.find("Migration " + stopped + ", on ")) << line;
            EXPECT_EQ(line.size() - 20, line.rfind(", before it started.")) << line;
        }
    }
}

} // namespace
} // namespace tavir::test
