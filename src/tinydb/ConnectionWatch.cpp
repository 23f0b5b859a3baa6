// The watch's thread: it sleeps until a call is in hand, then until that
// call's deadline or the stop signal, whichever comes first, and kills the
// socket when one of them came while the call still runs.
#include "tinydb/ConnectionWatch.h"

#include "ssl/KSslSocket.h"
#include "tiny/SelectSocks.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <system_error>

namespace tavir::tinydb {

namespace {

// How often the watch looks at a stop signal that has no descriptor to
// wait on.
constexpr int stopLookMs = 50;

} // namespace

int waitLimitMs(
    const std::optional<std::chrono::steady_clock::time_point>& deadline,
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
    {
        std::lock_guard<std::mutex> hold(lock_);
        quitting_ = true;
    }
    wake();
    if (thread_.joinable())
        thread_.join();
}

bool ConnectionWatch::start()
{
    if (thread_.joinable())
        return true;
    wakeFd_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wakeFd_.valid())
        return false;
    try {
        thread_ = std::thread(&ConnectionWatch::watch, this);
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void ConnectionWatch::setDeadline(std::optional<Clock::time_point> deadline)
{
    std::lock_guard<std::mutex> hold(lock_);
    deadline_ = deadline;
}

void ConnectionWatch::setStopSignal(std::shared_ptr<const tavir::utils::StopSignal> stop)
{
    {
        std::lock_guard<std::mutex> hold(lock_);
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
    std::lock_guard<std::mutex> hold(lock_);
    if (ending_ == Ending::None)
        ending_ = due();
    if (ending_ != Ending::None)
        return false;
    busy_ = true;
    // A watch that sleeps without a deadline, or towards another one, must
    // look at this call's.
    if (thread_.joinable() && deadline_ && watchedDeadline_ != deadline_)
        wake();
    return true;
}

void ConnectionWatch::leave()
{
    std::lock_guard<std::mutex> hold(lock_);
    busy_ = false;
}

ConnectionWatch::Ending ConnectionWatch::ending() const
{
    std::lock_guard<std::mutex> hold(lock_);
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
    std::unique_lock<std::mutex> hold(lock_);
    while (!quitting_) {
        endCallWhenDue();
        // Held across the sleep, so that its descriptor stays open.
        const std::shared_ptr<const tavir::utils::StopSignal> stop = stop_;
        const int stopFd = stop && !stop->raised() ? stop->descriptor() : -1;
        const int ms = sleepMs();
        watchedDeadline_ = ms >= 0 ? deadline_ : std::nullopt;
        hold.unlock();
        tavir::tiny::SelectSocks wakers;
        wakers.addRead(wakeFd_.get());
        if (stopFd >= 0)
            wakers.addRead(stopFd);
        wakers.select(ms);
        drainWakes();
        hold.lock();
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
