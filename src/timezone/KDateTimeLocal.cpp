// The local machine's offset from UTC, read through the platform's time
// conversions.
#include "timezone/KDateTime.h"

#include "tiny/Time.h"

#include <ctime>

namespace tavir::timezone {

KTimeSpan KDateTime::localOffsetAt(int64_t seconds, bool storedIsUtc)
{
    time_t t;
    // Outside 1970-01-02 .. 3001-01-01 the platform's conversions are not
    // trusted everywhere; the present offset stands in.
    if (seconds >= 86401 && seconds < 32535216000LL) {
        t = time_t(seconds);
        if (!storedIsUtc) {
            tm wall{};
            if (tiny::k_gmtime_r(&t, &wall) == nullptr)
                return KTimeSpan::fromSecondCount(0);
            wall.tm_isdst = -1;
            t = ::mktime(&wall);
        }
    } else {
        t = ::time(nullptr);
    }
    tm utc{};
    tm local{};
    if (tiny::k_gmtime_r(&t, &utc) == nullptr || tiny::k_localtime_r(&t, &local) == nullptr)
        return KTimeSpan::fromSecondCount(0);
    int minutes = (local.tm_hour - utc.tm_hour) * 60 + (local.tm_min - utc.tm_min);
    if (local.tm_year < utc.tm_year
        || (local.tm_year == utc.tm_year && local.tm_yday < utc.tm_yday))
        minutes -= 1440;
    else if (local.tm_year > utc.tm_year
        || (local.tm_year == utc.tm_year && local.tm_yday > utc.tm_yday))
        minutes += 1440;
    return KTimeSpan::fromSecondCount(int64_t(minutes) * 60);
}

} // namespace tavir::timezone
