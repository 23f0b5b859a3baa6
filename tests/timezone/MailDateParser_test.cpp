#include "timezone/KDateTime.h"
#include "timezone/MailDateParser.h"

#include "support/ScopedTz.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

using namespace tavir::timezone;

namespace {

int64_t utc(int year, int month, int day, int hour, int minute, int second)
{
    return KDateTime(day, month, year, hour, minute, second).to64();
}

constexpr int64_t FAIL = INT64_MIN;
constexpr int64_t UNTOUCHED = 4242;

// One table for both parsers: the text, what parseRFC822Date64 gives and what
// parseInternaldate gives (FAIL: refused, result left untouched).
struct Case {
    const char* text;
    int64_t rfc822;
    int64_t internaldate;
};

TEST(MailDateParser, Table)
{
    const int64_t jan5 = utc(2004, 1, 5, 9, 20, 30);
    const Case cases[] = {
        // RFC 5322 appendix A.1.1 and RFC 3501's example.
        {"Fri, 21 Nov 1997 09:55:06 -0600", 880127706, FAIL},
        {"17-Jul-1996 02:44:25 -0700", FAIL, utc(1996, 7, 17, 9, 44, 25)},
        // RFC 5322 appendix A.5 (no seconds, a comment after the zone) and A.1.2.
        {"Thu, 13 Feb 1969 23:32 -0330 (Newfoundland Time)", utc(1969, 2, 14, 3, 2, 0), FAIL},
        {"Thu, 13 Feb 1969 23:32:54 -0330 (Newfoundland Time)", utc(1969, 2, 14, 3, 2, 54), FAIL},
        {"Tue, 1 Jul 2003 10:52:37 +0200", utc(2003, 7, 1, 8, 52, 37), FAIL},
        {"Mon, 05 Jan 2004 10:20:30 +0100", jan5, FAIL},
        {"5 Jan 2004 10:20:30 +0100", jan5, FAIL},
        {"Mon,   5 jan 2004 10:20:30 +0100", jan5, FAIL},
        {"Mon, 5 Jan 2004 10:20:30", FAIL, FAIL},
        {"Mon, 5 Jan 2004 10:20:30 ", utc(2004, 1, 5, 10, 20, 30), FAIL},
        // RFC 5322 makes the seconds optional; IMAP does not.
        {"5 Jan 2004 10:20 +0100", utc(2004, 1, 5, 9, 20, 0), FAIL},
        {"5 Jan 2004 10:20", FAIL, FAIL},
        {"05-Jan-2004 10:20 +0100", FAIL, FAIL},
        {"5 Jan 2004 10:2 +0100", FAIL, FAIL},
        {"5 Jan 2004 24:00:00 +0000", FAIL, FAIL},
        {"5 Jan 2004 10:60:00 +0000", FAIL, FAIL},
        {"5 Jan 2004 23:59:60 +0000", utc(2004, 1, 6, 0, 0, 0), FAIL},
        {"5 Jan 2004 10:20:30 +0100 (CET)", jan5, FAIL},
        {"5 Jan 2004 10:20:30 +0100 (a, b)", FAIL, FAIL},
        {"5 Jan 2004 10:20:30  +0100", jan5, FAIL},
        {"5 Xyz 2004 10:20:30 +0100", FAIL, FAIL},
        {"5 Jan 204 10:20:30 +0100", FAIL, FAIL},
        {"5 Jan 1899 10:20:30 +0100", FAIL, FAIL},
        {"0 Jan 2004 00:00:00 +0000", utc(2003, 12, 31, 0, 0, 0), FAIL},
        // Two-digit years: a window for RFC 822, 19yy for INTERNALDATE.
        {"1 Jan 69 00:00:00 +0000", utc(2069, 1, 1, 0, 0, 0), FAIL},
        {"1 Jan 70 00:00:00 +0000", utc(1970, 1, 1, 0, 0, 0), FAIL},
        {"21 Nov 97 09:55:06 GMT", utc(1997, 11, 21, 9, 55, 6), FAIL},
        {"01-Jan-69 00:00:00-GMT", FAIL, utc(1969, 1, 1, 0, 0, 0)},
        {"01-Jan-1899 00:00:00 +0000", FAIL, FAIL},
        // Obsolete zone names.
        {"1 Jan 2004 00:00:00 EST", utc(2004, 1, 1, 5, 0, 0), FAIL},
        {"1 Jan 2004 00:00:00 edt", utc(2004, 1, 1, 4, 0, 0), FAIL},
        {"1 Jan 2004 00:00:00 PST (Pacific)", utc(2004, 1, 1, 8, 0, 0), FAIL},
        {"1 Jan 2004 00:00:00 UT", utc(2004, 1, 1, 0, 0, 0), FAIL},
        {"1 Jan 2004 00:00:00 Z", utc(2004, 1, 1, 0, 0, 0), FAIL},
        {"1 Jan 2004 00:00:00 A", utc(2003, 12, 31, 23, 0, 0), FAIL},
        {"1 Jan 2004 00:00:00 Y", utc(2004, 1, 1, 12, 0, 0), FAIL},
        {"1 Jan 2004 00:00:00 XYZ", utc(2004, 1, 1, 0, 0, 0), FAIL},
        // INTERNALDATE forms.
        {"05-Jan-2004 10:20:30 +0100", FAIL, jan5},
        {" 5-Jan-2004 10:20:30 +0100", FAIL, jan5},
        {"5-Jan-2004 10:20:30 +0100", FAIL, jan5},
        {"05-jan-2004 10:20:30 +0100", FAIL, jan5},
        {"05-Jan-2004 10:20:30 +0100x", FAIL, FAIL},
        {"05-Jan-2004 10:20:30 +01", FAIL, FAIL},
        {"05-Jan-2004 10:20:30 EST", FAIL, FAIL},
        {"05-Jan-2004 10:20:30+0100", FAIL, FAIL},
        {"05-Jan-04 10:20:30-EST", FAIL, utc(1904, 1, 5, 15, 20, 30)},
        {"05-Jan-04 10:20:30-UT", FAIL, utc(1904, 1, 5, 10, 20, 30)},
        {"05-Jan-04 10:20:30-ut", FAIL, utc(1904, 1, 5, 10, 20, 30)},
        {"05-Jan-04 10:20:30-HST", FAIL, utc(1904, 1, 5, 20, 20, 30)},
        {"05-Jan-04 10:20:30-BDT", FAIL, utc(1904, 1, 5, 20, 20, 30)},
        {"05-Jan-04 10:20:30-z", FAIL, utc(1904, 1, 5, 10, 20, 30)},
        {"05-Jan-04 10:20:30-XX", FAIL, FAIL},
        {"05-Jan-04 10:20:30-J", FAIL, FAIL},
        {"05-Jan-04 10:20:30-ESTX", FAIL, FAIL},
        {"05-Jan-04 10:20:30-CET", FAIL, FAIL},
        {"05-Jan-04 10:20:30-", FAIL, FAIL},
        {"32-Jan-2004 00:00:00 +0000", FAIL, utc(2004, 2, 1, 0, 0, 0)},
        {"31-Dec-1999 23:59:59 -2359", FAIL, utc(2000, 1, 1, 23, 58, 59)},
        // Garbage.
        {"", FAIL, FAIL},
        {"garbage", FAIL, FAIL},
        {",", FAIL, FAIL},
        {"05-Jan-2004", FAIL, FAIL},
        {"Mon, 5 Jan", FAIL, FAIL},
        {"\x80\xff-Jan-2004 10:20:30 +0100", FAIL, FAIL},
    };
    for (const Case& c : cases) {
        int64_t r64 = UNTOUCHED;
        EXPECT_EQ(parseRFC822Date64(c.text, &r64), c.rfc822 != FAIL) << c.text;
        EXPECT_EQ(r64, c.rfc822 == FAIL ? UNTOUCHED : c.rfc822) << c.text;

        time_t rt = UNTOUCHED;
        EXPECT_EQ(parseRFC822Date(c.text, &rt), c.rfc822 != FAIL) << c.text;
        EXPECT_EQ(int64_t(rt), c.rfc822 == FAIL ? UNTOUCHED : c.rfc822) << c.text;

        time_t it = UNTOUCHED;
        EXPECT_EQ(parseInternaldate(c.text, &it), c.internaldate != FAIL) << c.text;
        EXPECT_EQ(int64_t(it), c.internaldate == FAIL ? UNTOUCHED : c.internaldate) << c.text;
    }
    EXPECT_FALSE(parseRFC822Date64(nullptr, nullptr));
    EXPECT_FALSE(parseRFC822Date("5 Jan 2004 10:20:30 +0100", nullptr));
    EXPECT_FALSE(parseInternaldate(nullptr, nullptr));
}

// RFC 5322 lets folding white space and comments stand wherever a blank
// does: runs of blanks and tabs, folded lines, comments, and in the obsolete
// syntax around the colons of the time too. INTERNALDATE stays strict.
TEST(MailDateParser, WhiteSpaceAndCommentsBetweenFields)
{
    const int64_t jan5 = utc(2004, 1, 5, 9, 20, 30);
    const int64_t nov21 = 880127706; // RFC 5322 appendix A.1.1
    const struct {
        const char* text;
        int64_t rfc822;
    } cases[] = {
        {"Mon, 5 Jan 2004 10:20:30  +0100", jan5},
        {"Mon,\t5\tJan\t2004\t10:20:30\t+0100", jan5},
        {"Mon, 5  Jan \t 2004   10:20:30 \t +0100  ", jan5},
        {"  5 Jan 2004 10:20:30 +0100", jan5},
        {"Mon, 5 Jan 2004\r\n 10:20:30 +0100", jan5},
        {"Mon, 5 Jan 2004\n\t10:20:30\n +0100", jan5},
        {"Mon, 5 Jan 2004 10:20:30 (CET) +0100", jan5},
        {"Mon, 5 Jan 2004 10:20:30 EST\r\n", utc(2004, 1, 5, 15, 20, 30)},
        {"Mon, 5 Jan 2004 10:20:30\t", utc(2004, 1, 5, 10, 20, 30)},
        {"Mon, 5 Jan 2004 10:20:30 (only a comment)", utc(2004, 1, 5, 10, 20, 30)},
        // RFC 5322 appendix A: A.3, A.4 (no weekday), A.5 (folded), A.6.3.
        {"Mon, 24 Nov 1997 14:22:01 -0800", utc(1997, 11, 24, 22, 22, 1)},
        {"21 Nov 1997 10:01:22 -0600", utc(1997, 11, 21, 16, 1, 22)},
        {"Thu,\r\n      13\r\n        Feb\r\n          1969\r\n      23:32\r\n"
         "               -0330 (Newfoundland Time)",
            utc(1969, 2, 14, 3, 2, 0)},
        {"Fri, 21 Nov 1997 09(comment):   55  :  06 -0600", nov21},
        {"Fri, 21 Nov 1997 09:55:06 ((nested) \\) comment) -0600", nov21},
        // Still refused: no white space where the fields meet, a line break
        // that is not folded, the seconds not followed by white space.
        {"Mon, 5Jan 2004 10:20:30 +0100", FAIL},
        {"Mon, 5 Jan2004 10:20:30 +0100", FAIL},
        {"Mon, 5 Jan 2004\r\n10:20:30 +0100", FAIL},
        {"Mon, 5 Jan 2004 10:20:30+0100", FAIL},
        {"Mon, 5 Jan 2004 10:20:30", FAIL},
        {"Mon, 5 Jan 2004 10:20", FAIL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        int64_t got = UNTOUCHED;
        EXPECT_EQ(parseRFC822Date64(c.text, &got), c.rfc822 != FAIL);
        EXPECT_EQ(got, c.rfc822 == FAIL ? UNTOUCHED : c.rfc822);
    }
    for (const char* strict : {"05-Jan-2004  10:20:30 +0100", "05-Jan-2004 10:20:30  +0100",
             "05-Jan-2004\t10:20:30 +0100", "05-Jan-2004 10:20:30 +0100 "}) {
        time_t t = UNTOUCHED;
        EXPECT_FALSE(parseInternaldate(strict, &t)) << strict;
    }
}

TEST(MailDateParser, Zones)
{
    const struct {
        const char* zone;
        int minutes;
    } cases[] = {
        {"+0100", 60},
        {"-0530", -330},
        {"+0100 (CET)", 60},
        {"EST", -300},
        {"est", -300},
        {"EDT", -240},
        {"PDT", -420},
        {"ADT", -180},
        {"AST", -240},
        {"HST", -600},
        {"BDT", -600},
        {"YST", -540},
        {"A", 60},
        {"I", 540},
        {"K", 600},
        {"M", 720},
        {"N", -60},
        {"Y", -720},
        {"Z", 0},
        {"J", 0},
        {"UT", 0},
        {"GMT", 0},
        {"GMT+1", 0},
        {"", 0},
        {"+", 0},
        {"-01", 0},
        {"XYZ", 0},
        {"CET", 0},
        {"EET", 0},
        {"1234", 0},
        {"EST (Eastern Standard Time)", -300},
        {"+9999", 6039},
    };
    for (const auto& c : cases)
        EXPECT_EQ(parseRFC822Timezone(c.zone), c.minutes) << c.zone;
    EXPECT_EQ(parseRFC822Timezone(nullptr), 0);

    int minutes = 99;
    EXPECT_TRUE(testForUSZones("CsT", minutes));
    EXPECT_EQ(minutes, -360);
    EXPECT_FALSE(testForUSZones("ast", minutes));
    EXPECT_EQ(minutes, 0);
    minutes = 99;
    EXPECT_FALSE(testForUSZones(nullptr, minutes));
    EXPECT_EQ(minutes, 0);
}

TEST(MailDateParser, BrokenDownLocalTime)
{
    tavir::test::ScopedTz berlin("Europe/Berlin");
    tm t{};
    EXPECT_TRUE(parseInternaldate_tm("05-Jan-2004 10:20:30 +0100", &t));
    EXPECT_EQ(t.tm_hour, 10);
    EXPECT_EQ(t.tm_mday, 5);
    EXPECT_EQ(t.tm_gmtoff, 3600);
    EXPECT_TRUE(parseRFC822Date_tm("Mon, 5 Jul 2004 10:20:30 +0000", &t));
    EXPECT_EQ(t.tm_hour, 12);
    EXPECT_EQ(t.tm_isdst, 1);
    tm untouched{};
    untouched.tm_year = 77;
    EXPECT_FALSE(parseRFC822Date_tm("junk", &untouched));
    EXPECT_FALSE(parseInternaldate_tm(nullptr, &untouched));
    EXPECT_FALSE(parseInternaldate_tm("05-Jan-2004 10:20:30 +0100", nullptr));
    EXPECT_EQ(untouched.tm_year, 77);
}

TEST(MailDateParser, MonthNames)
{
    const char* names[]
        = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    for (int m = 0; m < 12; ++m) {
        EXPECT_STREQ(AMonthName[m], names[m]);
        const std::string text = std::string("15-") + names[m] + "-2020 12:00:00 +0000";
        time_t t = 0;
        ASSERT_TRUE(parseInternaldate(text.c_str(), &t));
        EXPECT_EQ(KDateTime::from64(t).getMonth(), m + 1);
    }
}

} // namespace
