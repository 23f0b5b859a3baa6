#pragma once
// A thread-safe timer over the monotonic clock that tells whether a period
// (whole seconds) has elapsed since it was started.
#include "tiny/KMutex.h"

#include <atomic>
#include <cstdint>

namespace tavir::tiny {

class PeriodGuard {
public:
    enum PgMode : int32_t {
        // Elapsed: the start moves on by exactly one period.
        pgPeriodic = 0,
        // Elapsed once: stays elapsed.
        pgOneShot = 1,
        // Each check before the period is over restarts it; stays elapsed.
        pgRestart = 2,
        // Elapsed: restart with the next period of the table (the last repeats).
        pgTable = 3,
    };

    PeriodGuard(long periodSeconds, PgMode mode, bool startNow = true);
    // `table` is the caller's, ended by -1, and must outlive the guard.
    explicit PeriodGuard(const long* table);
    PeriodGuard(const PeriodGuard& other);
    PeriodGuard& operator=(const PeriodGuard& other);
    ~PeriodGuard();

    void start();
    void stop();
    // elapsedSeconds (may be null) gets the whole seconds since the start.
    bool hasPeriodOccured(long* elapsedSeconds = nullptr);
    long getElapsedTime() const;
    long getRemainingTime();
    void changePeriod(long periodSeconds);

    PgMode getMode() const { return mode_; }
    bool isRunning() const;

private:
    PgMode mode_;
    int64_t period_;
    const long* table_ = nullptr;
    uint64_t tableIndex_ = 0;
    // 0: stopped. Atomic because getElapsedTime reads it without the lock.
    std::atomic<uint64_t> startMs_{0};
    KMutex* mutex_;
};

using PgMode = PeriodGuard::PgMode;

} // namespace tavir::tiny
