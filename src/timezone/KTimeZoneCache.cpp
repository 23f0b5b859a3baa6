#include "timezone/KTimeZoneCache.h"

#include <cstdio>

#include "timezone/KTimeZone.h"

namespace tavir::timezone {

namespace {

constexpr int64_t secondsPerDay = 86400;

int64_t floorDiv(int64_t a, int64_t b)
{
    int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t daysFromCivil(int64_t y, int m, int d)
{
    y -= m <= 2;
    const int64_t era = floorDiv(y, 400);
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

int utcYear(int64_t seconds)
{
    int64_t z = floorDiv(seconds, secondsPerDay) + 719468;
    const int64_t era = floorDiv(z, 146097);
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    return static_cast<int>(yoe + era * 400 + (m <= 2));
}

int daysInMonth(int64_t y, int m)
{
    static const int length[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return m == 2 && leap ? 29 : length[m - 1];
}

// Weekday 1 Monday .. 7 Sunday of a day count since 1970-01-01 (a Thursday).
int weekdayOf(int64_t days)
{
    return static_cast<int>(((days % 7) + 7 + 3) % 7) + 1;
}

// A yearly rule of one month and one weekday with an ordinal, and nothing
// else: its onset can be computed without walking occurrences.
bool isSimpleYearly(const RRule& r)
{
    if (r.frequency != TM_YEAR || r.interval != 1 || r.count != -1 || !r.until.isNull())
        return false;
    if (r.byValues[CT_MONTH].size() != 1 || r.byValues[CT_WEEKDAY].size() != 1)
        return false;
    const int day = r.byValues[CT_WEEKDAY][0];
    if (day >= 0 && day <= 15)
        return false;
    const int month = r.byValues[CT_MONTH][0];
    if (month < 1 || month > 12)
        return false;
    for (int k : {int(CT_WEEK_NUMBER), int(CT_DAY_OF_YEAR), int(CT_DAY_OF_MONTH), int(CT_HOUR),
             int(CT_MINUTE), int(CT_SECOND), RRule::BySetPos}) {
        if (!r.byValues[k].empty())
            return false;
    }
    return true;
}

// The onset of a simple yearly rule in the UTC year of `t`: the rule's day
// of the month (a local date), plus the onset's time of day counted in UTC
// from that day's midnight.
int64_t getSimpleDate(const RRule& rule, int64_t t, const KTimeSpan& timeOfDay)
{
    const int64_t year = utcYear(t);
    const int month = rule.byValues[CT_MONTH][0];
    const int b = rule.byValues[CT_WEEKDAY][0];
    const int n = b >> 8; // the ordinal, sign kept
    const int w = b & 0xF; // 1 Monday .. 7 Sunday
    int64_t day;
    if (b < 256) {
        // counted from the end of the month
        const int last = daysInMonth(year, month);
        const int wl = weekdayOf(daysFromCivil(year, month, last));
        day = w <= wl ? last - wl + w + 7 * n + 7 : last - wl + w + 7 * n;
    } else {
        const int w1 = weekdayOf(daysFromCivil(year, month, 1));
        day = w >= w1 ? 1 + (w - w1) + 7 * (n - 1) : 1 + (w - w1) + 7 * n;
    }
    // A day past the month's end runs on into the next month.
    return (daysFromCivil(year, month, 1) + day - 1) * secondsPerDay + timeOfDay.toSecondCount64();
}

// The observance's onset that the offset at instants of `year` depends on:
// the first occurrence of its rule in that year or later (or its last one
// when the rule ends before). The rule is walked on the zone's local
// calendar, from the onset's wall-clock time at the offset in force before
// it, exactly as the date value computes zone offsets; walking it on UTC
// days would put a rule such as "22 September, 00:00 local" at +04:30 a day
// late. Null when the rule gives none.
KDateTime lastOnsetUpTo(const TZProp& p, int year)
{
    KDateTime onset = p.dtStart;
    if (onset.getKind() == KDateTime::KindZone)
        onset.setAsLocalMachine();
    if (p.offsetFrom.isNull())
        onset.setAsLocalMachine();
    else
        onset.setGmtOffset(p.offsetFrom);
    KDateTime last;
    RRule::iterator it = p.rrule.begin(onset, true);
    const RRule::iterator end = p.rrule.end();
    // Yearly rules reach any year in a few hundred steps; the bound only
    // keeps a rule of a finer frequency from walking for ever.
    for (int steps = 0; !(it == end) && steps < 100000; ++steps) {
        last = *it;
        if (last.isNull() || last.getYear() >= year)
            break;
        ++it;
    }
    return last;
}

} // namespace

KTimeZoneCache::KTimeZoneCache(unsigned int rowCount)
    : capacity(rowCount)
{
}

KTimeZoneCache::~KTimeZoneCache() = default;

std::string KTimeZoneCache::getCacheKey(int year, const std::string& hash)
{
    char buf[24];
    std::snprintf(buf, sizeof buf, "%04d", year);
    return buf + hash;
}

size_t KTimeZoneCache::size() const
{
    tiny::KMutexLocker lock(mutex);
    return rows.size();
}

KTimeSpan KTimeZoneCache::getOffset(int64_t t, const boost::shared_ptr<KTimeZone>& zone)
{
    if (!zone)
        return KTimeSpan::null;
    const std::vector<TZProp>& props = zone->getTZProps();
    if (props.size() != 2 || !props[0].rrule.valid || !props[1].rrule.valid)
        return KTimeSpan::null;
    const int year = utcYear(t);

    tiny::KMutexLocker lock(mutex);
    if (zone->getMD5Hash().empty())
        zone->computeMD5Hash();
    const std::string key = getCacheKey(year, zone->getMD5Hash());
    auto found = rows.find(key);
    if (found == rows.end()) {
        const TZProp& p0 = props[0];
        const TZProp& p1 = props[1];
        int64_t onset0, onset1;
        // In the year of an observance's own onset the onset itself counts,
        // even where it is not a day of its rule, so only later years take
        // the fast path.
        if (isSimpleYearly(p0.rrule) && isSimpleYearly(p1.rrule) && year > p0.dtStart.getYear() &&
            year > p1.dtStart.getYear()) {
            auto timeOfDay
                = [](const TZProp& p) { return (p.dtStart - p.offsetFrom) - p.dtStart.dayBegin(); };
            onset0 = getSimpleDate(p0.rrule, t, timeOfDay(p0));
            onset1 = getSimpleDate(p1.rrule, t, timeOfDay(p1));
        } else {
            KDateTime r0 = lastOnsetUpTo(p0, year);
            KDateTime r1 = lastOnsetUpTo(p1, year);
            if (r0.isNull() || r1.isNull() || r0.getYear() > year || r1.getYear() > year)
                return KTimeSpan::null;
            onset0 = r0.to64();
            onset1 = r1.to64();
        }
        CacheRow row;
        if (onset0 < onset1)
            row = CacheRow{p0.offsetTo, p1.offsetTo, onset0, onset1};
        else
            row = CacheRow{p1.offsetTo, p0.offsetTo, onset1, onset0};
        if (rows.size() >= capacity && !keyOrder.empty()) {
            rows.erase(keyOrder.front());
            keyOrder.pop_front();
        }
        auto inserted = rows.emplace(key, row);
        if (inserted.second)
            keyOrder.push_back(key);
        found = inserted.first;
    }
    const CacheRow& row = found->second;
    return found->second.spanStart <= t && t < row.spanEnd ? row.offsetInside : row.offsetOutside;
}

} // namespace tavir::timezone
