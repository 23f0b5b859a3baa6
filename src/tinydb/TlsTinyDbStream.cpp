// The real transport: the buffered TLS client stream of the ssl library, with
// the peer certificate's fingerprint taken from its SSL object.
#include "tinydb/TinyDbStream.h"

#include "ssl/Certificate.h"
#include "ssl/SslBuffer.h"
#include "ssl/TcpClientStream.h"
#include "utils/InetSocketAddress.h"

#include <cerrno>
#include <cstring>

namespace tavir::tinydb {

TinyDbStream::~TinyDbStream() = default;

void TinyDbStream::beginExchange() { }

void TinyDbStream::setStopSignal(std::shared_ptr<const tavir::utils::StopSignal>) { }

namespace {

class TlsTinyDbStream : public TinyDbStream {
public:
    explicit TlsTinyDbStream(const TinyDbEndpoint& endpoint)
        : endpoint_(endpoint)
    {
    }
    ~TlsTinyDbStream() override { close(); }

    bool connect(std::string& cause) override
    {
        using namespace tavir::utils;
        InetSSLSocketAddress peer;
        try {
            peer = InetSSLSocketAddress(
                Inet4Address::getByName(endpoint_.host), endpoint_.port, "", "");
        } catch (const std::exception&) {
            cause = "the host name can't be resolved";
            return false;
        }
        stream_ = std::make_unique<basic_tcpclientiostream>(
            peer, InetSSLSocketAddress::any(), 16384, 16384, true);
        stream_->setTimeoutMs(endpoint_.timeoutMs);
        stream_->setStopSignal(endpoint_.stop);
        beginExchange();
        stream_->create(nullptr);
        if (stream_->bad() || stream_->fail() || !stream_->isConnected()) {
            int error = stream_->buffer()->lastConnectError();
            cause = error == ECONNREFUSED ? "connection refused"
                : error == ECANCELED      ? "stopped while connecting"
                : error == ETIMEDOUT || error == ETIME
                ? "no answer within " + std::to_string(endpoint_.timeoutMs) + " ms"
                : stream_->isConnected() || error == ENOTCONN || error == EPROTO
                ? std::string("the TLS handshake failed")
                : std::string(std::strerror(error));
            stream_.reset();
            return false;
        }
        return true;
    }

    void beginExchange() override
    {
        exchangeBytes_ = 0;
        if (stream_)
            stream_->startDeadline(endpoint_.timeoutMs);
    }

    void setStopSignal(std::shared_ptr<const tavir::utils::StopSignal> stop) override
    {
        endpoint_.stop = stop;
        if (stream_)
            stream_->setStopSignal(std::move(stop));
    }

    std::string peerFingerprint() override
    {
        auto* tls
            = stream_ ? dynamic_cast<tavir::ssl::basic_sslbuffer*>(stream_->buffer()) : nullptr;
        tavir::crypto::Certificate certificate;
        std::string fingerprint;
        if (tls && certificate.getFromPeer(tls->getSSL()))
            certificate.getFingerprint(fingerprint, ":");
        return fingerprint;
    }

    ReadEnd read(char* data, std::size_t n) override
    {
        if (!stream_)
            return ReadEnd::Failed;
        std::streamsize got = stream_->rdbuf()->sgetn(data, static_cast<std::streamsize>(n));
        if (got > 0)
            exchangeBytes_ += static_cast<std::size_t>(got);
        if (got == static_cast<std::streamsize>(n))
            return ReadEnd::Complete;
        switch (stream_->buffer()->lastReceiveError()) {
        case 0:
            return stream_->getSocketState() < 0 ? ReadEnd::Failed : ReadEnd::Closed;
        case ETIMEDOUT:
            return ReadEnd::TimedOut;
        case ETIME:
            return exchangeBytes_ > 0 ? ReadEnd::TooSlow : ReadEnd::TimedOut;
        case ECANCELED:
            return ReadEnd::Stopped;
        default:
            return ReadEnd::Failed;
        }
    }

    bool write(const std::string& bytes) override
    {
        if (!stream_)
            return false;
        stream_->write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        stream_->flush();
        return !stream_->bad() && !stream_->fail() && stream_->getSocketState() >= 0;
    }

    void close() override
    {
        if (stream_) {
            stream_->close();
            stream_.reset();
        }
    }

private:
    TinyDbEndpoint endpoint_;
    std::unique_ptr<tavir::utils::basic_tcpclientiostream> stream_;
    std::size_t exchangeBytes_ = 0; // read since the exchange began
};

} // namespace

std::unique_ptr<TinyDbStream> makeTlsTinyDbStream(const TinyDbEndpoint& endpoint)
{
    return std::make_unique<TlsTinyDbStream>(endpoint);
}

} // namespace tavir::tinydb
