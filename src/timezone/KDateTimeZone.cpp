// Offsets of values bound to a time zone. The zone model is not in the tree
// yet, so no zone can be attached and a zone-bound value has no offset.
#include "timezone/KDateTime.h"

namespace tavir::timezone {

KTimeSpan KDateTime::zoneOffsetAt(int64_t) const
{
    return KTimeSpan();
}

KTimeSpan KDateTime::gmTimeZoneOffset() const
{
    return KTimeSpan();
}

KDateTime& KDateTime::setTimeZone(const boost::shared_ptr<KTimeZone>&)
{
    return *this;
}

KDateTime& KDateTime::overwriteTimeZone(const boost::shared_ptr<KTimeZone>&)
{
    return *this;
}

void KDateTime::clearTimeZone()
{
}

bool KDateTime::setCdoTimeZoneId(int)
{
    return false;
}

int KDateTime::getCdoTimeZoneId() const
{
    return -1;
}

} // namespace tavir::timezone
