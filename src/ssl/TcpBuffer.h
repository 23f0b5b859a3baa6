#pragma once
// The buffered, blocking client connection as a standard stream buffer:
// one socket, a put area and a get area in one allocation, a time-out for
// each wait, a deadline for the operation in hand and a stop signal.
// tcpbuffer holds what plain and TLS buffers share; subclasses connect.
//
// The socket never blocks: every read, write, connect and TLS handshake
// waits in poll() beside the stop signal, for at most the time-out and
// never past the deadline, so a peer that sends or takes one byte at a time
// is cut off at the deadline, and a stop ends any wait at once.
#include "ssl/StopSignal.h"
#include "utils/InetSocketAddress.h"

#include <chrono>
#include <memory>
#include <optional>
#include <streambuf>
#include <string>

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
    // The time-out is seconds + microseconds; 0 means none. It bounds each
    // wait for the socket: to read, to write, to connect, in the TLS
    // handshake. Without a deadline, create() as a whole gets one time-out.
    void setTimeoutInSeconds(unsigned seconds);
    void setTimeoutInuSeconds(unsigned microseconds);
    unsigned getTimeout() const;

    // The operation in hand ends `ms` milliseconds from now: no wait goes
    // past that, however the peer trickles its bytes. 0 means no deadline.
    void startDeadline(unsigned ms);
    // Moves the deadline `ms` later (a large answer is on its way).
    void extendDeadline(unsigned ms);
    void clearDeadline() { hasDeadline_ = false; }
    // The deadline of the operation in hand, if it has one.
    std::optional<std::chrono::steady_clock::time_point> deadline() const
    {
        return hasDeadline_ ? std::optional(deadline_) : std::nullopt;
    }
    // A raised signal ends every wait of this buffer at once; null: none.
    void setStopSignal(std::shared_ptr<const StopSignal> stop) { stop_ = std::move(stop); }
    // While not 0, a raised stop signal does not end the waits at once but
    // brings the deadline to at most `ms` milliseconds after it was first
    // seen (once per stop, however often a grace is asked for): an answer
    // that is on its way may still come.
    void setStopGrace(unsigned ms);

    const InetSocketAddress& getPeerHost() const { return peer_; }
    virtual const InetSocketAddress& getHost();
    virtual int startSSL() { return 0; }
    virtual int resetSSL() { return 0; }

    int getSocket() const { return socket_; }
    int getSocketState() const { return state_; }
    // Why the last refill ended without bytes: 0 when the peer closed the
    // connection, ETIMEDOUT when the time-out passed with nothing to read,
    // ETIME when the deadline passed, ECANCELED when the stop signal was
    // raised, else the errno of the failed wait or receive.
    int lastReceiveError() const { return receiveError_; }
    // Why the last write failed, in the same terms.
    int lastSendError() const { return sendError_; }
    // Why the last create() failed, in the same terms; ENOTCONN when no
    // cause is known.
    int lastConnectError() const { return connectError_; }
    // After a failed create(): true when the server took the connection
    // and closed or reset it before any byte came back from it, as a server
    // that takes no more connections from this client turns one away: a
    // reset that the connect itself met, or over TLS an end before the
    // server's side of the handshake. lastReceiveError() then says how it
    // ended: 0 closed, ECONNRESET or EPIPE reset.
    bool closedBeforeAnyByte() const { return closedBeforeAnyByte_; }

    // 1 poll failed, 2 data (or end of stream) waiting, 3 nothing waiting.
    int isRecvReady();
    // Waits and reads like a refill, but hands the bytes to nobody; refuses
    // (0) while the get area still holds unread bytes.
    int receive();
    // Appends the bytes up to and including the next line feed to `line`,
    // `max` bytes at most: true when the line feed came; false when the read
    // ended first, or `max` bytes came without one.
    bool readLine(std::string& line, size_t max);
    // True when a read would not wait: bytes are in the get area, or a
    // receive that does not wait brings some in (or meets the end of the
    // stream or a failure, which the next read meets again). One receive,
    // no poll.
    bool dataWaiting();
    // Bytes received and not read yet (no receive, no poll).
    size_t buffered() const { return size_t(egptr() - gptr()); }
    int writeAndCleanupBuffer() { return sync(); }

protected:
    virtual tcpbuffer* start(const SSL_METHOD* method) = 0;
    // One attempt that never blocks: the count moved, 0 when the peer
    // closed the connection (receive), or -1 with errno; EAGAIN asks to
    // wait for the events left in wantEvents_ and try again.
    virtual int sendData(void* data, int length);
    virtual int recvData(void* data, int length);
    // One attempt like sendData for `first` followed by `second` (none when
    // null): the count moved from the front of the two. The plain socket
    // gathers both into one send.
    virtual int sendGathered(
        const char* first, int firstLength, const char* second, int secondLength);
    // Runs between the last flush and closing the socket.
    virtual void beforeSocketClose() { }

    std::streambuf* setbuf(char* area, std::streamsize n) override;
    int sync() override;
    int_type underflow() override;
    int_type overflow(int_type c) override;
    // Reads what does not fit the get area straight into `data`.
    std::streamsize xsgetn(char* data, std::streamsize n) override;
    // Writes a large piece straight from `data`, after what is pending.
    std::streamsize xsputn(const char* data, std::streamsize n) override;

    // The plain TCP connect of the client buffers.
    bool connectPeer();
    // The socket's local address, read into local_ (left as it was when the
    // socket has none).
    const InetSocketAddress& readLocalAddress();
    // Closes the socket with no flush.
    bool closeSocket();
    int timeoutMs() const;
    bool stopRequested() const { return stop_ && stop_->raised(); }
    // True when a raised stop signal ends the operation now; in a grace
    // period it starts the grace instead.
    bool stopNow();
    // Waits until the socket is ready for `events` (or in error): 1; 0 with
    // the system error (OSInfo::setSysError) ETIMEDOUT (the time-out) or
    // ETIME (the deadline); -1 with ECANCELED (the stop signal) or that of
    // poll().
    int waitFor(short events);
    // Sends all bytes; `sent` counts those that went. False with
    // lastSendError() set when one failed or waited too long.
    bool sendAll(const char* data, size_t length, size_t& sent);
    // The same for `head` followed by `data`.
    bool sendAll(
        const char* head, size_t headLength, const char* data, size_t length, size_t& sent);
    // A send or receive failed: the socket state becomes -1 for good, and
    // this connection gets no more bytes at its close.
    void markFailed();
    // Receives up to `want` bytes into `into`, waiting for them (within the
    // time-out and the deadline) only when none have come: the count, 0 or
    // less when none came (lastReceiveError says why).
    int waitAndReceive(char* into, int want);
    int receiveChunk() const;
    void askQuickAck();

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
    int sendError_ = 0;
    int connectError_ = 0;
    bool closedBeforeAnyByte_ = false;
    short wantEvents_ = 0; // what an attempt that answered EAGAIN waits for
    std::shared_ptr<const StopSignal> stop_;
    bool hasDeadline_ = false;
    std::chrono::steady_clock::time_point deadline_;
    unsigned stopGraceMs_ = 0;
    bool inGrace_ = false; // the stop was seen in a grace period
    bool graceStarted_ = false;
    std::chrono::steady_clock::time_point graceEnd_;
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
