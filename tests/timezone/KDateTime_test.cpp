#include "timezone/KDateTime.h"

#include "support/ScopedTz.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <random>
#include <string>

using namespace tavir::timezone;

namespace {

// Read by a static initialiser of this file: the constants must already hold
// their values whatever order the files are initialised in.
const bool constantsReadyBeforeMain = KDateTime::null.isNull()
    && KDateTime::maxTime.to64() == 884541340800LL && KDateTime::minTime.to64() == -11644473600LL
    && KTimeSpan::null.isNull() && KDateTime::maxTime.gmtOffset().toSecondCount64() == 0;

TEST(KDateTime, ConstantsAreReadyForStaticInitialisers)
{
    EXPECT_TRUE(constantsReadyBeforeMain);
    EXPECT_EQ(KDateTime::null.getKind(), KDateTime::KindLocal);
    EXPECT_EQ(KDateTime::null.getCdoTimeZoneId(), -1);
    EXPECT_EQ(KDateTime().to64(), KDateTime::null.to64());
}

tm fields(int year, int month, int day, int hour = 0, int minute = 0, int second = 0)
{
    tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return t;
}

TEST(KDateTime, CalendarCoreMatchesGlibc)
{
    std::mt19937_64 rng(20261207);
    std::uniform_int_distribution<int64_t> dist(KDateTime::minSeconds, KDateTime::maxSeconds);
    const int64_t fixed[] = {KDateTime::minSeconds, KDateTime::maxSeconds, 0, 951782400};
    for (int i = 0; i < 200000; ++i) {
        const int64_t s = i < 4 ? fixed[i] : dist(rng);
        const time_t ts = time_t(s);
        tm ref{};
        ASSERT_NE(::gmtime_r(&ts, &ref), nullptr);
        const tm ours = KDateTime::gmTime(s);
        ASSERT_EQ(ours.tm_year, ref.tm_year) << s;
        ASSERT_EQ(ours.tm_mon, ref.tm_mon) << s;
        ASSERT_EQ(ours.tm_mday, ref.tm_mday) << s;
        ASSERT_EQ(ours.tm_hour, ref.tm_hour) << s;
        ASSERT_EQ(ours.tm_min, ref.tm_min) << s;
        ASSERT_EQ(ours.tm_sec, ref.tm_sec) << s;
        ASSERT_EQ(ours.tm_wday, ref.tm_wday) << s;
        ASSERT_EQ(ours.tm_yday, ref.tm_yday) << s;
        ASSERT_EQ(ours.tm_isdst, -1);

        // mkTime against timegm, with fields pushed out of range so that the
        // carries are exercised too.
        tm in = ref;
        const int shift = int(rng() % 61) - 30;
        in.tm_mday += shift;
        in.tm_hour -= shift;
        in.tm_min += 3 * shift;
        in.tm_mon += int(rng() % 5) - 2;
        tm glibcIn = in;
        const int64_t expected = int64_t(::timegm(&glibcIn));
        if (expected < KDateTime::minSeconds || expected > KDateTime::maxSeconds)
            continue;
        tm mine = in;
        ASSERT_EQ(KDateTime::mkTime(mine), expected) << s;
        ASSERT_EQ(mine.tm_mday, glibcIn.tm_mday);
        ASSERT_EQ(mine.tm_mon, glibcIn.tm_mon);
        ASSERT_EQ(mine.tm_year, glibcIn.tm_year);
        ASSERT_EQ(mine.tm_yday, glibcIn.tm_yday);
    }
}

TEST(KDateTime, CalendarCoreEdges)
{
    tm t = fields(1970, 1, 1);
    EXPECT_EQ(KDateTime::mkTime(t), 0);
    t = fields(2000, 3, 1);
    EXPECT_EQ(KDateTime::mkTime(t), 951868800);
    t = fields(30000, 1, 1);
    EXPECT_EQ(KDateTime::mkTime(t), 884541340800LL);
    t = fields(1999, 13, 1);
    KDateTime::mkTime(t);
    EXPECT_EQ(t.tm_year, 100);
    EXPECT_EQ(t.tm_mon, 0);
    t = fields(2024, 3, 0);
    KDateTime::mkTime(t);
    EXPECT_EQ(t.tm_mon, 1);
    EXPECT_EQ(t.tm_mday, 29);
    t = fields(2024, -1, 15); // month -2 of 2024: November 2023
    KDateTime::mkTime(t);
    EXPECT_EQ(t.tm_year, 123);
    EXPECT_EQ(t.tm_mon, 10);

    const tm low = KDateTime::gmTime(-20000000000LL);
    EXPECT_EQ(low.tm_year + 1900, 1601);
    EXPECT_EQ(low.tm_mon, 0);
    EXPECT_EQ(low.tm_mday, 1);
    const tm high = KDateTime::gmTime(KDateTime::infinitySeconds);
    EXPECT_EQ(high.tm_year + 1900, 30000);
    EXPECT_EQ(KDateTime::gmTime(0).tm_wday, 4);
    EXPECT_EQ(KDateTime::gmTime(0).tm_yday, 0);
    EXPECT_EQ(KDateTime(31, 12, 2000).getDayOfYear(), 365);
    EXPECT_EQ(KDateTime::null.getYear(), 1601);
    EXPECT_EQ(KDateTime::infinity().getYear(), 30000);
}

TEST(KDateTime, ConstructionAndReading)
{
    const KDateTime a(1, 1, 2024, 0, 30, 0, KTimeSpan::fromSecondCount(-3600));
    EXPECT_EQ(a.to64(), 1704069000 + 3600);
    const KDateTime b = KDateTime::from64(1704069000); // 2024-01-01 00:30 UTC
    KDateTime c = b;
    c.setGmtOffset(KTimeSpan::fromSecondCount(-3600));
    c += KTimeSpan::fromSecondCount(-3600);
    EXPECT_EQ(c.to64(), b.to64());
    EXPECT_EQ(c.getYear(), 2023);
    EXPECT_EQ(c.getMonth(), 12);
    EXPECT_EQ(c.getDay(), 31);
    EXPECT_EQ(c.getHour(), 23);
    EXPECT_EQ(c.getMinute(), 30);
    EXPECT_EQ(c.getDayOfWeek(), KDateTime::Sunday);
    EXPECT_EQ(c.gmtOffset().toSecondCount(), -3600);

    const KDateTime d(5, 3, 2024);
    EXPECT_TRUE(d.isDateOnly());
    EXPECT_TRUE(d.isDayBegin());
    EXPECT_EQ(d.to64(), 1709596800);
    EXPECT_TRUE(KDateTime(5, 3, 2024, 23, 59, 59).isDayEnd());

    const KDateTime e(5, 3, 2024, 10, 0, 0, KTimeSpan());
    EXPECT_EQ(e.getKind(), KDateTime::KindLocal);

    EXPECT_TRUE(KDateTime::fromUnixTime(-1).isNull());
    EXPECT_EQ(KDateTime::fromUnixTime(5).to64(), 5);
    EXPECT_EQ(KDateTime::null.toUnixTime(), 0);
    EXPECT_EQ(KDateTime::from64(-5).toUnixTime(), 0);
    const KDateTime now = KDateTime::now();
    const KDateTime today = KDateTime::today();
    EXPECT_LE(today.to64() - now.to64(), 1);
    EXPECT_GE(now.to64(), int64_t(::time(nullptr)) - 1);
    EXPECT_TRUE(KDateTime::infinity().isInfinity());
}

TEST(KDateTime, ArithmeticAndComparison)
{
    KDateTime d(5, 3, 2024);
    KDateTime plus = d + KTimeSpan(0, 0, 90, 0, false);
    EXPECT_FALSE(plus.isDateOnly());
    EXPECT_EQ(plus.to64(), d.to64() + 5400);
    KDateTime twoDays = d + KTimeSpan(2, 0, 0, 0, false);
    EXPECT_TRUE(twoDays.isDateOnly());
    KDateTime back = twoDays - KTimeSpan(2, 0, 0, 0, false);
    EXPECT_EQ(back, d);

    KDateTime n;
    n += KTimeSpan::fromSecondCount(10);
    EXPECT_TRUE(n.isNull());
    KDateTime inf = KDateTime::infinity();
    inf -= KTimeSpan::fromSecondCount(10);
    EXPECT_TRUE(inf.isInfinity());
    KDateTime same = d;
    same += KTimeSpan::null;
    EXPECT_EQ(same.to64(), d.to64());

    EXPECT_TRUE((d - KDateTime::null).isNull());
    EXPECT_TRUE((KDateTime::infinity() - d).isNull());
    EXPECT_EQ((plus - d).toSecondCount64(), 5400);

    KDateTime other = KDateTime::from64(d.to64());
    other.setGmtOffset(KTimeSpan::fromSecondCount(7200));
    other += KTimeSpan::fromSecondCount(7200);
    EXPECT_TRUE(other == d);
    EXPECT_FALSE(other != d);
    EXPECT_TRUE(KDateTime::null < d);
    EXPECT_TRUE(d <= other && d >= other && plus > d);
}

// "%G-%V" of strftime: ISO year and week.
std::string isoWeekOf(int64_t s)
{
    const time_t t = time_t(s);
    tm ref{};
    ::gmtime_r(&t, &ref);
    char buf[32];
    ::strftime(buf, sizeof buf, "%G-%V", &ref);
    return buf;
}

TEST(KDateTime, IsoWeeksMatchStrftime)
{
    // Every day from 1990 to 2100, and random days over the whole range.
    std::vector<int64_t> days;
    for (int64_t s = 631152000; s < 4102444800LL; s += 86400)
        days.push_back(s + 43200);
    std::mt19937_64 rng(7);
    std::uniform_int_distribution<int64_t> dist(
        KDateTime::minSeconds + 86400 * 14, KDateTime::maxSeconds - 86400 * 14);
    for (int i = 0; i < 20000; ++i)
        days.push_back(dist(rng));
    for (int64_t s : days) {
        const KDateTime d = KDateTime::from64(s);
        const int week = d.getWeekNumber(KDateTime::Monday);
        int year = d.getYear();
        if (week == 1 && d.getMonth() == 12)
            ++year;
        else if (week >= 52 && d.getMonth() == 1)
            --year;
        char buf[32];
        std::snprintf(buf, sizeof buf, "%04d-%02d", year, week);
        ASSERT_EQ(buf, isoWeekOf(s)) << s;
        ASSERT_EQ(d.getItem(CT_WEEK_NUMBER, KDateTime::Monday), week);
    }
}

TEST(KDateTime, WeekNumbersAndItemCounts)
{
    const KDateTime::DayOfWeek mo = KDateTime::Monday;
    EXPECT_EQ(KDateTime(1, 1, 2021).getWeekNumber(mo), 53);
    EXPECT_EQ(KDateTime(3, 1, 2021).getWeekNumber(mo), 53);
    EXPECT_EQ(KDateTime(4, 1, 2021).getWeekNumber(mo), 1);
    EXPECT_EQ(KDateTime(30, 12, 2024).getWeekNumber(mo), 1);
    EXPECT_EQ(KDateTime(31, 12, 2020).getWeekNumber(mo), 53);
    // Weeks beginning on Sunday: 2023-01-01 is a Sunday and opens week 1.
    EXPECT_EQ(KDateTime(1, 1, 2023).getWeekNumber(KDateTime::Sunday), 1);
    EXPECT_EQ(KDateTime(7, 1, 2023).getWeekNumber(KDateTime::Sunday), 1);
    EXPECT_EQ(KDateTime(8, 1, 2023).getWeekNumber(KDateTime::Sunday), 2);

    EXPECT_EQ(KDateTime(1, 6, 2020).getItemCount(CT_YEAR, TM_WEEK, mo), 53);
    EXPECT_EQ(KDateTime(1, 6, 2019).getItemCount(CT_YEAR, TM_WEEK, mo), 52);
    EXPECT_EQ(KDateTime(1, 6, 2024).getItemCount(CT_YEAR, TM_WEEK, mo), 52);
    EXPECT_EQ(KDateTime(1, 6, 2000).getItemCount(CT_YEAR, TM_DAY, mo), 366);
    EXPECT_EQ(KDateTime(1, 6, 2100).getItemCount(CT_YEAR, TM_DAY, mo), 365);
    EXPECT_EQ(KDateTime(1, 6, 2100).getItemCount(CT_YEAR, TM_HOUR, mo), 365 * 24);
    EXPECT_EQ(KDateTime(1, 2, 2000).getItemCount(CT_MONTH, TM_DAY, mo), 29);
    EXPECT_EQ(KDateTime(1, 2, 1900).getItemCount(CT_MONTH, TM_DAY, mo), 28);
    EXPECT_EQ(KDateTime(1, 2, 1900).getItemCount(CT_MONTH, TM_WEEK, mo), 4);
    EXPECT_EQ(KDateTime(1, 2, 1900).getItemCount(CT_MONTH, TM_YEAR, mo), 0);
    EXPECT_EQ(KDateTime(1, 2, 1900).getItemCount(CT_WEEK_NUMBER, TM_MINUTE, mo), 10080);
    EXPECT_EQ(KDateTime(1, 2, 1900).getItemCount(CT_WEEKDAY, TM_HOUR, mo), 24);
    EXPECT_EQ(KDateTime(1, 2, 1900).getItemCount(CT_HOUR, TM_SECOND, mo), 3600);
    EXPECT_EQ(KDateTime(1, 2, 1900).getItemCount(CT_SECOND, TM_MINUTE, mo), 0);
    EXPECT_EQ(KDateTime(1, 2, 1900).getItemCount(CalendarTypes(9), TM_DAY, mo), 0);
}

TEST(KDateTime, Items)
{
    const KDateTime::DayOfWeek mo = KDateTime::Monday;
    const KDateTime d(5, 3, 2024, 14, 7, 9); // a Tuesday
    EXPECT_EQ(d.getItem(CT_YEAR, mo), 2024);
    EXPECT_EQ(d.getItem(CT_MONTH, mo), 3);
    EXPECT_EQ(d.getItem(CT_WEEK_NUMBER, mo), 10);
    EXPECT_EQ(d.getItem(CT_DAY_OF_YEAR, mo), 65); // 1-based: 1 January is 1
    EXPECT_EQ(d.getItem(CT_DAY_OF_MONTH, mo), 5);
    EXPECT_EQ(d.getItem(CT_WEEKDAY, mo), 2);
    EXPECT_EQ(d.getItem(CT_HOUR, mo), 14);
    EXPECT_EQ(d.getItem(CT_MINUTE, mo), 7);
    EXPECT_EQ(d.getItem(CT_SECOND, mo), 9);
    EXPECT_EQ(d.getItem(CalendarTypes(9), mo), 0);
    EXPECT_EQ(KDateTime(1, 1, 2024).getItem(CT_DAY_OF_YEAR, mo), 1);

    auto set = [&](KDateTime v, CalendarTypes unit, int value) {
        v.setItem(unit, value, mo);
        return v;
    };
    auto ymd
        = [](const KDateTime& v) { return v.getYear() * 10000 + v.getMonth() * 100 + v.getDay(); };
    EXPECT_EQ(ymd(set(KDateTime(31, 1, 2023), CT_MONTH, 2)), 20230228);
    EXPECT_EQ(ymd(set(KDateTime(31, 1, 2024), CT_MONTH, 14)), 20250228);
    EXPECT_EQ(ymd(set(KDateTime(15, 1, 2024), CT_MONTH, 0)), 20231215);
    EXPECT_EQ(ymd(set(KDateTime(15, 1, 2024), CT_DAY_OF_MONTH, 32)), 20240201);
    EXPECT_EQ(ymd(set(KDateTime(15, 3, 2024), CT_DAY_OF_MONTH, 0)), 20240229);
    EXPECT_EQ(ymd(set(KDateTime(29, 2, 2024), CT_YEAR, 2023)), 20230301);
    EXPECT_EQ(ymd(set(KDateTime(15, 7, 2024), CT_DAY_OF_YEAR, 1)), 20240101);
    EXPECT_EQ(ymd(set(KDateTime(15, 7, 2024), CT_DAY_OF_YEAR, 366)), 20241231);
    // Week 1 of 2021 begins on Monday 4 January; 2024's on 1 January.
    EXPECT_EQ(ymd(set(KDateTime(7, 7, 2021), CT_WEEK_NUMBER, 1)), 20210106);
    EXPECT_EQ(ymd(set(KDateTime(7, 7, 2024), CT_WEEK_NUMBER, 1)), 20240107);
    EXPECT_EQ(ymd(set(KDateTime(7, 7, 2024), CT_WEEK_NUMBER, 0)), 20231231);
    EXPECT_EQ(ymd(set(KDateTime(5, 3, 2024), CT_WEEKDAY, KDateTime::Sunday)), 20240310);
    EXPECT_EQ(ymd(set(KDateTime(5, 3, 2024), CT_WEEKDAY, KDateTime::Monday)), 20240304);
    KDateTime sundayWeeks(5, 3, 2024);
    sundayWeeks.setItem(CT_WEEKDAY, KDateTime::Sunday, KDateTime::Sunday);
    EXPECT_EQ(ymd(sundayWeeks), 20240303);

    KDateTime allDay(5, 3, 2024);
    allDay.setItem(CT_DAY_OF_MONTH, 9, mo);
    EXPECT_TRUE(allDay.isDateOnly());
    allDay.setItem(CT_HOUR, 24, mo);
    EXPECT_FALSE(allDay.isDateOnly());
    EXPECT_EQ(ymd(allDay), 20240310);
    EXPECT_EQ(allDay.getHour(), 0);

    // Fixed offsets keep the wall time being set.
    KDateTime east(5, 3, 2024, 10, 0, 0, KTimeSpan::fromSecondCount(19800));
    east.setItem(CT_HOUR, 1, mo);
    EXPECT_EQ(east.getHour(), 1);
    EXPECT_EQ(east.getDay(), 5);
    EXPECT_EQ(east.gmtOffset().toSecondCount(), 19800);

    KDateTime null;
    null.setItem(CT_YEAR, 2000, mo);
    EXPECT_TRUE(null.isNull());
}

TEST(KDateTime, ExtremeFieldsStayWithinTheCalendar)
{
    // Whatever a caller sets, the value stays within 1601..30000 when read,
    // and nothing overflows (the sanitizer build checks the arithmetic).
    for (int unit = 0; unit <= 9; ++unit) {
        for (int value : {INT_MIN, -1000000, -1, 0, 1, 1000000, INT_MAX}) {
            KDateTime v(5, 3, 2024, 12, 0, 0, KTimeSpan::fromSecondCount(3600));
            v.setItem(CalendarTypes(unit), value, KDateTime::Monday);
            EXPECT_GE(v.getYear(), 1601);
            EXPECT_LE(v.getYear(), 30000);
        }
    }
    const KDateTime big(INT_MAX, INT_MAX, INT_MAX, INT_MAX, INT_MAX, INT_MAX,
                        KTimeSpan::fromSecondCount(INT_MAX));
    EXPECT_EQ(big.getYear(), 30000);
    const KDateTime small(INT_MIN, INT_MIN, INT_MIN, INT_MIN, INT_MIN, INT_MIN,
                          KTimeSpan::fromSecondCount(INT_MIN));
    EXPECT_EQ(small.getYear(), 1601);
    KDateTime far = KDateTime::from64(INT64_MAX - 5);
    far += KTimeSpan::fromSecondCount(INT64_MAX);
    EXPECT_EQ(far.getYear(), 30000);
    KDateTime low = KDateTime::from64(INT64_MIN + 5);
    low -= KTimeSpan::fromSecondCount(INT64_MAX);
    EXPECT_EQ(low.getYear(), 1601);
}

TEST(KDateTime, DayBoundariesAndDates)
{
    const KDateTime v(5, 3, 2024, 23, 30, 0, KTimeSpan::fromSecondCount(-18000));
    const KDateTime b = v.dayBegin();
    EXPECT_EQ(b.getDay(), 5);
    EXPECT_EQ(b.getHour(), 0);
    EXPECT_EQ(b.gmtOffset().toSecondCount(), -18000);
    EXPECT_EQ(b.to64(), KDateTime(5, 3, 2024).to64() + 18000);
    const KDateTime e = v.dayEnd();
    EXPECT_TRUE(e.isDayEnd());
    EXPECT_EQ(e.to64(), b.to64() + 86399);

    const KDateTime date = v.toDate(false);
    EXPECT_TRUE(date.isDateOnly());
    EXPECT_EQ(date.to64(), KDateTime(5, 3, 2024).to64());
    EXPECT_EQ(date.gmtOffset().toSecondCount(), 0);
    EXPECT_TRUE(KDateTime::null.toDate(true).isNull());
}

TEST(KDateTime, ChangingOffsets)
{
    KDateTime v = KDateTime::from64(KDateTime(5, 3, 2024, 12, 0, 0).to64());
    v.setGmtOffset(KTimeSpan::fromSecondCount(3600));
    EXPECT_EQ(v.getHour(), 12);
    EXPECT_EQ(v.to64(), KDateTime(5, 3, 2024, 11, 0, 0).to64());
    EXPECT_EQ(v.getKind(), KDateTime::KindOffset);

    KDateTime d(5, 3, 2024);
    d.setGmtOffset(KTimeSpan::fromSecondCount(3600));
    EXPECT_FALSE(d.isDateOnly());
    KDateTime d2(5, 3, 2024);
    d2.setGmtOffset(KTimeSpan::fromSecondCount(0));
    EXPECT_TRUE(d2.isDateOnly());

    KDateTime n;
    n.setGmtOffset(KTimeSpan::fromSecondCount(3600));
    EXPECT_TRUE(n.isNull());

    KDateTime plain(5, 3, 2024, 12, 0, 0);
    const int64_t before = plain.to64();
    plain.clearTimeZone();
    EXPECT_EQ(plain.to64(), before);
    EXPECT_EQ(plain.getKind(), KDateTime::KindOffset);
}

// Local machine offsets against the platform's own tm_gmtoff.
class LocalZone : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override { tz.emplace(GetParam()); }
    void TearDown() override { tz.reset(); }
    std::optional<tavir::test::ScopedTz> tz;
};

TEST_P(LocalZone, OffsetMatchesPlatformAroundChanges)
{
    int checked = 0;
    int changes = 0;
    // Hour steps through 2023-2025, and minute steps around every change found.
    for (int64_t t = 1672531200; t < 1767225600; t += 3600) {
        const time_t a = time_t(t);
        const time_t b = time_t(t + 3600);
        tm la{}, lb{};
        ::localtime_r(&a, &la);
        ::localtime_r(&b, &lb);
        const bool change = la.tm_gmtoff != lb.tm_gmtoff;
        changes += change;
        for (int64_t s = t; s <= t + (change ? 7200 : 0); s += 60) {
            const time_t ts = time_t(s);
            tm l{};
            ::localtime_r(&ts, &l);
            const KDateTime v = KDateTime::from64(s);
            ASSERT_EQ(v.gmLocalOffset(true).toSecondCount(), l.tm_gmtoff) << GetParam() << " " << s;
            ++checked;
        }
    }
    EXPECT_GE(changes, 6);
    EXPECT_GT(checked, 20000);
}

TEST_P(LocalZone, WallTimesReadBackOnTheLocalMachine)
{
    // 10:20:30 on days on both sides of the changes reads back unchanged.
    for (int month = 1; month <= 12; ++month) {
        for (int day : {1, 8, 15, 22, 28}) {
            char text[32];
            std::snprintf(text, sizeof text, "2024%02d%02dT102030", month, day);
            const KDateTime v = KDateTime::fromIsoString(text, {});
            ASSERT_EQ(v.getKind(), KDateTime::KindLocal);
            const time_t t = time_t(v.to64());
            tm l{};
            ::localtime_r(&t, &l);
            ASSERT_EQ(l.tm_hour, 10) << GetParam() << " " << text;
            ASSERT_EQ(l.tm_min, 20);
            ASSERT_EQ(v.getHour(), 10);
            ASSERT_EQ(v.getDay(), day);
            ASSERT_EQ(v.toIsoString(0), text);
            ASSERT_EQ(v.gmLocalOffset(false).toSecondCount(), l.tm_gmtoff);
        }
    }
}

TEST_P(LocalZone, SetItemLandsOnTheWallTimeAcrossChanges)
{
    // Walk days at 02:30 and 10:00 local time through two years: every day
    // must show the wall time asked for, or, where 02:30 does not exist, the
    // time pushed forward by the gap.
    KDateTime v = KDateTime::fromIsoString("20240101T103000", {});
    KDateTime night = KDateTime::fromIsoString("20240101T023000", {});
    for (int i = 0; i < 730; ++i) {
        v.setItem(CT_DAY_OF_MONTH, v.getDay() + 1, KDateTime::Monday);
        ASSERT_EQ(v.getHour(), 10) << GetParam() << " " << v.to64();
        ASSERT_EQ(v.getMinute(), 30);
        night.setItem(CT_DAY_OF_MONTH, night.getDay() + 1, KDateTime::Monday);
        night.setItem(CT_HOUR, 2, KDateTime::Monday);
        const time_t t = time_t(night.to64());
        tm l{};
        ::localtime_r(&t, &l);
        ASSERT_EQ(night.getHour(), l.tm_hour);
        if (l.tm_hour != 2) {
            // Only inside a gap, which moves the clock forward.
            const time_t before = time_t(night.to64() - 3600);
            tm lb{};
            ::localtime_r(&before, &lb);
            ASSERT_LT(lb.tm_gmtoff, l.tm_gmtoff) << GetParam() << " " << night.to64();
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Zones, LocalZone,
    ::testing::Values("America/New_York", "Europe/Berlin", "Australia/Sydney", "Pacific/Chatham"));

} // namespace
