// Recurrence rule record: reading and writing RFC 5545 and vCalendar 1.0 rules.
#include "timezone/RRule.h"

#include "utils/StringUtils.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace tavir::timezone {

namespace {

const char* const dayNames[7] = {"MO", "TU", "WE", "TH", "FR", "SA", "SU"};

const char* const frequencyNames[7]
    = {"YEARLY", "MONTHLY", "WEEKLY", "DAILY", "HOURLY", "MINUTELY", "SECONDLY"};

// The weekday of a two-letter day name, or 0.
int fromDayName(const char* name)
{
    if (name == nullptr)
        return 0;
    for (int i = 0; i < 7; ++i) {
        if (::strcasecmp(name, dayNames[i]) == 0)
            return i + 1;
    }
    return 0;
}

const char* dayName(int weekday)
{
    return weekday >= 1 && weekday <= 7 ? dayNames[weekday - 1] : "";
}

// The end of a rule: written as the date's own text, read back at offset 0
// keeping the digits as written.
KDateTime readEndDate(const char* value)
{
    KDateTime date = KDateTime::fromIsoString(value, boost::shared_ptr<KTimeZone>());
    const bool dateOnly = date.isDateOnly();
    date.setGmtOffset(KTimeSpan::fromSecondCount(0));
    // A bare date stays a date whatever the machine's own offset is, so that
    // a rule reads and writes the same everywhere.
    if (dateOnly && !date.isNull())
        date.setDateOnly(true);
    return date;
}

void appendNumber(std::string& out, int value)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%i", value);
    out += buf;
}

void writeList(std::string& out, const char* key, const std::vector<int>& values)
{
    if (values.empty())
        return;
    out += ';';
    out += key;
    out += '=';
    for (size_t i = 0; i < values.size(); ++i) {
        if (i > 0)
            out += ',';
        appendNumber(out, values[i]);
    }
}

} // namespace

RRule::RRule()
{
    clear();
}

RRule::~RRule() = default;

RRule& RRule::operator=(const RRule& other)
{
    if (this == &other)
        return *this;
    frequency = other.frequency;
    interval = other.interval;
    until = other.until;
    xUntil = other.xUntil;
    count = other.count;
    for (int i = 0; i < ByListCount; ++i)
        byValues[i] = other.byValues[i];
    weekStart = other.weekStart;
    valid = other.valid;
    return *this;
}

void RRule::clear()
{
    frequency = -1;
    interval = 1;
    until = KDateTime::null;
    xUntil = KDateTime::null;
    count = -1;
    for (auto& list : byValues)
        list.clear();
    weekStart = KDateTime::Monday;
    valid = false;
}

void RRule::appendList(char* list, int index)
{
    char* item = list;
    for (;;) {
        char* comma = std::strchr(item, ',');
        if (comma == nullptr)
            break;
        *comma = 0;
        byValues[index].push_back(std::atoi(item));
        item = comma + 1;
    }
    if (*item != 0)
        byValues[index].push_back(std::atoi(item));
}

char* RRule::setByVal(char* list, CalendarTypes type)
{
    const int index = int(type);
    char* last = list;
    if (index < 0 || index >= ByListCount)
        return last;
    for (char* p = list; (p = std::strchr(p, ',')) != nullptr; ++p)
        last = p + 1;
    appendList(list, index);
    return last;
}

void RRule::setRRule(const char* text)
{
    clear();
    if (text == nullptr)
        return;
    std::vector<char> copy(text, text + std::strlen(text) + 1);
    char* const base = copy.data();

    bool sawSetPos = false;
    bool sawByList = false;
    char* save = nullptr;
    for (char* part = utils::k_strtok_r(base, ";", &save); part != nullptr;
         part = utils::k_strtok_r(nullptr, ";", &save)) {
        char* eq = std::strchr(part, '=');
        if (eq == nullptr) {
            // A text led by a part without "=" is a vCalendar rule.
            if (std::strcmp(part, base) == 0) {
                parseVCalendar(part);
                break;
            }
            continue;
        }
        *eq = 0;
        const char* key = part;
        char* value = eq + 1;
        if (::strcasecmp(key, "FREQ") == 0) {
            int f = -1;
            for (int i = 0; i < 7; ++i) {
                if (::strcasecmp(value, frequencyNames[i]) == 0)
                    f = i;
            }
            if (f < 0)
                break; // an unknown frequency ends the rule here
            frequency = f;
        } else if (::strcasecmp(key, "UNTIL") == 0) {
            until = readEndDate(value);
        } else if (::strcasecmp(key, "X-UNTIL") == 0) {
            xUntil = readEndDate(value);
        } else if (::strcasecmp(key, "COUNT") == 0) {
            count = std::atoi(value);
        } else if (::strcasecmp(key, "INTERVAL") == 0) {
            interval = std::atoi(value);
        } else if (::strcasecmp(key, "BYSECOND") == 0) {
            sawByList = true;
            setByVal(value, CT_SECOND);
        } else if (::strcasecmp(key, "BYMINUTE") == 0) {
            sawByList = true;
            setByVal(value, CT_MINUTE);
        } else if (::strcasecmp(key, "BYHOUR") == 0) {
            sawByList = true;
            setByVal(value, CT_HOUR);
        } else if (::strcasecmp(key, "BYMONTHDAY") == 0) {
            sawByList = true;
            setByVal(value, CT_DAY_OF_MONTH);
        } else if (::strcasecmp(key, "BYYEARDAY") == 0) {
            sawByList = true;
            setByVal(value, CT_DAY_OF_YEAR);
        } else if (::strcasecmp(key, "BYWEEKNO") == 0) {
            sawByList = true;
            setByVal(value, CT_WEEK_NUMBER);
        } else if (::strcasecmp(key, "BYMONTH") == 0) {
            sawByList = true;
            setByVal(value, CT_MONTH);
        } else if (::strcasecmp(key, "BYDAY") == 0) {
            sawByList = true;
            char* item = value;
            for (;;) {
                char* comma = std::strchr(item, ',');
                if (comma == nullptr && *item == 0)
                    break;
                if (comma != nullptr)
                    *comma = 0;
                int ordinal = 0;
                if (*item == '+' || *item == '-' || (*item >= '0' && *item <= '9'))
                    ordinal = std::atoi(item);
                const char* name = item;
                while (*name != 0
                    && !(static_cast<unsigned char>(*name) >= 65
                        && static_cast<unsigned char>(*name) <= 127))
                    ++name;
                const int day = fromDayName(name);
                if (day != 0)
                    byValues[CT_WEEKDAY].push_back(int(unsigned(ordinal) * 256u) + day);
                if (comma == nullptr)
                    break;
                item = comma + 1;
            }
        } else if (::strcasecmp(key, "BYSETPOS") == 0) {
            sawSetPos = true;
            appendList(value, BySetPos);
        } else if (::strcasecmp(key, "WKST") == 0) {
            weekStart = fromDayName(value);
        }
    }
    valid = frequency != -1 && (!sawSetPos || sawByList);
}

void RRule::parseVCalendar(char* text)
{
    char* save = nullptr;
    char* token = utils::k_strtok_r(text, " \t", &save);
    if (token == nullptr)
        return;
    enum Kind {
        None,
        Minutely,
        Daily,
        Weekly,
        MonthlyByPos,
        MonthlyByDay,
        YearlyByMonth,
        YearlyByDay
    };
    Kind kind = None;
    if (std::strlen(token) < 20) {
        char letters[20] = {0};
        int number = 0;
        if (std::sscanf(token, "%19[A-Z]%d", letters, &number) != 2)
            return;
        interval = number;
        static const struct {
            const char* letters;
            Kind kind;
            int frequency;
        } kinds[] = {
            {"M", Minutely, TM_MINUTE},
            {"D", Daily, TM_DAY},
            {"W", Weekly, TM_WEEK},
            {"MP", MonthlyByPos, TM_MONTH},
            {"MD", MonthlyByDay, TM_MONTH},
            {"YM", YearlyByMonth, TM_YEAR},
            {"YD", YearlyByDay, TM_YEAR},
        };
        for (const auto& k : kinds) {
            if (std::strcmp(letters, k.letters) == 0) {
                kind = k.kind;
                frequency = k.frequency;
            }
        }
        if (kind == None)
            return;
    }
    int ordinal = 0;
    while ((token = utils::k_strtok_r(nullptr, " \t", &save)) != nullptr) {
        const size_t length = std::strlen(token);
        if (length >= 20)
            continue;
        const bool looksLikeDate = length >= 9;
        if (looksLikeDate)
            until = readEndDate(token);
        if (token[0] == '#') {
            count = std::atoi(token + 1);
            if (count == 0)
                count = -1;
            break;
        }
        if (looksLikeDate)
            continue;
        int number = 0;
        char after = 0;
        if (std::sscanf(token, "%d%c", &number, &after) == 2) {
            ordinal = after == '-' ? -number : number;
            if (kind == MonthlyByDay)
                byValues[CT_DAY_OF_MONTH].push_back(ordinal);
            continue;
        }
        number = std::atoi(token);
        if (number != 0) {
            if (kind == YearlyByDay)
                byValues[CT_DAY_OF_YEAR].push_back(number);
            else if (kind == YearlyByMonth)
                byValues[CT_MONTH].push_back(number);
            else if (kind == MonthlyByDay)
                byValues[CT_DAY_OF_MONTH].push_back(number);
            continue;
        }
        if (kind == MonthlyByDay && ::strcasecmp(token, "LD") == 0) {
            byValues[CT_DAY_OF_MONTH].push_back(-1);
            continue;
        }
        if (kind == Daily || kind == Weekly || kind == MonthlyByPos) {
            const int day = fromDayName(token);
            if (day != 0)
                byValues[CT_WEEKDAY].push_back(int(unsigned(ordinal) * 256u) + day);
        }
    }
}

std::string RRule::getRRule() const
{
    if (!valid || frequency < 0 || frequency > 6)
        return std::string();
    std::string out = "FREQ=";
    out += frequencyNames[frequency];
    if (!xUntil.isNull()) {
        out += ";X-UNTIL=";
        out += xUntil.toIsoString(0);
    }
    if (!until.isNull()) {
        out += ";UNTIL=";
        out += until.toIsoString(0);
    } else if (count >= 1) {
        out += ";COUNT=";
        appendNumber(out, count);
    }
    if (interval >= 2) {
        out += ";INTERVAL=";
        appendNumber(out, interval);
    }
    writeList(out, "BYMONTH", byValues[CT_MONTH]);
    writeList(out, "BYWEEKNO", byValues[CT_WEEK_NUMBER]);
    writeList(out, "BYYEARDAY", byValues[CT_DAY_OF_YEAR]);
    writeList(out, "BYMONTHDAY", byValues[CT_DAY_OF_MONTH]);
    if (!byValues[CT_WEEKDAY].empty()) {
        out += ";BYDAY=";
        for (size_t i = 0; i < byValues[CT_WEEKDAY].size(); ++i) {
            const int code = byValues[CT_WEEKDAY][i];
            if (i > 0)
                out += ',';
            if ((code >> 8) != 0)
                appendNumber(out, code >> 8);
            out += dayName(code & 0xff);
        }
    }
    writeList(out, "BYHOUR", byValues[CT_HOUR]);
    writeList(out, "BYMINUTE", byValues[CT_MINUTE]);
    writeList(out, "BYSECOND", byValues[CT_SECOND]);
    writeList(out, "BYSETPOS", byValues[BySetPos]);
    if (weekStart != KDateTime::Monday) {
        out += ";WKST=";
        out += dayName(weekStart);
    }
    return out;
}

std::string RRule::getSimpleRRule() const
{
    if (!valid)
        return std::string();
    std::string out;
    switch (frequency) {
    case TM_YEAR:
        out = byValues[CT_MONTH].empty() ? "YD" : "YM";
        break;
    case TM_MONTH:
        out = byValues[CT_WEEKDAY].empty() ? "MD" : "MP";
        break;
    case TM_WEEK:
        out = "W";
        break;
    case TM_DAY:
        out = "D";
        break;
    case TM_MINUTE:
        out = "M";
        break;
    default:
        return std::string();
    }
    appendNumber(out, interval);
    for (int list : {CT_MONTH, CT_WEEK_NUMBER, CT_DAY_OF_YEAR, CT_DAY_OF_MONTH}) {
        for (int value : byValues[list]) {
            out += ' ';
            appendNumber(out, value);
        }
    }
    for (int code : byValues[CT_WEEKDAY]) {
        const int ordinal = code >> 8;
        if (ordinal < 0) {
            out += ' ';
            appendNumber(out, -ordinal);
            out += '-';
        } else if (ordinal > 0) {
            out += ' ';
            appendNumber(out, ordinal);
            out += '+';
        }
        out += ' ';
        out += dayName(code & 0xff);
    }
    if (!until.isNull()) {
        out += ' ';
        out += until.toIsoString(0);
    } else if (count == -1) {
        out += " #0";
    } else {
        out += " #";
        appendNumber(out, count);
    }
    return out;
}

RRule::iterator RRule::begin(const KDateTime& start, bool includeStart) const
{
    return iterator(this, start, includeStart);
}

RRule::iterator RRule::end() const
{
    return iterator();
}

// ---------------------------------------------------------------------------
// Occurrence counts and end dates

int RRule::getCount(const KDateTime& start, bool includeStart, KDateTime end) const
{
    if (count >= 0)
        return count;
    if (until.isNull() && end.isNull())
        return -1;
    if (!until.isNull())
        end = until;
    int n = 0;
    const iterator last = this->end();
    for (iterator it = begin(start, includeStart); it != last && *it <= end; it++)
        ++n;
    return n;
}

int RRule::computeCount(const KDateTime& start, const KDateTime& end, bool includeStart) const
{
    if (until.isNull() && end.isNull())
        return count;
    int n = 0;
    const iterator last = this->end();
    for (iterator it = begin(start, includeStart); it != last; it++, ++n) {
        // A null end sets no bound of its own: UNTIL, COUNT and the cap remain.
        if (!end.isNull() && *it >= end)
            break;
        if (!until.isNull() && *it > until)
            break;
        if (count >= 0 && n >= count)
            break;
        if (n > 9999)
            break;
    }
    return n;
}

KDateTime RRule::getUntil(const KDateTime& start, bool includeStart, int n) const
{
    if (!until.isNull())
        return until;
    if (count == -1 && n == -1)
        return KDateTime::null;
    const int limit = count != -1 ? count : n;
    iterator it = begin(start, includeStart);
    const iterator last = end();
    KDateTime result = *it;
    for (int i = 0; i < limit; ++i) {
        if (it == last)
            break;
        result = *it;
        ++it;
    }
    return result;
}

} // namespace tavir::timezone
