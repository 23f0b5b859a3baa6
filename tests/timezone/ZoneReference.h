#pragma once
// A zone's offset computed the long way, the way the date value does it
// without the cache: one candidate onset per observance for the instant's
// UTC year, each observance's rule walked on the zone's local calendar from
// its onset; the latest onset not after the instant decides, or the
// earliest one after it when all lie after it.
#include <cstdint>
#include <vector>

#include "timezone/KTimeZone.h"

namespace tavir::timezone::test {

struct Candidate {
    int64_t onset;
    KTimeSpan offsetFrom;
    KTimeSpan offsetTo;
};

inline int utcYearOf(int64_t t)
{
    return KDateTime::gmTime(t).tm_year + 1900;
}

// The candidates of every observance for instants of UTC year `year`.
inline std::vector<Candidate> referenceCandidates(const KTimeZone& zone, int year)
{
    std::vector<Candidate> out;
    for (const TZProp& p : zone.getTZProps()) {
        KDateTime onset = p.dtStart;
        if (p.offsetFrom.isNull())
            onset.setAsLocalMachine();
        else
            onset.setGmtOffset(p.offsetFrom);
        if (year < onset.getYear())
            onset.setItem(CT_YEAR, year - 1, KDateTime::Monday);
        if (!p.rrule.valid) {
            out.push_back({onset.to64(), p.offsetFrom, p.offsetTo});
            continue;
        }
        KDateTime last;
        RRule::iterator it = p.rrule.begin(onset, true);
        for (int guard = 0; !(it == p.rrule.end()) && guard < 10000; ++guard, ++it) {
            last = *it;
            if (last.getYear() >= year)
                break;
        }
        if (!last.isNull())
            out.push_back({last.to64(), p.offsetFrom, p.offsetTo});
    }
    return out;
}

inline KTimeSpan referenceChoice(const std::vector<Candidate>& c, int64_t t)
{
    if (c.empty())
        return KTimeSpan::null;
    size_t choice = 0;
    bool before = t < c[0].onset;
    for (size_t i = 1; i < c.size(); ++i) {
        if (c[i].onset > c[choice].onset && c[i].onset <= t) {
            choice = i;
            before = false;
        } else if (c[i].onset > t && c[i].onset < c[choice].onset) {
            choice = i;
            before = true;
        }
    }
    return before ? c[choice].offsetFrom : c[choice].offsetTo;
}

inline KTimeSpan referenceOffset(const KTimeZone& zone, int64_t t)
{
    return referenceChoice(referenceCandidates(zone, utcYearOf(t)), t);
}

} // namespace tavir::timezone::test
