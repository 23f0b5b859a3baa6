// The watch's thread: it sleeps until a call is in hand, then until that
// call's deadline or the stop signal, whichever comes first, and kills the
// socket when one of them came while the call still runs.
#include "tinydb/ConnectionWatch.h"

#include "ssl/KSslSocket.h"
#include "tiny/SelectSocks.h"
#include "tiny/Thread.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>

namespace tavir::tinydb {

using tavir::tiny::KMutexLocker;

namespace {

// How often the watch looks at a stop signal that has no descriptor to
// wait on.
constexpr int stopLookMs = 50;

} // namespace

int waitLimitMs(const std::optional<std::chrono::steady_clock::time_point>& deadline,
    const tavir::utils::StopSignal* stop)
{
    long long ms = -1;
    if (deadline) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            *deadline - std::chrono::steady_clock::now())
                              .count();
        ms = std::clamp<long long>(left, 0, INT_MAX);
    }
    if (stop && stop->descriptor() < 0)
        ms = ms < 0 ? stopLookMs : std::min<long long>(ms, stopLookMs);
    return static_cast<int>(ms);
}

ConnectionWatch::ConnectionWatch(tavir::ssl::KSslSocket& socket)
    : socket_(socket)
{
}

ConnectionWatch::~ConnectionWatch()
{
    pthread_t thread = 0;
    {
        KMutexLocker hold(lock_);
        quitting_ = true;
        thread = thread_;
    }
    wake();
    tavir::tiny::waitForThreadClose(thread);
}

bool ConnectionWatch::start()
{
    KMutexLocker hold(lock_);
    if (thread_ != 0)
        return true;
    wakeFd_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wakeFd_.valid())
        return false;
    // Started under the lock, which the thread's first look waits for.
    return tavir::tiny::createThread(
        [](void* watch) { static_cast<ConnectionWatch*>(watch)->watch(); }, this, &thread_,
        tavir::tiny::threadNameAttr("connection watch"));
}

void ConnectionWatch::setDeadline(std::optional<Clock::time_point> deadline)
{
    KMutexLocker hold(lock_);
    deadline_ = deadline;
}

void ConnectionWatch::setStopSignal(std::shared_ptr<const tavir::utils::StopSignal> stop)
{
    {
        KMutexLocker hold(lock_);
        stop_ = std::move(stop);
    }
    wake(); // the watch sleeps beside the old signal's descriptor
}

ConnectionWatch::Ending ConnectionWatch::due() const
{
    if (stop_ && stop_->raised())
        return Ending::Stop;
    if (deadline_ && Clock::now() >= *deadline_)
        return Ending::Deadline;
    return Ending::None;
}

bool ConnectionWatch::enter()
{
    KMutexLocker hold(lock_);
    if (ending_ == Ending::None)
        ending_ = due();
    if (ending_ != Ending::None)
        return false;
    busy_ = true;
    // A watch that sleeps without a bound, or towards another deadline,
    // must look at this call's: its deadline, or a stop that has no
    // descriptor to wake the watch and must be looked at now and then.
    if (thread_ != 0 && sleepMs() >= 0 && !(watchingCall_ && watchedDeadline_ == deadline_))
        wake();
    return true;
}

void ConnectionWatch::leave()
{
    KMutexLocker hold(lock_);
    busy_ = false;
}

ConnectionWatch::Ending ConnectionWatch::ending() const
{
    KMutexLocker hold(lock_);
    return ending_;
}

void ConnectionWatch::endCallWhenDue()
{
    if (!busy_ || ending_ != Ending::None)
        return;
    ending_ = due();
    // Under the lock: the call's leave() waits until the kill is over, so
    // its thread finds the socket either whole or gone.
    if (ending_ != Ending::None)
        socket_.kill();
}

int ConnectionWatch::sleepMs() const
{
    if (!busy_ || ending_ != Ending::None)
        return -1;
    return waitLimitMs(deadline_, stop_ && !stop_->raised() ? stop_.get() : nullptr);
}

void ConnectionWatch::watch()
{
    for (;;) {
        // Held across the sleep, so that its descriptor stays open.
        std::shared_ptr<const tavir::utils::StopSignal> stop;
        int stopFd = -1;
        int ms = -1;
        {
            KMutexLocker hold(lock_);
            if (quitting_)
                return;
            endCallWhenDue();
            stop = stop_;
            stopFd = stop && !stop->raised() ? stop->descriptor() : -1;
            ms = sleepMs();
            watchingCall_ = ms >= 0;
            watchedDeadline_ = watchingCall_ ? deadline_ : std::nullopt;
        }
        tavir::tiny::SelectSocks wakers;
        wakers.addRead(wakeFd_.get());
        if (stopFd >= 0)
            wakers.addRead(stopFd);
        wakers.select(ms);
        drainWakes();
    }
}

void ConnectionWatch::wake()
{
    if (!wakeFd_.valid())
        return;
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wakeFd_.get(), &one, sizeof one);
}

void ConnectionWatch::drainWakes()
{
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t got = ::read(wakeFd_.get(), &count, sizeof count);
}

} // namespace tavir::tinydb
