#include "tiny/SelectSocks.h"

#include "tiny/Time.h"

#include <cerrno>

namespace tavir::tiny {

void SelectSocks::add(int fd, short events)
{
    for (pollfd& p : fds_) {
        if (p.fd == fd) {
            p.events |= events;
            return;
        }
    }
    fds_.push_back(pollfd{fd, events, 0});
}

int SelectSocks::select(const timeval* tv)
{
    if (!tv)
        return select(1000);
    return select(static_cast<int>(tv->tv_sec * 1000 + tv->tv_usec / 1000));
}

int SelectSocks::select(int timeoutMs)
{
    if (fds_.empty()) {
        msleep(timeoutMs, false);
        return 0;
    }
    for (pollfd& p : fds_)
        p.revents = 0;

    // A signal must not stretch the wait: poll again only for what is left.
    const uint64_t deadline = timeoutMs > 0 ? getMs64() + static_cast<uint64_t>(timeoutMs) : 0;
    int wait = timeoutMs;
    int eagain = 0;
    int result;
    for (;;) {
        result = poll(fds_.data(), fds_.size(), wait);
        if (result >= 0)
            break;
        if (errno == EINTR) {
        } else if (errno == EAGAIN && eagain < 3) {
            ++eagain;
        } else {
            return -1;
        }
        if (timeoutMs > 0) {
            uint64_t now = getMs64();
            wait = now >= deadline ? 0 : static_cast<int>(deadline - now);
        }
    }

    for (pollfd& p : fds_) {
        if (p.revents & POLLNVAL) {
            result = -1;
            errno = EBADF; // as for any failure, the caller reads why
        }
        if ((p.revents & POLLHUP) && (p.revents & POLLOUT))
            p.revents &= ~POLLOUT;
        if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) {
            if (p.events & POLLERR)
                p.revents |= POLLERR;
            else if (p.events & POLLOUT)
                p.revents |= POLLOUT;
            else if (p.events & POLLIN)
                p.revents |= POLLIN;
        }
    }
    return result;
}

bool SelectSocks::check(int fd, short events) const
{
    for (const pollfd& p : fds_)
        if (p.fd == fd)
            return (p.revents & events) != 0;
    return false;
}

} // namespace tavir::tiny
