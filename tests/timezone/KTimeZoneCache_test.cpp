// The zone offset cache: its rows and keys, and its answers against the long
// computation for every two-observance zone of the tables.
#include "timezone/KTimeZoneCache.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <set>
#include <thread>

#include "ZoneProps.h"
#include "ZoneReference.h"
#include "timezone/TimeZoneKeeper.h"

using namespace tavir::timezone;
using tavir::timezone::test::prop;
using tavir::timezone::test::referenceCandidates;
using tavir::timezone::test::referenceChoice;
using tavir::timezone::test::utcYearOf;

namespace {

boost::shared_ptr<KTimeZone> twoProps(const TZProp& a, const TZProp& b)
{
    boost::shared_ptr<KTimeZone> z(new KTimeZone());
    z->setTZId("test");
    z->addTZProp(a);
    z->addTZProp(b);
    return z;
}

boost::shared_ptr<KTimeZone> paris()
{
    return twoProps(prop(1, "19961027T030000", 7200, 3600, "FREQ=YEARLY;BYMONTH=10;BYDAY=-1SU"),
        prop(2, "19810329T020000", 3600, 7200, "FREQ=YEARLY;BYMONTH=3;BYDAY=-1SU"));
}

int64_t utc(int y, int mo, int d, int h, int mi)
{
    return KDateTime(d, mo, y, h, mi, 0, KTimeSpan::fromSecondCount(0)).to64();
}

int secs(const KTimeSpan& s)
{
    return s.isNull() ? -999999 : s.toSecondCount();
}

} // namespace

TEST(ZoneCache, Keys)
{
    EXPECT_EQ(KTimeZoneCache::getCacheKey(2024, "h"), "2024h");
    EXPECT_EQ(KTimeZoneCache::getCacheKey(999, "abc"), "0999abc");
    EXPECT_EQ(KTimeZoneCache::getCacheKey(10000, ""), "10000");
}

TEST(ZoneCache, SpanEdgesAndHemispheres)
{
    KTimeZoneCache cache(16);
    auto z = paris();
    // 2024: daylight from 31 March 01:00 UTC to 27 October 01:00 UTC
    const int64_t start = utc(2024, 3, 31, 1, 0);
    const int64_t end = utc(2024, 10, 27, 1, 0);
    EXPECT_EQ(secs(cache.getOffset(start - 1, z)), 3600);
    EXPECT_EQ(secs(cache.getOffset(start, z)), 7200);
    EXPECT_EQ(secs(cache.getOffset(end - 1, z)), 7200);
    EXPECT_EQ(secs(cache.getOffset(end, z)), 3600);
    EXPECT_EQ(cache.size(), 1u);
    EXPECT_FALSE(z->getMD5Hash().empty()); // computed on the way

    // Southern hemisphere: daylight from the first Sunday of October to the
    // first Sunday of April.
    auto sydney
        = twoProps(prop(1, "20080406T030000", 39600, 36000, "FREQ=YEARLY;BYMONTH=4;BYDAY=1SU"),
            prop(2, "20081005T020000", 36000, 39600, "FREQ=YEARLY;BYMONTH=10;BYDAY=1SU"));
    EXPECT_EQ(secs(cache.getOffset(utc(2024, 1, 15, 0, 0), sydney)), 39600);
    EXPECT_EQ(secs(cache.getOffset(utc(2024, 7, 1, 0, 0), sydney)), 36000);
    EXPECT_EQ(secs(cache.getOffset(utc(2024, 12, 31, 0, 0), sydney)), 39600);
    // 2024-04-07 03:00 at +11 is 16:00 UTC on the 6th
    EXPECT_EQ(secs(cache.getOffset(utc(2024, 4, 6, 15, 59), sydney)), 39600);
    EXPECT_EQ(secs(cache.getOffset(utc(2024, 4, 6, 16, 0), sydney)), 36000);

    // Second Sunday of March at 02:00 -05:00
    auto ny
        = twoProps(prop(1, "20071104T020000", -14400, -18000, "FREQ=YEARLY;BYMONTH=11;BYDAY=1SU"),
            prop(2, "20070311T020000", -18000, -14400, "FREQ=YEARLY;BYMONTH=3;BYDAY=2SU"));
    EXPECT_EQ(secs(cache.getOffset(utc(2024, 3, 10, 6, 59), ny)), -18000);
    EXPECT_EQ(secs(cache.getOffset(utc(2024, 3, 10, 7, 0), ny)), -14400);
    EXPECT_EQ(secs(cache.getOffset(utc(2024, 11, 3, 5, 59), ny)), -14400);
    EXPECT_EQ(secs(cache.getOffset(utc(2024, 11, 3, 6, 0), ny)), -18000);

    // An onset at 00:30 local with one hour before it lies at 23:30 UTC on
    // the day before.
    auto early
        = twoProps(prop(1, "20001029T003000", 7200, 3600, "FREQ=YEARLY;BYMONTH=10;BYDAY=-1SU"),
            prop(2, "20000326T003000", 3600, 7200, "FREQ=YEARLY;BYMONTH=3;BYDAY=-1SU"));
    EXPECT_EQ(secs(cache.getOffset(utc(2024, 3, 30, 23, 29), early)), 3600);
    EXPECT_EQ(secs(cache.getOffset(utc(2024, 3, 30, 23, 30), early)), 7200);
}

TEST(ZoneCache, EmptySpan)
{
    KTimeZoneCache cache(4);
    auto same = twoProps(prop(1, "20000326T020000", 3600, 3600, "FREQ=YEARLY;BYMONTH=3;BYDAY=-1SU"),
        prop(2, "20000326T020000", 3600, 7200, "FREQ=YEARLY;BYMONTH=3;BYDAY=-1SU"));
    for (int m = 1; m <= 12; ++m)
        EXPECT_EQ(secs(cache.getOffset(utc(2024, m, 15, 12, 0), same)), 3600) << m;
}

TEST(ZoneCache, Refusals)
{
    KTimeZoneCache cache(4);
    EXPECT_TRUE(cache.getOffset(0, boost::shared_ptr<KTimeZone>()).isNull());
    boost::shared_ptr<KTimeZone> one(new KTimeZone());
    one->setTZId("one");
    one->addTZProp(prop(1, "19700101T000001", 3600, 3600, ""));
    EXPECT_TRUE(cache.getOffset(0, one).isNull());
    auto three = paris();
    three->addTZProp(prop(2, "19810329T020000", 3600, 7200, "FREQ=YEARLY;BYMONTH=3;BYDAY=-1SU"));
    EXPECT_TRUE(cache.getOffset(utc(2024, 5, 1, 0, 0), three).isNull());
    auto noRule = twoProps(prop(1, "19961027T030000", 7200, 3600, ""),
        prop(2, "19810329T020000", 3600, 7200, "FREQ=YEARLY;BYMONTH=3;BYDAY=-1SU"));
    EXPECT_TRUE(cache.getOffset(utc(2024, 5, 1, 0, 0), noRule).isNull());
    // general path (day-of-month rules): an onset after the instant's year
    auto later
        = twoProps(prop(1, "20170922T000000", 16200, 12600, "FREQ=YEARLY;BYMONTH=9;BYMONTHDAY=22"),
            prop(2, "20200321T000000", 12600, 16200, "FREQ=YEARLY;BYMONTH=3;BYMONTHDAY=21"));
    EXPECT_TRUE(cache.getOffset(utc(2019, 5, 1, 0, 0), later).isNull());
    EXPECT_EQ(cache.size(), 0u);
    EXPECT_FALSE(cache.getOffset(utc(2021, 5, 1, 0, 0), later).isNull());
    EXPECT_EQ(cache.size(), 1u);
}

TEST(ZoneCache, FirstInFirstOut)
{
    KTimeZoneCache cache(2);
    auto z = paris();
    cache.getOffset(utc(2020, 6, 1, 0, 0), z);
    cache.getOffset(utc(2021, 6, 1, 0, 0), z);
    cache.getOffset(utc(2020, 7, 1, 0, 0), z); // a hit does not refresh the row
    EXPECT_EQ(cache.size(), 2u);
    cache.getOffset(utc(2022, 6, 1, 0, 0), z); // drops 2020
    EXPECT_EQ(cache.size(), 2u);
    cache.getOffset(utc(2021, 1, 1, 0, 0), z); // still held
    EXPECT_EQ(cache.size(), 2u);
    cache.getOffset(utc(2020, 1, 1, 0, 0), z); // computed again, drops 2021
    EXPECT_EQ(cache.size(), 2u);

    KTimeZoneCache tiny(0);
    tiny.getOffset(utc(2020, 6, 1, 0, 0), z);
    tiny.getOffset(utc(2021, 6, 1, 0, 0), z);
    tiny.getOffset(utc(2022, 6, 1, 0, 0), z);
    EXPECT_EQ(tiny.size(), 1u);
}

// Rules on local days: a cache that walked them on UTC days answered a wrong
// offset for a whole day each year in these zones.
TEST(ZoneCache, LocalDayRules)
{
    KTimeZoneCache cache(64);
    boost::shared_ptr<KTimeZone> tehran(new KTimeZone(KTimeZone::fromTZID("Tehran")));
    ASSERT_EQ(tehran->getTZProps().size(), 2u);
    // 2024-03-21 00:00 at +03:30 is 20:30 UTC on the 20th; back on
    // 2024-09-22 00:00 at +04:30, 19:30 UTC on the 21st.
    EXPECT_EQ(secs(cache.getOffset(utc(2024, 3, 20, 20, 29), tehran)), 12600);
    EXPECT_EQ(secs(cache.getOffset(utc(2024, 3, 20, 20, 30), tehran)), 16200);
    EXPECT_EQ(secs(cache.getOffset(utc(2024, 3, 21, 12, 0), tehran)), 16200);
    EXPECT_EQ(secs(cache.getOffset(utc(2024, 9, 21, 19, 29), tehran)), 16200);
    EXPECT_EQ(secs(cache.getOffset(utc(2024, 9, 21, 19, 30), tehran)), 12600);
    EXPECT_EQ(secs(cache.getOffset(utc(2024, 9, 22, 12, 0), tehran)), 12600);

    boost::shared_ptr<KTimeZone> jerusalem(new KTimeZone(KTimeZone::fromTZID("Jerusalem")));
    ASSERT_EQ(jerusalem->getTZProps().size(), 2u);
    // 2024: daylight from Friday 29 March 02:00 +02:00 (00:00 UTC) to Sunday
    // 27 October 02:00 +03:00 (23:00 UTC on the 26th).
    EXPECT_EQ(secs(cache.getOffset(utc(2024, 3, 28, 23, 59), jerusalem)), 7200);
    EXPECT_EQ(secs(cache.getOffset(utc(2024, 3, 29, 0, 0), jerusalem)), 10800);
    EXPECT_EQ(secs(cache.getOffset(utc(2024, 10, 26, 22, 59), jerusalem)), 10800);
    EXPECT_EQ(secs(cache.getOffset(utc(2024, 10, 26, 23, 0), jerusalem)), 7200);
    EXPECT_EQ(secs(cache.getOffset(utc(2024, 10, 27, 12, 0), jerusalem)), 7200);
}

// Every zone of the tables with two observances, hour by hour around each
// onset from 2015 to 2030: the cache agrees with the long computation.
TEST(ZoneCache, AgreesWithFullComputation)
{
    TimeZoneKeeper* keeper = TimeZoneKeeper::getInstance();
    std::map<std::string, KTimeZone> zones; // one per rule set (hash)
    size_t twoObservanceRecords = 0;
    for (const auto* table : {&keeper->getTimeZones(), &keeper->getUnixZones()}) {
        for (const TimeZone& r : *table) {
            KTimeZone z = KTimeZone::fillTZ(r);
            if (z.getTZProps().size() != 2)
                continue;
            ++twoObservanceRecords;
            z.computeMD5Hash();
            zones.emplace(z.getMD5Hash(), z);
        }
    }
    EXPECT_GT(twoObservanceRecords, 150u);
    EXPECT_GT(zones.size(), 30u);

    KTimeZoneCache cache(512);
    size_t compared = 0;
    size_t comparedWithDateValue = 0;
    for (auto& entry : zones) {
        boost::shared_ptr<KTimeZone> zone(new KTimeZone(entry.second));
        const std::vector<TZProp>& props = zone->getTZProps();
        // The same zone with a third observance that never decides (an onset
        // long past, without rule): the date value then skips the cache and
        // computes the offset the long way.
        boost::shared_ptr<KTimeZone> uncached(new KTimeZone(entry.second));
        uncached->addTZProp(prop(1, "19000101T000000", 0, 0, ""));
        const int firstYear = std::max(
            props[0].dtStart.getYear(), props[1].dtStart.getYear()); // general path needs both
        for (int year = 2015; year <= 2030; ++year) {
            std::vector<tavir::timezone::test::Candidate> c = referenceCandidates(*zone, year);
            ASSERT_FALSE(c.empty()) << zone->getTZId();
            for (const auto& onset : c) {
                for (int h = -36; h <= 36; ++h) {
                    const int64_t t = onset.onset + h * 3600;
                    if (utcYearOf(t) != year)
                        continue;
                    KTimeSpan cached = cache.getOffset(t, zone);
                    if (cached.isNull()) {
                        // only a rule whose first onset lies after the year
                        EXPECT_GT(firstYear, year) << zone->getTZId() << " " << t;
                        continue;
                    }
                    ASSERT_EQ(secs(cached), secs(referenceChoice(c, t)))
                        << zone->getTZId() << " at " << KDateTime::from64(t).toIsoString(0);
                    // (the dummy would decide before the zone's first onsets)
                    if (h >= -3 && h <= 3 && year > firstYear) {
                        KDateTime value = KDateTime::from64(t);
                        value.overwriteTimeZone(uncached);
                        ASSERT_EQ(secs(cached), secs(value.gmtOffset()))
                            << zone->getTZId() << " at " << KDateTime::from64(t).toIsoString(0)
                            << " (date value)";
                        ++comparedWithDateValue;
                    }
                    ++compared;
                }
            }
        }
    }
    EXPECT_GT(compared, 50000u);
    EXPECT_GT(comparedWithDateValue, 5000u);
}

// Several threads share one cache (and the zone database behind the zones):
// each answer is the one a single caller gets.
TEST(ZoneCache, ConcurrentCallers)
{
    std::vector<boost::shared_ptr<KTimeZone>> zones;
    for (const char* id : {"Europe/Paris", "America/New_York", "Australia/Sydney", "Tehran",
             "Jerusalem", "America/Santiago", "Pacific/Chatham"})
        zones.emplace_back(new KTimeZone(KTimeZone::fromTZID(id)));
    std::vector<int64_t> instants;
    for (int i = 0; i < 400; ++i)
        instants.push_back(utc(2015 + i % 16, 1 + i % 12, 1 + i % 28, i % 24, 0));
    std::vector<int> expected;
    {
        KTimeZoneCache single(512);
        for (const auto& z : zones)
            for (int64_t t : instants)
                expected.push_back(secs(single.getOffset(t, z)));
    }
    // fresh zones, so that the threads also race to compute their hashes
    std::vector<boost::shared_ptr<KTimeZone>> shared;
    for (const auto& z : zones) {
        shared.emplace_back(new KTimeZone(*z));
        shared.back()->clearMD5Hash();
    }
    KTimeZoneCache cache(8); // small: rows are dropped while others read
    std::vector<std::thread> threads;
    std::atomic<int> mismatches{0};
    for (int n = 0; n < 6; ++n) {
        threads.emplace_back([&, n] {
            for (size_t k = 0; k < shared.size() * instants.size(); ++k) {
                const size_t i = (k * 7 + n * 13) % (shared.size() * instants.size());
                if (secs(
                        cache.getOffset(instants[i % instants.size()], shared[i / instants.size()]))
                    != expected[i])
                    ++mismatches;
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_LE(cache.size(), 8u);
}
