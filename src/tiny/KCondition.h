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

    // The same for any condition: waits until `done()` is true or
    // `deadline` passes, and returns `done()`. `done` is called with the
    // mutex held, again after every wake-up, so a wake-up for nothing (or
    // for another waiter's change) changes nothing. The check can't tell
    // that `mutex` is the lock `done` reads under: a `done` that reads
    // guarded members says so itself (a lambda's TAVIR_REQUIRES).
    template <class Done>
    bool waitFor(KMutex& mutex, Clock::time_point deadline, Done done)
        TAVIR_REQUIRES(mutex) TAVIR_NO_THREAD_SAFETY_ANALYSIS
    {
        while (!done()) {
            if (!waitOnce(mutex, deadline))
                return done();
        }
        return true;
    }

    // Wakes every waiter, which then reads its `done` again. Called with or
    // without the mutex held; the change it announces is made under it.
    void notifyAll();

private:
    // False once the deadline has passed; true when woken (or woken for
    // nothing, which the system may do).
    bool waitOnce(KMutex& mutex, Clock::time_point deadline) TAVIR_REQUIRES(mutex);

    pthread_cond_t condition_;
};

} // namespace tavir::tiny
