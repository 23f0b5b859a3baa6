#include "ssl/SslBuffer.h"

#include "ssl/ServerTrust.h"
#include "ssl/SslErrHandler.h"
#include "tiny/SocketLayer.h"
#include "tiny/SocketPortability.h"

#include <openssl/err.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

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
    // A write that must wait is tried again with the same bytes, from
    // wherever the put area has them by then.
    SSL_set_mode(ssl_, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    if (method)
        SSL_set_ssl_method(ssl_, method);
    SslErrHandler::emptyErrorQueue();
    // The socket never blocks: the handshake waits for it like any read or
    // write, within the time-out and the deadline.
    for (;;) {
        // Cleared before the call, so that classify() finds the errno of a
        // system call that failed in it (a reset) and no older one.
        errno = 0;
        int rc = SSL_connect(ssl_);
        if (rc == 1)
            return rc;
        wantEvents_ = 0;
        if (classify(rc) < 0 && errno == EAGAIN && waitFor(wantEvents_) > 0)
            continue;
        connectError_ = errno != 0 && errno != EAGAIN ? errno : EPROTO;
        closedBeforeAnyByte_ = endedUnanswered();
        return rc < 0 ? rc : -1;
    }
}

bool basic_sslbuffer::endedUnanswered()
{
    // Anything read from the server (an alert, a plain-text line, part of
    // its hello) was an answer, however it ended.
    if (BIO_number_read(SSL_get_rbio(ssl_)) != 0)
        return false;
    // A reset may have met the client's hello (EPIPE) or the read after
    // it; a close is found on the socket, which has nothing more to give.
    if (connectError_ == ECONNRESET || connectError_ == EPIPE) {
        receiveError_ = connectError_;
        return true;
    }
    char byte;
    const ssize_t peeked = ::recv(socket_, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (peeked == 0) {
        receiveError_ = 0;
        return true;
    }
    if (peeked < 0 && (errno == ECONNRESET || errno == EPIPE)) {
        receiveError_ = errno;
        return true;
    }
    return false;
}

int basic_sslbuffer::classify(int rc)
{
    const int saved = errno;
    switch (SSL_get_error(ssl_, rc)) {
    case SSL_ERROR_WANT_READ:
        wantEvents_ = POLLIN;
        errno = EAGAIN;
        return -1;
    case SSL_ERROR_WANT_WRITE:
        wantEvents_ = POLLOUT;
        errno = EAGAIN;
        return -1;
    case SSL_ERROR_ZERO_RETURN:
        return 0;
    case SSL_ERROR_SYSCALL:
        errno = saved != 0 && saved != EAGAIN ? saved : EIO;
        return -1;
    default:
        errno = EIO;
        return -1;
    }
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

int basic_sslbuffer::sendData(void* data, int length)
{
    if (!tlsActive_)
        return tcpbuffer::sendData(data, length);
    if (!ssl_) {
        errno = EIO;
        return -1;
    }
    SslErrHandler::emptyErrorQueue();
    errno = 0;
    int rc = SSL_write(ssl_, data, length);
    if (rc > 0)
        return rc;
    classify(rc);
    return -1;
}

int basic_sslbuffer::sendGathered(
    const char* first, int firstLength, const char* second, int secondLength)
{
    if (!tlsActive_)
        return tcpbuffer::sendGathered(first, firstLength, second, secondLength);
    return sendData(const_cast<char*>(first), firstLength);
}

int basic_sslbuffer::recvData(void* data, int length)
{
    if (!tlsActive_)
        return tcpbuffer::recvData(data, length);
    if (!ssl_) {
        errno = EIO;
        return -1;
    }
    SslErrHandler::emptyErrorQueue();
    errno = 0;
    int rc = SSL_read(ssl_, data, length);
    if (rc > 0)
        return rc;
    // A close_notify from the peer is the end of the stream; a stalled or
    // broken record waits or fails like any receive.
    return classify(rc);
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
