// Command execution against scripted servers: what goes on the wire, how
// responses are collected, and how every misbehaviour of a server ends.
#include "imapclient/Command.h"
#include "imapclient/ImapException.h"
#include "support/ScriptedImap.h"

#include <gtest/gtest.h>

using namespace tavir::mail;
using tavir::test::LoggedInConnection;
using tavir::test::ScriptedServer;
using tavir::test::withoutTags;

namespace {

class MemoryMessage : public simpleimapclient::IMessage {
public:
    MemoryMessage(std::vector<std::string> parts, std::uint32_t size)
        : parts_(std::move(parts))
        , size_(size)
    {
    }
    bool getFirstDataPart(std::string& part) override
    {
        next_ = 0;
        return getNextDataPart(part);
    }
    bool getNextDataPart(std::string& part) override
    {
        if (failAt_ == next_)
            throw ImapConnectionFailed("recvLine failed");
        if (next_ >= parts_.size())
            return false;
        part = parts_[next_++];
        return true;
    }
    std::string getFlags() override { return "\\Seen"; }
    std::string getDate() override { return ""; }
    std::uint32_t getSize() override { return size_; }
    std::uint32_t getRestSize() override { return rest_; }
    std::size_t failAt_ = static_cast<std::size_t>(-1);
    std::uint32_t rest_ = 0;

private:
    std::vector<std::string> parts_;
    std::uint32_t size_;
    std::size_t next_ = 0;
};

TEST(CommandTest, SelectCollectsUntaggedResponsesWithoutLineEnds)
{
    LoggedInConnection f(
        "* 172 EXISTS\r\n* 1 RECENT\r\n* OK [UIDVALIDITY 3857529045] UIDs valid\r\n"
        "%T OK [READ-WRITE] SELECT completed\r\n");
    Command select(f.connection, "SELECT");
    select.addParamString("INBOX");
    EXPECT_EQ(Command::OK, select.execute(nullptr));
    EXPECT_EQ(select.getTag() + " SELECT \"INBOX\"\r\n", f.session->clientBytes);
    std::string tagged;
    std::vector<std::string> untagged;
    select.getResponse(tagged, untagged);
    EXPECT_EQ(select.getTag() + " OK [READ-WRITE] SELECT completed", tagged);
    EXPECT_EQ((std::vector<std::string>{
                  "* 172 EXISTS", "* 1 RECENT", "* OK [UIDVALIDITY 3857529045] UIDs valid"}),
        untagged);
    std::vector<ResponseResult> results;
    EXPECT_EQ(1u, select.filterResponses(results, RespExists));
    EXPECT_EQ(172u, results[0].getNumber());
    EXPECT_EQ(1u, select.filterResponses(results, RespCodeUidValidity));
    EXPECT_EQ(3857529045u, results[1].getNumber());
}

TEST(CommandTest, LiteralsJoinTheirResponse)
{
    std::string body("a\0b\xff\nc", 6);
    LoggedInConnection f("* 1 FETCH (BODY[] {6}\r\n" + body
        + ")\r\n* LIST () \"/\" {0}\r\n\r\n"
          "* LIST () \"/\" Drafts}\r\n"
          "* LIST () \"/\" {4}\r\nx{5}\r\n" // a literal's bytes announce nothing
          "%T OK done\r\n");
    Command fetch(f.connection, "FETCH");
    fetch.addParam("1 BODY[]");
    EXPECT_EQ(Command::OK, fetch.execute(nullptr));
    const auto& untagged = fetch.getUntaggedResponses();
    ASSERT_EQ(4u, untagged.size());
    EXPECT_EQ("* 1 FETCH (BODY[] {6}\r\n" + body + ")", untagged[0]);
    EXPECT_EQ("* LIST () \"/\" {0}\r\n", untagged[1]);
    EXPECT_EQ("* LIST () \"/\" Drafts}", untagged[2]);
    EXPECT_EQ("* LIST () \"/\" {4}\r\nx{5}", untagged[3]);
}

TEST(CommandTest, TaggedNoSetsTheLastError)
{
    LoggedInConnection f("%T NO [TRYCREATE] Mailbox doesn't exist: x\r\n");
    Command select(f.connection, "SELECT");
    select.addParamString("x");
    EXPECT_EQ(Command::NO, select.execute(nullptr));
    const std::string refusal = select.getTag() + " NO [TRYCREATE] Mailbox doesn't exist: x";
    EXPECT_EQ(refusal, select.getTaggedResponse());
    EXPECT_EQ(refusal, f.connection.getLastErrorResponse());
}

TEST(CommandTest, StatusWordsAndTags)
{
    struct Case {
        std::string response;
        bool tagged;
        unsigned status; // 9: left as it was
    };
    ConnectionInternal connection;
    Command command(connection, "NOOP");
    const std::string tag = command.getTag();
    std::string lowerTag = tag;
    lowerTag[0] = 'k';
    const Case cases[] = {
        {tag + " OK done", true, 0},
        {tag + " NO no", true, 1},
        {tag + " BAD bad", true, 2},
        {tag + " ok lower case", true, 0},
        {tag + "  OK", true, 0},
        {tag, true, 9},
        {tag + " OKAY", true, 9},
        {tag + " [x] OK", true, 9},
        {tag + "2 OK other", false, 9}, // another tag that begins with ours
        {"* OK untagged", false, 9},
        {lowerTag + " OK", false, 9},
        {tag + "\r\n", true, 9},
    };
    for (const Case& c : cases) {
        unsigned status = 9;
        EXPECT_EQ(c.tagged, command.isTaggedResponse(c.response, status)) << c.response;
        EXPECT_EQ(c.status, status) << c.response;
    }
}

TEST(CommandTest, LiteralAnnouncements)
{
    struct Case {
        const char* line;
        bool whole;
        unsigned size;
    };
    const Case cases[] = {
        {"* 1 FETCH (BODY[] {123}\r\n", false, 123},
        {"* 1 FETCH (BODY[] {123+}\r\n", false, 123},
        {"* LIST () \"/\" {0}\r\n", false, 0},
        {"* LIST () \"/\" Drafts}\r\n", true, 0},
        {"* LIST () \"/\" {}\r\n", true, 0},
        {"* LIST () \"/\" {12a}\r\n", true, 0},
        {"* LIST () \"/\" {+}\r\n", true, 0},
        {"* LIST () \"/\" {-5}\r\n", true, 0},
        {"* X {5}\n", true, 0}, // no CR: not an announcement
        {"}\r\n", true, 0},
        {"\r\n", true, 0},
        {"* X {4294967295}\r\n", false, 4294967295u},
        {"* X {99999999999999999999999}\r\n", false, 4294967295u},
    };
    for (const Case& c : cases) {
        unsigned size = 0;
        EXPECT_EQ(c.whole, Command::isWholeResponse(c.line, size)) << c.line;
        EXPECT_EQ(c.size, size) << c.line;
    }
}

TEST(CommandTest, OnlySingleCommandsAreSent)
{
    struct Case {
        std::string line;
        bool single;
    };
    const Case cases[] = {
        {"K1 NOOP\r\n", true},
        {"K1 LOGIN {3+}\r\nabc \"x\"\r\n", true},
        {"K1 LOGIN {3+}\r\na\r\n \"x\"\r\n", true}, // CR LF inside the literal
        {"K1 LOGIN {3}\r\nabc \"x\"\r\n", false}, // synchronising literal
        {"K1 NOOP\r\nK2 DELETE INBOX\r\n", false},
        {"K1 NOOP\nK2 DELETE INBOX\r\n", false},
        {"K1 NOOP\rK2\r\n", false},
        {std::string("K1 NO\0OP\r\n", 10), false},
        {"K1 LOGIN {30+}\r\nabc\r\n", false},
        {"K1 NOOP", false},
        {"K1 NOOP\r\n\r\n", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.single, Command::isSingleCommand(c.line, false, nullptr)) << c.line;
    std::uint64_t open = 0;
    EXPECT_TRUE(Command::isSingleCommand("K1 APPEND \"x\" {5+}\r\n", true, &open));
    EXPECT_EQ(5u, open);
    EXPECT_TRUE(Command::isSingleCommand("K1 APPEND \"x\" {0+}\r\n", true, &open));
    EXPECT_EQ(0u, open);
    EXPECT_FALSE(Command::isSingleCommand("K1 APPEND \"x\" {5}\r\n", true, &open));
}

TEST(CommandTest, InjectedLineIsRefusedBeforeAnythingIsSent)
{
    LoggedInConnection f("%T OK done\r\n");
    Command command(f.connection, "SELECT");
    command.addParam("INBOX\r\nK9 DELETE INBOX"); // wire-form parameter misused
    EXPECT_THROW(command.execute(nullptr), ImapException);
    EXPECT_EQ("", f.session->clientBytes);
    // Given as a string, the same text is one literal of one command.
    Command safe(f.connection, "SELECT");
    safe.addParamString("INBOX\r\nK9 DELETE INBOX");
    EXPECT_EQ(Command::OK, safe.execute(nullptr));
    EXPECT_EQ(
        safe.getTag() + " SELECT {22+}\r\nINBOX\r\nK9 DELETE INBOX\r\n", f.session->clientBytes);
}

TEST(CommandTest, ServerMisbehaviourEndsTheCommand)
{
    struct Case {
        const char* name;
        std::string after; // what the server says to the command
        bool closedAtEnd; // then the server closes (else it falls silent)
        int exception; // 0 timeout or end, 1 connection failed, 2 BYE
        const char* lastError;
        bool closed;
    };
    const char* const timedOut = "connection to scripted:143 timed out after 180 s";
    const char* const hungUp = "scripted:143 closed the connection";
    const Case cases[] = {
        // Between replies a time-out leaves the connection open (a late
        // answer is told apart by its tag); a peer that is gone does not.
        {"silence", "", false, 0, timedOut, false},
        {"hung up", "", true, 0, hungUp, true},
        {"bare LF line is a line", "\n", false, 0, timedOut, false},
        {"cut inside a line", "* 1 EXI", false, 0, timedOut, true},
        {"dropped in a literal", "* 1 FETCH (BODY[] {10}\r\nabc", true, 0, hungUp, true},
        {"4000000000 bytes announced", "* 1 FETCH (BODY[] {4000000000}\r\nabc", false, 1,
            "scripted:143 announced a literal of 4000000000 bytes, more than the limit of 64 MiB",
            true},
        {"BYE first", "* BYE shutting down\r\n%T OK x\r\n", false, 2, "* BYE shutting down", true},
        {"bye any case", "* bye now\r\n", false, 2, "* bye now", true},
        {"BYE after data", "* 1 EXISTS\r\n* BYE gone\r\n", false, 2, "* BYE gone", true},
        {"BYEX is no BYE", "* BYEX\r\n", false, 0, timedOut, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LoggedInConnection f(c.after);
        f.session->closedAtEnd = c.closedAtEnd;
        Command command(f.connection, "NOOP");
        try {
            command.execute(nullptr);
            ADD_FAILURE() << "no exception";
        } catch (const ImapTimeoutException& e) {
            EXPECT_EQ(0, c.exception);
            EXPECT_STREQ(c.lastError, e.what());
        } catch (const ImapConnectionFailed&) {
            EXPECT_EQ(1, c.exception);
        } catch (const ImapServerBrokeConnection&) {
            EXPECT_EQ(2, c.exception);
        }
        EXPECT_EQ(c.lastError, f.connection.getLastErrorResponse());
        EXPECT_EQ(c.closed, f.connection.getState() == ConnectionInternal::NotConnected);
        // Never sent twice.
        EXPECT_EQ(command.getTag() + " NOOP\r\n", f.session->clientBytes);
    }
}

TEST(CommandTest, BYEInsideAResponseIsData)
{
    // A line that continues a response after its literal is not a BYE.
    LoggedInConnection f("* 1 FETCH (BODY[] {2}\r\nab* BYE x)\r\n%T OK done\r\n");
    Command command(f.connection, "FETCH");
    EXPECT_EQ(Command::OK, command.execute(nullptr));
    ASSERT_EQ(1u, command.getUntaggedResponses().size());
}

TEST(CommandTest, EndlessLineIsBounded)
{
    LoggedInConnection f(std::string(5000, 'x'));
    f.connection.setLimits(4096, 1 << 20, 1 << 22, 1 << 30);
    Command command(f.connection, "NOOP");
    EXPECT_THROW(command.execute(nullptr), ImapConnectionFailed);
    EXPECT_EQ(
        "a reply line from scripted:143 is longer than 4 KiB", f.connection.getLastErrorResponse());
    EXPECT_EQ(ConnectionInternal::NotConnected, f.connection.getState());
}

TEST(CommandTest, ResponsesAreBoundedAltogether)
{
    std::string many;
    for (int i = 0; i < 100; ++i)
        many += "* 1 EXISTS\r\n";
    LoggedInConnection f(many + "%T OK\r\n");
    f.connection.setLimits(4096, 1 << 20, 600, 1 << 30);
    Command command(f.connection, "NOOP");
    EXPECT_THROW(command.execute(nullptr), ImapConnectionFailed);
    EXPECT_EQ("the answer of scripted:143 to one command is larger than 600 bytes",
        f.connection.getLastErrorResponse());
}

TEST(CommandTest, TaggedLineWithoutStatusIsAFailure)
{
    LoggedInConnection f("%T\r\n");
    Command command(f.connection, "NOOP");
    EXPECT_EQ(Command::BAD, command.execute(nullptr));
    EXPECT_EQ(command.getTag(), f.connection.getLastErrorResponse());
}

TEST(CommandTest, UnknownUntaggedResponsesArePassedOver)
{
    LoggedInConnection f("* NO [ALERT] quota\r\n* ENABLED X\r\n* LIST () \"/\" INBOX\r\n"
                         "* VANISHED 1:2\r\n* OK note\r\n%T OK\r\n");
    Command list(f.connection, "LIST");
    EXPECT_EQ(Command::OK, list.execute(nullptr));
    std::vector<ResponseResult> results;
    EXPECT_EQ(1u, list.filterResponses(results, RespList));
    EXPECT_EQ("() \"/\" INBOX", results[0].getString());
}

TEST(CommandTest, FilterThrowsOnlyForMalformedResponsesOfTheWantedType)
{
    LoggedInConnection f("* 99999999999 EXISTS\r\n* LIST () \"/\" x\r\n%T OK\r\n");
    Command command(f.connection, "LIST");
    EXPECT_EQ(Command::OK, command.execute(nullptr));
    std::vector<ResponseResult> results;
    EXPECT_EQ(1u, command.filterResponses(results, RespList));
}

TEST(CommandTest, AppendWritesTheCollectedBodyAfterTheLine)
{
    LoggedInConnection f("%T OK [APPENDUID 1 5] Append completed\r\n");
    std::string part1(10240, 'a');
    std::string part2("b\0\r\nc", 5);
    MemoryMessage message({part1, part2}, 10245);
    Command append(f.connection, "APPEND");
    append.addParamString("INBOX");
    append.addParam("{10245+}\r\n");
    EXPECT_EQ(Command::OK, append.execute(&message));
    EXPECT_EQ(append.getTag() + " APPEND \"INBOX\" {10245+}\r\n" + part1 + part2 + "\r\n",
        f.session->clientBytes);
}

TEST(CommandTest, AppendOfAnIncompleteBodySendsNothing)
{
    struct Case {
        const char* name;
        std::vector<std::string> parts;
        std::uint32_t announced;
        std::uint32_t rest;
        std::size_t failAt;
    };
    const Case cases[] = {
        {"shorter than announced", {"abc"}, 5, 0, static_cast<std::size_t>(-1)},
        {"longer than announced", {"abcdef"}, 5, 0, static_cast<std::size_t>(-1)},
        {"source reports bytes left", {"abcde"}, 5, 2, static_cast<std::size_t>(-1)},
        {"source connection failed", {"ab", "cde"}, 5, 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LoggedInConnection f("%T OK\r\n");
        MemoryMessage message(c.parts, c.announced);
        message.rest_ = c.rest;
        message.failAt_ = c.failAt;
        Command append(f.connection, "APPEND");
        append.addParamString("INBOX");
        append.addParam("{" + std::to_string(c.announced) + "+}\r\n");
        EXPECT_THROW(append.execute(&message), IMessageLoadFailedException);
        EXPECT_EQ("", f.session->clientBytes);
    }
}

// A write that fails closes the connection and is never made again: 10
// when the command line could not be written (the message can be copied
// later), 9 when the message's bytes could not.
TEST(CommandTest, AppendOnALostTargetFailsTheMessageAndSendsNothingTwice)
{
    struct Case {
        long budget; // bytes that go out before writes fail
        ImapClientResult result;
    };
    for (const Case& c : {Case{10, ImapMessageLoadFailed}, Case{30, ImapAppendFailed}}) {
        SCOPED_TRACE(c.budget);
        LoggedInConnection f("%T OK\r\n");
        f.session->writeBudget = c.budget; // the line is 26 bytes long
        f.server.addSession(
            "* OK [CAPABILITY IMAP4rev1] hi\r\n%T OK in\r\n%T OK\r\n"); // must stay unused
        MemoryMessage message({std::string(100, 'x')}, 100);
        Command append(f.connection, "APPEND");
        append.addParamString("INBOX");
        append.addParam("{100+}\r\n");
        try {
            append.execute(&message);
            FAIL();
        } catch (const ImapException& e) {
            EXPECT_EQ(c.result, handleImapException(e, ImapAppendFailed));
            EXPECT_STREQ(c.budget == 10 ? "sending a command to scripted:143 failed"
                                        : "sending a message to scripted:143 failed",
                e.what());
        }
        EXPECT_EQ(ConnectionInternal::NotConnected, f.connection.getState());
        EXPECT_EQ(static_cast<std::size_t>(c.budget), f.session->clientBytes.size());
        EXPECT_EQ(1u, f.server.next); // no reconnect, nothing sent twice
    }
}

} // namespace

namespace {

TEST(CommandTest, AppendOnAConnectionLostBeforehandReconnectsFirst)
{
    LoggedInConnection f("");
    auto second = f.server.addSession(
        tavir::test::scriptedGreeting + "%T OK in\r\n%T OK [APPENDUID 1 1] done\r\n");
    f.connection.close(); // lost while idle
    MemoryMessage message({"hello"}, 5);
    Command append(f.connection, "APPEND");
    append.addParamString("INBOX");
    append.addParam("{5+}\r\n");
    EXPECT_EQ(Command::OK, append.execute(&message));
    EXPECT_EQ("", f.session->clientBytes);
    EXPECT_EQ("LOGIN \"user\" \"secret\"\r\nAPPEND \"INBOX\" {5+}\r\nhello\r\n",
        withoutTags(second->clientBytes));
}

} // namespace

namespace {

// The server's answer cut after every byte: only the whole answer may
// succeed, and every cut ends in an IMAP failure, never in a wrong result.
TEST(CommandTest, AnswerCutAfterEveryByte)
{
    const std::string answer
        = "* 2 EXISTS\r\n* 1 FETCH (BODY[] {7}\r\nab\r\n)\"c FLAGS (\\Seen))\r\n"
          "* LIST (\\Noselect) \"/\" {0}\r\n\r\n* OK [UIDNEXT 9] x\r\n"
          "%T OK done\r\n";
    const std::vector<std::string> expected = {
        "* 2 EXISTS",
        "* 1 FETCH (BODY[] {7}\r\nab\r\n)\"c FLAGS (\\Seen))",
        "* LIST (\\Noselect) \"/\" {0}\r\n",
        "* OK [UIDNEXT 9] x",
    };
    for (std::size_t cut = 0; cut <= answer.size(); ++cut) {
        SCOPED_TRACE(cut);
        LoggedInConnection f(answer.substr(0, cut));
        Command fetch(f.connection, "FETCH");
        try {
            EXPECT_EQ(Command::OK, fetch.execute(nullptr));
            EXPECT_EQ(answer.size(), cut);
            EXPECT_EQ(expected, fetch.getUntaggedResponses());
            EXPECT_EQ(fetch.getTag() + " OK done", fetch.getTaggedResponse());
        } catch (const ImapException& e) {
            EXPECT_LT(cut, answer.size());
            EXPECT_EQ(ImapConnectionError, handleImapException(e, ImapFetchFailed));
        }
        EXPECT_EQ(fetch.getTag() + " FETCH\r\n", f.session->clientBytes);
    }
}

} // namespace

namespace {

// Literals go without waiting only where the server announces LITERAL+, or
// LITERAL- for up to 4096 bytes (RFC 7888); elsewhere each waits for the
// server's continuation, and a server that refuses instead ends the
// command before the literal's bytes are sent. A server that has not said
// is asked once.
TEST(CommandTest, LiteralsWaitUnlessTheServerAllowsOtherwise)
{
    const std::string big(5000, '\xe4');
    struct Case {
        const char* name;
        std::string greeting;
        std::string name8bit; // the folder name, 8-bit so it goes as a literal
        std::string server; // what the server says to the command
        unsigned status;
        std::string wire; // what the client wrote, without tags
    };
    const Case cases[] = {
        {"LITERAL+", "* OK [CAPABILITY IMAP4rev1 LITERAL+] hi\r\n", "j\xc3\xb6rg", "%T OK\r\n",
            Command::OK, "SELECT {5+}\r\nj\xc3\xb6rg\r\n"},
        {"none", "* OK [CAPABILITY IMAP4rev1] hi\r\n", "j\xc3\xb6rg", "+ go ahead\r\n%T OK\r\n",
            Command::OK, "SELECT {5}\r\nj\xc3\xb6rg\r\n"},
        {"refused", "* OK [CAPABILITY IMAP4rev1] hi\r\n", "j\xc3\xb6rg",
            "* OK note\r\n%T NO too long\r\n", Command::NO, "SELECT {5}\r\n"},
        {"LITERAL- small", "* OK [CAPABILITY IMAP4rev1 LITERAL-] hi\r\n", "j\xc3\xb6rg",
            "%T OK\r\n", Command::OK, "SELECT {5+}\r\nj\xc3\xb6rg\r\n"},
        {"LITERAL- large", "* OK [CAPABILITY IMAP4rev1 LITERAL-] hi\r\n", big, "+ \r\n%T OK\r\n",
            Command::OK, "SELECT {5000}\r\n" + big + "\r\n"},
        // Asked before the login (whether it may send LOGIN), and not again.
        {"not said", "* OK hi\r\n* CAPABILITY IMAP4rev1\r\n%T OK\r\n", "j\xc3\xb6rg",
            "+ go ahead\r\n%T OK\r\n", Command::OK, "SELECT {5}\r\nj\xc3\xb6rg\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LoggedInConnection f(c.server, c.greeting);
        Command select(f.connection, "SELECT");
        select.addParamString(c.name8bit);
        EXPECT_EQ(c.status, select.execute(nullptr));
        EXPECT_EQ(c.wire, withoutTags(f.session->clientBytes));
    }
}

} // namespace
