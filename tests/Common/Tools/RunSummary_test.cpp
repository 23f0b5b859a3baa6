// The words of a run's counts, which the terminal, the report and the
// wizard all take from here: every count in its place, zeros included, the
// stopped accounts beside the failed, the accounts not started named and
// those of them made on the target ahead; and what is said of the whole run
// beside them.
#include "Common/Tools/RunSummary.h"

#include <gtest/gtest.h>

using namespace tavir::migration;

namespace {

std::vector<std::wstring> addresses(int from, int to)
{
    std::vector<std::wstring> names;
    for (int i = from; i <= to; ++i)
        names.push_back(L"u" + std::to_wstring(i) + L"@x.org");
    return names;
}

TEST(RunSummary, SaysEveryCountInOneOrderAndWords)
{
    struct Case {
        const char* name;
        MigrationStatus status;
        RunCounts counts;
        std::wstring notStarted;
        std::wstring notCounted;
        std::wstring madeAhead = L"";
    };
    std::vector<Case> cases;
    {
        Case c{"nothing at all", {}, {}, L"", L""};
        c.counts = {L"0 finished, 0 failed, 0 login refused, 0 not started",
            L"0 copied, 0 failed, 0 not reached",
            L"0 copied, 0 failed, 0 not reached, 0 on the target already, 0 removed from the "
            L"source"};
        cases.push_back(c);
    }
    {
        Case c{"a second run: everything on the target already", {}, {}, L"", L""};
        c.status.selectedAccounts = 3;
        c.status.finishedAccounts = 3;
        c.status.foldersDone = 9;
        c.status.messagesAlreadyThere = 80;
        c.counts = {L"3 finished, 0 failed, 0 login refused, 0 not started",
            L"9 copied, 0 failed, 0 not reached",
            L"0 copied, 0 failed, 0 not reached, 80 on the target already, 0 removed from the "
            L"source"};
        cases.push_back(c);
    }
    {
        Case c{"stopped: some half-way, some never begun", {}, {}, L"", L""};
        MigrationStatus& s = c.status;
        s.selectedAccounts = 8;
        s.finishedAccounts = 1;
        s.failedAccounts = 5;
        s.accountsStopped = 4;
        s.loginsRefused = 1;
        s.foldersDone = 3;
        s.folderErrors = 1;
        s.foldersNotReached = 7;
        s.foldersNotCounted = 6;
        s.messagesDone = 600;
        s.messageErrors = 2;
        s.messagesNotReached = 12;
        s.messagesAlreadyThere = 5;
        s.messagesRemoved = 3;
        s.notStartedFirst = {L"carol@example.com", L"dave@example.com"};
        s.madeAhead = {L"carol@example.com", L"dave@example.com"};
        c.madeAhead = L"2 of them were made on the target ahead of their turn and are there, "
                      L"empty: carol@example.com, dave@example.com";
        c.counts = {L"1 finished, 5 failed (4 stopped half-way), 1 login refused, 2 not started",
            L"3 copied, 1 failed, 7 not reached",
            L"600 copied, 2 failed, 12 not reached, 5 on the target already, 3 removed from the "
            L"source"};
        c.notStarted = L"2 accounts not started: carol@example.com, dave@example.com";
        c.notCounted = L"The messages of 6 folders not reached and of 2 accounts not started were "
                       L"not counted";
        cases.push_back(c);
    }
    {
        Case c{"one account not started, one in progress (not counted as not started)", {}, {}, L"",
            L""};
        c.status.selectedAccounts = 2;
        c.status.inProgress.resize(1);
        c.status.notStartedFirst = {L"erin@example.com"};
        c.status.madeAhead = {L"erin@example.com"};
        c.madeAhead = L"One of them was made on the target ahead of its turn and is there, empty: "
                      L"erin@example.com";
        c.status.foldersNotCounted = 1;
        c.counts = {L"0 finished, 0 failed, 0 login refused, 1 not started",
            L"0 copied, 0 failed, 0 not reached",
            L"0 copied, 0 failed, 0 not reached, 0 on the target already, 0 removed from the "
            L"source"};
        c.notStarted = L"1 account not started: erin@example.com";
        c.notCounted = L"The messages of 1 folder not reached and of 1 account not started were "
                       L"not counted";
        cases.push_back(c);
    }
    {
        Case c{"more not started than are named", {}, {}, L"", L""};
        c.status.selectedAccounts = 12;
        c.status.notStartedFirst = addresses(1, 10);
        c.status.madeAhead = addresses(1, 11);
        c.madeAhead = L"11 of them were made on the target ahead of their turn and are there, "
                      L"empty: u1@x.org, u2@x.org, u3@x.org, u4@x.org, u5@x.org, u6@x.org, "
                      L"u7@x.org, u8@x.org, u9@x.org, u10@x.org and 1 more";
        c.counts = {L"0 finished, 0 failed, 0 login refused, 12 not started",
            L"0 copied, 0 failed, 0 not reached",
            L"0 copied, 0 failed, 0 not reached, 0 on the target already, 0 removed from the "
            L"source"};
        c.notStarted = L"12 accounts not started: u1@x.org, u2@x.org, u3@x.org, u4@x.org, "
                       L"u5@x.org, u6@x.org, u7@x.org, u8@x.org, u9@x.org, u10@x.org and 2 more";
        c.notCounted = L"The messages of 12 accounts not started were not counted";
        cases.push_back(c);
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const RunCounts counts = runCounts(c.status);
        EXPECT_EQ(c.counts.accounts, counts.accounts);
        EXPECT_EQ(c.counts.folders, counts.folders);
        EXPECT_EQ(c.counts.messages, counts.messages);
        EXPECT_EQ(c.notStarted, notStartedText(c.status));
        EXPECT_EQ(c.notCounted, notCounted(c.status));
        EXPECT_EQ(c.madeAhead, madeAheadText(c.status));
        // The summary's lines: each kind's sentences in this order, each
        // with its full stop, none empty.
        std::vector<std::wstring> accounts = {L"Accounts: " + c.counts.accounts + L"."};
        std::vector<std::wstring> messages = {L"Messages: " + c.counts.messages + L"."};
        for (const auto& [lines, more] : {std::pair(&accounts, c.notStarted),
                 std::pair(&accounts, c.madeAhead), std::pair(&messages, c.notCounted)})
            if (!more.empty())
                lines->push_back(more + L".");
        const SummaryLines lines = summaryLines(c.status);
        EXPECT_EQ(accounts, lines.accounts);
        EXPECT_EQ(std::vector<std::wstring>{L"Folders: " + c.counts.folders + L"."}, lines.folders);
        EXPECT_EQ(messages, lines.messages);
    }
}

// What is said of the whole run beside the summary: a source that can't be
// tested (unless the reasons of a start that did not go ahead say it), then
// the source's limit.
TEST(RunSummary, SaysOfTheWholeRunWhatTheStartsReasonsDoNot)
{
    const std::wstring untestable
        = L"Could not connect to the source server imap.example.com:143: connection refused.";
    const std::wstring limit = L"The source server accepted at most 4 connections at once; the "
                               L"migration went on with 4.";
    struct Case {
        const char* name;
        std::wstring sourceUntestable, sourceLimit, startFailure;
        std::vector<std::wstring> said;
    } cases[] = {
        {"neither", L"", L"", L"", {}},
        {"the source's limit", L"", limit, L"", {limit}},
        {"a source that can't be tested any more, and its limit", untestable, limit, L"",
            {untestable, limit}},
        {"a start that did not go ahead says it already", untestable, L"",
            untestable + L"\nThe target server was not changed; the migration did not start.\n",
            {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MigrationStatus status;
        status.sourceUntestable = c.sourceUntestable;
        status.sourceLimit = c.sourceLimit;
        status.startFailure = c.startFailure;
        EXPECT_EQ(c.said, runSentences(status));
    }
}

TEST(RunSummary, NamesTheFirstOfAList)
{
    EXPECT_EQ(L"", namedList({}, 0));
    EXPECT_EQ(L"u1@x.org", namedList(addresses(1, 1), 1));
    EXPECT_EQ(L"u1@x.org, u2@x.org", namedList(addresses(1, 2), 2));
    EXPECT_EQ(L"u1@x.org, u2@x.org and 1 more", namedList(addresses(1, 2), 3));
    EXPECT_EQ(L"1 folder", counted(1, L"folder"));
    EXPECT_EQ(L"0 folders", counted(0, L"folder"));
    EXPECT_EQ(L"(1 stopped half-way)", stoppedText(1));
    EXPECT_EQ(L"", stoppedText(0));
}

TEST(RunSummary, SaysWhatWasNotCopiedInTheSameWords)
{
    struct Case {
        std::uint32_t notReached, alreadyThere, removed;
        std::wstring text;
    } cases[] = {
        {0, 0, 0, L""},
        {12, 0, 0, L"(12 not reached)"},
        {0, 7457, 0, L"(7457 on the target already)"},
        {0, 0, 1, L"(1 removed from the source)"},
        {1112, 7457, 0, L"(1112 not reached, 7457 on the target already)"},
        {1112, 7457, 2,
            L"(1112 not reached, 7457 on the target already, 2 removed from the source)"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.text, notCopiedText(c.notReached, c.alreadyThere, c.removed));
        // Each of them in the words the counts of the summary use.
        MigrationStatus status;
        status.messagesNotReached = c.notReached;
        status.messagesAlreadyThere = c.alreadyThere;
        status.messagesRemoved = c.removed;
        const std::wstring summary = runCounts(status).messages;
        std::wstring inside = c.text.empty() ? L"" : c.text.substr(1, c.text.size() - 2);
        for (std::size_t from = 0; from < inside.size();) {
            const std::size_t end = std::min(inside.find(L", ", from), inside.size());
            EXPECT_NE(std::wstring::npos, summary.find(inside.substr(from, end - from)));
            from = end + 2;
        }
    }
}

} // namespace
