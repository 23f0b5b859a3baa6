#include "ZoneProps.h"
#include "timezone/RRule.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace tavir::timezone;
using tavir::timezone::test::parse;

namespace {

using Ints = std::vector<int>;

TEST(RRuleParser, RfcForm)
{
    RRule r = parse("FREQ=YEARLY;BYMONTH=10;BYDAY=-1SU");
    EXPECT_TRUE(r.valid);
    EXPECT_EQ(r.frequency, 0);
    EXPECT_EQ(r.interval, 1);
    EXPECT_TRUE(r.until.isNull());
    EXPECT_EQ(r.count, -1);
    EXPECT_EQ(r.byValues[CT_MONTH], Ints{10});
    EXPECT_EQ(r.byValues[CT_WEEKDAY], Ints{-249});
    EXPECT_EQ(r.weekStart, 1);

    r = parse("freq=weekly;byday=mo,we");
    EXPECT_TRUE(r.valid);
    EXPECT_EQ(r.frequency, 2);
    EXPECT_EQ(r.byValues[CT_WEEKDAY], (Ints{1, 3}));

    r = parse("FREQ=MONTHLY;BYDAY=1MO,+2TU,-1SU,-2FR,1 MO,MON,10XX,SA,");
    EXPECT_EQ(r.byValues[CT_WEEKDAY], (Ints{257, 514, -249, -507, 257, 6}));

    EXPECT_FALSE(parse("FREQ=MONTHLY;BYSETPOS=-1").valid);
    EXPECT_TRUE(parse("FREQ=MONTHLY;BYDAY=MO,TU;BYSETPOS=-1").valid);
    r = parse("FREQ=MONTHLY;BYDAY=;BYSETPOS=1");
    EXPECT_TRUE(r.valid);
    EXPECT_TRUE(r.byValues[CT_WEEKDAY].empty());
    EXPECT_EQ(r.byValues[RRule::BySetPos], Ints{1});

    r = parse("FREQ=FORTNIGHTLY;COUNT=3");
    EXPECT_FALSE(r.valid);
    EXPECT_EQ(r.count, -1);
    r = parse("FREQ=DAILY;FREQ=X;COUNT=3");
    EXPECT_TRUE(r.valid);
    EXPECT_EQ(r.frequency, 3);
    EXPECT_EQ(r.count, -1);
    EXPECT_FALSE(parse("COUNT=5").valid);

    r = parse("FREQ=DAILY;UNTIL=20071104T000000Z;COUNT=10");
    EXPECT_EQ(r.until.to64(), KDateTime(4, 11, 2007, 0, 0, 0).to64());
    EXPECT_EQ(r.count, 10);
    // A value with an offset keeps its digits.
    r = parse("FREQ=DAILY;UNTIL=20071104T100000+0200");
    EXPECT_EQ(r.until.to64(), KDateTime(4, 11, 2007, 10, 0, 0).to64());
    r = parse("FREQ=DAILY;UNTIL=20071104T100000");
    EXPECT_EQ(r.until.to64(), KDateTime(4, 11, 2007, 10, 0, 0).to64());
    EXPECT_EQ(r.until.gmtOffset().toSecondCount(), 0);
    r = parse("FREQ=DAILY;UNTIL=20071104;UNTIL=junk");
    EXPECT_TRUE(r.until.isNull());

    EXPECT_EQ(parse("FREQ=DAILY;INTERVAL=0").interval, 0);
    EXPECT_EQ(parse("FREQ=DAILY;BYHOUR=1,,3,").byValues[CT_HOUR], (Ints{1, 0, 3}));
    EXPECT_EQ(parse("FREQ=DAILY;BYHOUR=x").byValues[CT_HOUR], (Ints{0}));
    EXPECT_EQ(parse("FREQ=DAILY;BYMINUTE=1;BYMINUTE=2").byValues[CT_MINUTE], (Ints{1, 2}));
    r = parse("FREQ=WEEKLY;WKST=XX");
    EXPECT_TRUE(r.valid);
    EXPECT_EQ(r.weekStart, 0);
    r = parse("FREQ=DAILY;;X-NAME;COUNT=2");
    EXPECT_TRUE(r.valid);
    EXPECT_EQ(r.count, 2);
    r = parse("FREQ=DAILY;FREQ;COUNT=2");
    EXPECT_TRUE(r.valid);
    EXPECT_EQ(r.frequency, 3);
    EXPECT_EQ(r.count, -1);

    r = parse("BYSECOND=1;BYMINUTE=2;BYHOUR=3;BYMONTHDAY=4;BYYEARDAY=5;BYWEEKNO=6;BYMONTH=7;"
              "FREQ=SECONDLY;WKST=su");
    EXPECT_EQ(r.frequency, 6);
    for (int k = 1; k <= 8; ++k) {
        if (k != CT_WEEKDAY) {
            EXPECT_EQ(r.byValues[k], Ints{9 - k - (k < 5 ? 1 : 0)}) << k;
        }
    }
    EXPECT_EQ(r.weekStart, 7);
}

TEST(RRuleParser, VCalendarForm)
{
    RRule r = parse("W1 MO TH #5");
    EXPECT_TRUE(r.valid);
    EXPECT_EQ(r.frequency, 2);
    EXPECT_EQ(r.interval, 1);
    EXPECT_EQ(r.byValues[CT_WEEKDAY], (Ints{1, 4}));
    EXPECT_EQ(r.count, 5);

    r = parse("MP1 2- FR 1+ MO #0");
    EXPECT_EQ(r.frequency, 1);
    EXPECT_EQ(r.byValues[CT_WEEKDAY], (Ints{-507, 257}));
    EXPECT_EQ(r.count, -1);
    EXPECT_EQ(parse("MP1 1+ 2- MO").byValues[CT_WEEKDAY], Ints{-511});

    r = parse("MD1 1 15 LD 20071104T000000Z");
    EXPECT_EQ(r.frequency, 1);
    EXPECT_EQ(r.byValues[CT_DAY_OF_MONTH], (Ints{1, 15, -1}));
    EXPECT_EQ(r.until.to64(), KDateTime(4, 11, 2007, 0, 0, 0).to64());

    r = parse("YM2 6 7 #10");
    EXPECT_EQ(r.frequency, 0);
    EXPECT_EQ(r.interval, 2);
    EXPECT_EQ(r.byValues[CT_MONTH], (Ints{6, 7}));
    EXPECT_EQ(r.count, 10);

    r = parse("MD1 5 20081005");
    EXPECT_EQ(r.byValues[CT_DAY_OF_MONTH], (Ints{5, 20081005}));
    EXPECT_TRUE(r.until.isNull());

    r = parse("D2 #0 MO");
    EXPECT_EQ(r.frequency, 3);
    EXPECT_EQ(r.count, -1);
    EXPECT_TRUE(r.byValues[CT_WEEKDAY].empty());

    EXPECT_EQ(parse("YD1 100 200").byValues[CT_DAY_OF_YEAR], (Ints{100, 200}));
    EXPECT_EQ(parse("MD1 1- 3+").byValues[CT_DAY_OF_MONTH], (Ints{-1, 3}));
    EXPECT_EQ(parse("M15").frequency, 5);

    EXPECT_FALSE(parse("d1").valid);
    r = parse("X5");
    EXPECT_FALSE(r.valid);
    EXPECT_EQ(r.interval, 5);
    EXPECT_FALSE(parse(";W1 MO").valid);
    EXPECT_FALSE(parse("").valid);
    r = parse("WWWWWWWWWWWWWWWWWWWW1 #4");
    EXPECT_FALSE(r.valid);
    EXPECT_EQ(r.count, 4);
}

TEST(RRuleWriter, RfcText)
{
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"FREQ=YEARLY;BYMONTH=10;BYDAY=-1SU", "FREQ=YEARLY;BYMONTH=10;BYDAY=-1SU"},
        {"BYMONTH=3;FREQ=YEARLY;BYMONTHDAY=23,24,25,26,27,28,29,30,31;BYDAY=FR",
            "FREQ=YEARLY;BYMONTH=3;BYMONTHDAY=23,24,25,26,27,28,29,30,31;BYDAY=FR"},
        {"FREQ=WEEKLY;INTERVAL=2;UNTIL=20071104T000000Z;COUNT=4;BYDAY=TU,TH;WKST=SU",
            "FREQ=WEEKLY;UNTIL=20071104T000000Z;INTERVAL=2;BYDAY=TU,TH;WKST=SU"},
        {"FREQ=DAILY;COUNT=0", "FREQ=DAILY"},
        {"FREQ=DAILY;INTERVAL=1", "FREQ=DAILY"},
        {"FREQ=DAILY;INTERVAL=0", "FREQ=DAILY"},
        {"FREQ=MONTHLY;X-UNTIL=20101231T000000Z;COUNT=3",
            "FREQ=MONTHLY;X-UNTIL=20101231T000000Z;COUNT=3"},
        {"FREQ=DAILY;UNTIL=20071104", "FREQ=DAILY;UNTIL=20071104"},
        {"FREQ=SECONDLY;BYSECOND=5;BYMINUTE=4;BYHOUR=3;BYDAY=2MO;BYMONTHDAY=-1;BYYEARDAY=9;"
         "BYWEEKNO=1;BYMONTH=2;BYSETPOS=1,-1",
            "FREQ=SECONDLY;BYMONTH=2;BYWEEKNO=1;BYYEARDAY=9;BYMONTHDAY=-1;BYDAY=2MO;BYHOUR=3;"
            "BYMINUTE=4;BYSECOND=5;BYSETPOS=1,-1"},
        {"FREQ=WEEKLY;WKST=XX", "FREQ=WEEKLY;WKST="},
        {"FREQ=NEVER", ""},
        {"W2 TU TH #3", "FREQ=WEEKLY;COUNT=3;INTERVAL=2;BYDAY=TU,TH"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parse(c.in).getRRule(), c.out) << c.in;
        // What is written reads back as the same text.
        EXPECT_EQ(parse(parse(c.in).getRRule().c_str()).getRRule(), c.out) << c.in;
    }
}

TEST(RRuleWriter, SimpleText)
{
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"FREQ=YEARLY;BYMONTH=10;BYDAY=-1SU", "YM1 10 1- SU #0"},
        {"FREQ=WEEKLY;INTERVAL=2;UNTIL=20071104T000000Z;COUNT=4;BYDAY=TU,TH;WKST=SU",
            "W2 TU TH 20071104T000000Z"},
        {"FREQ=MONTHLY;X-UNTIL=20101231T000000Z;COUNT=3", "MD1 #3"},
        {"FREQ=HOURLY;INTERVAL=2", ""},
        {"FREQ=SECONDLY", ""},
        {"FREQ=YEARLY;BYMONTHDAY=15", "YD1 15 #0"},
        {"FREQ=MONTHLY;BYDAY=2MO,FR", "MP1 2+ MO FR #0"},
        {"FREQ=DAILY;COUNT=0", "D1 #0"},
        {"FREQ=MINUTELY;INTERVAL=15;BYHOUR=3", "M15 #0"},
        {"FREQ=MONTHLY;BYMONTHDAY=5;UNTIL=20081005", "MD1 5 20081005"},
        {"junk", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(parse(c.in).getSimpleRRule(), c.out) << c.in;

    // Only the lists of the rule kind are read back.
    EXPECT_EQ(parse(parse("FREQ=YEARLY;BYMONTH=10;BYDAY=-1SU").getSimpleRRule().c_str()).getRRule(),
        "FREQ=YEARLY;BYMONTH=10");
    EXPECT_EQ(parse("YD1 15 #0").byValues[CT_DAY_OF_YEAR], Ints{15});
}

TEST(RRuleRecord, ClearAndCopy)
{
    RRule r = parse("FREQ=DAILY;COUNT=4;BYHOUR=1;UNTIL=20200101T000000Z;WKST=SU");
    RRule copy;
    copy = r;
    EXPECT_TRUE(copy.valid);
    EXPECT_EQ(copy.getRRule(), r.getRRule());
    RRule constructed(r);
    EXPECT_EQ(constructed.getRRule(), r.getRRule());
    r.clear();
    EXPECT_FALSE(r.valid);
    EXPECT_EQ(r.frequency, -1);
    EXPECT_EQ(r.count, -1);
    EXPECT_EQ(r.interval, 1);
    EXPECT_TRUE(r.until.isNull());
    EXPECT_EQ(r.weekStart, 1);
    for (const auto& list : r.byValues)
        EXPECT_TRUE(list.empty());
    EXPECT_EQ(copy.byValues[CT_HOUR], Ints{1});

    // setRRule starts afresh.
    copy.setRRule("FREQ=YEARLY");
    EXPECT_TRUE(copy.byValues[CT_HOUR].empty());
    EXPECT_EQ(copy.count, -1);

    RRule lists;
    char text[] = "4,5,,6";
    const char* last = lists.setByVal(text, CT_MINUTE);
    EXPECT_STREQ(last, "6");
    EXPECT_EQ(lists.byValues[CT_MINUTE], (Ints{4, 5, 0, 6}));
}

} // namespace
