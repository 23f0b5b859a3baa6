#include "tiny/SocketPortability.h"

#include "tiny/SelectSocks.h"
#include "tiny/Time.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>

#include <cerrno>
#include <cstring>

namespace tavir::tiny {

namespace {

const size_t maxIo = 0x7fffffff;

size_t capped(size_t len)
{
    return len > maxIo ? maxIo : len;
}

// A blocking connect interrupted by a signal goes on in the kernel; calling
// connect again would give EALREADY or EISCONN. Wait for it to finish
// (within the socket's send time-out, if it has one) and report its outcome.
int finishInterruptedConnect(int fd)
{
    int timeoutMs = -1;
    timeval tv{};
    socklen_t tvLen = sizeof tv;
    if (getsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, &tvLen) == 0 && (tv.tv_sec || tv.tv_usec))
        timeoutMs = static_cast<int>(tv.tv_sec * 1000 + (tv.tv_usec + 999) / 1000);
    const uint64_t deadline = timeoutMs >= 0 ? getMs64() + static_cast<uint64_t>(timeoutMs) : 0;
    for (;;) {
        pollfd p{fd, POLLOUT, 0};
        int wait = timeoutMs;
        if (timeoutMs >= 0) {
            uint64_t now = getMs64();
            wait = now >= deadline ? 0 : static_cast<int>(deadline - now);
        }
        int r = poll(&p, 1, wait);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return -1;
        if (r == 0) {
            errno = ETIMEDOUT;
            return -1;
        }
        break;
    }
    int err = 0;
    socklen_t errLen = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &errLen) != 0)
        return -1;
    if (err != 0) {
        errno = err;
        return -1;
    }
    return 0;
}

bool isNonBlocking(int fd)
{
    const int flags = fcntl(fd, F_GETFL);
    return flags != -1 && (flags & O_NONBLOCK) != 0;
}

template <typename Call> ssize_t retryInterrupted(Call call)
{
    for (;;) {
        ssize_t r = call();
        if (r >= 0 || errno != EINTR)
            return r;
        msleep(1, false);
    }
}

} // namespace

int k_connect(int fd, const sockaddr* addr, socklen_t len)
{
    int eagain = 0;
    for (;;) {
        if (connect(fd, addr, len) == 0)
            return 0;
        if (errno == EINTR && isNonBlocking(fd)) {
            // Its caller waits for a connection in progress, within its own
            // deadline, as after any non-blocking connect.
            errno = EINPROGRESS;
            return -1;
        }
        if (errno == EINTR)
            return finishInterruptedConnect(fd);
        if (errno == EAGAIN && ++eagain < 3)
            continue;
        return -1;
    }
}

int k_select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds, timeval* timeout)
{
    // The kernel reads and writes nfds bits of each set, but an fd_set holds
    // only FD_SETSIZE: more would reach past the caller's sets. POSIX gives
    // EINVAL for it; Linux alone does not check.
    if (nfds < 0 || nfds > FD_SETSIZE) {
        errno = EINVAL;
        return -1;
    }
    // select may leave the sets in any state when interrupted: start every
    // attempt from the caller's sets. The time-out is the one Linux left,
    // so repeated signals don't stretch the wait.
    fd_set r, w, e;
    if (readfds)
        r = *readfds;
    if (writefds)
        w = *writefds;
    if (exceptfds)
        e = *exceptfds;
    for (;;) {
        int n = select(nfds, readfds, writefds, exceptfds, timeout);
        if (n >= 0 || errno != EINTR)
            return n;
        if (readfds)
            *readfds = r;
        if (writefds)
            *writefds = w;
        if (exceptfds)
            *exceptfds = e;
    }
}

ssize_t k_recv(int fd, void* buf, size_t len, int flags)
{
    return retryInterrupted([&] { return recv(fd, buf, capped(len), flags); });
}

ssize_t k_recvfrom(int fd, void* buf, size_t len, int flags, sockaddr* from, socklen_t* fromlen)
{
    return retryInterrupted([&] { return recvfrom(fd, buf, capped(len), flags, from, fromlen); });
}

ssize_t k_send(int fd, const void* buf, size_t len, int flags)
{
    return retryInterrupted([&] { return send(fd, buf, capped(len), flags); });
}

ssize_t k_sendto(
    int fd, const void* buf, size_t len, int flags, const sockaddr* to, socklen_t tolen)
{
    return retryInterrupted([&] { return sendto(fd, buf, capped(len), flags, to, tolen); });
}

namespace {

bool isLoopbackPeer(int fd)
{
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0)
        return false;
    if (ss.ss_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&ss);
        return ntohl(in->sin_addr.s_addr) == INADDR_LOOPBACK;
    }
    if (ss.ss_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&ss);
        static const unsigned char v4loop[4] = {127, 0, 0, 1};
        const unsigned char* a = in6->sin6_addr.s6_addr;
        if (IN6_IS_ADDR_LOOPBACK(&in6->sin6_addr))
            return true;
        // ::ffff:127.0.0.1 and ::127.0.0.1
        static const unsigned char zeros[12] = {};
        static const unsigned char mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
        if ((std::memcmp(a, zeros, 12) == 0 || std::memcmp(a, mapped, 12) == 0)
            && std::memcmp(a + 12, v4loop, 4) == 0)
            return true;
    }
    return false;
}

} // namespace

bool testSslOnSocket(int fd, bool* notLocal, int timeoutMs)
{
    if (notLocal)
        *notLocal = false;
    if (timeoutMs >= 0) {
        SelectSocks s;
        s.addRead(fd);
        s.select(timeoutMs);
    }
    unsigned char byte = 0;
    ssize_t n = k_recv(fd, &byte, 1, MSG_PEEK);
    if (n <= 0)
        return true;
    if (byte == 0x16 || (byte & 0x80))
        return true;
    if (notLocal)
        *notLocal = !isLoopbackPeer(fd);
    return false;
}

} // namespace tavir::tiny
