#pragma once
// The tinydb client as a procedural interface over an opaque handle: open (TLS,
// pinning, handshake), authenticate, send a statement, read its result, close.
// Every call returns a Status; after a failure tinydb_error() says what went
// wrong as a clause to put after a location (tinydb_where()). Nothing here
// throws. A handle is used by one thread at a time.
#include "tinydb/ResultSet.h"
#include "tinydb/TinyDbStream.h"
#include "tinydb/Wire.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tavir::tinydb {

struct tinydb_handle;

enum class Status {
    Ok = 0,
    NoConnection, // no connection, no TLS, a pinning refusal or a refused handshake
    Refused, // the credentials were refused
    ReadOnly, // logged in as a read-only administrator
    ServerError, // the server answered the statement with an error
    ProtocolError, // malformed, oversized or unexpected message; the connection is dropped
    ConnectionLost, // closed, failed or silent past the time-out; the connection is dropped
    BadText, // a text to send is not UTF-8 or holds a NUL byte
    NotReady, // the handle is closed, not logged in, or a result is (not) pending
};

// When the exchange in hand ends at the latest, for another thread to say
// how long the wait for the server may last: set as each exchange begins
// (its time-out from then), cleared once no answer is awaited any more.
// Lock-free: the thread that waits holds its locks.
class ExchangeDeadline {
public:
    using Clock = std::chrono::steady_clock;

    void set(std::optional<Clock::time_point> deadline)
    {
        ticks_.store(
            deadline ? deadline->time_since_epoch().count() : none, std::memory_order_release);
    }
    // None between exchanges.
    std::optional<Clock::time_point> get() const
    {
        const Clock::rep ticks = ticks_.load(std::memory_order_acquire);
        if (ticks == none)
            return std::nullopt;
        return Clock::time_point(Clock::duration(ticks));
    }

private:
    static constexpr Clock::rep none = std::numeric_limits<Clock::rep>::min();
    std::atomic<Clock::rep> ticks_{none};
};

struct TinyDbOptions {
    std::string host;
    unsigned port = adminPort;
    // Each exchange ends within this in all: connecting with the TLS
    // handshake and the greeting, the login, a statement with its answer.
    unsigned timeoutMs = 30000;
    // A raised signal ends every wait at once (ConnectionLost); may be null.
    std::shared_ptr<const tavir::utils::StopSignal> stop;
    // Gets the deadline of each exchange while it is in hand; may be null.
    std::shared_ptr<ExchangeDeadline> exchangeDeadline;
    // Pin the server certificate in the known-hosts file (the source-host
    // probe doesn't). An empty file name means KnownHosts::defaultPath().
    bool pin = true;
    std::string knownHostsFile;
    std::string clientName = "Tavir Zorp";
    // Null: the TLS client stream.
    TinyDbStreamFactory factory;
};

// Connects and runs the handshake. *handle is always set (also on failure, so
// that its error can be read) and must be given to tinydb_close.
Status tinydb_open(const TinyDbOptions& options, tinydb_handle** handle);
// Ok for a full administrator; ReadOnly means logged in, SELECT only.
Status tinydb_authenticate(
    tinydb_handle* handle, const std::string& user, const std::string& password);
// Sends a statement. Others may still wait for their answers: the server
// runs a connection's statements one after the other in the order they
// came and answers them in that order (docs/tinydb-protocol.md).
Status tinydb_send_query(tinydb_handle* handle, const std::string& statement);
// The answer to the oldest statement not yet answered.
Status tinydb_read_result(tinydb_handle* handle, ResultSet& result);
// tinydb_send_query, then tinydb_read_result; NotReady while answers to
// other statements are outstanding.
Status tinydb_execute(tinydb_handle* handle, const std::string& statement, ResultSet& result);

// One statement's answer in a pipeline.
struct Answer {
    // Ok or ServerError when the server answered; otherwise how the
    // connection failed before it did (the statement may or may not have
    // run).
    Status status = Status::NotReady;
    ResultSet result; // when Ok
    std::string error; // the clause, when not Ok
    std::uint16_t serverCode = 0; // of a ServerError

    // The server answered, with a result or its refusal.
    bool answered() const { return status == Status::Ok || status == Status::ServerError; }
};
// At most this many statements, and this many bytes of them, wait for their
// answers at a time: the server's answers are read before it could block
// on sending them while this side still sends.
constexpr std::size_t pipelineWindow = 64;
constexpr std::size_t pipelineBytes = 32 * 1024;
// Runs statements that need no answer before the next one is sent: each is
// sent without waiting for the answers to those before it, and the answers
// are read in order, one per statement into `answers`. Ok when every
// statement was answered (with its result or the server's refusal);
// otherwise the status of the failure that ended the connection, which
// every statement from the first unanswered one on carries. Nothing is sent
// when one of them can't be (BadText) or the handle is not ready.
Status tinydb_execute_pipelined(tinydb_handle* handle, const std::vector<std::string>& statements,
    std::vector<Answer>& answers);
// Says goodbye when the connection is still good, closes it and frees the
// handle. A null handle is ignored.
void tinydb_close(tinydb_handle* handle);

// From now on a raised `stop` ends every wait of the handle's connection at
// once (null: none).
void tinydb_set_stop_signal(
    tinydb_handle* handle, std::shared_ptr<const tavir::utils::StopSignal> stop);
// True while the connection can carry another statement.
bool tinydb_is_usable(const tinydb_handle* handle);
// The product version the server announced in its handshake.
const std::string& tinydb_server_version(const tinydb_handle* handle);
// "host:port".
const std::string& tinydb_where(const tinydb_handle* handle);
// What the last failure was, as a clause ("connection refused").
const std::string& tinydb_error(const tinydb_handle* handle);
// The server's code of the last ServerError (0 otherwise).
std::uint16_t tinydb_server_error_code(const tinydb_handle* handle);
// A sentence for the log when this connection pinned a server for the first
// time; empty otherwise.
const std::string& tinydb_notice(const tinydb_handle* handle);

} // namespace tavir::tinydb
