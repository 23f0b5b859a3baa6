// The procedural tinydb client. Each call runs inside guarded(), the one place
// that turns a failure into a Status and a clause and drops a connection that
// can't be trusted any more (transport failures, malformed frames).
#include "tinydb/TinyDb.h"

#include "ssl/KnownHosts.h"

#include "ssl/StopSignal.h"
#include "tiny/ScopeExit.h"
#include "utils/StringUtils.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <new>

namespace tavir::tinydb {

struct tinydb_handle {
    TinyDbOptions options;
    std::string where;
    std::unique_ptr<TinyDbStream> stream;
    bool usable = false; // connected, handshake done, nothing broken
    bool loggedIn = false;
    std::size_t pending = 0; // statements sent whose answers were not read
    std::string version;
    std::string error;
    std::uint16_t serverCode = 0;
    std::string notice;
};

namespace {

// A failure inside a call, carried to guarded().
struct Failure {
    Status status;
    std::string clause;
};

struct Frame {
    MessageType type;
    std::string payload;
};

bool dropsConnection(Status status)
{
    return status == Status::NoConnection || status == Status::ProtocolError
        || status == Status::ConnectionLost;
}

void drop(tinydb_handle* handle)
{
    if (handle->stream)
        handle->stream->close();
    handle->usable = false;
    handle->loggedIn = false;
    handle->pending = 0;
}

// Publishes when the exchange that begins now ends at the latest.
void publishDeadline(const tinydb_handle* handle)
{
    if (!handle->options.exchangeDeadline)
        return;
    std::optional<ExchangeDeadline::Clock::time_point> deadline;
    if (handle->options.timeoutMs != 0)
        deadline
            = ExchangeDeadline::Clock::now() + std::chrono::milliseconds(handle->options.timeoutMs);
    handle->options.exchangeDeadline->set(deadline);
}

// The next exchange's deadline starts now, for the stream and for whoever
// watches the wait.
void beginExchange(tinydb_handle* handle)
{
    handle->stream->beginExchange();
    publishDeadline(handle);
}

template <class Step> Status guarded(tinydb_handle* handle, Step step)
{
    // Once no answer is awaited any more, no wait is published.
    const tavir::tiny::ScopeExit waited([handle] {
        if (handle->pending == 0 && handle->options.exchangeDeadline)
            handle->options.exchangeDeadline->set(std::nullopt);
    });
    handle->error.clear();
    handle->serverCode = 0;
    try {
        return step();
    } catch (const Failure& failure) {
        handle->error = failure.clause;
        if (dropsConnection(failure.status))
            drop(handle);
        return failure.status;
    } catch (const WireError& e) {
        handle->error = std::string("malformed message from the server: ") + e.what();
    } catch (const std::bad_alloc&) {
        handle->error = "out of memory while reading the server's answer";
    }
    drop(handle);
    return Status::ProtocolError;
}

Failure lost(const tinydb_handle* handle, ReadEnd end, bool midMessage)
{
    const std::string wait = utils::secondsText(handle->options.timeoutMs);
    const char* when = midMessage ? "in the middle of a message" : "before it answered";
    switch (end) {
    case ReadEnd::TimedOut:
        return {Status::ConnectionLost,
            midMessage ? "the server stopped for " + wait + " in the middle of a message"
                       : "no answer within " + wait};
    case ReadEnd::TooSlow:
        return {Status::ConnectionLost,
            "the server sends too slowly: its answer was not complete within " + wait
                + ", and the connection was cut off"};
    case ReadEnd::Stopped:
        return {Status::ConnectionLost, "the connection was closed on a stop request"};
    case ReadEnd::Closed:
        return {Status::ConnectionLost, std::string("the server closed the connection ") + when};
    default:
        return {Status::ConnectionLost, std::string("the connection failed ") + when};
    }
}

void send(tinydb_handle* handle, const std::string& bytes)
{
    if (handle->stream->write(bytes))
        return;
    if (handle->options.stop && handle->options.stop->raised())
        throw Failure{Status::ConnectionLost, "the connection was closed on a stop request"};
    throw Failure{Status::ConnectionLost, "the connection failed while sending"};
}

Frame readFrame(tinydb_handle* handle)
{
    char header[frameHeaderSize];
    ReadEnd end = handle->stream->read(header, sizeof header);
    if (end != ReadEnd::Complete)
        throw lost(handle, end, false);
    std::string body(frameLength(header), '\0');
    end = handle->stream->read(&body[0], body.size());
    if (end != ReadEnd::Complete)
        throw lost(handle, end, true);
    auto type = static_cast<MessageType>(static_cast<unsigned char>(body[0]));
    body.erase(0, 1); // in place: the payload may be up to maxFrameSize
    return {type, std::move(body)};
}

std::string serverSays(const ServerError& error)
{
    return error.sentence + " (error " + std::to_string(error.code) + ")";
}

Failure unexpected(const Frame& frame, const char* answerTo)
{
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%02x", static_cast<unsigned>(frame.type));
    return {Status::ProtocolError,
        std::string("unexpected message of type ") + hex + " in answer to the " + answerTo};
}

bool sendable(const std::string& text)
{
    return isUtf8(text) && text.find('\0') == std::string::npos;
}

Status handshake(tinydb_handle* handle)
{
    send(handle, helloFrame(handle->options.clientName));
    Frame frame = readFrame(handle);
    if (frame.type == MessageType::Error) {
        throw Failure{Status::NoConnection,
            "the server refused the handshake: " + serverSays(decodeError(frame.payload))};
    }
    if (frame.type != MessageType::Welcome)
        throw unexpected(frame, "handshake");
    Welcome welcome = decodeWelcome(frame.payload);
    if (welcome.protocol != protocolVersion) {
        throw Failure{Status::NoConnection,
            "the server speaks protocol version " + std::to_string(welcome.protocol)
                + " and this client version " + std::to_string(protocolVersion)};
    }
    handle->version = welcome.productVersion;
    handle->usable = true;
    return Status::Ok;
}

// `connected` is when the connect began: the deadline of the exchange that
// follows it starts there.
void pin(tinydb_handle* handle, std::chrono::steady_clock::time_point connected)
{
    std::string fingerprint = handle->stream->peerFingerprint();
    if (fingerprint.empty())
        throw Failure{Status::NoConnection, "the server showed no certificate"};
    const TinyDbOptions& options = handle->options;
    using tavir::ssl::KnownHosts;
    KnownHosts known = options.knownHostsFile.empty() ? KnownHosts(KnownHosts::defaultLocation())
                                                      : KnownHosts(options.knownHostsFile);
    KnownHosts::Wait wait;
    if (options.timeoutMs != 0)
        wait.deadline = connected + std::chrono::milliseconds(options.timeoutMs);
    wait.stop = options.stop.get();
    std::string sentence;
    switch (known.check(options.host, options.port, fingerprint, sentence, wait)) {
    case KnownHosts::Verdict::Known:
        return;
    case KnownHosts::Verdict::Recorded:
        handle->notice = sentence;
        return;
    default:
        throw Failure{Status::NoConnection, sentence};
    }
}

} // namespace

Status tinydb_open(const TinyDbOptions& options, tinydb_handle** handle)
{
    auto* h = new tinydb_handle;
    *handle = h;
    h->options = options;
    h->where = options.host + ":" + std::to_string(options.port);
    return guarded(h, [&] {
        TinyDbEndpoint endpoint{options.host, options.port, options.timeoutMs, options.stop};
        const auto connected = std::chrono::steady_clock::now();
        publishDeadline(h);
        h->stream = options.factory ? options.factory(endpoint) : makeTlsTinyDbStream(endpoint);
        std::string cause;
        if (!h->stream)
            throw Failure{Status::NoConnection, "no connection could be made"};
        if (!h->stream->connect(cause))
            throw Failure{Status::NoConnection, cause};
        if (options.pin)
            pin(h, connected);
        return handshake(h);
    });
}

Status tinydb_authenticate(
    tinydb_handle* handle, const std::string& user, const std::string& password)
{
    return guarded(handle, [&] {
        if (!handle->usable || handle->pending)
            throw Failure{Status::NotReady, "the connection is not open"};
        if (!isUtf8(user) || !isUtf8(password))
            throw Failure{Status::BadText, "the user name or password is not UTF-8"};
        beginExchange(handle);
        send(handle, loginFrame(user, password));
        Frame frame = readFrame(handle);
        if (frame.type != MessageType::LoggedIn)
            throw unexpected(frame, "login");
        switch (decodeLoggedIn(frame.payload)) {
        case LoginAnswer::Full:
            handle->loggedIn = true;
            return Status::Ok;
        case LoginAnswer::ReadOnly:
            handle->loggedIn = true;
            handle->error = "the administrator " + user + " may only read";
            return Status::ReadOnly;
        default:
            handle->loggedIn = false;
            throw Failure{Status::Refused, "the server refused the login of " + user};
        }
    });
}

namespace {

void checkSendable(const tinydb_handle* handle, const std::string& statement)
{
    if (!handle->usable || !handle->loggedIn)
        throw Failure{Status::NotReady, "the connection is not ready for a statement"};
    if (!sendable(statement))
        throw Failure{Status::BadText, "the statement is not UTF-8 text"};
}

Failure outstanding()
{
    return {Status::NotReady, "answers to other statements are still outstanding"};
}

// Sends `count` statements in one write.
Status sendQueries(tinydb_handle* handle, const std::string* statements, std::size_t count)
{
    return guarded(handle, [&] {
        std::string frames;
        for (std::size_t i = 0; i < count; ++i) {
            checkSendable(handle, statements[i]);
            frames += queryFrame(statements[i]);
        }
        // A statement and its answer (tinydb_read_result) are one exchange;
        // behind answers still outstanding, the wait for its answer begins
        // when the answer before it has come.
        if (handle->pending == 0)
            beginExchange(handle);
        send(handle, frames);
        handle->pending += count;
        return Status::Ok;
    });
}

} // namespace

Status tinydb_send_query(tinydb_handle* handle, const std::string& statement)
{
    return sendQueries(handle, &statement, 1);
}

Status tinydb_read_result(tinydb_handle* handle, ResultSet& result)
{
    return guarded(handle, [&] {
        if (!handle->usable || handle->pending == 0)
            throw Failure{Status::NotReady, "no statement is waiting for its answer"};
        Frame frame = readFrame(handle);
        if (--handle->pending > 0)
            beginExchange(handle);
        if (frame.type == MessageType::Error) {
            ServerError error = decodeError(frame.payload);
            handle->error = "the server refused the statement: " + serverSays(error);
            handle->serverCode = error.code;
            return Status::ServerError;
        }
        if (frame.type != MessageType::Result)
            throw unexpected(frame, "statement");
        result = decodeResult(frame.payload);
        return Status::Ok;
    });
}

Status tinydb_execute(tinydb_handle* handle, const std::string& statement, ResultSet& result)
{
    if (handle->pending > 0)
        return guarded(handle, []() -> Status { throw outstanding(); });
    Status status = tinydb_send_query(handle, statement);
    return status == Status::Ok ? tinydb_read_result(handle, result) : status;
}

Status tinydb_execute_pipelined(
    tinydb_handle* handle, const std::vector<std::string>& statements, std::vector<Answer>& answers)
{
    answers.assign(statements.size(), Answer{});
    // Unanswered from `from` on, with the status and clause of `cause`.
    auto unanswered = [&](std::size_t from, Status cause) {
        for (std::size_t i = from; i < answers.size(); ++i) {
            answers[i].status = cause;
            answers[i].error = handle->error;
        }
        return cause;
    };
    const Status ready = guarded(handle, [&] {
        if (handle->pending > 0)
            throw outstanding();
        for (const std::string& statement : statements)
            checkSendable(handle, statement);
        return Status::Ok;
    });
    if (ready != Status::Ok)
        return unanswered(0, ready);
    std::size_t sent = 0;
    std::size_t bytesOut = 0; // of the statements sent and not answered
    for (std::size_t read = 0; read < statements.size();) {
        // As many as the window takes, in one write.
        std::size_t upTo = sent;
        std::size_t bytes = bytesOut;
        while (upTo < statements.size() && upTo - read < pipelineWindow
            && (upTo == read || bytes + statements[upTo].size() <= pipelineBytes))
            bytes += statements[upTo++].size();
        if (upTo > sent) {
            const Status status = sendQueries(handle, &statements[sent], upTo - sent);
            if (status != Status::Ok)
                return unanswered(read, status);
            sent = upTo;
            bytesOut = bytes;
        }
        Answer& answer = answers[read];
        answer.status = tinydb_read_result(handle, answer.result);
        if (!answer.answered())
            return unanswered(read, answer.status);
        answer.error = handle->error;
        answer.serverCode = handle->serverCode;
        bytesOut -= statements[read].size();
        ++read;
    }
    return Status::Ok;
}

void tinydb_close(tinydb_handle* handle)
{
    if (!handle)
        return;
    if (handle->usable && !handle->pending) {
        // The goodbye is a short exchange of its own, not the end of the
        // last one.
        handle->stream->beginExchange();
        handle->stream->write(byeFrame());
    }
    drop(handle);
    delete handle;
}

void tinydb_set_stop_signal(tinydb_handle* handle, std::shared_ptr<const tavir::utils::StopSignal> stop)
{
    if (!handle)
        return;
    handle->options.stop = stop;
    if (handle->stream)
        handle->stream->setStopSignal(std::move(stop));
}

bool tinydb_is_usable(const tinydb_handle* handle)
{
    return handle->usable;
}

const std::string& tinydb_server_version(const tinydb_handle* handle)
{
    return handle->version;
}

const std::string& tinydb_where(const tinydb_handle* handle)
{
    return handle->where;
}

const std::string& tinydb_error(const tinydb_handle* handle)
{
    return handle->error;
}

std::uint16_t tinydb_server_error_code(const tinydb_handle* handle)
{
    return handle->serverCode;
}

const std::string& tinydb_notice(const tinydb_handle* handle)
{
    return handle->notice;
}

} // namespace tavir::tinydb
