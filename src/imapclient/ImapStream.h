#pragma once
// The byte transport under one IMAP connection: a blocking, buffered client
// stream with a read time-out. The connection talks to the server only
// through this interface; the real one is the TCP or TLS client stream, and
// tests put scripted servers behind it.
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace tavir::mail {

// How a TLS server's certificate was trusted: the server as "host:port"
// and a sentence for the report. Empty over plain TCP.
struct TrustNotice {
    std::string server;
    std::string sentence;
};

class ImapStream {
public:
    virtual ~ImapStream();

    // Connects (TCP, then the TLS handshake for implicit TLS, and the
    // verdict on the server's certificate: ssl/ServerTrust.h). False when
    // the connection could not be made or the server is not trusted.
    virtual bool create() = 0;
    // Flushes pending output and closes the socket. Never throws.
    virtual void close() = 0;
    // The stream-good test: an end of file (read time-out or closed peer)
    // is forgiven and its flags cleared; any other failure (a failed write
    // or connect) makes the stream bad.
    virtual bool good() = 0;
    // The next byte (0 to 255), or -1 when the read ended without one
    // (time-out, closed peer or failure).
    virtual int get() = 0;
    // Reads up to n bytes into `data`, waiting until all n are there or the
    // read ends; returns the count read.
    virtual std::size_t read(char* data, std::size_t n) = 0;
    virtual void write(const char* data, std::size_t n) = 0;
    virtual void flush() = 0;
    // Read time-out in milliseconds; 0 means wait for ever.
    virtual void setTimeoutMs(unsigned ms) = 0;
    // Why the last read ended without a byte: 0 when the peer closed the
    // connection, ETIMEDOUT when the read time-out passed (the default),
    // else the errno of the failure.
    virtual int readEndError() const;
    // After a failed create(): what failed, in a few words ("(111)
    // Connection refused", "TLS handshake failed", why the server's
    // certificate was refused); may be empty.
    virtual std::string connectFailure() const;
    // After a successful create() with TLS: how the certificate was trusted.
    virtual TrustNotice trustNotice() const;
};

struct ImapEndpoint {
    std::string host;
    unsigned port = 0;
    bool ssl = false;
    unsigned timeoutMs = 0;
};

// Makes the (unconnected) stream for an endpoint; null when the host name
// can't be resolved. Must not throw.
using ImapStreamFactory = std::function<std::unique_ptr<ImapStream>(const ImapEndpoint&)>;

// The TCP or TLS client stream for an endpoint (the default factory).
std::unique_ptr<ImapStream> makeTcpImapStream(const ImapEndpoint& endpoint);

} // namespace tavir::mail
