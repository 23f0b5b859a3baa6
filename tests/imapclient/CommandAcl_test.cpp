// The ACL commands: their lines on the wire and the reading of ACL
// responses, against scripted servers.
#include "imapclient/CommandAcl.h"
#include "imapclient/ImapException.h"
#include "support/ScriptedImap.h"

#include <gtest/gtest.h>

#include <functional>

using namespace tavir::mail;
using tavir::test::LoggedInConnection;
using tavir::test::withoutTags;

namespace {

// The records of a GETACL answered by `responses` (untagged lines).
std::vector<ACLInfo> getAcl(const std::string& responses)
{
    LoggedInConnection f(responses + "%T OK done\r\n");
    CommandGetAcl command(f.connection, "INBOX");
    EXPECT_EQ(Command::OK, command.execute(nullptr));
    EXPECT_EQ("GETACL \"INBOX\"\r\n", withoutTags(f.session->clientBytes));
    std::vector<ACLInfo> entries(3); // replaced, not appended to
    command.getAclInfo(entries);
    return entries;
}

std::string describe(const std::vector<ACLInfo>& entries)
{
    std::string out;
    for (const ACLInfo& e : entries)
        out += "[" + e.identifier + "=" + e.rights.getStr() + "]";
    return out;
}

} // namespace

TEST(CommandAclTest, Lines)
{
    struct Case {
        const char* name;
        std::function<std::string(ConnectionInternal&)> build;
        std::string line;
    };
    // The line after the command's tag.
    auto line = [](Command&& c) { return c.getCommandString().substr(c.getTag().size() + 1); };
    const Case cases[] = {
        {"SETACL, three strings",
            [&](ConnectionInternal& c) { return line(CommandSetAcl(c, "INBOX", "fred", "lrs")); },
            "SETACL \"INBOX\" \"fred\" \"lrs\""},
        {"SETACL, entry unquoted",
            [&](ConnectionInternal& c) { return line(CommandSetAcl(c, "A&AOQ-", "fred lrs")); },
            "SETACL \"A&AOQ-\" fred lrs"},
        {"DELETEACL, three strings",
            [&](ConnectionInternal& c) {
                return line(CommandDeleteAcl(c, "INBOX", "fred", "lrx"));
            },
            "DELETEACL \"INBOX\" \"fred\" \"lrx\""},
        {"DELETEACL, entry unquoted",
            [&](ConnectionInternal& c) { return line(CommandDeleteAcl(c, "INBOX", "-fred")); },
            "DELETEACL \"INBOX\" -fred"},
        {"GETACL", [&](ConnectionInternal& c) { return line(CommandGetAcl(c, "Sent \"x\"")); },
            "GETACL \"Sent \\\"x\\\"\""},
        {"8-bit identifier as a literal",
            [&](ConnectionInternal& c) {
                return line(CommandDeleteAcl(c, "INBOX", "j\xc3\xb6rg", "l"));
            },
            "DELETEACL \"INBOX\" {5+}\r\nj\xc3\xb6rg \"l\""},
        // Entry texts that could end the line or announce a literal go as
        // one string token instead.
        {"entry with CR LF",
            [&](ConnectionInternal& c) {
                return line(CommandSetAcl(c, "INBOX", "fred lr\r\nK2 DELETE INBOX"));
            },
            "SETACL \"INBOX\" {24+}\r\nfred lr\r\nK2 DELETE INBOX"},
        {"entry with a bare LF",
            [&](ConnectionInternal& c) { return line(CommandDeleteAcl(c, "INBOX", "a\nb")); },
            "DELETEACL \"INBOX\" {3+}\r\na\nb"},
        {"entry with NUL",
            [&](ConnectionInternal& c) {
                return line(CommandDeleteAcl(c, "INBOX", std::string("a\0b", 3)));
            },
            "DELETEACL \"INBOX\" {3+}\r\n" + std::string("a\0b", 3)},
        {"entry ending in a literal announcement",
            [&](ConnectionInternal& c) { return line(CommandSetAcl(c, "INBOX", "fred {12}")); },
            "SETACL \"INBOX\" \"fred {12}\""},
        {"entry ending in a LITERAL+ announcement",
            [&](ConnectionInternal& c) { return line(CommandSetAcl(c, "INBOX", "fred {0+}")); },
            "SETACL \"INBOX\" \"fred {0+}\""},
        {"8-bit identifier in an entry goes as a literal",
            [&](ConnectionInternal& c) {
                return line(CommandSetAcl(c, "INBOX", "j\xc3\xb6rg  l\xc3\xa4"));
            },
            "SETACL \"INBOX\" {5+}\r\nj\xc3\xb6rg  {3+}\r\nl\xc3\xa4"},
        {"the caller's quoted strings stay",
            [&](ConnectionInternal& c) {
                return line(CommandDeleteAcl(c, "INBOX", "\"j\xc3\xb6rg\""));
            },
            "DELETEACL \"INBOX\" \"j\xc3\xb6rg\""},
        {"braces elsewhere stay",
            [&](ConnectionInternal& c) { return line(CommandSetAcl(c, "INBOX", "{x} l}")); },
            "SETACL \"INBOX\" {x} l}"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ConnectionInternal connection;
        EXPECT_EQ(c.line, c.build(connection));
    }
}

TEST(CommandAclTest, RawEntryTexts)
{
    const std::pair<std::string, bool> cases[] = {
        {"fred lrswipcda", true},
        {"\"john smith\" lr", true},
        {"", true},
        {"}", true},
        {"{}", true},
        {"{+}", true},
        {"x{1}", false},
        {"{99+}", false},
        {"a\r", false},
        {"\n", false},
        {std::string(1, '\0'), false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.second, isRawEntryText(c.first)) << c.first;
}

TEST(CommandAclTest, EntryTextIsSentAsOneCommand)
{
    LoggedInConnection f("%T BAD wrong arguments\r\n");
    CommandSetAcl command(f.connection, "INBOX", "fred lr\r\nK2 DELETE INBOX");
    EXPECT_EQ(Command::BAD, command.execute(nullptr));
    EXPECT_EQ(command.getTag() + " SETACL \"INBOX\" {24+}\r\nfred lr\r\nK2 DELETE INBOX\r\n",
        f.session->clientBytes);
}

TEST(CommandAclTest, ReadingTheList)
{
    struct Case {
        const char* name;
        std::string responses;
        std::string records;
    };
    const Case cases[] = {
        {"no ACL response", "", ""},
        {"one pair", "* ACL INBOX fred lrswi\r\n", "[fred=lrswi]"},
        {"several pairs in one response",
            "* ACL \"INBOX\" \"fred\" \"lrswipcdaO\" owner lrswipkxtecda \"anyone\" l\r\n",
            "[fred=lrswipcdaO][owner=lrswipcdakxte][anyone=l]"},
        {"two responses, others between",
            "* ACL INBOX fred l\r\n* 3 EXISTS\r\n* OK [ALERT] x\r\n* FLAGS (\\Seen)\r\n"
            "* ACL INBOX bob rx\r\n",
            "[fred=l][bob=rx]"},
        {"unknown untagged responses are passed over", "* ENABLED ACL\r\n* ACL INBOX fred l\r\n",
            "[fred=l]"},
        {"an empty list", "* ACL INBOX\r\n", ""},
        {"an identifier without rights", "* ACL INBOX fred\r\n", "[fred=]"},
        {"literal mailbox and identifier", "* ACL {5}\r\nINBOX {5}\r\nj\xc3\xb6rg {2}\r\nlr\r\n",
            "[j\xc3\xb6rg=lr]"},
        {"identifier with blanks and quotes", "* ACL INBOX \"a \\\"b\\\" c\" lw\r\n",
            "[a \"b\" c=lw]"},
        {"empty rights", "* ACL INBOX fred \"\"\r\n", "[fred=]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.records, describe(getAcl(c.responses)));
    }
    std::vector<ACLInfo> entries = getAcl("* ACL INBOX fred lrsxO\r\n");
    ASSERT_EQ(1u, entries.size());
    EXPECT_EQ(0x207u, entries[0].rights.get());
    EXPECT_EQ("x", entries[0].rights.getExtra());
}

TEST(CommandAclTest, MalformedACLResponseThrows)
{
    LoggedInConnection f("* ACL INBOX \"fred lr\r\n%T OK done\r\n");
    CommandGetAcl command(f.connection, "INBOX");
    EXPECT_EQ(Command::OK, command.execute(nullptr));
    std::vector<ACLInfo> entries;
    EXPECT_THROW(command.getAclInfo(entries), ImapParserException);
}
