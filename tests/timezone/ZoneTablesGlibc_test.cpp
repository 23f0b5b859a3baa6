// The zones of the Olson-name table against the C library's reading of the
// system's zoneinfo files (localtime_r with TZ set to the zone's name).
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <map>
#include <set>
#include <sys/stat.h>

#include "TzdataVersion.h"
#include "support/ScopedTz.h"
#include "timezone/KDateTime.h"
#include "timezone/KTimeZoneCache.h"
#include "timezone/TimeZoneKeeper.h"
#include "timezone/TimeZoneTables.h"

using namespace tavir::timezone;
using tavir::test::ScopedTz;
using tavir::timezone::test::tzdataMismatch;

namespace {

// Zones whose table data departs from tz, and why. A lasting difference is
// a decision about the table's data and must still show; the others come
// from dates that tz sets release by release (Ramadan, a one-off winter),
// which a row of yearly rules cannot follow, and may or may not show.
struct Difference {
    const char* why;
    bool lasting;
};
const std::map<std::string, Difference> knownDifferences = {
    {"Asia/Tehran",
        {"Iran dropped daylight saving time in 2022; the table keeps the older rules", true}},
    {"Pacific/Apia", {"Samoa dropped daylight saving time in 2021; the table keeps +14:00", true}},
    {"Asia/Hebron", {"the first row keeps the 2016 rules; Palestine's dates follow Ramadan", true}},
    {"Asia/Gaza",
        {"Palestine's transitions move with Ramadan, which no yearly rule can say", false}},
    {"Africa/Casablanca",
        {"Morocco's offset has moved with Ramadan; the table keeps one offset", false}},
    {"Africa/El_Aaiun",
        {"Morocco's offset has moved with Ramadan; the table keeps one offset", false}},
    {"America/Havana", {"Cuba keeps daylight time from March 2026 to November 2027", false}},
    {"Cuba", {"Cuba keeps daylight time from March 2026 to November 2027", false}},
};

int glibcOffset(time_t t)
{
    tm local{};
    localtime_r(&t, &local);
    return static_cast<int>(local.tm_gmtoff);
}

class ZoneOffsets {
public:
    explicit ZoneOffsets(const KTimeZone& z)
        : zone(new KTimeZone(z))
    {
    }

    // As a date value in the zone reads it, and as the cache alone does.
    int at(int64_t t)
    {
        KDateTime value = KDateTime::from64(t);
        value.overwriteTimeZone(zone);
        const int dated = value.gmtOffset().toSecondCount();
        if (zone->getTZProps().size() == 2) {
            KTimeSpan s = cache.getOffset(t, zone);
            if (!s.isNull() && s.toSecondCount() != dated)
                return 1000000 + s.toSecondCount(); // cache and date value disagree
        }
        return dated;
    }

private:
    boost::shared_ptr<KTimeZone> zone;
    KTimeZoneCache cache{64};
};

} // namespace

// The tables hold each zone's present rules only, so they are compared with
// tz over the six years that follow the year of their tzdata release: a
// change that release brought (America/Vancouver keeping -07:00 from
// November 2026) has then taken effect.
TEST(ZoneTablesGlibc, OlsonZonesAgreeInTheSixYearsAfterTheirRelease)
{
    if (auto why = tzdataMismatch())
        GTEST_SKIP() << *why;
    const std::string zoneinfo = "/usr/share/zoneinfo/";
    struct stat st;
    ScopedTz guard;
    const int year = std::stoi(std::string(tables::tzdataVersion, 4)) + 1;
    const int64_t from = KDateTime(1, 1, year, 0, 0, 0, KTimeSpan::fromSecondCount(0)).to64();
    const int64_t to = KDateTime(1, 1, year + 6, 0, 0, 0, KTimeSpan::fromSecondCount(0)).to64();
    const int64_t step = 12 * 3600;

    std::set<std::string> seen;
    std::set<std::string> differing;
    size_t zonesCompared = 0;
    for (const TimeZone& record : TimeZoneKeeper::getInstance()->getUnixZones()) {
        if (!seen.insert(record.name).second)
            continue; // a lookup finds the first row of a name
        if (stat((zoneinfo + record.name).c_str(), &st) != 0)
            continue; // "[Jerusalem]", names tzdata no longer ships
        setenv("TZ", (":" + record.name).c_str(), 1);
        tzset();
        ZoneOffsets ours(KTimeZone::fillTZ(record));
        std::string firstDifference;
        int previous = glibcOffset(static_cast<time_t>(from));
        for (int64_t t = from; t < to && firstDifference.empty(); t += step) {
            const int now = glibcOffset(static_cast<time_t>(t));
            // hour by hour where the offset changed in the last step
            const int64_t begin = now != previous ? t - step + 3600 : t;
            for (int64_t u = begin; u <= t; u += 3600) {
                const int expected = glibcOffset(static_cast<time_t>(u));
                const int got = ours.at(u);
                if (got != expected) {
                    firstDifference = KDateTime::from64(u).toIsoString(0) + ": table "
                        + std::to_string(got) + ", glibc " + std::to_string(expected);
                    break;
                }
            }
            previous = now;
        }
        ++zonesCompared;
        if (!firstDifference.empty()) {
            differing.insert(record.name);
            if (!knownDifferences.count(record.name))
                ADD_FAILURE() << record.name << " " << firstDifference;
        }
    }
    EXPECT_GT(zonesCompared, 550u);
    // The lasting differences are real: each of them still differs.
    for (const auto& d : knownDifferences) {
        if (d.second.lasting) {
            EXPECT_TRUE(differing.count(d.first))
                << d.first << " no longer differs: " << d.second.why;
        }
    }
}
