#include "ZoneProps.h"
#include "timezone/RRule.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>

#include <string>
#include <vector>

using namespace tavir::timezone;
using tavir::timezone::test::parse;

namespace {

// Occurrences as "YYYYMMDDTHHMMSSZ" (UTC values), at most `limit`.
std::vector<std::string> walk(
    const char* text, const KDateTime& start, bool includeStart, size_t limit = 1000)
{
    const RRule rule = parse(text);
    std::vector<std::string> out;
    for (auto it = rule.begin(start, includeStart); it != rule.end() && out.size() < limit; it++)
        out.push_back(it->toIsoString(0));
    return out;
}

using Texts = std::vector<std::string>;

KDateTime utc(int y, int m, int d, int h = 9)
{
    return KDateTime(d, m, y, h, 0, 0);
}

TEST(RRuleIterator, MonthsAndYears)
{
    EXPECT_EQ(walk("FREQ=MONTHLY", utc(2023, 1, 31), true, 7),
        (Texts{"20230131T090000Z", "20230331T090000Z", "20230531T090000Z", "20230731T090000Z",
            "20230831T090000Z", "20231031T090000Z", "20231231T090000Z"}));
    EXPECT_EQ(walk("FREQ=YEARLY", utc(2024, 2, 29), true, 3),
        (Texts{"20240229T090000Z", "20250301T090000Z", "20260301T090000Z"}));
    EXPECT_EQ(walk("FREQ=YEARLY;BYMONTHDAY=31", utc(2023, 1, 31), true, 8),
        (Texts{"20230131T090000Z", "20230331T090000Z", "20230531T090000Z", "20230731T090000Z",
            "20230831T090000Z", "20231031T090000Z", "20231231T090000Z", "20240131T090000Z"}));
    EXPECT_EQ(walk("FREQ=YEARLY;BYMONTHDAY=-1", utc(2024, 1, 31), true, 3),
        (Texts{"20240131T090000Z", "20240229T090000Z", "20240331T090000Z"}));
    EXPECT_EQ(walk("FREQ=MONTHLY;BYDAY=-1FR", utc(2024, 1, 1), false, 3),
        (Texts{"20240126T090000Z", "20240223T090000Z", "20240329T090000Z"}));
    EXPECT_EQ(walk("FREQ=MONTHLY;BYDAY=FR", utc(2024, 2, 1), false, 5),
        (Texts{"20240202T090000Z", "20240209T090000Z", "20240216T090000Z", "20240223T090000Z",
            "20240301T090000Z"}));
    EXPECT_EQ(walk("FREQ=MONTHLY;BYDAY=MO,TU,WE,TH,FR;BYSETPOS=-1", utc(2024, 1, 1), false, 3),
        (Texts{"20240131T090000Z", "20240229T090000Z", "20240329T090000Z"}));
    // BYSETPOS counts the whole period, also candidates before the start.
    EXPECT_EQ(walk("FREQ=MONTHLY;BYDAY=MO,TU,WE,TH,FR;BYSETPOS=1", utc(2024, 1, 15), false, 2),
        (Texts{"20240201T090000Z", "20240301T090000Z"}));
    EXPECT_EQ(walk("FREQ=MONTHLY;BYMONTHDAY=1,1", utc(2024, 1, 1), false, 4),
        (Texts{"20240101T090000Z", "20240101T090000Z", "20240201T090000Z", "20240201T090000Z"}));
    // The last Monday of the year, which lies in the next year's first week.
    EXPECT_EQ(walk("FREQ=YEARLY;BYDAY=-1MO", utc(2025, 1, 1), false, 2),
        (Texts{"20251229T090000Z", "20261228T090000Z"}));
    // 1 January 2021, a Friday of week 53 of 2020.
    EXPECT_EQ(
        walk("FREQ=YEARLY;BYDAY=1FR", utc(2020, 12, 1), false, 1), (Texts{"20210101T090000Z"}));
    // Every hour of the day: BYMINUTE under a daily rule starts at midnight.
    EXPECT_EQ(walk("FREQ=DAILY;BYMINUTE=30", utc(2024, 1, 1, 0), true, 3),
        (Texts{"20240101T000000Z", "20240101T003000Z", "20240101T013000Z"}));
}

TEST(RRuleIterator, DaysAndLimits)
{
    EXPECT_EQ(walk("FREQ=DAILY;BYDAY=MO,FR", utc(2024, 3, 5), false, 3),
        (Texts{"20240308T090000Z", "20240311T090000Z", "20240315T090000Z"}));
    EXPECT_EQ(walk("FREQ=DAILY;BYDAY=1MO", utc(2024, 3, 5), false, 2),
        (Texts{"20240311T090000Z", "20240318T090000Z"}));
    EXPECT_EQ(walk("FREQ=DAILY;COUNT=3", utc(2024, 3, 5), false).size(), 3u);
    EXPECT_EQ(walk("FREQ=DAILY;COUNT=3", utc(2024, 3, 5), true).size(), 3u);
    EXPECT_EQ(walk("FREQ=DAILY;UNTIL=20240307T090000Z", utc(2024, 3, 5), true),
        (Texts{"20240305T090000Z", "20240306T090000Z", "20240307T090000Z"}));
    EXPECT_EQ(walk("FREQ=WEEKLY;BYDAY=MO", utc(2024, 3, 6), true, 2),
        (Texts{"20240306T090000Z", "20240311T090000Z"}));
    EXPECT_EQ(walk("FREQ=WEEKLY;BYDAY=MO", utc(2024, 3, 6), false, 2),
        (Texts{"20240311T090000Z", "20240318T090000Z"}));
}

TEST(RRuleIterator, RulesWithoutOccurrences)
{
    const KDateTime start = utc(2024, 3, 5);
    EXPECT_TRUE(walk("FREQ=YEARLY;BYHOUR=9", start, false).empty());
    EXPECT_EQ(walk("FREQ=YEARLY;BYHOUR=9", start, true), Texts{"20240305T090000Z"});
    EXPECT_TRUE(walk("FREQ=DAILY;INTERVAL=0", start, false).empty());
    EXPECT_EQ(walk("FREQ=DAILY;INTERVAL=1025", start, true), Texts{"20240305T090000Z"});
    EXPECT_TRUE(walk("COUNT=3", start, false).empty());
    EXPECT_EQ(walk("COUNT=3", start, true), Texts{"20240305T090000Z"});
    // No 30 February: the search gives up after its window of years.
    EXPECT_TRUE(walk("FREQ=YEARLY;BYMONTH=2;BYMONTHDAY=30", start, false).empty());
    EXPECT_TRUE(walk("FREQ=DAILY", KDateTime::null, true).empty());
    EXPECT_TRUE(walk("FREQ=DAILY", KDateTime::infinity(), false).empty());
}

// Days of ISO weeks found through strftime("%G %V %u").
Texts isoWeekDays(int week, int weekday, int fromYear, int toYear)
{
    Texts out;
    for (int64_t s = KDateTime(20, 12, fromYear - 1, 9, 0, 0).to64();
         s < KDateTime(10, 1, toYear + 1, 9, 0, 0).to64(); s += 86400) {
        const time_t t = time_t(s);
        tm f{};
        ::gmtime_r(&t, &f);
        char buf[32];
        ::strftime(buf, sizeof buf, "%G %V %u", &f);
        int y = 0, w = 0, d = 0;
        std::sscanf(buf, "%d %d %d", &y, &w, &d);
        char next[32];
        const time_t later = time_t(s + 7 * 86400);
        tm g{};
        ::gmtime_r(&later, &g);
        ::strftime(next, sizeof next, "%G", &g);
        const bool lastWeek = std::atoi(next) != y;
        if (y >= fromYear && y <= toYear && d == weekday && (w == week || (week == -1 && lastWeek)))
            out.push_back(KDateTime::from64(s).toIsoString(0));
    }
    return out;
}

TEST(RRuleIterator, WeekNumbersAcrossYearEnds)
{
    const char* names[] = {"", "MO", "TU", "WE", "TH", "FR", "SA", "SU"};
    for (int week : {1, 2, 20, 52, 53, -1}) {
        for (int weekday : {1, 4, 7}) {
            const Texts expected = isoWeekDays(week, weekday, 2021, 2040);
            char rule[64];
            std::snprintf(
                rule, sizeof rule, "FREQ=YEARLY;BYWEEKNO=%d;BYDAY=%s", week, names[weekday]);
            const KDateTime start = KDateTime::fromIsoString(expected.front(), {});
            EXPECT_EQ(walk(rule, start, true, expected.size()), expected) << rule;
        }
    }
}

// Rules of hourly and finer steps whose lists only limit: every step of the
// grid from the start that passes all lists is an occurrence.
TEST(RRuleIterator, FineStepsAgainstTheirGrid)
{
    const struct {
        const char* rule;
        int step;
        std::function<bool(const tm&)> keep;
    } cases[] = {
        {"FREQ=HOURLY;INTERVAL=5;BYMONTH=2,3;BYDAY=SA,SU", 5 * 3600,
            [](const tm& t) { return (t.tm_mon == 1 || t.tm_mon == 2) && (t.tm_wday % 6 == 0); }},
        {"FREQ=MINUTELY;INTERVAL=7;BYHOUR=3,23;BYMONTHDAY=1,-1", 7 * 60,
            [](const tm& t) {
                const int last = KDateTime(1, t.tm_mon + 1, t.tm_year + 1900)
                                     .getItemCount(CT_MONTH, TM_DAY, KDateTime::Monday);
                return (t.tm_hour == 3 || t.tm_hour == 23) && (t.tm_mday == 1 || t.tm_mday == last);
            }},
        {"FREQ=SECONDLY;INTERVAL=13;BYMINUTE=0;BYHOUR=12;BYYEARDAY=100", 13,
            [](const tm& t) { return t.tm_min == 0 && t.tm_hour == 12 && t.tm_yday == 99; }},
        {"FREQ=MINUTELY;INTERVAL=1000;BYMONTH=7", 1000 * 60,
            [](const tm& t) { return t.tm_mon == 6; }},
    };
    const KDateTime start(29, 2, 2024, 1, 2, 3);
    for (const auto& c : cases) {
        Texts expected;
        for (int64_t s = start.to64(); expected.size() < 40 && s < start.to64() + 3LL * 366 * 86400;
             s += c.step) {
            const tm t = KDateTime::gmTime(s);
            if (c.keep(t))
                expected.push_back(KDateTime::from64(s).toIsoString(0));
        }
        ASSERT_GE(expected.size(), 10u) << c.rule;
        EXPECT_EQ(walk(c.rule, start, false, expected.size()), expected) << c.rule;
    }
}

TEST(RRuleIterator, CountIncludesTheStart)
{
    // The start always counts as the first occurrence: COUNT bounds the total.
    EXPECT_EQ(walk("FREQ=YEARLY;BYMONTH=1,2;COUNT=2", utc(2024, 3, 15), true),
        (Texts{"20240315T090000Z", "20250115T090000Z"}));
    EXPECT_EQ(walk("FREQ=YEARLY;BYMONTH=1,2;COUNT=2", utc(2024, 3, 15), false),
        (Texts{"20250115T090000Z", "20250215T090000Z"}));
    EXPECT_EQ(walk("FREQ=YEARLY;BYMONTH=1,2;COUNT=3", utc(2024, 3, 15), true),
        (Texts{"20240315T090000Z", "20250115T090000Z", "20250215T090000Z"}));
    EXPECT_EQ(walk("FREQ=WEEKLY;BYDAY=MO,TU;COUNT=2", utc(2024, 3, 6), true),
        (Texts{"20240306T090000Z", "20240311T090000Z"}));
}

TEST(RRuleIterator, EqualityAndDereference)
{
    const RRule rule = parse("FREQ=DAILY;COUNT=5");
    RRule::iterator it = rule.begin(utc(2024, 3, 5), true);
    const RRule::iterator end = rule.end();
    // An active iterator on its first occurrence is never equal to the end,
    // from either side.
    EXPECT_FALSE(end == it);
    EXPECT_FALSE(it == end);
    EXPECT_TRUE(end != it);
    EXPECT_TRUE(it == rule.begin(utc(2024, 3, 5), true));
    RRule::iterator before = it++;
    EXPECT_EQ(before->to64(), utc(2024, 3, 5).to64());
    EXPECT_EQ((*it).to64(), utc(2024, 3, 6).to64());
    EXPECT_FALSE(before == it);
    it += 3;
    EXPECT_EQ(it->to64(), utc(2024, 3, 9).to64());
    it += 0;
    it += -2;
    EXPECT_EQ(it->to64(), utc(2024, 3, 9).to64());
    ++it;
    EXPECT_TRUE(it == end);
    EXPECT_TRUE(end == it);
    EXPECT_TRUE((*it).isNull());
    EXPECT_TRUE((*end).isNull());
    ++it;
    EXPECT_TRUE(it == end);
    // Exhausted iterators of different rules are equal.
    const RRule other = parse("FREQ=YEARLY;BYHOUR=1");
    EXPECT_TRUE(other.begin(utc(2024, 3, 5), false) == it);
    EXPECT_EQ(rule.end().emptyRange(CT_MONTH), -1);
    // An iterator bound to no rule is exhausted at once.
    EXPECT_TRUE(RRule::iterator(nullptr, utc(2024, 3, 5), true) == end);
}

TEST(RRuleIterator, EmptyRange)
{
    const RRule yearly = parse("FREQ=YEARLY;BYMONTH=3");
    RRule::iterator it = yearly.begin(utc(2024, 3, 5), true);
    EXPECT_EQ(it.emptyRange(CT_DAY_OF_MONTH), CT_MONTH);
    EXPECT_EQ(it.emptyRange(CT_MONTH), CT_YEAR);
    const RRule daily = parse("FREQ=DAILY");
    EXPECT_EQ(daily.begin(utc(2024, 3, 5), true).emptyRange(CT_MONTH), -1);
    EXPECT_EQ(daily.begin(utc(2024, 3, 5), true).emptyRange(CT_HOUR), CT_WEEKDAY);
}

TEST(RRuleCounts, CountsAndEnds)
{
    const KDateTime start = utc(2024, 3, 5);
    const RRule five = parse("FREQ=DAILY;COUNT=5");
    EXPECT_EQ(five.getCount(start, true, KDateTime::null), 5);
    EXPECT_EQ(five.getCount(start, true, utc(2024, 3, 6)), 5);
    EXPECT_EQ(five.getUntil(start, true, -1).to64(), utc(2024, 3, 9).to64());

    const RRule endless = parse("FREQ=DAILY");
    EXPECT_EQ(endless.getCount(start, true, KDateTime::null), -1);
    EXPECT_EQ(endless.getCount(start, true, utc(2024, 3, 9)), 5);
    EXPECT_TRUE(endless.getUntil(start, true, -1).isNull());
    EXPECT_EQ(endless.getUntil(start, true, 3).to64(), utc(2024, 3, 7).to64());
    EXPECT_EQ(endless.getUntil(start, true, 0).to64(), start.to64());
    EXPECT_EQ(endless.computeCount(start, utc(2024, 3, 8), true), 3);
    EXPECT_EQ(endless.computeCount(start, utc(2100, 1, 1), true), 10000);
    EXPECT_EQ(endless.computeCount(start, KDateTime::null, true), -1);

    const RRule ten = parse("FREQ=DAILY;UNTIL=20240315T090000Z");
    EXPECT_EQ(ten.getCount(start, true, KDateTime::null), 11);
    EXPECT_EQ(ten.getCount(start, true, utc(2024, 3, 6)), 11);
    EXPECT_EQ(ten.computeCount(start, utc(2030, 1, 1), true), 11);
    // A null end leaves UNTIL in force.
    EXPECT_EQ(ten.computeCount(start, KDateTime::null, true), 11);

    const RRule both = parse("FREQ=DAILY;COUNT=10;UNTIL=20240307T000000Z");
    EXPECT_EQ(both.getUntil(start, true, -1).to64(), both.until.to64());
    const RRule counted = parse("FREQ=DAILY;COUNT=4");
    EXPECT_EQ(counted.computeCount(start, utc(2030, 1, 1), true), 4);
    EXPECT_EQ(counted.computeCount(start, KDateTime::null, true), 4);

    const RRule invalid = parse("COUNT=3");
    EXPECT_EQ(invalid.getCount(start, false, utc(2030, 1, 1)), 3);
    EXPECT_TRUE(parse("FREQ=YEARLY;BYHOUR=2").getUntil(start, false, 4).isNull());
    EXPECT_EQ(parse("FREQ=YEARLY;BYHOUR=2").computeCount(start, utc(2030, 1, 1), true), 1);
}

} // namespace
