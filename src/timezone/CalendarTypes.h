#pragma once

namespace tavir::timezone {

// Units of a date that can be read or set (also the index of a recurrence
// rule's BYxxx lists).
enum CalendarTypes {
    CT_YEAR = 0,
    CT_MONTH = 1,
    CT_WEEK_NUMBER = 2,
    CT_DAY_OF_YEAR = 3,
    CT_DAY_OF_MONTH = 4,
    CT_WEEKDAY = 5,
    CT_HOUR = 6,
    CT_MINUTE = 7,
    CT_SECOND = 8,
};

// Units that can be counted; recurrence rule frequencies are stored as these
// (YEARLY 0 .. SECONDLY 6).
enum TimeMeasures {
    TM_YEAR = 0,
    TM_MONTH = 1,
    TM_WEEK = 2,
    TM_DAY = 3,
    TM_HOUR = 4,
    TM_MINUTE = 5,
    TM_SECOND = 6,
};

// The measure that counts a calendar unit; values above 8 give year.
TimeMeasures getTimeMeasure(CalendarTypes unit);

// The unit n steps coarser (<<) or finer (>>); a negative n goes the other way.
CalendarTypes operator<<(CalendarTypes unit, int n);
CalendarTypes operator>>(CalendarTypes unit, int n);

} // namespace tavir::timezone
