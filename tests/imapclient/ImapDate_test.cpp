// The APPEND date in local time, checked in fixed zones against dates that
// date(1) and RFC 3501 spell out.
#include "imapclient/Synthesizer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

using namespace tavir::mail;

namespace {

class ZoneGuard {
public:
    explicit ZoneGuard(const char* zone)
    {
        const char* old = std::getenv("TZ");
        had_ = old != nullptr;
        if (had_)
            old_ = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ZoneGuard()
    {
        if (had_)
            setenv("TZ", old_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    bool had_ = false;
    std::string old_;
};

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
        ZoneGuard zone(c.zone);
        EXPECT_EQ(c.text, time2String(c.t)) << c.zone;
    }
}

TEST(ImapDateTest, AnyDateBecomesLocalTime)
{
    ZoneGuard zone("UTC0");
    EXPECT_EQ("05-Jan-2004 09:20:30 +0000", fixInternalDate("05-Jan-2004 10:20:30 +0100"));
    EXPECT_EQ("05-Jan-2004 09:20:30 +0000", fixInternalDate("Mon, 5 Jan 2004 10:20:30 +0100"));
    for (const char* text : {"yesterday", ""}) {
        std::time_t before = std::time(nullptr);
        std::string now = fixInternalDate(text);
        std::time_t after = std::time(nullptr);
        EXPECT_TRUE(now == time2String(before) || now == time2String(after)) << now;
    }
}

} // namespace
