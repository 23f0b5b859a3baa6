// The real transport: the buffered TCP or TLS client stream, with the read
// time-out, the stream-good test and name resolution the connection expects,
// and the verdict on a TLS server's certificate.
#include "imapclient/ImapStream.h"

#include "ssl/ServerTrust.h"
#include "ssl/TcpClientStream.h"
#include "tiny/FormatError.h"
#include "utils/InetSocketAddress.h"
#include "utils/Url.h"

#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace tavir::mail {

ImapStream::~ImapStream() = default;

bool ImapStream::readLine(std::string& line, std::size_t max)
{
    while (line.size() < max) {
        const int c = get();
        if (c < 0)
            return false;
        line.push_back(static_cast<char>(c));
        if (c == '\n')
            return true;
    }
    return false;
}

bool ImapStream::dataWaiting()
{
    return false;
}

std::size_t ImapStream::buffered() const
{
    return 0;
}

void ImapStream::startDeadline(unsigned)
{
}

void ImapStream::extendDeadline(unsigned)
{
}

void ImapStream::setStopGrace(unsigned)
{
}

void ImapStream::setStopSignal(std::shared_ptr<const tavir::utils::StopSignal>)
{
}

int ImapStream::readEndError() const
{
    return ETIMEDOUT;
}

int ImapStream::writeEndError() const
{
    return 0;
}

std::string ImapStream::connectFailure() const
{
    return std::string();
}

bool ImapStream::closedBeforeAnyByte() const
{
    return false;
}

TrustNotice ImapStream::trustNotice() const
{
    return {};
}

namespace {

class TcpImapStream : public ImapStream {
public:
    TcpImapStream(
        std::unique_ptr<tavir::utils::basic_tcpclientiostream> stream, const ImapEndpoint& endpoint)
        : stream_(std::move(stream))
        , endpoint_(endpoint)
    {
    }
    ~TcpImapStream() override = default;

    bool create() override
    {
        stream_->create(nullptr);
        if (stream_->bad() || stream_->fail()) {
            int error = stream_->buffer()->lastConnectError();
            const bool late = error == ETIMEDOUT || error == ETIME;
            // The TLS client buffer counts as connected once the TCP connect
            // is done, so a failure after that is the handshake's.
            connectFailure_ = stream_->isConnected()
                ? std::string(
                    late ? "the TLS handshake did not end in time" : "TLS handshake failed")
                : error == ECONNREFUSED
                // Said as the administration link says it.
                ? std::string("connection refused")
                : error != 0 && error != ENOTCONN
                    ? tavir::tiny::FormatError::formatErrorFromErrorCode(late ? ETIMEDOUT : error)
                    : std::string();
            return false;
        }
        if (endpoint_.ssl && !trustServer())
            return false;
        // Commands are written whole and flushed; Nagle's algorithm would
        // only hold back the tail of a command (the end of an APPEND) until
        // the server's delayed acknowledgement, some 40 ms per message.
        int one = 1;
        setsockopt(stream_->buffer()->getSocket(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        return true;
    }
    void close() override { stream_->close(); }
    bool good() override
    {
        if (stream_->eof()) {
            stream_->clear();
            return true;
        }
        return stream_->rdstate() == std::ios::goodbit;
    }
    int get() override
    {
        int c = stream_->rdbuf()->sbumpc();
        if (c == std::char_traits<char>::eof()) {
            stream_->setstate(std::ios::eofbit | std::ios::failbit);
            return -1;
        }
        return c;
    }
    bool readLine(std::string& line, std::size_t max) override
    {
        if (stream_->buffer()->readLine(line, max))
            return true;
        // The read ended (not the limit): as get() says it.
        if (line.size() < max)
            stream_->setstate(std::ios::eofbit | std::ios::failbit);
        return false;
    }
    std::size_t read(char* data, std::size_t n) override
    {
        std::streamsize got = stream_->rdbuf()->sgetn(data, static_cast<std::streamsize>(n));
        if (got < 0)
            got = 0;
        if (static_cast<std::size_t>(got) < n)
            stream_->setstate(std::ios::eofbit | std::ios::failbit);
        return static_cast<std::size_t>(got);
    }
    void write(const char* data, std::size_t n) override
    {
        stream_->write(data, static_cast<std::streamsize>(n));
    }
    void flush() override { stream_->flush(); }
    bool dataWaiting() override { return stream_->buffer()->dataWaiting(); }
    std::size_t buffered() const override { return stream_->buffer()->buffered(); }
    void setTimeoutMs(unsigned ms) override { stream_->setTimeoutMs(ms); }
    void startDeadline(unsigned ms) override { stream_->startDeadline(ms); }
    void extendDeadline(unsigned ms) override { stream_->extendDeadline(ms); }
    void setStopGrace(unsigned ms) override { stream_->setStopGrace(ms); }
    void setStopSignal(std::shared_ptr<const tavir::utils::StopSignal> stop) override
    {
        endpoint_.stop = stop;
        stream_->setStopSignal(std::move(stop));
    }
    int readEndError() const override { return stream_->buffer()->lastReceiveError(); }
    int writeEndError() const override { return stream_->buffer()->lastSendError(); }
    std::string connectFailure() const override { return connectFailure_; }
    bool closedBeforeAnyByte() const override { return stream_->buffer()->closedBeforeAnyByte(); }
    TrustNotice trustNotice() const override { return trustNotice_; }

private:
    // Before the first byte of the session, so that no password goes to a
    // server that is not trusted.
    bool trustServer()
    {
        auto* tls = dynamic_cast<tavir::ssl::basic_sslbuffer*>(stream_->buffer());
        // A hung holder of the known-hosts file's lock is waited for within
        // the connection's deadline, and no longer once it is stopped.
        const tavir::ssl::KnownHosts::Wait wait{
            stream_->buffer()->deadline(), endpoint_.stop.get()};
        using Kind = tavir::ssl::ServerTrust::Kind;
        tavir::ssl::ServerTrust trust
            = tavir::ssl::judgeServer(tls ? tls->getSSL() : nullptr, endpoint_.host, endpoint_.port,
                tavir::ssl::KnownHosts(tavir::ssl::KnownHosts::defaultLocation()), wait,
                endpoint_.firstUse);
        const std::string server = endpoint_.host + ":" + std::to_string(endpoint_.port);
        if (!trust.trusted()) {
            connectFailure_ = trust.sentence;
            trustNotice_ = {server, "", trust.kind == Kind::Changed,
                trust.kind == Kind::Unknown ? trust.sha256 : std::string(), ""};
            stream_->close();
            return false;
        }
        trustNotice_ = {server, trust.sentence, false, "", trust.recordedSentence};
        return true;
    }

    std::unique_ptr<tavir::utils::basic_tcpclientiostream> stream_;
    ImapEndpoint endpoint_;
    std::string connectFailure_;
    TrustNotice trustNotice_;
};

} // namespace

// An APPEND's line and a body of up to this size gather in the send area
// and leave in one send. A larger body leaves straight from its own buffer,
// as much per send as the socket takes (tcpbuffer::xsputn): written out in
// small pieces, a large body takes the target far longer to receive than it
// took to fetch from the source. Replies are read 4096 bytes at a time, and
// literals larger than that straight into their place.
constexpr long sendBufferSize = 256 << 10;
// The send area of a connection that writes commands alone: a source's
// longest command line, a FETCH of 200 numbers named one by one, is under
// 2 KiB. A source's connections are the most numerous (those the login tests
// keep for the workers among them), and the area is allocated whole with
// the stream.
constexpr long commandBufferSize = 4096;

std::unique_ptr<ImapStream> makeTcpImapStream(const ImapEndpoint& endpoint)
{
    using namespace tavir::utils;
    std::string text = "imap://" + endpoint.host + ":" + std::to_string(endpoint.port);
    try {
        std::unique_ptr<basic_tcpclientiostream> stream;
        const long sendArea = endpoint.writesBodies ? sendBufferSize : commandBufferSize;
        if (endpoint.ssl) {
            Url url(text);
            InetSSLSocketAddress peer(url, "", "");
            stream = std::make_unique<basic_tcpclientiostream>(
                peer, InetSSLSocketAddress::any(), 4096, sendArea, true);
            static_cast<tavir::ssl::basic_sslbuffer*>(stream->buffer())
                ->expectServerName(endpoint.host);
        } else {
            InetSocketAddress peer(text);
            stream = std::make_unique<basic_tcpclientiostream>(
                peer, InetSocketAddress::any(), 4096, sendArea);
        }
        stream->setStopSignal(endpoint.stop);
        auto result = std::make_unique<TcpImapStream>(std::move(stream), endpoint);
        result->setTimeoutMs(endpoint.timeoutMs);
        return result;
    } catch (const std::exception&) {
        // The host name can't be resolved (or the address not be made).
        return nullptr;
    }
}

} // namespace tavir::mail
