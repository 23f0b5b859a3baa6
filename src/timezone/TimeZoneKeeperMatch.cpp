// Mapping any zone to a known zone of the tables, and replacing the tables.
#include "timezone/TimeZoneKeeper.h"
#include "tiny/KMutex.h"

namespace tavir::timezone {

bool TimeZoneKeeper::setTimeArrays(const std::vector<TimeAbbr>& abbrs,
    const std::vector<TimeZone>& zones, const std::vector<TimeZone>& newUnixZones,
    const std::vector<std::string>& newCdoToUnix)
{
    if (arraysUsed)
        return false;
    tiny::KMutexLocker lock(getInstanceMutex());
    if (arraysUsed)
        return false;
    timeAbbrs = abbrs;
    timeZones = zones;
    unixZones = newUnixZones;
    cdoToUnix = newCdoToUnix;
    initZoneFixStructs();
    return true;
}

void TimeZoneKeeper::initZoneFixStructs()
{
    for (const std::vector<TimeZone>* table : {&timeZones, &unixZones}) {
        for (const TimeZone& record : *table) {
            KTimeZone zone = KTimeZone::fromTimeZone(record);
            bool known = false;
            for (const KTimeZone& fixed : fixZones) {
                if (compareZones(zone, fixed)) {
                    known = true;
                    break;
                }
            }
            if (!known)
                fixZones.push_back(zone);
            fixZonesByName.emplace(record.name, zone); // never replaces
        }
    }
}

bool TimeZoneKeeper::compareProps(const TZProp& a, const TZProp& b)
{
    if (a.valid != b.valid)
        return false;
    if (!a.valid)
        return true;
    if (a.offsetFrom.toSecondCount() != b.offsetFrom.toSecondCount()
        || a.offsetTo.toSecondCount() != b.offsetTo.toSecondCount())
        return false;
    if (a.rrule.valid != b.rrule.valid)
        return false;
    if (!a.rrule.valid)
        return true;
    if (a.rrule.frequency != b.rrule.frequency || a.rrule.interval != b.rrule.interval
        || a.rrule.weekStart != b.rrule.weekStart)
        return false;
    for (int k = 0; k <= 8; ++k) {
        if (a.rrule.byValues[k] != b.rrule.byValues[k])
            return false;
    }
    return true;
}

bool TimeZoneKeeper::compareZones(const KTimeZone& a, const KTimeZone& b)
{
    return compareProps(a.getStdProp(), b.getStdProp())
        && compareProps(a.getDstProp(), b.getDstProp());
}

boost::shared_ptr<KTimeZone> TimeZoneKeeper::findCorrectZone(const KTimeZone& zone)
{
    auto named = fixZonesByName.find(zone.getTZId());
    if (named != fixZonesByName.end())
        return boost::shared_ptr<KTimeZone>(new KTimeZone(named->second));
    for (const KTimeZone& fixed : fixZones) {
        if (compareZones(zone, fixed))
            return boost::shared_ptr<KTimeZone>(new KTimeZone(fixed));
    }
    return boost::shared_ptr<KTimeZone>();
}

} // namespace tavir::timezone
