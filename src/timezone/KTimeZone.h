#pragma once
// The library's time zone, modelled on an iCalendar VTIMEZONE: an identifier
// and a list of observances (TZProp), each saying from which onset, under
// which yearly rule, the zone keeps standard or daylight time and at which
// offsets from GMT.
#include <string>
#include <vector>

#include "timezone/KDateTime.h"
#include "timezone/KTimeSpan.h"
#include "timezone/RRule.h"

namespace tavir::timezone {

class TimeZone;

// One observance. A user pointer is owned through the two hooks: the free
// hook releases it when the observance goes, the copy hook makes the copy's
// own pointer (no copy hook: the copy's pointer is null).
struct TZProp {
    TZProp() = default;
    TZProp(const TZProp& other);
    // Does not release the pointer this observance held before.
    TZProp& operator=(const TZProp& other);
    ~TZProp();

    bool valid = false;
    int type = 1; // 1 standard time, 2 daylight time
    KDateTime dtStart;
    KTimeSpan offsetFrom;
    KTimeSpan offsetTo;
    std::string reservedText1;
    KDateTime reservedDate;
    RRule rrule;
    std::string reservedText2;
    void* overlapped = nullptr;
    void (*freeOverlapped)(void*) = nullptr;
    void* (*copyOverlapped)(void*) = nullptr;
};

std::string offset2String(const KTimeSpan& span);
// Reads "+0530", "-03:00", "+5" or an abbreviation of the zone tables;
// KTimeSpan::null for anything else.
KTimeSpan offsetFromString(const std::string& text);
// The onset text of a zone table record read as wall-clock time held at
// offset 0; an onset the parser rejects counts as 1970-01-01 00:00:00.
KDateTime onsetFromString(const std::string& text);

class KTimeZone {
public:
    KTimeZone() = default;
    KTimeZone(const KTimeZone& other);
    // Does not release the user pointer this zone held before.
    KTimeZone& operator=(const KTimeZone& other);
    virtual ~KTimeZone();

    const std::string& getTZId() const { return tzId; }
    void setTZId(const std::string& id) { tzId = id; }
    const std::string& getTZUrl() const { return tzUrl; }
    void setTZUrl(const std::string& url) { tzUrl = url; }
    const KDateTime& getLastMod() const { return lastMod; }
    void setLastMod(const KDateTime& when) { lastMod = when; }

    const std::vector<TZProp>& getTZProps() const { return tzProps; }
    // Changes made through this reference leave the stored hash alone.
    std::vector<TZProp>& getTZProps() { return tzProps; }
    void addTZProp(const TZProp& prop);
    void addTZProp(const TZProp& prop, bool clearHash);
    void addTZProps(const std::vector<TZProp>& props);
    // Bit 1 removes the standard observances, bit 2 the daylight ones.
    void clearTZProps(unsigned int mask);

    std::vector<int>& getCdoTimeZoneIds() { return cdoTimeZoneIds; }
    const std::vector<int>& getCdoTimeZoneIds() const { return cdoTimeZoneIds; }
    void setCdoTimeZoneIds(const std::vector<int>& ids) { cdoTimeZoneIds = ids; }

    // The first valid observance of the type; else a copy of the last
    // observance with valid cleared (a default one for an empty list).
    TZProp getStdProp() const;
    TZProp getDstProp() const;
    std::string getStdOffsetString() const;

    bool isValid() const { return !tzId.empty() && !tzProps.empty(); }

    const std::string& getMD5Hash() const { return md5Hash; }
    void computeMD5Hash();
    void clearMD5Hash() { md5Hash.clear(); }

    void* getOverlapped() const { return overlapped; }
    void setOverlapped(void* p) { overlapped = p; }
    void setOverlappedFunctions(void (*freeFn)(void*), void* (*copyFn)(void*))
    {
        freeOverlapped = freeFn;
        copyOverlapped = copyFn;
    }

    static KTimeSpan getTZOffset(const KDateTime& when);
    static std::string getTZOffsetString(const KDateTime& when);
    static std::string offset2String(const KTimeSpan& span);
    // [sign]hhmm or [sign]hhmmss; the length of the text decides the form.
    static KTimeSpan string2Offset(const std::string& text);

    // Zones from the zone tables.
    static KTimeZone fillTZ(const TimeZone& record);
    static KTimeZone fromTimeZone(const TimeZone& record);
    static KTimeZone fillTZ(int index, const std::vector<TimeZone>& table);
    static int findTimeZoneIndexByTZID(const std::string& tzid, const std::vector<TimeZone>& table);
    static std::string GetTimeZoneFromUTC(const std::string& text);
    static KTimeZone fromTZID(const std::string& tzid);
    // The table zone for an identifier, or an invalid zone: fromTZID without
    // the local-machine alias and without the fallbacks to UTC.
    static KTimeZone fromTableTZID(const std::string& tzid);
    static KTimeZone fromUnixTZID(const std::string& tzid);
    // Throws tavir::utils::Exception for a negative id or one no zone holds.
    static KTimeZone fromCdoTimeZoneId(int id);
    static KTimeZone fromCdoIdUnixTimeZone(int id);
    std::string getUnixTZID() const;
    bool unixNameMatch(TimeZone record) const;

    // The machine's own zone, detected once per process.
    static KTimeZone getLocalMachineZone();
    // The operating system's zone name; false when there is none.
    static bool getSystemCurrentTimeZone(std::string& name, std::string& unused);
    // Detection from scratch, without the once-per-process memory; what
    // getLocalMachineZone runs on its first call.
    static KTimeZone detectLocalMachineZone();
    // The folder that stands for "/" when the system's zone configuration is
    // read (/etc/timezone, /etc/localtime, the zoneinfo tree); "" is "/".
    static void setSystemRoot(const std::string& root);
    static std::string getSystemRoot();

private:
    void* overlapped = nullptr;
    void (*freeOverlapped)(void*) = nullptr;
    void* (*copyOverlapped)(void*) = nullptr;
    std::string tzId;
    std::string tzUrl;
    KDateTime lastMod;
    std::vector<TZProp> tzProps;
    std::vector<int> cdoTimeZoneIds;
    std::string md5Hash;
};

} // namespace tavir::timezone
