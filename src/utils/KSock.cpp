#include "utils/KSock.h"

#include "tiny/FormatError.h"
#include "tiny/SelectSocks.h"
#include "tiny/SocketLayer.h"
#include "tiny/SocketPortability.h"
#include "utils/OSInfo.h"

#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace tavir::utils {

KSock::~KSock()
{
    KSock::close();
}

bool KSock::open(int socket)
{
    socket_ = socket;
    return true;
}

void KSock::close()
{
    if (socket_ == -1)
        return;
    KStream::flush();
    ::shutdown(socket_, SHUT_WR);
    closesocket(socket_);
    socket_ = -1;
}

int KSock::i_read(char* buf, unsigned int len)
{
    return int(::recv(socket_, buf, len, 0));
}

int KSock::i_write(const char* buf, unsigned int len)
{
    // MSG_NOSIGNAL: a peer that has gone gives EPIPE, not a signal.
    return int(::send(socket_, buf, len, MSG_NOSIGNAL));
}

int KSock::i_peak(char* buf, unsigned int len)
{
    if (socket_ == -1)
        return -1;
    return int(tavir::tiny::k_recv(socket_, buf, len, MSG_PEEK));
}

long KSock::peek(char* buf, size_t len)
{
    unsigned capped = len > size_t(INT_MAX) ? unsigned(INT_MAX) : unsigned(len);
    int n = i_peak(buf, capped);
    return n == -1 ? 0 : n;
}

bool KSock::getSockName(sockaddr* address) const
{
    if (socket_ == -1)
        return false;
    socklen_t length = sizeof(sockaddr_in);
    return ::getsockname(socket_, address, &length) == 0;
}

bool KSock::getPeerName(sockaddr* address) const
{
    if (socket_ == -1)
        return false;
    std::memset(address, 0, sizeof(sockaddr_in));
    socklen_t length = sizeof(sockaddr_in);
    return ::getpeername(socket_, address, &length) == 0;
}

bool KSock::setSockOpt(int level, int name, char* value, int length)
{
    if (socket_ == -1)
        return false;
    return ::setsockopt(socket_, level, name, value, socklen_t(length)) == 0;
}

int KSock::select(SelectOp op, int seconds)
{
    if (socket_ == -1 || op == SELECT_INVALID || (op != SELECT_READ && op != SELECT_WRITE)) {
        OSInfo::setSysError(EBADF);
        return -1;
    }
    long long ms = (long long)seconds * 1000;
    if (ms > INT_MAX)
        ms = INT_MAX;
    return selectSock(socket_, op == SELECT_READ, int(ms));
}

int KSock::setReadTimeout(int ms)
{
    return tavir::tiny::setSockTimeout(socket_, SO_RCVTIMEO, int((ms + 999LL) / 1000));
}

int KSock::setWriteTimeout(int ms)
{
    return tavir::tiny::setSockTimeout(socket_, SO_SNDTIMEO, int((ms + 999LL) / 1000));
}

bool KSock::isReadEof()
{
    if (socket_ == -1)
        return true;
    if (!KStream::isReadEof())
        return false;
    pollfd p{socket_, POLLIN, 0};
    int n = ::poll(&p, 1, 0);
    if (n < 0)
        return false;
    return n == 0;
}

bool KSock::isClosed() const
{
    if (socket_ == -1)
        return true;
    pollfd p{socket_, short(POLLIN | POLLERR), 0};
    int n = ::poll(&p, 1, 0);
    if (n < 0)
        return errno == EBADF;
    return (p.revents & POLLNVAL) != 0;
}

int selectSock(int socket, bool forRead, int ms)
{
    if (socket == -1) {
        OSInfo::setSysError(EBADF);
        return -1;
    }
    tavir::tiny::SelectSocks set;
    if (forRead)
        set.addRead(socket);
    else
        set.addWrite(socket);
    int n = set.select(ms);
    if (n > 0 && !(forRead ? set.checkRead(socket) : set.checkWrite(socket)))
        return -1;
    return n;
}

bool FD_SET_s(int socket, fd_set* set)
{
    // A Linux fd_set holds FD_SETSIZE (1024) descriptors, not the 10,240 of
    // an enlarged set: the bit of any other descriptor would land outside it.
    if (socket < 0 || socket >= FD_SETSIZE)
        return false;
    FD_SET(socket, set);
    return true;
}

bool sockListenIp4(int& socket, unsigned address, unsigned short port, unsigned short* boundPort,
    int backlog, std::string& error)
{
    error.clear();
    const int one = 1;
    if (port != 0) {
        int s6 = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (s6 < 0) {
            error = "sockListenIp4(): socket(AF_INET6) failed. error: "
                + tavir::tiny::FormatError::formatErrorAsString(tavir::tiny::FormatError::sysError);
            return false;
        }
        ::setsockopt(s6, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in6 a6{};
        a6.sin6_family = AF_INET6;
        a6.sin6_addr = in6addr_any;
        a6.sin6_port = htons(port);
        if (::bind(s6, reinterpret_cast<sockaddr*>(&a6), sizeof a6) != 0) {
            error = "sockListenIp4(): bind(s6) failed. error: "
                + tavir::tiny::FormatError::formatErrorAsString(tavir::tiny::FormatError::sysError);
            closesocket(s6);
            return false;
        }
        closesocket(s6);
    }
    socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (socket < 0) {
        error = "sockListenIp4(): socket(AF_INET) failed. error: "
            + tavir::tiny::FormatError::formatErrorAsString(tavir::tiny::FormatError::sysError);
        socket = -1;
        return false;
    }
    ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(address);
    a.sin_port = htons(port);
    bool ok = true;
    if (::bind(socket, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        error = "sockListenIp4(): bind(sock) failed. error: "
            + tavir::tiny::FormatError::formatErrorAsString(tavir::tiny::FormatError::sysError);
        ok = false;
    } else if (::listen(socket, backlog) != 0) {
        error = "sockListenIp4(): listen(sock) failed. error: "
            + tavir::tiny::FormatError::formatErrorAsString(tavir::tiny::FormatError::sysError);
        ok = false;
    }
    if (!ok) {
        // -1, never 0: 0 is standard input, and closing it later would be
        // a disaster.
        closesocket(socket);
        socket = -1;
        return false;
    }
    if (boundPort) {
        socklen_t length = sizeof a;
        if (::getsockname(socket, reinterpret_cast<sockaddr*>(&a), &length) == 0)
            *boundPort = ntohs(a.sin_port);
    }
    return true;
}

bool sockListenIp4(
    int& socket, unsigned address, unsigned short port, unsigned short* boundPort, int backlog)
{
    std::string ignored;
    return sockListenIp4(socket, address, port, boundPort, backlog, ignored);
}

} // namespace tavir::utils
