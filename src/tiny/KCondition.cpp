// The condition over KMutex: a POSIX condition variable on the monotonic
// clock, the clock std::chrono::steady_clock reads on Linux.
#include "tiny/KCondition.h"

#include <cerrno>
#include <ctime>
#include <limits>
#include <stdexcept>

namespace tavir::tiny {

KCondition::KCondition()
{
    pthread_condattr_t attributes;
    if (pthread_condattr_init(&attributes) != 0)
        throw std::runtime_error("The attributes of a condition can't be made.");
    const bool made = pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC) == 0
        && pthread_cond_init(&condition_, &attributes) == 0;
    pthread_condattr_destroy(&attributes);
    if (!made)
        throw std::runtime_error("A condition on the monotonic clock can't be made.");
}

KCondition::~KCondition()
{
    pthread_cond_destroy(&condition_);
}

void KCondition::notifyAll()
{
    pthread_cond_broadcast(&condition_);
}

bool KCondition::waitUntil(KMutex& mutex, Clock::time_point deadline, const bool& done)
{
    return waitFor(mutex, deadline, [&done] { return done; });
}

bool KCondition::waitForChange(
    KMutex& mutex, Clock::time_point deadline, const std::uint64_t& count, std::uint64_t seen)
{
    return waitFor(mutex, deadline, [&count, seen] { return count != seen; });
}

bool KCondition::waitOnce(KMutex& mutex, Clock::time_point deadline)
{
    using namespace std::chrono;
    if (Clock::now() >= deadline)
        return false;
    // A deadline beyond what a timespec holds is as good as the largest one.
    const auto sinceBoot = deadline.time_since_epoch();
    timespec until{};
    if (duration_cast<seconds>(sinceBoot).count() >= std::numeric_limits<time_t>::max()) {
        until.tv_sec = std::numeric_limits<time_t>::max();
    } else {
        const auto whole = duration_cast<seconds>(sinceBoot);
        until.tv_sec = static_cast<time_t>(whole.count());
        until.tv_nsec = static_cast<long>(duration_cast<nanoseconds>(sinceBoot - whole).count());
    }
    return pthread_cond_timedwait(&condition_, &mutex.mutex_, &until) != ETIMEDOUT;
}

} // namespace tavir::tiny
