// The progress line of zorp-engine-run at every width: the counts first,
// in shorter words on a narrower terminal but never a count cut, the logins
// still being tested while there are any, and the account in hand in the
// room left, down to its name cut short; what putting the target back
// waits for, in shorter words too; and the README's examples of it, each
// what is drawn.
#include "RunOutput.h"

#include "Imap/textconv/TextConversion.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>

using tavir::enginerun::progressText;
using tavir::enginerun::puttingBackText;
using tavir::enginerun::testProgressText;
using tavir::migration::MigrationStatus;

namespace {

// The columns a line takes on a terminal, a character beyond ASCII as two.
unsigned columnsOf(const std::string& line)
{
    unsigned used = 0;
    for (const wchar_t c : tavir::migration::utf8ToUnicode(line))
        used += c < 0x80 ? 1 : 2;
    return used;
}

// Six of eight accounts done, one failed, Anna's INBOX in hand and one
// more account beside it.
MigrationStatus midRun()
{
    MigrationStatus status;
    status.selectedAccounts = 8;
    status.finishedAccounts = 5;
    status.failedAccounts = 1;
    status.messagesDone = 600;
    status.messagesAlreadyThere = 80;
    status.inProgress = {{L"Anna Lindqvist", L"INBOX", 6, 3, 0}, {L"Ben", L"Sent", 9, 1, 0}};
    return status;
}

// The same while two logins are still being tested beside the copy.
MigrationStatus midRunTesting()
{
    MigrationStatus status = midRun();
    status.failedAccounts = 0;
    status.finishedAccounts = 6;
    status.loginsInTest = 2;
    status.inProgress.clear();
    return status;
}

// Counts too long for a narrow line in any words.
MigrationStatus large()
{
    MigrationStatus status;
    status.selectedAccounts = 1200;
    status.finishedAccounts = 1197;
    status.failedAccounts = 3;
    status.messagesDone = 1234567;
    status.messagesAlreadyThere = 76543;
    status.messageErrors = 12;
    status.inProgress = {{L"\u674E\u5C0F\u9F99 Li", L"\u6536\u4EF6\u7BB1", 40, 20, 0}};
    return status;
}

MigrationStatus small()
{
    MigrationStatus status;
    status.selectedAccounts = 2;
    status.inProgress = {{L"alice", L"INBOX", 3, 0, 0}};
    return status;
}

// `status` while the target is put back, waiting at most `seconds` more.
MigrationStatus restoring(MigrationStatus status, std::uint32_t seconds)
{
    status.puttingTargetBack = true;
    status.targetWaitSeconds = seconds;
    return status;
}

TEST(ProgressLine, FitsEachWidthCountsFirst)
{
    struct Case {
        const char* name;
        MigrationStatus status;
        std::int64_t seconds;
        unsigned columns;
        std::string line;
    } cases[] = {
        {"wide: the summary's words, the account in hand whole", midRun(), 185, 199,
            "3 min 05 s: accounts 6 of 8 done, 1 failed; messages 600 copied, 80 on the target "
            "already, 0 failed; Anna Lindqvist: INBOX 3 of 6 (and 1 more)"},
        {"80 columns: every count and the time, the account in hand cut short", midRun(), 185, 79,
            "3m05s: 6/8 accounts, 1 failed; 600 copied, 80 there, 0 failed; Anna Lindqvist"},
        {"80 columns after an hour: the account in hand cut short", midRun(), 4000, 79,
            "1h06m40s: 6/8 accounts, 1 failed; 600 copied, 80 there, 0 failed; Anna Lindq..."},
        {"80 columns with small counts: the account in hand whole", small(), 1, 79,
            "1s: 0/2 accounts, 0 failed; 0 copied, 0 there, 0 failed; alice: INBOX 0 of 3"},
        {"100 columns: a shorter form of the account in hand", midRun(), 185, 99,
            "3 min 05 s: accounts 6/8, 1 failed; messages 600 copied, 80 already there, 0 "
            "failed; Anna Lindqvist"},
        {"wide, logins still being tested", midRunTesting(), 12, 199,
            "12 s: accounts 6 of 8 done, 0 failed, 2 logins being tested; messages 600 copied, 80 "
            "on the target already, 0 failed"},
        {"80 columns, logins still being tested", midRunTesting(), 12, 79,
            "12s: 6/8 accounts, 0 failed, 2 in test; 600 copied, 80 there, 0 failed"},
        {"40 columns, logins still being tested: their clause last", midRunTesting(), 12, 39,
            "6/8, 0 failed; 600, 0 failed; 2 testing"},
        {"40 columns with small counts", small(), 1, 39, "0/2 done, 0 failed; 0 copied, 0 failed"},
        {"40 columns with large counts: both failed counts whole", large(), 4000, 39,
            "1200/1200, 3 failed; 1234567, 12 failed"},
        {"30 columns with large counts: whole clauses only", large(), 4000, 29,
            "1200/1200, 3 failed"},
        {"80 columns with large counts after an hour: the counts and the time alone", large(), 4000,
            79, "1h06m40s: 1200/1200 accounts, 3 failed; 1234567 copied, 76543 there, 12 failed"},
        {"a name beyond ASCII takes two columns a character", large(), 4000, 88,
            "1h06m40s: 1200/1200 accounts, 3 failed; 1234567 copied, 76543 there, 12 failed; "
            "\xE6\x9D\x8E\xE5\xB0\x8F..."},
        {"wide with a name beyond ASCII", large(), 4000, 119,
            "1 h 06 min 40 s: accounts 1200/1200, 3 failed; messages 1234567 copied, 76543 "
            "already there, 12 failed; \xE6\x9D\x8E\xE5\xB0\x8F\xE9\xBE\x99 Li"},
        // Putting the target back: what it waits for, in shorter words too.
        {"83 columns, putting back", restoring(midRun(), 35), 185, 82,
            "putting the target back: waiting for the administration service, at most 35 s more"},
        {"80 columns, putting back for at most an hour", restoring(midRun(), 3600), 185, 79,
            "putting the target back: waiting for the administration service, at most 3600 s"},
        {"70 columns, putting back", restoring(midRun(), 3600), 185, 69,
            "putting the target back: waiting for the server, at most 3600 s more"},
        {"20 columns, putting back", restoring(midRun(), 7), 185, 19, "restoring, 7 s"},
        {"putting back, nothing awaited", restoring(midRun(), 0), 185, 79,
            "putting the target back"},
        {"putting back, nothing awaited, 20 columns", restoring(midRun(), 0), 185, 19, "restoring"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string line = progressText(c.status, c.seconds, c.columns);
        EXPECT_EQ(c.line, line);
        EXPECT_LE(columnsOf(line), c.columns);
    }
}

// Across every width a terminal may have: never wider than the line, no
// count cut (every number on it is one of the run's, whole), both failed
// counts from 40 columns on, and the account in hand named from 80 on
// (with counts of millions, a little further).
TEST(ProgressLine, NeverCutsACountAtAnyWidth)
{
    const std::regex number("[0-9]+");
    MigrationStatus largeTesting = large();
    largeTesting.finishedAccounts = 1157;
    largeTesting.loginsInTest = 40;
    const std::pair<MigrationStatus, unsigned> statuses[] = {
        {midRun(), 79}, {midRunTesting(), 79}, {small(), 79}, {large(), 88}, {largeTesting, 100}};
    for (const auto& [status, namedFrom] : statuses) {
        // The time's, the counts', and the account in hand's.
        std::set<std::string> whole = {"1", "06", "40"};
        for (std::uint32_t n :
            {status.selectedAccounts, status.finishedAccounts, status.failedAccounts,
                status.finishedAccounts + status.failedAccounts, status.messagesDone,
                status.messagesAlreadyThere, status.messageErrors, status.loginsInTest})
            whole.insert(std::to_string(n));
        for (const auto& account : status.inProgress)
            for (std::uint32_t n : {account.messagesDone, account.folderMessages})
                whole.insert(std::to_string(n));
        whole.insert(std::to_string(status.inProgress.size() - 1));
        for (unsigned columns = 19; columns <= 200; ++columns) {
            SCOPED_TRACE(testing::Message() << status.messagesDone << " at " << columns);
            const std::string line = progressText(status, 4000, columns);
            EXPECT_LE(columnsOf(line), columns) << line;
            for (auto at = std::sregex_iterator(line.begin(), line.end(), number);
                 at != std::sregex_iterator(); ++at)
                EXPECT_EQ(1u, whole.count(at->str())) << at->str() << " cut in " << line;
            if (columns >= 39) {
                const auto failed = line.find(" failed");
                EXPECT_NE(std::string::npos, line.find(" failed", failed + 1)) << line;
            }
            if (columns >= namedFrom && !status.inProgress.empty()) {
                const std::string name
                    = tavir::migration::unicodeToUtf8(status.inProgress.front().fullName);
                EXPECT_NE(std::string::npos, line.find("; " + name.substr(0, 3))) << line;
            }
        }
    }
}

TEST(ProgressLine, TheLoginsTestShortensItsWordsToo)
{
    MigrationStatus status;
    status.accounts = 10;
    status.loginsTested = 3;
    status.loginsRefused = 1;
    const std::pair<unsigned, const char*> cases[] = {
        {79, "testing the accounts' logins on the source: 3 of 10 tested, 1 refused"},
        {41, "testing logins: 3 of 10 tested, 1 refused"},
        {40, "logins 3/10 tested, 1 refused"},
        {29, "logins 3/10 tested, 1 refused"},
        {25, "3/10 tested, 1 refused"},
        {19, "3/10 tested"},
    };
    for (const auto& [columns, line] : cases) {
        SCOPED_TRACE(columns);
        EXPECT_EQ(line, testProgressText(status, columns));
    }
}

// What the restore waits for (FitsEachWidthCountsFirst), its seconds never
// cut at any width.
TEST(ProgressLine, PuttingTheTargetBackNeverCutsItsSeconds)
{
    EXPECT_EQ("", puttingBackText(midRun(), 119)) << "not putting back";
    for (unsigned columns = 9; columns <= 200; ++columns) {
        SCOPED_TRACE(columns);
        const std::string line = puttingBackText(restoring(midRun(), 35), columns);
        EXPECT_LE(line.size(), columns);
        // Whole from the width of the shortest wording on, and never cut
        // below it.
        if (columns >= 15 || line.find_first_of("0123456789") != std::string::npos) {
            EXPECT_NE(std::string::npos, line.find("35 s")) << line;
        }
    }
}

// The run of midRun() with 30 accounts, none failed, `testing` logins in
// test.
MigrationStatus thirtyAccounts(std::uint32_t testing)
{
    MigrationStatus status = midRun();
    status.accounts = status.selectedAccounts = 30;
    status.finishedAccounts = 6;
    status.failedAccounts = 0;
    status.loginsInTest = testing;
    return status;
}

// What the README says of the progress line: its bullet on the terminal's
// lines, from "- on a terminal only" to the next bullet. Its examples are
// the lines indented as code, and the texts it quotes in double quotes.
std::vector<std::string> readmeExamples()
{
    const std::string readme = tavir::test::readFile(std::string(TAVIR_SOURCE_DIR) + "/README.md");
    std::vector<std::string> examples;
    std::string prose;
    bool inBullet = false;
    for (const std::string& line : tavir::test::linesOf(readme)) {
        if (line.rfind("- ", 0) == 0) {
            if (inBullet)
                break;
            inBullet = line.rfind("- on a terminal only", 0) == 0;
        }
        if (!inBullet)
            continue;
        const std::size_t text = line.find_first_not_of(' ');
        if (text == 6)
            examples.push_back(line.substr(text));
        else if (text != std::string::npos)
            prose += " " + line.substr(text);
    }
    const std::regex quoted("\"([^\"]+)\"");
    for (auto at = std::sregex_iterator(prose.begin(), prose.end(), quoted);
         at != std::sregex_iterator(); ++at)
        examples.push_back((*at)[1].str());
    return examples;
}

} // namespace

// Each phase at 120, 80 and 40 columns (a terminal's width less the column
// the cursor keeps): the logins tested before the run, a run with logins
// in test (one of them, in the singular), a run without, the account in
// hand with a long name and a short one. Every line the README quotes is
// one of them, drawn as it says.
TEST(ProgressLine, EachPhaseAtFortyEightyAndAHundredAndTwentyColumnsAsTheReadmeQuotesIt)
{
    MigrationStatus testing = thirtyAccounts(0);
    testing.inProgress.clear();
    testing.loginsTested = 12;
    testing.loginsRefused = 1;
    MigrationStatus shortName = thirtyAccounts(0);
    shortName.messagesDone = 1234;
    shortName.inProgress = {{L"Bo", L"Sent", 9, 1, 0}};
    struct Phase {
        const char* name;
        MigrationStatus status;
        bool beforeTheRun;
        std::string at120, at80, at40;
    } phases[] = {
        {"the logins tested before the run", testing, true,
            "testing the accounts' logins on the source: 12 of 30 tested, 1 refused",
            "testing the accounts' logins on the source: 12 of 30 tested, 1 refused",
            "logins 12/30 tested, 1 refused"},
        {"a run with logins in test", thirtyAccounts(6), false,
            "1 min 05 s: accounts 6/30, 0 failed, 6 logins in test; messages 600 copied, 80 "
            "already there, 0 failed; Anna Lindqvist",
            "1m05s: 6/30 accounts, 0 failed, 6 in test; 600 copied, 80 there, 0 failed",
            "6/30, 0 failed; 600, 0 failed"},
        {"a run with one login in test", thirtyAccounts(1), false,
            "1 min 05 s: accounts 6/30, 0 failed, 1 login in test; messages 600 copied, 80 already "
            "there, 0 failed; Anna Lindqvist",
            "1m05s: 6/30 accounts, 0 failed, 1 in test; 600 copied, 80 there, 0 failed",
            "6/30, 0 failed; 600, 0 failed"},
        {"a run without logins in test", thirtyAccounts(0), false,
            "1 min 05 s: accounts 6 of 30 done, 0 failed; messages 600 copied, 80 on the target "
            "already, 0 failed; Anna Lindqvist",
            "1m05s: 6/30 accounts, 0 failed; 600 copied, 80 there, 0 failed; Anna Lindqvist",
            "6/30, 0 failed; 600 copied, 0 failed"},
        {"the account in hand with a short name", shortName, false,
            "1 min 05 s: accounts 6 of 30 done, 0 failed; messages 1234 copied, 80 on the target "
            "already, 0 failed; Bo: Sent 1 of 9",
            "1m05s: 6/30 accounts, 0 failed; 1234 copied, 80 there, 0 failed; Bo: Sent 1/9",
            "6/30, 0 failed; 1234 copied, 0 failed"},
        {"the target put back", restoring(thirtyAccounts(0), 35), false,
            "putting the target back: waiting for the administration service, at most 35 s more",
            "putting the target back: waiting for the administration service, at most 35 s",
            "restoring the target, at most 35 s"},
    };
    std::set<std::string> drawn;
    for (const Phase& phase : phases) {
        SCOPED_TRACE(phase.name);
        for (const auto& [columns, line] : {std::pair(119u, phase.at120),
                 std::pair(79u, phase.at80), std::pair(39u, phase.at40)}) {
            SCOPED_TRACE(columns);
            const std::string text = phase.beforeTheRun ? testProgressText(phase.status, columns)
                                                        : progressText(phase.status, 65, columns);
            EXPECT_EQ(line, text);
            EXPECT_LE(columnsOf(text), columns);
            drawn.insert(text);
        }
    }
    const std::vector<std::string> examples = readmeExamples();
    // The bullet found, with its examples at each width of a run with
    // logins in test and of one without.
    EXPECT_GE(examples.size(), 6u);
    for (const std::string& example : examples)
        EXPECT_EQ(1u, drawn.count(example))
            << "the README quotes \"" << example << "\", which is drawn for none of its phases";
}
