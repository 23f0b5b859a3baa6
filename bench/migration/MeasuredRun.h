#pragma once
// One kind of measured copy of the whole corpus (mbsync with six processes,
// the engine, ...). The benchmark runs every kind once per round, in turn,
// so that changing load on the machine falls on all of them alike. Only
// run() is timed; each round starts from an empty destination.
#include <string>

namespace tavir::bench {

struct RunResult {
    bool ok = false;
    std::string error;
    double seconds = 0; // wall time, from the first process's start to the last one's end
    long peakKb = 0; // the largest peak resident memory of one process
    long peakSumKb = 0; // the peaks of all processes added up
    double cpuSeconds = 0; // user and system time of all processes (and theirs)
    // The round trips the copier waited for on each link, as the relays saw
    // them (-1 where there is no relay): to the source, to the target's
    // mail service, and to its administration service (the engine's).
    long sourceRoundTrips = -1;
    long targetRoundTrips = -1;
    long adminRoundTrips = -1;
};

class MeasuredRun {
public:
    virtual ~MeasuredRun() = default;

    virtual std::string name() const = 0;
    // Untimed: an empty destination for this round.
    virtual void prepare() = 0;
    // The timed copy.
    virtual RunResult run() = 0;
    // Untimed: "" when the destination holds the whole corpus, else what
    // differs.
    virtual std::string check() = 0;
    // Untimed: releases what prepare() made.
    virtual void finish() = 0;
};

} // namespace tavir::bench
