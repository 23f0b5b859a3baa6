#pragma once
// The buffered, blocking client connection as a standard stream buffer:
// one socket, a put area and a get area in one allocation, and a read
// time-out. tcpbuffer holds what plain and TLS buffers share; subclasses
// connect.
#include "utils/InetSocketAddress.h"

#include <memory>
#include <streambuf>

typedef struct ssl_method_st SSL_METHOD;

namespace tavir::utils {

class tcpbuffer : public std::streambuf {
public:
    tcpbuffer(const InetSocketAddress& peer, const InetSocketAddress& local, long receiveSize,
        long sendSize);
    ~tcpbuffer() override;
    tcpbuffer(const tcpbuffer&) = delete;
    tcpbuffer& operator=(const tcpbuffer&) = delete;

    // Creates the socket and binds it to an address and port of the
    // system's choice.
    bool init();
    // init(), then start(method): the buffer, or null on failure.
    tcpbuffer* create(const SSL_METHOD* method);
    // Flushes what is pending and closes the socket: the buffer, or null
    // when there was no socket or closing failed.
    tcpbuffer* close();

    bool isConnected() const { return connected_; }
    // The read time-out is seconds + microseconds; 0 means none. It also
    // bounds connecting, the TLS handshake and each blocked send.
    void setTimeoutInSeconds(unsigned seconds);
    void setTimeoutInuSeconds(unsigned microseconds);
    unsigned getTimeout() const;

    const InetSocketAddress& getPeerHost() const { return peer_; }
    virtual const InetSocketAddress& getHost();
    virtual int startSSL() { return 0; }
    virtual int resetSSL() { return 0; }

    int getSocket() const { return socket_; }
    int getSocketState() const { return state_; }
    // Why the last refill ended without bytes: 0 when the peer closed the
    // connection, ETIMEDOUT when the read time-out passed, else the errno of
    // the failed wait or receive.
    int lastReceiveError() const { return receiveError_; }

    // 1 poll failed, 2 data (or end of stream) waiting, 3 nothing waiting.
    int isRecvReady();
    // Waits and reads like a refill, but hands the bytes to nobody; refuses
    // (0) while the get area still holds unread bytes.
    int receive();
    int writeAndCleanupBuffer() { return sync(); }

protected:
    virtual tcpbuffer* start(const SSL_METHOD* method) = 0;
    virtual int sendData(void* data, int length);
    virtual int recvData(void* data, int length);
    // True when bytes can be read without waiting for the socket.
    virtual bool hasBufferedInput() { return false; }
    // Runs between the last flush and closing the socket.
    virtual void beforeSocketClose() { }

    std::streambuf* setbuf(char* area, std::streamsize n) override;
    int sync() override;
    int_type underflow() override;
    int_type overflow(int_type c) override;

    // The plain TCP connect of the client buffers (bounded by the time-out).
    bool connectPeer();
    // The socket's local address, read into local_ (left as it was when the
    // socket has none).
    const InetSocketAddress& readLocalAddress();
    // Closes the socket with no flush.
    bool closeSocket();
    int timeoutMs() const;
    void applySocketTimeouts();
    bool sendAll(const char* data, size_t length);
    // A send or receive failed: the socket state becomes -1 for good, and
    // this connection gets no more bytes at its close.
    void markFailed();
    // Waits for bytes (within the time-out) and receives them into the get
    // area: the count, 0 or less when none came (lastReceiveError says why).
    int waitAndReceive();

    InetSocketAddress peer_;
    InetSocketAddress local_;
    bool connected_ = false;
    unsigned timeoutSeconds_ = 30;
    int timeoutMicroseconds_ = 0;
    long long receiveSize_;
    long long sendSize_;
    std::unique_ptr<char[]> owned_;
    char* area_ = nullptr;
    bool socketCreated_ = false;
    int state_ = 0;
    bool failed_ = false; // this connection failed (reset by a new connect)
    int socket_ = -1;
    bool bound_ = false;
    int receiveError_ = 0;
};

class basic_tcpclientbuffer : public tcpbuffer {
public:
    using tcpbuffer::tcpbuffer;
    const InetSocketAddress& getHost() override;

protected:
    tcpbuffer* start(const SSL_METHOD* method) override;
};

namespace helper {
// True when the socket becomes readable within the time.
bool waitOnSocketSet(const int& socket, int seconds, int microseconds);
} // namespace helper

} // namespace tavir::utils
