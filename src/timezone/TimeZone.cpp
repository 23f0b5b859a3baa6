#include "timezone/TimeZone.h"

namespace tavir::timezone {

namespace {
std::string text(const char* s)
{
    return s ? std::string(s) : std::string();
}
} // namespace

TimeZone::TimeZone(const char* name, const char* stdOffset, const char* dstOffset,
    const char* stdOnset, const char* dstOnset, const char* stdRRule, const char* dstRRule,
    int cdoId1, int cdoId2, int cdoId3, int cdoId4)
    : name(text(name))
    , stdOffset(text(stdOffset))
    , dstOffset(text(dstOffset))
    , stdOnset(text(stdOnset))
    , dstOnset(text(dstOnset))
    , stdRRule(text(stdRRule))
    , dstRRule(text(dstRRule))
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
