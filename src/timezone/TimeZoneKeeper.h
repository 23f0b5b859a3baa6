#pragma once
// The zone database: the process-wide working copies of the built-in zone
// tables (abbreviations, zones by display name, zones by Olson name, Olson
// names by CDO zone id) and the structures that map any zone to a known one.
#include <atomic>
#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

#include "timezone/KTimeZone.h"
#include "timezone/TimeAbbr.h"
#include "timezone/TimeZone.h"

namespace tavir::tiny {
class KMutex;
}

namespace tavir::timezone {

// Plain byte-wise order of names (case counts).
struct LessThanSecondString {
    bool operator()(const std::string& a, const std::string& b) const { return a < b; }
};

class TimeZoneKeeper {
public:
    // The one keeper of the process, made on first use and destroyed at exit.
    static TimeZoneKeeper* getInstance();

    // The working tables. Handing one out fixes all four for good.
    std::vector<TimeAbbr>& getTimeAbbrs();
    std::vector<TimeZone>& getTimeZones();
    std::vector<TimeZone>& getUnixZones();
    std::vector<std::string>& getCdoToUnix();

    // The built-in tables; the count receives the number of rows.
    const TimeZone* getDefaultTimeZones(size_t* count) const;
    const TimeZone* getDefaultUnixZones(size_t* count) const;
    const std::string* getDefaultCdoToUnix(size_t* count) const;

    // The Olson name of a CDO zone id; "Etc/GMT" for an id the table doesn't
    // name.
    std::string getUnixTzidFromCdoId(int id) const;
    int getTzDefinitionVersion() const { return 2541; }

    // Replaces the four working tables and builds the matching structures;
    // only before any table has been handed out (false after that).
    bool setTimeArrays(const std::vector<TimeAbbr>& abbrs, const std::vector<TimeZone>& zones,
        const std::vector<TimeZone>& unixZones, const std::vector<std::string>& cdoToUnix);
    void initZoneFixStructs();
    // Observances, and zones by their standard and daylight observances, are
    // alike when their offsets and rules agree (onsets and names aside).
    static bool compareProps(const TZProp& a, const TZProp& b);
    static bool compareZones(const KTimeZone& a, const KTimeZone& b);
    // A copy of the known zone with the same name, else of the first with the
    // same rules; empty when none (always before setTimeArrays).
    boost::shared_ptr<KTimeZone> findCorrectZone(const KTimeZone& zone);

    // Guards the switch to fixed tables and their replacement.
    static tiny::KMutex& getInstanceMutex();

    // The built-in tables, built once before main runs.
    static const std::vector<TimeAbbr>& timeAbbr_default();
    static const std::vector<TimeZone>& timeZones_default();
    static const std::vector<TimeZone>& unixTimeZones_default();
    static const std::vector<std::string>& cdoToUnix_default();

    TimeZoneKeeper();
    ~TimeZoneKeeper();
    TimeZoneKeeper(const TimeZoneKeeper&) = delete;
    TimeZoneKeeper& operator=(const TimeZoneKeeper&) = delete;

private:
    void markUsed();

    std::vector<TimeAbbr> timeAbbrs;
    std::vector<TimeZone> timeZones;
    std::vector<TimeZone> unixZones;
    std::vector<std::string> cdoToUnix;
    std::atomic<bool> arraysUsed{false};
    std::vector<KTimeZone> fixZones;
    std::map<const std::string, KTimeZone, LessThanSecondString> fixZonesByName;
};

} // namespace tavir::timezone
