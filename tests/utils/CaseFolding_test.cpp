// Letters of every script in lower case, and everything else left alone.
#include "utils/CaseFolding.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

using tavir::utils::lowerLetter;
using tavir::utils::lowerLetters;

namespace {

std::string hex(wchar_t c)
{
    char text[16];
    std::snprintf(text, sizeof text, "U+%04X", static_cast<unsigned>(c));
    return text;
}

TEST(CaseFolding, LowersLettersOfEveryScript)
{
    const struct {
        wchar_t letter;
        wchar_t lower;
    } rows[] = {
        {L'A', L'a'},
        {L'Z', L'z'},
        {L'a', L'a'},
        {L'@', L'@'},
        {L'[', L'['},
        {L'0', L'0'},
        {L'\u00C4', L'\u00E4'},
        {L'\u00DC', L'\u00FC'},
        {L'\u00D7', L'\u00D7'}, // x sign: none
        {L'\u00DF', L'\u00DF'}, // sharp s has no one-letter upper case
        {L'\u0100', L'\u0101'},
        {L'\u0101', L'\u0101'},
        {L'\u012E', L'\u012F'}, // alternating
        {L'\u0130', L'i'}, // dotted capital I: its simple mapping
        {L'\u0178', L'\u00FF'},
        {L'\u01C4', L'\u01C6'},
        {L'\u01C5', L'\u01C6'}, // title case
        {L'\u03A3', L'\u03C3'},
        {L'\u0410', L'\u0430'},
        {L'\u0531', L'\u0561'},
        {L'\u10A0', L'\u2D00'},
        {L'\u1E9E', L'\u00DF'},
        {L'\u2126', L'\u03C9'},
        {L'\u212A', L'k'},
        {L'\uFF21', L'\uFF41'},
        {L'\uFFFF', L'\uFFFF'},
        {L'\U00010400', L'\U00010428'},
        {L'\U0001E921', L'\U0001E943'},
        {L'\U0001E922', L'\U0001E922'},
        {L'\U0010FFFF', L'\U0010FFFF'},
        {static_cast<wchar_t>(0x7FFFFFFF), static_cast<wchar_t>(0x7FFFFFFF)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(hex(row.letter));
        EXPECT_EQ(hex(row.lower), hex(lowerLetter(row.letter)));
    }
    EXPECT_EQ(L"\u00FCnal@x.org", lowerLetters(L"\u00DCnal@X.org"));
    EXPECT_EQ(lowerLetters(L"\u00C4BC@\u00C4.ORG"), lowerLetters(L"\u00E4bc@\u00E4.org"));
    EXPECT_NE(lowerLetters(L"abc@a.org"), lowerLetters(L"\u00E4bc@a.org"));
    EXPECT_EQ(L"", lowerLetters(L""));
}

} // namespace
