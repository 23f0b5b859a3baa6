#pragma once
#include <string>
#include <vector>

namespace tavir::timezone {

// One zone of the zone tables as a row of text: its name, the standard and
// daylight offsets ("+0530" or an abbreviation such as "NZST"), the local
// onsets of both observances under the present rules ("19961027T030000"),
// their yearly RRULEs, and the CDO zone ids that stand for it, main one first.
class TimeZone {
public:
    TimeZone() = default;
    // The first id is always kept (even -1); the others only when >= 0.
    TimeZone(const char* zoneName, const char* standardOffset, const char* daylightOffset,
        const char* standardOnset, const char* daylightOnset, const char* standardRule,
        const char* daylightRule, int cdoId1, int cdoId2, int cdoId3, int cdoId4);
    TimeZone(const TimeZone&) = default;
    TimeZone& operator=(const TimeZone&) = default;

    void clear();

    std::string name;
    std::string stdOffset;
    std::string dstOffset;
    std::string stdOnset;
    std::string dstOnset;
    std::string stdRRule;
    std::string dstRRule;
    std::vector<int> cdoIds;
};

} // namespace tavir::timezone
