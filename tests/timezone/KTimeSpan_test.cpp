#include "timezone/CalendarTypes.h"
#include "timezone/KTimeInterval.h"
#include "timezone/KTimeSpan.h"

#include <gtest/gtest.h>

using namespace tavir::timezone;

namespace {

KTimeSpan secs(int64_t n)
{
    return KTimeSpan::fromSecondCount(n);
}

TEST(KTimeSpan, NullIsDistinctFromZero)
{
    EXPECT_TRUE(KTimeSpan().isNull());
    EXPECT_TRUE(KTimeSpan::null.isNull());
    EXPECT_FALSE(KTimeSpan() != KTimeSpan::null);
    EXPECT_TRUE(!KTimeSpan::null);
    EXPECT_TRUE(KTimeSpan::null != secs(0));
    EXPECT_EQ(KTimeSpan::null.toSecondCount(), 0);
    EXPECT_EQ(KTimeSpan::null.toSecondCount64(), 0);
    EXPECT_FALSE(KTimeSpan::null.isNegative());
    EXPECT_EQ(KTimeSpan::null.toIsoString(), "PT00S");
}

TEST(KTimeSpan, ArithmeticWithNull)
{
    EXPECT_TRUE((KTimeSpan::null + secs(5)).isNull());
    EXPECT_TRUE((secs(5) - KTimeSpan::null).isNull());
    KTimeSpan a;
    a += secs(5);
    EXPECT_TRUE(a.isNull());
    KTimeSpan b = secs(5);
    b += KTimeSpan::null;
    EXPECT_EQ(b.toSecondCount64(), 5);
    b -= secs(7);
    EXPECT_EQ(b.toSecondCount64(), -2);
    EXPECT_EQ((secs(3) + secs(4)).toSecondCount64(), 7);
}

TEST(KTimeSpan, Parts)
{
    const KTimeSpan s = secs(-90061);
    EXPECT_TRUE(s.isNegative());
    EXPECT_EQ(s.getDays(), 1);
    EXPECT_EQ(s.getHours(), 1);
    EXPECT_EQ(s.getMinutes(), 1);
    EXPECT_EQ(s.getSeconds(), 1);
    EXPECT_EQ(KTimeSpan(1, 2, 90, 5, false).toSecondCount64(), 86400 + 7200 + 5400 + 5);
    EXPECT_EQ(KTimeSpan(0, 1, 0, 0, true).toSecondCount64(), -3600);
    // Cut to the low 32 bits.
    EXPECT_EQ(secs(0x100000005LL).toSecondCount(), 5);
    EXPECT_EQ(secs(0x100000005LL).toSecondCount64(), 0x100000005LL);
}

TEST(KTimeSpan, IsoText)
{
    const struct {
        int64_t seconds;
        const char* text;
    } cases[] = {
        {0, "PT00S"},
        {45, "PT45S"},
        {90, "PT01M30S"},
        {3600, "PT01H00M"},
        {3601, "PT01H00M01S"},
        {86401, "P1DT01S"},
        {93600, "P1DT02H00M"},
        {-86400, "-P1D"},
        {-90061, "-P1DT01H01M01S"},
        {86400 * 12, "P12D"},
        {-5400, "-PT01H30M"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(secs(c.seconds).toIsoString(), c.text) << c.seconds;
}

TEST(KTimeSpan, FromIsoText)
{
    const struct {
        const char* text;
        int64_t seconds; // INT64_MIN: null
    } cases[] = {
        {"PT1H30M", 5400},
        {"P1W", 604800},
        {"-P1DT2H", -93600},
        {"P1M", 60},
        {"P1Y", 0},
        {"PT5", 0},
        {"P", 0},
        {"", INT64_MIN},
        {"1D", INT64_MIN},
        {"+PT02H00M", 7200},
        {"-PT03H30M", -12600},
        {"P1DT01S", 86401},
        {"-P1DT01H01M01S", -90061},
    };
    for (const auto& c : cases) {
        const KTimeSpan s = KTimeSpan::fromIsoString(c.text);
        if (c.seconds == INT64_MIN)
            EXPECT_TRUE(s.isNull()) << c.text;
        else
            EXPECT_EQ(s.toSecondCount64(), c.seconds) << c.text;
    }
    // Every written text reads back to its span.
    for (int64_t n : {0LL, 1LL, 59LL, 61LL, 3599LL, 3600LL, 86399LL, 86400LL, 1234567LL, -7LL,
             -3600LL, -1234567LL}) {
        EXPECT_EQ(KTimeSpan::fromIsoString(secs(n).toIsoString()).toSecondCount64(), n) << n;
    }
}

TEST(CalendarTypes, MeasuresAndSteps)
{
    const TimeMeasures measures[]
        = {TM_YEAR, TM_MONTH, TM_WEEK, TM_DAY, TM_DAY, TM_DAY, TM_HOUR, TM_MINUTE, TM_SECOND};
    for (int i = 0; i <= 8; ++i)
        EXPECT_EQ(getTimeMeasure(CalendarTypes(i)), measures[i]) << i;
    EXPECT_EQ(getTimeMeasure(CalendarTypes(9)), TM_YEAR);

    const CalendarTypes up[] = {CT_YEAR, CT_YEAR, CT_YEAR, CT_YEAR, CT_MONTH, CT_WEEK_NUMBER,
        CT_DAY_OF_MONTH, CT_HOUR, CT_MINUTE};
    const CalendarTypes down[] = {CT_MONTH, CT_DAY_OF_MONTH, CT_WEEKDAY, CT_HOUR, CT_HOUR, CT_HOUR,
        CT_MINUTE, CT_SECOND, CT_SECOND};
    for (int i = 0; i <= 8; ++i) {
        EXPECT_EQ(CalendarTypes(i) << 1, up[i]) << i;
        EXPECT_EQ(CalendarTypes(i) >> 1, down[i]) << i;
        EXPECT_EQ(CalendarTypes(i) << 0, CalendarTypes(i));
        EXPECT_EQ(CalendarTypes(i) >> 0, CalendarTypes(i));
    }
    EXPECT_EQ(CT_MINUTE << 2, CT_DAY_OF_MONTH);
    EXPECT_EQ(CT_YEAR >> 3, CT_HOUR);
    EXPECT_EQ(CT_SECOND << -1, CT_SECOND);
    EXPECT_EQ(CT_WEEKDAY >> -1, CT_WEEK_NUMBER);
    EXPECT_EQ(CT_SECOND << 100, CT_YEAR);
}

KTimeInterval iv(int64_t a, int64_t b)
{
    return KTimeInterval(KDateTime::from64(a), KDateTime::from64(b));
}

TEST(KTimeInterval, Intersect)
{
    KTimeInterval a = iv(10, 20);
    EXPECT_TRUE(a.intersect(iv(20, 30)));
    EXPECT_EQ(a.start.to64(), 20);
    EXPECT_EQ(a.end.to64(), 20);

    KTimeInterval b = iv(10, 20);
    EXPECT_FALSE(b.intersect(iv(21, 30)));
    EXPECT_TRUE(b.start.isNull());
    EXPECT_TRUE(b.end.isNull());

    KTimeInterval c = iv(10, 40);
    EXPECT_TRUE(c.intersect(iv(15, 25)));
    EXPECT_EQ(c.start.to64(), 15);
    EXPECT_EQ(c.end.to64(), 25);

    // Equal starts take the other's value, equal ends keep this one's.
    KTimeInterval d(KDateTime::from64(100), KDateTime::from64(200));
    KDateTime otherStart = KDateTime::from64(100);
    otherStart.setGmtOffset(KTimeSpan::fromSecondCount(3600));
    KDateTime otherEnd = KDateTime::from64(200);
    otherEnd.setGmtOffset(KTimeSpan::fromSecondCount(7200));
    ASSERT_EQ(otherStart.to64(), 100 - 3600);
    otherStart += KTimeSpan::fromSecondCount(3600);
    otherEnd += KTimeSpan::fromSecondCount(7200);
    EXPECT_TRUE(d.intersect(KTimeInterval(otherStart, otherEnd)));
    EXPECT_EQ(d.start.gmtOffset().toSecondCount(), 3600);
    EXPECT_EQ(d.end.gmtOffset().toSecondCount(), 0);
}

std::vector<std::pair<int64_t, int64_t>> flat(const std::list<KTimeInterval>& l)
{
    std::vector<std::pair<int64_t, int64_t>> out;
    for (const auto& i : l)
        out.emplace_back(i.start.to64(), i.end.to64());
    return out;
}

TEST(KTimeInterval, Merge)
{
    std::list<KTimeInterval> a{iv(5, 6), iv(1, 2)};
    std::list<KTimeInterval> b{iv(3, 4), iv(1, 2)};
    const auto m = a + b;
    EXPECT_EQ(flat(m), (std::vector<std::pair<int64_t, int64_t>>{{1, 2}, {3, 4}, {5, 6}}));
    EXPECT_EQ(flat(a).front().first, 1); // sorted in place

    std::list<KTimeInterval> c{iv(1, 3)};
    std::list<KTimeInterval> d{iv(1, 2)};
    EXPECT_EQ(flat(c + d), (std::vector<std::pair<int64_t, int64_t>>{{1, 2}, {1, 3}}));

    // Duplicates within one list stay.
    std::list<KTimeInterval> e{iv(1, 2), iv(1, 2)};
    std::list<KTimeInterval> f;
    EXPECT_EQ((e + f).size(), 2u);

    std::list<KTimeInterval> g;
    g += iv(7, 8);
    g += iv(1, 2);
    EXPECT_EQ(flat(g), (std::vector<std::pair<int64_t, int64_t>>{{7, 8}, {1, 2}}));
}

} // namespace
