// The real transport: a TCP connection made here, handed to the TLS socket
// of the ssl library (KSslSocket) with a context of its own, whose blocking
// calls a ConnectionWatch ends at the exchange's deadline or on a stop; the
// server certificate's fingerprint is taken from the connected socket.
// System errors are read through OSInfo::sysError, as the socket layer's
// select functions set them.
#include "tinydb/TinyDbStream.h"

#include "ssl/Certificate.h"
#include "ssl/KSslSocket.h"
#include "ssl/SSLContext.h"
#include "ssl/SslErrHandler.h"
#include "tiny/SelectSocks.h"
#include "tiny/SocketLayer.h"
#include "tiny/SocketPortability.h"
#include "tinydb/ConnectionWatch.h"
#include "utils/Descriptor.h"
#include "utils/InetSocketAddress.h"
#include "utils/OSInfo.h"
#include "utils/StringUtils.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace tavir::tinydb {

TinyDbStream::~TinyDbStream() = default;

void TinyDbStream::beginExchange() { }

void TinyDbStream::setStopSignal(std::shared_ptr<const tavir::utils::StopSignal>) { }

namespace {

using Clock = ConnectionWatch::Clock;
using tavir::ssl::KSslSocket;
using tavir::utils::OSInfo;

// Waits until the non-blocking connect on `fd` has ended: 0 when it
// succeeded, else why not (ETIMEDOUT at the deadline, ECANCELED on a stop).
int awaitConnected(
    int fd, const std::optional<Clock::time_point>& deadline, const tavir::utils::StopSignal* stop)
{
    for (;;) {
        if (stop && stop->raised())
            return ECANCELED;
        if (deadline && Clock::now() >= *deadline)
            return ETIMEDOUT;
        tavir::tiny::SelectSocks ready;
        ready.addWrite(fd);
        if (stop && stop->descriptor() >= 0)
            ready.addRead(stop->descriptor());
        const int n = ready.select(waitLimitMs(deadline, stop));
        if (n < 0)
            return OSInfo::sysError();
        // A stop that came while the connection was made wins.
        if (stop && stop->raised())
            return ECANCELED;
        if (n > 0 && ready.checkWrite(fd)) {
            int error = 0;
            socklen_t length = sizeof error;
            if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
                return OSInfo::sysError();
            return error;
        }
    }
}

// A blocking TCP connection to `peer`, made within the deadline and ended
// by a stop; none, with `error` set, when it could not be made.
tavir::utils::Descriptor connectTcp(const tavir::utils::InetSocketAddress& peer,
    const std::optional<Clock::time_point>& deadline, const tavir::utils::StopSignal* stop,
    int& error)
{
    tavir::utils::Descriptor fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.valid()) {
        error = OSInfo::sysError();
        return {};
    }
    error = 0;
    if (tavir::tiny::k_connect(fd.get(), peer.getSockAddr(), peer.getSockAddrLength()) != 0) {
        error = OSInfo::sysError();
        if (error == EINPROGRESS)
            error = awaitConnected(fd.get(), deadline, stop);
    }
    // From here on the TLS socket blocks, and the watch bounds its calls.
    if (error == 0 && tavir::tiny::sockBlockMode(fd.get(), 1) != 0)
        error = OSInfo::sysError();
    return error == 0 ? std::move(fd) : tavir::utils::Descriptor();
}

class TlsTinyDbStream : public TinyDbStream {
public:
    explicit TlsTinyDbStream(const TinyDbEndpoint& endpoint)
        : endpoint_(endpoint)
    {
        // The same policy as the IMAP client's streams: no certificate is
        // verified by TLS here, the pin is.
        if (context_.set_mode(tavir::ssl::SSLContext::SSLv23_CLIENT) == 0)
            tavir::ssl::applyLegacyClientPolicy(context_.context());
        watch_.setStopSignal(endpoint_.stop);
    }
    ~TlsTinyDbStream() override { close(); }

    bool connect(std::string& cause) override
    {
        beginExchange();
        tavir::utils::Inet4Address address;
        try {
            address = tavir::utils::Inet4Address::getByName(endpoint_.host);
        } catch (const std::exception&) {
            cause = "the host name can't be resolved";
            return false;
        }
        int error = 0;
        tavir::utils::Descriptor tcp = connectTcp(tavir::utils::InetSocketAddress(address,
                                                      endpoint_.port),
            deadline_, endpoint_.stop.get(), error);
        if (!tcp.valid()) {
            cause = connectFailure(error);
            return false;
        }
        watch_.start();
        const bool opened = socket_.init(&context_)
            && socket_.open(tcp.get(), KSslSocket::MODE_AUTO_RETRY);
        if (socket_.getSocket() == tcp.get())
            tcp.release(); // the socket owns it now, opened or not
        if (!opened) {
            cause = "the TLS handshake failed";
            return false;
        }
        limitSocketWaits();
        if (!watched([this] { return socket_.connect(); })) {
            cause = handshakeFailure();
            socket_.kill();
            return false;
        }
        return true;
    }

    void beginExchange() override
    {
        exchangeBytes_ = 0;
        deadline_.reset();
        if (endpoint_.timeoutMs != 0)
            deadline_ = Clock::now() + std::chrono::milliseconds(endpoint_.timeoutMs);
        watch_.setDeadline(deadline_);
    }

    void setStopSignal(std::shared_ptr<const tavir::utils::StopSignal> stop) override
    {
        endpoint_.stop = stop;
        watch_.setStopSignal(std::move(stop));
    }

    std::string peerFingerprint() override
    {
        tavir::crypto::Certificate certificate;
        std::string fingerprint;
        if (certificate.getFromPeer(socket_))
            certificate.getFingerprint(fingerprint, ":");
        return fingerprint;
    }

    ReadEnd read(char* data, std::size_t n) override
    {
        std::size_t got = 0;
        bool failed = false;
        // Before the call: once it is in hand the watch may kill the socket
        // at any moment, and with it the descriptor.
        askQuickAck();
        if (watch_.enter()) {
            while (got < n) {
                const std::size_t part = socket_.read(data + got, n - got);
                if (part == 0)
                    break;
                got += part;
            }
            failed = socket_.lastReadFailed();
            watch_.leave();
        }
        exchangeBytes_ += got;
        if (got == n)
            return ReadEnd::Complete;
        switch (watch_.ending()) {
        case ConnectionWatch::Ending::Stop:
            return ReadEnd::Stopped;
        case ConnectionWatch::Ending::Deadline:
            return outOfTime();
        case ConnectionWatch::Ending::None:
            break;
        }
        if (failed && pastDeadline())
            return outOfTime();
        return failed ? ReadEnd::Failed : ReadEnd::Closed;
    }

    bool write(const std::string& bytes) override
    {
        return watched([&] {
            return socket_.write(bytes.data(), bytes.size()) == bytes.size()
                && socket_.flush() == 0;
        });
    }

    void close() override
    {
        // The close-notify is a small exchange of its own; after a stop, or
        // on a connection the watch ended, the socket is simply killed.
        beginExchange();
        if (!watched([this] {
                socket_.close();
                return true;
            }))
            socket_.kill();
    }

private:
    // Runs one blocking call on the socket under the watch; false when the
    // watch refused it or the call failed.
    template <class Call> bool watched(Call call)
    {
        if (!watch_.enter())
            return false;
        const bool done = call();
        watch_.leave();
        return done;
    }

    // The socket's own time-outs: a bound for each call should the watch
    // have no thread. Frames go out whole, so Nagle's algorithm would only
    // hold the end of a large batch back for an acknowledgement.
    void limitSocketWaits()
    {
        if (endpoint_.timeoutMs != 0) {
            const int ms = static_cast<int>(std::min<unsigned>(endpoint_.timeoutMs, INT_MAX));
            socket_.setReadTimeout(ms);
            socket_.setWriteTimeout(ms);
        }
        int one = 1;
        socket_.setSockOpt(IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&one), sizeof one);
    }

    void askQuickAck()
    {
        // A server that writes pipelined answers one after the other with
        // Nagle's algorithm on holds each small one back until the one
        // before it is acknowledged, and Linux delays that acknowledgement
        // by up to 40 ms on a connection where both sides talk in turn.
        // Asking for a quick acknowledgement before a read sends the one
        // pending at once; the kernel clears the option by itself.
        int one = 1;
        socket_.setSockOpt(IPPROTO_TCP, TCP_QUICKACK, reinterpret_cast<char*>(&one), sizeof one);
    }

    // The socket's own time-out ends a silent server's call, as a failed
    // one, where the watch's thread is missing or slower to wake (under
    // load) than the time-out, which has the same length.
    bool pastDeadline() const { return deadline_ && Clock::now() >= *deadline_; }

    ReadEnd outOfTime() const { return exchangeBytes_ > 0 ? ReadEnd::TooSlow : ReadEnd::TimedOut; }

    std::string noAnswer() const
    {
        return "no answer within " + utils::secondsText(endpoint_.timeoutMs);
    }

    std::string connectFailure(int error) const
    {
        switch (error) {
        case ECONNREFUSED:
            return "connection refused";
        case ECANCELED:
            return "stopped while connecting";
        case ETIMEDOUT:
            return noAnswer();
        default:
            return std::strerror(error);
        }
    }

    std::string handshakeFailure() const
    {
        // What the library collected is the socket's business only: the
        // thread's list is emptied, not kept growing.
        std::string ignored;
        tavir::ssl::SslErrHandler::instance()->getLastError(ignored);
        switch (watch_.ending()) {
        case ConnectionWatch::Ending::Stop:
            return "stopped while connecting";
        case ConnectionWatch::Ending::Deadline:
            return noAnswer();
        case ConnectionWatch::Ending::None:
            break;
        }
        return pastDeadline() ? noAnswer() : "the TLS handshake failed";
    }

    TinyDbEndpoint endpoint_;
    std::optional<Clock::time_point> deadline_; // of the exchange in hand
    tavir::ssl::SSLContext context_;
    // Without a period guard: the watch bounds every call, by the exchange's
    // deadline (docs/tinydb-protocol.md, "Transport and trust").
    KSslSocket socket_;
    ConnectionWatch watch_{socket_}; // last: its thread ends before the socket goes
    std::size_t exchangeBytes_ = 0; // read since the exchange began
};

} // namespace

std::unique_ptr<TinyDbStream> makeTlsTinyDbStream(const TinyDbEndpoint& endpoint)
{
    return std::make_unique<TlsTinyDbStream>(endpoint);
}

} // namespace tavir::tinydb
