#include "timezone/CalendarTypes.h"

#include <climits>

namespace tavir::timezone {

namespace {

CalendarTypes coarser(CalendarTypes unit)
{
    switch (unit) {
    case CT_YEAR:
    case CT_MONTH:
    case CT_WEEK_NUMBER:
    case CT_DAY_OF_YEAR:
        return CT_YEAR;
    case CT_DAY_OF_MONTH:
        return CT_MONTH;
    case CT_WEEKDAY:
        return CT_WEEK_NUMBER;
    case CT_HOUR:
        return CT_DAY_OF_MONTH;
    case CT_MINUTE:
        return CT_HOUR;
    case CT_SECOND:
        return CT_MINUTE;
    }
    return CT_YEAR;
}

CalendarTypes finer(CalendarTypes unit)
{
    switch (unit) {
    case CT_YEAR:
        return CT_MONTH;
    case CT_MONTH:
        return CT_DAY_OF_MONTH;
    case CT_WEEK_NUMBER:
        return CT_WEEKDAY;
    case CT_DAY_OF_YEAR:
    case CT_DAY_OF_MONTH:
    case CT_WEEKDAY:
        return CT_HOUR;
    case CT_HOUR:
        return CT_MINUTE;
    case CT_MINUTE:
    case CT_SECOND:
        return CT_SECOND;
    }
    return CT_SECOND;
}

} // namespace

TimeMeasures getTimeMeasure(CalendarTypes unit)
{
    switch (unit) {
    case CT_YEAR:
        return TM_YEAR;
    case CT_MONTH:
        return TM_MONTH;
    case CT_WEEK_NUMBER:
        return TM_WEEK;
    case CT_DAY_OF_YEAR:
    case CT_DAY_OF_MONTH:
    case CT_WEEKDAY:
        return TM_DAY;
    case CT_HOUR:
        return TM_HOUR;
    case CT_MINUTE:
        return TM_MINUTE;
    case CT_SECOND:
        return TM_SECOND;
    }
    return TM_YEAR;
}

CalendarTypes operator<<(CalendarTypes unit, int n)
{
    if (n < 0)
        return unit >> (n == INT_MIN ? INT_MAX : -n);
    // Every chain reaches year within a few steps; stop there.
    for (int i = 0; i < n && unit != CT_YEAR; ++i)
        unit = coarser(unit);
    if (n > 0 && (unit < CT_YEAR || unit > CT_SECOND))
        unit = CT_YEAR;
    return unit;
}

CalendarTypes operator>>(CalendarTypes unit, int n)
{
    if (n < 0)
        return unit << (n == INT_MIN ? INT_MAX : -n);
    for (int i = 0; i < n && unit != CT_SECOND; ++i)
        unit = finer(unit);
    if (n > 0 && (unit < CT_YEAR || unit > CT_SECOND))
        unit = CT_SECOND;
    return unit;
}

} // namespace tavir::timezone
