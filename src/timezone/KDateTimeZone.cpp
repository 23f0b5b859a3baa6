// Date values bound to a time zone: the zone's offset at an instant, giving
// a value another zone, and the CDO zone id.
#include "timezone/KDateTime.h"
#include "timezone/KTimeZone.h"
#include "timezone/KTimeZoneCache.h"
#include "utils/Exception.h"

#include <vector>

namespace tavir::timezone {

KTimeZoneCache& timezoneCache()
{
    // Built on first use, so other files' static initialisers may use it.
    static KTimeZoneCache cache(512);
    return cache;
}

namespace {

// An observance's onset as an instant: its start holds the onset's wall time,
// which is read at the offset in force before the onset.
KDateTime onsetOf(const TZProp& prop)
{
    KDateTime onset = prop.dtStart;
    if (onset.getKind() == KDateTime::KindZone) {
        // Only the wall time counts; the zone that came with it does not.
        const tm wall = KDateTime::gmTime(onset.to64() + onset.gmtOffset().toSecondCount());
        onset = KDateTime(wall.tm_mday, wall.tm_mon + 1, wall.tm_year + 1900, wall.tm_hour,
            wall.tm_min, wall.tm_sec);
    }
    if (prop.offsetFrom.isNull())
        onset.setAsLocalMachine();
    else
        onset.setGmtOffset(prop.offsetFrom);
    return onset;
}

} // namespace

KTimeSpan KDateTime::zoneOffsetAt(int64_t seconds) const
{
    if (!zone_ || !zone_->isValid() || seconds == nullSeconds || seconds == infinitySeconds)
        return KTimeSpan();
    const std::vector<TZProp>& props = zone_->getTZProps();
    if (props.size() == 1)
        return props.front().offsetTo;
    if (props.size() == 2) {
        const KTimeSpan cached = timezoneCache().getOffset(seconds, zone_);
        if (!cached.isNull())
            return cached;
    }

    // Each observance gives its last onset at or before the instant and its
    // first onset after it. The latest onset at or before the instant
    // decides, with the offset it brings; when there is none, the earliest
    // onset after the instant does, with the offset in force before it.
    const int year = gmTime(seconds).tm_year + 1900;
    const TZProp* before = nullptr;
    KDateTime beforeOnset;
    const TZProp* after = nullptr;
    KDateTime afterOnset;
    auto consider = [&](const TZProp& prop, const KDateTime& onset) {
        if (onset.isNull())
            return;
        if (onset.to64() <= seconds) {
            if (before == nullptr || onset > beforeOnset) {
                before = &prop;
                beforeOnset = onset;
            }
        } else if (after == nullptr || onset < afterOnset) {
            after = &prop;
            afterOnset = onset;
        }
    };
    for (const TZProp& prop : props) {
        KDateTime onset = onsetOf(prop);
        if (!prop.rrule.valid) {
            consider(prop, onset);
            continue;
        }
        // A rule is taken to hold also in the years before its first onset.
        if (year < onset.getYear())
            onset.setItem(CT_YEAR, year - 1, Monday);
        KDateTime last;
        KDateTime next;
        const RRule::iterator end = prop.rrule.end();
        for (RRule::iterator it = prop.rrule.begin(onset, true); it != end; it++) {
            if (it->to64() > seconds) {
                next = *it;
                break;
            }
            last = *it;
        }
        consider(prop, last);
        consider(prop, next);
    }
    if (before != nullptr)
        return before->offsetTo;
    if (after != nullptr)
        return after->offsetFrom;
    return KTimeSpan();
}

KTimeSpan KDateTime::gmTimeZoneOffset() const
{
    if (!zone_ || !zone_->isValid() || isSpecial())
        return KTimeSpan();
    if (gmtOffset_ != noOffset)
        return KTimeSpan::fromSecondCount(int64_t(gmtOffset_) * 60);
    const KTimeSpan offset = zoneOffsetAt(seconds_);
    // The cache holds minutes; an offset with seconds is worked out afresh.
    if (!offset.isNull() && offset.toSecondCount64() % 60 == 0)
        gmtOffset_ = int32_t(offset.toSecondCount64() / 60);
    return offset;
}

KDateTime& KDateTime::setTimeZone(const boost::shared_ptr<KTimeZone>& zone)
{
    if (!zone || !zone->isValid())
        return *this;
    const bool wasDateOnly = dateOnly_;
    keepWallTime(KindZone, noOffset, zone);
    if (wasDateOnly)
        dateOnly_ = true;
    return *this;
}

KDateTime& KDateTime::overwriteTimeZone(const boost::shared_ptr<KTimeZone>& zone)
{
    if (!zone || !zone->isValid())
        return *this;
    zone_ = zone;
    kind_ = KindZone;
    gmtOffset_ = noOffset;
    return *this;
}

void KDateTime::clearTimeZone()
{
    if (!zone_)
        return;
    const KTimeSpan w = gmtOffset();
    gmtOffset_ = w.isNull() ? 0 : int32_t(w.toSecondCount64() / 60);
    kind_ = KindOffset;
    zone_.reset();
    cdoId_ = -1;
}

bool KDateTime::setCdoTimeZoneId(int id)
{
    try {
        boost::shared_ptr<KTimeZone> zone(new KTimeZone(KTimeZone::fromCdoTimeZoneId(id)));
        cdoId_ = id;
        setTimeZone(zone);
        return true;
    } catch (const utils::Exception&) {
        boost::shared_ptr<KTimeZone> utc(
            new KTimeZone(KTimeZone::fromTZID("(UTC) Universal Coordinated Time")));
        if (utc->isValid()) {
            cdoId_ = 0;
            setTimeZone(utc);
        } else {
            cdoId_ = -1;
            setTimeZone(
                boost::shared_ptr<KTimeZone>(new KTimeZone(KTimeZone::getLocalMachineZone())));
        }
        return false;
    }
}

int KDateTime::getCdoTimeZoneId() const
{
    if (!zone_ || !zone_->isValid())
        return -1;
    const std::vector<int>& ids = zone_->getCdoTimeZoneIds();
    if (ids.empty())
        return -1;
    bool listed = false;
    for (int id : ids)
        listed = listed || id == cdoId_;
    if (cdoId_ < 0 || !listed)
        cdoId_ = ids.front();
    return cdoId_;
}

} // namespace tavir::timezone
