// Every recurrence rule of the built-in zone tables reads and writes back
// unchanged, and yields its transitions year after year.
#include "timezone/RRule.h"
#include "timezone/TimeZoneKeeper.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <string>

using namespace tavir::timezone;

namespace {

TEST(RRuleZoneTables, EveryTableRuleRoundTrips)
{
    std::set<std::string> rules;
    for (const auto* table :
        {&TimeZoneKeeper::timeZones_default(), &TimeZoneKeeper::unixTimeZones_default()}) {
        for (const TimeZone& zone : *table) {
            for (const std::string* text : {&zone.stdRRule, &zone.dstRRule}) {
                if (!text->empty())
                    rules.insert(*text);
            }
        }
    }
    ASSERT_GT(rules.size(), 10u);
    for (const std::string& text : rules) {
        RRule rule;
        rule.setRRule(text.c_str());
        ASSERT_TRUE(rule.valid) << text;
        EXPECT_EQ(rule.getRRule(), text);

        RRule copy;
        copy.setRRule(rule.getRRule().c_str());
        EXPECT_EQ(copy.getRRule(), text);

        // A zone rule gives its onsets year after year at about the same time
        // of the year: every year from 2000 to 2029 has at least one, and all
        // lie within seven weeks of the first one's day of the year.
        const KDateTime start(1, 1, 2000, 2, 0, 0);
        std::set<int> years;
        int firstDay = 0;
        int64_t previous = start.to64();
        for (auto it = rule.begin(start, false); it != rule.end() && it->getYear() < 2030; ++it) {
            ASSERT_GT(it->to64(), previous) << text;
            previous = it->to64();
            years.insert(it->getYear());
            const int day = it->getItem(CT_DAY_OF_YEAR, KDateTime::Monday);
            if (firstDay == 0)
                firstDay = day;
            ASSERT_LE(std::abs(day - firstDay), 49) << text << " " << it->toIsoString(0);
        }
        EXPECT_EQ(years.size(), 30u) << text;
        EXPECT_EQ(*years.begin(), 2000) << text;
    }
}

} // namespace
