#include "ssl/KSslSocket.h"

#include "ssl/SigPipe.h"
#include "ssl/SslErrHandler.h"
#include "tiny/SocketLayer.h"
#include "tiny/Time.h"

#include <sys/socket.h>

#include <cerrno>

namespace tavir::ssl {

KSslSocket::KSslSocket(tavir::tiny::PeriodGuard* guard)
    : guard_(guard)
{
    ignoreSigPipe();
}

KSslSocket::~KSslSocket()
{
    if (contextSet_ && opened_)
        KSslSocket::close();
    // Else a kill from another thread may have taken the connection and
    // still be freeing it: the descriptor and the object must outlive that.
    awaitKill();
}

bool KSslSocket::init(SSLContext* context)
{
    if (opened_)
        return false;
    if (context_ == &ownContext_)
        ownContext_.close();
    context_ = context;
    contextSet_ = context != nullptr;
    return true;
}

bool KSslSocket::init(const std::string& certificateFile, const std::string& keyFile)
{
    if (opened_)
        return false;
    if (context_ == &ownContext_)
        ownContext_.close();
    SSL_CTX* ctx = ownContext_.context();
    if (!ctx)
        return false;
    if (SSL_CTX_set_cipher_list(ctx, defaultSslCipherList) != 1)
        return false;
    SSL_CTX_set_options(ctx, SSL_OP_ALL | SSL_OP_NO_SSLv2);
    if (ownContext_.certificate(certificateFile.c_str(), SSL_FILETYPE_PEM) != 0)
        return false;
    if (ownContext_.private_key(keyFile.c_str(), SSL_FILETYPE_PEM) != 0)
        return false;
    context_ = &ownContext_;
    contextSet_ = true;
    return true;
}

bool KSslSocket::open(int descriptor)
{
    return open(descriptor, MODE_NONE);
}

bool KSslSocket::open(int descriptor, SslSocketModes mode)
{
    if (!contextSet_ || !context_ || opened_)
        return false;
    KSock::open(descriptor);
    // A new connection: nothing of an earlier one is read or sent on it.
    resetBuffers();
    SSL_CTX* ctx = context_->context();
    ssl_ = ctx ? SSL_new(ctx) : nullptr;
    if (!ssl_) {
        SslErrHandler::instance()->checkForError();
        return false;
    }
    failed_ = false;
    if (mode == MODE_AUTO_RETRY)
        SSL_set_mode(ssl_, SSL_MODE_AUTO_RETRY);
    if (SSL_set_fd(ssl_, descriptor) != 1) {
        SslErrHandler::instance()->checkForError();
        SSL_free(ssl_);
        ssl_ = nullptr;
        return false;
    }
    opened_ = true;
    return true;
}

bool KSslSocket::connect()
{
    return handshake(SSL_connect);
}

bool KSslSocket::accept()
{
    return handshake(SSL_accept);
}

bool KSslSocket::handshake(int (*step)(SSL*))
{
    // Counted as a call like a read: a kill() from another thread waits
    // until the handshake has left before it frees the SSL object.
    SslErrHandler::emptyErrorQueue();
    if (!enterCall())
        return false;
    int rc = step(ssl_);
    if (rc != 1)
        SslErrHandler::instance()->checkForError(*this, rc);
    leaveCall();
    return rc == 1;
}

bool KSslSocket::accept(unsigned long long timeout)
{
    return accept(tavir::tiny::getMs64(), timeout);
}

bool KSslSocket::accept(unsigned long long start, unsigned long long timeout)
{
    if (!opened_)
        return false;
    if ((timeout & 0xFFFFFFFFull) == 0xFFFFFFFFull)
        return accept();
    tavir::tiny::sockBlockMode(socket_, 0);
    bool result = false;
    while (true) {
        SslErrHandler::emptyErrorQueue();
        int rc = SSL_accept(ssl_);
        if (rc == 1) {
            result = true;
            break;
        }
        SslErrHandler::instance()->checkForError(*this, rc);
        std::string ignored;
        unsigned long classification = SslErrHandler::instance()->getLastError(ignored);
        tavir::tiny::msleep(10, false);
        if (classification != SSL_ERROR_WANT_READ && classification != SSL_ERROR_WANT_WRITE
            && classification != SSL_ERROR_WANT_ACCEPT)
            break;
        if (start + timeout <= tavir::tiny::getMs64())
            break;
    }
    tavir::tiny::sockBlockMode(socket_, 1);
    return result;
}

bool KSslSocket::enterCall()
{
    // Announce the call before looking at opened_: kill() clears opened_
    // before it waits for busySince_ to drop, so one of the two always sees
    // the other and the SSL object is never freed under a running call.
    busySince_ = std::time(nullptr);
    if (!opened_ || !ssl_) {
        busySince_ = 0;
        return false;
    }
    if (guard_)
        guard_->start();
    return true;
}

void KSslSocket::leaveCall()
{
    if (guard_)
        guard_->stop();
    busySince_ = 0;
}

int KSslSocket::i_read(char* buf, unsigned int len)
{
    SslErrHandler::emptyErrorQueue();
    if (!enterCall())
        return -1;
    int rc;
    while (true) {
        errno = 0;
        rc = SSL_read(ssl_, buf, int(len > 0x7fffffffu ? 0x7fffffffu : len));
        if (rc > 0)
            break;
        int savedErrno = errno;
        unsigned long classification = SslErrHandler::instance()->checkForError(*this, rc);
        if (classification == SSL_ERROR_SSL || classification == SSL_ERROR_SYSCALL)
            failed_ = true;
        if (classification == SSL_ERROR_WANT_READ && savedErrno != EAGAIN && opened_)
            continue;
        if (classification == SSL_ERROR_SYSCALL && savedErrno == EINTR && opened_)
            continue;
        break;
    }
    leaveCall();
    return rc;
}

int KSslSocket::i_write(const char* buf, unsigned int len)
{
    SslErrHandler::emptyErrorQueue();
    if (!enterCall())
        return -1;
    int rc = SSL_write(ssl_, buf, int(len > 0x7fffffffu ? 0x7fffffffu : len));
    if (rc < 1) {
        SslErrHandler::instance()->checkForError(*this, rc);
        failed_ = true;
    }
    leaveCall();
    return rc;
}

int KSslSocket::pending()
{
    if (!enterCall())
        return -1;
    int n = SSL_pending(ssl_);
    leaveCall();
    return n;
}

bool KSslSocket::isReadEof()
{
    if (!KSock::isReadEof())
        return false;
    return !ssl_ || SSL_pending(ssl_) == 0;
}

bool KSslSocket::setMethod(const SSL_METHOD* method)
{
    return ssl_ && SSL_set_ssl_method(ssl_, method) == 1;
}

void KSslSocket::close()
{
    if (contextSet_ && opened_)
        closeConnection();
    // A kill from another thread that took the connection first ends
    // before close() returns, so the socket is closed when it does.
    awaitKill();
    // Also after a kill from another thread, which left them: this is the
    // thread that uses them.
    resetBuffers();
}

void KSslSocket::awaitKill()
{
    tavir::tiny::KMutexLocker wait(killLock_);
}

void KSslSocket::closeConnection()
{
    if (!failed_)
        KStream::flush();
    SslErrHandler::emptyErrorQueue();
    // No close_notify after a failure: the library forbids it, and a peer
    // that stopped reading would only hold us for the send time-out again.
    // It is a call like a write, so that a kill from another thread (the
    // flush above is its own calls) waits for it.
    if (enterCall()) {
        if (!failed_ && SSL_is_init_finished(ssl_))
            SSL_shutdown(ssl_);
        leaveCall();
    }
    SslErrHandler::emptyErrorQueue();
    kill();
}

void KSslSocket::kill()
{
    tavir::tiny::KMutexLocker killing(killLock_);
    if (!contextSet_ || !opened_.exchange(false))
        return;
    // Closing a descriptor does not wake a thread blocked on it here;
    // shutting the connection down does. The descriptor itself is closed
    // only after the SSL object is gone, so its number can't be reused
    // under a call that still runs.
    if (socket_ != -1)
        ::shutdown(socket_, SHUT_RDWR);
    while (busySince_ != 0)
        tavir::tiny::msleep(20, false);
    if (ssl_) {
        SSL_set_shutdown(ssl_, SSL_SENT_SHUTDOWN);
        SSL_free(ssl_);
        ssl_ = nullptr;
    }
    if (socket_ != -1) {
        closesocket(socket_);
        socket_ = -1;
    }
    // The stream's buffers are left alone: they belong to the thread that
    // reads and writes, which may be copying out of them right now when the
    // kill comes from another thread. Its next read or write meets the
    // closed connection; close() and open() empty them.
}

} // namespace tavir::ssl
