// Whether two names a source lists open one folder: the numbering, then
// every message by its UID, size, date and Message-ID, and by its content
// where those can't tell it from another.
#include "Imap/engine/OpenedFolder.h"

#include <gtest/gtest.h>

#include <functional>

using namespace tavir::migration;
using tavir::mail::MessageSummary;

namespace {

MessageSummary message(std::uint32_t uid, const std::string& messageId)
{
    MessageSummary summary;
    summary.known = true;
    summary.uid = uid;
    summary.size = 100 + uid;
    summary.instant = 1577872800 + uid;
    summary.messageId = messageId;
    return summary;
}

// A folder of three messages, the second without a Message-ID and so
// digested, as describeSelected reads one.
OpenedFolder described()
{
    OpenedFolder folder;
    folder.mailbox.countKnown = true;
    folder.mailbox.count = 3;
    folder.mailbox.uidValidity = 1700000000;
    folder.mailbox.uidNext = 4;
    folder.described = true;
    folder.messages = {message(1, "<1@x>"), message(2, ""), message(3, "<3@x>")};
    folder.messages[1].digest = "digest of message 2";
    return folder;
}

} // namespace

// One folder only where the numbering and every message agree. What
// neither side read can't make two folders one: a UID not given, a message
// described by neither side without a digest; a message described by
// neither side is one by its digest alone; an empty folder by its
// numbering.
TEST(OpenedFolder, SameFolderOnlyWhereTheNumberingAndEveryMessageAgree)
{
    using Change = std::function<void(OpenedFolder&)>;
    const struct Case {
        const char* what;
        Change change;
        bool toBoth; // false: made to the second of two alike
        bool same;
    } cases[] = {
        {"alike", [](OpenedFolder&) {}, false, true},
        {"another count", [](OpenedFolder& f) { f.mailbox.count = 2, f.messages.pop_back(); },
            false, false},
        {"another UIDNEXT", [](OpenedFolder& f) { f.mailbox.uidNext = 5; }, false, false},
        {"another UIDVALIDITY", [](OpenedFolder& f) { f.mailbox.uidValidity = 1700000001; },
            false, false},
        {"no UIDVALIDITY said", [](OpenedFolder& f) { f.mailbox.uidValidity = 0; }, false, false},
        {"no count said", [](OpenedFolder& f) { f.mailbox.countKnown = false; }, false, false},
        {"messages not read", [](OpenedFolder& f) { f.described = false; }, false, false},
        {"fewer messages read than counted", [](OpenedFolder& f) { f.messages.pop_back(); },
            false, false},
        {"another UID", [](OpenedFolder& f) { f.messages[2].uid = 4; }, false, false},
        {"another size", [](OpenedFolder& f) { f.messages[0].size += 1; }, false, false},
        {"another date", [](OpenedFolder& f) { f.messages[0].instant += 1; }, false, false},
        {"a date not read on one side", [](OpenedFolder& f) { f.messages[0].dated = false; },
            false, false},
        {"another Message-ID", [](OpenedFolder& f) { f.messages[2].messageId = "<3@y>"; }, false,
            false},
        {"without a Message-ID, other content",
            [](OpenedFolder& f) { f.messages[1].digest = "another digest"; }, false, false},
        {"without a Message-ID, no content given",
            [](OpenedFolder& f) { f.messages[1].digest.clear(); }, false, false},
        {"a message not described on one side",
            [](OpenedFolder& f) { f.messages[0].known = false; }, false, false},
        {"no UID given on either side", [](OpenedFolder& f) { f.messages[0].uid = 0; }, true,
            false},
        {"no digest given on either side", [](OpenedFolder& f) { f.messages[1].digest.clear(); },
            true, false},
        {"both undated", [](OpenedFolder& f) { f.messages[0].dated = false; }, true, true},
        {"described by neither, the same digest",
            [](OpenedFolder& f) {
                f.messages[0] = MessageSummary();
                f.messages[0].uid = 1;
                f.messages[0].digest = "digest of message 1";
            },
            true, true},
        {"described by neither, no digest",
            [](OpenedFolder& f) {
                f.messages[0] = MessageSummary();
                f.messages[0].uid = 1;
            },
            true, false},
        {"both empty",
            [](OpenedFolder& f) {
                f.mailbox.count = 0;
                f.mailbox.uidNext = 1;
                f.messages.clear();
            },
            true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        OpenedFolder a = described();
        OpenedFolder b = described();
        if (c.toBoth)
            c.change(a);
        c.change(b);
        EXPECT_EQ(c.same, sameFolder(a, b));
        EXPECT_EQ(c.same, sameFolder(b, a));
    }
}

TEST(OpenedFolder, MessagesWithoutAMessageIdOrNotDescribedAreDigested)
{
    std::vector<MessageSummary> messages = described().messages;
    EXPECT_EQ(std::vector<unsigned>{2}, numbersToDigest(messages));
    messages[2].known = false;
    EXPECT_EQ((std::vector<unsigned>{2, 3}), numbersToDigest(messages));
    EXPECT_TRUE(numbersToDigest({}).empty());
}
