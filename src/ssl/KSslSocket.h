#pragma once
// The socket stream with an SSL object on top: adopts a connected
// descriptor, runs the client or server handshake, and moves the stream's
// bytes through the SSL object. The peer is not verified here.
#include "ssl/SSLContext.h"
#include "tiny/KMutex.h"
#include "tiny/PeriodGuard.h"
#include "utils/KSock.h"

#include <openssl/ssl.h>

#include <atomic>
#include <ctime>
#include <string>

namespace tavir::ssl {

class KSslSocket : public tavir::utils::KSock {
public:
    enum SslSocketModes { MODE_NONE = 0, MODE_AUTO_RETRY = 1 };

    explicit KSslSocket(tavir::tiny::PeriodGuard* guard = nullptr);
    ~KSslSocket() override;

    bool init(SSLContext* context);
    bool init(const std::string& certificateFile, const std::string& keyFile);

    bool isReadEof() override;
    int i_read(char* buf, unsigned int len) override;
    int i_write(const char* buf, unsigned int len) override;
    bool open(int descriptor) override;
    void close() override;

    virtual bool open(int descriptor, SslSocketModes mode);
    virtual bool accept();
    virtual bool accept(unsigned long long timeout);
    virtual bool accept(unsigned long long start, unsigned long long timeout);
    virtual bool connect();
    // Abortive end, safe from another thread: wakes a blocked read, write
    // or handshake, waits until it has left, then frees the SSL object and
    // the socket. The stream's buffers stay with the thread that uses them.
    // close() and the destructor wait for a kill in hand to end.
    virtual void kill();

    int pending();
    bool setMethod(const SSL_METHOD* method);

    SSL* getSSL() const { return ssl_; }
    bool isOpened() const { return opened_; }
    bool isContextSet() const { return contextSet_; }
    time_t busySince() const { return busySince_; }

private:
    // Marks a read, write or pending call as running; false (and unmarked)
    // when the socket is not opened any more.
    bool enterCall();
    void leaveCall();
    // The client or server handshake step, run as one call.
    bool handshake(int (*step)(SSL*));
    // The orderly end: flush, close-notify, kill.
    void closeConnection();
    // Returns once no kill() runs on another thread.
    void awaitKill();

    SSL* ssl_ = nullptr;
    SSLContext ownContext_;
    SSLContext* context_ = nullptr;
    bool contextSet_ = false;
    std::atomic<bool> opened_{false};
    std::atomic<time_t> busySince_{0};
    std::atomic<bool> failed_{false}; // a read or write failed on this connection
    tavir::tiny::PeriodGuard* guard_;
    // Held by kill() from its start to its end.
    tavir::tiny::KMutex killLock_;
};

} // namespace tavir::ssl
