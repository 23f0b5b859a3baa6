// Unicode's simple case folding: letters of every script, the foldings
// that lower case misses, and everything else left alone.
#include "utils/CaseFolding.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

using tavir::utils::foldCase;
using tavir::utils::foldCaseUtf8;

namespace {

std::string hex(wchar_t c)
{
    char text[16];
    std::snprintf(text, sizeof text, "U+%04X", static_cast<unsigned>(c));
    return text;
}

TEST(CaseFolding, FoldsLettersOfEveryScript)
{
    const struct {
        wchar_t letter;
        wchar_t folded;
    } rows[] = {
        {L'A', L'a'},
        {L'Z', L'z'},
        {L'a', L'a'},
        {L'@', L'@'},
        {L'[', L'['},
        {L'0', L'0'},
        {L'\u00B5', L'\u03BC'}, // micro sign: Greek mu
        {L'\u00C4', L'\u00E4'},
        {L'\u00DC', L'\u00FC'},
        {L'\u00D7', L'\u00D7'}, // x sign: none
        {L'\u00DF', L'\u00DF'}, // sharp s: only a full folding ("ss")
        {L'\u0100', L'\u0101'},
        {L'\u0101', L'\u0101'},
        {L'\u012E', L'\u012F'}, // alternating
        {L'\u0130', L'\u0130'}, // dotted capital I: full and Turkic foldings only
        {L'\u0131', L'\u0131'}, // dotless small i: none
        {L'\u017F', L's'}, // long s
        {L'\u0178', L'\u00FF'},
        {L'\u01C4', L'\u01C6'},
        {L'\u01C5', L'\u01C6'}, // title case
        {L'\u0345', L'\u03B9'}, // combining ypogegrammeni
        {L'\u03A3', L'\u03C3'},
        {L'\u03C2', L'\u03C3'}, // final sigma
        {L'\u03D0', L'\u03B2'}, // beta symbol
        {L'\u0410', L'\u0430'},
        {L'\u0531', L'\u0561'},
        {L'\u10A0', L'\u2D00'},
        {L'\u13F8', L'\u13F0'}, // Cherokee folds to its capitals
        {L'\uAB70', L'\u13A0'},
        {L'\u1E9B', L'\u1E61'}, // long s with dot above
        {L'\u1E9E', L'\u00DF'}, // capital sharp s: its simple folding
        {L'\u1F88', L'\u1F80'}, // Greek with prosgegrammeni: simple folding
        {L'\u2126', L'\u03C9'},
        {L'\u212A', L'k'},
        {L'\uFB00', L'\uFB00'}, // ligature ff: only a full folding
        {L'\uFF21', L'\uFF41'},
        {L'\uFFFF', L'\uFFFF'},
        {L'\U00010400', L'\U00010428'},
        {L'\U0001E921', L'\U0001E943'},
        {L'\U0001E922', L'\U0001E922'},
        {L'\U0010FFFF', L'\U0010FFFF'},
        {static_cast<wchar_t>(0x7FFFFFFF), static_cast<wchar_t>(0x7FFFFFFF)},
        {static_cast<wchar_t>(-1), static_cast<wchar_t>(-1)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(hex(row.letter));
        EXPECT_EQ(hex(row.folded), hex(foldCase(row.letter)));
    }
}

// Addresses the target takes for one account fold to one text; those it
// takes for two stay apart.
TEST(CaseFolding, AddressesFoldAsTheTargetComparesThem)
{
    const struct {
        const wchar_t* first;
        const wchar_t* second;
        bool same;
    } rows[] = {
        {L"\u00DCnal@X.org", L"\u00FCnal@x.org", true},
        {L"\u00C4BC@\u00C4.ORG", L"\u00E4bc@\u00E4.org", true},
        {L"\u039F\u0394\u039F\u03A3@x.org", L"\u03BF\u03B4\u03BF\u03C2@x.org", true},
        {L"\u03C3\u03C2@x.org", L"\u03C2\u03C3@x.org", true},
        {L"\u00B5@x.org", L"\u03BC@x.org", true},
        {L"\u017Fam@x.org", L"Sam@x.org", true},
        {L"STRASSE@x.org", L"strasse@x.org", true},
        {L"abc@a.org", L"\u00E4bc@a.org", false},
        {L"\u0130nal@x.org", L"inal@x.org", false},
        {L"Stra\u00DFe@x.org", L"strasse@x.org", false},
        {L"", L"", true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(&row - rows));
        EXPECT_EQ(row.same, foldCase(row.first) == foldCase(row.second));
    }
    EXPECT_EQ(L"\u00FCnal@x.org", foldCase(L"\u00DCnal@X.org"));
}

// UTF-8 folds as the same text in wide characters does; bytes that begin
// no well-formed character are kept, and never read as one.
TEST(CaseFolding, FoldsUtf8AndKeepsWhatIsNoCharacter)
{
    const struct {
        std::string text;
        std::string folded;
    } rows[] = {
        {"Bob@Example.COM", "bob@example.com"},
        {"\xCE\x9F\xCE\x94\xCE\x9F\xCE\xA3", "\xCE\xBF\xCE\xB4\xCE\xBF\xCF\x83"}, // 2 bytes
        {"\xC2\xB5", "\xCE\xBC"}, // micro sign: 2 bytes either way
        {"\xC5\xBF", "s"}, // long s: one byte fewer
        {"\xE2\x84\xAA", "k"}, // Kelvin sign: two fewer
        {"\xC8\xBA", "\xE2\xB1\xA5"}, // A with stroke: one byte more
        {"\xF0\x90\x90\x80", "\xF0\x90\x90\xA8"}, // Deseret, 4 bytes
        {"\xE1\xBA\x9E", "\xC3\x9F"}, // capital sharp s
        {"\xC4\xB0", "\xC4\xB0"}, // dotted capital I
        {"A\xFF" "B", "a\xFF" "b"},
        {"A\xC3", "a\xC3"}, // cut short
        {"\xC3\x41", "\xC3" "a"}, // no continuation byte
        {"\xC1\x81", "\xC1\x81"}, // overlong "A"
        {"\xE0\x81\x81", "\xE0\x81\x81"}, // overlong "A", 3 bytes
        {"\xED\xA0\x80", "\xED\xA0\x80"}, // a surrogate
        {"\xF4\x90\x80\x80", "\xF4\x90\x80\x80"}, // beyond U+10FFFF
        {"\x80" "A", "\x80" "a"},
        {"", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(&row - rows));
        EXPECT_EQ(row.folded, foldCaseUtf8(row.text));
    }
}

} // namespace
