#pragma once
// Clocks, sleeping, English month/day names and the local zone offset.
#include <sys/time.h>

#include <cstdint>
#include <ctime>

namespace tavir::tiny {

// Wall-clock milliseconds (gettimeofday), rounded to the nearest millisecond;
// the 32-bit form wraps.
uint32_t millisec();
uint64_t millisec64();
// The rounding used by both: sec * 1000 + usec / 1000, plus 1 from 500 us.
uint64_t timevalToMs(const timeval& tv);

// Monotonic milliseconds; only differences of two values mean anything.
uint64_t getMs64();

// Sleeps ms milliseconds. With restartOnInterrupt a signal does not shorten
// the sleep; without it one interruption ends it early.
void msleep(int ms, bool restartOnInterrupt = true);

const char* getMonthName(int month); // 0-11, else "Jan"
int getMonthNum(const char* name); // case-insensitive; 0 when unknown
const char* getDayName(int day); // 0 = Sunday .. 6, else "Sun"

tm* getLocalTime(tm* out);
tm* k_localtime_r(const time_t* t, tm* out);
tm* k_gmtime_r(const time_t* t, tm* out);
char* k_asctime_r(const tm* t, char* buf);
char* k_ctime_r(const time_t* t, char* buf);

// Minutes east of UTC of local time at instant t; 0 when it can't be told.
long timezoneOffset(long t);

// Moves getMs64 forward, so that timers can be tested without waiting.
void advanceMonotonicClockForTesting(uint64_t ms);

} // namespace tavir::tiny
