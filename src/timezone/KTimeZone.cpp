#include "timezone/KTimeZone.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <strings.h>

#include "crypto/StreamDigest.h"
#include "timezone/TimeZoneKeeper.h"

namespace tavir::timezone {

// ---- TZProp -----------------------------------------------------------------

TZProp::TZProp(const TZProp& other)
    : valid(other.valid)
    , type(other.type)
    , dtStart(other.dtStart)
    , offsetFrom(other.offsetFrom)
    , offsetTo(other.offsetTo)
    , reservedText1(other.reservedText1)
    , reservedDate(other.reservedDate)
    , rrule(other.rrule)
    , reservedText2(other.reservedText2)
    , overlapped(other.overlapped && other.copyOverlapped ? other.copyOverlapped(other.overlapped)
                                                          : nullptr)
    , freeOverlapped(other.freeOverlapped)
    , copyOverlapped(other.copyOverlapped)
{
}

TZProp& TZProp::operator=(const TZProp& other)
{
    if (this == &other)
        return *this;
    valid = other.valid;
    type = other.type;
    dtStart = other.dtStart;
    offsetFrom = other.offsetFrom;
    offsetTo = other.offsetTo;
    reservedText1 = other.reservedText1;
    reservedDate = other.reservedDate;
    rrule = other.rrule;
    reservedText2 = other.reservedText2;
    overlapped = other.overlapped && other.copyOverlapped ? other.copyOverlapped(other.overlapped)
                                                          : nullptr;
    freeOverlapped = other.freeOverlapped;
    copyOverlapped = other.copyOverlapped;
    return *this;
}

TZProp::~TZProp()
{
    if (overlapped && freeOverlapped)
        freeOverlapped(overlapped);
}

// ---- Offset texts -----------------------------------------------------------

std::string offset2String(const KTimeSpan& span)
{
    long long s = span.isNull() ? 0 : span.toSecondCount64();
    char sign = s < 0 ? '-' : '+';
    long long a = s < 0 ? -s : s;
    int hours = static_cast<int>(a / 3600 % 24);
    int minutes = static_cast<int>(a / 60 % 60);
    int seconds = static_cast<int>(a % 60);
    char buf[16];
    if (seconds < 1)
        std::snprintf(buf, sizeof buf, "%c%02d%02d", sign, hours, minutes);
    else
        std::snprintf(buf, sizeof buf, "%c%02d%02d%02d", sign, hours, minutes, seconds);
    return buf;
}

KDateTime onsetFromString(const std::string& text)
{
    int64_t seconds = 0;
    int64_t offset = 0;
    bool dateOnly = false;
    KDateTime::parseIsoString(text, seconds, offset, dateOnly, nullptr);
    return KDateTime::from64(seconds);
}

KTimeSpan offsetFromString(const std::string& text)
{
    const std::vector<TimeAbbr>& abbrs = TimeZoneKeeper::getInstance()->getTimeAbbrs();
    const char* p = text.c_str();
    bool negative = false;
    if (*p == '+' || *p == '-') {
        if (!std::isdigit(static_cast<unsigned char>(p[1])))
            return KTimeSpan::null;
        negative = *p == '-';
        ++p;
    }
    if (!std::isdigit(static_cast<unsigned char>(*p))) {
        size_t run = 0;
        while (std::isalpha(static_cast<unsigned char>(p[run])))
            ++run;
        for (const TimeAbbr& a : abbrs) {
            if (a.abbreviation.size() == run && run > 0
                && strncasecmp(a.abbreviation.c_str(), p, run) == 0)
                return KTimeSpan::fromIsoString(a.offset);
        }
        return KTimeSpan::null;
    }
    long v = 0;
    int digits = 0;
    while (digits < 7 && std::isdigit(static_cast<unsigned char>(*p))) {
        v = v * 10 + (*p - '0');
        ++digits;
        ++p;
        if (std::ispunct(static_cast<unsigned char>(*p)))
            ++p;
    }
    int hours = 0, minutes = 0, seconds = 0;
    if (digits <= 2) {
        hours = static_cast<int>(v);
    } else if (digits <= 4) {
        hours = static_cast<int>(v / 100);
        minutes = static_cast<int>(v % 100);
    } else {
        hours = static_cast<int>(v / 10000);
        minutes = static_cast<int>(v % 10000 / 100);
        seconds = static_cast<int>(v % 100);
    }
    return KTimeSpan(0, hours, minutes, seconds, negative);
}

std::string KTimeZone::offset2String(const KTimeSpan& span)
{
    return tavir::timezone::offset2String(span);
}

KTimeSpan KTimeZone::string2Offset(const std::string& text)
{
    int n = std::atoi(text.c_str());
    long a = n < 0 ? -static_cast<long>(n) : n;
    int hours, minutes, seconds = 0;
    switch (text.size()) {
    case 6:
    case 7:
        hours = static_cast<int>(a / 10000);
        minutes = static_cast<int>(a % 10000 / 100);
        seconds = static_cast<int>(a % 100);
        break;
    case 4:
    case 5:
        hours = static_cast<int>(a / 100);
        minutes = static_cast<int>(a % 100);
        break;
    default:
        return KTimeSpan(0, 0, 0, 0, false);
    }
    return KTimeSpan(0, hours, minutes, seconds, n < 0);
}

KTimeSpan KTimeZone::getTZOffset(const KDateTime& when)
{
    return when.gmtOffset();
}

std::string KTimeZone::getTZOffsetString(const KDateTime& when)
{
    return tavir::timezone::offset2String(getTZOffset(when));
}

// ---- KTimeZone --------------------------------------------------------------

KTimeZone::KTimeZone(const KTimeZone& other)
    : overlapped(
        other.overlapped && other.copyOverlapped ? other.copyOverlapped(other.overlapped) : nullptr)
    , freeOverlapped(other.freeOverlapped)
    , copyOverlapped(other.copyOverlapped)
    , tzId(other.tzId)
    , tzUrl(other.tzUrl)
    , lastMod(other.lastMod)
    , tzProps(other.tzProps)
    , cdoTimeZoneIds(other.cdoTimeZoneIds)
    , md5Hash(other.md5Hash)
{
}

KTimeZone& KTimeZone::operator=(const KTimeZone& other)
{
    if (this == &other)
        return *this;
    overlapped = other.overlapped && other.copyOverlapped ? other.copyOverlapped(other.overlapped)
                                                          : nullptr;
    freeOverlapped = other.freeOverlapped;
    copyOverlapped = other.copyOverlapped;
    tzId = other.tzId;
    tzUrl = other.tzUrl;
    lastMod = other.lastMod;
    tzProps = other.tzProps;
    cdoTimeZoneIds = other.cdoTimeZoneIds;
    md5Hash = other.md5Hash;
    return *this;
}

KTimeZone::~KTimeZone()
{
    if (overlapped && freeOverlapped)
        freeOverlapped(overlapped);
}

void KTimeZone::addTZProp(const TZProp& prop)
{
    tzProps.push_back(prop);
    md5Hash.clear();
}

void KTimeZone::addTZProp(const TZProp& prop, bool clearHash)
{
    tzProps.push_back(prop);
    if (clearHash)
        md5Hash.clear();
}

void KTimeZone::addTZProps(const std::vector<TZProp>& props)
{
    tzProps.insert(tzProps.end(), props.begin(), props.end());
    md5Hash.clear();
}

void KTimeZone::clearTZProps(unsigned int mask)
{
    mask &= 3;
    if (mask == 3) {
        tzProps.clear();
    } else if (mask != 0) {
        int type = static_cast<int>(mask); // 1 standard, 2 daylight
        tzProps.erase(std::remove_if(tzProps.begin(), tzProps.end(),
                          [type](const TZProp& p) { return p.type == type; }),
            tzProps.end());
    }
    md5Hash.clear();
}

namespace {

TZProp findProp(const std::vector<TZProp>& props, int type)
{
    for (const TZProp& p : props) {
        if (p.type == type && p.valid)
            return p;
    }
    TZProp none;
    if (!props.empty())
        none = props.back();
    none.valid = false;
    return none;
}

} // namespace

TZProp KTimeZone::getStdProp() const
{
    return findProp(tzProps, 1);
}

TZProp KTimeZone::getDstProp() const
{
    return findProp(tzProps, 2);
}

std::string KTimeZone::getStdOffsetString() const
{
    TZProp std = getStdProp();
    if (std.valid)
        return tavir::timezone::offset2String(std.offsetTo);
    return tavir::timezone::offset2String(getDstProp().offsetFrom);
}

void KTimeZone::computeMD5Hash()
{
    std::vector<std::string> lines;
    lines.reserve(tzProps.size() * 3);
    for (const TZProp& p : tzProps) {
        const std::string prefix = p.type == 1 ? "STD:" : "DST:";
        lines.push_back(prefix + p.dtStart.toIsoString(12));
        lines.push_back(prefix + tavir::timezone::offset2String(p.offsetTo));
        lines.push_back(prefix + p.rrule.getRRule());
    }
    std::sort(lines.begin(), lines.end());
    crypto::StreamDigestMD5 md5(false);
    for (const std::string& l : lines)
        md5 << l;
    md5.flush();
    // A zone without observances hashes the empty input, not "".
    md5Hash = md5.getAsciiDigest(true);
}

} // namespace tavir::timezone
