#pragma once

#include "timezone/CalendarTypes.h"
#include "timezone/KTimeSpan.h"

#include <boost/shared_ptr.hpp>

#include <cstdint>
#include <ctime>
#include <string>
#include <type_traits>

namespace tavir::timezone {

class KTimeZone;
class KTimeZoneCache;

// The process-wide zone offset cache (512 rows). Built on first use, so it is
// safe to reach from any static initialiser.
KTimeZoneCache& timezoneCache();

// An instant (UTC seconds) with the rule that turns it into wall-clock time:
// an attached time zone (kind 1), a fixed offset from GMT (kind 2) or the
// local machine's time (kind 3), plus an all-day flag.
class KDateTime {
public:
    enum DayOfWeek {
        NoDay = 0,
        Monday = 1,
        Tuesday = 2,
        Wednesday = 3,
        Thursday = 4,
        Friday = 5,
        Saturday = 6,
        Sunday = 7,
    };

    enum Kind {
        KindZone = 1,
        KindOffset = 2,
        KindLocal = 3,
    };

    static constexpr int64_t nullSeconds = INT64_MIN;
    static constexpr int64_t infinitySeconds = 67723044291792000LL;
    static constexpr int64_t maxSeconds = 884541340800LL; // 30000-01-01 00:00:00 UTC
    static constexpr int64_t minSeconds = -11644473600LL; // 1601-01-01 00:00:00 UTC
    static constexpr int32_t noOffset = 0x7fffffff;

    // Constant-initialised: usable from other files' static initialisers.
    static const KDateTime null;
    static const KDateTime maxTime;
    static const KDateTime minTime;

    // ISO text flags.
    enum IsoFlags : unsigned {
        IsoExtended = 1,
        IsoMillis = 2,
        IsoNumericUtc = 4,
        IsoNoOffset = 8,
        IsoDateAsDateTime = 16,
    };

    constexpr KDateTime()
        : seconds_(nullSeconds)
        , dateOnly_(false)
        , gmtOffset_(noOffset)
        , zone_()
        , kind_(KindLocal)
        , cdoId_(-1)
    {
    }
    // The fields read as UTC (kind 2, offset 0).
    KDateTime(int day, int month, int year, int hour, int minute, int second);
    // The fields read as wall time at a fixed offset; a null offset reads them as
    // UTC and gives a local-machine value.
    KDateTime(
        int day, int month, int year, int hour, int minute, int second, const KTimeSpan& offset);
    // An all-day value: 00:00:00 UTC of that date.
    KDateTime(int day, int month, int year);

    static KDateTime from64(int64_t seconds);
    static KDateTime fromUnixTime(long seconds);
    static KDateTime now();
    static KDateTime today();
    static KDateTime infinity();

    int64_t to64() const { return seconds_; }
    time_t toUnixTime() const;

    int getYear() const;
    int getMonth() const;
    int getDay() const;
    int getHour() const;
    int getMinute() const;
    int getSecond() const;
    int getDayOfYear() const; // counted from 0
    DayOfWeek getDayOfWeek() const;

    // The wall offset in force at the instant; null for null or infinity.
    KTimeSpan gmtOffset() const;
    // The local machine's offset at the instant; storedIsUtc false reads the
    // stored seconds as a wall time.
    KTimeSpan gmLocalOffset(bool storedIsUtc) const;

    bool isNull() const { return seconds_ == nullSeconds; }
    bool isInfinity() const { return seconds_ == infinitySeconds; }
    bool isDayBegin() const;
    bool isDayEnd() const;
    bool isDateOnly() const { return dateOnly_; }
    void setDateOnly(bool dateOnly) { dateOnly_ = dateOnly; }
    int getKind() const { return kind_; }
    const boost::shared_ptr<KTimeZone>& getTimeZone() const { return zone_; }

    int getWeekNumber(DayOfWeek weekStart) const;
    // Day of year reads 1-based here (1 is 1 January), as setItem takes it.
    int getItem(CalendarTypes unit, DayOfWeek weekStart) const;
    int getItemCount(CalendarTypes period, TimeMeasures measure, DayOfWeek weekStart) const;
    KDateTime& setItem(CalendarTypes unit, int value, DayOfWeek weekStart);

    KDateTime dayBegin() const;
    KDateTime dayEnd() const;
    KDateTime toDate(bool keepZone) const;

    KDateTime& operator+=(const KTimeSpan& span);
    KDateTime& operator-=(const KTimeSpan& span);
    KDateTime operator+(const KTimeSpan& span) const;
    KDateTime operator-(const KTimeSpan& span) const;
    KTimeSpan operator-(const KDateTime& other) const;

    bool operator==(const KDateTime& o) const { return seconds_ == o.seconds_; }
    bool operator!=(const KDateTime& o) const { return seconds_ != o.seconds_; }
    bool operator<(const KDateTime& o) const { return seconds_ < o.seconds_; }
    bool operator<=(const KDateTime& o) const { return seconds_ <= o.seconds_; }
    bool operator>(const KDateTime& o) const { return seconds_ > o.seconds_; }
    bool operator>=(const KDateTime& o) const { return seconds_ >= o.seconds_; }

    // Proleptic Gregorian calendar, independent of the platform (1601-30000).
    static int64_t mkTime(tm& fields);
    static tm gmTime(int64_t seconds);

    // Zones and offsets.
    KTimeSpan gmTimeZoneOffset() const;
    KDateTime& setTimeZone(const boost::shared_ptr<KTimeZone>& zone);
    KDateTime& overwriteTimeZone(const boost::shared_ptr<KTimeZone>& zone);
    KDateTime& setGmtOffset(const KTimeSpan& offset);
    KDateTime& setAsLocalMachine();
    void clearTimeZone();
    bool setCdoTimeZoneId(int id);
    int getCdoTimeZoneId() const;

    // Texts.
    std::string toIsoString(unsigned flags) const;
    std::string toRfc1123String() const;
    static KDateTime fromIsoString(
        const std::string& text, const boost::shared_ptr<KTimeZone>& zone);
    static bool parseIsoString(
        const std::string& text, int64_t& start, int64_t& end, bool& dateOnly, KTimeSpan* offset);
    // The same for callers that hold the results as long long.
    template <typename T,
        typename = std::enable_if_t<std::is_same_v<T, long long> && !std::is_same_v<T, int64_t>>>
    static bool parseIsoString(
        const std::string& text, T& start, T& end, bool& dateOnly, KTimeSpan* offset)
    {
        int64_t s = 0;
        int64_t e = 0;
        const bool ok = parseIsoString(text, s, e, dateOnly, offset);
        start = s;
        end = e;
        return ok;
    }

private:
    constexpr KDateTime(int64_t seconds, int32_t offset, int kind)
        : seconds_(seconds)
        , dateOnly_(false)
        , gmtOffset_(offset)
        , zone_()
        , kind_(kind)
        , cdoId_(-1)
    {
    }

    bool isSpecial() const { return isNull() || isInfinity(); }
    // Wall offset in seconds at the stored instant (0 when unknown).
    int32_t wallOffsetSeconds() const;
    // Wall offset of this value's rule at another instant, in seconds; null
    // when it can't be had.
    KTimeSpan offsetAt(int64_t seconds) const;
    // Zone offset at an instant, without touching the value's cache.
    KTimeSpan zoneOffsetAt(int64_t seconds) const;
    static KTimeSpan localOffsetAt(int64_t seconds, bool storedIsUtc);
    tm wallFields() const;
    // This value's day at the given wall time, in this value's zone, offset or
    // the machine's zone.
    KDateTime sameDayAt(int hour, int minute, int second) const;
    // The instant at which this value's rule shows the wall time `wall`
    // (wall time counted as UTC seconds). A wall time in a daylight-saving gap
    // is pushed forward by the gap.
    int64_t resolveWallTime(int64_t wall) const;
    // Shared by setTimeZone, setGmtOffset and setAsLocalMachine: keep the wall
    // time while the rule changes to (kind, offset, zone).
    void keepWallTime(int kind, int32_t offsetMinutes, const boost::shared_ptr<KTimeZone>& zone);
    void instantChanged()
    {
        if (kind_ == KindZone)
            gmtOffset_ = noOffset;
    }

    int64_t seconds_;
    bool dateOnly_;
    // For kind 2 the fixed offset in minutes; for kind 1 a cache of the zone's
    // offset at the instant, filled on reading.
    mutable int32_t gmtOffset_;
    boost::shared_ptr<KTimeZone> zone_;
    int kind_;
    mutable int cdoId_; // settled on reading from the zone's list
};

} // namespace tavir::timezone
