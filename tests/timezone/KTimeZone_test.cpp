// The time-zone model: offset texts, observance choice, hash and copying;
// zones built from the tables and found by name, CDO id and offset; zone
// matching of the zone database.
#include "timezone/KTimeZone.h"

#include <gtest/gtest.h>

#include <cstring>

#include "ZoneProps.h"
#include "timezone/TimeZoneKeeper.h"
#include "utils/Exception.h"

using namespace tavir::timezone;
using tavir::timezone::test::prop;

namespace {

KTimeZone paris()
{
    KTimeZone z;
    z.setTZId("Test/Paris");
    z.addTZProp(prop(1, "19961027T030000", 7200, 3600, "FREQ=YEARLY;BYMONTH=10;BYDAY=-1SU"));
    z.addTZProp(prop(2, "19810329T020000", 3600, 7200, "FREQ=YEARLY;BYMONTH=3;BYDAY=-1SU"));
    return z;
}

int secs(const KTimeSpan& s)
{
    return s.toSecondCount();
}

} // namespace

TEST(OffsetText, Print)
{
    const struct {
        long long seconds;
        const char* text;
    } cases[] = {{3600, "+0100"}, {-19800, "-0530"}, {3661, "+010101"}, {0, "+0000"},
        {45900, "+1245"}, {-37800, "-1030"}, {90000, "+0100"}};
    for (const auto& c : cases)
        EXPECT_EQ(offset2String(KTimeSpan::fromSecondCount(c.seconds)), c.text) << c.seconds;
    EXPECT_EQ(offset2String(KTimeSpan::null), "+0000");
    EXPECT_EQ(KTimeZone::offset2String(KTimeSpan::fromSecondCount(-3600)), "-0100");
}

TEST(OffsetText, String2Offset)
{
    const struct {
        const char* text;
        long long seconds;
    } cases[] = {{"+0100", 3600}, {"0100", 3600}, {"-0130", -5400}, {"+013015", 5415},
        {"-013000", -5400}, {"100", 0}, {"+01:00", 1}, {"", 0}};
    for (const auto& c : cases) {
        KTimeSpan s = KTimeZone::string2Offset(c.text);
        EXPECT_FALSE(s.isNull()) << c.text;
        EXPECT_EQ(s.toSecondCount(), c.seconds) << c.text;
    }
}

TEST(OffsetText, FromString)
{
    const struct {
        const char* text;
        long long seconds;
    } cases[] = {{"+5", 18000}, {"+05", 18000}, {"+0500", 18000}, {"+05:00", 18000},
        {"-3:30", -12600}, {"-0300", -10800}, {"-03:00", -10800}, {"-3", -10800}, {"+0530", 19800},
        {"SST", -39600}, {"est", -18000}, {"EST5EDT", -18000}, {"UTC", 0}, {"KST", 30600},
        {"+1245", 45900}, {"0100", 3600}, {"+013015", 5415}};
    for (const auto& c : cases) {
        KTimeSpan s = offsetFromString(c.text);
        ASSERT_FALSE(s.isNull()) << c.text;
        EXPECT_EQ(s.toSecondCount(), c.seconds) << c.text;
    }
    for (const char* bad : {"", "+A", "-x100", "XYZ", "ESTX", "+"})
        EXPECT_TRUE(offsetFromString(bad).isNull()) << bad;
}

TEST(KTimeZoneModel, ValidityAndObservanceChoice)
{
    KTimeZone z;
    EXPECT_FALSE(z.isValid());
    TZProp std = prop(1, "19700101T000001", -36000, -36000, "");
    z.addTZProp(std);
    EXPECT_FALSE(z.isValid()); // no TZID
    z.setTZId("x");
    EXPECT_TRUE(z.isValid());
    TZProp dst = z.getDstProp();
    EXPECT_FALSE(dst.valid);
    EXPECT_EQ(dst.type, 1); // the last observance, marked not found
    EXPECT_EQ(z.getStdOffsetString(), "-1000");

    KTimeZone d;
    d.setTZId("y");
    d.addTZProp(prop(2, "19810329T020000", 3600, 7200, "FREQ=YEARLY;BYMONTH=3;BYDAY=-1SU"));
    EXPECT_FALSE(d.getStdProp().valid);
    EXPECT_EQ(d.getStdOffsetString(), "+0100");
    EXPECT_FALSE(KTimeZone().getStdProp().valid);

    KTimeZone p = paris();
    EXPECT_EQ(p.getStdProp().type, 1);
    EXPECT_EQ(secs(p.getStdProp().offsetTo), 3600);
    EXPECT_EQ(secs(p.getDstProp().offsetTo), 7200);
    EXPECT_EQ(p.getStdOffsetString(), "+0100");
}

TEST(KTimeZoneModel, Hash)
{
    KTimeZone a = paris();
    EXPECT_TRUE(a.getMD5Hash().empty());
    a.computeMD5Hash();
    ASSERT_EQ(a.getMD5Hash().size(), 32u);
    for (char c : a.getMD5Hash())
        EXPECT_TRUE(std::strchr("0123456789abcdef", c));

    KTimeZone b; // same observances in the other order, other name
    b.setTZId("Other");
    b.addTZProp(a.getTZProps()[1]);
    b.addTZProp(a.getTZProps()[0]);
    b.computeMD5Hash();
    EXPECT_EQ(a.getMD5Hash(), b.getMD5Hash());

    // offsetFrom is not part of the hash
    KTimeZone c = paris();
    c.getTZProps()[0].offsetFrom = KTimeSpan::fromSecondCount(0);
    c.computeMD5Hash();
    EXPECT_EQ(c.getMD5Hash(), a.getMD5Hash());

    KTimeZone onset = paris();
    onset.getTZProps()[0]
        = prop(1, "19961027T020000", 7200, 3600, "FREQ=YEARLY;BYMONTH=10;BYDAY=-1SU");
    KTimeZone offset = paris();
    offset.getTZProps()[0].offsetTo = KTimeSpan::fromSecondCount(0);
    KTimeZone rule = paris();
    rule.getTZProps()[1].rrule.setRRule("FREQ=YEARLY;BYMONTH=4;BYDAY=-1SU");
    for (KTimeZone* z : {&onset, &offset, &rule}) {
        z->computeMD5Hash();
        EXPECT_NE(z->getMD5Hash(), a.getMD5Hash());
    }

    // adding clears the stored hash; the two-argument form only when asked
    KTimeZone h = paris();
    h.computeMD5Hash();
    h.addTZProp(a.getTZProps()[0], false);
    EXPECT_FALSE(h.getMD5Hash().empty());
    h.addTZProp(a.getTZProps()[0], true);
    EXPECT_TRUE(h.getMD5Hash().empty());
    h.computeMD5Hash();
    h.addTZProps({});
    EXPECT_TRUE(h.getMD5Hash().empty());

    KTimeZone empty;
    empty.computeMD5Hash();
    EXPECT_EQ(empty.getMD5Hash(), "d41d8cd98f00b204e9800998ecf8427e");
}

TEST(KTimeZoneModel, ClearProps)
{
    KTimeZone z = paris();
    z.computeMD5Hash();
    z.clearTZProps(4);
    EXPECT_EQ(z.getTZProps().size(), 2u);
    EXPECT_TRUE(z.getMD5Hash().empty());
    z.clearTZProps(1);
    ASSERT_EQ(z.getTZProps().size(), 1u);
    EXPECT_EQ(z.getTZProps()[0].type, 2);
    z = paris();
    z.clearTZProps(2);
    ASSERT_EQ(z.getTZProps().size(), 1u);
    EXPECT_EQ(z.getTZProps()[0].type, 1);
    z = paris();
    z.clearTZProps(7);
    EXPECT_TRUE(z.getTZProps().empty());
}

namespace {
int liveCopies = 0;
void* copyInt(void* p)
{
    ++liveCopies;
    return new int(*static_cast<int*>(p));
}
void freeInt(void* p)
{
    --liveCopies;
    delete static_cast<int*>(p);
}
} // namespace

TEST(KTimeZoneModel, UserPointerOwnership)
{
    liveCopies = 0;
    {
        KTimeZone a;
        ++liveCopies;
        a.setOverlapped(new int(42));
        a.setOverlappedFunctions(freeInt, copyInt);
        {
            KTimeZone b(a);
            ASSERT_NE(b.getOverlapped(), nullptr);
            EXPECT_NE(b.getOverlapped(), a.getOverlapped());
            EXPECT_EQ(*static_cast<int*>(b.getOverlapped()), 42);
            EXPECT_EQ(liveCopies, 2);
        }
        EXPECT_EQ(liveCopies, 1);
        KTimeZone c;
        c.setOverlapped(new int(7));
        c.setOverlappedFunctions(freeInt, nullptr);
        ++liveCopies;
        KTimeZone d(c);
        EXPECT_EQ(d.getOverlapped(), nullptr); // no copy hook
        // observances follow the same rules
        TZProp p;
        p.overlapped = new int(3);
        ++liveCopies;
        p.freeOverlapped = freeInt;
        p.copyOverlapped = copyInt;
        TZProp q(p);
        EXPECT_NE(q.overlapped, p.overlapped);
        EXPECT_EQ(liveCopies, 4);
    }
    EXPECT_EQ(liveCopies, 0);
}

// ---- zones from the tables ----------------------------------------------------

TEST(ZoneFromRecord, Observances)
{
    KTimeZone fixed
        = KTimeZone::fillTZ(TimeZone("Hawaii", "-1000", "", "", "", "", "", 15, -1, -1, -1));
    ASSERT_EQ(fixed.getTZProps().size(), 1u);
    const TZProp& f = fixed.getTZProps()[0];
    EXPECT_TRUE(f.valid);
    EXPECT_EQ(f.type, 1);
    EXPECT_EQ(f.dtStart.to64(), 1); // 1970-01-01 00:00:01
    EXPECT_EQ(secs(f.offsetFrom), -36000);
    EXPECT_EQ(secs(f.offsetTo), -36000);
    EXPECT_FALSE(f.rrule.valid);
    EXPECT_EQ(fixed.getCdoTimeZoneIds(), (std::vector<int>{15}));
    EXPECT_TRUE(fixed.getMD5Hash().empty());

    KTimeZone two = KTimeZone::fillTZ(TimeZone("Europe/Paris", "+0100", "+0200", "19961027T030000",
        "19810329T020000", "FREQ=YEARLY;BYMONTH=10;BYDAY=-1SU", "FREQ=YEARLY;BYMONTH=3;BYDAY=-1SU",
        3, -1, -1, -1));
    ASSERT_EQ(two.getTZProps().size(), 2u);
    const TZProp& s = two.getTZProps()[0];
    const TZProp& d = two.getTZProps()[1];
    EXPECT_EQ(s.type, 1);
    EXPECT_EQ(d.type, 2);
    EXPECT_EQ(secs(s.offsetFrom), 7200);
    EXPECT_EQ(secs(s.offsetTo), 3600);
    EXPECT_EQ(secs(d.offsetFrom), 3600);
    EXPECT_EQ(secs(d.offsetTo), 7200);
    EXPECT_EQ(s.dtStart.toIsoString(12), "19961027T030000");
    EXPECT_EQ(d.rrule.getRRule(), "FREQ=YEARLY;BYMONTH=3;BYDAY=-1SU");

    KTimeZone onsetOnly = KTimeZone::fillTZ(TimeZone("Nuku'alofa", "+1300", "", "20170115T030000",
        "", "FREQ=YEARLY;BYMONTH=1;BYDAY=3SU", "", 67, -1, -1, -1));
    ASSERT_EQ(onsetOnly.getTZProps().size(), 1u);
    EXPECT_EQ(secs(onsetOnly.getTZProps()[0].offsetFrom), 46800);
    EXPECT_EQ(secs(onsetOnly.getTZProps()[0].offsetTo), 46800);

    KTimeZone abbr
        = KTimeZone::fillTZ(TimeZone("Samoa", "SST", "", "", "", "", "", 16, -1, -1, -1));
    EXPECT_EQ(secs(abbr.getTZProps()[0].offsetTo), -39600);
    KTimeZone unknown
        = KTimeZone::fillTZ(TimeZone("Nowhere", "QQQ", "", "", "", "", "", 16, -1, -1, -1));
    ASSERT_EQ(unknown.getTZProps().size(), 1u);
    EXPECT_TRUE(unknown.getTZProps()[0].offsetTo.isNull());

    const std::vector<TimeZone>& t = TimeZoneKeeper::getInstance()->getTimeZones();
    EXPECT_FALSE(KTimeZone::fillTZ(-1, t).isValid());
    EXPECT_FALSE(KTimeZone::fillTZ(static_cast<int>(t.size()), t).isValid());
    EXPECT_EQ(KTimeZone::fillTZ(0, t).getTZId(), "Montevideo");
}

TEST(ZoneLookup, IndexByTZID)
{
    std::vector<TimeZone> table = {
        TimeZone("Berlin", "+0100", "", "", "", "", "", 1, -1, -1, -1),
        TimeZone("Europe/Berlin", "+0100", "", "", "", "", "", 1, -1, -1, -1),
        TimeZone("Rome", "+0100", "", "", "", "", "", 1, -1, -1, -1),
        TimeZone("Oslo", "+0100", "", "", "", "", "", 1, -1, -1, -1),
        TimeZone("Area/Place", "+0100", "", "", "", "", "", 1, -1, -1, -1),
        TimeZone("Alpha, Beta, Gamma", "+0100", "", "", "", "", "", 1, -1, -1, -1),
    };
    EXPECT_EQ(KTimeZone::findTimeZoneIndexByTZID("Europe/Berlin", table), 1); // longest
    EXPECT_EQ(KTimeZone::findTimeZoneIndexByTZID("rome oslo", table), 2); // tie: earlier
    EXPECT_EQ(KTimeZone::findTimeZoneIndexByTZID("x/PLACE", table), 4); // part after '/'
    EXPECT_EQ(KTimeZone::findTimeZoneIndexByTZID("Alpha", table), 5); // first piece
    EXPECT_EQ(KTimeZone::findTimeZoneIndexByTZID("Beta", table), -1); // " Beta" keeps its blank
    EXPECT_EQ(KTimeZone::findTimeZoneIndexByTZID("x Beta", table), 5);
    EXPECT_EQ(KTimeZone::findTimeZoneIndexByTZID("", table), -1);
    EXPECT_EQ(KTimeZone::findTimeZoneIndexByTZID("Berlin", {}), -1);

    const std::vector<TimeZone>& display = TimeZoneKeeper::getInstance()->getTimeZones();
    int amsterdam = KTimeZone::findTimeZoneIndexByTZID("Europe/Amsterdam", display);
    ASSERT_GE(amsterdam, 0);
    EXPECT_EQ(display[amsterdam].name.substr(0, 10), "Amsterdam,");
    EXPECT_EQ(KTimeZone::findTimeZoneIndexByTZID("Europe/Prague", display), -1);
}

TEST(ZoneLookup, TextAfterSlash)
{
    EXPECT_EQ(KTimeZone::GetTimeZoneFromUTC("/"), "");
    EXPECT_EQ(KTimeZone::GetTimeZoneFromUTC("Europe/"), "");
    EXPECT_EQ(KTimeZone::GetTimeZoneFromUTC("Europe"), "");
    EXPECT_EQ(KTimeZone::GetTimeZoneFromUTC("Europe/Paris"), "Paris");
    EXPECT_EQ(KTimeZone::GetTimeZoneFromUTC("America/Indiana/Knox"), "Indiana/Knox");
}

TEST(ZoneLookup, FromTZID)
{
    const struct {
        const char* id;
        const char* zone;
        int stdSeconds;
    } cases[] = {
        {"Europe/Prague", "Europe/Prague", 3600}, // served from the Olson-name table
        {"Europe/Amsterdam", "Europe/Amsterdam", 3600}, // exact Olson name before the display piece
        // an exact Olson name wins over the display name "Salvador" found in it
        {"America/El_Salvador", "America/El_Salvador", -21600},
        {"america/el_salvador", "America/El_Salvador", -21600},
        {"Salvador", "Salvador", -10800},
        {"Asia/Tehran", "Asia/Tehran", 12600},
        {"Tehran", "Tehran", 12600},
        {"0", "(UTC) Universal Coordinated Time", 0},
        {"3600",
            "Amsterdam, Belgrade, Berlin, Brussels, Budapest, Madrid, Paris, Prague, Stockholm",
            3600},
        {"+19800", "Chennai, Kolkata, Mumbai, New Delhi", 19800},
        {"-18000", "Bogota, Lima, Quito, Navassa Is.", -18000},
        {"12345", "(UTC) Universal Coordinated Time", 0},
        {"No/Such_Zone", "(UTC) Universal Coordinated Time", 0},
        {"Etc/UTC", "Etc/UTC", 0},
    };
    for (const auto& c : cases) {
        KTimeZone z = KTimeZone::fromTZID(c.id);
        EXPECT_TRUE(z.isValid()) << c.id;
        EXPECT_EQ(z.getTZId(), c.zone) << c.id;
        EXPECT_EQ(secs(z.getStdProp().offsetTo), c.stdSeconds) << c.id;
    }
    EXPECT_EQ(KTimeZone::fromUnixTZID("Nowhere").getTZId(), "");
    EXPECT_FALSE(KTimeZone::fromTableTZID("No/Such_Zone").isValid());
    EXPECT_FALSE(KTimeZone::fromTableTZID("").isValid());
    EXPECT_FALSE(KTimeZone::fromTableTZID("server").isValid());
}

TEST(ZoneLookup, Hebron)
{
    KTimeZone z = KTimeZone::fromTZID("Asia/Hebron");
    ASSERT_EQ(z.getTZProps().size(), 2u);
    EXPECT_EQ(z.getStdProp().dtStart.toIsoString(12), "20161029T010000");
    EXPECT_EQ(z.getDstProp().dtStart.toIsoString(12), "20160326T010000");
}

TEST(ZoneLookup, FromCdoId)
{
    try {
        KTimeZone::fromCdoTimeZoneId(-1);
        ADD_FAILURE() << "no exception";
    } catch (const tavir::utils::Exception& e) {
        EXPECT_STREQ(e.what(), "Requested CDO time zone id cannot be negative number.");
    }
    for (int id : {0, 138, 1000}) {
        try {
            KTimeZone::fromCdoTimeZoneId(id);
            ADD_FAILURE() << "no exception for " << id;
        } catch (const tavir::utils::Exception& e) {
            EXPECT_STREQ(e.what(), "Requested CDO time zone id was not found.");
        }
    }
    const struct {
        int id;
        const char* zone;
    } cases[] = {{1, "Greenland (Danmarkshavn)"}, {31, "Greenland (Danmarkshavn)"},
        {11, "Central Time (US & Canada)"}, {16, "Midway Island, Samoa"},
        {137, "Midway Island, Samoa"}, {27, "Jerusalem"},
        {3, "Amsterdam, Belgrade, Berlin, Brussels, Budapest, Madrid, Paris, Prague, Stockholm"}};
    for (const auto& c : cases)
        EXPECT_EQ(KTimeZone::fromCdoTimeZoneId(c.id).getTZId(), c.zone) << c.id;
    EXPECT_EQ(KTimeZone::fromCdoIdUnixTimeZone(2).getTZId(), "Europe/London");
    EXPECT_EQ(KTimeZone::fromCdoIdUnixTimeZone(52).getTZId(), "Etc/GMT");
    EXPECT_EQ(KTimeZone::fromCdoIdUnixTimeZone(-5).getTZId(), "Etc/GMT");
}

TEST(ZoneLookup, UnixTZID)
{
    KTimeZone named = paris();
    named.setTZId("Europe/Vienna");
    named.getTZProps()[0].offsetTo = KTimeSpan::fromSecondCount(-3600);
    EXPECT_EQ(named.getUnixTZID(), "Europe/Vienna"); // its own table name, whatever its rules

    KTimeZone unnamed = paris();
    unnamed.setTZId("Somewhere near Madrid");
    EXPECT_EQ(unnamed.getUnixTZID(), "Europe/Madrid"); // offset, both rules and the place name

    KTimeZone rulesOnly = paris();
    rulesOnly.setTZId("Nowhere in particular");
    // the first +0100 record with both rules
    EXPECT_EQ(rulesOnly.getUnixTZID(), "Africa/Ceuta");

    KTimeZone odd;
    odd.setTZId("Odd");
    odd.addTZProp(prop(1, "19700101T000001", 4000, 4000, ""));
    EXPECT_EQ(odd.getUnixTZID(), "Etc/GMT");

    KTimeZone ny;
    ny.setTZId("New York office");
    ny.addTZProp(prop(1, "19700101T000001", -18000, -18000, ""));
    EXPECT_TRUE(ny.unixNameMatch(
        TimeZone("America/New_York", "-0500", "", "", "", "", "", 10, -1, -1, -1)));
    EXPECT_FALSE(
        ny.unixNameMatch(TimeZone("America/Chicago", "-0600", "", "", "", "", "", 11, -1, -1, -1)));
}

// ---- zone matching ----------------------------------------------------------------

TEST(ZoneMatching, CompareZones)
{
    KTimeZone a = paris();
    KTimeZone b = paris();
    b.setTZId("B");
    b.getTZProps()[0].dtStart = KDateTime::from64(0);
    b.getTZProps()[1].rrule.setRRule("FREQ=YEARLY;BYMONTH=3;BYDAY=-1SU;COUNT=5;BYSETPOS=1");
    EXPECT_TRUE(TimeZoneKeeper::compareZones(a, b));
    b.getTZProps()[1].rrule.setRRule("FREQ=YEARLY;BYMONTH=4;BYDAY=-1SU");
    EXPECT_FALSE(TimeZoneKeeper::compareZones(a, b));
    KTimeZone f1 = KTimeZone::fillTZ(TimeZone("F1", "+0300", "", "", "", "", "", 1, -1, -1, -1));
    KTimeZone f2 = KTimeZone::fillTZ(
        TimeZone("F2", "+0300", "", "20010101T000000", "", "", "", 1, -1, -1, -1));
    KTimeZone f3 = KTimeZone::fillTZ(TimeZone("F3", "+0400", "", "", "", "", "", 1, -1, -1, -1));
    EXPECT_TRUE(TimeZoneKeeper::compareZones(f1, f2));
    EXPECT_FALSE(TimeZoneKeeper::compareZones(f1, f3));
    EXPECT_FALSE(TimeZoneKeeper::compareZones(f1, a));
}

TEST(ZoneMatching, ReplaceTablesAndFind)
{
    TimeZoneKeeper keeper; // a keeper of its own, not the process one
    EXPECT_FALSE(keeper.findCorrectZone(paris()));
    std::vector<TimeZone> display = {
        TimeZone("Central", "+0100", "+0200", "19961027T030000", "19810329T020000",
            "FREQ=YEARLY;BYMONTH=10;BYDAY=-1SU", "FREQ=YEARLY;BYMONTH=3;BYDAY=-1SU", 3, -1, -1, -1),
        TimeZone("Fixed", "+0300", "", "", "", "", "", 7, -1, -1, -1),
    };
    std::vector<TimeZone> olson = {
        TimeZone("Europe/Test", "+0100", "+0200", "20001029T030000", "20000326T020000",
            "FREQ=YEARLY;BYMONTH=10;BYDAY=-1SU", "FREQ=YEARLY;BYMONTH=3;BYDAY=-1SU", 3, -1, -1, -1),
        TimeZone("Fixed", "+0500", "", "", "", "", "", 9, -1, -1, -1),
    };
    ASSERT_TRUE(
        keeper.setTimeArrays({TimeAbbr("UTC", "+PT00H00M", false)}, display, olson, {"Etc/UTC"}));
    EXPECT_EQ(keeper.getTimeZones().size(), 2u);
    EXPECT_EQ(keeper.getTimeAbbrs().size(), 1u);
    EXPECT_FALSE(keeper.setTimeArrays({}, {}, {}, {})); // a table was handed out
    EXPECT_EQ(keeper.getTimeZones().size(), 2u);

    // by name: the display-name table's zone wins over the Olson one
    boost::shared_ptr<KTimeZone> fixed = keeper.findCorrectZone(KTimeZone::fillTZ(olson[1]));
    ASSERT_TRUE(fixed);
    EXPECT_EQ(secs(fixed->getStdProp().offsetTo), 10800);
    // by rules: the first zone with them, whatever the name
    KTimeZone other = paris();
    other.setTZId("Somewhere");
    boost::shared_ptr<KTimeZone> central = keeper.findCorrectZone(other);
    ASSERT_TRUE(central);
    EXPECT_EQ(central->getTZId(), "Central");
    // names compare with case
    KTimeZone lower
        = KTimeZone::fillTZ(TimeZone("fixed", "+0400", "", "", "", "", "", 1, -1, -1, -1));
    EXPECT_FALSE(keeper.findCorrectZone(lower));
}
