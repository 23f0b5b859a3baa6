#pragma once
// Offsets of zones with one standard and one daylight observance, worked out
// once per zone and UTC year: the two onsets of the year and the offsets
// between and outside them.
#include <cstdint>
#include <list>
#include <map>
#include <string>

#include <boost/shared_ptr.hpp>

#include "timezone/KTimeSpan.h"
#include "tiny/KMutex.h"

namespace tavir::timezone {

class KTimeZone;

class KTimeZoneCache {
public:
    struct CacheRow {
        KTimeSpan offsetInside; // from spanStart (inclusive) to spanEnd
        KTimeSpan offsetOutside; // every other instant of the year
        int64_t spanStart = 0;
        int64_t spanEnd = 0;
    };

    // Holds at most `rowCount` rows, the oldest dropped first.
    explicit KTimeZoneCache(unsigned int rowCount);
    ~KTimeZoneCache();
    KTimeZoneCache(const KTimeZoneCache&) = delete;
    KTimeZoneCache& operator=(const KTimeZoneCache&) = delete;

    // The zone's offset at the instant (UTC seconds); KTimeSpan::null when
    // the zone is not made of exactly two observances with valid rules or
    // its rules give no onset in the instant's year. May compute the zone's
    // MD5 hash.
    KTimeSpan getOffset(int64_t seconds, const boost::shared_ptr<KTimeZone>& zone);

    // The year, at least four digits, followed by the zone hash.
    static std::string getCacheKey(int year, const std::string& hash);

    // Number of rows held.
    size_t size() const;

private:
    unsigned int capacity;
    std::map<std::string, CacheRow> rows;
    std::list<std::string> keyOrder; // oldest first
    mutable tiny::KMutex mutex;
};

} // namespace tavir::timezone
