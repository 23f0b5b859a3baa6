#include "timezone/TimeZone.h"

namespace tavir::timezone {

namespace {
std::string text(const char* s)
{
    return s ? std::string(s) : std::string();
}
} // namespace

TimeZone::TimeZone(const char* zoneName, const char* standardOffset, const char* daylightOffset,
    const char* standardOnset, const char* daylightOnset, const char* standardRule,
    const char* daylightRule, int cdoId1, int cdoId2, int cdoId3, int cdoId4)
    : name(text(zoneName))
    , stdOffset(text(standardOffset))
    , dstOffset(text(daylightOffset))
    , stdOnset(text(standardOnset))
    , dstOnset(text(daylightOnset))
    , stdRRule(text(standardRule))
    , dstRRule(text(daylightRule))
{
    cdoIds.push_back(cdoId1);
    for (int id : {cdoId2, cdoId3, cdoId4}) {
        if (id >= 0)
            cdoIds.push_back(id);
    }
}

void TimeZone::clear()
{
    name.clear();
    stdOffset.clear();
    dstOffset.clear();
    stdOnset.clear();
    dstOnset.clear();
    stdRRule.clear();
    dstRRule.clear();
    cdoIds.clear();
}

} // namespace tavir::timezone
