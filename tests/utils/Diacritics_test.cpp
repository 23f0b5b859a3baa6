// Removing diacritics: the letter table and the three forms.
#include "utils/Diacritics.h"

#include "utils/SingletonFactory.h"

#include <gtest/gtest.h>

#include <string>

using namespace tavir::utils;

TEST(Diacritics, Utf8Texts)
{
    struct Case {
        std::string in;
        std::string out;
        bool result;
    };
    const Case cases[] = {
        {"\xC5\xBDlu\xC5\xA5ou\xC4\x8Dk\xC3\xBD k\xC5\xAF\xC5\x88", "Zlutoucky kun", true},
        {"Stra\xC3\x9F"
         "e",
            "Strasse", true},
        {"\xC5\x92uvre", "OEuvre", true},
        {"\xC3\x86r\xC3\xB8 \xC3\xA6", "AEro ae", true},
        {"\xD0\x96 x", "? x", false}, // Cyrillic Zhe
        {"", "", true},
    };
    for (const Case& c : cases) {
        std::string out = "junk";
        EXPECT_EQ(removeDiacritics("utf-8", c.in, out), c.result) << c.in;
        EXPECT_EQ(out, c.out);
    }
    std::string out = "junk";
    EXPECT_FALSE(removeDiacritics("x-no-such-charset", std::string("abc"), out));
    EXPECT_EQ(out, "");
    EXPECT_FALSE(removeDiacritics("utf-8", std::string("a\xFF"), out)) << "invalid input";
    EXPECT_EQ(out, "");
    // other charsets go through UTF-8 first
    EXPECT_TRUE(removeDiacritics("iso-8859-2", std::string("\xA9koda"), out));
    EXPECT_EQ(out, "Skoda");
}

TEST(Diacritics, WideAndUtf16Forms)
{
    std::wstring wout;
    EXPECT_TRUE(removeDiacritics(std::wstring(L"Ã\u0151r\u0219"), wout));
    EXPECT_EQ(wout, L"Aors");
    EXPECT_FALSE(removeDiacritics(std::wstring(L"a\u4E2D"), wout));
    EXPECT_EQ(wout, L"a?");

    const unsigned short abcdef[] = {'a', 'b', 'c', 'd', 'e', 'f', 0};
    char out[8] = "#######";
    EXPECT_TRUE(removeDiacritics(abcdef, out, 4));
    EXPECT_STREQ(out, "abc");
    EXPECT_EQ(out[4], '#');

    const unsigned short mixed[] = {0x00DF, 'x', 0x4E2D, 0x0141, 0};
    char buffer[16];
    EXPECT_FALSE(removeDiacritics(mixed, buffer, sizeof buffer));
    EXPECT_STREQ(buffer,
        "ssx\xE4\xB8\xAD"
        "L");
    const unsigned short empty[] = {0};
    EXPECT_TRUE(removeDiacritics(empty, buffer, sizeof buffer));
    EXPECT_STREQ(buffer, "");
}

TEST(Diacritics, TableHoldsAsciiReplacementsOfLatinLetters)
{
    const auto& table = SingletonFactory<ri_conv, DestroyAtExit>::getInstance()->table();
    EXPECT_EQ(table.size(), 209u);
    for (const auto& [letter, replacement] : table) {
        EXPECT_GE(letter.size(), 2u);
        EXPECT_TRUE(replacement == "ss" || replacement == "AE" || replacement == "ae"
            || replacement == "OE" || replacement == "oe" || replacement.size() == 1)
            << replacement;
        for (char c : replacement)
            EXPECT_TRUE((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'));
    }
}
