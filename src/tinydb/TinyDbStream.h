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

namespace tavir::tinydb {

// How a read ended.
enum class ReadEnd { Complete, Closed, TimedOut, Failed };

class TinyDbStream {
public:
    virtual ~TinyDbStream();

    // Resolves the host, connects and runs the TLS handshake, all within the
    // time-out. False with `cause` (a clause such as "connection refused")
    // when the connection could not be made.
    virtual bool connect(std::string& cause) = 0;
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
    unsigned timeoutMs = 0; // bounds the connect, the handshake and each read
};

// Makes the (unconnected) stream for an endpoint. Must not throw.
using TinyDbStreamFactory = std::function<std::unique_ptr<TinyDbStream>(const TinyDbEndpoint&)>;

// The TLS client stream for an endpoint (the default factory).
std::unique_ptr<TinyDbStream> makeTlsTinyDbStream(const TinyDbEndpoint& endpoint);

} // namespace tavir::tinydb
