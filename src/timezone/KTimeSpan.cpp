#include "timezone/KTimeSpan.h"

#include <cstdio>
#include <cstdlib>

namespace tavir::timezone {

const KTimeSpan KTimeSpan::null;

KTimeSpan::KTimeSpan(int days, int hours, int minutes, int seconds, bool negative)
    : count(int64_t(days) * 86400 + int64_t(hours) * 3600 + int64_t(minutes) * 60 + seconds)
{
    if (negative)
        count = -count;
}

int KTimeSpan::toSecondCount() const
{
    if (isNull())
        return 0;
    return int(int32_t(uint32_t(uint64_t(count))));
}

int KTimeSpan::getDays() const
{
    return isNull() ? 0 : int(std::llabs(count / 86400));
}

int KTimeSpan::getHours() const
{
    return isNull() ? 0 : int(std::llabs((count % 86400) / 3600));
}

int KTimeSpan::getMinutes() const
{
    return isNull() ? 0 : int(std::llabs((count % 3600) / 60));
}

int KTimeSpan::getSeconds() const
{
    return isNull() ? 0 : int(std::llabs(count % 60));
}

KTimeSpan& KTimeSpan::operator+=(const KTimeSpan& other)
{
    if (!isNull() && !other.isNull())
        count += other.count;
    return *this;
}

KTimeSpan& KTimeSpan::operator-=(const KTimeSpan& other)
{
    if (!isNull() && !other.isNull())
        count -= other.count;
    return *this;
}

KTimeSpan KTimeSpan::operator+(const KTimeSpan& other) const
{
    if (isNull() || other.isNull())
        return KTimeSpan();
    return KTimeSpan(count + other.count, 0);
}

KTimeSpan KTimeSpan::operator-(const KTimeSpan& other) const
{
    if (isNull() || other.isNull())
        return KTimeSpan();
    return KTimeSpan(count - other.count, 0);
}

std::string KTimeSpan::toIsoString() const
{
    const int d = getDays();
    const int h = getHours();
    const int m = getMinutes();
    const int s = getSeconds();
    char buf[64];
    std::string out;
    if (isNegative())
        out += '-';
    out += 'P';
    if (d != 0) {
        std::snprintf(buf, sizeof buf, "%dD", d);
        out += buf;
        if (s == 0 && m == 0 && h == 0)
            return out;
    }
    out += 'T';
    if (h != 0) {
        std::snprintf(buf, sizeof buf, "%02dH", h);
        out += buf;
    }
    if (h != 0 || m != 0) {
        std::snprintf(buf, sizeof buf, "%02dM", m);
        out += buf;
    }
    if (s == 0 && (h != 0 || d != 0 || m != 0))
        return out;
    std::snprintf(buf, sizeof buf, "%02dS", s);
    out += buf;
    return out;
}

KTimeSpan KTimeSpan::fromIsoString(const std::string& text)
{
    if (text.empty())
        return KTimeSpan();
    size_t i = 0;
    bool negative = false;
    if (text[i] == '+' || text[i] == '-') {
        negative = text[i] == '-';
        ++i;
    }
    if (i >= text.size() || text[i] != 'P')
        return KTimeSpan();
    ++i;
    // The total is kept in 32 bits, as the text form only carries spans of
    // a few decades; unsigned arithmetic keeps the wrap-around defined.
    uint32_t total = 0;
    uint32_t number = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c >= '0' && c <= '9') {
            number = number * 10 + uint32_t(c - '0');
            continue;
        }
        switch (c) {
        case 'W':
            total += number * 604800u;
            break;
        case 'D':
            total += number * 86400u;
            break;
        case 'H':
            total += number * 3600u;
            break;
        case 'M':
            total += number * 60u;
            break;
        case 'S':
            total += number;
            break;
        default:
            break;
        }
        number = 0;
    }
    if (negative)
        total = 0u - total;
    return KTimeSpan(int64_t(int32_t(total)), 0);
}

} // namespace tavir::timezone
