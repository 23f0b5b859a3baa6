#pragma once
// Rules and observances built by hand for the zone tests.
#include "timezone/KTimeZone.h"

namespace tavir::timezone::test {

// The rule that setRRule reads from `text`.
inline RRule parse(const char* text)
{
    RRule r;
    r.setRRule(text);
    return r;
}

// A valid observance of `type` from `onset` (ISO text), changing the offset
// from `fromSeconds` to `toSeconds`, repeating by `rule` ("" for none).
inline TZProp prop(int type, const char* onset, int fromSeconds, int toSeconds, const char* rule)
{
    TZProp p;
    p.valid = true;
    p.type = type;
    int64_t s = 0, o = 0;
    bool d = false;
    KDateTime::parseIsoString(onset, s, o, d, nullptr);
    p.dtStart = KDateTime::from64(s);
    p.offsetFrom = KTimeSpan::fromSecondCount(fromSeconds);
    p.offsetTo = KTimeSpan::fromSecondCount(toSeconds);
    p.rrule.setRRule(rule);
    return p;
}

} // namespace tavir::timezone::test
