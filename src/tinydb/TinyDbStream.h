#pragma once
// The byte transport under one tinydb connection: a blocking TLS client
// connection with a read time-out, and the server certificate's fingerprint
// for pinning. The protocol layer talks to the server only through this
// interface; the real one is the TLS client stream, and tests put scripted
// servers behind it.
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace tavir::utils {
class StopSignal;
}

namespace tavir::tinydb {

// How a read ended: TimedOut when the server said nothing in time, TooSlow
// when it was still sending at the exchange's deadline (and was cut off),
// Stopped when the stop signal ended the wait.
enum class ReadEnd { Complete, Closed, TimedOut, TooSlow, Stopped, Failed };

class TinyDbStream {
public:
    virtual ~TinyDbStream();

    // Resolves the host, connects and runs the TLS handshake, all within the
    // time-out, which also bounds the exchange that follows (the deadline
    // starts here). False with `cause` (a clause such as "connection
    // refused") when the connection could not be made.
    virtual bool connect(std::string& cause) = 0;
    // Starts the deadline of the next exchange: its writes and reads end
    // within the time-out from now in all, however slowly the server sends.
    virtual void beginExchange();
    // A raised signal ends every wait at once (null: none); applies to the
    // connection in hand too.
    virtual void setStopSignal(std::shared_ptr<const tavir::utils::StopSignal> stop);
    // The server certificate's SHA-1 fingerprint as lower-case hexadecimal
    // pairs joined by ':'; empty when there is none.
    virtual std::string peerFingerprint() = 0;
    // Reads exactly n bytes into `data`, or says why it could not.
    virtual ReadEnd read(char* data, std::size_t n) = 0;
    // Writes all the bytes and flushes them; false when that failed.
    virtual bool write(const std::string& bytes) = 0;
    // Closes the connection. Never throws.
    virtual void close() = 0;
};

struct TinyDbEndpoint {
    std::string host;
    unsigned port = 0;
    unsigned timeoutMs = 0; // bounds each exchange in all, the connect with its handshake
    std::shared_ptr<const tavir::utils::StopSignal> stop; // may be null
};

// Makes the (unconnected) stream for an endpoint. Must not throw.
using TinyDbStreamFactory = std::function<std::unique_ptr<TinyDbStream>(const TinyDbEndpoint&)>;

// The TLS client stream for an endpoint (the default factory).
std::unique_ptr<TinyDbStream> makeTlsTinyDbStream(const TinyDbEndpoint& endpoint);

} // namespace tavir::tinydb
