#include "tiny/Time.h"

#include "support/ScopedTz.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

using namespace tavir::tiny;
using tavir::test::ScopedTz;

namespace {

time_t utc(int y, int mo, int d, int h, int mi)
{
    tm t{};
    t.tm_year = y - 1900;
    t.tm_mon = mo - 1;
    t.tm_mday = d;
    t.tm_hour = h;
    t.tm_min = mi;
    return timegm(&t);
}

} // namespace

TEST(Time, MillisecRounding)
{
    struct Case {
        time_t sec;
        suseconds_t usec;
        uint64_t ms;
    };
    for (Case c : {Case{1, 999500, 2000}, Case{1, 999499, 1999}, Case{0, 0, 0}, Case{0, 499, 0},
             Case{0, 500, 1}, Case{1700000000, 123456, 1700000000123ULL}}) {
        timeval tv{c.sec, c.usec};
        EXPECT_EQ(c.ms, timevalToMs(tv)) << c.sec << "." << c.usec;
    }
    uint64_t before = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::system_clock::now().time_since_epoch())
                                                .count());
    uint64_t now = millisec64();
    EXPECT_LE(before, now);
    EXPECT_LT(now - before, 1000u);
    uint32_t m32 = millisec();
    EXPECT_LT(static_cast<uint32_t>(m32 - static_cast<uint32_t>(now)), 1000u);
}

TEST(Time, MonotonicClockAndSleep)
{
    uint64_t a = getMs64();
    msleep(50, true);
    uint64_t b = getMs64();
    EXPECT_GE(b - a, 50u);
    EXPECT_LT(b - a, 1000u);
    msleep(0, true);
    msleep(-5, false);
}

namespace {
void onUsr1(int)
{
}
} // namespace

TEST(Time, SleepAndSignals)
{
    struct sigaction sa {
    }, old{};
    sa.sa_handler = onUsr1;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGUSR1, &sa, &old);
    pthread_t self = pthread_self();
    for (bool restart : {false, true}) {
        std::thread t([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            pthread_kill(self, SIGUSR1);
        });
        uint64_t a = getMs64();
        msleep(400, restart);
        uint64_t slept = getMs64() - a;
        t.join();
        if (restart)
            EXPECT_GE(slept, 400u);
        else
            EXPECT_LT(slept, 350u);
    }
    sigaction(SIGUSR1, &old, nullptr);
}

TEST(Time, Names)
{
    EXPECT_STREQ("Jan", getMonthName(0));
    EXPECT_STREQ("Dec", getMonthName(11));
    EXPECT_STREQ("Jan", getMonthName(12));
    EXPECT_STREQ("Jan", getMonthName(-1));
    EXPECT_STREQ("Sun", getDayName(0));
    EXPECT_STREQ("Sat", getDayName(6));
    EXPECT_STREQ("Sun", getDayName(-1));
    EXPECT_STREQ("Sun", getDayName(7));
    struct Case {
        const char* name;
        int num;
    };
    for (Case c : {Case{"dec", 11}, Case{"DEC", 11}, Case{"Jun", 5}, Case{"xyz", 0}, Case{"Jan", 0},
             Case{"", 0}, Case{"Janu", 0}, Case{nullptr, 0}}) {
        EXPECT_EQ(c.num, getMonthNum(c.name)) << (c.name ? c.name : "null");
    }
    // The names agree with the C library's %b / %a in the C locale.
    for (int m = 0; m < 12; ++m) {
        tm t{};
        t.tm_mon = m;
        char buf[16];
        strftime(buf, sizeof buf, "%b", &t);
        EXPECT_STREQ(buf, getMonthName(m));
    }
    for (int d = 0; d < 7; ++d) {
        tm t{};
        t.tm_wday = d;
        char buf[16];
        strftime(buf, sizeof buf, "%a", &t);
        EXPECT_STREQ(buf, getDayName(d));
    }
}

TEST(Time, TimezoneOffsetAgreesWithGlibc)
{
    const char* zones[] = {"UTC0", "CET-1CEST,M3.5.0,M10.5.0/3", "America/New_York", "Asia/Kolkata",
        "Pacific/Chatham", "Pacific/Kiritimati", "Pacific/Pago_Pago", "Europe/London",
        "Australia/Lord_Howe", "America/St_Johns"};
    const time_t instants[]
        = {utc(2026, 1, 15, 12, 0), utc(2026, 7, 15, 12, 0), utc(2025, 12, 31, 23, 30),
            utc(2026, 1, 1, 0, 30), utc(2026, 3, 29, 0, 59), utc(2026, 3, 29, 1, 0),
            utc(2024, 2, 29, 23, 0), utc(2024, 12, 31, 12, 0), 0, utc(2038, 6, 1, 0, 0)};
    for (const char* zone : zones) {
        ScopedTz tz(zone);
        for (time_t t : instants) {
            tm local;
            ASSERT_NE(nullptr, localtime_r(&t, &local));
            EXPECT_EQ(local.tm_gmtoff / 60, timezoneOffset(static_cast<long>(t)))
                << zone << " at " << t;
        }
    }
}

TEST(Time, TimezoneOffsetAcrossNewYear)
{
    ScopedTz tz("XXX-1");
    // 23:30 UTC on 31 December is already next year locally.
    EXPECT_EQ(60, timezoneOffset(utc(2025, 12, 31, 23, 30)));
    ScopedTz west("YYY+10");
    EXPECT_EQ(-600, timezoneOffset(utc(2026, 1, 1, 0, 30)));
}

TEST(Time, ReentrantWrappers)
{
    ScopedTz tz("UTC0");
    time_t t = utc(2026, 12, 7, 8, 5);
    tm a, b;
    ASSERT_EQ(&a, k_gmtime_r(&t, &a));
    ASSERT_EQ(&b, k_localtime_r(&t, &b));
    EXPECT_EQ(126, a.tm_year);
    EXPECT_EQ(11, a.tm_mon);
    EXPECT_EQ(7, a.tm_mday);
    EXPECT_EQ(a.tm_hour, b.tm_hour);
    char buf[64];
    ASSERT_EQ(buf, k_asctime_r(&a, buf));
    EXPECT_STREQ("Mon Dec  7 08:05:00 2026\n", buf);
    ASSERT_EQ(buf, k_ctime_r(&t, buf));
    EXPECT_STREQ("Mon Dec  7 08:05:00 2026\n", buf);
    tm now;
    ASSERT_EQ(&now, getLocalTime(&now));
    EXPECT_GE(now.tm_year, 126);
}
