// Zones built from the zone tables, and the search for the table record that
// fits a zone identifier, a CDO zone id or an offset.
#include <cctype>
#include <cstdlib>
#include <strings.h>

#include "timezone/KTimeZone.h"
#include "timezone/TimeZoneKeeper.h"
#include "utils/Exception.h"
#include "utils/StringUtils.h"

namespace tavir::timezone {

namespace {

const char* const utcDisplayName = "(UTC) Universal Coordinated Time";

bool contains(const std::string& haystack, const std::string& needle)
{
    return !needle.empty() && utils::stristr(haystack.c_str(), needle.c_str()) != nullptr;
}

// The index of the first record whose name equals the identifier, letters
// compared without case; -1 when none does.
int findExact(const std::string& tzid, const std::vector<TimeZone>& table)
{
    for (size_t i = 0; i < table.size(); ++i) {
        if (strcasecmp(table[i].name.c_str(), tzid.c_str()) == 0)
            return static_cast<int>(i);
    }
    return -1;
}

} // namespace

KTimeZone KTimeZone::fillTZ(const TimeZone& record)
{
    KTimeZone zone;
    zone.tzId = record.name;
    zone.cdoTimeZoneIds = record.cdoIds;
    KTimeSpan s = record.stdOffset.empty() ? KTimeSpan::null : offsetFromString(record.stdOffset);
    KTimeSpan d = record.dstOffset.empty() ? KTimeSpan::null : offsetFromString(record.dstOffset);

    TZProp standard;
    TZProp daylight;
    bool haveStd = false;
    bool haveDst = false;
    if (!record.stdOnset.empty() && !s.isNull()) {
        standard.valid = true;
        standard.type = 1;
        standard.dtStart = onsetFromString(record.stdOnset);
        standard.rrule.setRRule(record.stdRRule.c_str());
        standard.offsetTo = s;
        standard.offsetFrom = d.isNull() ? s : d;
        haveStd = true;
    }
    if (!record.dstOnset.empty() && !d.isNull()) {
        daylight.valid = true;
        daylight.type = 2;
        daylight.dtStart = onsetFromString(record.dstOnset);
        daylight.rrule.setRRule(record.dstRRule.c_str());
        daylight.offsetTo = d;
        daylight.offsetFrom = s.isNull() ? d : s;
        haveDst = true;
    }
    if (!haveStd && !haveDst) {
        // One offset all along; one second past midnight, as zones have
        // always been written.
        standard.valid = true;
        standard.type = 1;
        standard.dtStart = KDateTime(1, 1, 1970, 0, 0, 1, KTimeSpan::fromSecondCount(0));
        standard.offsetFrom = standard.offsetTo = s;
        haveStd = true;
    }
    if (haveStd)
        zone.addTZProp(standard);
    if (haveDst)
        zone.addTZProp(daylight);
    return zone;
}

KTimeZone KTimeZone::fromTimeZone(const TimeZone& record)
{
    return fillTZ(record);
}

KTimeZone KTimeZone::fillTZ(int index, const std::vector<TimeZone>& table)
{
    if (index < 0 || static_cast<size_t>(index) >= table.size())
        return KTimeZone();
    return fillTZ(table[index]);
}

std::string KTimeZone::GetTimeZoneFromUTC(const std::string& text)
{
    if (text.size() < 2)
        return std::string();
    size_t slash = text.find('/');
    if (slash == std::string::npos || slash + 1 == text.size())
        return std::string();
    return text.substr(slash + 1);
}

int KTimeZone::findTimeZoneIndexByTZID(const std::string& tzid, const std::vector<TimeZone>& table)
{
    if (tzid.empty() || table.empty())
        return -1;
    int best = -1;
    size_t bestLength = 0;
    auto consider = [&](size_t i) {
        if (best < 0 || table[i].name.size() > bestLength) {
            best = static_cast<int>(i);
            bestLength = table[i].name.size();
        }
    };
    // 1: the record's whole name occurs in the identifier
    for (size_t i = 0; i < table.size(); ++i) {
        if (contains(tzid, table[i].name))
            consider(i);
    }
    if (best >= 0)
        return best;
    // 2: the part after the record name's first '/'
    for (size_t i = 0; i < table.size(); ++i) {
        if (contains(tzid, GetTimeZoneFromUTC(table[i].name)))
            consider(i);
    }
    if (best >= 0)
        return best;
    // 3: one comma-separated piece of the record's name (pieces after the
    // first keep their leading blank)
    for (size_t i = 0; i < table.size(); ++i) {
        const std::string& name = table[i].name;
        size_t start = 0;
        while (start <= name.size()) {
            size_t comma = name.find(',', start);
            std::string piece = name.substr(
                start, comma == std::string::npos ? std::string::npos : comma - start);
            if (contains(tzid, piece)) {
                consider(i);
                break;
            }
            if (comma == std::string::npos)
                break;
            start = comma + 1;
        }
    }
    return best;
}

KTimeZone KTimeZone::fromUnixTZID(const std::string& tzid)
{
    const std::vector<TimeZone>& olson = TimeZoneKeeper::getInstance()->getUnixZones();
    return fillTZ(findTimeZoneIndexByTZID(tzid, olson), olson);
}

// A record named exactly so (display names first, then Olson names), and
// only then the substring phases: a display name found in the identifier,
// then an Olson name found in it. By substrings alone an Olson name that
// holds a shorter display name would get that zone: "America/El_Salvador"
// (-06:00) holds the display record "Salvador" (Brazil, -03:00), which the
// display phases find before the Olson table is asked. A name of its own
// must win over a shorter name found inside it; an identifier that is no
// record's whole name is looked up as before.
KTimeZone KTimeZone::fromTableTZID(const std::string& tzid)
{
    if (tzid.empty())
        return KTimeZone();
    TimeZoneKeeper* keeper = TimeZoneKeeper::getInstance();
    const std::vector<TimeZone>& display = keeper->getTimeZones();
    const std::vector<TimeZone>& olson = keeper->getUnixZones();
    int index = findExact(tzid, display);
    if (index >= 0)
        return KTimeZone::fillTZ(index, display);
    index = findExact(tzid, olson);
    if (index >= 0)
        return KTimeZone::fillTZ(index, olson);
    index = KTimeZone::findTimeZoneIndexByTZID(tzid, display);
    if (index >= 0)
        return KTimeZone::fillTZ(index, display);
    return KTimeZone::fromUnixTZID(tzid);
}

KTimeZone KTimeZone::fromTZID(const std::string& tzid)
{
    if (tzid.empty() || strcasecmp(tzid.c_str(), "server") == 0)
        return getLocalMachineZone();
    KTimeZone zone = fromTableTZID(tzid);
    if (zone.isValid())
        return zone;

    const std::vector<TimeZone>& display = TimeZoneKeeper::getInstance()->getTimeZones();
    int utcIndex = findTimeZoneIndexByTZID(utcDisplayName, display);
    KTimeZone utc = utcIndex >= 0 ? fillTZ(utcIndex, display) : zone;

    const unsigned char c0 = static_cast<unsigned char>(tzid[0]);
    const unsigned char c1 = tzid.size() > 1 ? static_cast<unsigned char>(tzid[1]) : 0;
    if (std::isdigit(c0) || ((c0 == '+' || c0 == '-') && std::isdigit(c1))) {
        // A GMT offset in seconds.
        int n = std::atoi(tzid.c_str());
        TZProp standard = utc.getStdProp();
        if (standard.valid && standard.offsetTo.toSecondCount() == n)
            return utc;
        for (const TimeZone& record : display) {
            if (offsetFromString(record.stdOffset).toSecondCount() == n)
                return fillTZ(record);
        }
    }
    return utc;
}

KTimeZone KTimeZone::fromCdoTimeZoneId(int id)
{
    if (id < 0)
        throw utils::Exception("Requested CDO time zone id cannot be negative number.");
    for (const TimeZone& record : TimeZoneKeeper::getInstance()->getTimeZones()) {
        for (int held : record.cdoIds) {
            if (held == id)
                return fillTZ(record);
        }
    }
    throw utils::Exception("Requested CDO time zone id was not found.");
}

KTimeZone KTimeZone::fromCdoIdUnixTimeZone(int id)
{
    return fromUnixTZID(TimeZoneKeeper::getInstance()->getUnixTzidFromCdoId(id));
}

bool KTimeZone::unixNameMatch(TimeZone record) const
{
    std::string place = record.name;
    size_t slash = place.rfind('/');
    if (slash != std::string::npos && slash + 1 < place.size())
        place = place.substr(slash + 1);
    for (char& c : place) {
        if (c == '_')
            c = ' ';
    }
    return contains(tzId, place);
}

std::string KTimeZone::getUnixTZID() const
{
    const std::string offset = getStdOffsetString();
    const std::string stdRule = getStdProp().rrule.getRRule();
    const std::string dstRule = getDstProp().rrule.getRRule();
    const std::vector<TimeZone>& olson = TimeZoneKeeper::getInstance()->getUnixZones();
    int best = -1;
    int bestScore = 0;
    int lastSameOffset = -1;
    for (size_t i = 0; i < olson.size(); ++i) {
        const TimeZone& record = olson[i];
        if (record.name == tzId)
            return tzId;
        if (offset != record.stdOffset)
            continue;
        int score
            = (stdRule == record.stdRRule) + (dstRule == record.dstRRule) + unixNameMatch(record);
        if (score == 3)
            return record.name;
        if (score > bestScore) {
            best = static_cast<int>(i);
            bestScore = score;
        }
        lastSameOffset = static_cast<int>(i);
    }
    if (best >= 0)
        return olson[best].name;
    if (lastSameOffset >= 0)
        return olson[lastSameOffset].name;
    return "Etc/GMT";
}

} // namespace tavir::timezone
