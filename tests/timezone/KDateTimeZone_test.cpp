// Date values bound to table zones, against the C library's reading of the
// zones' rules.
#include "timezone/KDateTime.h"
#include "timezone/KTimeZone.h"

#include "support/ScopedTz.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

using namespace tavir::timezone;
using tavir::test::ScopedTz;

namespace {

using ZonePtr = boost::shared_ptr<KTimeZone>;

ZonePtr zoneOf(const char* tzid)
{
    return ZonePtr(new KTimeZone(KTimeZone::fromTZID(tzid)));
}

long glibcOffset(int64_t s)
{
    const time_t t = time_t(s);
    tm l{};
    ::localtime_r(&t, &l);
    return l.tm_gmtoff;
}

// Instants every few hours through 2008-2035, and every 15 minutes where the
// offset changes.
template <typename F> void forInstants(F check)
{
    for (int64_t t = 1199145600; t < 2082758400; t += 4 * 3600) {
        const bool change = glibcOffset(t) != glibcOffset(t + 4 * 3600);
        for (int64_t s = t; s < t + (change ? 4 * 3600 : 1); s += 900)
            check(s, change);
    }
}

// Table zones and the C library's TZ rule for each: its own reading of the
// zone's present rules, the same in every tzdata release, so that a tzdata
// update can't make these tests fail (the tables against the zoneinfo files
// is the ZoneTablesGlibc test's job).
struct RuledZone {
    const char* name;
    const char* posixRule;
};
const RuledZone zones[] = {
    {"America/New_York", "EST5EDT,M3.2.0,M11.1.0"},
    {"Europe/Berlin", "CET-1CEST,M3.5.0,M10.5.0/3"},
    {"Australia/Sydney", "AEST-10AEDT,M10.1.0,M4.1.0/3"},
    {"Pacific/Chatham", "<+1245>-12:45<+1345>,M9.5.0/2:45,M4.1.0/3:45"},
};

TEST(KDateTimeZone, OffsetsMatchGlibc)
{
    for (const RuledZone& ruled : zones) {
        // A plain variable: the lambda below may not capture a structured binding.
        const char* name = ruled.name;
        ScopedTz tz(ruled.posixRule);
        const ZonePtr zone = zoneOf(name);
        ASSERT_TRUE(zone->isValid()) << name;
        ASSERT_EQ(zone->getTZProps().size(), 2u);
        // The same zone with a third observance, an old one without a rule,
        // which takes the offset computation off the cache's road.
        ZonePtr longRoad(new KTimeZone(*zone));
        TZProp old = zone->getTZProps().front();
        old.rrule.clear();
        old.dtStart = KDateTime(1, 1, 1900, 0, 0, 0);
        longRoad->addTZProp(old);
        ASSERT_EQ(longRoad->getTZProps().size(), 3u);
        int checked = 0;
        forInstants([&](int64_t s, bool nearChange) {
            KDateTime v = KDateTime::from64(s);
            v.overwriteTimeZone(zone);
            ASSERT_EQ(v.getKind(), KDateTime::KindZone);
            ASSERT_EQ(v.to64(), s);
            ASSERT_EQ(v.gmtOffset().toSecondCount(), glibcOffset(s)) << name << " " << s;
            // Read twice: the second answer comes from the value's own cache.
            ASSERT_EQ(v.gmtOffset().toSecondCount(), glibcOffset(s));
            // From 2009, when the rules of every zone here have begun.
            if (s >= 1230768000 && (nearChange || checked % 29 == 0)) {
                KDateTime w = KDateTime::from64(s);
                w.overwriteTimeZone(longRoad);
                ASSERT_EQ(w.gmtOffset().toSecondCount(), glibcOffset(s)) << name << " " << s;
            }
            ++checked;
        });
        EXPECT_GT(checked, 50000);
    }
}

TEST(KDateTimeZone, WallTimesInZones)
{
    for (const auto& [name, posixRule] : zones) {
        ScopedTz tz(posixRule);
        const ZonePtr zone = zoneOf(name);
        // 10:30 and 02:30 every day through two years: the wall time asked
        // for, or inside a gap the time pushed forward by it.
        KDateTime day = KDateTime::fromIsoString("20240101T103000", zone);
        KDateTime night = KDateTime::fromIsoString("20240101T023000", zone);
        ASSERT_EQ(day.getKind(), KDateTime::KindZone);
        for (int i = 0; i < 730; ++i) {
            day.setItem(CT_DAY_OF_MONTH, day.getDay() + 1, KDateTime::Monday);
            ASSERT_EQ(day.getHour(), 10) << name << " " << day.to64();
            ASSERT_EQ(day.getMinute(), 30);
            ASSERT_EQ(day.gmtOffset().toSecondCount(), glibcOffset(day.to64()));
            const time_t t = time_t(day.to64());
            tm l{};
            ::localtime_r(&t, &l);
            ASSERT_EQ(l.tm_hour, 10) << name << " " << day.to64();

            night.setItem(CT_DAY_OF_MONTH, night.getDay() + 1, KDateTime::Monday);
            night.setItem(CT_HOUR, 2, KDateTime::Monday);
            const time_t n = time_t(night.to64());
            ::localtime_r(&n, &l);
            ASSERT_EQ(night.getHour(), l.tm_hour) << name << " " << night.to64();
            if (l.tm_hour != 2) {
                ASSERT_LT(glibcOffset(night.to64() - 3600), l.tm_gmtoff) << name;
            }
        }
    }
}

TEST(KDateTimeZone, TextsAndZones)
{
    const ZonePtr ny = zoneOf("America/New_York");
    const ZonePtr berlin = zoneOf("Europe/Berlin");

    const KDateTime a = KDateTime::fromIsoString("20240310T103000", ny);
    EXPECT_EQ(a.to64(), KDateTime(10, 3, 2024, 14, 30, 0).to64());
    EXPECT_EQ(a.toIsoString(0), "20240310T103000-0400");
    const KDateTime gap = KDateTime::fromIsoString("20240310T023000", ny);
    EXPECT_EQ(gap.toIsoString(0), "20240310T033000-0400");

    // A text that names its instant keeps it; the zone only changes how it reads.
    const KDateTime z = KDateTime::fromIsoString("20240705T120000Z", berlin);
    EXPECT_EQ(z.to64(), KDateTime(5, 7, 2024, 12, 0, 0).to64());
    EXPECT_EQ(z.getKind(), KDateTime::KindZone);
    EXPECT_EQ(z.getHour(), 14);
    EXPECT_EQ(z.toIsoString(1), "2024-07-05T14:00:00+02:00");
    const KDateTime o = KDateTime::fromIsoString("20240705T120000-0400", berlin);
    EXPECT_EQ(o.to64(), KDateTime(5, 7, 2024, 16, 0, 0).to64());
    EXPECT_EQ(o.getHour(), 18);

    // All-day values keep their mark through a zone.
    const KDateTime day = KDateTime::fromIsoString("20240705", berlin);
    EXPECT_TRUE(day.isDateOnly());
    EXPECT_EQ(day.toIsoString(0), "20240705");
    EXPECT_EQ(day.to64(), KDateTime(4, 7, 2024, 22, 0, 0).to64());
    const KDateTime date = z.toDate(true);
    EXPECT_TRUE(date.isDateOnly());
    EXPECT_EQ(date.getKind(), KDateTime::KindZone);
    EXPECT_EQ(date.to64(), day.to64());

    // setTimeZone keeps the wall time, overwriteTimeZone the instant.
    KDateTime wall(5, 7, 2024, 12, 0, 0);
    wall.setTimeZone(berlin);
    EXPECT_EQ(wall.getHour(), 12);
    EXPECT_EQ(wall.to64(), KDateTime(5, 7, 2024, 10, 0, 0).to64());
    wall.setTimeZone(ny);
    EXPECT_EQ(wall.getHour(), 12);
    EXPECT_EQ(wall.to64(), KDateTime(5, 7, 2024, 16, 0, 0).to64());
    KDateTime instant(5, 7, 2024, 12, 0, 0);
    instant.overwriteTimeZone(ny);
    EXPECT_EQ(instant.getHour(), 8);
    instant.clearTimeZone();
    EXPECT_EQ(instant.getKind(), KDateTime::KindOffset);
    EXPECT_EQ(instant.gmtOffset().toSecondCount(), -14400);
    EXPECT_EQ(instant.getHour(), 8);
    EXPECT_EQ(instant.getCdoTimeZoneId(), -1);

    // Null and invalid zones change nothing.
    KDateTime plain(5, 7, 2024, 12, 0, 0);
    plain.setTimeZone(ZonePtr());
    plain.overwriteTimeZone(ZonePtr(new KTimeZone()));
    EXPECT_EQ(plain.getKind(), KDateTime::KindOffset);
    EXPECT_EQ(plain.to64(), KDateTime(5, 7, 2024, 12, 0, 0).to64());

    // Day boundaries on the day the clocks go forward.
    const KDateTime noon = KDateTime::fromIsoString("20240310T120000", ny);
    EXPECT_EQ(noon.dayBegin().toIsoString(0), "20240310T000000-0500");
    EXPECT_EQ(noon.dayEnd().toIsoString(0), "20240310T235959-0400");
    EXPECT_EQ(noon.dayEnd().to64() - noon.dayBegin().to64(), 23 * 3600 - 1);

    // A zone whose offset has seconds reads the same every time.
    ZonePtr lmt(new KTimeZone());
    lmt->setTZId("Local mean time");
    TZProp only;
    only.valid = true;
    only.dtStart = KDateTime(1, 1, 1800, 0, 0, 0);
    only.offsetFrom = KTimeSpan::fromSecondCount(3208);
    only.offsetTo = KTimeSpan::fromSecondCount(3208);
    lmt->addTZProp(only);
    KDateTime mean = KDateTime::from64(0);
    mean.overwriteTimeZone(lmt);
    EXPECT_EQ(mean.gmtOffset().toSecondCount(), 3208);
    EXPECT_EQ(mean.gmtOffset().toSecondCount(), 3208);
    EXPECT_EQ(mean.getMinute(), 53);
    EXPECT_EQ(mean.getSecond(), 28);

    // Moving the instant drops the value's cached offset.
    KDateTime moving = KDateTime::fromIsoString("20241103T000000", ny);
    EXPECT_EQ(moving.gmtOffset().toSecondCount(), -14400);
    moving += KTimeSpan(1, 0, 0, 0, false);
    EXPECT_EQ(moving.gmtOffset().toSecondCount(), -18000);
    EXPECT_EQ(moving.getHour(), 23);
}

TEST(KDateTimeZone, CdoZoneIds)
{
    KDateTime v(5, 7, 2024, 12, 0, 0);
    EXPECT_FALSE(v.setCdoTimeZoneId(-5));
    ASSERT_TRUE(v.getTimeZone());
    EXPECT_EQ(v.getTimeZone()->getTZId(), "(UTC) Universal Coordinated Time");
    // The fallback's own id 0 is not in the zone's list, so reading settles
    // on the zone's first id.
    EXPECT_EQ(v.getCdoTimeZoneId(), v.getTimeZone()->getCdoTimeZoneIds().front());
    EXPECT_EQ(v.getHour(), 12);
    EXPECT_EQ(v.gmtOffset().toSecondCount(), 0);

    const ZonePtr ny = zoneOf("America/New_York");
    ASSERT_FALSE(ny->getCdoTimeZoneIds().empty());
    const int id = ny->getCdoTimeZoneIds().front();
    KDateTime w(5, 7, 2024, 12, 0, 0);
    EXPECT_TRUE(w.setCdoTimeZoneId(id));
    EXPECT_EQ(w.getCdoTimeZoneId(), id);
    EXPECT_EQ(w.getHour(), 12);
    EXPECT_EQ(w.gmtOffset().toSecondCount(), -14400);

    // A value bound to a zone without that id reads the zone's first id.
    KDateTime x = KDateTime::fromIsoString("20240705T120000", ny);
    EXPECT_EQ(x.getCdoTimeZoneId(), id);
    EXPECT_EQ(KDateTime(5, 7, 2024).getCdoTimeZoneId(), -1);
}

} // namespace
