#pragma once
// Waiting under a KMutex until another thread has changed what the waiter
// waits for, or until a deadline: the one condition type beside the one
// lock type. Every wait has a deadline, on the monotonic clock, so a change
// of the wall clock neither ends nor stretches it.
#include "tiny/KMutex.h"

#include <pthread.h>

#include <chrono>
#include <cstdint>

namespace tavir::tiny {

class KCondition {
public:
    using Clock = std::chrono::steady_clock;

    // Throws std::runtime_error when the condition can't be made.
    KCondition();
    ~KCondition();
    KCondition(const KCondition&) = delete;
    KCondition& operator=(const KCondition&) = delete;

    // Gives `mutex` up while it waits until `done` is set or `deadline`
    // passes, and returns `done`, which is read under the mutex. The caller
    // holds the mutex exactly once: a recursive hold is not given up by the
    // wait, and the thread that would set `done` could never take it.
    bool waitUntil(KMutex& mutex, Clock::time_point deadline, const bool& done)
        TAVIR_REQUIRES(mutex);

    // The same for a count of changes that several waiters share: waits
    // until `count` differs from `seen`, the value the caller read before,
    // and returns whether it does.
    bool waitForChange(KMutex& mutex, Clock::time_point deadline, const std::uint64_t& count,
        std::uint64_t seen) TAVIR_REQUIRES(mutex);

    // Wakes every waiter, which then reads its `done` again. Called with or
    // without the mutex held; the change it announces is made under it.
    void notifyAll();

private:
    // Waits until `done()` is true or `deadline` passes; returns `done()`.
    template <class Done>
    bool waitFor(KMutex& mutex, Clock::time_point deadline, Done done) TAVIR_REQUIRES(mutex);
    // False once the deadline has passed; true when woken (or woken for
    // nothing, which the system may do).
    bool waitOnce(KMutex& mutex, Clock::time_point deadline) TAVIR_REQUIRES(mutex);

    pthread_cond_t condition_;
};

} // namespace tavir::tiny
