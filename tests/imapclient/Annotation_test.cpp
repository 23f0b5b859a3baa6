// Annotations: the store form written for the target server and the
// annotation data read back from a server's reply.
#include "imapclient/Annotation.h"

#include <gtest/gtest.h>

#include <memory>

using namespace tavir::mail;

TEST(AnnotationTest, StoreForms)
{
    AnnotationList list;
    EXPECT_EQ("ANNOTATION ()", list.createStringForStore());
    list.add("/comment", "hello", "second");
    EXPECT_EQ("ANNOTATION (\"/comment\" ( \"value\" {5+}\r\nhello))", list.createStringForStore());
    list.addNil("/x");
    EXPECT_EQ("ANNOTATION (\"/comment\" ( \"value\" {5+}\r\nhello) \"/x\" ( \"value\" NIL))",
        list.createStringForStore());

    Annotation a("/comment", "hello", "");
    EXPECT_EQ("\"/comment\" ( \"value\" {5+}\r\nhello)", a.createString());
    EXPECT_EQ(a.createString(), a.createStringForStore(true));
    EXPECT_EQ(
        "ANNOTATION ( \"/comment\" ( \"value\" {5+}\r\nhello))", a.createStringForStore(false));

    Annotation empty("/e", "", "");
    EXPECT_EQ("\"/e\" ( \"value\" {0+}\r\n)", empty.createString());
}

TEST(AnnotationTest, CallerTextNeverLeavesItsToken)
{
    // Entry names go as string tokens (a literal when they hold line breaks
    // or 8-bit bytes), values always as literals of their exact size.
    struct Case {
        std::string entry;
        std::string value;
        std::string wire;
    };
    const std::string nulValue("a\0\r\nK9 LOGOUT\r\n", 15);
    const Case cases[] = {
        {"/a\"b", "v", "\"/a\\\"b\" ( \"value\" {1+}\r\nv)"},
        {"/x\r\nK9 LOGOUT", "v", "{13+}\r\n/x\r\nK9 LOGOUT ( \"value\" {1+}\r\nv)"},
        {"/n", nulValue, "\"/n\" ( \"value\" {15+}\r\n" + nulValue + ")"},
        {"/\xc3\xa4", "\xc3\xa4", "{3+}\r\n/\xc3\xa4 ( \"value\" {2+}\r\n\xc3\xa4)"},
    };
    for (const Case& c : cases) {
        Annotation a(c.entry, c.value, "");
        EXPECT_EQ(c.wire, a.createString());
    }
}

TEST(AnnotationTest, SizeTest)
{
    EXPECT_TRUE(Annotation("/a", std::string(0xEFFFFF, 'x'), "").createStringTest());
    Annotation big("/a", std::string(0xF00000, 'x'), "");
    EXPECT_FALSE(big.createStringTest());
    EXPECT_FALSE(big.createStringForStoreTest(true));
    AnnotationList list;
    EXPECT_TRUE(list.createStringForStoreTest());
    list.add("/s", "small", "");
    EXPECT_TRUE(list.createStringForStoreTest());
    list.add(big);
    EXPECT_FALSE(list.createStringForStoreTest());
}

TEST(AnnotationTest, ParseOne)
{
    struct Case {
        const char* name;
        std::string text;
        bool ok;
        std::string entry;
        std::string value;
        bool nil;
        std::string rest;
    };
    const Case cases[] = {
        {"quoted", "\"/comment\" (\"value.shared\" \"hi\") \"/x\" (\"value\" \"y\")", true,
            "/comment", "hi", false, "\"/x\" (\"value\" \"y\")"},
        {"atoms", "/comment (value.priv hi)", true, "/comment", "hi", false, ""},
        {"literal", "/c (value.shared {7}\r\na\r\nb \"c) /d (v NIL)", true, "/c", "a\r\nb \"c",
            false, "/d (v NIL)"},
        {"NIL", "/c (value.shared NIL) /d (v x)", true, "/c", "", true, "/d (v x)"},
        {"nil in lower case", "/c (value.shared nil)", true, "/c", "", true, ""},
        {"quoted NIL is text", "/c (value.shared \"NIL\")", true, "/c", "NIL", false, ""},
        {"NILS is an atom", "/c (value.shared NILS)", true, "/c", "NILS", false, ""},
        {"empty quoted", "/c (value.shared \"\")", true, "/c", "", false, ""},
        {"escapes", "/c (value \"a\\\"b\\\\c\")", true, "/c", "a\"b\\c", false, ""},
        {"nothing", "", false, "", "", true, ""},
        {"no group", "/c", false, "", "", true, "/c"},
        {"no value", "/c (value.shared)", false, "", "", true, "/c (value.shared)"},
        {"empty group", "/c ()", false, "", "", true, "/c ()"},
        {"unterminated", "/c (value \"abc)", false, "", "", true, "/c (value \"abc)"},
        {"short literal", "/c (value {9}\r\nab)", false, "", "", true, "/c (value {9}\r\nab)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Annotation a("old", "old", "old");
        std::string text = c.text;
        EXPECT_EQ(c.ok, a.parse(text));
        EXPECT_EQ(c.entry, a.getName());
        EXPECT_EQ(c.value, a.getValue());
        EXPECT_EQ("", a.getSecondValue());
        EXPECT_EQ(c.nil, a.isNil());
        EXPECT_EQ(c.ok ? c.rest : c.text, text);
    }
}

TEST(AnnotationTest, ParsedNilIsWrittenBackAsNil)
{
    Annotation a;
    std::string text = "\"/flag\" (\"value.shared\" NIL)";
    ASSERT_TRUE(a.parse(text));
    EXPECT_EQ("\"/flag\" ( \"value\" NIL)", a.createString());
}

TEST(AnnotationTest, ParseList)
{
    AnnotationList list;
    list.add("/kept", "k", "");
    list.parse("  /a (value.shared \"1\") /b (value.shared NIL) /c (value.shared {2}\r\n33)  ");
    ASSERT_EQ(4u, list.count());
    std::string out;
    EXPECT_TRUE(list.getName(1, out));
    EXPECT_EQ("/a", out);
    EXPECT_TRUE(list.getValue("/c", out, true));
    EXPECT_EQ("33", out);
    EXPECT_TRUE(list.at(2).isNil());

    // The first and last characters belong to the entries.
    AnnotationList bare;
    bare.parse("x (v 1) y (v 2)");
    ASSERT_EQ(2u, bare.count());
    EXPECT_EQ("x", bare.at(0).getName());
    EXPECT_EQ("2", bare.at(1).getValue());

    // A failure part-way keeps what was read before it.
    AnnotationList partial;
    partial.parse("/a (v 1) /b (v) /c (v 3)");
    ASSERT_EQ(1u, partial.count());
    EXPECT_EQ("/a", partial.at(0).getName());

    AnnotationList blank;
    blank.parse("   ");
    blank.parse("");
    EXPECT_EQ(0u, blank.count());
}

TEST(AnnotationTest, ListAccess)
{
    AnnotationList list;
    list.add("/a", "v1", "s1");
    list.add(Annotation("/b", "v2", "s2"));
    list.add("/a", "v3", "s3");
    std::string out = "unchanged";
    EXPECT_TRUE(list.getValue(0u, out, true));
    EXPECT_EQ("v1", out);
    EXPECT_TRUE(list.getValue(1u, out, false));
    EXPECT_EQ("s2", out);
    EXPECT_TRUE(list.getValue("/a", out, false));
    EXPECT_EQ("s1", out); // the first of that name
    out = "unchanged";
    EXPECT_FALSE(list.getValue("/A", out, true));
    EXPECT_EQ("unchanged", out);
    EXPECT_FALSE(list.getValue(3u, out, true));
    EXPECT_EQ("", out);
    out = "x";
    EXPECT_FALSE(list.getName(3, out));
    EXPECT_EQ("", out);

    AnnotationList copy = list;
    list.clear();
    EXPECT_EQ(0u, list.count());
    EXPECT_EQ(3u, copy.count());

    AnnotationList* heap = createAnnotationList();
    heap->add("/h", "v", "");
    EXPECT_EQ(1u, heap->count());
    destroyAnnotationList(heap);
    destroyAnnotationList(nullptr);
}
