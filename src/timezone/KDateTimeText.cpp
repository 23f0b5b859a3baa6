// ISO 8601 and RFC 1123 texts of date-time values.
#include "timezone/KDateTime.h"
#include "timezone/MailDateParser.h"

#include <cstdio>
#include <cstdlib>

namespace tavir::timezone {

namespace {

const char* const dayAbbreviations[7] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// A two-character field; characters that are not digits read as 0.
int field2(const std::string& text, size_t at)
{
    int value = 0;
    for (size_t i = at; i < at + 2; ++i)
        value = value * 10 + (isDigit(text[i]) ? text[i] - '0' : 0);
    return value;
}

} // namespace

std::string KDateTime::toIsoString(unsigned flags) const
{
    if (isSpecial())
        return std::string();
    const KTimeSpan o = gmtOffset();
    const tm t = gmTime(seconds_ + o.toSecondCount());
    const int year = t.tm_year + 1900;
    if (year >= 10000)
        return std::string();
    const bool extended = flags & IsoExtended;
    char buf[96];
    if (dateOnly_ && !(flags & IsoDateAsDateTime)) {
        std::snprintf(buf, sizeof buf, extended ? "%04d-%02d-%02d" : "%04d%02d%02d", year,
            t.tm_mon + 1, t.tm_mday);
        return buf;
    }
    std::snprintf(buf, sizeof buf,
        extended ? "%04d-%02d-%02dT%02d:%02d:%02d" : "%04d%02d%02dT%02d%02d%02d", year,
        t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    std::string out = buf;
    if (flags & IsoMillis)
        out += ".000";
    if (kind_ == KindLocal)
        return out; // floating local time carries no designator
    const char* sep = extended ? ":" : "";
    if (o.isNull()) {
        if (!(flags & IsoNumericUtc))
            out += 'Z';
        else if (!(flags & IsoNoOffset)) {
            std::snprintf(buf, sizeof buf, "+00%s00", sep);
            out += buf;
        }
        return out;
    }
    if (o.toSecondCount64() == 0 && !(flags & IsoNumericUtc)) {
        out += 'Z';
        return out;
    }
    if (!(flags & IsoNoOffset)) {
        std::snprintf(buf, sizeof buf, "%c%02d%s%02d", o.isNegative() ? '-' : '+',
            int(std::llabs(o.toSecondCount64()) / 3600), sep,
            int(std::llabs(o.toSecondCount64()) % 3600 / 60));
        out += buf;
    }
    return out;
}

std::string KDateTime::toRfc1123String() const
{
    if (isSpecial())
        return std::string();
    const tm t = gmTime(seconds_);
    const int weekday = t.tm_wday == 0 ? 6 : t.tm_wday - 1;
    char buf[96];
    std::snprintf(buf, sizeof buf, "%s, %d %s %04d %02d:%02d:%02d GMT", dayAbbreviations[weekday],
        t.tm_mday, AMonthName[t.tm_mon], t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec);
    return buf;
}

bool KDateTime::parseIsoString(
    const std::string& text, int64_t& start, int64_t& end, bool& dateOnly, KTimeSpan* offset)
{
    start = 0;
    end = 0;
    dateOnly = false;
    const size_t n = text.size();
    if (n < 4 || !isDigit(text[0]) || !isDigit(text[1]) || !isDigit(text[2]) || !isDigit(text[3]))
        return false;
    const int year
        = (text[0] - '0') * 1000 + (text[1] - '0') * 100 + (text[2] - '0') * 10 + (text[3] - '0');
    // -1: not given.
    int month = -1, day = -1, hour = -1, minute = -1, second = -1;
    bool haveOffset = false;
    int offsetSeconds = 0;
    size_t i = 4;
    auto field = [&](int& target, char separator) {
        if (i < n && text[i] == separator)
            ++i;
        if (n - i < 2)
            return false;
        target = field2(text, i);
        i += 2;
        return true;
    };
    do {
        if (i >= n || !field(month, '-'))
            break;
        if (i >= n || !field(day, '-'))
            break;
        if (i >= n || text[i] != 'T') {
            dateOnly = true;
            break;
        }
        ++i;
        if (n - i < 2)
            break;
        hour = field2(text, i);
        i += 2;
        if (i >= n || !field(minute, ':'))
            break;
        if (i >= n || !field(second, ':'))
            break;
        if (i < n && (text[i] == '.' || text[i] == ',')) {
            ++i;
            while (i < n && isDigit(text[i]))
                ++i;
        }
        while (i < n && text[i] == ' ')
            ++i;
        if (i >= n)
            break;
        if (text[i] == 'Z') {
            haveOffset = true;
            offsetSeconds = 0;
            break;
        }
        int sign = 1;
        if (text[i] == '+' || text[i] == '-') {
            sign = text[i] == '-' ? -1 : 1;
            ++i;
        }
        if (n - i < 2)
            break;
        const int hh = field2(text, i);
        i += 2;
        int mm = 0;
        if (i < n && text[i] == ':')
            ++i;
        if (n - i >= 2)
            mm = field2(text, i);
        haveOffset = true;
        offsetSeconds = sign * (hh * 3600 + mm * 60);
    } while (false);

    // The given fields are shifted to UTC by the offset; fields not given
    // span the whole period that the text names.
    tm s{};
    s.tm_year = year - 1900;
    s.tm_mon = month >= 0 ? month - 1 : 0;
    s.tm_mday = day >= 0 ? day : 1;
    s.tm_hour = hour >= 0 ? hour : 0;
    s.tm_min = minute >= 0 ? minute : 0;
    s.tm_sec = second >= 0 ? second : 0;
    tm e{};
    e.tm_year = year - 1900;
    if (day >= 0) {
        e.tm_mon = month - 1;
        e.tm_mday = day;
    } else {
        // The last day of the month (of December without a month): day 0 of
        // the month after, which the calendar arithmetic resolves.
        e.tm_mon = month >= 0 ? month : 12;
        e.tm_mday = 0;
    }
    e.tm_hour = hour >= 0 ? hour : 23;
    e.tm_min = minute >= 0 ? minute : 59;
    e.tm_sec = second >= 0 ? second : 59;
    if (haveOffset) {
        s.tm_sec -= offsetSeconds;
        e.tm_sec -= offsetSeconds;
    }
    start = mkTime(s);
    end = mkTime(e);
    if (offset != nullptr)
        *offset = haveOffset ? KTimeSpan::fromSecondCount(offsetSeconds) : KTimeSpan();
    return true;
}

KDateTime KDateTime::fromIsoString(
    const std::string& text, const boost::shared_ptr<KTimeZone>& zone)
{
    int64_t start = 0;
    int64_t end = 0;
    bool dateOnly = false;
    KTimeSpan offset;
    if (!parseIsoString(text, start, end, dateOnly, &offset))
        return KDateTime();
    KDateTime value = from64(start);
    value.dateOnly_ = dateOnly;
    if (!offset.isNull()) {
        value.gmtOffset_ = int32_t(offset.toSecondCount64() / 60);
        // The text names an instant: a zone only changes how it reads.
        if (zone)
            value.overwriteTimeZone(zone);
        return value;
    }
    if (zone) {
        value.setTimeZone(zone);
        return value;
    }
    value.seconds_ = start - value.gmLocalOffset(false).toSecondCount64();
    value.kind_ = KindLocal;
    value.gmtOffset_ = noOffset;
    return value;
}

} // namespace tavir::timezone
