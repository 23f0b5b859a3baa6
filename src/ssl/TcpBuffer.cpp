#include "ssl/TcpBuffer.h"

#include "ssl/SigPipe.h"
#include "tiny/SocketLayer.h"
#include "tiny/SocketPortability.h"
#include "utils/KSock.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>

namespace tavir::utils {

namespace {
const long long kMaxChunk = 2147483647LL;
}

tcpbuffer::tcpbuffer(
    const InetSocketAddress& peer, const InetSocketAddress& local, long receiveSize, long sendSize)
    : peer_(peer)
    , local_(local)
    , receiveSize_(receiveSize > 0 ? receiveSize : 0)
    , sendSize_(sendSize > 0 ? sendSize : 0)
{
    size_t total = size_t(receiveSize_ + sendSize_);
    owned_.reset(new char[total ? total : 1]());
    setbuf(owned_.get(), std::streamsize(total ? total : 1));
}

tcpbuffer::~tcpbuffer()
{
    if (connected_) {
        connected_ = false;
        // Pushing more bytes onto a connection that already failed would
        // only wait for the time-out again.
        if (!failed_)
            sync();
    }
    if (socketCreated_)
        closeSocket();
}

std::streambuf* tcpbuffer::setbuf(char* area, std::streamsize n)
{
    // An area too small for both parts would be overrun: refuse it.
    if (!area || n < 1 || n < sendSize_ + receiveSize_)
        return this;
    area_ = area;
    setp(area_, area_ + sendSize_);
    char* get = area_ + sendSize_;
    setg(get, get, get);
    return this;
}

void tcpbuffer::setTimeoutInSeconds(unsigned seconds)
{
    timeoutSeconds_ = seconds;
    applySocketTimeouts();
}

void tcpbuffer::setTimeoutInuSeconds(unsigned microseconds)
{
    timeoutMicroseconds_ = int(microseconds);
    applySocketTimeouts();
}

unsigned tcpbuffer::getTimeout() const
{
    return timeoutSeconds_ * 1000000u + unsigned(timeoutMicroseconds_);
}

int tcpbuffer::timeoutMs() const
{
    long long ms = (long long)timeoutSeconds_ * 1000 + timeoutMicroseconds_ / 1000;
    return ms > INT_MAX ? INT_MAX : int(ms);
}

void tcpbuffer::applySocketTimeouts()
{
    if (socket_ < 0)
        return;
    // A blocked receive (inside a TLS record) or send must end too: the
    // same time-out bounds it. 0 means wait without limit.
    long long total = (long long)timeoutSeconds_ * 1000000 + timeoutMicroseconds_;
    timeval tv{};
    tv.tv_sec = time_t(total / 1000000);
    tv.tv_usec = suseconds_t(total % 1000000);
    setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(socket_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

bool tcpbuffer::init()
{
    if (bound_)
        return true;
    ssl::ignoreSigPipe();
    setp(area_, area_ + sendSize_);
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    // There is no SO_NOSIGPIPE here: every plain send carries MSG_NOSIGNAL
    // and TLS writes rely on SIGPIPE being ignored.
    socket_ = fd;
    socketCreated_ = true;
    local_ = InetSocketAddress::any();
    if (::bind(socket_, local_.getSockAddr(), local_.getSockAddrLength()) != 0) {
        int saved = errno;
        closeSocket();
        errno = saved;
        std::perror("");
        return false;
    }
    bound_ = true;
    return true;
}

tcpbuffer* tcpbuffer::create(const SSL_METHOD* method)
{
    if (!init())
        return nullptr;
    return start(method);
}

bool tcpbuffer::closeSocket()
{
    if (!socketCreated_)
        return false;
    int fd = socket_;
    socket_ = -1;
    socketCreated_ = false;
    bound_ = false;
    return closesocket(fd) == 0;
}

tcpbuffer* tcpbuffer::close()
{
    bound_ = false;
    if (connected_) {
        connected_ = false;
        // Pushing more bytes onto a connection that already failed would
        // only wait for the time-out again.
        if (!failed_)
            sync();
    }
    beforeSocketClose();
    if (!socketCreated_)
        return nullptr;
    // The unread rest of the get area belongs to this connection only.
    char* get = area_ + sendSize_;
    setg(get, get, get);
    setp(area_, area_ + sendSize_);
    return closeSocket() ? this : nullptr;
}

bool tcpbuffer::connectPeer()
{
    sockaddr* address = peer_.getSockAddr();
    if (!address)
        return false;
    applySocketTimeouts();
    int ms = timeoutMs();
    int rc;
    if (ms <= 0) {
        rc = tavir::tiny::k_connect(socket_, address, peer_.getSockAddrLength());
    } else {
        // A peer that never answers the SYN must not hold the caller for the
        // system's own connect time-out of minutes.
        tavir::tiny::sockBlockMode(socket_, 0);
        rc = ::connect(socket_, address, peer_.getSockAddrLength());
        if (rc != 0 && errno == EINPROGRESS) {
            auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
            while (true) {
                auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                                .count();
                if (left < 0)
                    left = 0;
                pollfd p{socket_, POLLOUT, 0};
                int n = ::poll(&p, 1, int(left));
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0) {
                    errno = n == 0 ? ETIMEDOUT : errno;
                    rc = -1;
                    break;
                }
                int error = 0;
                socklen_t length = sizeof error;
                if (getsockopt(socket_, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
                    error = errno;
                rc = error ? -1 : 0;
                errno = error;
                break;
            }
        }
        int saved = errno;
        tavir::tiny::sockBlockMode(socket_, 1);
        errno = saved;
    }
    if (rc != 0) {
        closeSocket();
        return false;
    }
    failed_ = false;
    return true;
}

const InetSocketAddress& tcpbuffer::getHost()
{
    return local_;
}

const InetSocketAddress& tcpbuffer::readLocalAddress()
{
    sockaddr_in in{};
    socklen_t length = sizeof in;
    if (socket_ >= 0 && getsockname(socket_, reinterpret_cast<sockaddr*>(&in), &length) == 0) {
        local_.setAddress(Inet4Address(ntohl(in.sin_addr.s_addr)));
        local_.setPort(ntohs(in.sin_port));
    }
    return local_;
}

bool tcpbuffer::sendAll(const char* data, size_t length)
{
    while (length > 0) {
        int chunk = int(length > size_t(kMaxChunk) ? kMaxChunk : length);
        int sent = sendData(const_cast<char*>(data), chunk);
        if (sent == 0)
            return false;
        if (sent < 0) {
            markFailed();
            return false;
        }
        data += sent;
        length -= size_t(sent);
    }
    return true;
}

int tcpbuffer::sync()
{
    if (socket_ < 0)
        return -1;
    size_t pending = size_t(pptr() - pbase());
    if (pending == 0)
        return 0; // nothing to write is not a failure
    char* start = pbase();
    // Send in place; on failure keep the unsent rest at the start.
    size_t done = 0;
    bool ok = true;
    while (done < pending) {
        int chunk = int(pending - done > size_t(kMaxChunk) ? kMaxChunk : pending - done);
        int sent = sendData(start + done, chunk);
        if (sent <= 0) {
            if (sent < 0)
                markFailed();
            ok = false;
            break;
        }
        done += size_t(sent);
    }
    size_t rest = pending - done;
    if (rest && done)
        std::memmove(area_, start + done, rest);
    setp(area_, area_ + sendSize_);
    pbump(int(rest));
    return ok ? 0 : -1;
}

tcpbuffer::int_type tcpbuffer::overflow(int_type c)
{
    if (socket_ < 0)
        return traits_type::eof();
    if (pptr() > pbase() && sync() != 0)
        return traits_type::eof();
    if (traits_type::eq_int_type(c, traits_type::eof()))
        return traits_type::not_eof(c);
    if (sendSize_ == 0) {
        char byte = traits_type::to_char_type(c);
        return sendAll(&byte, 1) ? c : traits_type::eof();
    }
    *pptr() = traits_type::to_char_type(c);
    pbump(1);
    return c;
}

tcpbuffer::int_type tcpbuffer::underflow()
{
    if (socket_ < 0)
        return traits_type::eof();
    if (gptr() < egptr())
        return traits_type::to_int_type(*gptr());
    sync();
    char* get = area_ + sendSize_;
    int got = waitAndReceive();
    if (got > 0) {
        setg(get, get, get + got);
        return traits_type::to_int_type(*get);
    }
    setg(get, get, get);
    return traits_type::eof();
}

int tcpbuffer::waitAndReceive()
{
    // A peer that writes a reply in two small pieces with Nagle's algorithm
    // on holds the second piece back until the first is acknowledged, and
    // Linux delays that acknowledgement by up to 40 ms on a connection where
    // both sides talk in turn. Asking for a quick acknowledgement before
    // each blocking receive sends it at once; the kernel clears the option
    // again by itself, so it is set every time.
    int one = 1;
    setsockopt(socket_, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
    if (getTimeout() != 0 && !hasBufferedInput()) {
        errno = 0;
        int ready = selectSock(socket_, true, timeoutMs());
        if (ready <= 0) {
            receiveError_ = ready == 0 || errno == 0 ? ETIMEDOUT : errno;
            return -1;
        }
    }
    char* get = area_ + sendSize_;
    int want = int(receiveSize_ > kMaxChunk ? kMaxChunk : receiveSize_);
    errno = 0;
    int got = recvData(get, want);
    if (got == 0) {
        receiveError_ = 0;
    } else if (got < 0) {
        int error = errno == 0 ? EIO : errno; // a TLS failure leaves errno alone
        receiveError_ = error == EAGAIN || error == EWOULDBLOCK ? ETIMEDOUT : error;
        // A receive that ran into the socket's time-out (a TLS record that
        // stopped half-way) is a time-out like the wait, not a failure.
        if (receiveError_ != ETIMEDOUT)
            markFailed();
    }
    return got;
}

void tcpbuffer::markFailed()
{
    state_ = -1;
    failed_ = true;
}

int tcpbuffer::sendData(void* data, int length)
{
    return int(tavir::tiny::k_send(socket_, data, size_t(length), MSG_NOSIGNAL));
}

int tcpbuffer::recvData(void* data, int length)
{
    return int(tavir::tiny::k_recv(socket_, data, size_t(length), 0));
}

int tcpbuffer::isRecvReady()
{
    int n = selectSock(socket_, true, 0);
    if (n < 0)
        return 1;
    return n > 0 ? 2 : 3;
}

int tcpbuffer::receive()
{
    if (socket_ < 0)
        return 0;
    if (gptr() < egptr())
        return 0;
    sync();
    int got = waitAndReceive();
    // As before: a wait that timed out receives nothing (0), a failed
    // receive is negative.
    return got < 0 && receiveError_ == ETIMEDOUT ? 0 : got;
}

const InetSocketAddress& basic_tcpclientbuffer::getHost()
{
    return readLocalAddress();
}

tcpbuffer* basic_tcpclientbuffer::start(const SSL_METHOD*)
{
    if (!connectPeer())
        return nullptr;
    connected_ = true;
    return this;
}

namespace helper {

bool waitOnSocketSet(const int& socket, int seconds, int microseconds)
{
    long long ms = (long long)seconds * 1000 + microseconds / 1000;
    if (ms > INT_MAX)
        ms = INT_MAX;
    return selectSock(socket, true, int(ms)) > 0;
}

} // namespace helper

} // namespace tavir::utils
