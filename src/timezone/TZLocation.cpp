#include "timezone/TZLocation.h"

#include <atomic>

#include "timezone/TimeZoneKeeper.h"
#include "tiny/KMutex.h"

namespace tavir::timezone {

tiny::KMutex& locationMutex();

namespace {

void getTZLocationsInner(const std::vector<TimeZone>& records, std::vector<TZLocation>& list)
{
    for (const TimeZone& r : records) {
        TZLocation loc;
        loc.name = r.name;
        loc.cdoIds = r.cdoIds;
        const KTimeSpan s = offsetFromString(r.stdOffset);
        loc.standard.valid = true;
        loc.standard.type = 1;
        loc.daylight.type = 2;
        if (!r.dstOffset.empty()) {
            const KTimeSpan d = offsetFromString(r.dstOffset);
            loc.standard.dtStart = onsetFromString(r.stdOnset);
            loc.standard.offsetFrom = d;
            loc.standard.offsetTo = s;
            loc.standard.rrule.setRRule(r.stdRRule.c_str());
            loc.daylight.valid = true;
            loc.daylight.dtStart = onsetFromString(r.dstOnset);
            loc.daylight.offsetFrom = s;
            loc.daylight.offsetTo = d;
            loc.daylight.rrule.setRRule(r.dstRRule.c_str());
        } else {
            loc.fixedOffset = s;
            loc.standard.dtStart = KDateTime(1, 1, 1970, 0, 0, 1, KTimeSpan::fromSecondCount(0));
            loc.standard.offsetFrom = s;
            loc.standard.offsetTo = s;
        }
        list.push_back(loc);
    }
}

struct LocationList {
    std::vector<TZLocation> list;
    // Set once the list is whole; from then on it is read without the lock.
    std::atomic<bool> locFilled{false};
};

std::vector<TZLocation>& fill(LocationList& locations, bool withOlson)
{
    if (locations.locFilled.load(std::memory_order_acquire))
        return locations.list;
    tiny::KMutexLocker lock(locationMutex());
    if (!locations.locFilled.load(std::memory_order_relaxed)) {
        TimeZoneKeeper* keeper = TimeZoneKeeper::getInstance();
        const std::vector<TimeZone>& display = keeper->getTimeZones();
        const std::vector<TimeZone>& olson = keeper->getUnixZones();
        locations.list.reserve(display.size() + (withOlson ? olson.size() : 0));
        getTZLocationsInner(display, locations.list);
        if (withOlson)
            getTZLocationsInner(olson, locations.list);
        locations.locFilled.store(true, std::memory_order_release);
    }
    return locations.list;
}

} // namespace

boost::shared_ptr<KTimeZone> TZLocation::mkTimeZone() const
{
    boost::shared_ptr<KTimeZone> zone(new KTimeZone());
    if (standard.valid) {
        zone->setTZId(name);
        zone->setCdoTimeZoneIds(cdoIds);
        zone->addTZProp(standard);
        zone->clearMD5Hash();
        if (daylight.valid) {
            zone->addTZProp(daylight);
            zone->clearMD5Hash();
        }
    }
    return zone;
}

std::vector<TZLocation>& getTZLocations()
{
    static LocationList locations;
    return fill(locations, false);
}

std::vector<TZLocation>& getTZLocationsIncludeUnixZones()
{
    static LocationList locations;
    return fill(locations, true);
}

} // namespace tavir::timezone
