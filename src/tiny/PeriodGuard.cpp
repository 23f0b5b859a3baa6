#include "tiny/PeriodGuard.h"

#include "tiny/Time.h"

namespace tavir::tiny {

PeriodGuard::PeriodGuard(long periodSeconds, PgMode mode, bool startNow)
    : mode_(mode)
    , period_(periodSeconds)
    , mutex_(new KMutex)
{
    if (startNow)
        start();
}

PeriodGuard::PeriodGuard(const long* table)
    : mode_(pgTable)
    , period_(table ? table[0] : 0)
    , table_(table)
    , mutex_(new KMutex)
{
    start();
}

PeriodGuard::PeriodGuard(const PeriodGuard& other)
    : mode_(other.mode_)
    , mutex_(new KMutex)
{
    KMutexLocker lock(*other.mutex_);
    period_ = other.period_;
    table_ = other.table_;
    tableIndex_ = other.tableIndex_;
    startMs_ = other.startMs_.load();
}

PeriodGuard& PeriodGuard::operator=(const PeriodGuard& other)
{
    if (this == &other)
        return *this;
    mode_ = other.mode_;
    // Copy a consistent snapshot of the source before taking our own lock,
    // so that two guards assigned to each other can't deadlock.
    int64_t period;
    const long* table;
    uint64_t index;
    uint64_t startMs;
    {
        KMutexLocker lock(*other.mutex_);
        period = other.period_;
        table = other.table_;
        index = other.tableIndex_;
        startMs = other.startMs_.load();
    }
    KMutexLocker lock(*mutex_);
    period_ = period;
    table_ = table;
    tableIndex_ = index;
    startMs_ = startMs;
    return *this;
}

PeriodGuard::~PeriodGuard()
{
    delete mutex_;
}

void PeriodGuard::start()
{
    KMutexLocker lock(*mutex_);
    startMs_ = getMs64();
    if (table_) {
        tableIndex_ = 0;
        period_ = table_[0];
    }
}

void PeriodGuard::stop()
{
    KMutexLocker lock(*mutex_);
    startMs_ = 0;
}

bool PeriodGuard::isRunning() const
{
    KMutexLocker lock(*mutex_);
    return startMs_ != 0;
}

bool PeriodGuard::hasPeriodOccured(long* elapsedSeconds)
{
    KMutexLocker lock(*mutex_);
    if (startMs_ == 0) {
        if (elapsedSeconds)
            *elapsedSeconds = 0;
        return false;
    }
    uint64_t elapsedMs = getMs64() - startMs_;
    if (elapsedSeconds)
        *elapsedSeconds = static_cast<long>(elapsedMs / 1000);
    if (static_cast<int64_t>(elapsedMs / 1000) >= period_) {
        switch (mode_) {
        case pgPeriodic:
            startMs_ += static_cast<uint64_t>(period_ * 1000);
            break;
        case pgTable:
            startMs_ = getMs64();
            // An empty table ({-1}) has no entry after its end marker.
            if (table_ && table_[tableIndex_] != -1 && table_[tableIndex_ + 1] != -1) {
                ++tableIndex_;
                period_ = table_[tableIndex_];
            }
            break;
        default:
            break;
        }
        return true;
    }
    if (mode_ == pgRestart)
        startMs_ = getMs64();
    return false;
}

long PeriodGuard::getElapsedTime() const
{
    return static_cast<long>((getMs64() - startMs_) / 1000);
}

long PeriodGuard::getRemainingTime()
{
    KMutexLocker lock(*mutex_);
    return static_cast<long>(period_ - static_cast<int64_t>((getMs64() - startMs_) / 1000));
}

void PeriodGuard::changePeriod(long periodSeconds)
{
    KMutexLocker lock(*mutex_);
    period_ = periodSeconds;
}

} // namespace tavir::tiny
