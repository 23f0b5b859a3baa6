#pragma once
// TLS client stream buffers: the bytes of the stream go through one SSL
// object once TLS is active (at connect, or later with startSSL()).
#include "ssl/SSLContext.h"
#include "ssl/TcpBuffer.h"

#include <openssl/ssl.h>

#include <string>

namespace tavir::ssl {

class basic_sslbuffer : public tavir::utils::tcpbuffer {
public:
    basic_sslbuffer(const tavir::utils::InetSocketAddress& peer,
        const tavir::utils::InetSocketAddress& local, long receiveSize, long sendSize,
        bool tlsAtConnect);
    ~basic_sslbuffer() override;

    // Client handshake on the open socket: positive on success, 0 or
    // negative otherwise (0 also when no SSL object could be made).
    int startSSL() override;
    // Bytes flow plain again on the same socket; the SSL object stays.
    int resetSSL() override;
    // The name (or address) the user typed for the server: asked for in the
    // handshake, and the certificate verified for it (ServerTrust.h). The
    // handshake succeeds whatever that verification finds.
    void expectServerName(const std::string& host) { serverName_ = host; }

    bool isTlsActive() const { return tlsActive_; }
    SSL* getSSL() const { return ssl_; }
    SSLContext& getContext() { return context_; }

protected:
    tavir::utils::tcpbuffer* start(const SSL_METHOD* method) override;
    int sendData(void* data, int length) override;
    int recvData(void* data, int length) override;
    // Through TLS the two pieces go one after the other.
    int sendGathered(
        const char* first, int firstLength, const char* second, int secondLength) override;
    void beforeSocketClose() override;
    // What a failed SSL call with result `rc` means for the caller: -1 with
    // errno EAGAIN and wantEvents_ set when it is to wait and try again,
    // 0 for the peer's end of the stream, else -1 with errno EIO (or the
    // socket's own error).
    int classify(int rc);

    int handshake(const SSL_METHOD* method);
    // After a failed handshake: whether the server ended the connection
    // before any byte of its side of the handshake came back, closed or
    // reset (closedBeforeAnyByte()). An alert or bytes that are not TLS
    // came back from it: they are the handshake's failure.
    bool endedUnanswered();
    void releaseSsl();

    SSLContext context_;
    SSL* ssl_ = nullptr;
    bool tlsActive_;
    bool tlsAtConnect_;
    std::string serverName_;
};

} // namespace tavir::ssl

namespace tavir::utils {

class basic_sslclientbuffer : public tavir::ssl::basic_sslbuffer {
public:
    using basic_sslbuffer::basic_sslbuffer;
    const InetSocketAddress& getHost() override;

protected:
    tcpbuffer* start(const SSL_METHOD* method) override;
};

} // namespace tavir::utils
