// How a run ends, read where a user reads it: zorp-engine-run's terminal,
// the report's summary and the wizard's pages. Each row is one way a run
// ends; the three places must give every count, the accounts not started
// and made ahead, what was not counted and, after a stop, how many it ended
// in the same order and words, the terminal the report's summary line for
// line, the result page each of its lines. Any pair that disagrees fails.
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
using migration::StartPhase;
using migration::unicodeToUtf8;

// What one place says of a run: how it ended (the summary's first line, its
// time left out), each kind in its counts, the accounts not started
// (named) and those of them made ahead, whose messages were not counted,
// and the stopped ones among the failed; empty where it says nothing.
struct Said {
    std::string ended, accounts, folders, messages, notStarted, madeAhead, notCounted, stopped;
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

// The summary's lines as the report and the terminal give them, and the
// result page's notes, which read alike: every kind's sentences, wherever
// they stand.
void readSummary(const std::string& text, Said& said)
{
    said.ended = found(text, R"((Migration [^\n]+ on )\d{4}-\d\d-\d\d \d\d:\d\d:\d\d after )")
        + found(text, R"(Migration [^\n]+ after \d+ seconds?([^\n]*)\.\n)");
    said.accounts = found(text, R"((?:^|\n)Accounts: ([^\n]+)\.\n)");
    said.folders = found(text, R"((?:^|\n)Folders: ([^\n]+)\.\n)");
    said.messages = found(text, R"((?:^|\n)Messages: ([^\n]+)\.\n)");
    said.stopped = found(text, R"( failed (\(\d+ stopped half-way\)))");
    said.notStarted = found(text, R"((\d+ accounts? not started: [^\n]+?)\.\n)");
    said.madeAhead = found(text, R"(((?:One|\d+) of them (?:was|were) made [^\n]+?)\.\n)");
    said.notCounted = found(text, R"((The messages of [^\n]+ were not counted)\.\n)");
}

// One way a run ends: its counts in the engine's status, its end as the
// engine tells the report, what the three places must say of it, and what
// the report says of the whole run beside its summary.
struct Row {
    std::string name;
    const char* picture; // the result page's, and the progress page's
    migration::RunEnd end;
    MigrationStatus status;
    Said expected;
    std::vector<std::string> wholeRun;
};

// zorp-engine-run's lines as it prints them once the run has ended (and,
// for a start that did not go ahead, its reasons on standard error before
// them), the program's name taken off each.
std::vector<std::string> terminal(const Row& row)
{
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    if (!row.end.started)
        enginerun::printStartFailure(row.status);
    enginerun::printRunEnd({}, row.status, {}, "report.txt");
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    std::vector<std::string> lines;
    for (const std::string& line : linesOf(err + out)) {
        EXPECT_EQ(0u, line.find("zorp-engine-run: ")) << line;
        lines.push_back(line.substr(std::strlen("zorp-engine-run: ")));
    }
    return lines;
}

class SameCounts : public WizardFixture {
protected:
    bool shown(int pageId, const char* name) { return !child<QWidget>(pageId, name)->isHidden(); }

    // The wizard anew, entered at the progress page, whose run ends as the
    // row says once the first poll has shown it; what its result page then
    // says, its notes (and, for a start that did not go ahead, its reasons)
    // one line after the other. Pictures of both pages go to
    // $TAVIR_SCREENSHOT_DIR when it is set.
    std::string wizardPages(const Row& row, Said& said)
    {
        wizard.reset();
        wizard = std::make_unique<gui::ImapWizard>(nullptr, engine.entries());
        wizard->initializeEngineExecuter();
        migrator().status = row.status;
        migrator().startResult = row.end.started;
        wizard->setStartId(MigWizard::ProgressPageId);
        wizard->show();
        const std::string picture = row.picture;
        const auto text
            = [&](int page, const char* name) { return utf8(child<QLabel>(page, name)->text()); };
        if (!row.end.started) {
            EXPECT_TRUE(reaches(MigWizard::ResultPageId));
            screenshot(wizard.get(), ("5-result-end-" + picture).c_str());
            EXPECT_FALSE(shown(MigWizard::ResultPageId, "totalsArea"));
            return text(MigWizard::ResultPageId, "startFailureLabel");
        }
        EXPECT_TRUE(waitFor([&] { return migrator().runCallbacks != nullptr; }));
        settle(300);
        screenshot(wizard.get(), ("4-progress-end-" + picture).c_str());
        migrator().runCallbacks->stopped(row.end.aborted);
        if (row.end.aborted) {
            EXPECT_TRUE(waitFor([&] { return nextButton()->isEnabled(); }));
            screenshot(wizard.get(), ("4-progress-end-" + picture + "-stopped").c_str());
            clickNext();
        }
        EXPECT_TRUE(reaches(MigWizard::ResultPageId));
        screenshot(wizard.get(), ("5-result-end-" + picture).c_str());
        std::string notes;
        for (const char* note : {"runNote", "accountsNote", "foldersNote", "messagesNote"}) {
            auto* label = child<QLabel>(MigWizard::ResultPageId, note);
            EXPECT_EQ(!label->text().isEmpty(), shown(MigWizard::ResultPageId, note)) << note;
            if (label->text().isEmpty())
                continue;
            notes += utf8(label->text()) + "\n";
            // Every wrapped line of it has its room: none is cut.
            EXPECT_GE(label->height(), label->heightForWidth(label->width()))
                << note << " " << label->width() << " wide";
        }
        readSummary(notes, said);
        // The progress page says it beside its count of errors.
        const std::string besideErrors = found(
            text(MigWizard::ProgressPageId, "accountsNotCopied"), R"((\(\d+ stopped half-way\)))");
        if (!besideErrors.empty())
            said.stopped = besideErrors;
        return notes;
    }
};

// Every way a run ends, the counts of each in the status as the engine
// leaves it, its end as the engine tells the report.
std::vector<Row> waysARunEnds()
{
    std::vector<Row> rows;
    const auto row = [&](const std::string& name, const char* picture) -> Row& {
        rows.push_back({name, picture, {}, {}, {}, {}});
        Row& r = rows.back();
        r.status.startTime = 1700000000;
        r.status.endTime = r.end.time = r.status.startTime + 83;
        r.status.accounts = 8;
        r.expected.ended = "Migration ended on ";
        return r;
    };
    const auto stop = [](Row& r, int signalNumber, const std::string& how) {
        r.end.aborted = true;
        r.end.signalNumber = signalNumber;
        r.expected.ended = "Migration " + how + " on ";
    };
    const auto notStarted = [](Row& r, StartPhase phase, const std::wstring& why) {
        r.end.started = false;
        r.end.stoppedWhile = r.status.stoppedBeforeTheRun = phase;
        r.status.startFailure = why;
        r.expected.ended += phase == StartPhase::None ? " without starting" : ", before it started";
    };
    // The three counts each place must give, the messages' last two
    // (on the target already, removed) aside.
    const auto counts
        = [](Row& r, std::string accounts, std::string folders, const std::string& messages,
              const std::string& lastTwo = "0 on the target already, 0 removed from the source") {
              r.expected.accounts = std::move(accounts);
              r.expected.folders = std::move(folders);
              r.expected.messages = messages + ", " + lastTwo;
          };
    // A run in which every account selected finished.
    const auto finished
        = [](Row& r, std::uint32_t accounts, std::uint32_t folders, std::uint32_t messages) {
              r.status.selectedAccounts = r.status.finishedAccounts = accounts;
              r.status.foldersDone = folders;
              r.status.messagesDone = messages;
          };
    {
        Row& r = row("finished, nothing failed", "finished");
        finished(r, 3, 9, 120);
        counts(r, "3 finished, 0 failed, 0 login refused, 0 not started",
            "9 copied, 0 failed, 0 not reached", "120 copied, 0 failed, 0 not reached");
    }
    {
        Row& r = row("finished with failures", "failures");
        finished(r, 3, 7, 100);
        r.status.finishedAccounts = 2;
        r.status.failedAccounts = 1;
        r.status.folderErrors = 1;
        r.status.foldersNotReached = 1;
        r.status.messageErrors = 2;
        r.status.messagesNotReached = 4;
        counts(r, "2 finished, 1 failed, 0 login refused, 0 not started",
            "7 copied, 1 failed, 1 not reached", "100 copied, 2 failed, 4 not reached");
    }
    {
        Row& r = row("a second run: everything on the target already", "second-run");
        finished(r, 3, 9, 0);
        r.status.messagesAlreadyThere = 80;
        counts(r, "3 finished, 0 failed, 0 login refused, 0 not started",
            "9 copied, 0 failed, 0 not reached", "0 copied, 0 failed, 0 not reached",
            "80 on the target already, 0 removed from the source");
    }
    {
        Row& r = row("messages another session removed from the source", "removed");
        finished(r, 2, 4, 10);
        r.status.messagesRemoved = 3;
        counts(r, "2 finished, 0 failed, 0 login refused, 0 not started",
            "4 copied, 0 failed, 0 not reached", "10 copied, 0 failed, 0 not reached",
            "0 on the target already, 3 removed from the source");
    }
    {
        Row& r = row("a login refused, the source at its limit", "refused-login-source-limit");
        finished(r, 2, 4, 10);
        r.status.loginsTested = 3;
        r.status.loginsRefused = 1;
        r.status.sourceLimit = L"The source server accepted at most 4 connections at once; the "
                               L"migration went on with 4.";
        counts(r, "2 finished, 0 failed, 1 login refused, 0 not started",
            "4 copied, 0 failed, 0 not reached", "10 copied, 0 failed, 0 not reached");
        r.wholeRun = {unicodeToUtf8(r.status.sourceLimit)};
    }
    {
        Row& r = row("the source can't be tested any more: the accounts after it not started",
            "source-untestable");
        finished(r, 2, 4, 10);
        r.status.selectedAccounts = 5;
        r.status.loginsTested = 2;
        r.status.notStartedFirst = {L"carol@example.com", L"dave@example.com", L"erin@example.com"};
        r.status.sourceUntestable = L"Could not connect to the source server imap.example.com:143: "
                                    L"connection refused.";
        counts(r, "2 finished, 0 failed, 0 login refused, 3 not started",
            "4 copied, 0 failed, 0 not reached", "10 copied, 0 failed, 0 not reached");
        r.expected.notStarted
            = "3 accounts not started: carol@example.com, dave@example.com, erin@example.com";
        r.expected.notCounted = "The messages of 3 accounts not started were not counted";
        r.wholeRun = {unicodeToUtf8(r.status.sourceUntestable)};
    }
    for (const auto& [signalNumber, how, picture] :
        {std::tuple(0, "stopped by the user", "stopped"),
            std::tuple(int(SIGTERM), "stopped by signal SIGTERM", "stopped-sigterm")}) {
        Row& r = row(how, picture);
        stop(r, signalNumber, how);
        r.status.selectedAccounts = 6;
        r.status.failedAccounts = 4;
        r.status.accountsStopped = 4;
        r.status.foldersDone = 2;
        r.status.foldersNotReached = 5;
        r.status.foldersNotCounted = 4;
        r.status.messagesDone = 50;
        r.status.messagesNotReached = 30;
        r.status.notStartedFirst = {L"carol@example.com", L"dave@example.com"};
        r.status.madeAhead = {L"carol@example.com"};
        counts(r, "0 finished, 4 failed (4 stopped half-way), 0 login refused, 2 not started",
            "2 copied, 0 failed, 5 not reached", "50 copied, 0 failed, 30 not reached");
        r.expected.notStarted = "2 accounts not started: carol@example.com, dave@example.com";
        r.expected.madeAhead = "One of them was made on the target ahead of its turn and is "
                               "there, empty: carol@example.com";
        r.expected.notCounted = "The messages of 4 folders not reached and of 2 accounts not "
                                "started were not counted";
        r.expected.stopped = "(4 stopped half-way)";
    }
    const std::string nothing = "0 copied, 0 failed, 0 not reached";
    {
        Row& r = row("stopped early: more accounts not started and made ahead than are named",
            "stopped-early");
        stop(r, SIGHUP, "stopped by signal SIGHUP");
        r.status.accounts = 30;
        r.status.selectedAccounts = 30;
        r.status.finishedAccounts = 1;
        r.status.failedAccounts = 1;
        r.status.accountsStopped = 1;
        for (int i = 1; i <= 22; ++i)
            r.status.madeAhead.push_back(L"u" + std::to_wstring(i) + L"@x.org");
        r.status.notStartedFirst.assign(
            r.status.madeAhead.begin(), r.status.madeAhead.begin() + 10);
        counts(r, "1 finished, 1 failed (1 stopped half-way), 0 login refused, 28 not started",
            nothing, nothing);
        const std::string ten = "u1@x.org, u2@x.org, u3@x.org, u4@x.org, u5@x.org, u6@x.org, "
                                "u7@x.org, u8@x.org, u9@x.org, u10@x.org";
        r.expected.notStarted = "28 accounts not started: " + ten + " and 18 more";
        r.expected.madeAhead = "22 of them were made on the target ahead of their turn and are "
                               "there, empty: "
            + ten + " and 12 more";
        r.expected.notCounted = "The messages of 28 accounts not started were not counted";
        r.expected.stopped = "(1 stopped half-way)";
    }
    const std::wstring notChanged
        = L"The target server was not changed; the migration did not start.\n";
    // Alice and Bob, both not started: nothing copied.
    const auto nothingCopied = [&](Row& r) {
        r.status.accounts = r.status.selectedAccounts = 2;
        r.status.notStartedFirst = {L"alice@example.com", L"bob@example.com"};
        counts(r, "0 finished, 0 failed, 0 login refused, 2 not started", nothing, nothing);
        r.expected.notStarted = "2 accounts not started: alice@example.com, bob@example.com";
        r.expected.notCounted = "The messages of 2 accounts not started were not counted";
    };
    for (const auto& [phase, while_, picture, why] :
        {std::tuple(
             StartPhase::LoginsTested, "the logins were tested", "stopped-testing", notChanged),
            std::tuple(StartPhase::TargetPrepared, "the target was prepared", "stopped-preparing",
                L"Could not connect to the administration service on 127.0.0.5:44337: stopped "
                L"while connecting.\n"
                    + notChanged)}) {
        const std::string how = std::string("stopped by signal SIGINT while ") + while_;
        Row& r = row(how, picture);
        stop(r, SIGINT, how + ",");
        notStarted(r, phase, why);
        nothingCopied(r);
    }
    {
        Row& r = row("never started: the source can't be reached", "source-unreachable");
        r.status.sourceUntestable
            = L"Could not connect to the source server 127.0.0.1:1143: connection refused.";
        notStarted(r, StartPhase::None, r.status.sourceUntestable + L"\n" + notChanged);
        nothingCopied(r);
    }
    {
        Row& r = row("never started: every login refused", "every-login-refused");
        notStarted(r, StartPhase::None,
            L"The source server refused the login of every account to migrate; the target "
            L"server was not changed, and the migration did not start.\n");
        r.status.accounts = 2;
        r.status.loginsTested = r.status.loginsRefused = 2;
        counts(r, "0 finished, 0 failed, 2 login refused, 0 not started", nothing, nothing);
    }
    return rows;
}

// Each line followed by its end.
std::string joined(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines)
        text += line + "\n";
    return text;
}

// What every place says alike, how it ended aside.
void expectSaid(const Said& expected, const Said& said)
{
    EXPECT_EQ(expected.accounts, said.accounts);
    EXPECT_EQ(expected.folders, said.folders);
    EXPECT_EQ(expected.messages, said.messages);
    EXPECT_EQ(expected.notStarted, said.notStarted);
    EXPECT_EQ(expected.madeAhead, said.madeAhead);
    EXPECT_EQ(expected.notCounted, said.notCounted);
    EXPECT_EQ(expected.stopped, said.stopped);
}

TEST_F(SameCounts, EveryWayARunEndsReadsAlikeOnTheTerminalInTheReportAndOnTheWizardsPages)
{
    for (Row& r : waysARunEnds()) {
        SCOPED_TRACE(r.name);
        std::vector<std::string> report;
        for (const std::wstring& line : migration::reportSummary(r.status, r.end))
            report.push_back(unicodeToUtf8(line));
        const std::string reportText = joined(report);
        // As the engine hands it over once the summary is written.
        r.status.summary = migration::utf8ToUnicode(reportText);

        // The terminal: the start's reasons, what the report says of the
        // whole run, then its summary line for line, then where it is.
        std::vector<std::string> expectedLines = linesOf(unicodeToUtf8(r.status.startFailure));
        expectedLines.insert(expectedLines.end(), r.wholeRun.begin(), r.wholeRun.end());
        expectedLines.insert(expectedLines.end(), report.begin(), report.end());
        expectedLines.push_back("the report: report.txt");
        const std::vector<std::string> printed = terminal(r);
        EXPECT_EQ(expectedLines, printed);

        // The result page: every line of the summary after the first, in
        // its order, under the sections, and above them what the report
        // says of the whole run; a start that did not go ahead shows its
        // reasons instead.
        Said page;
        const std::string shown = wizardPages(r, page);
        if (r.end.started) {
            EXPECT_EQ(joined(r.wholeRun) + joined({report.begin() + 1, report.end()}), shown);
            SCOPED_TRACE("wizard");
            expectSaid(r.expected, page);
        } else {
            for (const std::string& line : linesOf(unicodeToUtf8(r.status.startFailure))) {
                EXPECT_NE(std::string::npos, shown.find(line + "\n\n")) << line << " not in\n"
                                                                        << shown;
            }
        }

        for (const auto& [place, text] :
            {std::pair("report", reportText), std::pair("terminal", joined(printed))}) {
            SCOPED_TRACE(place);
            Said said;
            readSummary(text, said);
            EXPECT_EQ(r.expected.ended, said.ended);
            expectSaid(r.expected, said);
        }
        if (HasFailure())
            return;
    }
}

} // namespace
} // namespace tavir::test
