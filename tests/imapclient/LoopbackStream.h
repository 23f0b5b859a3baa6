#pragma once
// The transport used by the integration tests and the copy benchmark: the
// client's own TCP stream when this build has one, else a small blocking
// plain-TCP stream over POSIX sockets (loopback peers only, no TLS), so the
// commands can be run against real servers before the TCP/TLS client stream
// is wired in.
#include "imapclient/ImapStream.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace tavir::test {

class LoopbackStream : public tavir::mail::ImapStream {
public:
    explicit LoopbackStream(const tavir::mail::ImapEndpoint& endpoint)
        : endpoint_(endpoint)
    {
        in_.resize(1 << 16);
    }
    ~LoopbackStream() override { close(); }

    bool create() override
    {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        std::string port = std::to_string(endpoint_.port);
        if (getaddrinfo(endpoint_.host.c_str(), port.c_str(), &hints, &found) != 0 || !found) {
            bad_ = true;
            return false;
        }
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        bool ok = fd_ >= 0 && ::connect(fd_, found->ai_addr, found->ai_addrlen) == 0;
        freeaddrinfo(found);
        if (!ok) {
            bad_ = true;
            return false;
        }
        int one = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        setTimeoutMs(timeoutMs_ ? timeoutMs_ : endpoint_.timeoutMs);
        return true;
    }
    void close() override
    {
        if (fd_ >= 0) {
            flush();
            ::close(fd_);
            fd_ = -1;
        }
    }
    bool good() override
    {
        eof_ = false;
        return !bad_ && fd_ >= 0;
    }
    int get() override
    {
        if (pos_ == end_ && !fill())
            return -1;
        return static_cast<unsigned char>(in_[pos_++]);
    }
    std::size_t read(char* data, std::size_t n) override
    {
        std::size_t done = 0;
        while (done < n) {
            if (pos_ == end_ && !fill())
                break;
            std::size_t take = std::min(n - done, end_ - pos_);
            std::memcpy(data + done, in_.data() + pos_, take);
            pos_ += take;
            done += take;
        }
        return done;
    }
    void write(const char* data, std::size_t n) override
    {
        if (bad_ || fd_ < 0)
            return;
        out_.append(data, n);
        if (out_.size() >= (1 << 20))
            flush();
    }
    void flush() override
    {
        std::size_t done = 0;
        while (done < out_.size() && !bad_ && fd_ >= 0) {
            ssize_t n = ::send(fd_, out_.data() + done, out_.size() - done, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                bad_ = true;
                break;
            }
            done += static_cast<std::size_t>(n);
        }
        out_.clear();
    }
    void setTimeoutMs(unsigned ms) override
    {
        timeoutMs_ = ms;
        if (fd_ < 0)
            return;
        timeval tv{};
        tv.tv_sec = ms / 1000;
        tv.tv_usec = (ms % 1000) * 1000;
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    }

private:
    bool fill()
    {
        if (bad_ || fd_ < 0 || eof_)
            return false;
        flush();
        for (;;) {
            ssize_t n = ::recv(fd_, in_.data(), in_.size(), 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n > 0) {
                pos_ = 0;
                end_ = static_cast<std::size_t>(n);
                return true;
            }
            if (n == 0 || errno == EAGAIN || errno == EWOULDBLOCK)
                eof_ = true; // closed peer or time-out: forgiven by good()
            else
                bad_ = true;
            return false;
        }
    }

    tavir::mail::ImapEndpoint endpoint_;
    int fd_ = -1;
    unsigned timeoutMs_ = 0;
    std::vector<char> in_;
    std::size_t pos_ = 0;
    std::size_t end_ = 0;
    std::string out_;
    bool eof_ = false;
    bool bad_ = false;
};

// The client's own stream when the build has one, else LoopbackStream
// (plain endpoints only).
inline std::unique_ptr<tavir::mail::ImapStream> loopbackStream(
    const tavir::mail::ImapEndpoint& endpoint)
{
    if (auto real = tavir::mail::makeTcpImapStream(endpoint))
        return real;
    if (endpoint.ssl)
        return nullptr;
    return std::make_unique<LoopbackStream>(endpoint);
}

// True when implicit TLS can be tested (the client's own stream exists).
inline bool haveTlsStream()
{
    tavir::mail::ImapEndpoint probe;
    probe.host = "127.0.0.1";
    probe.port = 1;
    probe.ssl = true;
    return tavir::mail::makeTcpImapStream(probe) != nullptr;
}

} // namespace tavir::test
