// The zone database: the built-in tables as the keeper hands them out, and
// the generator that fills the Olson-name table from the zoneinfo files.
#include "timezone/TimeZoneKeeper.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "TzdataVersion.h"
#include "support/TestSupport.h"
#include "timezone/KTimeZone.h"
#include "timezone/RRule.h"

using tavir::timezone::TimeAbbr;
using tavir::timezone::TimeZone;
using tavir::timezone::TimeZoneKeeper;
using tavir::timezone::test::tzdataMismatch;

namespace {

// Text of the shape given: 'd' a decimal digit, 's' a sign, other
// characters stand for themselves.
bool shaped(const std::string& text, const std::string& shape)
{
    if (text.size() != shape.size())
        return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const char want = shape[i];
        if (want == 'd'       ? !std::isdigit(static_cast<unsigned char>(c))
                : want == 's' ? c != '+' && c != '-'
                              : c != want)
            return false;
    }
    return true;
}

std::string sourceRoot()
{
    return TAVIR_SOURCE_DIR;
}

const TimeZone* findFirst(const std::vector<TimeZone>& table, const std::string& name)
{
    for (const TimeZone& z : table)
        if (z.name == name)
            return &z;
    return nullptr;
}

} // namespace

TEST(TimeZoneRecord, KeepsFirstIdAlwaysAndOthersWhenSet)
{
    TimeZone a("n", "+0100", "", "", "", "", "", -1, -1, 5, -1);
    EXPECT_EQ(a.cdoIds, (std::vector<int>{-1, 5}));
    TimeZone b("n", "+0100", "", "", "", "", "", 7, -1, -1, -1);
    EXPECT_EQ(b.cdoIds, (std::vector<int>{7}));
    TimeZone c("n", "+0100", "", "", "", "", "", 1, 2, 3, 4);
    EXPECT_EQ(c.cdoIds, (std::vector<int>{1, 2, 3, 4}));
    TimeZone d(c);
    EXPECT_EQ(d.cdoIds, c.cdoIds);
    EXPECT_EQ(d.name, "n");
    d.clear();
    EXPECT_TRUE(d.name.empty() && d.stdOffset.empty() && d.cdoIds.empty());
    TimeAbbr t("CEST", "+PT02H00M", true);
    t.clear();
    EXPECT_TRUE(t.abbreviation.empty() && t.offset.empty() && !t.daylight);
}

TEST(TimeZoneKeeper, CdoIdsToOlsonNames)
{
    TimeZoneKeeper* k = TimeZoneKeeper::getInstance();
    ASSERT_EQ(k, TimeZoneKeeper::getInstance());
    const struct {
        int id;
        const char* name;
    } cases[] = {{0, "Etc/UTC"}, {2, "Europe/London"}, {77, "America/Chihuahua"},
        {27, "Asia/Jerusalem"}, {52, "Etc/GMT"}, {78, "Etc/GMT"}, {141, "Etc/GMT"}, {-1, "Etc/GMT"},
        {53, "Atlantic/Cape_Verde"}};
    for (const auto& c : cases)
        EXPECT_EQ(k->getUnixTzidFromCdoId(c.id), c.name) << c.id;
    EXPECT_EQ(k->getTzDefinitionVersion(), 2541);
}

TEST(TimeZoneKeeper, DefaultTableSizes)
{
    TimeZoneKeeper* k = TimeZoneKeeper::getInstance();
    size_t n = 0;
    EXPECT_NE(k->getDefaultTimeZones(&n), nullptr);
    EXPECT_EQ(n, 112u);
    k->getDefaultUnixZones(&n);
    EXPECT_EQ(n, 607u);
    const std::string* cdo = k->getDefaultCdoToUnix(&n);
    EXPECT_EQ(n, 78u);
    EXPECT_EQ(cdo[52], "");
    EXPECT_EQ(k->getTimeAbbrs().size(), 45u);
    EXPECT_EQ(k->getTimeZones().size(), 112u);
    EXPECT_EQ(k->getUnixZones().size(), 607u);
    EXPECT_EQ(k->getCdoToUnix().size(), 78u);
}

TEST(ZoneTables, AbbreviationsInByteOrder)
{
    const std::vector<TimeAbbr>& a = TimeZoneKeeper::getInstance()->getTimeAbbrs();
    ASSERT_EQ(a.size(), 45u);
    for (size_t i = 0; i < a.size(); ++i) {
        EXPECT_TRUE(shaped(a[i].offset, "sPTddHddM")) << a[i].abbreviation;
        EXPECT_FALSE(tavir::timezone::KTimeSpan::fromIsoString(a[i].offset).isNull())
            << a[i].abbreviation;
        if (i > 0) {
            EXPECT_LT(a[i - 1].abbreviation, a[i].abbreviation);
        }
    }
    EXPECT_EQ(a[13].abbreviation, "ChST");
    EXPECT_EQ(a[23].abbreviation, "IST");
    EXPECT_EQ(a[23].offset, "+PT02H00M");
    EXPECT_EQ(a[24].offset, "+PT08H30M");
    EXPECT_TRUE(a[0].daylight);
    EXPECT_FALSE(a[44].daylight);
}

TEST(ZoneTables, RowFormats)
{
    TimeZoneKeeper* k = TimeZoneKeeper::getInstance();
    std::set<std::string> abbrs;
    for (const TimeAbbr& a : k->getTimeAbbrs())
        abbrs.insert(a.abbreviation);
    auto check = [&](const std::vector<TimeZone>& table, bool olson, int maxId) {
        for (const TimeZone& z : table) {
            SCOPED_TRACE(z.name);
            EXPECT_FALSE(z.name.empty());
            for (const std::string* off : {&z.stdOffset, &z.dstOffset}) {
                if (off->empty())
                    continue;
                if (olson) {
                    EXPECT_TRUE(shaped(*off, "sdddd")) << *off;
                } else {
                    EXPECT_TRUE(shaped(*off, "sdddd") || abbrs.count(*off)) << *off;
                }
                EXPECT_FALSE(tavir::timezone::offsetFromString(*off).isNull()) << *off;
            }
            EXPECT_FALSE(z.stdOffset.empty());
            for (const std::string* o : {&z.stdOnset, &z.dstOnset})
                if (!o->empty()) {
                    EXPECT_TRUE(shaped(*o, "ddddddddTdddddd")) << *o;
                }
            for (const std::string* r : {&z.stdRRule, &z.dstRRule})
                if (!r->empty()) {
                    // every rule parses, is yearly with a month or days of
                    // the year, and writes back unchanged
                    tavir::timezone::RRule rule;
                    rule.setRRule(r->c_str());
                    EXPECT_TRUE(rule.valid) << *r;
                    EXPECT_EQ(rule.frequency, 0) << *r;
                    EXPECT_TRUE(!rule.byValues[1].empty() || !rule.byValues[3].empty()) << *r;
                    EXPECT_EQ(rule.getRRule(), *r);
                }
            // a daylight offset comes with its onset and rule
            EXPECT_EQ(z.dstOffset.empty(), z.dstOnset.empty());
            EXPECT_EQ(z.dstOnset.empty(), z.dstRRule.empty());
            ASSERT_FALSE(z.cdoIds.empty());
            EXPECT_NE(z.cdoIds[0], -1);
            for (int id : z.cdoIds) {
                EXPECT_GE(id, 1);
                EXPECT_LE(id, maxId);
            }
        }
    };
    check(k->getTimeZones(), false, 137);
    check(k->getUnixZones(), true, 141);
}

TEST(ZoneTables, DisplayNameRows)
{
    const std::vector<TimeZone>& t = TimeZoneKeeper::getInstance()->getTimeZones();
    EXPECT_EQ(t.front().name, "Montevideo");
    EXPECT_EQ(t.back().name, "Indiana (East)");
    EXPECT_EQ(t.back().cdoIds, (std::vector<int>{10, 11}));
    auto firstWithId = [&](int id) -> std::string {
        for (const TimeZone& z : t)
            if (std::find(z.cdoIds.begin(), z.cdoIds.end(), id) != z.cdoIds.end())
                return z.name;
        return "";
    };
    EXPECT_EQ(firstWithId(1), "Greenland (Danmarkshavn)");
    EXPECT_EQ(firstWithId(31), "Greenland (Danmarkshavn)");
    EXPECT_EQ(firstWithId(11), "Central Time (US & Canada)");
    EXPECT_EQ(firstWithId(0), "");
    const TimeZone* j = findFirst(t, "Jerusalem");
    ASSERT_TRUE(j);
    EXPECT_EQ(j->stdOffset, "IST");
    EXPECT_EQ(j->dstRRule, "FREQ=YEARLY;BYMONTH=3;BYMONTHDAY=23,24,25,26,27,28,29,30,31;BYDAY=FR");
    const TimeZone* n = findFirst(t, "Nuku'alofa");
    ASSERT_TRUE(n);
    EXPECT_EQ(n->stdRRule, "FREQ=YEARLY;BYMONTH=1;BYDAY=3SU");
    EXPECT_TRUE(n->dstOffset.empty() && n->dstRRule.empty());
    const TimeZone* m = findFirst(t, "Midway Island, Samoa");
    ASSERT_TRUE(m);
    EXPECT_EQ(m->stdOffset, "SST");
    EXPECT_EQ(m->cdoIds, (std::vector<int>{137, 16}));
    int maxId = 0;
    for (const TimeZone& z : t)
        for (int id : z.cdoIds)
            maxId = std::max(maxId, id);
    EXPECT_EQ(maxId, 137);
}

TEST(ZoneTables, OlsonKeysInOrder)
{
    const std::vector<TimeZone>& t = TimeZoneKeeper::getInstance()->getUnixZones();
    ASSERT_EQ(t.size(), 607u);
    // Compare with the list the generator reads.
    std::ifstream keys(sourceRoot() + "/tools/zonetables/olson_keys.txt");
    ASSERT_TRUE(keys.good());
    std::string line;
    size_t i = 0;
    while (std::getline(keys, line)) {
        if (line.empty())
            continue;
        ASSERT_LT(i, t.size());
        EXPECT_EQ(t[i].name, line) << i;
        ++i;
    }
    EXPECT_EQ(i, 607u);
    const struct {
        size_t index;
        const char* name;
    } marks[] = {{0, "Africa/Abidjan"}, {64, "America/El_Salvador"},
        {84, "America/Indiana/Indianapolis"}, {181, "Asia/Hebron"}, {253, "CET"}, {379, "WET"},
        {380, "Africa/Bamako"}, {447, "Asia/Calcutta"}, {525, "US/Eastern"}, {536, "GMT"},
        {560, "US/Pacific-New"}, {576, "America/Tortola"}, {577, "America/Bahia_Banderas"},
        {592, "Asia/Hebron"}, {606, "[Jerusalem]"}};
    for (const auto& m : marks)
        EXPECT_EQ(t[m.index].name, m.name) << m.index;
}

TEST(ZoneTables, RepeatedOlsonKeys)
{
    const std::vector<TimeZone>& t = TimeZoneKeeper::getInstance()->getUnixZones();
    std::map<std::string, std::vector<size_t>> where;
    for (size_t i = 0; i < t.size(); ++i)
        where[t[i].name].push_back(i);
    std::set<std::string> repeated;
    for (const auto& w : where) {
        if (w.second.size() > 1) {
            EXPECT_EQ(w.second.size(), 2u) << w.first;
            EXPECT_LT(w.second[0], 577u) << w.first;
            EXPECT_GE(w.second[1], 577u) << w.first;
            repeated.insert(w.first);
        }
    }
    const std::set<std::string> expected = {"America/Bahia_Banderas", "America/Creston",
        "America/Fort_Nelson", "America/Matamoros", "America/Metlakatla",
        "America/North_Dakota/Beulah", "America/Ojinaga", "America/Punta_Arenas", "America/Sitka",
        "Antarctica/Macquarie", "Asia/Atyrau", "Asia/Barnaul", "Asia/Chita", "Asia/Hebron",
        "Asia/Khandyga", "Asia/Tomsk", "Asia/Ust-Nera", "Asia/Yangon", "Europe/Astrakhan",
        "Europe/Saratov", "Europe/Ulyanovsk", "Pacific/Bougainville"};
    EXPECT_EQ(repeated, expected);
    // The first occurrence is the one a lookup by name finds.
    const TimeZone* hebron = findFirst(t, "Asia/Hebron");
    ASSERT_TRUE(hebron);
    EXPECT_EQ(hebron->stdOnset, "20161029T010000");
    EXPECT_EQ(hebron->dstOnset, "20160326T010000");
}

TEST(ZoneTables, TellingOlsonRows)
{
    const std::vector<TimeZone>& t = TimeZoneKeeper::getInstance()->getUnixZones();
    const TimeZone* apia = findFirst(t, "Pacific/Apia");
    ASSERT_TRUE(apia);
    EXPECT_EQ(apia->stdOffset, "+1400");
    EXPECT_EQ(apia->stdOnset, "20120930T030000");
    EXPECT_EQ(apia->stdRRule, "FREQ=YEARLY;BYMONTH=9;BYDAY=-1SU");
    EXPECT_TRUE(apia->dstOffset.empty() && apia->dstOnset.empty() && apia->dstRRule.empty());
    const TimeZone& jer = t.back();
    EXPECT_EQ(jer.stdOffset, "+0200");
    EXPECT_EQ(jer.dstOffset, "+0300");
    EXPECT_EQ(jer.dstRRule, "FREQ=YEARLY;BYMONTH=3;BYDAY=-1SU");
    EXPECT_EQ(jer.cdoIds, (std::vector<int>{27, 85}));
    const TimeZone* tehran = findFirst(t, "Asia/Tehran");
    ASSERT_TRUE(tehran);
    EXPECT_EQ(tehran->stdRRule, "FREQ=YEARLY;BYMONTH=9;BYMONTHDAY=22");
    EXPECT_EQ(tehran->dstOnset, "20200321T000000");
    const TimeZone* ceuta = findFirst(t, "Africa/Ceuta");
    ASSERT_TRUE(ceuta);
    EXPECT_EQ(ceuta->cdoIds, (std::vector<int>{3, 4, 6}));
    EXPECT_EQ(ceuta->dstOnset, "19810329T020000");
}

// The generator, run on this machine's zoneinfo files, must give the telling
// rows exactly; the rows whose data departs from the tz database on purpose
// (Tehran, Apia, Ceuta's onset, the bracketed Jerusalem) are left out.
TEST(ZoneTableGenerator, ReproducesTellingRows)
{
    if (!tavir::test::haveProgram("python3"))
        GTEST_SKIP() << "python3 missing";
    if (auto why = tzdataMismatch())
        GTEST_SKIP() << *why;
    const char* names[] = {"Europe/Paris", "America/New_York", "America/St_Johns",
        "Australia/Sydney", "Asia/Kolkata", "Etc/UTC"};
    std::string cmd = "python3 " + sourceRoot() + "/tools/zonetables/gen_zone_tables.py";
    for (const char* n : names)
        cmd += std::string(" --row ") + n;
    std::string out;
    ASSERT_EQ(tavir::test::runShell(cmd, &out), 0) << out;
    const std::vector<TimeZone>& t = TimeZoneKeeper::getInstance()->getUnixZones();
    std::istringstream lines(out);
    std::string line;
    size_t count = 0;
    while (std::getline(lines, line)) {
        std::vector<std::string> f;
        std::stringstream ss(line);
        std::string cell;
        while (std::getline(ss, cell, '\t'))
            f.push_back(cell);
        f.resize(8);
        const TimeZone* z = findFirst(t, f[0]);
        ASSERT_TRUE(z) << f[0];
        SCOPED_TRACE(f[0]);
        EXPECT_EQ(z->stdOffset, f[1]);
        EXPECT_EQ(z->dstOffset, f[2]);
        EXPECT_EQ(z->stdOnset, f[3]);
        EXPECT_EQ(z->dstOnset, f[4]);
        EXPECT_EQ(z->stdRRule, f[5]);
        EXPECT_EQ(z->dstRRule, f[6]);
        std::string ids;
        for (int id : z->cdoIds)
            ids += (ids.empty() ? "" : ",") + std::to_string(id);
        EXPECT_EQ(ids, f[7]);
        ++count;
    }
    EXPECT_EQ(count, 6u);
}

// The committed table is what the generator makes from this machine's data.
TEST(ZoneTableGenerator, CommittedTableIsCurrent)
{
    if (!tavir::test::haveProgram("python3"))
        GTEST_SKIP() << "python3 missing";
    if (auto why = tzdataMismatch())
        GTEST_SKIP() << *why;
    tavir::test::TempDir dir;
    std::string root = sourceRoot();
    std::string out;
    ASSERT_EQ(
        tavir::test::runShell("python3 " + root + "/tools/zonetables/gen_zone_tables.py --output "
                + dir.file("t.cpp") + " 2>&1",
            &out),
        0)
        << out;
    std::string fresh = tavir::test::readFile(dir.file("t.cpp"));
    std::string committed = tavir::test::readFile(root + "/src/timezone/TimeZoneTables.cpp");
    EXPECT_TRUE(fresh == committed);
}
