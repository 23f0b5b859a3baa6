#include "timezone/MailDateParser.h"

#include "timezone/KDateTime.h"
#include "tiny/Time.h"

#include <cstring>
#include <strings.h>

namespace tavir::timezone {

const char* const AMonthName[12]
    = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

namespace {

struct UsZone {
    const char* name;
    int minutes;
};

const UsZone usZones[] = {
    {"gmt", 0},
    {"edt", -240},
    {"est", -300},
    {"cdt", -300},
    {"cst", -360},
    {"mdt", -360},
    {"mst", -420},
    {"pdt", -420},
    {"pst", -480},
};

// First letters of the three-letter zones <x>ST / <x>DT; the position plus 4
// is the standard zone's hours west of UTC.
const char zoneLetters[] = "aecmpyhb";

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

bool isLetter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

char lower(char c)
{
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

int twoDigits(const char* p)
{
    return (p[0] - '0') * 10 + (p[1] - '0');
}

// Military zone letter; false for j and non-letters.
bool militaryOffset(char letter, int& minutes)
{
    const char c = lower(letter);
    if (c >= 'a' && c <= 'i')
        minutes = (c - 'a' + 1) * 60;
    else if (c >= 'k' && c <= 'm')
        minutes = (c - 'k' + 10) * 60;
    else if (c >= 'n' && c <= 'y')
        minutes = -(c - 'n' + 1) * 60;
    else if (c == 'z')
        minutes = 0;
    else
        return false;
    return true;
}

// A three-letter zone name: the table, then <x>ST / <x>DT of the zone
// letters. Other names such as CET or EET are not North American zones and
// must not be read as one.
bool threeLetterZone(const char* name, int& minutes)
{
    char lowered[4] = {lower(name[0]), lower(name[1]), lower(name[2]), 0};
    if (testForUSZones(lowered, minutes))
        return true;
    if (lowered[2] != 't')
        return false;
    const char* at = std::strchr(zoneLetters, lowered[0]);
    if (at == nullptr || lowered[0] == 0)
        return false;
    const int standard = -int(at - zoneLetters + 4) * 60;
    if (lowered[1] == 'd') {
        minutes = standard + 60;
        return true;
    }
    if (lowered[1] != 's')
        return false;
    minutes = standard;
    return true;
}

// The end of the comment that starts at p, which may hold nested comments
// and backslash-quoted characters; nullptr when it is never closed.
const char* commentEnd(const char* p)
{
    int depth = 0;
    for (; *p != 0; ++p) {
        if (*p == '\\' && p[1] != 0)
            ++p;
        else if (*p == '(')
            ++depth;
        else if (*p == ')' && --depth == 0)
            return p + 1;
    }
    return nullptr;
}

// Skips what RFC 5322 lets stand between the fields of a date (CFWS): runs of
// blanks and tabs, a line break continued by a blank or tab (a folded
// header), and comments. True when anything was skipped.
bool skipCfws(const char*& p)
{
    const char* const start = p;
    for (;;) {
        const size_t lineBreak = p[0] == '\r' && p[1] == '\n' ? 2 : p[0] == '\n' ? 1 : 0;
        if (isBlank(*p)) {
            ++p;
        } else if (lineBreak != 0 && isBlank(p[lineBreak])) {
            p += lineBreak + 1;
        } else if (const char* end = *p == '(' ? commentEnd(p) : nullptr) {
            p = end;
        } else {
            return p != start;
        }
    }
}

// Day of month: one or two digits, a leading blank counting as 0.
bool readDay(const char*& p, int& day)
{
    if (p[0] == ' ' && isDigit(p[1])) {
        day = p[1] - '0';
        p += 2;
        return true;
    }
    if (!isDigit(p[0]))
        return false;
    if (isDigit(p[1])) {
        day = twoDigits(p);
        p += 2;
    } else {
        day = p[0] - '0';
        p += 1;
    }
    return true;
}

bool readMonth(const char*& p, int& month)
{
    for (int m = 0; m < 12; ++m) {
        const char* name = AMonthName[m];
        if (lower(p[0]) == lower(name[0]) && lower(p[1]) == lower(name[1])
            && lower(p[2]) == lower(name[2]) && p[0] != 0 && p[1] != 0) {
            month = m;
            p += 3;
            return true;
        }
    }
    return false;
}

// Two or four digits; fourDigits tells which. A four-digit year must be
// 1900 or later.
bool readYear(const char*& p, int& year, bool& fourDigits)
{
    if (!isDigit(p[0]) || !isDigit(p[1]))
        return false;
    if (!isDigit(p[2])) {
        year = twoDigits(p);
        fourDigits = false;
        p += 2;
        return true;
    }
    if (!isDigit(p[3]))
        return false;
    if (twoDigits(p) < 19)
        return false;
    year = twoDigits(p) * 100 + twoDigits(p + 2);
    fourDigits = true;
    p += 4;
    return true;
}

bool validTime(int hour, int minute, int second)
{
    return hour <= 23 && minute <= 59 && second <= 60;
}

// Exactly two digits.
bool readTwoDigits(const char*& p, int& value)
{
    if (!isDigit(p[0]) || !isDigit(p[1]))
        return false;
    value = twoDigits(p);
    p += 2;
    return true;
}

// IMAP's hh:mm:ss with the limits 23, 59 and 60 (a leap second).
bool readImapTime(const char*& p, int& hour, int& minute, int& second)
{
    if (!readTwoDigits(p, hour) || *p++ != ':' || !readTwoDigits(p, minute) || *p++ != ':'
        || !readTwoDigits(p, second))
        return false;
    return validTime(hour, minute, second);
}

// An RFC 5322 time of day and the white space or comments that must follow
// it: hh:mm:ss, or hh:mm with 0 seconds (the seconds are optional there),
// with the limits above. The obsolete syntax lets CFWS stand around the
// colons too.
bool readRfc822Time(const char*& p, int& hour, int& minute, int& second)
{
    if (!readTwoDigits(p, hour))
        return false;
    skipCfws(p);
    if (*p++ != ':')
        return false;
    skipCfws(p);
    if (!readTwoDigits(p, minute))
        return false;
    bool separated = skipCfws(p);
    second = 0;
    if (*p == ':') {
        ++p;
        skipCfws(p);
        if (!readTwoDigits(p, second))
            return false;
        separated = skipCfws(p);
    }
    return separated && validTime(hour, minute, second);
}

int64_t instant(int day, int month, int year, int hour, int minute, int second, int zoneMinutes)
{
    tm t{};
    t.tm_mday = day;
    t.tm_mon = month;
    t.tm_year = year - 1900;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return KDateTime::mkTime(t) - int64_t(zoneMinutes) * 60;
}

bool toLocal(int64_t seconds, tm* result)
{
    const time_t t = time_t(seconds);
    tm local{};
    if (tiny::k_localtime_r(&t, &local) == nullptr)
        return false;
    *result = local;
    return true;
}

} // namespace

bool testForUSZones(const char* name, int& minutes)
{
    minutes = 0;
    if (name == nullptr)
        return false;
    for (const UsZone& zone : usZones) {
        if (::strcasecmp(name, zone.name) == 0) {
            minutes = zone.minutes;
            return true;
        }
    }
    return false;
}

int parseRFC822Timezone(const char* zone)
{
    if (zone == nullptr || zone[0] == 0)
        return 0;
    if (zone[0] == '+' || zone[0] == '-') {
        const char* d = zone + 1;
        if (!isDigit(d[0]) || !isDigit(d[1]) || !isDigit(d[2]) || !isDigit(d[3]))
            return 0;
        const int minutes = twoDigits(d) * 60 + twoDigits(d + 2);
        return zone[0] == '-' ? -minutes : minutes;
    }
    if (!isLetter(zone[0]))
        return 0;
    // A zone name ends the text, or is followed by blanks or a comment
    // (RFC 5322 allows CFWS after the zone).
    size_t length = 0;
    while (isLetter(zone[length]))
        ++length;
    if (zone[length] != 0 && !isBlank(zone[length]) && zone[length] != '(' && zone[length] != '\r'
        && zone[length] != '\n')
        return 0;
    int minutes = 0;
    switch (length) {
    case 1:
        return militaryOffset(zone[0], minutes) ? minutes : 0;
    case 3:
        if (!isLetter(zone[1]) || !isLetter(zone[2]))
            return 0;
        return threeLetterZone(zone, minutes) ? minutes : 0;
    default:
        return 0;
    }
}

bool parseRFC822Date64(const char* text, int64_t* result)
{
    if (text == nullptr || result == nullptr)
        return false;
    // The weekday before the first comma is not examined. Between the
    // fields may stand any run of blanks, tabs, folds and comments.
    const char* comma = std::strchr(text, ',');
    const char* p = comma ? comma + 1 : text;
    skipCfws(p);
    int day = 0, month = 0, year = 0, hour = 0, minute = 0, second = 0;
    bool fourDigits = false;
    if (!readDay(p, day) || !skipCfws(p))
        return false;
    if (!readMonth(p, month) || !skipCfws(p))
        return false;
    if (!readYear(p, year, fourDigits) || !skipCfws(p))
        return false;
    if (!fourDigits)
        year += year < 70 ? 2000 : 1900;
    if (!readRfc822Time(p, hour, minute, second))
        return false;
    // The zone is the rest; none at all reads as UTC.
    const int zone = *p == 0 ? 0 : parseRFC822Timezone(p);
    *result = instant(day, month, year, hour, minute, second, zone);
    return true;
}

bool parseRFC822Date(const char* text, time_t* result)
{
    int64_t seconds = 0;
    if (result == nullptr || !parseRFC822Date64(text, &seconds))
        return false;
    *result = time_t(seconds);
    return true;
}

bool parseInternaldate(const char* text, time_t* result)
{
    if (text == nullptr || result == nullptr)
        return false;
    const char* p = text;
    int day = 0, month = 0, year = 0, hour = 0, minute = 0, second = 0;
    bool fourDigits = false;
    if (!readDay(p, day) || *p++ != '-')
        return false;
    if (!readMonth(p, month) || *p++ != '-')
        return false;
    if (!readYear(p, year, fourDigits))
        return false;
    if (!fourDigits)
        year += 1900;
    if (*p++ != ' ' || !readImapTime(p, hour, minute, second))
        return false;
    int zone = 0;
    if (fourDigits) {
        if (p[0] != ' ' || (p[1] != '+' && p[1] != '-') || !isDigit(p[2]) || !isDigit(p[3])
            || !isDigit(p[4]) || !isDigit(p[5]) || p[6] != 0)
            return false;
        zone = twoDigits(p + 2) * 60 + twoDigits(p + 4);
        if (p[1] == '-')
            zone = -zone;
    } else {
        if (*p++ != '-' || !isLetter(p[0]))
            return false;
        size_t length = 0;
        while (p[length] != 0 && length < 4)
            ++length;
        switch (length) {
        case 1:
            if (!militaryOffset(p[0], zone))
                return false;
            break;
        case 2:
            if (lower(p[0]) != 'u' || lower(p[1]) != 't')
                return false;
            zone = 0;
            break;
        case 3:
            if (!isLetter(p[1]) || !isLetter(p[2]) || !threeLetterZone(p, zone))
                return false;
            break;
        default:
            return false;
        }
    }
    *result = time_t(instant(day, month, year, hour, minute, second, zone));
    return true;
}

bool parseInternaldate_tm(const char* text, tm* result)
{
    time_t t = 0;
    if (text == nullptr || result == nullptr || !parseInternaldate(text, &t))
        return false;
    return toLocal(t, result);
}

bool parseRFC822Date_tm(const char* text, tm* result)
{
    int64_t t = 0;
    if (text == nullptr || result == nullptr || !parseRFC822Date64(text, &t))
        return false;
    return toLocal(t, result);
}

} // namespace tavir::timezone
