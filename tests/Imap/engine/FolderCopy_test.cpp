// How the copy of one folder sorts what goes wrong, against scripted source
// and target connections: a message that fails (refused inside the window of
// APPENDs in flight, say) is tried once more on its own, then counted and
// skipped; answers lost with the connection end the copy with those
// messages counted as failed and named; messages the source leaves out are
// counted; a stop ends the copy with the message in hand counted.
#include "Imap/engine/FolderCopy.h"
#include "Imap/engine/FolderResume.h"

#include "EngineTestSupport.h"
#include "support/ScriptedImap.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

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

// Message n's reply broken off inside its body: the script ends there, and
// the client's next read times out.
std::string silentIn(unsigned n)
{
    return "* " + std::to_string(n) + " FETCH (INTERNALDATE \"" + date
        + "\" FLAGS () BODY[] {20}\r\nbody";
}

// The replies of a folder selected with `count` messages; UIDs from 1.
std::string selected(unsigned count, unsigned validity = 7, unsigned next = 0)
{
    return tavir::test::selectReplies(count, validity, next != 0 ? next : count + 1);
}

// Message n of a pipelined FETCH, with its UID; its body names the UID, so
// that the bodies appended say which messages they were.
std::string pipedUid(unsigned n, unsigned uid)
{
    const std::string data = "body " + std::to_string(uid);
    return "* " + std::to_string(n) + " FETCH (UID " + std::to_string(uid) + " INTERNALDATE \""
        + date + "\" FLAGS (\\Seen) BODY[] {" + std::to_string(data.size()) + "}\r\n" + data
        + ")\r\n";
}

// Messages first to last of a pipelined FETCH, numbered from `number`.
std::string pipedUids(unsigned number, unsigned first, unsigned last)
{
    std::string replies;
    for (unsigned uid = first; uid <= last; ++uid)
        replies += pipedUid(number++, uid);
    return replies;
}

// The answer to UID FETCH: message n has uids[n - first].
std::string uidsFrom(unsigned first, const std::vector<unsigned>& uids)
{
    std::string replies;
    for (unsigned uid : uids)
        replies += "* " + std::to_string(first++) + " FETCH (UID " + std::to_string(uid) + ")\r\n";
    return replies + "%T OK\r\n";
}

const std::string loggedIn = scriptedGreeting + "%T OK LOGIN completed\r\n";
const std::string stored = "%T OK [APPENDUID 1 1] APPEND completed\r\n";
const std::string full = "%T NO [OVERQUOTA] full\r\n";
const std::string done = "%T OK\r\n";

// The numbers of the bodies the target was sent, in order: "1,3,2".
std::string appendedBodies(const std::string& sent)
{
    std::string order;
    for (std::size_t at = sent.find("\r\nbody "); at != std::string::npos;
         at = sent.find("\r\nbody ", at + 1)) {
        std::size_t from = at + 7;
        order += (order.empty() ? "" : ",")
            + sent.substr(from, sent.find_first_not_of("0123456789", from) - from);
    }
    return order;
}

struct CopyCase {
    const char* name;
    unsigned count;
    // What the source says on its first connection, and on a second one
    // after the first was given up (greeting and login included).
    std::string source, sourceAgain;
    std::string target;
    FolderCopy::End end;
    unsigned copied, failed, notReached;
    // The bodies the target was sent, in order.
    const char* appended;
    // For Fatal: its code and where it ended.
    ImapClientResult code;
    unsigned endedAt;
    // In the report (or, when it starts with "debug: ", the debug log), or "".
    const char* sentence;
    // For Fatal: the server whose failure ended the copy.
    tavir::mail::Side side = tavir::mail::Side::Source;
    // The source begins with the reply to the SELECT of "F" (selected()).
    bool select = false;
    // The folder's count as the copy ends, where it changed.
    unsigned endCount = 0;
    // What the source was asked for on its second connection, after the
    // login, or "".
    const char* askedAgain = "";
    // Writes the second connection takes before the next fails (-1: all),
    // and what the source says on a third connection then.
    int writesAgain = -1;
    std::string sourceThird = "";
    // Removed from the source during the copy.
    unsigned removed = 0;
};

TEST(FolderCopyTest, FailuresAreSortedIntoSkippedMessagesAndTheEndOfTheCopy)
{
    using End = FolderCopy::End;
    const auto ok = tavir::mail::ImapSuccess;
    const CopyCase cases[] = {
        {"every message in one run", 2, piped(1) + piped(2) + done, "", stored + stored,
            End::Completed, 2, 0, 0, "1,2", ok, 0, ""},
        {"refused inside the window, then once more alone: counted and skipped; the run goes on", 3,
            piped(1) + piped(2) + piped(3) + done + piped(2) + done, "",
            stored + full + stored + full, End::Completed, 2, 1, 0, "1,2,3,2", ok, 0,
            "Message 2 of folder \"F\" was not copied (error code 9): appending to the target "
            "failed: K4 NO [OVERQUOTA] full."},
        {"refused once: the second try goes through", 2,
            piped(1) + piped(2) + done + piped(2) + done, "", stored + full + stored,
            End::Completed, 2, 0, 0, "1,2,2", ok, 0, ""},
        {"answers outstanding are lost: those messages fail, nothing is sent again", 3,
            piped(1) + piped(2) + piped(3) + done, "", stored, End::Fatal, 1, 2, 0, "1,2,3",
            tavir::mail::ImapConnectionError, 2,
            "The target's answers to messages 2, 3 of folder \"F\" were lost: the messages may be "
            "on the target, where a later run finds them.",
            tavir::mail::Side::Target},
        {"the source leaves a message out: asked for alone, then counted", 3,
            piped(1) + piped(2) + done + done, "", stored + stored, End::Completed, 2, 1, 0, "1,2",
            ok, 0,
            "Message 3 of folder \"F\" was not copied (error code 14): the source server's "
            "answer holds no message 3."},
        {"the source refuses the body of one message everywhere", 2,
            "* 1 FETCH (FLAGS () BODY[] NIL)\r\n" + piped(2) + done + "%T NO gone\r\n", "", stored,
            End::Completed, 1, 1, 0, "2", ok, 0,
            "Message 1 of folder \"F\" was not copied (error code 14): K2 NO gone."},
        // Another session expunged a message between its count and its copy:
        // gone, which the source says on the tagged line of its answer
        // (EXPUNGEISSUED), with NIL for the body or nothing; the message,
        // asked for alone, is removed, not failed.
        {"a message another session removed, NIL for its body: asked for alone, removed", 3,
            piped(1) + "* 2 FETCH (FLAGS (\\Deleted) BODY[] NIL)\r\n" + piped(3)
                + "%T OK [EXPUNGEISSUED] Some messages were already expunged\r\n"
                + "* 2 FETCH (FLAGS (\\Deleted) BODY[] NIL)\r\n"
                + "%T OK [EXPUNGEISSUED] Some messages were already expunged\r\n",
            "", stored + stored, End::Completed, 2, 0, 0, "1,3", ok, 0,
            "Message 2 of folder \"F\" was removed from the source during the run: another "
            "session expunged it before it was copied.",
            tavir::mail::Side::Source, false, 0, "", -1, "", 1},
        {"a message another session removed, nothing for it: asked for alone, removed", 3,
            piped(1) + piped(3) + "%T NO [EXPUNGEISSUED] Some messages no longer exist\r\n"
                + "%T NO [EXPUNGEISSUED] Some messages no longer exist\r\n",
            "", stored + stored, End::Completed, 2, 0, 0, "1,3", ok, 0,
            "Message 2 of folder \"F\" was removed from the source during the run",
            tavir::mail::Side::Source, false, 0, "", -1, "", 1},
        {"gone in the run, there again alone: copied", 3,
            piped(1) + piped(3) + "%T NO [EXPUNGEISSUED] Some messages no longer exist\r\n"
                + piped(2) + done,
            "", stored + stored + stored, End::Completed, 3, 0, 0, "1,3,2", ok, 0, ""},
        // An EXPUNGE of a message not yet copied, inside the answer: its UID
        // is not found again, and it is named as removed.
        {"a message another session removed, its EXPUNGE in the answer: removed", 3,
            selected(3) + pipedUid(1, 1) + "* 2 EXPUNGE\r\n" + pipedUid(2, 3) + done
                + "* 2 FETCH (UID 3)\r\n" + done,
            "", stored + stored, End::Completed, 2, 0, 0, "1,3", ok, 0,
            "Message 2 of folder \"F\" was removed from the source during the run: another "
            "session expunged it before it was copied.",
            tavir::mail::Side::Source, true, 0, "", -1, "", 1},
        {"a stray body is dropped", 2, piped(1) + piped(999) + piped(2) + done, "", stored + stored,
            End::Completed, 2, 0, 0, "1,2", ok, 0,
            "debug: In folder \"F\", the source server sent a body for message 999, which was not "
            "asked for; it was read and dropped."},
        {"a body twice and the last never: the second is dropped, the last asked for alone", 3,
            piped(1) + piped(1) + piped(2) + done + piped(3) + done, "", stored + stored + stored,
            End::Completed, 3, 0, 0, "1,2,3", ok, 0,
            "debug: In folder \"F\", the source server sent a second body for message 1; it was "
            "read and dropped."},
        {"a number passed over is asked for alone", 3, piped(1) + piped(3) + done + piped(2) + done,
            "", stored + stored + stored, End::Completed, 3, 0, 0, "1,3,2", ok, 0,
            "debug: The source server sent no answer for message 2 of folder \"F\" in a run; it is "
            "tried once more on its own."},
        {"a source silent inside a body: that message is not asked for again", 3,
            piped(1) + silentIn(2), loggedIn + piped(3) + done, stored + stored, End::Completed, 2,
            1, 0, "1,3", ok, 0,
            "Message 2 of folder \"F\" was not copied: connection to scripted:143 timed out"},
        {"a source silent between two messages: the next one is not asked for again", 3, piped(1),
            loggedIn + piped(3) + done, stored + stored, End::Completed, 2, 1, 0, "1,3", ok, 0,
            "Message 2 of folder \"F\" was not copied: connection to scripted:143 timed out"},
        {"a source silent twice ends the copy", 3, piped(1) + silentIn(2), loggedIn + silentIn(3),
            stored, End::Fatal, 1, 2, 0, "1", tavir::mail::ImapConnectionError, 3,
            "Message 3 of folder \"F\" was not copied: connection to scripted:143 timed out"},
        // The source falls silent inside message 5 of 10 while another client
        // expunges message 2: selected again, the folder counts 9, and the
        // messages after 5 are found again by their UIDs, each copied once.
        {"a source silent while a message is expunged: the rest found again by UID", 10,
            selected(10) + pipedUids(1, 1, 4) + "* 5 FETCH (UID 5 BODY[] {20}\r\nbody",
            loggedIn + selected(9, 7, 11) + uidsFrom(5, {6, 7, 8, 9, 10}) + pipedUids(5, 6, 10)
                + done,
            stored + stored + stored + stored + stored + stored + stored + stored + stored,
            End::Completed, 9, 1, 0, "1,2,3,4,6,7,8,9,10", ok, 0,
            "Message 5 of folder \"F\" was not copied: connection to scripted:143 timed out",
            tavir::mail::Side::Source, true, 10,
            "SELECT \"F\"\r\nUID FETCH 6:* (UID)\r\nFETCH 5:9 (UID INTERNALDATE FLAGS "
            "BODY.PEEK[])\r\n"},
        {"an EXPUNGE among the UIDs: they are asked for again", 10,
            selected(10) + pipedUids(1, 1, 4) + "* 5 FETCH (UID 5 BODY[] {20}\r\nbody",
            loggedIn + selected(9, 7, 11) + "* 2 EXPUNGE\r\n" + uidsFrom(4, {6, 7, 8, 9, 10})
                + uidsFrom(4, {6, 7, 8, 9, 10}) + pipedUids(4, 6, 10) + done,
            stored + stored + stored + stored + stored + stored + stored + stored + stored,
            End::Completed, 9, 1, 0, "1,2,3,4,6,7,8,9,10", ok, 0,
            "debug: The source server numbers the messages of folder \"F\" otherwise than when "
            "they were counted (it said messages were expunged, or a new connection found the "
            "folder changed): of the 5 not yet copied, 5 are found again",
            tavir::mail::Side::Source, true, 10,
            "SELECT \"F\"\r\nUID FETCH 6:* (UID)\r\nUID FETCH 6:* (UID)\r\nFETCH 4:8 (UID "
            "INTERNALDATE FLAGS BODY.PEEK[])\r\n"},
        {"the same with messages expunged after it: those are removed", 10,
            selected(10) + pipedUids(1, 1, 4) + "* 5 FETCH (UID 5 BODY[] {20}\r\nbody",
            loggedIn + selected(7, 7, 11) + uidsFrom(5, {6, 8, 10}) + pipedUid(5, 6)
                + pipedUid(6, 8) + pipedUid(7, 10) + done,
            stored + stored + stored + stored + stored + stored + stored, End::Completed, 7, 1, 0,
            "1,2,3,4,6,8,10", ok, 0,
            "2 messages of folder \"F\" were removed from the source during the run: another "
            "session expunged them before they were copied.",
            tavir::mail::Side::Source, true, 10, "", -1, "", 2},
        {"every message left was expunged: only the folder's last, copied before, is named", 10,
            selected(10) + pipedUids(1, 1, 4) + "* 5 FETCH (UID 5 BODY[] {20}\r\nbody",
            loggedIn + selected(5, 7, 11) + uidsFrom(5, {5}), stored + stored + stored + stored,
            End::Completed, 4, 1, 0, "1,2,3,4", ok, 0,
            "debug: of the 5 not yet copied, 0 are found again by their UIDs and 5 are no longer "
            "there (removed from the source, which is no failure); 0 arrived. The folder counts "
            "10 messages now.",
            tavir::mail::Side::Source, true, 10, "SELECT \"F\"\r\nUID FETCH 6:* (UID)\r\n", -1, "",
            5},
        {"selected again under another UIDVALIDITY: the rest is left to the next run", 10,
            selected(10) + pipedUids(1, 1, 4) + "* 5 FETCH (UID 5 BODY[] {20}\r\nbody",
            loggedIn + selected(10, 8, 11), stored + stored + stored + stored, End::Unfinished, 4,
            1, 5, "1,2,3,4", ok, 0,
            "The source server numbered the messages of folder \"F\" anew (UIDVALIDITY 7, then "
            "8) while its connection was re-established: 5 messages not yet copied are not "
            "reached, and the next run compares the folder with the target.",
            tavir::mail::Side::Source, true, 0, "SELECT \"F\"\r\n"},
        // The second connection finds the folder renumbered; its first UID
        // FETCH meets an EXPUNGE, and the one asked again finds the
        // connection lost: the third selects the folder under another
        // UIDVALIDITY, whose UIDs place no message of the first.
        {"selected again under another UIDVALIDITY inside the UID look-up: the rest is left to "
         "the next run",
            10, selected(10) + pipedUids(1, 1, 4) + "* 5 FETCH (UID 5 BODY[] {20}\r\nbody",
            loggedIn + selected(9, 7, 11) + "* 2 EXPUNGE\r\n" + uidsFrom(4, {6, 7, 8, 9, 10}),
            stored + stored + stored + stored, End::Unfinished, 4, 1, 5, "1,2,3,4", ok, 0,
            "The source server numbered the messages of folder \"F\" anew (UIDVALIDITY 7, then "
            "8) while its connection was re-established: 5 messages not yet copied are not "
            "reached, and the next run compares the folder with the target.",
            tavir::mail::Side::Source, true, 0, "SELECT \"F\"\r\nUID FETCH 6:* (UID)\r\n", 3,
            loggedIn + selected(10, 8, 11) + uidsFrom(6, {6, 7, 8, 9, 10}) + pipedUids(6, 6, 10)
                + done},
        // Every FETCH is answered with an EXPUNGE and nothing else, while
        // the UIDs show every message still there.
        {"every answer numbers the folder otherwise: found again three times, then failed", 3,
            selected(3) + "* 3 EXPUNGE\r\n" + done + uidsFrom(1, {1, 2, 3}) + "* 3 EXPUNGE\r\n"
                + done + uidsFrom(1, {1, 2, 3}) + "* 3 EXPUNGE\r\n" + done,
            "", "", End::Unfinished, 0, 3, 0, "", ok, 0,
            "Messages 1 (UID 1), 2 (UID 2), 3 (UID 3) of folder \"F\" were not copied (error code "
            "14): the source server numbered the folder's messages otherwise the last 3 times "
            "they were asked for, and sent none of them.",
            tavir::mail::Side::Source, true},
        {"mail arrives during the copy: it is copied at its end", 3,
            selected(3) + pipedUids(1, 1, 2) + "* 5 EXISTS\r\n" + pipedUid(3, 3) + done
                + pipedUids(4, 4, 5) + done,
            "", stored + stored + stored + stored + stored, End::Completed, 5, 0, 0, "1,2,3,4,5",
            ok, 0, "debug: 2 new messages arrived in folder \"F\" during its copy",
            tavir::mail::Side::Source, true, 5},
    };
    for (const CopyCase& c : cases) {
        SCOPED_TRACE(c.name);
        TempLogs logs;
        LoggedInClient source(c.source);
        LoggedInClient target(c.target);
        source.server.addSession(c.sourceAgain)->writesLeft = c.writesAgain;
        source.server.addSession(c.sourceThird);
        source.client.setReadTimeoutMs(200);
        target.client.setReadTimeoutMs(200);
        target.client.getConnection().setTimeoutMs(200);
        Logger log;
        std::set<unsigned> heard; // the copied counts the progress told
        unsigned timeouts = 0;
        FolderCopy copy(
            source.client, target.client, log, [] { return false; },
            [&](const FolderCopy::Tally& now, unsigned) { heard.insert(now.copied); }, timeouts);
        MigrationFolder folder;
        folder.sourceName = folder.targetName = L"F";
        if (c.select) {
            unsigned count = 0;
            ASSERT_EQ(tavir::mail::ImapSuccess, source.client.select(L"F", count));
            ASSERT_EQ(c.count, count);
        }
        FolderCopy::Tally tally;
        const FolderCopy::Outcome outcome = copy.copy(folder, c.count, tally);
        log.flush();
        EXPECT_EQ(c.end, outcome.end);
        EXPECT_EQ(c.copied, tally.copied);
        EXPECT_EQ(c.failed, tally.failed);
        EXPECT_EQ(c.notReached, tally.notReached);
        EXPECT_EQ(c.removed, tally.removed);
        const unsigned endCount = c.endCount != 0 ? c.endCount : c.count;
        EXPECT_EQ(endCount, copy.count());
        EXPECT_EQ(endCount,
            tally.copied + tally.failed + tally.notReached + tally.present + tally.removed);
        if (*c.askedAgain != '\0') {
            const std::string again = withoutTags(source.server.sessions[1]->clientBytes);
            EXPECT_EQ(c.askedAgain, again.substr(again.find("\r\n") + 2));
        }
        EXPECT_EQ(c.appended, appendedBodies(target.session->clientBytes));
        EXPECT_FALSE(heard.empty());
        // Each message is told as the target takes it, not when its run ends.
        for (unsigned n = 1; n <= c.copied; ++n)
            EXPECT_EQ(1u, heard.count(n)) << n;
        if (c.end == FolderCopy::End::Fatal) {
            EXPECT_EQ(c.code, outcome.failure.code);
            EXPECT_EQ(c.side, outcome.failure.side);
            const std::string where = "The copy of folder \"F\" ended at message "
                + std::to_string(c.endedAt) + " of 3";
            EXPECT_EQ(0u, outcome.failure.why.find(where)) << outcome.failure.why;
        }
        const std::string sentence = c.sentence;
        if (sentence.rfind("debug: ", 0) == 0) {
            EXPECT_NE(std::string::npos, logs.debug().find(sentence.substr(7))) << logs.debug();
        } else if (!sentence.empty()) {
            EXPECT_NE(std::string::npos, logs.report().find(sentence)) << logs.report();
        }
    }
}

TEST(FolderCopyTest, AStopEndsTheCopyAfterTheMessageInHand)
{
    TempLogs logs;
    LoggedInClient source(piped(1) + piped(2) + done);
    LoggedInClient target(stored + stored);
    Logger log;
    // Asked before the run (no stop yet), then after it.
    int asked = 0;
    unsigned timeouts = 0;
    FolderCopy copy(
        source.client, target.client, log, [&] { return asked++ > 0; },
        [](const FolderCopy::Tally&, unsigned) {}, timeouts);
    source.client.abort();
    MigrationFolder folder;
    folder.sourceName = folder.targetName = L"F";
    FolderCopy::Tally tally;
    EXPECT_EQ(FolderCopy::End::Stopped, copy.copy(folder, 2, tally).end);
    EXPECT_EQ(1u, tally.copied);
    EXPECT_EQ(0u, tally.failed);
    EXPECT_EQ(1u, tally.notReached);

    // A stop that cuts the copy in hand short (its connection shut): the
    // failure is the stop's, and the message in hand is not reached.
    LoggedInClient cutSource(piped(1) + silentIn(2));
    LoggedInClient cutTarget(stored);
    asked = 0;
    FolderCopy cut(
        cutSource.client, cutTarget.client, log, [&] { return asked++ > 0; },
        [](const FolderCopy::Tally&, unsigned) {}, timeouts);
    FolderCopy::Tally cutTally;
    EXPECT_EQ(FolderCopy::End::Stopped, cut.copy(folder, 3, cutTally).end);
    EXPECT_EQ(1u, cutTally.copied);
    EXPECT_EQ(0u, cutTally.failed);
    EXPECT_EQ(2u, cutTally.notReached);
    EXPECT_EQ(0u, timeouts);
}

// Where the messages not yet copied are once the source numbers the folder
// anew: found by their UIDs where they are known, told apart by order where
// as many are found as there were and none can have arrived, all copied
// where every message of a stretch was left, and lost (left to the next
// run) where settled messages without a known UID can't be told from them.
TEST(FolderCopyTest, TheMessagesLeftAreFoundAgainByTheirUids)
{
    using Found = std::vector<tavir::mail::SimpleImapClient::NumberedUid>;
    using Numbers = std::vector<unsigned>;
    // Old numbers 1 to `count`, `from` and below settled, known UIDs
    // `uids` (old number, UID), the bound at (10, 11) unless said.
    struct Case {
        const char* name;
        unsigned count;
        std::set<unsigned> left;
        std::map<unsigned, std::uint32_t> uids;
        unsigned from;
        Found found;
        Numbers pending;
        std::map<unsigned, unsigned> originals;
        Numbers lost;
        unsigned gone, arrived;
        bool bound = true;
        Numbers goneNamed = {}; // of the gone, those known one by one
    };
    auto uidsUpTo = [](unsigned last) {
        std::map<unsigned, std::uint32_t> uids;
        for (unsigned n = 1; n <= last; ++n)
            uids[n] = n;
        return uids;
    };
    const Case cases[] = {
        {"message 2 expunged below: the rest in order", 10, {6, 7, 8, 9, 10}, uidsUpTo(5), 5,
            {{5, 6}, {6, 7}, {7, 8}, {8, 9}, {9, 10}}, {5, 6, 7, 8, 9},
            {{5, 6}, {6, 7}, {7, 8}, {8, 9}, {9, 10}}, {}, 0, 0},
        {"one of those left expunged: the others copied, their old numbers unknown", 10,
            {6, 7, 8, 9, 10}, uidsUpTo(5), 5, {{6, 6}, {7, 7}, {8, 9}, {9, 10}}, {6, 7, 8, 9}, {},
            {}, 1, 0},
        {"a message left with a known UID is found by it", 10, {5, 6, 7, 8, 9, 10}, uidsUpTo(5), 4,
            {{4, 5}, {5, 6}, {6, 7}, {7, 8}, {8, 9}, {9, 10}}, {4, 5, 6, 7, 8, 9},
            {{4, 5}, {5, 6}, {6, 7}, {7, 8}, {8, 9}, {9, 10}}, {}, 0, 0},
        {"or is gone", 6, {5, 6}, uidsUpTo(5), 4, {{5, 6}}, {5}, {{5, 6}}, {}, 1, 0, true, {5}},
        {"every message of a stretch gone: each known", 10, {6, 7, 8, 9, 10}, uidsUpTo(5), 5, {},
            {}, {}, {}, 5, 0, true, {6, 7, 8, 9, 10}},
        {"a settled message without a UID among them, as many found: told apart by order", 10,
            {6, 8, 9, 10}, uidsUpTo(5), 5, {{6, 6}, {7, 7}, {8, 8}, {9, 9}, {10, 10}},
            {6, 8, 9, 10}, {{6, 6}, {8, 8}, {9, 9}, {10, 10}}, {}, 0, 0},
        {"and one of them expunged: they can't be told apart", 10, {6, 8, 9, 10}, uidsUpTo(5), 5,
            {{6, 6}, {7, 7}, {8, 8}, {9, 10}}, {}, {}, {6, 8, 9, 10}, 0, 0},
        {"mail that arrived after the SELECT is copied", 10, {9, 10}, uidsUpTo(8), 8,
            {{9, 9}, {10, 10}, {11, 11}, {12, 12}}, {9, 10, 11, 12}, {{9, 9}, {10, 10}}, {}, 0, 2},
        {"without a bound, expunged and arrived mix after the last known UID: all copied", 10,
            {9, 10}, uidsUpTo(8), 8, {{9, 10}, {10, 11}, {11, 12}}, {9, 10, 11}, {}, {}, 0, 1,
            false},
        {"after it, a settled message without a UID: its place can't be told", 10, {9}, uidsUpTo(8),
            8, {{9, 9}, {10, 11}}, {}, {}, {9}, 0, 0, false},
        {"UIDs that do not ascend tell nothing", 10, {9, 10}, {{1, 1}, {6, 9}, {7, 3}}, 6,
            {{9, 9}, {10, 10}}, {}, {}, {9, 10}, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        OldNumbering old;
        old.count = c.count;
        old.left = c.left;
        old.uids = c.uids;
        old.from = c.from;
        old.fromUid = c.uids.count(c.from) ? c.uids.at(c.from) + 1 : 1;
        if (c.bound) {
            old.boundNumber = 10;
            old.boundUid = 11;
        }
        const NewNumbering anew = renumberByUid(old, c.found);
        EXPECT_EQ(c.pending, anew.pending);
        EXPECT_EQ(c.originals, anew.originals);
        EXPECT_EQ(c.lost, anew.lost);
        EXPECT_EQ(c.gone, anew.gone);
        EXPECT_EQ(c.goneNamed, anew.goneNamed);
        EXPECT_EQ(c.arrived, anew.arrived);
    }
}

// The numbering a copy holds: the SELECT's, where the messages left are
// looked for again (from the last settled message before them whose UID is
// known), and, once the messages were found again by their UIDs (once or
// twice), each named by its number at the SELECT and its UID, or by its
// UID alone where that number can't be known.
TEST(FolderCopyTest, TheNumberingNamesEachMessageAsItWasSelected)
{
    using Found = std::vector<tavir::mail::SimpleImapClient::NumberedUid>;
    using Uids = std::map<unsigned, std::uint32_t>;
    struct Finding {
        std::set<unsigned> left;
        Found found;
        unsigned counted;
    };
    struct Case {
        const char* name;
        std::uint32_t uidValidity; // the SELECT's, of 10 messages below UID 11
        Uids noted;
        unsigned arrivedUpTo; // mail taken in (0: none)
        std::vector<Finding> findings;
        // Then, for the messages left `left`: what renumberByUid is given.
        std::set<unsigned> left;
        unsigned from;
        std::uint32_t fromUid;
        unsigned count, boundNumber;
        std::uint32_t boundUid;
        // How `named` are named.
        std::vector<unsigned> named;
        const wchar_t* labels;
    };
    auto uidsUpTo = [](unsigned last) {
        Uids uids;
        for (unsigned n = 1; n <= last; ++n)
            uids[n] = n;
        return uids;
    };
    // Message 2 (UID 2) expunged, the messages after it one lower.
    const Finding secondGone{{6, 7, 8, 9, 10}, {{5, 6}, {6, 7}, {7, 8}, {8, 9}, {9, 10}}, 9};
    const Case cases[] = {
        {"the SELECT's numbers name themselves", 7, {{1, 1}, {2, 2}, {3, 3}, {5, 5}}, 0, {},
            {4, 6, 7}, 3, 4, 10, 10, 11, {4, 6}, L"4, 6"},
        {"no UID known: looked for from the start", 7, {}, 0, {}, {1, 2}, 0, 1, 10, 10, 11, {1},
            L"1"},
        {"mail taken in raises the count, not the bound", 7, uidsUpTo(10), 12, {}, {11, 12}, 10, 11,
            12, 10, 11, {11}, L"11"},
        {"found again: the number at the SELECT and the UID", 7, uidsUpTo(5), 0, {secondGone},
            {7, 8, 9}, 6, 8, 9, 9, 11, {5, 6, 9}, L"6 (UID 6), 7 (UID 7), 10 (UID 10)"},
        {"found again twice: still the number at the SELECT", 7, uidsUpTo(5), 0,
            {secondGone, {{5, 6, 7, 8, 9}, {{4, 6}, {5, 7}, {6, 8}, {7, 9}, {8, 10}}, 8}},
            {6, 7, 8}, 5, 8, 8, 8, 11, {4, 8}, L"6 (UID 6), 10 (UID 10)"},
        {"a message whose number can't be known: its UID", 7, uidsUpTo(5), 0,
            {{{6, 7, 8, 9, 10}, {{6, 6}, {7, 7}, {8, 9}, {9, 10}}, 9}}, {6, 7, 8, 9}, 0, 1, 9, 9,
            11, {6, 8}, L"with UID 6, with UID 9"},
        {"no UIDVALIDITY said", 0, {}, 0, {}, {1}, 0, 1, 10, 10, 11, {1}, L"1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FolderNumbering numbering(c.uidValidity, 10, 11);
        for (const auto& [number, uid] : c.noted)
            numbering.noteUid(number, uid);
        if (c.arrivedUpTo != 0)
            numbering.takeIn(c.arrivedUpTo);
        for (const Finding& f : c.findings) {
            const OldNumbering old = numbering.before(f.left);
            numbering.foundAgain(old, renumberByUid(old, f.found), f.found, f.counted);
        }
        EXPECT_EQ(c.uidValidity != 0, numbering.sameUidSeries(7));
        EXPECT_FALSE(numbering.sameUidSeries(8));
        EXPECT_FALSE(numbering.sameUidSeries(0));
        const OldNumbering old = numbering.before(c.left);
        EXPECT_EQ(c.left, old.left);
        EXPECT_EQ(c.from, old.from);
        EXPECT_EQ(c.fromUid, old.fromUid);
        EXPECT_EQ(c.count, old.count);
        EXPECT_EQ(c.count, numbering.highest());
        EXPECT_EQ(c.boundNumber, old.boundNumber);
        EXPECT_EQ(c.boundUid, old.boundUid);
        EXPECT_EQ(std::wstring(c.labels), numbering.labels(c.named));
    }
}

// Which messages a folder copied in part before still lacks: matched on
// size, date and Message-ID, as a multiset; where those can't tell the
// messages apart, on both sides by their digests too. Then what is left
// over where a source gives a size other than the body's, or a date that
// can't be read: paired by the digests, or by a Message-ID held once on
// each side; a second round of digests only where that can pair messages.
TEST(FolderResumeTest, TheTargetAccountsForOneSourceMessageEach)
{
    using tavir::mail::MessageSummary;
    auto m = [](unsigned size, const char* id = "", std::int64_t instant = 100,
                 const char* digest = "") {
        MessageSummary s;
        s.known = true;
        s.size = size;
        s.instant = instant;
        s.messageId = id;
        s.digest = digest;
        return s;
    };
    // A message whose date the server did not give, or gave unreadable.
    auto undated = [&](unsigned size, const char* id = "", const char* digest = "") {
        MessageSummary s = m(size, id, 0, digest);
        s.dated = false;
        return s;
    };
    const MessageSummary unknown;
    // A message its server did not describe whole, with the digest of its
    // bytes.
    auto undescribed = [](const char* digest) {
        MessageSummary s;
        s.digest = digest;
        return s;
    };
    using Numbers = std::vector<unsigned>;
    struct Case {
        const char* name;
        std::vector<MessageSummary> source, target;
        Numbers wanted;
        // The messages of each side whose digests are asked for.
        Numbers digestSource, digestTarget;
        // Those asked for next, for the messages the keys left over.
        Numbers leftoverSource = {}, leftoverTarget = {};
    };
    const Case cases[] = {
        {"the first ones are there", {m(1), m(2), m(3)}, {m(1), m(2)}, {3}, {1, 2}, {1, 2}},
        {"two identical messages need two", {m(5), m(5), m(6)}, {m(5)}, {2, 3}, {1, 2}, {1}},
        {"the same size and date under another Message-ID is another message",
            {m(5, "<a@x>"), m(5, "<b@x>")}, {m(5, "<b@x>")}, {1}, {}, {}},
        {"another date is another message", {m(5, "", 100), m(5, "", 101)}, {m(5, "", 101)}, {1},
            {2}, {1}},
        {"undescribed messages and the messages left over beside them are all digested",
            {unknown, m(7), m(8)}, {m(7), unknown, m(9)}, {1, 3}, {2}, {1}, {1, 3}, {2, 3}},
        {"an undescribed source message with the bytes of a target message: there",
            {undescribed("A"), m(7)}, {m(7), m(5, "<a@x>", 100, "A")}, {}, {2}, {1}},
        {"an undescribed target message with the bytes of a source message: there",
            {m(5, "<a@x>", 100, "A")}, {undescribed("A")}, {}, {}, {}},
        {"an undescribed message with other bytes: another message",
            {undescribed("A"), m(6, "<b@x>", 100, "B")}, {undescribed("B")}, {1}, {}, {}},
        {"an undescribed message beside none left over needs no digest", {unknown, m(7, "<b@x>")},
            {m(7, "<b@x>")}, {1}, {}, {}, {}, {}},
        {"one size and date, a Message-ID on one side only: the digests settle it", {m(5)},
            {m(5, "<a@x>")}, {1}, {}, {}, {1}, {1}},
        {"one size and date under two Message-IDs: the digests settle it", {m(5, "<a@x>")},
            {m(5, "<b@x>")}, {1}, {}, {}, {1}, {1}},
        {"a Message-ID held once on each side settles it", {m(5, "<a@x>"), m(6, "<b@x>")},
            {m(5, "<a@x>")}, {2}, {}, {}},
        {"a Message-ID twice in the source is settled by the digests",
            {m(5, "<a@x>", 100, "A"), m(5, "<a@x>", 100, "B")}, {m(5, "<a@x>", 100, "B")}, {1},
            {1, 2}, {1}},
        {"a Message-ID twice on the target likewise", {m(5, "<a@x>", 100, "A")},
            {m(5, "<a@x>", 100, "B"), m(5, "<a@x>", 100, "A")}, {}, {1}, {1, 2}},
        {"without a Message-ID, other bytes are another message", {m(5, "", 100, "A")},
            {m(5, "", 100, "B")}, {1}, {1}, {1}},
        {"a key on one side only needs no digest", {m(5), m(5)}, {m(6, "<a@x>")}, {1, 2}, {}, {}},
        {"a size that disagrees, without the digests: copied", {m(7, "<a@x>"), m(9, "<b@x>")},
            {m(5, "<a@x>"), m(9, "<b@x>")}, {1}, {}, {}, {1}, {1}},
        {"a size that disagrees, the same bytes: there",
            {m(7, "<a@x>", 100, "A"), m(9, "<b@x>")}, {m(5, "<a@x>", 100, "A"), m(9, "<b@x>")},
            {}, {}, {}},
        {"a size that disagrees, other bytes: another message", {m(7, "<a@x>", 100, "A")},
            {m(5, "<a@x>", 100, "B")}, {1}, {}, {}},
        {"a size that disagrees without a Message-ID, the same bytes: there",
            {m(7, "", 100, "A")}, {m(5, "", 100, "A")}, {}, {}, {}},
        {"a size that disagrees under another date is not looked into", {m(7, "<a@x>", 100)},
            {m(5, "<a@x>", 101)}, {1}, {}, {}, {}, {}},
        {"every size disagrees, the messages found by their digests",
            {m(7, "<a@x>", 100, "A"), m(8, "<b@x>", 101, "B"), m(9, "<c@x>", 102, "C")},
            {m(5, "<a@x>", 100, "A"), m(6, "<b@x>", 101, "B")}, {3}, {}, {}},
        {"another date, the same bytes: there", {m(5, "", 100, "A")}, {m(5, "", 101, "A")}, {},
            {}, {}},
        {"undated, a Message-ID held once on each side: there", {undated(5, "<a@x>"), m(6)},
            {m(5, "<a@x>", 300)}, {2}, {}, {}, {}, {}},
        {"undated, its Message-ID held once but another size: the digests settle it",
            {undated(5, "<a@x>")}, {m(6, "<a@x>", 300)}, {1}, {}, {}, {1}, {1}},
        {"undated, without a Message-ID: the digests settle it",
            {undated(5), undated(5), m(6)}, {m(5, "", 300), m(5, "", 301)}, {1, 2, 3}, {}, {},
            {1, 2}, {1, 2}},
        {"undated, without a Message-ID, the same bytes as one: that one there",
            {undated(5, "", "A"), undated(5, "", "B")}, {m(5, "", 300, "B"), m(5, "", 301, "C")},
            {1}, {}, {}},
        {"undated, a Message-ID twice in the source: each found by its bytes",
            {undated(5, "<a@x>", "A"), undated(5, "<a@x>", "B")}, {m(5, "<a@x>", 300, "A")},
            {2}, {}, {}},
        {"undated, a Message-ID twice in the source, no digests yet",
            {undated(5, "<a@x>"), undated(5, "<a@x>")}, {m(5, "<a@x>", 300)}, {1, 2}, {}, {},
            {1, 2}, {1}},
        {"a message found by its key is not offered to an undated one",
            {m(5, "<a@x>", 100), undated(5, "<a@x>")}, {m(5, "<a@x>", 100)}, {2}, {}, {}, {}, {}},
        {"an undated message on the target is paired with a dated source message",
            {m(5, "", 100)}, {undated(5)}, {1}, {}, {}, {1}, {1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.wanted, messagesToCopy(c.source, c.target));
        const DigestsWanted digests = messagesToDigest(c.source, c.target);
        EXPECT_EQ(c.digestSource, digests.source);
        EXPECT_EQ(c.digestTarget, digests.target);
        const DigestsWanted leftovers = leftoversToDigest(c.source, c.target);
        EXPECT_EQ(c.leftoverSource, leftovers.source);
        EXPECT_EQ(c.leftoverTarget, leftovers.target);
    }
}

// The comparison against scripted sides: the digests settle a collision,
// and what a source's size or date leaves in doubt; a digest a side does
// not give, or refuses, leaves the folder uncompared rather than copied or
// passed over.
TEST(FolderResumeTest, DigestsSettleWhatTheKeysCannotOrTheFolderIsNotCompared)
{
    auto summary = [](unsigned n, unsigned size = 6, const std::string& when = date) {
        return "* " + std::to_string(n) + " FETCH (RFC822.SIZE " + std::to_string(size)
            + " INTERNALDATE \"" + when + "\" BODY[HEADER.FIELDS (MESSAGE-ID)] {2}\r\n\r\n)\r\n";
    };
    auto withoutSize = [](unsigned n) {
        return "* " + std::to_string(n) + " FETCH (INTERNALDATE \"" + date
            + "\" BODY[HEADER.FIELDS (MESSAGE-ID)] {2}\r\n\r\n)\r\n";
    };
    auto digest = [](unsigned n, const char* bytes) {
        return "* " + std::to_string(n) + " FETCH (BODY[]<0> {6}\r\n" + bytes + ")\r\n";
    };
    const std::string sourceSummaries = summary(1) + summary(2) + "%T OK\r\n";
    const std::string targetSummaries = "%T OK selected\r\n" + summary(1) + "%T OK\r\n";
    struct Case {
        const char* name;
        std::string source, target;
        ImapClientResult code;
        tavir::mail::Side side;
        std::vector<unsigned> wanted;
        unsigned settled;
        const char* why;
    };
    const auto ok = tavir::mail::ImapSuccess;
    const auto refused = tavir::mail::ImapFetchFailed;
    const auto onSource = tavir::mail::Side::Source;
    const auto onTarget = tavir::mail::Side::Target;
    const Case cases[] = {
        {"the source's first message has the key of the target's, not its bytes",
            sourceSummaries + digest(1, "body A") + digest(2, "body B") + "%T OK\r\n",
            targetSummaries + digest(1, "body B") + "%T OK\r\n", ok, onSource, {1}, 2, ""},
        {"the target leaves its digest out", sourceSummaries, targetSummaries + "%T OK\r\n",
            refused, onTarget, {}, 0,
            "scripted:143 did not send all of message 1, which only its content tells apart "
            "from another"},
        {"the source's first message gives a size 2 bytes off, and the same bytes",
            summary(1, 8) + summary(2, 6, "Tue, 05 May 2021 10:00:00 +0000") + "%T OK\r\n"
                + digest(1, "body A") + "%T OK\r\n",
            targetSummaries + digest(1, "body A") + "%T OK\r\n", ok, onSource, {2}, 1, ""},
        {"the source's second message has a date that can't be read, and the target's bytes",
            summary(1, 7, "01-Jan-2000 00:00:00 +0000") + summary(2, 6, "yesterday") + "%T OK\r\n" + digest(2, "body A")
                + "%T OK\r\n",
            targetSummaries + digest(1, "body A") + "%T OK\r\n", ok, onSource, {1}, 1, ""},
        {"the source's second message without its size, and the target's bytes",
            summary(1, 7, "01-Jan-2000 00:00:00 +0000") + withoutSize(2) + "%T OK\r\n"
                + digest(2, "body A") + "%T OK\r\n",
            targetSummaries + digest(1, "body A") + "%T OK\r\n", ok, onSource, {1}, 1, ""},
        {"the source's second message without its size, and without its content",
            summary(1, 7, "01-Jan-2000 00:00:00 +0000") + withoutSize(2) + "%T OK\r\n"
                + "%T OK\r\n",
            targetSummaries + digest(1, "body A") + "%T OK\r\n", refused, onSource, {}, 0,
            "scripted:143 did not give the size, date and Message-ID of message 2 whole, nor "
            "all of its content, which would tell it apart from another"},
        {"the source refuses the digests", sourceSummaries + "%T NO no bodies\r\n",
            targetSummaries + digest(1, "body B") + "%T OK\r\n", refused, onSource, {}, 0,
            "NO no bodies"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LoggedInClient source(c.source);
        LoggedInClient target(c.target);
        MigrationFolder folder;
        folder.sourceName = folder.targetName = L"F";
        const ResumePlan plan = planResume(source.client, target.client, folder, 2, 1);
        EXPECT_EQ(c.code, plan.failure.code) << plan.failure.why;
        EXPECT_EQ(c.why, withoutTags(unicodeToUtf8(failureText(plan.failure))));
        EXPECT_EQ(c.side, plan.failure.side);
        EXPECT_EQ(c.wanted, plan.wanted);
        EXPECT_EQ(c.settled, plan.settledByDigest);
    }
}

} // namespace
