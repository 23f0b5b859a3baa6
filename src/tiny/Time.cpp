#include "tiny/Time.h"

#include <strings.h>

#include <atomic>
#include <cerrno>

namespace tavir::tiny {

namespace {

const char* const monthNames[12]
    = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char* const dayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

std::atomic<uint64_t> clockAdvance{0};

} // namespace

uint64_t timevalToMs(const timeval& tv)
{
    uint64_t ms
        = static_cast<uint64_t>(tv.tv_sec) * 1000 + static_cast<uint64_t>(tv.tv_usec) / 1000;
    if (tv.tv_usec % 1000 >= 500)
        ++ms;
    return ms;
}

uint32_t millisec()
{
    return static_cast<uint32_t>(millisec64());
}

uint64_t millisec64()
{
    timeval tv;
    gettimeofday(&tv, nullptr);
    return timevalToMs(tv);
}

uint64_t getMs64()
{
    // CLOCK_MONOTONIC is thread-safe and does not jump with the wall clock,
    // so no lock is needed around it.
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000
        + clockAdvance.load(std::memory_order_relaxed);
}

void advanceMonotonicClockForTesting(uint64_t ms)
{
    clockAdvance.fetch_add(ms, std::memory_order_relaxed);
}

void msleep(int ms, bool restartOnInterrupt)
{
    if (ms <= 0)
        return;
    timespec req;
    req.tv_sec = ms / 1000;
    req.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    timespec rem;
    while (nanosleep(&req, &rem) != 0) {
        if (errno != EINTR || !restartOnInterrupt)
            return;
        req = rem;
    }
}

const char* getMonthName(int month)
{
    return month >= 0 && month < 12 ? monthNames[month] : monthNames[0];
}

int getMonthNum(const char* name)
{
    if (!name)
        return 0;
    for (int i = 0; i < 12; ++i)
        if (strcasecmp(name, monthNames[i]) == 0)
            return i;
    return 0;
}

const char* getDayName(int day)
{
    return day >= 0 && day < 7 ? dayNames[day] : dayNames[0];
}

tm* getLocalTime(tm* out)
{
    time_t now = time(nullptr);
    return localtime_r(&now, out);
}

tm* k_localtime_r(const time_t* t, tm* out)
{
    return localtime_r(t, out);
}

tm* k_gmtime_r(const time_t* t, tm* out)
{
    return gmtime_r(t, out);
}

char* k_asctime_r(const tm* t, char* buf)
{
    return asctime_r(t, buf);
}

char* k_ctime_r(const time_t* t, char* buf)
{
    return ctime_r(t, buf);
}

long timezoneOffset(long t)
{
    time_t tt = static_cast<time_t>(t);
    tm utc, local;
    if (!gmtime_r(&tt, &utc) || !localtime_r(&tt, &local))
        return 0;
    long offset = (local.tm_min - utc.tm_min) + (local.tm_hour - utc.tm_hour) * 60L;
    if (local.tm_year != utc.tm_year)
        return local.tm_year < utc.tm_year ? offset - 1440 : offset + 1440;
    if (local.tm_yday != utc.tm_yday)
        return local.tm_yday < utc.tm_yday ? offset - 1440 : offset + 1440;
    return offset;
}

} // namespace tavir::tiny
