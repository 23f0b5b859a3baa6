#include "ssl/SslBuffer.h"

#include "ssl/ServerTrust.h"
#include "ssl/SslErrHandler.h"
#include "tiny/SocketLayer.h"
#include "tiny/SocketPortability.h"

#include <openssl/err.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>

namespace tavir::ssl {

basic_sslbuffer::basic_sslbuffer(const tavir::utils::InetSocketAddress& peer,
    const tavir::utils::InetSocketAddress& local, long receiveSize, long sendSize,
    bool tlsAtConnect)
    : tcpbuffer(peer, local, receiveSize, sendSize)
    , tlsActive_(tlsAtConnect)
    , tlsAtConnect_(tlsAtConnect)
{
    if (context_.set_mode(SSLContext::SSLv23_CLIENT) == 0)
        applyLegacyClientPolicy(context_.context());
}

basic_sslbuffer::~basic_sslbuffer()
{
    // Flush through TLS (never in plain text onto a TLS connection), end
    // the TLS session, and only then close the descriptor, so nothing is
    // written later to a number another connection may own by then.
    if (connected_) {
        connected_ = false;
        if (!failed_)
            sync();
    }
    setp(area_, area_ + sendSize_);
    releaseSsl();
    if (socketCreated_)
        closeSocket();
}

void basic_sslbuffer::releaseSsl()
{
    if (ssl_) {
        if (tlsActive_ && !failed_ && SSL_is_init_finished(ssl_) && socket_ >= 0) {
            // One close_notify, without waiting for the peer's answer. After
            // resetSSL() the connection is plain: no alert goes onto it.
            SslErrHandler::emptyErrorQueue();
            SSL_shutdown(ssl_);
            SslErrHandler::emptyErrorQueue();
        }
        SSL_free(ssl_);
        ssl_ = nullptr;
    }
    tlsActive_ = tlsAtConnect_;
}

void basic_sslbuffer::beforeSocketClose()
{
    releaseSsl();
}

int basic_sslbuffer::handshake(const SSL_METHOD* method)
{
    if (ssl_) {
        SSL_free(ssl_);
        ssl_ = nullptr;
    }
    SSL_CTX* ctx = context_.context();
    ssl_ = ctx ? SSL_new(ctx) : nullptr;
    if (!ssl_)
        return 0;
    if (SSL_set_fd(ssl_, socket_) != 1)
        return 0;
    if (!serverName_.empty() && !::tavir::ssl::expectServerName(ssl_, serverName_))
        return 0;
    if (method)
        SSL_set_ssl_method(ssl_, method);
    SslErrHandler::emptyErrorQueue();

    int ms = timeoutMs();
    if (ms <= 0 || getTimeout() == 0)
        return SSL_connect(ssl_);

    // The handshake must not outlast the time-out, however the server
    // stalls: run it non-blocking against one deadline.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    tavir::tiny::sockBlockMode(socket_, 0);
    int rc;
    while (true) {
        rc = SSL_connect(ssl_);
        if (rc == 1)
            break;
        int error = SSL_get_error(ssl_, rc);
        short events;
        if (error == SSL_ERROR_WANT_READ)
            events = POLLIN;
        else if (error == SSL_ERROR_WANT_WRITE)
            events = POLLOUT;
        else
            break;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) {
            rc = -1;
            errno = ETIMEDOUT;
            break;
        }
        pollfd p{socket_, events, 0};
        int n = ::poll(&p, 1, int(left));
        if (n < 0 && errno != EINTR) {
            rc = -1;
            break;
        }
    }
    int saved = errno;
    tavir::tiny::sockBlockMode(socket_, 1);
    errno = saved;
    return rc;
}

tavir::utils::tcpbuffer* basic_sslbuffer::start(const SSL_METHOD* method)
{
    int rc = handshake(method);
    if (rc < 1)
        return nullptr;
    tlsActive_ = true;
    return this;
}

int basic_sslbuffer::startSSL()
{
    if (socket_ < 0)
        return 0;
    int rc = handshake(nullptr);
    if (rc >= 1)
        tlsActive_ = true;
    return rc;
}

int basic_sslbuffer::resetSSL()
{
    tlsActive_ = false;
    return 0;
}

bool basic_sslbuffer::hasBufferedInput()
{
    return tlsActive_ && ssl_ && SSL_pending(ssl_) > 0;
}

int basic_sslbuffer::sendData(void* data, int length)
{
    if (!tlsActive_)
        return tcpbuffer::sendData(data, length);
    if (!ssl_)
        return -1;
    SslErrHandler::emptyErrorQueue();
    int rc = SSL_write(ssl_, data, length);
    return rc > 0 ? rc : -1;
}

int basic_sslbuffer::recvData(void* data, int length)
{
    if (!tlsActive_)
        return tcpbuffer::recvData(data, length);
    if (!ssl_)
        return -1;
    SslErrHandler::emptyErrorQueue();
    int rc = SSL_read(ssl_, data, length);
    if (rc > 0)
        return rc;
    // A shutdown by the peer (with or without close_notify) is the end of
    // the stream; anything else, a stalled record included, is a failure.
    return SSL_get_error(ssl_, rc) == SSL_ERROR_ZERO_RETURN ? 0 : -1;
}

} // namespace tavir::ssl

namespace tavir::utils {

const InetSocketAddress& basic_sslclientbuffer::getHost()
{
    return readLocalAddress();
}

tcpbuffer* basic_sslclientbuffer::start(const SSL_METHOD* method)
{
    if (!connectPeer())
        return nullptr;
    sockaddr_in in{};
    socklen_t length = sizeof in;
    if (getsockname(socket_, reinterpret_cast<sockaddr*>(&in), &length) != 0)
        return nullptr;
    connected_ = true;
    if (tlsAtConnect_)
        return basic_sslbuffer::start(method);
    return this;
}

} // namespace tavir::utils
