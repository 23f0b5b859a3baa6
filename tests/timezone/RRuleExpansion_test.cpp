// The recurrence examples of RFC 5545 (section 3.8.5.3), expanded on the local
// machine's clock set to America/New_York, where the RFC's lists are given.
#include "timezone/KTimeZone.h"
#include "timezone/RRule.h"

#include "support/ScopedTz.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

using namespace tavir::timezone;

namespace {

class RfcExamples : public ::testing::Test {
protected:
    void SetUp() override { tz.emplace("America/New_York"); }
    void TearDown() override { tz.reset(); }
    std::optional<tavir::test::ScopedTz> tz;
};

// Expected occurrences: "YYYYMMDD" is 09:00 local time that day,
// "YYYYMMDDTHHMM" a given time, and "A..B/n" every n-th day from A to B.
std::vector<std::string> expand(const std::vector<std::string>& spec)
{
    std::vector<std::string> out;
    for (const std::string& s : spec) {
        const size_t dots = s.find("..");
        if (dots == std::string::npos) {
            out.push_back(s.size() == 8 ? s + "T090000" : s + "00");
            continue;
        }
        const size_t slash = s.find('/');
        const int step = std::atoi(s.c_str() + slash + 1);
        const std::string from = s.substr(0, dots);
        const std::string to = s.substr(dots + 2, slash - dots - 2);
        KDateTime d = KDateTime::fromIsoString(from, {});
        const KDateTime last = KDateTime::fromIsoString(to, {});
        for (; d <= last; d.setItem(CT_DAY_OF_MONTH, d.getDay() + step, KDateTime::Monday))
            out.push_back(d.toIsoString(0) + "T090000");
    }
    return out;
}

struct Example {
    const char* rule;
    const char* start;
    bool bounded; // COUNT or UNTIL: the whole expansion is compared
    std::vector<std::string> expected;
};

std::vector<std::string> occurrences(
    const RRule& rule, const KDateTime& start, bool includeStart, size_t limit)
{
    std::vector<std::string> out;
    for (RRule::iterator it = rule.begin(start, includeStart);
         it != rule.end() && out.size() < limit; ++it)
        out.push_back(it->toIsoString(0).substr(0, 15)); // the wall time, without designator
    return out;
}

TEST_F(RfcExamples, ExpansionsMatchTheRfcLists)
{
    const std::vector<Example> examples = {
        {"FREQ=DAILY;COUNT=10", "19970902T090000", true, {"19970902..19970911/1"}},
        {"FREQ=DAILY;UNTIL=19971224T000000Z", "19970902T090000", true, {"19970902..19971223/1"}},
        {"FREQ=DAILY;INTERVAL=2", "19970902T090000", false, {"19970902..19971203/2"}},
        {"FREQ=DAILY;INTERVAL=10;COUNT=5", "19970902T090000", true,
            {"19970902", "19970912", "19970922", "19971002", "19971012"}},
        {"FREQ=YEARLY;UNTIL=20000131T140000Z;BYMONTH=1;BYDAY=SU,MO,TU,WE,TH,FR,SA",
            "19980101T090000", true,
            {"19980101..19980131/1", "19990101..19990131/1", "20000101..20000131/1"}},
        {"FREQ=DAILY;UNTIL=20000131T140000Z;BYMONTH=1", "19980101T090000", true,
            {"19980101..19980131/1", "19990101..19990131/1", "20000101..20000131/1"}},
        {"FREQ=WEEKLY;COUNT=10", "19970902T090000", true, {"19970902..19971104/7"}},
        {"FREQ=WEEKLY;UNTIL=19971224T000000Z", "19970902T090000", true, {"19970902..19971223/7"}},
        {"FREQ=WEEKLY;INTERVAL=2;WKST=SU", "19970902T090000", false, {"19970902..19980217/14"}},
        {"FREQ=WEEKLY;UNTIL=19971007T000000Z;WKST=SU;BYDAY=TU,TH", "19970902T090000", true,
            {"19970902", "19970904", "19970909", "19970911", "19970916", "19970918", "19970923",
                "19970925", "19970930", "19971002"}},
        {"FREQ=WEEKLY;COUNT=10;WKST=SU;BYDAY=TU,TH", "19970902T090000", true,
            {"19970902", "19970904", "19970909", "19970911", "19970916", "19970918", "19970923",
                "19970925", "19970930", "19971002"}},
        {"FREQ=WEEKLY;INTERVAL=2;UNTIL=19971224T000000Z;WKST=SU;BYDAY=MO,WE,FR", "19970901T090000",
            true,
            {"19970901", "19970903", "19970905", "19970915", "19970917", "19970919", "19970929",
                "19971001", "19971003", "19971013", "19971015", "19971017", "19971027", "19971029",
                "19971031", "19971110", "19971112", "19971114", "19971124", "19971126", "19971128",
                "19971208", "19971210", "19971212", "19971222"}},
        {"FREQ=WEEKLY;INTERVAL=2;COUNT=8;WKST=SU;BYDAY=TU,TH", "19970902T090000", true,
            {"19970902", "19970904", "19970916", "19970918", "19970930", "19971002", "19971014",
                "19971016"}},
        {"FREQ=MONTHLY;COUNT=10;BYDAY=1FR", "19970905T090000", true,
            {"19970905", "19971003", "19971107", "19971205", "19980102", "19980206", "19980306",
                "19980403", "19980501", "19980605"}},
        {"FREQ=MONTHLY;UNTIL=19971224T000000Z;BYDAY=1FR", "19970905T090000", true,
            {"19970905", "19971003", "19971107", "19971205"}},
        {"FREQ=MONTHLY;INTERVAL=2;COUNT=10;BYDAY=1SU,-1SU", "19970907T090000", true,
            {"19970907", "19970928", "19971102", "19971130", "19980104", "19980125", "19980301",
                "19980329", "19980503", "19980531"}},
        {"FREQ=MONTHLY;COUNT=6;BYDAY=-2MO", "19970922T090000", true,
            {"19970922", "19971020", "19971117", "19971222", "19980119", "19980216"}},
        {"FREQ=MONTHLY;BYMONTHDAY=-3", "19970928T090000", false,
            {"19970928", "19971029", "19971128", "19971229", "19980129", "19980226"}},
        {"FREQ=MONTHLY;COUNT=10;BYMONTHDAY=2,15", "19970902T090000", true,
            {"19970902", "19970915", "19971002", "19971015", "19971102", "19971115", "19971202",
                "19971215", "19980102", "19980115"}},
        {"FREQ=MONTHLY;COUNT=10;BYMONTHDAY=1,-1", "19970930T090000", true,
            {"19970930", "19971001", "19971031", "19971101", "19971130", "19971201", "19971231",
                "19980101", "19980131", "19980201"}},
        {"FREQ=MONTHLY;INTERVAL=18;COUNT=10;BYMONTHDAY=10,11,12,13,14,15", "19970910T090000", true,
            {"19970910..19970915/1", "19990310..19990313/1"}},
        {"FREQ=MONTHLY;INTERVAL=2;BYDAY=TU", "19970902T090000", false,
            {"19970902..19970930/7", "19971104..19971125/7", "19980106..19980127/7",
                "19980303..19980331/7"}},
        {"FREQ=YEARLY;COUNT=10;BYMONTH=6,7", "19970610T090000", true,
            {"19970610", "19970710", "19980610", "19980710", "19990610", "19990710", "20000610",
                "20000710", "20010610", "20010710"}},
        {"FREQ=YEARLY;INTERVAL=2;COUNT=10;BYMONTH=1,2,3", "19970310T090000", true,
            {"19970310", "19990110", "19990210", "19990310", "20010110", "20010210", "20010310",
                "20030110", "20030210", "20030310"}},
        {"FREQ=YEARLY;INTERVAL=3;COUNT=10;BYYEARDAY=1,100,200", "19970101T090000", true,
            {"19970101", "19970410", "19970719", "20000101", "20000409", "20000718", "20030101",
                "20030410", "20030719", "20060101"}},
        {"FREQ=YEARLY;BYDAY=20MO", "19970519T090000", false, {"19970519", "19980518", "19990517"}},
        {"FREQ=YEARLY;BYWEEKNO=20;BYDAY=MO", "19970512T090000", false,
            {"19970512", "19980511", "19990517"}},
        {"FREQ=YEARLY;BYMONTH=3;BYDAY=TH", "19970313T090000", false,
            {"19970313..19970327/7", "19980305..19980326/7", "19990304..19990325/7"}},
        {"FREQ=YEARLY;BYDAY=TH;BYMONTH=6,7,8", "19970605T090000", false,
            {"19970605..19970828/7", "19980604..19980827/7", "19990603..19990826/7"}},
        {"FREQ=MONTHLY;BYDAY=SA;BYMONTHDAY=7,8,9,10,11,12,13", "19970913T090000", false,
            {"19970913", "19971011", "19971108", "19971213", "19980110", "19980207", "19980307",
                "19980411", "19980509", "19980613"}},
        {"FREQ=YEARLY;INTERVAL=4;BYMONTH=11;BYDAY=TU;BYMONTHDAY=2,3,4,5,6,7,8", "19961105T090000",
            false, {"19961105", "20001107", "20041102"}},
        {"FREQ=MONTHLY;COUNT=3;BYDAY=TU,WE,TH;BYSETPOS=3", "19970904T090000", true,
            {"19970904", "19971007", "19971106"}},
        {"FREQ=MONTHLY;BYDAY=MO,TU,WE,TH,FR;BYSETPOS=-2", "19970929T090000", false,
            {"19970929", "19971030", "19971127", "19971230", "19980129", "19980226", "19980330"}},
        {"FREQ=MINUTELY;INTERVAL=15;COUNT=6", "19970902T090000", true,
            {"19970902T0900", "19970902T0915", "19970902T0930", "19970902T0945", "19970902T1000",
                "19970902T1015"}},
        {"FREQ=MINUTELY;INTERVAL=90;COUNT=4", "19970902T090000", true,
            {"19970902T0900", "19970902T1030", "19970902T1200", "19970902T1330"}},
        {"FREQ=WEEKLY;INTERVAL=2;COUNT=4;BYDAY=TU,SU;WKST=MO", "19970805T090000", true,
            {"19970805", "19970810", "19970819", "19970824"}},
        {"FREQ=WEEKLY;INTERVAL=2;COUNT=4;BYDAY=TU,SU;WKST=SU", "19970805T090000", true,
            {"19970805", "19970817", "19970819", "19970831"}},
        {"FREQ=MONTHLY;BYMONTHDAY=15,30;COUNT=5", "20070115T090000", true,
            {"20070115", "20070130", "20070215", "20070315", "20070330"}},
    };
    // Once on the local machine's clock, once in the New York zone of the
    // zone tables.
    const boost::shared_ptr<KTimeZone> newYork(
        new KTimeZone(KTimeZone::fromTZID("America/New_York")));
    ASSERT_TRUE(newYork->isValid());
    for (const Example& ex : examples) {
        for (const auto& zone : {boost::shared_ptr<KTimeZone>(), newYork}) {
            RRule rule;
            rule.setRRule(ex.rule);
            ASSERT_TRUE(rule.valid) << ex.rule;
            const KDateTime start = KDateTime::fromIsoString(ex.start, zone);
            ASSERT_EQ(start.getKind(), zone ? KDateTime::KindZone : KDateTime::KindLocal);
            const std::vector<std::string> expected = expand(ex.expected);
            const size_t limit = ex.bounded ? 10000 : expected.size();
            // Every start here is an occurrence of its rule, so including it or
            // not makes no difference.
            for (bool includeStart : {true, false}) {
                EXPECT_EQ(occurrences(rule, start, includeStart, limit), expected)
                    << ex.rule << " includeStart " << includeStart << " zone " << bool(zone);
            }
        }
    }
}

TEST_F(RfcExamples, EveryTwentyMinutesOfTheDay)
{
    std::vector<std::string> day;
    for (int hour = 9; hour <= 16; ++hour) {
        for (int minute : {0, 20, 40}) {
            char buf[32];
            std::snprintf(buf, sizeof buf, "T%02d%02d00", hour, minute);
            day.push_back(buf);
        }
    }
    std::vector<std::string> expected;
    for (const char* date : {"19970902", "19970903", "19970904"})
        for (const std::string& t : day)
            expected.push_back(date + t);
    const KDateTime start = KDateTime::fromIsoString("19970902T090000", {});
    for (const char* text : {"FREQ=DAILY;BYHOUR=9,10,11,12,13,14,15,16;BYMINUTE=0,20,40",
             "FREQ=MINUTELY;INTERVAL=20;BYHOUR=9,10,11,12,13,14,15,16"}) {
        RRule rule;
        rule.setRRule(text);
        EXPECT_EQ(occurrences(rule, start, true, expected.size()), expected) << text;
    }
}

TEST_F(RfcExamples, FridayThe13thWithoutTheStart)
{
    // The RFC excludes the start with EXDATE; here it is simply not included.
    RRule rule;
    rule.setRRule("FREQ=MONTHLY;BYDAY=FR;BYMONTHDAY=13");
    const KDateTime start = KDateTime::fromIsoString("19970902T090000", {});
    EXPECT_EQ(occurrences(rule, start, false, 5),
        expand({"19980213", "19980313", "19981113", "19990813", "20001013"}));
    EXPECT_EQ(occurrences(rule, start, true, 2), expand({"19970902", "19980213"}));
}

TEST_F(RfcExamples, DaylightSavingGapKeepsTheTimeOfDay)
{
    // 02:30 does not exist on 9 March 2025 in New York: that day's occurrence
    // is pushed forward to 03:30, and the series goes back to 02:30 after it.
    RRule rule;
    rule.setRRule("FREQ=DAILY;COUNT=4");
    const KDateTime start = KDateTime::fromIsoString("20250308T023000", {});
    EXPECT_EQ(occurrences(rule, start, true, 10),
        (std::vector<std::string>{
            "20250308T023000", "20250309T033000", "20250310T023000", "20250311T023000"}));
}

} // namespace
