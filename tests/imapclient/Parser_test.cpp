// The response parser against responses as RFC 3501 shows them and as
// Dovecot sends them.
#include "imapclient/ImapException.h"
#include "imapclient/Parser.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace tavir::mail;

namespace {

struct ParseCase {
    const char* name;
    std::string response;
    bool tagged;
    std::uint32_t type;
    std::string tag;
    std::string code;
    std::string text;
    std::uint32_t number;
    std::string data;
};

const ParseCase parseCases[] = {
    {"capability", "* CAPABILITY IMAP4rev1 LITERAL+ AUTH=PLAIN", false, 200, "", "",
        "IMAP4rev1 LITERAL+ AUTH=PLAIN", 0, ""},
    {"exists", "* 3 EXISTS", false, 211, "", "", "", 3, ""},
    {"recent", "* 0 RECENT", false, 212, "", "", "", 0, ""},
    {"expunge", "* 44 EXPUNGE", false, 301, "", "", "", 44, ""},
    {"fetch", "* 7 FETCH (FLAGS (\\Seen) UID 12) trailing", false, 302, "", "",
        "(FLAGS (\\Seen) UID 12) trailing", 7, ""},
    {"fetch with literal", "* 1 FETCH (BODY[] {5}\r\nab)\"c)", false, 302, "", "",
        "(BODY[] {5}\r\nab)\"c)", 1, ""},
    {"uidvalidity", "* OK [UIDVALIDITY 5] UIDs valid", false, 1008, "", "[UIDVALIDITY 5]",
        "UIDs valid", 5, ""},
    {"uidnext", "* OK [UIDNEXT 4392] Predicted next UID", false, 1009, "", "[UIDNEXT 4392]",
        "Predicted next UID", 4392, ""},
    {"unseen", "* OK [UNSEEN 12] Message 12 is first unseen", false, 1010, "", "[UNSEEN 12]",
        "Message 12 is first unseen", 12, ""},
    {"permanentflags", "* OK [PERMANENTFLAGS (\\Deleted \\Seen \\*)] Limited", false, 1004, "",
        "[PERMANENTFLAGS (\\Deleted \\Seen \\*)]", "Limited", 0, "(\\Deleted \\Seen \\*)"},
    {"ok without code", "* OK Still here", false, 0, "", "", "Still here", 0, ""},
    {"ok with one word", "* OK here", false, 0, "", "", "here ", 0, ""},
    {"ok with unknown code", "* OK [HIGHESTMODSEQ 1] x", false, 0, "", "[HIGHESTMODSEQ 1]", "x", 0,
        ""},
    {"tagged ok with code", "K3 OK [READ-WRITE] SELECT completed", true, 100, "K3", "[READ-WRITE]",
        "SELECT completed", 0, ""},
    {"tagged status only", "K9 NO", true, 101, "K9", "", "", 0, ""},
    {"tagged one word", "K9 OK done", true, 100, "K9", "", "done ", 0, ""},
    {"tagged bad", "K1 BAD Error in IMAP command", true, 102, "K1", "", "Error in IMAP command", 0,
        ""},
    {"tagged text with unbalanced parenthesis", "K1 NO (oops \"half", true, 101, "K1", "",
        "(oops \"half", 0, ""},
    {"continuation", "+ Ready for literal data", true, 0, "+", "", "for literal data", 0, ""},
    {"list", "* LIST (\\HasNoChildren) \"/\" INBOX", false, 201, "", "",
        "(\\HasNoChildren) \"/\" INBOX", 0, ""},
    {"status", "* STATUS blurdybloop (MESSAGES 231 UIDNEXT 44292)", false, 203, "", "",
        "blurdybloop (MESSAGES 231 UIDNEXT 44292)", 0, ""},
    {"flags", "* FLAGS (\\Answered \\Flagged)", false, 210, "", "", "(\\Answered \\Flagged)", 0,
        ""},
    // Responses the tables don't know are type 0 (readers pass them over).
    {"untagged no", "* NO [ALERT] Disk full", false, 0, "", "", "[ALERT] Disk full", 0, ""},
    {"untagged bye", "* BYE Logging out", false, 0, "", "", "Logging out", 0, ""},
    {"enabled", "* ENABLED CONDSTORE", false, 0, "", "", "CONDSTORE", 0, ""},
    {"vanished", "* VANISHED (EARLIER) 1:5", false, 0, "", "", "(EARLIER) 1:5", 0, ""},
    {"numbered unknown", "* 5 XYZZY a", false, 0, "", "", "a", 5, ""},
};

TEST(ParserTest, ClassifiesResponses)
{
    for (const ParseCase& c : parseCases) {
        SCOPED_TRACE(c.name);
        ResponseResult r;
        Parser parser(c.response);
        ASSERT_NO_THROW(parser.parseResponse(r));
        EXPECT_EQ(c.tagged, r.isTagged());
        EXPECT_EQ(c.type, r.getType());
        EXPECT_EQ(c.tag, r.getTag());
        EXPECT_EQ(c.code, r.getCode());
        EXPECT_EQ(c.text, r.getString());
        EXPECT_EQ(c.number, r.getNumber());
        EXPECT_EQ(c.data, r.getData());
    }
}

TEST(ParserTest, MalformedResponsesThrowParserException)
{
    const std::string bad[] = {
        "",
        "   ",
        "*",
        "* 3",
        "* 99999999999 EXISTS", // does not fit 32 bits
        "* OK [UIDVALIDITY 5 broken",
        "K1",
    };
    for (const std::string& response : bad) {
        SCOPED_TRACE(response);
        ResponseResult r;
        Parser parser(response);
        EXPECT_THROW(parser.parseResponse(r), ImapParserException);
    }
}

// Status responses in their parts, as servers answer a login (RFC 5530's
// codes, Dovecot's and a web-mail provider's words): the code's name as
// sent, the text after it, and the words from the status on.
TEST(ParserTest, ReadsStatusResponsesInTheirParts)
{
    const struct Row {
        const char* line;
        bool status;
        std::string tag, word, code, text, words;
    } rows[] = {
        {"K3 NO [LIMIT] Maximum number of connections from user+IP exceeded "
         "(mail_max_userip_connections=10)",
            true, "K3", "NO", "LIMIT",
            "Maximum number of connections from user+IP exceeded (mail_max_userip_connections=10)",
            "NO [LIMIT] Maximum number of connections from user+IP exceeded "
            "(mail_max_userip_connections=10)"},
        {"a1 NO [ALERT] Too many simultaneous connections. (Failure)", true, "a1", "NO", "ALERT",
            "Too many simultaneous connections. (Failure)",
            "NO [ALERT] Too many simultaneous connections. (Failure)"},
        {"K1 no [authenticationfailed] Authentication failed.", true, "K1", "no",
            "authenticationfailed", "Authentication failed.",
            "no [authenticationfailed] Authentication failed."},
        {"* BAD [ALERT] Plaintext authentication not allowed", true, "*", "BAD", "ALERT",
            "Plaintext authentication not allowed",
            "BAD [ALERT] Plaintext authentication not allowed"},
        {"K2 OK [UIDNEXT 7] predicted", true, "K2", "OK", "UIDNEXT", "predicted",
            "OK [UIDNEXT 7] predicted"},
        {"* BYE [UNAVAILABLE] Temporary System Problem", true, "*", "BYE", "UNAVAILABLE",
            "Temporary System Problem", "BYE [UNAVAILABLE] Temporary System Problem"},
        {"K4 NO Login failed", true, "K4", "NO", "", "Login failed", "NO Login failed"},
        {"K5 NO", true, "K5", "NO", "", "", "NO"},
        {"K6 NO []", true, "K6", "NO", "", "", "NO []"},
        {"* 3 EXISTS", false, "", "", "", "", ""},
        {"* CAPABILITY IMAP4rev1", false, "", "", "", "", ""},
        {"+ go ahead", false, "", "", "", "", ""},
        {"K7 NO [LIMIT broken", false, "", "", "", "", ""},
        {"", false, "", "", "", "", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.line);
        StatusResponse response;
        response.tag = "left over";
        EXPECT_EQ(row.status, readStatusResponse(row.line, response));
        EXPECT_EQ(row.tag, response.tag);
        EXPECT_EQ(row.word, response.status);
        EXPECT_EQ(row.code, response.code);
        EXPECT_EQ(row.text, response.text);
        EXPECT_EQ(row.words, response.words);
        EXPECT_EQ(row.tag == "*" ? "" : row.code, taggedResponseCode(row.line));
    }
}

struct TokenCase {
    const char* name;
    std::string text;
    std::vector<std::string> nodes; // getNode results in order
};

const TokenCase tokenCases[] = {
    {"atoms", "a b  c", {"a", "b", "c"}},
    {"quoted with escapes", "\"a\\\"b\" \"c\\\\d\"", {"a\"b", "c\\d"}},
    {"quoted keeps other backslashes", "\"\\Seen\"", {"\\Seen"}},
    {"quoted empty", "\"\" x", {"", "x"}},
    {"NIL alone", "NIL NIL", {"", ""}},
    {"NIL only as a whole token", "NILS NIL2 xNIL", {"NILS", "NIL2", "xNIL"}},
    {"atom with brackets", "BODY[HEADER] x", {"BODY[HEADER]", "x"}},
    {"literal", "{5}\r\nab cd rest", {"ab cd", "rest"}},
    {"literal plus", "{3+}\r\nabc", {"abc"}},
    {"literal empty", "{0}\r\n x", {"", "x"}},
    {"literal with NUL and 8-bit", std::string("{4}\r\na\0\xff\n", 9),
        {std::string("a\0\xff\n", 4)}},
    // RFC 3516: a literal8 is a string of octets like any literal, never
    // a word that ends at the first blank.
    {"literal8", "~{5}\r\nab cd rest", {"ab cd", "rest"}},
    {"literal8 with NUL", std::string("~{3}\r\na\0b x", 11), {std::string("a\0b", 3), "x"}},
    {"an atom that begins with a tilde", "~peter/mail ~ x", {"~peter/mail", "~", "x"}},
    {"parenthesised", "((a b) (c)) d", {"((a b) (c))", "d"}},
    {"parenthesis inside quotes", "(\")\" x) y", {"(\")\" x)", "y"}},
    {"parenthesis inside literal", "(x {1}\r\n)) y", {"(x {1}\r\n))", "y"}},
    {"bracketed", "[PERMANENTFLAGS (\\Seen)] t", {"[PERMANENTFLAGS (\\Seen)]", "t"}},
    {"atom Drafts}", "Drafts} x", {"Drafts}", "x"}},
};

TEST(ParserTest, ReadsTokens)
{
    for (const TokenCase& c : tokenCases) {
        SCOPED_TRACE(c.name);
        Parser parser(c.text);
        std::vector<std::string> nodes;
        std::string node;
        while (parser.getNode(node))
            nodes.push_back(node);
        EXPECT_EQ(c.nodes, nodes);
    }
}

TEST(ParserTest, NodeDataStripsGroupDelimiters)
{
    std::string text = "((a) (b)) [x y] \"(q)\"";
    Parser parser(text);
    std::string node;
    ASSERT_TRUE(parser.getNodeData(node));
    EXPECT_EQ("(a) (b)", node);
    ASSERT_TRUE(parser.getNodeData(node));
    EXPECT_EQ("x y", node);
    // A quoted string is data already; its parentheses belong to it.
    ASSERT_TRUE(parser.getNodeData(node));
    EXPECT_EQ("(q)", node);
    EXPECT_FALSE(parser.getNodeData(node));
}

TEST(ParserTest, RestIsEverythingAfterTheBlanks)
{
    std::string text = "a   b \"c d\"";
    Parser parser(text);
    std::string node, rest;
    ASSERT_TRUE(parser.getNode(node));
    ASSERT_TRUE(parser.getRest(rest));
    EXPECT_EQ("b \"c d\"", rest);
    EXPECT_FALSE(parser.getRest(rest));
    EXPECT_EQ("", rest);
}

TEST(ParserTest, LexerFailuresCarryTheirTexts)
{
    using namespace tavir::mail::imap;
    std::string text = "abc";
    Pos pos = text.begin();
    try {
        testCharacter(text, pos, 'x');
        FAIL();
    } catch (const ImapParserException& e) {
        EXPECT_STREQ("Character different", e.what());
    }
    Pos end = text.end();
    try {
        testCharacter(text, end, 'x');
        FAIL();
    } catch (const ImapParserException& e) {
        EXPECT_STREQ("Bad ", e.what());
    }
    try {
        findCharacterEx(text, pos, 'x');
        FAIL();
    } catch (const ImapParserException& e) {
        EXPECT_STREQ("Character not found", e.what());
    }
    std::string blanks = "   ";
    Pos b = blanks.begin();
    try {
        skipSpaceEx(blanks, b);
        FAIL();
    } catch (const ImapParserException& e) {
        EXPECT_STREQ("Space not presented", e.what());
    }
    std::string unterminated = "\"abc";
    Pos u = unterminated.begin();
    std::string out;
    EXPECT_THROW(readString(unterminated, u, out), ImapParserException);
    std::string huge = "{4294967296}\r\nx";
    Pos h = huge.begin();
    EXPECT_THROW(readString(huge, h, out), ImapParserException);
    for (std::string literal : {"{5}\r\nab", "{5x}\r\nabcde", "{5}abcde", "{}\r\n", "{+}\r\n",
             "~{5}\r\nab", "~{5}abcde", "~{}\r\n"}) {
        Pos l = literal.begin();
        EXPECT_THROW(readString(literal, l, out), ImapParserException) << literal;
    }
    std::string unbalanced = "((a)";
    Pos p = unbalanced.begin();
    EXPECT_THROW(readParenthesis(unbalanced, p, '(', ')', out), ImapParserException);
}

TEST(ParserTest, TestWordMovesOnlyOnMatch)
{
    using namespace tavir::mail::imap;
    std::string text = "FETCH x";
    Pos pos = text.begin();
    EXPECT_FALSE(testWord(text, pos, "FETCHES"));
    EXPECT_TRUE(pos == text.begin());
    EXPECT_TRUE(testWord(text, pos, "FETCH"));
    EXPECT_EQ(' ', *pos);
}

TEST(ParserTest, IsNumberAndParseUnsigned)
{
    EXPECT_TRUE(Parser::isNumber(""));
    EXPECT_TRUE(Parser::isNumber("0123"));
    EXPECT_FALSE(Parser::isNumber("12a"));
    std::uint32_t v = 0;
    EXPECT_TRUE(imap::parseUnsigned32("4294967295", v));
    EXPECT_EQ(4294967295u, v);
    EXPECT_FALSE(imap::parseUnsigned32("4294967296", v));
    EXPECT_FALSE(imap::parseUnsigned32("", v));
    EXPECT_FALSE(imap::parseUnsigned32("-1", v));
}

TEST(ParserTest, DumpNamesEveryField)
{
    std::string text = "* OK [UIDNEXT 9] next";
    Parser parser(text);
    ResponseResult r;
    parser.parseResponse(r);
    std::ostringstream out;
    r.dump(out);
    EXPECT_EQ("UnTagged response:   Type = 1009\n  code = [UIDNEXT 9]\n  number = 9\n"
              "  data = \n  other = next\n\n",
        out.str());
}

} // namespace

namespace {

// FETCH responses as the reply reader hands them over: whole, or stopped at
// the announcement of a literal left on the connection.
TEST(ParserTest, ReadsFetchResponses)
{
    struct Case {
        const char* name;
        std::string text;
        int result; // 0 not a FETCH, 1 read, 2 throws
        std::uint32_t number;
        std::string items; // name=value pairs
        std::string open; // the open item and its size
    };
    const Case cases[] = {
        {"items in any order", "* 7 FETCH (FLAGS (\\Seen) UID 12 INTERNALDATE \"x y\")", 1, 7,
            "FLAGS=(\\Seen) UID=12 INTERNALDATE=x y ", ""},
        {"stopped at the body", "* 3 FETCH (UID 4 BODY[] {42}\r\n", 1, 3, "UID=4 ", "BODY[] 42"},
        {"a literal before the body", "* 3 FETCH (X {3}\r\na)b BODY[] {0}\r\n", 1, 3, "X=a)b ",
            "BODY[] 0"},
        {"stopped at another item", "* 3 FETCH (BODY[HEADER] {9}\r\n", 1, 3, "", "BODY[HEADER] 9"},
        {"a complete body", "* 3 FETCH (BODY[] {2}\r\nab)", 1, 3, "BODY[]=ab ", ""},
        {"a literal8 value", "* 3 FETCH (BODY[]<0> ~{5}\r\nMe ss UID 4)", 1, 3,
            "BODY[]<0>=Me ss UID=4 ", ""},
        {"stopped at a literal8 body", "* 3 FETCH (UID 4 BODY[] ~{42}\r\n", 1, 3, "UID=4 ",
            "BODY[] 42"},
        {"the target's AFETCH", "* 2 afetch (uid 9)", 1, 2, "uid=9 ", ""},
        {"flag news", "* 9 FETCH (FLAGS ())", 1, 9, "FLAGS=() ", ""},
        {"not a FETCH", "* 3 EXISTS", 0, 0, "", ""},
        {"tagged", "K1 OK FETCH done", 0, 0, "", ""},
        {"number out of range", "* 99999999999 FETCH (UID 1)", 0, 0, "", ""},
        {"no item list", "* 3 FETCH UID 4", 2, 3, "", ""},
        {"an item without value", "* 3 FETCH (UID)", 2, 3, "", ""},
        {"unbalanced", "* 3 FETCH (FLAGS (\\Seen)", 2, 3, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FetchResponse fetch;
        int result = 2;
        try {
            result = parseFetchResponse(c.text, fetch) ? 1 : 0;
        } catch (const ImapParserException&) {
        }
        EXPECT_EQ(c.result, result);
        EXPECT_EQ(c.number, fetch.number);
        if (result != 1)
            continue;
        std::string items;
        for (const auto& [name, value] : fetch.items)
            items += name + "=" + value + " ";
        EXPECT_EQ(c.items, items);
        EXPECT_EQ(c.open,
            fetch.openItem.empty() ? "" : fetch.openItem + " " + std::to_string(fetch.openSize));
        EXPECT_EQ(fetch.openItem == "BODY[]", fetch.bodyIsOpen());
    }
}

} // namespace
