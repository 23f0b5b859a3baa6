#pragma once
// What a run knows of the source's own limit on its connections: the most
// the source takes at once, learnt from the connections it turns away and
// raised again by the sessions it takes; how long it still counts a
// connection the run has closed; and when to try one connection beyond the
// limit. Each connection turned away is one change, kept or undone by
// itself, so that interleaved changes never leave a figure neither showed;
// and a change is the source's limit, to be said, only once the source went
// on after it: a source going away turns connections away too.
// A plain value, held under its owner's lock (SourceConnections); every
// answer is for the time it is given.
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>

namespace tavir::migration {

class SourceLimit {
public:
    using Clock = std::chrono::steady_clock;
    using Ms = std::chrono::milliseconds;

    // A connection the run closed counts on the source's side this much
    // longer, once the source has shown a limit: its LOGOUT is written, not
    // awaited, and a server counts a connection until the process that
    // served it has ended (Courier's TCP front end counts its children), so
    // a new connection at once would meet the old one still counted.
    static constexpr Ms settlingAtFirst{100};
    // A source that turns a connection away while the run holds some but
    // fewer than it has shown it takes, and one of the run's closed lately
    // though longer ago than that, counts closed connections longer: the
    // limit stands, and the time grows to that connection's age and 100 ms
    // more, up to this. A source that counted longer still would have the
    // limit lowered, and raised again by a probe.
    static constexpr Ms settlingAtMost{1600};
    // With no connection turned away for want of room for this long (a
    // late count is no want of room), one connection beyond the limit is
    // tried (a probe), one at a time: a source at its limit
    // turns it away and costs the run one connection, a source that has
    // room again (its late count caught up, another client of this address
    // gone) takes it, and the limit rises by one. A probe turned away
    // doubles the time before the next, up to probeAfterAtMost, so a
    // source truly at its limit is tried a few times a minute at most.
    static constexpr Ms probeAfterAtFirst{1000};
    static constexpr Ms probeAfterAtMost{32000};

    // The most connections the source takes at once: the least of what
    // the changes in force showed; 0 until one was turned away while
    // others of the run were held. The run keeps to it at once.
    unsigned atMost() const;
    // The limit as the source showed it and the run went on with it: the
    // least of the changes in force that the source went on after (wentOn);
    // 0 while there is none. A source that is going away (a shutdown ends
    // some connections, closes others before their greeting) turns
    // connections away while the run holds others, and never greets one
    // again: no limit of its own to say.
    unsigned wentOnWith() const;
    // How long a connection the run closed still counts on the source.
    Ms settling() const;

    // A connection of the run, which the source may count still, closed at
    // `when`.
    void closed(Clock::time_point when);
    // The connections closed that the source may count still at `now`.
    unsigned stillCounted(Clock::time_point now) const;

    enum class Room {
        None,
        Within,
        // One beyond the limit, to see whether the source takes it.
        Probe,
    };
    // Whether `held` connections of the run (open, and closed but still
    // counted) leave room for one more at `now`.
    Room roomFor(unsigned held, Clock::time_point now) const;
    // When the clock alone may make room after `now`: the first closed
    // connection that stops counting, or the next probe falling due; `now`
    // plus `otherwise` when neither comes sooner.
    Clock::time_point nextChange(Clock::time_point now, Ms otherwise) const;
    // A probe was taken at `now`; it ends when the source takes its
    // session (took), turns it away, or it is closed (probeEnded).
    void probeTaken(Clock::time_point now);
    void probeEnded();

    // A connection turned away at `now` while `besides` other connections
    // of the run were open, the source having greeted `mostGreeted` of them
    // at once at most; `probe` when it was the probe. Nothing held (none
    // open, none closed lately): no limit, and no change (false). Else the
    // change it makes is in force until undone or kept, as `change`.
    bool turnedAway(unsigned besides, unsigned mostGreeted, bool probe, Clock::time_point now,
        std::uint64_t& change);
    // The change told nothing of the source: what it showed is forgotten,
    // whatever other changes came since. A change kept is undone no more.
    void undo(std::uint64_t change);
    // The change is kept for the rest of the run (until the source takes
    // more: took), unless the source went away before it went on (wentAway).
    void keep(std::uint64_t change);
    // The latest change made; 0 before any. A connection taken now is taken
    // under it and every one before it.
    std::uint64_t lastChange() const { return lastChange_; }
    // The source greeted a connection taken under the changes up to
    // `under`: it went on after them, so they are its limit.
    void wentOn(std::uint64_t under);
    // A connection of the run did not reach the source at all (refused, no
    // route, no greeting in time): the changes the source has not gone on
    // after are undone. Those connections were turned away by a source
    // going away, not at its limit.
    void wentAway();
    // The source holds `sessions` of the run's at once: it takes no fewer,
    // whatever was shown before.
    void took(unsigned sessions);

private:
    // What one connection turned away showed.
    struct Shown {
        unsigned atMost = 0; // 0: nothing
        Ms settling = settlingAtFirst;
    };
    // A change in force that is not yet both kept and gone on after.
    struct Change {
        Shown shown;
        bool kept = false;
        bool wentOn = false;
    };
    static void merge(Shown& into, const Shown& shown);
    // What the changes in force show together; only those the source went
    // on after with `wentOnOnly`.
    Shown inForce(bool wentOnOnly) const;
    // Takes a change into kept_ once it is both kept and gone on after.
    void settle(std::map<std::uint64_t, Change>::iterator change);
    unsigned countedWithin(Clock::time_point now, Ms settling) const;
    // The source turned a connection away while the run held some (open,
    // or closed and counted still), fewer than it has shown it takes (its
    // limit, or before one the `mostGreeted` it greeted at once), and one
    // of the run's closed lately though longer ago than a closed connection
    // counts: a late count explains it.
    bool countsLonger(unsigned besides, unsigned mostGreeted, Clock::time_point now) const;
    // How long closed connections count, lengthened for one that a late
    // count explains (countsLonger).
    Ms longerSettling(Clock::time_point now) const;
    Clock::time_point probeDue() const;
    // Forgets what closed longer ago than any settling counts.
    void forget(Clock::time_point now);

    // The changes kept and gone on after, merged: they are never undone.
    Shown kept_;
    std::map<std::uint64_t, Change> changes_;
    std::uint64_t lastChange_ = 0;
    // When each connection closed lately closed, earliest first.
    std::deque<Clock::time_point> closedAt_;
    // The last connection turned away for want of room, or probe taken.
    Clock::time_point quietSince_{};
    Ms probeAfter_ = probeAfterAtFirst;
    bool probing_ = false;
};

} // namespace tavir::migration
