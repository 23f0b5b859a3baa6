// Internal dates: one reader for what servers send (the IMAP form and the
// RFC 822 form), and the APPEND date in local time, checked in fixed zones
// against what glibc's date(1) makes of the same texts.
#include "imapclient/Synthesizer.h"
#include "support/ScopedTz.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <ctime>

using namespace tavir::mail;
using tavir::test::ScopedTz;

namespace {

// What date(1) prints for `args` in the zone in force, one line.
std::string date(const std::string& args)
{
    std::string out;
    EXPECT_EQ(0, tavir::test::runShell("LC_ALL=C date " + args, &out)) << args;
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
        out.pop_back();
    return out;
}

// A zone without daylight saving, one with it (both ways across the dates
// below), and one half an hour off.
const char* const zones[] = {"UTC0", "EST5EDT,M3.2.0,M11.1.0", "IST-5:30"};

TEST(ImapDateTest, LocalTimeWithItsOffset)
{
    struct Case {
        const char* zone;
        std::time_t t;
        const char* text;
    };
    // 2024-03-05 13:07:09 UTC
    const Case cases[] = {
        {"UTC0", 1709644029, "05-Mar-2024 13:07:09 +0000"},
        {"CET-1", 1709644029, "05-Mar-2024 14:07:09 +0100"},
        {"NST3:30", 1709644029, "05-Mar-2024 09:37:09 -0330"},
        {"XST0:30", 1709644029, "05-Mar-2024 12:37:09 -0030"},
        {"UTC0", 0, "01-Jan-1970 00:00:00 +0000"},
    };
    for (const Case& c : cases) {
        ScopedTz zone(c.zone);
        EXPECT_EQ(c.text, time2String(c.t)) << c.zone;
    }
}

TEST(ImapDateTest, AnyDateBecomesLocalTime)
{
    ScopedTz zone("UTC0");
    EXPECT_EQ("05-Jan-2004 09:20:30 +0000", fixInternalDate("05-Jan-2004 10:20:30 +0100"));
    EXPECT_EQ("05-Jan-2004 09:20:30 +0000", fixInternalDate("Mon, 5 Jan 2004 10:20:30 +0100"));
    for (const char* text : {"yesterday", ""}) {
        std::time_t before = std::time(nullptr);
        std::string now = fixInternalDate(text);
        std::time_t after = std::time(nullptr);
        EXPECT_TRUE(now == time2String(before) || now == time2String(after)) << now;
    }
}

// Servers give INTERNALDATE in the IMAP form or in the RFC 822 form. Both
// are one instant whatever the local zone, the same that date(1) reads;
// the APPEND's date in local time reads back as that instant, so a message
// copied once is found on the target by the next run in every zone.
TEST(ImapDateTest, BothFormsReadAsOneInstantInEveryZone)
{
    const char* const readable[] = {
        "05-May-2021 10:00:00 +0000",
        " 5-May-2021 10:00:00 +0000",
        "Tue, 05 May 2021 10:00:00 +0000",
        "Wed, 5 May 2021 12:00:00 +0200", // the weekday is not checked
        "05 May 2021 06:00:00 -0400",
        "Sun, 31 Dec 2023 23:59:59 -0800",
        "29-Feb-2000 12:00:00 +0530",
        "Sun, 14 Mar 2021 02:30:00 -0500",
        "17 Jul 1996 02:44:25 PDT",
        "1 Jan 1970 00:00:00 GMT",
    };
    for (const char* zone : zones) {
        ScopedTz tz(zone);
        for (const char* text : readable) {
            SCOPED_TRACE(std::string(zone) + ": " + text);
            std::time_t instant = -1;
            ASSERT_TRUE(readInternalDate(text, instant));
            EXPECT_EQ(date("-d '" + std::string(text) + "' +%s"), std::to_string(instant));
            // The APPEND's date, in local time, as date(1) writes that
            // instant there; it reads back as the same instant.
            const std::string appended = fixInternalDate(text);
            EXPECT_EQ(date("-d @" + std::to_string(instant) + " '+%d-%b-%Y %H:%M:%S %z'"),
                appended);
            std::time_t again = -1;
            ASSERT_TRUE(readInternalDate(appended, again));
            EXPECT_EQ(instant, again);
        }
        for (const char* text : {"yesterday", "", "NIL", "05-May-2021", "2021-05-05T10:00:00Z"}) {
            SCOPED_TRACE(std::string(zone) + ": " + text);
            std::time_t instant = 42;
            EXPECT_FALSE(readInternalDate(text, instant));
            EXPECT_EQ(42, instant);
        }
    }
}

} // namespace
