#pragma once
// The byte transport under one IMAP connection: a blocking, buffered client
// stream with a read time-out. The connection talks to the server only
// through this interface; the real one is the TCP or TLS client stream, and
// tests put scripted servers behind it.
#include "ssl/FirstUse.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace tavir::utils {
class StopSignal;
}

namespace tavir::mail {

// How a TLS server's certificate was trusted: the server as "host:port"
// and a sentence for the report. Empty over plain TCP. A server refused
// because another certificate is pinned for it has no sentence (the
// refusal's text says why) and `changed` set, so that the user can be
// told that a known server now shows another certificate; one refused
// because nothing is pinned for it and the first use may not pin its
// certificate has that certificate's SHA-256 fingerprint in `unknown`, so
// that the user can be told how to accept it. When this process recorded
// the server in the known-hosts file (ssl::ServerTrust::recordedSentence),
// `recordedSentence` says so, also on a connection that only found the
// line.
struct TrustNotice {
    std::string server;
    std::string sentence;
    bool changed = false;
    std::string unknown;
    std::string recordedSentence;
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
    // Appends the bytes up to and including the next line feed to `line`,
    // `max` bytes at most: true when the line feed came, false when the read
    // ended first or `max` bytes came without one. The default reads
    // byte by byte.
    virtual bool readLine(std::string& line, std::size_t max);
    // Reads up to n bytes into `data`, waiting until all n are there or the
    // read ends; returns the count read.
    virtual std::size_t read(char* data, std::size_t n) = 0;
    virtual void write(const char* data, std::size_t n) = 0;
    // True when a read would not wait: bytes have come, or the end of the
    // stream has. Never waits. The default can't tell and says false.
    virtual bool dataWaiting();
    // How many bytes received are not read yet, without asking the socket.
    // The default says 0.
    virtual std::size_t buffered() const;
    virtual void flush() = 0;
    // Read time-out in milliseconds; 0 means wait for ever.
    virtual void setTimeoutMs(unsigned ms) = 0;
    // Every wait from now on ends at once when `stop` is raised, in place of
    // the endpoint's signal (a connection handed to other work, which stops
    // it otherwise). The default has no waits to end.
    virtual void setStopSignal(std::shared_ptr<const tavir::utils::StopSignal> stop);
    // The operation in hand ends `ms` milliseconds from now (0: no
    // deadline): no read or write waits past it, however slowly the server
    // sends or takes its bytes. The default has no deadline.
    virtual void startDeadline(unsigned ms);
    // Moves the deadline `ms` later.
    virtual void extendDeadline(unsigned ms);
    // While not 0, a stop request ends the waits only `ms` milliseconds
    // after it was seen (an answer on its way may still come).
    virtual void setStopGrace(unsigned ms);
    // Why the last read ended without a byte: 0 when the peer closed the
    // connection, ETIMEDOUT when the read time-out passed (the default),
    // ETIME when the deadline passed, ECANCELED when the stop signal was
    // raised, else the errno of the failure.
    virtual int readEndError() const;
    // Why the last write failed, in the same terms; 0 when not known.
    virtual int writeEndError() const;
    // After a failed create(): what failed, in a few words ("connection
    // refused", "(113) No route to host", "TLS handshake failed", why the server's
    // certificate was refused); may be empty.
    virtual std::string connectFailure() const;
    // After a failed create(): true when the server took the connection
    // and closed or reset it before any byte came back from it (a reset the
    // connect itself met, or over TLS an end before the server's side of the
    // handshake), as a server that takes no more connections from this
    // client turns one away; readEndError() then says how it ended (0
    // closed, ECONNRESET or EPIPE reset). A later end meets the greeting's
    // read. The default says false.
    virtual bool closedBeforeAnyByte() const;
    // After create() with TLS: how the certificate was trusted, or that it
    // was refused as changed.
    virtual TrustNotice trustNotice() const;
};

struct ImapEndpoint {
    std::string host;
    unsigned port = 0;
    bool ssl = false;
    unsigned timeoutMs = 0;
    // Ends every wait of the stream at once when raised; may be null.
    std::shared_ptr<const tavir::utils::StopSignal> stop;
    // False for a connection that writes commands alone (a source's): it
    // needs no send area to gather a message body in.
    bool writesBodies = true;
    // Over TLS: which certificate the first connection to a server with no
    // pin may pin, when no trusted authority vouches for it.
    tavir::ssl::FirstUse firstUse;
};

// Makes the (unconnected) stream for an endpoint; null when the host name
// can't be resolved. Must not throw.
using ImapStreamFactory = std::function<std::unique_ptr<ImapStream>(const ImapEndpoint&)>;

// The TCP or TLS client stream for an endpoint (the default factory).
std::unique_ptr<ImapStream> makeTcpImapStream(const ImapEndpoint& endpoint);

} // namespace tavir::mail
