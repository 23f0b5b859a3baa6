// How the copy of one folder sorts what goes wrong, against scripted source
// and target connections: a message that fails is tried once more on its
// own, then counted and skipped; a lost answer ends the copy with the rest
// counted; messages the source leaves out are counted; a stop ends the copy
// with the message in hand counted.
#include "Imap/engine/FolderCopy.h"

#include "EngineTestSupport.h"
#include "support/ScriptedImap.h"

#include <gtest/gtest.h>

using namespace tavir::migration;
using namespace tavir::test;
using tavir::mail::ImapClientResult;

namespace {

const char* const date = "17-Jul-1996 02:44:25 -0700";

// One message of a pipelined FETCH reply.
std::string piped(unsigned n)
{
    const std::string data = "body " + std::to_string(n);
    return "* " + std::to_string(n) + " FETCH (INTERNALDATE \"" + date
        + "\" FLAGS (\\Seen) BODY[] {" + std::to_string(data.size()) + "}\r\n" + data + ")\r\n";
}

// Message n fetched alone: its date and flags, then its body.
std::string alone(unsigned n)
{
    const std::string data = "body " + std::to_string(n);
    return "* " + std::to_string(n) + " FETCH (INTERNALDATE \"" + date
        + "\" FLAGS (\\Seen))\r\n%T OK\r\n* " + std::to_string(n) + " FETCH (BODY[] {"
        + std::to_string(data.size()) + "}\r\n" + data + ")\r\n%T OK\r\n";
}

const std::string loggedIn = scriptedGreeting + "%T OK LOGIN completed\r\n";
const std::string stored = "%T OK [APPENDUID 1 1] APPEND completed\r\n";
const std::string full = "%T NO [OVERQUOTA] full\r\n";

struct Case {
    const char* name;
    unsigned count;
    // What the source says on its first connection, and on a second one
    // after the first was given up (greeting and login included).
    std::string source, sourceAgain;
    std::string target, targetAgain;
    FolderCopy::End end;
    unsigned copied, failed;
    ImapClientResult code;
    // In the report, or "": the server's own line (tag and all) says why.
    const char* sentence;
};

TEST(FolderCopyTest, FailuresAreSortedIntoSkippedMessagesAndTheEndOfTheCopy)
{
    const Case cases[] = {
        {"every message in one run", 2, piped(1) + piped(2) + "a OK\r\n", "", stored + stored, "",
            FolderCopy::End::Completed, 2, 0, tavir::mail::ImapSuccess, ""},
        {"refused twice: counted and skipped, the next run goes on", 3,
            piped(1) + piped(2) + piped(3) + "a OK\r\n",
            loggedIn + alone(2) + piped(3) + "a OK\r\n", stored + full + full + stored, "",
            FolderCopy::End::Completed, 2, 1, tavir::mail::ImapSuccess,
            "Message 2 of folder \"F\" was not copied (error code 9): K3 NO [OVERQUOTA] full."},
        {"refused once: the second try goes through", 2, piped(1) + piped(2) + "a OK\r\n",
            loggedIn + alone(2), stored + full + stored, "", FolderCopy::End::Completed, 2, 0,
            tavir::mail::ImapSuccess, ""},
        {"the answer to an append is lost: the rest is counted, nothing is sent again", 3,
            piped(1) + piped(2) + piped(3) + "a OK\r\n", "", stored, "", FolderCopy::End::Fatal, 1,
            2, tavir::mail::ImapConnectionError, ""},
        {"the source leaves a message out", 3, piped(1) + piped(2) + "a OK\r\n", "",
            stored + stored, "", FolderCopy::End::Completed, 2, 1, tavir::mail::ImapSuccess,
            "The source server sent 2 of messages 1 to 3 of folder \"F\"; the other 1 are counted "
            "as failed."},
        {"the source refuses the body of one message everywhere", 2,
            "* 1 FETCH (FLAGS () BODY[] NIL)\r\n" + piped(2) + "a OK\r\n",
            loggedIn + "* 1 FETCH (INTERNALDATE \"" + date
                + "\" FLAGS ())\r\n%T OK\r\n%T NO gone\r\n" + piped(2) + "a OK\r\n",
            stored, "", FolderCopy::End::Completed, 1, 1, tavir::mail::ImapSuccess,
            "Message 1 of folder \"F\" was not copied (error code 14): K3 NO gone."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempLogs logs;
        LoggedInClient source(c.source);
        LoggedInClient target(c.target);
        source.server.addSession(c.sourceAgain);
        target.server.addSession(loggedIn + c.targetAgain);
        source.client.setReadTimeoutMs(200);
        target.client.setReadTimeoutMs(200);
        target.client.getConnection().setTimeoutMs(200);
        Logger log;
        unsigned progress = 0;
        FolderCopy copy(
            source.client, target.client, log, [] { return false; },
            [&](const FolderCopy::Tally&) { ++progress; });
        MigrationFolder folder;
        folder.sourceName = folder.targetName = L"F";
        FolderCopy::Tally tally;
        const FolderCopy::Outcome outcome = copy.copy(folder, c.count, tally);
        log.flush();
        EXPECT_EQ(c.end, outcome.end);
        EXPECT_EQ(c.copied, tally.copied);
        EXPECT_EQ(c.failed, tally.failed);
        EXPECT_GE(progress, 1u);
        if (c.end == FolderCopy::End::Fatal) {
            EXPECT_EQ(c.code, outcome.code);
            EXPECT_EQ(
                0u, outcome.sentence.find(L"The copy of folder \"F\" ended at message 2 of 3"))
                << unicodeToUtf8(outcome.sentence);
        }
        if (*c.sentence) {
            EXPECT_NE(std::string::npos, logs.report().find(c.sentence)) << logs.report();
        }
    }
}

TEST(FolderCopyTest, AStopEndsTheCopyAfterTheMessageInHand)
{
    TempLogs logs;
    LoggedInClient source(piped(1) + piped(2) + "a OK\r\n");
    LoggedInClient target(stored + stored);
    Logger log;
    // Asked before the run (no stop yet), then after it.
    int asked = 0;
    FolderCopy copy(
        source.client, target.client, log, [&] { return asked++ > 0; },
        [](const FolderCopy::Tally&) {});
    source.client.abort();
    MigrationFolder folder;
    folder.sourceName = folder.targetName = L"F";
    FolderCopy::Tally tally;
    EXPECT_EQ(FolderCopy::End::Stopped, copy.copy(folder, 2, tally).end);
    EXPECT_EQ(1u, tally.copied);
    EXPECT_EQ(0u, tally.failed);
}

} // namespace
