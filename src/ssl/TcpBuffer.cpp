#include "ssl/TcpBuffer.h"

#include "ssl/SigPipe.h"
#include "tiny/SocketLayer.h"
#include "tiny/SocketPortability.h"
#include "utils/KSock.h"
#include "utils/OSInfo.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
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
}

void tcpbuffer::setTimeoutInuSeconds(unsigned microseconds)
{
    timeoutMicroseconds_ = int(microseconds);
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

void tcpbuffer::startDeadline(unsigned ms)
{
    hasDeadline_ = ms != 0;
    deadline_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
}

void tcpbuffer::extendDeadline(unsigned ms)
{
    if (!inGrace_)
        deadline_ += std::chrono::milliseconds(ms);
}

void tcpbuffer::setStopGrace(unsigned ms)
{
    stopGraceMs_ = ms;
    inGrace_ = false;
}

bool tcpbuffer::stopNow()
{
    if (!stopRequested())
        return false;
    if (stopGraceMs_ == 0)
        return true;
    // One grace per stop, counted from when it was first seen, however
    // many operations ask for one.
    if (!graceStarted_) {
        graceStarted_ = true;
        graceEnd_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(stopGraceMs_);
    }
    inGrace_ = true;
    if (!hasDeadline_ || graceEnd_ < deadline_)
        deadline_ = graceEnd_;
    hasDeadline_ = true;
    return false;
}

int tcpbuffer::waitFor(short events)
{
    for (;;) {
        if (stopNow()) {
            OSInfo::setSysError(ECANCELED);
            return -1;
        }
        const int stopFd = stop_ && !inGrace_ ? stop_->descriptor() : -1;
        long long wait = getTimeout() != 0 ? std::max(1, timeoutMs()) : -1;
        bool byDeadline = false;
        if (hasDeadline_) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(
                deadline_ - std::chrono::steady_clock::now())
                            .count();
            if (left <= 0) {
                OSInfo::setSysError(ETIME);
                return 0;
            }
            if (wait < 0 || left < wait) {
                wait = left;
                byDeadline = true;
            }
        }
        pollfd fds[2] = {{socket_, events, 0}, {stopFd, POLLIN, 0}};
        int n = ::poll(fds, stopFd >= 0 ? 2 : 1, int(std::min<long long>(wait, INT_MAX)));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0) {
            // The deadline may have been the shorter wait by a rounding
            // step only: ask it again.
            if (byDeadline)
                continue;
            OSInfo::setSysError(ETIMEDOUT);
            return 0;
        }
        if (stopFd >= 0 && fds[1].revents != 0) {
            if (stopNow()) {
                OSInfo::setSysError(ECANCELED);
                return -1;
            }
            if (fds[0].revents == 0)
                continue; // in the grace: the socket alone from now on
        }
        return 1;
    }
}

bool tcpbuffer::init()
{
    if (bound_)
        return true;
    ssl::ignoreSigPipe();
    setp(area_, area_ + sendSize_);
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
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
    connectError_ = ENOTCONN;
    closedBeforeAnyByte_ = false;
    if (!init())
        return nullptr;
    // Without a deadline of the caller's, connecting and the handshake
    // together get one time-out.
    const bool ownDeadline = !hasDeadline_ && getTimeout() != 0;
    if (ownDeadline)
        startDeadline(unsigned(std::max(1, timeoutMs())));
    tcpbuffer* result = start(method);
    if (ownDeadline)
        clearDeadline();
    return result;
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
    int error = 0;
    if (::connect(socket_, address, peer_.getSockAddrLength()) != 0) {
        error = errno;
        while (error == EINPROGRESS || error == EINTR) {
            int ready = waitFor(POLLOUT);
            if (ready <= 0) {
                error = errno;
                break;
            }
            socklen_t length = sizeof error;
            if (getsockopt(socket_, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
                error = errno;
            // A stop that came while the connection was made wins: the
            // socket may look ready only because it was shut down.
            if (error == 0 && stopRequested())
                error = ECANCELED;
        }
    }
    if (error != 0) {
        connectError_ = error;
        // Taken, then reset before the connect was seen to end: the server
        // turned the connection away as one it reset at its greeting.
        if (error == ECONNRESET) {
            closedBeforeAnyByte_ = true;
            receiveError_ = error;
        }
        closeSocket();
        errno = error;
        return false;
    }
    failed_ = false;
    graceStarted_ = false;
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

bool tcpbuffer::sendAll(const char* data, size_t length, size_t& sent)
{
    return sendAll(data, length, nullptr, 0, sent);
}

bool tcpbuffer::sendAll(
    const char* head, size_t headLength, const char* data, size_t length, size_t& sent)
{
    sent = 0;
    const size_t total = headLength + length;
    while (sent < total) {
        if (stopNow()) {
            sendError_ = ECANCELED;
            markFailed();
            return false;
        }
        // What is left: the rest of the head and all of the data, or the
        // rest of the data.
        const bool inHead = sent < headLength;
        const char* first = inHead ? head + sent : data + (sent - headLength);
        const size_t firstLength = inHead ? headLength - sent : total - sent;
        wantEvents_ = POLLOUT;
        errno = 0;
        int done = sendGathered(first, int(std::min<size_t>(firstLength, size_t(kMaxChunk))),
            inHead ? data : nullptr, inHead ? int(std::min<size_t>(length, size_t(kMaxChunk))) : 0);
        if (done > 0) {
            sent += size_t(done);
            continue;
        }
        int error = done < 0 && errno != 0 ? errno : EIO;
        if (error == EAGAIN || error == EWOULDBLOCK) {
            if (waitFor(wantEvents_) > 0)
                continue;
            error = errno;
        }
        // Whatever stopped it, part of what was to be written is on its way
        // and the rest never will be: the connection can't go on.
        sendError_ = error;
        markFailed();
        return false;
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
    size_t done = 0;
    bool ok = sendAll(start, pending, done);
    // On failure the unsent rest stays at the start.
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
        size_t sent = 0;
        return sendAll(&byte, 1, sent) ? c : traits_type::eof();
    }
    *pptr() = traits_type::to_char_type(c);
    pbump(1);
    return c;
}

std::streamsize tcpbuffer::xsputn(const char* data, std::streamsize n)
{
    if (n <= epptr() - pptr()) {
        std::memcpy(pptr(), data, size_t(n));
        pbump(int(n));
        return n;
    }
    if (socket_ < 0)
        return 0;
    // What does not fit leaves as a full area would, one area's worth after
    // the other, and the rest stays in the put area; but it leaves straight
    // from the caller's buffer, with what the put area holds, in one send
    // instead of being copied into the put area first (a message body).
    const size_t pending = size_t(pptr() - pbase());
    const size_t keep = sendSize_ > 0 ? (pending + size_t(n)) % size_t(sendSize_) : 0;
    size_t sent = 0;
    const bool ok = sendAll(pbase(), pending, data, size_t(n) - keep, sent);
    setp(area_, area_ + sendSize_);
    if (!ok)
        return 0;
    std::memcpy(pptr(), data + (size_t(n) - keep), keep);
    pbump(int(keep));
    return n;
}

int tcpbuffer::sendGathered(const char* first, int firstLength, const char* second, int secondLength)
{
    if (second == nullptr || secondLength == 0)
        return sendData(const_cast<char*>(first), firstLength);
    iovec pieces[2] = {{const_cast<char*>(first), size_t(firstLength)},
        {const_cast<char*>(second), size_t(secondLength)}};
    msghdr message{};
    message.msg_iov = pieces;
    message.msg_iovlen = 2;
    ssize_t done = ::sendmsg(socket_, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    return done > INT_MAX ? INT_MAX : int(done);
}

tcpbuffer::int_type tcpbuffer::underflow()
{
    if (socket_ < 0)
        return traits_type::eof();
    if (gptr() < egptr())
        return traits_type::to_int_type(*gptr());
    sync();
    char* get = area_ + sendSize_;
    int got = waitAndReceive(get, receiveChunk());
    if (got > 0) {
        setg(get, get, get + got);
        return traits_type::to_int_type(*get);
    }
    setg(get, get, get);
    return traits_type::eof();
}

std::streamsize tcpbuffer::xsgetn(char* data, std::streamsize n)
{
    std::streamsize done = 0;
    while (done < n) {
        const std::streamsize buffered = egptr() - gptr();
        if (buffered > 0) {
            const std::streamsize take = std::min(buffered, n - done);
            std::memcpy(data + done, gptr(), size_t(take));
            gbump(int(take));
            done += take;
            continue;
        }
        if (socket_ < 0)
            break;
        // What does not fit the get area (a literal's bytes) is received
        // straight into its place: one receive for as much as has come,
        // instead of one per get area and a copy.
        if (n - done < receiveSize_) {
            if (traits_type::eq_int_type(underflow(), traits_type::eof()))
                break;
            continue;
        }
        sync();
        int got = waitAndReceive(data + done, int(std::min<std::streamsize>(n - done, kMaxChunk)));
        if (got <= 0)
            break;
        done += got;
    }
    return done;
}

bool tcpbuffer::readLine(std::string& line, size_t max)
{
    while (line.size() < max) {
        if (gptr() == egptr() && traits_type::eq_int_type(underflow(), traits_type::eof()))
            return false;
        const size_t n = std::min(size_t(egptr() - gptr()), max - line.size());
        const char* end = static_cast<const char*>(std::memchr(gptr(), '\n', n));
        const size_t take = end != nullptr ? size_t(end - gptr()) + 1 : n;
        line.append(gptr(), take);
        gbump(int(take));
        if (end != nullptr)
            return true;
    }
    return false;
}

bool tcpbuffer::dataWaiting()
{
    if (gptr() < egptr())
        return true;
    if (socket_ < 0)
        return false;
    char* get = area_ + sendSize_;
    wantEvents_ = POLLIN;
    errno = 0;
    int got = recvData(get, receiveChunk());
    if (got > 0) {
        setg(get, get, get + got);
        return true;
    }
    const int error = errno;
    // The end of the stream, or a failure, is there at once too: the next
    // read meets it again.
    return got == 0 || !(error == EAGAIN || error == EWOULDBLOCK);
}

int tcpbuffer::receiveChunk() const
{
    return int(receiveSize_ > kMaxChunk ? kMaxChunk : receiveSize_);
}

int tcpbuffer::waitAndReceive(char* into, int want)
{
    for (;;) {
        if (stopNow()) {
            receiveError_ = ECANCELED;
            markFailed();
            return -1;
        }
        wantEvents_ = POLLIN;
        errno = 0;
        int got = recvData(into, want);
        if (got >= 0) {
            receiveError_ = 0;
            return got;
        }
        int error = errno == 0 ? EIO : errno; // a TLS failure leaves errno alone
        if (error == EAGAIN || error == EWOULDBLOCK) {
            if (wantEvents_ == POLLIN)
                askQuickAck();
            if (waitFor(wantEvents_) > 0)
                continue;
            error = errno;
            // Nothing came in time: the connection stays as it is (a late
            // answer can still be read); whether to go on is the caller's
            // choice.
            if (error == ETIMEDOUT || error == ETIME) {
                receiveError_ = error;
                return -1;
            }
        }
        receiveError_ = error;
        markFailed();
        return -1;
    }
}

void tcpbuffer::askQuickAck()
{
    // A peer that writes a reply in two small pieces with Nagle's algorithm
    // on holds the second piece back until the first is acknowledged, and
    // Linux delays that acknowledgement by up to 40 ms on a connection where
    // both sides talk in turn. Asking for a quick acknowledgement sends the
    // one pending at once. It is asked only before a wait: a receive that
    // finds its bytes there needs nothing from the peer. The kernel clears
    // the option again by itself, so it is set every time.
    int one = 1;
    setsockopt(socket_, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
}

void tcpbuffer::markFailed()
{
    state_ = -1;
    failed_ = true;
}

int tcpbuffer::sendData(void* data, int length)
{
    return int(tavir::tiny::k_send(socket_, data, size_t(length), MSG_NOSIGNAL | MSG_DONTWAIT));
}

int tcpbuffer::recvData(void* data, int length)
{
    return int(tavir::tiny::k_recv(socket_, data, size_t(length), MSG_DONTWAIT));
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
    int got = waitAndReceive(area_ + sendSize_, receiveChunk());
    // A wait that timed out receives nothing (0), a failed receive is
    // negative.
    return got < 0 && (receiveError_ == ETIMEDOUT || receiveError_ == ETIME) ? 0 : got;
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
