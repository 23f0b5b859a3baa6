#pragma once
// The buffered, blocking plain or TLS client connection as a character
// stream. Failures show as stream state, never as exceptions.
#include "ssl/SslBuffer.h"
#include "ssl/TcpBuffer.h"

#include <iostream>
#include <memory>

namespace tavir::utils {

class basic_tcpclientiostream : public std::iostream {
public:
    basic_tcpclientiostream(const InetSocketAddress& peer, const InetSocketAddress& local,
        long receiveSize, long sendSize);
    basic_tcpclientiostream(const InetSSLSocketAddress& peer, const InetSSLSocketAddress& local,
        long receiveSize, long sendSize, bool tlsAtConnect);
    ~basic_tcpclientiostream() override;
    basic_tcpclientiostream(const basic_tcpclientiostream&) = delete;
    basic_tcpclientiostream& operator=(const basic_tcpclientiostream&) = delete;

    bool init();
    // Connects (and with TLS at connect, runs the handshake); badbit on
    // failure.
    void create(const SSL_METHOD* method);
    void close();

    bool isConnected() const { return buffer_->isConnected(); }
    void setTimeoutInSeconds(unsigned seconds) { buffer_->setTimeoutInSeconds(seconds); }
    void setTimeoutInuSeconds(unsigned microseconds)
    {
        buffer_->setTimeoutInuSeconds(microseconds);
    }
    void setTimeoutMs(unsigned ms)
    {
        setTimeoutInSeconds(ms / 1000u);
        setTimeoutInuSeconds((ms % 1000u) * 1000u);
    }
    void startDeadline(unsigned ms) { buffer_->startDeadline(ms); }
    void extendDeadline(unsigned ms) { buffer_->extendDeadline(ms); }
    void setStopSignal(std::shared_ptr<const StopSignal> stop)
    {
        buffer_->setStopSignal(std::move(stop));
    }
    void setStopGrace(unsigned ms) { buffer_->setStopGrace(ms); }
    const InetSocketAddress& getPeerHost() const { return buffer_->getPeerHost(); }
    const InetSocketAddress& getHost() { return buffer_->getHost(); }
    int startSSL() { return buffer_->startSSL(); }
    int resetSSL() { return buffer_->resetSSL(); }
    int getSocketState() const { return buffer_->getSocketState(); }

    tcpbuffer* buffer() const { return buffer_.get(); }

private:
    std::unique_ptr<tcpbuffer> buffer_;
    bool initialised_ = false;
};

} // namespace tavir::utils
