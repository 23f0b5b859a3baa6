#include "timezone/KDateTime.h"

#include <algorithm>
#include <climits>
#include <ctime>

namespace tavir::timezone {

const KDateTime KDateTime::null;
const KDateTime KDateTime::maxTime(KDateTime::maxSeconds, 0, KDateTime::KindOffset);
const KDateTime KDateTime::minTime(KDateTime::minSeconds, 0, KDateTime::KindOffset);

namespace {

// Cumulative month lengths of a year counted from March.
const int monthDays[12] = {0, 31, 61, 92, 122, 153, 184, 214, 245, 275, 306, 337};
const int daysInMonthTable[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

// 1600-03-01 00:00:00 and 1600-01-01 00:00:00 as seconds since 1970 (negated).
constexpr int64_t secondsFromMarch1600 = 11670912000LL;
constexpr int64_t secondsFromJan1600 = 11670998400LL;

bool isLeap(int year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int daysInMonth(int year, int month0)
{
    if (month0 == 1 && isLeap(year))
        return 29;
    return daysInMonthTable[month0];
}

int64_t saturatingAdd(int64_t a, int64_t b)
{
    if (b > 0 && a > INT64_MAX - b)
        return INT64_MAX;
    if (b < 0 && a < INT64_MIN - b)
        return INT64_MIN;
    return a + b;
}

// tm_year of a calendar year, kept within int; the calendar arithmetic
// clamps it to 1600..30000 anyway.
int yearsSince1900(int64_t year)
{
    return int(std::clamp<int64_t>(year - 1900, INT_MIN, INT_MAX));
}

// The broken-down wall time the constructors are given (month 1..12).
tm wallTimeOf(int day, int month, int year, int hour, int minute, int second)
{
    tm t{};
    t.tm_mday = day;
    t.tm_mon = int(std::max<int64_t>(int64_t(month) - 1, INT_MIN));
    t.tm_year = yearsSince1900(year);
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return t;
}

// Position of a weekday (0 Sunday) in a week that begins on weekStart.
int rel(int wday, int weekStart)
{
    const int ws = ((weekStart % 7) + 7) % 7;
    return (wday + 7 - ws) % 7;
}

tm dateFields(int year, int month0, int day)
{
    tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month0;
    t.tm_mday = day;
    KDateTime::mkTime(t);
    return t;
}

int jan1Weekday(int year)
{
    return dateFields(year, 0, 1).tm_wday;
}

int weekNumberOf(const tm& t, int weekStart)
{
    const int year = t.tm_year + 1900;
    const int j = rel(jan1Weekday(year), weekStart);
    const int k = rel(jan1Weekday(year + 1), weekStart);
    if (k <= 3 && t.tm_mon == 11 && t.tm_mday >= 32 - k)
        return 1;
    if (j >= 4 && t.tm_mon == 0 && t.tm_mday <= 7 - j)
        return weekNumberOf(dateFields(year - 1, 11, 31), weekStart);
    return (j + t.tm_yday) / 7 + (j <= 3 ? 1 : 0);
}

} // namespace

// ---------------------------------------------------------------------------
// Calendar core

int64_t KDateTime::mkTime(tm& fields)
{
    int64_t month = fields.tm_mon;
    int64_t year = fields.tm_year;
    if (month < 0 || month > 11) {
        year += month / 12;
        month %= 12;
        if (month < 0) {
            month += 12;
            year -= 1;
        }
    }
    int64_t y = std::clamp<int64_t>(year + 300, 0, 28400);
    int64_t m;
    if (month < 2) {
        m = month + 10;
        y -= 1;
    } else {
        m = month - 2;
    }
    const int64_t days = y * 36525 / 100 + y / 400 - y / 100 + monthDays[m] + fields.tm_mday;
    const int64_t result = ((days * 24 + fields.tm_hour) * 60 + fields.tm_min) * 60 + fields.tm_sec
        - secondsFromJan1600;
    fields = gmTime(result);
    return result;
}

tm KDateTime::gmTime(int64_t seconds)
{
    seconds = std::clamp(seconds, minSeconds, maxSeconds);
    const int64_t v = seconds + secondsFromMarch1600;
    const int64_t d = v / 86400;
    const int64_t secOfDay = v % 86400;

    tm t{};
    t.tm_wday = int((d + 3) % 7);
    t.tm_isdst = -1;

    int64_t year = 1600 + 400 * (d / 146097);
    int64_t r = d % 146097;
    int64_t dayOfYear; // from 1 March
    if (r == 146096) {
        year += 399;
        dayOfYear = 365;
    } else {
        year += 100 * (r / 36524);
        r %= 36524;
        year += 4 * (r / 1461);
        r %= 1461;
        if (r == 1460) {
            year += 3;
            dayOfYear = 365;
        } else {
            year += r / 365;
            dayOfYear = r % 365;
        }
    }
    int idx = 11;
    while (idx > 0 && monthDays[idx] > dayOfYear)
        --idx;
    t.tm_mday = int(dayOfYear + 1 - monthDays[idx]);
    if (idx <= 9) {
        t.tm_mon = idx + 2;
        t.tm_yday = int(dayOfYear + 59 + (isLeap(int(year)) ? 1 : 0));
    } else {
        t.tm_mon = idx - 10;
        year += 1;
        t.tm_yday = int(dayOfYear - 306);
    }
    t.tm_year = int(year - 1900);
    t.tm_hour = int(secOfDay / 3600);
    t.tm_min = int(secOfDay % 3600 / 60);
    t.tm_sec = int(secOfDay % 60);
    return t;
}

// ---------------------------------------------------------------------------
// Construction

KDateTime::KDateTime(int day, int month, int year, int hour, int minute, int second)
    : KDateTime()
{
    tm t = wallTimeOf(day, month, year, hour, minute, second);
    seconds_ = mkTime(t);
    gmtOffset_ = 0;
    kind_ = KindOffset;
}

KDateTime::KDateTime(
    int day, int month, int year, int hour, int minute, int second, const KTimeSpan& offset)
    : KDateTime()
{
    tm t = wallTimeOf(day, month, year, hour, minute, second);
    if (offset.isNull()) {
        seconds_ = mkTime(t);
        gmtOffset_ = noOffset;
        kind_ = KindLocal;
        return;
    }
    seconds_ = mkTime(t) - offset.toSecondCount();
    gmtOffset_ = int32_t(offset.toSecondCount64() / 60);
    kind_ = KindOffset;
}

KDateTime::KDateTime(int day, int month, int year)
    : KDateTime(day, month, year, 0, 0, 0)
{
    dateOnly_ = true;
}

KDateTime KDateTime::from64(int64_t seconds)
{
    return KDateTime(seconds, 0, KindOffset);
}

KDateTime KDateTime::fromUnixTime(long seconds)
{
    if (seconds < 0)
        return KDateTime();
    return from64(seconds);
}

KDateTime KDateTime::now()
{
    const time_t t = ::time(nullptr);
    if (t < 0)
        return KDateTime();
    return from64(int64_t(t));
}

KDateTime KDateTime::today()
{
    return now();
}

KDateTime KDateTime::infinity()
{
    return from64(infinitySeconds);
}

time_t KDateTime::toUnixTime() const
{
    return seconds_ < 0 ? 0 : time_t(seconds_);
}

// ---------------------------------------------------------------------------
// Offsets

KTimeSpan KDateTime::offsetAt(int64_t seconds) const
{
    if (seconds == nullSeconds || seconds == infinitySeconds)
        return KTimeSpan();
    switch (kind_) {
    case KindLocal:
        return localOffsetAt(seconds, true);
    case KindOffset:
        if (gmtOffset_ == noOffset)
            return KTimeSpan();
        return KTimeSpan::fromSecondCount(int64_t(gmtOffset_) * 60);
    case KindZone:
        return zoneOffsetAt(seconds);
    default:
        return KTimeSpan();
    }
}

KTimeSpan KDateTime::gmtOffset() const
{
    if (isSpecial())
        return KTimeSpan();
    if (kind_ == KindZone)
        return gmTimeZoneOffset();
    return offsetAt(seconds_);
}

int32_t KDateTime::wallOffsetSeconds() const
{
    return gmtOffset().toSecondCount();
}

KTimeSpan KDateTime::gmLocalOffset(bool storedIsUtc) const
{
    return localOffsetAt(seconds_, storedIsUtc);
}

tm KDateTime::wallFields() const
{
    return gmTime(saturatingAdd(seconds_, wallOffsetSeconds()));
}

int64_t KDateTime::resolveWallTime(int64_t wall) const
{
    if (wall == nullSeconds || wall == infinitySeconds)
        return wall;
    // First guess: the offset in force at the wall time read as UTC.
    const KTimeSpan o2 = offsetAt(wall);
    const int64_t s1 = saturatingAdd(wall, -int64_t(o2.toSecondCount()));
    const KTimeSpan o3 = offsetAt(s1);
    if (o3.isNull() || o3 == o2)
        return s1;
    // The guess crossed a change of offset: try the offset found there.
    const int64_t s2 = saturatingAdd(wall, -int64_t(o3.toSecondCount()));
    if (offsetAt(s2) == o3)
        return s2;
    // Neither offset reads back as this wall time: it lies in the gap of a
    // change to a larger offset. Take the instant that reads the wall time at
    // the earlier offset, which shows it pushed forward by the gap.
    return std::max(s1, s2);
}

// ---------------------------------------------------------------------------
// Reading

int KDateTime::getYear() const
{
    return wallFields().tm_year + 1900;
}

int KDateTime::getMonth() const
{
    return wallFields().tm_mon + 1;
}

int KDateTime::getDay() const
{
    return wallFields().tm_mday;
}

int KDateTime::getHour() const
{
    return wallFields().tm_hour;
}

int KDateTime::getMinute() const
{
    return wallFields().tm_min;
}

int KDateTime::getSecond() const
{
    return wallFields().tm_sec;
}

int KDateTime::getDayOfYear() const
{
    return wallFields().tm_yday;
}

KDateTime::DayOfWeek KDateTime::getDayOfWeek() const
{
    const int wday = wallFields().tm_wday;
    return DayOfWeek(wday == 0 ? 7 : wday);
}

bool KDateTime::isDayBegin() const
{
    const tm t = wallFields();
    return t.tm_hour == 0 && t.tm_min == 0 && t.tm_sec == 0;
}

bool KDateTime::isDayEnd() const
{
    const tm t = wallFields();
    return t.tm_hour == 23 && t.tm_min == 59 && t.tm_sec == 59;
}

int KDateTime::getWeekNumber(DayOfWeek weekStart) const
{
    return weekNumberOf(wallFields(), weekStart);
}

int KDateTime::getItem(CalendarTypes unit, DayOfWeek weekStart) const
{
    const tm t = wallFields();
    switch (unit) {
    case CT_YEAR:
        return t.tm_year + 1900;
    case CT_MONTH:
        return t.tm_mon + 1;
    case CT_WEEK_NUMBER:
        return weekNumberOf(t, weekStart);
    case CT_DAY_OF_YEAR:
        return t.tm_yday + 1;
    case CT_DAY_OF_MONTH:
        return t.tm_mday;
    case CT_WEEKDAY:
        return t.tm_wday == 0 ? 7 : t.tm_wday;
    case CT_HOUR:
        return t.tm_hour;
    case CT_MINUTE:
        return t.tm_min;
    case CT_SECOND:
        return t.tm_sec;
    }
    return 0;
}

int KDateTime::getItemCount(CalendarTypes period, TimeMeasures measure, DayOfWeek weekStart) const
{
    const tm t = wallFields();
    const int year = t.tm_year + 1900;
    static const int fixedCounts[7] = {0, 0, 0, 1, 24, 1440, 86400}; // per day
    switch (period) {
    case CT_YEAR: {
        const int days = isLeap(year) ? 366 : 365;
        switch (measure) {
        case TM_YEAR:
            return 1;
        case TM_MONTH:
            return 12;
        case TM_WEEK:
            return weekNumberOf(dateFields(year, 11, 28), weekStart);
        default:
            return measure >= TM_DAY && measure <= TM_SECOND ? days * fixedCounts[measure] : 0;
        }
    }
    case CT_MONTH: {
        const int days = daysInMonth(year, t.tm_mon);
        switch (measure) {
        case TM_MONTH:
            return 1;
        case TM_WEEK:
            return days / 7;
        default:
            return measure >= TM_DAY && measure <= TM_SECOND ? days * fixedCounts[measure] : 0;
        }
    }
    case CT_WEEK_NUMBER:
        if (measure == TM_WEEK)
            return 1;
        return measure >= TM_DAY && measure <= TM_SECOND ? 7 * fixedCounts[measure] : 0;
    case CT_DAY_OF_YEAR:
    case CT_DAY_OF_MONTH:
    case CT_WEEKDAY:
        return measure >= TM_DAY && measure <= TM_SECOND ? fixedCounts[measure] : 0;
    case CT_HOUR:
        if (measure == TM_HOUR)
            return 1;
        return measure == TM_MINUTE ? 60 : measure == TM_SECOND ? 3600 : 0;
    case CT_MINUTE:
        if (measure == TM_MINUTE)
            return 1;
        return measure == TM_SECOND ? 60 : 0;
    case CT_SECOND:
        return measure == TM_SECOND ? 1 : 0;
    }
    return 0;
}

KDateTime& KDateTime::setItem(CalendarTypes unit, int value, DayOfWeek weekStart)
{
    // The null and infinite instants have no calendar fields to change.
    if (isSpecial())
        return *this;
    tm t = wallFields();
    switch (unit) {
    case CT_YEAR:
        t.tm_year = yearsSince1900(value);
        break;
    case CT_MONTH: {
        int64_t month0 = int64_t(value) - 1;
        int64_t year = t.tm_year + 1900;
        year += month0 / 12;
        month0 %= 12;
        if (month0 < 0) {
            month0 += 12;
            year -= 1;
        }
        t.tm_year = int(year - 1900);
        t.tm_mon = int(month0);
        const int length = daysInMonth(int(std::clamp<int64_t>(year, 1600, 30000)), int(month0));
        if (t.tm_mday > length)
            t.tm_mday = length;
        break;
    }
    case CT_WEEK_NUMBER: {
        const int j = rel(jan1Weekday(t.tm_year + 1900), weekStart);
        const int64_t first = j <= 3 ? 7 * int64_t(value) - 6 : 7 * int64_t(value) + 1;
        t.tm_mday = int(std::clamp<int64_t>(first - j + rel(t.tm_wday, weekStart), INT_MIN / 2,
                                            INT_MAX / 2));
        t.tm_mon = 0;
        break;
    }
    case CT_DAY_OF_YEAR:
        t.tm_mon = 0;
        t.tm_mday = value;
        break;
    case CT_DAY_OF_MONTH:
        t.tm_mday = value;
        break;
    case CT_WEEKDAY: {
        const int ws = ((weekStart % 7) + 7) % 7;
        t.tm_mday += int(((int64_t(value) - ws) % 7 + 7) % 7) - rel(t.tm_wday, weekStart);
        break;
    }
    case CT_HOUR:
        t.tm_hour = value;
        dateOnly_ = false;
        break;
    case CT_MINUTE:
        t.tm_min = value;
        dateOnly_ = false;
        break;
    case CT_SECOND:
        t.tm_sec = value;
        dateOnly_ = false;
        break;
    }
    instantChanged();
    const int64_t wall = mkTime(t);
    const int64_t firstGuess = wall - offsetAt(wall).toSecondCount();
    seconds_ = resolveWallTime(wall);
    if ((seconds_ - firstGuess) % 86400 != 0)
        dateOnly_ = false;
    return *this;
}

// ---------------------------------------------------------------------------
// Day boundaries

KDateTime KDateTime::sameDayAt(int hour, int minute, int second) const
{
    const tm t = wallFields();
    KDateTime out(t.tm_mday, t.tm_mon + 1, t.tm_year + 1900, hour, minute, second);
    switch (kind_) {
    case KindZone:
        out.setTimeZone(zone_);
        break;
    case KindOffset:
        out.setGmtOffset(offsetAt(seconds_));
        break;
    default:
        out.setAsLocalMachine();
        break;
    }
    return out;
}

KDateTime KDateTime::dayBegin() const
{
    if (isSpecial())
        return *this;
    return sameDayAt(0, 0, 0);
}

KDateTime KDateTime::dayEnd() const
{
    if (isSpecial())
        return *this;
    return sameDayAt(23, 59, 59);
}

KDateTime KDateTime::toDate(bool keepZone) const
{
    if (isSpecial() || dateOnly_)
        return *this;
    const tm t = wallFields();
    KDateTime out(t.tm_mday, t.tm_mon + 1, t.tm_year + 1900, 0, 0, 0);
    if (keepZone && kind_ == KindZone)
        out.setTimeZone(zone_);
    out.dateOnly_ = true;
    return out;
}

// ---------------------------------------------------------------------------
// Arithmetic

KDateTime& KDateTime::operator+=(const KTimeSpan& span)
{
    if (span.isNull() || isSpecial())
        return *this;
    seconds_ = saturatingAdd(seconds_, span.toSecondCount64());
    instantChanged();
    if (span.toSecondCount64() % 86400 != 0)
        dateOnly_ = false;
    return *this;
}

KDateTime& KDateTime::operator-=(const KTimeSpan& span)
{
    if (span.isNull() || isSpecial())
        return *this;
    seconds_ = saturatingAdd(seconds_, -span.toSecondCount64());
    instantChanged();
    if (span.toSecondCount64() % 86400 != 0)
        dateOnly_ = false;
    return *this;
}

KDateTime KDateTime::operator+(const KTimeSpan& span) const
{
    KDateTime out(*this);
    out += span;
    return out;
}

KDateTime KDateTime::operator-(const KTimeSpan& span) const
{
    KDateTime out(*this);
    out -= span;
    return out;
}

KTimeSpan KDateTime::operator-(const KDateTime& other) const
{
    if (isSpecial() || other.isSpecial())
        return KTimeSpan();
    return KTimeSpan::fromSecondCount(seconds_ - other.seconds_);
}

// ---------------------------------------------------------------------------
// Changing the rule while keeping the wall time

void KDateTime::keepWallTime(
    int kind, int32_t offsetMinutes, const boost::shared_ptr<KTimeZone>& zone)
{
    int64_t wall = seconds_;
    if (!isSpecial()) {
        const KTimeSpan w = gmtOffset();
        if (!w.isNull()) {
            wall = saturatingAdd(seconds_, w.toSecondCount());
            if (w.toSecondCount() % 86400 != 0)
                dateOnly_ = false;
        }
    }
    zone_ = zone;
    kind_ = kind;
    gmtOffset_ = offsetMinutes;
    seconds_ = wall;
    if (isSpecial())
        return;
    const int64_t result = resolveWallTime(wall);
    if ((wall - result) % 86400 != 0)
        dateOnly_ = false;
    seconds_ = result;
}

KDateTime& KDateTime::setGmtOffset(const KTimeSpan& offset)
{
    if (offset.isNull())
        keepWallTime(KindLocal, noOffset, boost::shared_ptr<KTimeZone>());
    else
        keepWallTime(
            KindOffset, int32_t(offset.toSecondCount64() / 60), boost::shared_ptr<KTimeZone>());
    return *this;
}

KDateTime& KDateTime::setAsLocalMachine()
{
    keepWallTime(KindLocal, noOffset, boost::shared_ptr<KTimeZone>());
    return *this;
}

} // namespace tavir::timezone
