#include "timezone/TimeZoneKeeper.h"

#include "timezone/TimeZoneTables.h"
#include "tiny/KMutex.h"
#include "utils/SingletonFactory.h"

namespace tavir::timezone {

namespace {

std::vector<TimeZone> zonesFrom(const tables::RawZone* rows, unsigned count)
{
    std::vector<TimeZone> zones;
    zones.reserve(count);
    for (unsigned i = 0; i < count; ++i) {
        const tables::RawZone& r = rows[i];
        zones.emplace_back(r.name, r.stdOffset, r.dstOffset, r.stdOnset, r.dstOnset, r.stdRRule,
            r.dstRRule, r.cdoIds[0], r.cdoIds[1], r.cdoIds[2], r.cdoIds[3]);
    }
    return zones;
}

} // namespace

const std::vector<TimeAbbr>& TimeZoneKeeper::timeAbbr_default()
{
    static const std::vector<TimeAbbr> rows = [] {
        std::vector<TimeAbbr> v;
        v.reserve(tables::abbreviationCount);
        for (const tables::RawAbbr& r : tables::abbreviationRows)
            v.emplace_back(r.abbreviation, r.offset, r.daylight);
        return v;
    }();
    return rows;
}

const std::vector<TimeZone>& TimeZoneKeeper::timeZones_default()
{
    static const std::vector<TimeZone> rows
        = zonesFrom(tables::displayZoneRows, tables::displayZoneCount);
    return rows;
}

const std::vector<TimeZone>& TimeZoneKeeper::unixTimeZones_default()
{
    static const std::vector<TimeZone> rows
        = zonesFrom(tables::olsonZoneRows, tables::olsonZoneCount);
    return rows;
}

const std::vector<std::string>& TimeZoneKeeper::cdoToUnix_default()
{
    static const std::vector<std::string> rows(
        tables::cdoNameRows, tables::cdoNameRows + tables::cdoNameCount);
    return rows;
}

tiny::KMutex& TimeZoneKeeper::getInstanceMutex()
{
    static tiny::KMutex mutex;
    return mutex;
}

namespace {

// Builds the tables and the mutex in this order before main runs, so that
// they are destroyed after everything made later (the keeper included).
const bool tablesBuilt = [] {
    TimeZoneKeeper::timeAbbr_default();
    TimeZoneKeeper::timeZones_default();
    TimeZoneKeeper::unixTimeZones_default();
    TimeZoneKeeper::cdoToUnix_default();
    TimeZoneKeeper::getInstanceMutex();
    return true;
}();

} // namespace

TimeZoneKeeper* TimeZoneKeeper::getInstance()
{
    return utils::SingletonFactory<TimeZoneKeeper, utils::DestroyAtExit>::getInstance();
}

TimeZoneKeeper::TimeZoneKeeper()
    : timeAbbrs(timeAbbr_default())
    , timeZones(timeZones_default())
    , unixZones(unixTimeZones_default())
    , cdoToUnix(cdoToUnix_default())
{
    (void)tablesBuilt;
}

TimeZoneKeeper::~TimeZoneKeeper() = default;

void TimeZoneKeeper::markUsed()
{
    if (!arraysUsed) {
        tiny::KMutexLocker lock(getInstanceMutex());
        arraysUsed = true;
    }
}

std::vector<TimeAbbr>& TimeZoneKeeper::getTimeAbbrs()
{
    markUsed();
    return timeAbbrs;
}

std::vector<TimeZone>& TimeZoneKeeper::getTimeZones()
{
    markUsed();
    return timeZones;
}

std::vector<TimeZone>& TimeZoneKeeper::getUnixZones()
{
    markUsed();
    return unixZones;
}

std::vector<std::string>& TimeZoneKeeper::getCdoToUnix()
{
    markUsed();
    return cdoToUnix;
}

const TimeZone* TimeZoneKeeper::getDefaultTimeZones(size_t* count) const
{
    const std::vector<TimeZone>& rows = timeZones_default();
    if (count)
        *count = rows.size();
    return rows.data();
}

const TimeZone* TimeZoneKeeper::getDefaultUnixZones(size_t* count) const
{
    const std::vector<TimeZone>& rows = unixTimeZones_default();
    if (count)
        *count = rows.size();
    return rows.data();
}

const std::string* TimeZoneKeeper::getDefaultCdoToUnix(size_t* count) const
{
    const std::vector<std::string>& rows = cdoToUnix_default();
    if (count)
        *count = rows.size();
    return rows.data();
}

std::string TimeZoneKeeper::getUnixTzidFromCdoId(int id) const
{
    // Entry 52 is empty in the built-in table; an empty name is no zone.
    if (id >= 0 && static_cast<size_t>(id) < cdoToUnix.size() && id != 52 && !cdoToUnix[id].empty())
        return cdoToUnix[id];
    return "Etc/GMT";
}

} // namespace tavir::timezone
