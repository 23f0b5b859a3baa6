#include "imapclient/Synthesizer.h"

#include <gtest/gtest.h>

using namespace tavir::mail;

TEST(SynthesizerTest, SeparatesParametersWithOneBlank)
{
    Synthesizer s;
    s.addParam("A");
    EXPECT_EQ("A", s.get());
    s.addParam("B");
    s.addParam(0u);
    s.addParam(4294967295u);
    s.append("\r\n");
    EXPECT_EQ("A B 0 4294967295\r\n", s.get());
    s.clear();
    EXPECT_EQ("", s.get());
}

TEST(SynthesizerTest, StringParameters)
{
    struct Case {
        const char* name;
        std::string text;
        std::string wire;
    };
    const Case cases[] = {
        {"empty", "", "\"\""},
        {"plain", "INBOX", "\"INBOX\""},
        {"blank", "Sent Items", "\"Sent Items\""},
        {"quote and backslash", "a\\\"b", "\"a\\\\\\\"b\""},
        {"backslash alone is escaped too", "a\\b", "\"a\\\\b\""},
        {"CR LF go as a literal", "x\r\nK9 DELETE INBOX", "{18+}\r\nx\r\nK9 DELETE INBOX"},
        {"NUL goes as a literal", std::string("a\0b", 3), std::string("{3+}\r\na\0b", 9)},
        {"8-bit goes as a literal", "p\xc3\xa4ss", "{5+}\r\np\xc3\xa4ss"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Synthesizer s;
        s.addParam("K1");
        s.addParamString(c.text);
        EXPECT_EQ("K1 " + c.wire, s.get());
    }
}

TEST(SynthesizerTest, LiteralsAndLists)
{
    Synthesizer s;
    s.addParamStringEx("");
    s.addParamStringEx("abc");
    s.addParamVector(std::vector<std::string>{"a", "b"});
    s.addParamVector(std::vector<std::string>{});
    s.addParamVector("MESSAGES");
    s.addParamVectorString({"a", "b\"c"});
    s.addParamVectorString({});
    EXPECT_EQ("{0+}\r\n {3+}\r\nabc (a b) () (MESSAGES) (\"a\" \"b\\\"c\") ()", s.get());
}

TEST(SynthesizerTest, OutForms)
{
    std::string out;
    Synthesizer::addSpace(out);
    EXPECT_EQ("", out);
    Synthesizer::addParam(out, "NAME");
    Synthesizer::addParamStringEx(out, "john");
    Synthesizer::addSpace(out);
    EXPECT_EQ("NAME {4+}\r\njohn ", out);
}

TEST(SynthesizerTest, EscapeAndLiteralHelpers)
{
    EXPECT_EQ("a\\\\b\\\"c\r\n", escapeQuotationMarks("a\\b\"c\r\n"));
    EXPECT_EQ("{3+}\r\nabc", literalPlus("abc"));
    EXPECT_TRUE(isQuotable("a b\\\"c"));
    EXPECT_FALSE(isQuotable("a\nb"));
}

TEST(SynthesizerTest, FolderTypeKeywords)
{
    struct Case {
        unsigned bits;
        const char* keyword;
    };
    const Case cases[] = {
        {0x7FFF, "X-ALL"},
        {0xFFFF, "X-ALL"},
        {0x8001, "X-CONTACT"},
        {0x11, "X-CONTACT"},
        {0x2, "X-CALENDAR"},
        {0x4, "X-TODO"},
        {0x8, "X-JOURNAL"},
        {0x10, "X-MAIL"},
        {0x20, "X-MAPI"},
        {0x40, "X-NOTE"},
        {0x80, "X-SEARCH"},
        {0x100, ""},
        {0, ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.keyword, convertListExtension(c.bits)) << std::hex << c.bits;
}

TEST(SynthesizerTest, FolderTypeFlags)
{
    EXPECT_EQ(0x10010u, convertListExtension(std::string("(\\TavirMail \\Noselect)")));
    EXPECT_EQ(0x10u, convertListExtension(std::string("(\\TavirMail \\NoSelect)")));
    EXPECT_EQ(0x41u, convertListExtension(std::string("\\TavirNote \\TavirContact")));
    EXPECT_EQ(0u, convertListExtension(std::string("")));
}
