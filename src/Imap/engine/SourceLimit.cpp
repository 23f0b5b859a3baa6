// The source's own limit as the run has learnt it.
#include "Imap/engine/SourceLimit.h"

#include <algorithm>
#include <iterator>

namespace tavir::migration {

unsigned SourceLimit::atMost() const
{
    return inForce(false).atMost;
}

unsigned SourceLimit::wentOnWith() const
{
    return inForce(true).atMost;
}

SourceLimit::Ms SourceLimit::settling() const
{
    return inForce(false).settling;
}

SourceLimit::Shown SourceLimit::inForce(bool wentOnOnly) const
{
    Shown all = kept_;
    for (const auto& change : changes_)
        if (change.second.wentOn || !wentOnOnly)
            merge(all, change.second.shown);
    return all;
}

void SourceLimit::merge(Shown& into, const Shown& shown)
{
    if (shown.atMost != 0)
        into.atMost = into.atMost == 0 ? shown.atMost : std::min(into.atMost, shown.atMost);
    into.settling = std::max(into.settling, shown.settling);
}

void SourceLimit::closed(Clock::time_point when)
{
    forget(when);
    closedAt_.push_back(when);
}

void SourceLimit::forget(Clock::time_point now)
{
    while (!closedAt_.empty() && closedAt_.front() + settlingAtMost <= now)
        closedAt_.pop_front();
}

unsigned SourceLimit::stillCounted(Clock::time_point now) const
{
    return countedWithin(now, settling());
}

unsigned SourceLimit::countedWithin(Clock::time_point now, Ms settling) const
{
    // Latest last: count from the end while they are recent enough.
    const auto recent = std::find_if(closedAt_.rbegin(), closedAt_.rend(),
        [&](Clock::time_point when) { return when + settling <= now; });
    return static_cast<unsigned>(recent - closedAt_.rbegin());
}

SourceLimit::Room SourceLimit::roomFor(unsigned held, Clock::time_point now) const
{
    const unsigned limit = atMost();
    if (limit == 0 || held < limit)
        return Room::Within;
    return held == limit && !probing_ && now >= probeDue() ? Room::Probe : Room::None;
}

SourceLimit::Clock::time_point SourceLimit::probeDue() const
{
    return quietSince_ + probeAfter_;
}

SourceLimit::Clock::time_point SourceLimit::nextChange(Clock::time_point now, Ms otherwise) const
{
    Clock::time_point next = now + otherwise;
    if (atMost() == 0)
        return next;
    const Ms settled = settling();
    for (Clock::time_point when : closedAt_) {
        if (when + settled > now) {
            next = std::min(next, when + settled);
            break;
        }
    }
    if (!probing_ && probeDue() > now)
        next = std::min(next, probeDue());
    return next;
}

void SourceLimit::probeTaken(Clock::time_point now)
{
    probing_ = true;
    quietSince_ = now;
}

void SourceLimit::probeEnded()
{
    probing_ = false;
}

bool SourceLimit::countsLonger(unsigned besides, unsigned mostGreeted, Clock::time_point now) const
{
    // What the source has shown it takes: its limit, or before one as many
    // as it greeted at once.
    const unsigned takes = atMost() != 0 ? atMost() : mostGreeted;
    const Ms settled = settling();
    const unsigned counted = countedWithin(now, settled);
    // With nothing held the limit can't be lowered anyway: that is a
    // turn-away in passing, tried again after a pause.
    return besides + counted != 0 && settled < settlingAtMost && besides + counted < takes
        && countedWithin(now, settlingAtMost) > counted;
}

SourceLimit::Ms SourceLimit::longerSettling(Clock::time_point now) const
{
    // The youngest that no longer counted, which the source still did:
    // counted as long again as at first from now, so that the login waits
    // for it rather than meet it again at once. Grown by what was seen, not
    // doubled: a source whose count was late once (a busy moment) is not
    // waited for much longer than that for the rest of the run.
    const Ms settled = settling();
    const auto counted = std::find_if(closedAt_.rbegin(), closedAt_.rend(),
        [&](Clock::time_point when) { return when + settled <= now; });
    const Ms age = std::chrono::duration_cast<Ms>(now - *counted);
    return std::min(settlingAtMost, age + settlingAtFirst);
}

bool SourceLimit::turnedAway(unsigned besides, unsigned mostGreeted, bool probe,
    Clock::time_point now, std::uint64_t& change)
{
    if (probe) {
        quietSince_ = now;
        probing_ = false;
        probeAfter_ = std::min(probeAfter_ * 2, probeAfterAtMost);
    }
    forget(now);
    Shown shown;
    shown.settling = settling();
    const unsigned counted = countedWithin(now, shown.settling);
    if (besides == 0 && counted == 0)
        return false;
    if (countsLonger(besides, mostGreeted, now)) {
        // Turned away for connections that closed and still counted: the
        // limit stands (before one, it is as many as the source greeted at
        // once, unless it counted fewer of the run's then).
        shown.settling = longerSettling(now);
        if (atMost() == 0)
            shown.atMost = std::min(besides + countedWithin(now, settlingAtMost), mostGreeted);
    } else {
        // The source counted the run's connections open, and perhaps some
        // that closed so lately that it counts them still: it takes fewer
        // than those together. It took as many as it ever greeted at once,
        // though, so a connection it still counted after it closed lowers
        // the figure no further; nor do those still waiting for their
        // greeting, which it may turn away as well (a later refusal then
        // lowers the figure). Never less than one, which would leave the
        // run unbounded. No room there: the next probe waits its time from
        // now. A late count says nothing of room beyond the limit, and
        // leaves the probe's time as it was.
        shown.atMost = std::max(1u, std::min(besides + counted, std::max(mostGreeted, besides)));
        quietSince_ = now;
    }
    change = ++lastChange_;
    changes_.emplace(change, Change{shown, false, false});
    return true;
}

void SourceLimit::undo(std::uint64_t change)
{
    const auto found = changes_.find(change);
    if (found != changes_.end() && !found->second.kept)
        changes_.erase(found);
}

void SourceLimit::keep(std::uint64_t change)
{
    const auto found = changes_.find(change);
    if (found == changes_.end())
        return;
    found->second.kept = true;
    settle(found);
}

void SourceLimit::wentOn(std::uint64_t under)
{
    for (auto change = changes_.begin(); change != changes_.end() && change->first <= under;) {
        change->second.wentOn = true;
        settle(change++);
    }
}

void SourceLimit::wentAway()
{
    for (auto change = changes_.begin(); change != changes_.end();)
        change = change->second.wentOn ? std::next(change) : changes_.erase(change);
}

void SourceLimit::settle(std::map<std::uint64_t, Change>::iterator change)
{
    if (!change->second.kept || !change->second.wentOn)
        return;
    merge(kept_, change->second.shown);
    changes_.erase(change);
}

void SourceLimit::took(unsigned sessions)
{
    const unsigned limit = atMost();
    if (limit == 0 || sessions <= limit)
        return;
    auto raise = [sessions](Shown& shown) {
        if (shown.atMost != 0)
            shown.atMost = std::max(shown.atMost, sessions);
    };
    raise(kept_);
    for (auto& change : changes_)
        raise(change.second.shown);
    probing_ = false;
    probeAfter_ = probeAfterAtFirst;
}

} // namespace tavir::migration
